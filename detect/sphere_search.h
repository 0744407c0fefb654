// SPDX-License-Identifier: BSD-3-Clause
// Depth-first (Schnorr-Euchner) search for the closest integer point in a box.
//
// Finds the integer vector s with lb <= s(i) <= ub that minimises ||y - R*s||^2 among
// those whose squared distance does not exceed `radius`. Levels are the rows of the
// upper-triangular R, from the last (root) to the first (leaf); each level visits its
// candidates in a zig-zag around the rounded centre, starting towards the real centre.
// Every leaf reached shrinks the radius to its own squared distance; among points at
// the same distance the one reached last is kept. Host-free: no allocation, no errors.
#pragma once

#include <cstdint>

#include "core/interrupt_check.h"

// Candidates are integers of magnitude at most 2^51, so that every value the search forms
// from them (at most three times this) is an exact integer in double: bounds beyond are
// taken as +-2^51. A rounded centre beyond +-2^51 starts its zig-zag at the limit when the
// box ends on that side within it; when the box reaches beyond the limit on that side, the
// search would need inexact candidates and stops with out_of_range. A box wholly beyond the
// limit on one side (lb > 2^51 or ub < -2^51) gives out_of_range when it holds an integer
// (the answer would need inexact candidates) and none when it holds none, without a search.
constexpr double search_limit = 2251799813685248.0;

// How a search ended.
enum class search_status {
    found,         // symb holds the closest point in the box within the radius
    none,          // no integer point of the box lies within the radius; symb untouched
    out_of_range,  // the answer needs candidates beyond +-search_limit; symb holds the
                   // last point found, if any
    node_limit,    // stopped at a node cap (only the test variant in
                   // sphere_search_internal.h has one; the search itself always ends)
    interrupted,   // the caller's check asked to stop; symb holds the last point found, if any
};

// Nodes between two questions to the caller's interrupt check.
constexpr std::int64_t search_poll_interval = std::int64_t{1} << 20;

// Doubles of scratch that find_closest_point needs for n levels.
constexpr std::int64_t search_scratch_size(std::int64_t n) {
    return 5 * n;
}

// Preconditions that make the search end: y[0..n-1] and the upper triangle of R finite,
// no zero on the diagonal of R, radius, lb and ub not NaN (infinite ones are allowed).
//
// y: n values; R: n-by-n column-major (only the diagonal and above are read).
// symb: n values, overwritten at every leaf. scratch: search_scratch_size(n) doubles, any
// contents. n <= 0 returns none, touching nothing. check (may be null) is asked every
// search_poll_interval nodes whether to stop; asking changes nothing else. nodes (may be
// null) receives the number of candidates whose distance was computed.
search_status find_closest_point(const double* y, const double* R, std::int64_t n, double radius,
                                 double lb, double ub, double* symb, double* scratch,
                                 const interrupt_check* check = nullptr,
                                 std::int64_t* nodes = nullptr);
