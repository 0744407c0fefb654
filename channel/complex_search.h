// SPDX-License-Identifier: BSD-3-Clause
// Max-log bit LLRs and the closest point of a vector of complex symbols drawn from any
// constellation, by one depth-first tree search whose levels are the complex antennas.
//
// Complex values are interleaved (re, im) doubles, the layout of std::complex<double>;
// matrices are column-major, element (i, j) of an n-by-n matrix at 2*(i + j*n).
//
// Level i (row i of the upper-triangular complex R) takes one of the M points of the
// alphabet; point m carries the `bits` bits of labels[m], most significant first. Bits are
// numbered level 0 first, each level's bits in that order: B = n*bits. With
// d(x) = ||z - R*x||^2 and metric(x) = d(x)/n0 + sum_b La[b]*bit_b(x), the search finds the
// point of least metric and, for every bit b, the least metric among the points whose bit b
// differs from it, and returns
//   L[b] = (least metric with bit b = 1) - (least metric with bit b = 0),
// L = ln P(b=0)/P(b=1) in max-log form: positive means 0. With clip < Inf, every |L[b]| is
// min(|L[b]|, clip): the search prunes a subtree once it can lower no counter-hypothesis
// below the least metric plus clip. With clip = 0 it is the hard search (every L[b] is +-0)
// and does the least work. Host-free: no allocation, no errors.
//
// Order of the floating-point operations (fixed; complex products as
// (a+ib)(c+id) = (a*c - b*d) + i(a*d + b*c)):
//   q[i][m] = R(i,i) * p[m]
//   s_i     = R(i,i+1)*x[i+1] + R(i,i+2)*x[i+2] + ... + R(i,n-1)*x[n-1], summed left to
//             right (s_i = 0 for i = n-1), u_i = z[i] - s_i
//   d       = (u_re - q_re)*(u_re - q_re) + (u_im - q_im)*(u_im - q_im)
//   c[i][m] = sum over the level's bits k = 0..bits-1 (left to right, from 0) of
//             max(La[k], 0) where the bit is 1 and max(-La[k], 0) where it is 0
//             (the priors shifted by the constant sum_b min(La[b], 0), so that every cost is
//             non-negative and partial metrics grow down the tree; null La: c = 0, not added)
//   e       = d / n0 + c[i][m];  partial metric P_i = P_{i+1} + e, P_n = 0
// A level visits its points in increasing e (ties: lower index first); the point of least
// metric is the first leaf reached with that metric; L[b] = +-min(lambda_bar[b] -
// lambda_ML, clip), + where the least-metric point's bit b is 0.
#pragma once

#include <cstdint>

#include "core/interrupt_check.h"
#include "detect/sphere_search.h"

// The points of every level and their labels.
struct complex_alphabet {
    std::int64_t M;               // points, a power of two, 2 .. 256
    std::int32_t bits;            // log2(M)
    const double* points;         // M complex points, interleaved
    const std::uint32_t* labels;  // M labels, distinct bits-bit patterns, MSB = first bit
};

// Doubles of scratch that find_complex_llrs needs for n levels of M points.
std::int64_t complex_search_scratch_size(std::int64_t n, std::int64_t M);

// Preconditions: z, the upper triangle of R and the points finite, no zero on the diagonal
// of R, n0 > 0 finite, clip >= 0 (Inf allowed), La null or n*bits finite values, the
// alphabet as described above.
//
// z: n complex values; R: n-by-n complex (diagonal and above read). L: n*bits values out.
// idx: n values out, the point of least metric as 0-based indices into points. nodes (may be
// null): the candidates whose distance was computed (M for every node expanded). scratch:
// complex_search_scratch_size(n, M) doubles, any contents. check (may be null) is asked
// every search_poll_interval nodes; returns found, or interrupted (L and idx then hold no
// answer). n <= 0 returns none, touching nothing.
search_status find_complex_llrs(const double* z, const double* R, std::int64_t n,
                                const complex_alphabet& a, double n0, double clip, const double* La,
                                double* L, std::int32_t* idx, std::int64_t* nodes, double* scratch,
                                const interrupt_check* check = nullptr);
