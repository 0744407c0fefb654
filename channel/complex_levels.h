// SPDX-License-Identifier: BSD-3-Clause
// What the complex-level searches share: the per-level tables and the level distances,
// in the order of floating-point operations that channel/complex_search.h documents.
#pragma once

#include <algorithm>
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

// c[i*M + m]: n0 times the shifted prior cost of point m on level i (non-negative).
inline void fill_prior_costs(const double* La, std::int64_t n, const complex_alphabet& a, double n0,
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
            c[i * M + m] = n0 * cost;
        }
    }
}

// u = z[i] - s_i, s_i = sum_{j>i} R(i,j) * p[x(j)] left to right; x(j) gives the index of
// the point chosen on level j. Real: every imaginary part is zero, and only the real parts
// are formed (the same values but for the signs of zeros).
template <bool Real, class Index>
inline void level_centre(const double* z, const double* R, std::int64_t n, std::int64_t i,
                         const complex_alphabet& a, Index x, double& ur, double& ui) {
    double sr = 0.0;
    double si = 0.0;
    for (std::int64_t j = i + 1; j < n; ++j) {
        const double rr = R[2 * (i + j * n)];
        const double pr = a.points[2 * x(j)];
        if (Real) {
            sr = j == i + 1 ? rr * pr : sr + rr * pr;
            continue;
        }
        const double ri = R[2 * (i + j * n) + 1];
        const double pi = a.points[2 * x(j) + 1];
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
    ui = Real ? 0.0 : z[2 * i + 1] - si;
}

// e[m] = base + (d_m + c[m]) for the M points of level i (c null: base + d_m). Finite
// inputs give no NaN unless the sums overflow, and a NaN is never less than anything:
// callers that sort must turn it into +Inf. Real: d_m = dr*dr (the imaginary part adds a
// zero).
template <bool Real>
inline void level_metrics(double ur, double ui, const double* q, const double* c, std::int64_t M,
                          double base, double* e) {
    if (c == nullptr) {
        for (std::int64_t m = 0; m < M; ++m) {
            const double dr = ur - q[2 * m];
            const double di = Real ? 0.0 : ui - q[2 * m + 1];
            e[m] = base + (Real ? dr * dr : dr * dr + di * di);
        }
    } else {
        for (std::int64_t m = 0; m < M; ++m) {
            const double dr = ur - q[2 * m];
            const double di = Real ? 0.0 : ui - q[2 * m + 1];
            e[m] = base + ((Real ? dr * dr : dr * dr + di * di) + c[m]);
        }
    }
}

// Whether every imaginary part of z, of the upper triangle of R and of the points is zero:
// then the searches run on the real parts alone, with the same results.
inline bool is_real(const double* z, const double* R, std::int64_t n, const complex_alphabet& a) {
    for (std::int64_t m = 0; m < a.M; ++m) {
        if (a.points[2 * m + 1] != 0.0) return false;
    }
    for (std::int64_t j = 0; j < n; ++j) {
        if (z[2 * j + 1] != 0.0) return false;
        for (std::int64_t i = 0; i <= j; ++i) {
            if (R[2 * (i + j * n) + 1] != 0.0) return false;
        }
    }
    return true;
}

// The LLR of a bit from the least scaled metric with the bit flipped (counter, +Inf:
// none) and the least scaled metric (best), as complex_search.h states it, within
// [-clip, clip]. counter < best only where best is not the least metric of all (K-best's
// list, whose formed counter-hypotheses can be closer than the whole list): the LLR then
// favours the flipped bit.
inline double clipped_llr(double counter, double best, double n0, double clip, bool one) {
    const double v =
        counter >= best + clip * n0 ? clip : std::max(std::min((counter - best) / n0, clip), -clip);
    return one ? -v : v;
}

inline bool label_bit(std::uint32_t label, std::int32_t bits, std::int32_t k) {
    return ((label >> (bits - 1 - k)) & 1u) != 0;
}

}  // namespace complex_levels
