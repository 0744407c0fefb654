// SPDX-License-Identifier: BSD-3-Clause
// Exact log-MAP (APP) bit LLRs of a vector of complex symbols from any constellation, by one
// depth-first tree search over the complex antennas that drops only what cannot move a
// returned LLR by more than a tolerance.
//
// Layout, alphabet, labels and bit numbering are those of channel/complex_search.h
// (complex_alphabet; interleaved complex z and R, column-major; bits of level 0 first, each
// point's bits most significant first, B = n*bits). With d(x) = ||z - R*x||^2 and
// Lambda(x) = d(x)/n0 + sum_b La[b]*bit_b(x),
//   posterior: L[b]  = ln sum_{x: bit b = 0} e^{-Lambda(x)} - ln sum_{x: bit b = 1} e^{-Lambda(x)}
//   extrinsic: Le[b] = the same with La[b]'s own term left out of Lambda (L - La in exact
//              arithmetic; defined also for a known bit, La = +-Inf, and for La far beyond
//              the clip),
// L = ln P(b=0)/P(b=1): positive means 0, returned as sign*min(|v|, clip) exactly, each
// within tol of the clipped exact value (detect/app_tree.h proves it). The distances are
// formed as complex_search.h states (channel/complex_levels.h). With a finite clip, a
// max-log pass (find_complex_llrs, when the priors are finite and n0 times their sum is)
// first finds the bits whose LLRs are beyond the clip for certain: they are returned as
// +-clip and need no masses. tol = 0 with clip = Inf visits every leaf of finite metric.
// When every imaginary part is zero the search runs on the real parts alone. Host-free: no
// allocation, no errors.
#pragma once

#include <cstdint>

#include "channel/complex_search.h"
#include "core/interrupt_check.h"
#include "detect/app_tree.h"

// Doubles of scratch that find_complex_app_llrs needs for n levels of M points:
// 6nM + 13(n+1) + 12*n*bits (the search) + n*bits + n + complex_search_scratch_size(n, M)
// (the max-log pass).
std::int64_t complex_app_scratch_size(std::int64_t n, std::int64_t M);

// Preconditions: those of find_complex_llrs (z, the upper triangle of R and the points
// finite, no zero on the diagonal, n0 > 0 finite, clip >= 0 or Inf, the alphabet as in
// complex_search.h with M from 2 to 256), La null or n*bits values each finite or +-Inf
// (+Inf: a known 0), tol >= 0 finite.
//
// L: n*bits values out. nodes (may be null): the children whose metric was computed (M for
// every node expanded). scratch: complex_app_scratch_size(n, M) doubles, any contents. check
// (may be null) is asked every search_poll_interval nodes. Returns found; interrupted (L
// then holds no answer); none for n <= 0 or when every metric overflowed (L then holds no
// answer).
search_status find_complex_app_llrs(const double* z, const double* R, std::int64_t n,
                                    const complex_alphabet& a, double n0, double clip, double tol,
                                    app_output output, const double* La, double* L,
                                    std::int64_t* nodes, double* scratch,
                                    const interrupt_check* check = nullptr);
