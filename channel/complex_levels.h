// SPDX-License-Identifier: BSD-3-Clause
// What the complex-level searches share: the per-level tables and the level distances,
// in the order of floating-point operations that channel/complex_search.h documents.
#pragma once

#include <cstdint>
#include <limits>

#include "channel/complex_search.h"

namespace complex_levels {

// q[2*(i*M + m) ..]: R(i,i) * p[m], for every level i and point m.
inline void fill_scaled_points(const double* R, std::int64_t n, const complex_alphabet& a,
                               double* q) {
    const std::int64_t M = a.M;
    for (std::int64_t i = 0; i < n; ++i) {
        const double rr = R[2 * (i + i * n)];
        const double ri = R[2 * (i + i * n) + 1];
        for (std::int64_t m = 0; m < M; ++m) {
            const double pr = a.points[2 * m];
            const double pi = a.points[2 * m + 1];
            q[2 * (i * M + m)] = rr * pr - ri * pi;
            q[2 * (i * M + m) + 1] = rr * pi + ri * pr;
        }
    }
}

// c[i*M + m]: the shifted prior cost of point m on level i (non-negative).
inline void fill_prior_costs(const double* La, std::int64_t n, const complex_alphabet& a,
                             double* c) {
    const std::int64_t M = a.M;
    const std::int32_t bits = a.bits;
    for (std::int64_t i = 0; i < n; ++i) {
        const double* la = La + i * bits;
        for (std::int64_t m = 0; m < M; ++m) {
            const std::uint32_t label = a.labels[m];
            double cost = 0.0;
            for (std::int32_t k = 0; k < bits; ++k) {
                const bool one = ((label >> (bits - 1 - k)) & 1u) != 0;
                const double v = one ? la[k] : -la[k];
                if (v > 0.0) cost = cost + v;
            }
            c[i * M + m] = cost;
        }
    }
}

// u = z[i] - s_i, s_i = sum_{j>i} R(i,j) * p[x(j)] left to right; x(j) gives the index of
// the point chosen on level j.
template <class Index>
inline void level_centre(const double* z, const double* R, std::int64_t n, std::int64_t i,
                         const complex_alphabet& a, Index x, double& ur, double& ui) {
    double sr = 0.0;
    double si = 0.0;
    for (std::int64_t j = i + 1; j < n; ++j) {
        const double rr = R[2 * (i + j * n)];
        const double ri = R[2 * (i + j * n) + 1];
        const std::int64_t m = x(j);
        const double pr = a.points[2 * m];
        const double pi = a.points[2 * m + 1];
        const double tr = rr * pr - ri * pi;
        const double ti = rr * pi + ri * pr;
        if (j == i + 1) {
            sr = tr;
            si = ti;
        } else {
            sr = sr + tr;
            si = si + ti;
        }
    }
    ur = z[2 * i] - sr;
    ui = z[2 * i + 1] - si;
}

// e[m] = base + (d_m / n0 + c[m]) for the M points of level i (c null: no prior term);
// NaN (an overflow) becomes +Inf, so that orderings stay total.
inline void level_metrics(double ur, double ui, const double* q, const double* c, std::int64_t M,
                          double n0, double base, double* e) {
    for (std::int64_t m = 0; m < M; ++m) {
        const double dr = ur - q[2 * m];
        const double di = ui - q[2 * m + 1];
        const double d = dr * dr + di * di;
        double v = d / n0;
        if (c != nullptr) v = v + c[m];
        v = base + v;
        e[m] = v == v ? v : std::numeric_limits<double>::infinity();
    }
}

inline bool label_bit(std::uint32_t label, std::int32_t bits, std::int32_t k) {
    return ((label >> (bits - 1 - k)) & 1u) != 0;
}

}  // namespace complex_levels
