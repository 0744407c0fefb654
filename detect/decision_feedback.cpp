// SPDX-License-Identifier: BSD-3-Clause
// Decision-feedback detectors: rounding and odd-integer clamped back-substitution.
#include "detect/decision_feedback.h"

#include <cmath>

void round_feedback(const double* y, const double* R, std::int64_t n, double* s) {
    for (std::int64_t i = n - 1; i >= 0; --i) {
        // c = sum over the decided symbols below row i, ascending j, one accumulator
        double c = 0.0;
        for (std::int64_t j = i + 1; j < n; ++j) c = c + s[j] * R[i + j * n];
        s[i] = std::floor((y[i] - c) / R[i + i * n] + 0.5);
    }
}

void odd_clamp_feedback(const double* y, const double* R, std::int64_t n, std::int32_t u,
                        double* s) {
    const double upper = static_cast<double>(u);
    const double lower = static_cast<double>(-u);  // integer negation, then to double
    for (std::int64_t i = n - 1; i >= 0; --i) {
        double c = 0.0;
        for (std::int64_t j = i + 1; j < n; ++j) c = c + R[i + j * n] * s[j];
        const double z = (y[i] - c) / R[i + i * n];
        // nearest odd integer; a z on an even integer goes to the odd one above
        const double v = std::floor(z * 0.5 + 1.0) * 2.0 - 1.0;
        if (v > upper) {
            s[i] = upper;
        } else if (v < lower) {
            s[i] = lower;
        } else {
            s[i] = v;
        }
    }
}
