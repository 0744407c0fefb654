// SPDX-License-Identifier: BSD-3-Clause
// Max-log bit LLRs of a PAM vector from one depth-first (Schnorr-Euchner) tree search.
//
// Level i (row i of the upper-triangular R) takes the odd values -(M_i-1), ..., -1, 1,
// ..., M_i-1 (M_i a power of two, 2 to 2^16); the a-th value from the most negative
// (a = 0 .. M_i-1) carries the m_i = log2(M_i) bits of labels_i[a], most significant
// first. Bits are numbered level 0 first, each level's bits in that order: B = sum m_i.
//
// With d(s) = ||y - R*s||^2 and metric(s) = d(s)/n0 + sum_b La[b]*bit_b(s), the search
// finds the point of least metric and, for every bit b, the least metric among the points
// whose bit b differs from it, and returns
//   L[b] = (least metric with bit b = 1) - (least metric with bit b = 0),
// L = ln P(b=0)/P(b=1) in max-log form: positive means 0. With clip < Inf every L[b] is
// sign(L[b])*min(|L[b]|, clip), exactly: the search prunes a subtree once it can lower no
// counter-hypothesis below the least metric plus clip. With clip = 0 it is the hard search
// (every L[b] is 0). Host-free: no allocation, no errors.
#pragma once

#include <cstdint>

#include "core/interrupt_check.h"
#include "detect/sphere_search.h"

// The alphabet and labels of every level.
struct soft_levels {
    std::int64_t n;            // levels
    const std::int32_t* bits;  // m_i, 1 to 16, for each of the n levels
    // Labels of the values of every level, level 0's M_0 first, then level 1's, ...
    // (sum M_i entries); each label a distinct m_i-bit pattern. Null: the binary-reflected
    // Gray code a ^ (a >> 1) on every level.
    const std::uint32_t* labels;
};

// Sum of m_i.
std::int64_t soft_bit_count(const soft_levels& levels);

// Doubles of scratch that find_bit_llrs needs for n levels and B bits.
std::int64_t soft_scratch_size(std::int64_t n, std::int64_t B);

// Preconditions: y[0..n-1] and the upper triangle of R finite, no zero on the diagonal,
// n0 > 0 finite, clip >= 0 (Inf allowed), La null or B values, each finite or +-Inf (a
// known bit: +Inf means 0; the points with the other value have an infinite metric).
//
// The search works in distance units (the priors scaled by n0, no division per node), or in
// LLR units where n0 times the priors would overflow; soft_search.cpp states the order of
// operations of both.
//
// y: n values; R: n-by-n column-major (diagonal and above read). L: B values out.
// symb: n values out, the point of least metric (odd integers). nodes (may be null):
// the candidates whose distance was computed, counted as the hard search counts them.
// scratch: soft_scratch_size(n, B) doubles, any contents. check (may be null) is asked
// every search_poll_interval nodes; returns found, or interrupted (L and symb then hold
// no answer). n <= 0 returns none; so does a search in which every metric overflows (y or
// R near the limits of double), L and symb then holding no answer.
search_status find_bit_llrs(const double* y, const double* R, const soft_levels& levels, double n0,
                            double clip, const double* La, double* L, double* symb,
                            std::int64_t* nodes, double* scratch,
                            const interrupt_check* check = nullptr);
