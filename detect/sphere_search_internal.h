// SPDX-License-Identifier: BSD-3-Clause
// The search of sphere_search.h with the switches that only tests and benchmarks use.
#pragma once

#include <cmath>
#include <cstdint>

#include "detect/sphere_search.h"

struct search_options {
    // false: walk every candidate of a run outside the box one by one instead of jumping
    // over the run (same result; the tests compare the two).
    bool skip_gaps = true;
    // When not null, receives the number of candidates whose distance was computed.
    std::int64_t* nodes = nullptr;
    // > 0: stop after that many candidates with node_limit (the search has no node limit
    // of its own; harnesses that must bound their time use this).
    std::int64_t max_nodes = 0;
    // n doubles, or null. With them the search forms the sum of each level's next candidate
    // alongside the current one and keeps it for when it moves on (find_closest_point does);
    // without, every sum is formed when it is needed. Same nodes, same order, same bits.
    double* next_sums = nullptr;
    // Asked every search_poll_interval nodes whether to stop (interrupted), when not null.
    const interrupt_check* check = nullptr;
};

// The search on four arrays of n doubles, pdist and isum zero-filled by the caller.
search_status find_closest_point(const double* y, const double* R, std::int64_t n, double radius,
                                 double lb, double ub, double* symb, double* pdist, double* isum,
                                 double* step, double* cand);

search_status find_closest_point_with(const double* y, const double* R, std::int64_t n,
                                      double radius, double lb, double ub, double* symb,
                                      double* pdist, double* isum, double* step, double* cand,
                                      const search_options& options);

// floor(a / r + 0.5), the rounded centre of a level, without the division on the search's
// critical path when the result is certain (inline here so that tests can compare it with
// the division). q = a * (1/r) is rounded to nearest by the 1.5 * 2^52 shift (exact below
// 2^51) to c. With 1/r a normal number and |q| < 2^30, q differs from the quotient
// Q = a / r in double by less than 2^-21 (three roundings of relative size at most 2^-53).
// When also |q - c| <= 1/2 - 2^-20, Q + 1/2 lies more than 2^-21 inside (c, c + 1), and its
// own rounding (at most 2^-23 there) keeps it inside: the floor is c. Everything else
// (halves and near-halves, large or non-finite values) takes the division.
inline double rounded_centre(double a, double r) {
    const double inv = 1.0 / r;
    const double q = a * inv;
    constexpr double shift = 6755399441055744.0;  // 1.5 * 2^52
    const double c = (q + shift) - shift;
    if (std::fabs(inv) >= 0x1p-1022 && std::fabs(q) < 0x1p30 && std::fabs(q - c) <= 0.5 - 0x1p-20) {
        return c;
    }
    return std::floor(a / r + 0.5);
}
