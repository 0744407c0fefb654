// SPDX-License-Identifier: BSD-3-Clause
// Exact log-MAP (APP) bit LLRs of a PAM vector from one depth-first tree search that drops
// only what cannot move a returned LLR by more than a tolerance.
//
// The levels, labels and bit numbering are those of detect/soft_search.h (soft_levels): level
// i takes the odd values -(M_i-1), ..., M_i-1, the a-th from the most negative carrying the
// m_i bits of its label, most significant first; bits numbered level 0 first, B = sum m_i.
// With d(s) = ||y - R*s||^2 and Lambda(s) = d(s)/n0 + sum_b La[b]*bit_b(s),
//   posterior: L[b]  = ln sum_{s: bit b = 0} e^{-Lambda(s)} - ln sum_{s: bit b = 1} e^{-Lambda(s)}
//   extrinsic: Le[b] = the same with La[b]'s own term left out of Lambda (L - La in exact
//              arithmetic; defined also for a known bit, La = +-Inf, and for La far beyond
//              the clip),
// L = ln P(b=0)/P(b=1): positive means 0. Each value is returned as sign*min(|v|, clip),
// exactly (clip = Inf: unclipped, and then a known bit's posterior is +-Inf; clip = 0:
// zeros). Every returned value lies within tol of the clipped exact one (tol >= 0 absolute,
// in LLR units; 0 with clip = Inf visits every leaf of finite metric): detect/app_tree.h
// proves it. With a finite clip, a max-log pass (find_bit_llrs) first finds the bits whose
// LLRs are beyond the clip for certain; they are returned as +-clip and need no masses.
// Host-free: no allocation, no errors.
#pragma once

#include <cstdint>

#include "core/interrupt_check.h"
#include "detect/app_tree.h"
#include "detect/soft_search.h"

// Doubles of scratch that find_app_llrs needs for these levels:
// 2n + 4*sum M_i + 13(n+1) + 12B (the search) + B + n + soft_scratch_size(n, B) (the
// max-log pass).
std::int64_t app_scratch_size(const soft_levels& levels);

// Preconditions: those of find_bit_llrs (y and the upper triangle of R finite, no zero on
// the diagonal, n0 > 0 finite, clip >= 0 or Inf, La null or B values each finite or +-Inf,
// +Inf meaning a known 0), tol >= 0 finite.
//
// y: n values; R: n-by-n column-major (diagonal and above read). output: posterior or
// extrinsic (without priors both are the same). L: B values out. nodes (may be null): the
// children whose metric was computed (M_k for every node expanded; with tol = 0 and no
// overflow, every node of the tree). scratch: app_scratch_size(levels) doubles, any
// contents. check (may be null) is asked every search_poll_interval nodes. Returns found;
// interrupted (L then holds no answer); none for n <= 0, or when every metric overflowed
// (y or R near the limits of double: some bit has no finite-metric point on either side),
// L then holding no answer.
search_status find_app_llrs(const double* y, const double* R, const soft_levels& levels, double n0,
                            double clip, double tol, app_output output, const double* La, double* L,
                            std::int64_t* nodes, double* scratch,
                            const interrupt_check* check = nullptr);
