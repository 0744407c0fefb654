// SPDX-License-Identifier: BSD-3-Clause
// Max-log bit LLRs of a vector of complex symbols by breadth-first K-best search over the
// levels of channel/complex_search.h (same alphabet, bit numbering, metric and order of
// floating-point operations).
//
// From the root (the last row of R) to the first row, every partial path in the list is
// extended by all M points of the next level and the K of least partial metric (priors
// included, shifted as in complex_search.h) are kept; ties go to the candidate generated
// first (parents in list order, each parent's points in index order). From the final list
// (the paths of least metric, sorted in that order): the best path gives idx, and for
// every bit b, L[b] = (least metric in the list with bit b = 1) - (least with bit b = 0),
// positive meaning 0, clipped to +-clip. A bit without a counter-hypothesis in the list
// gets, without fill, +-clip with the sign of the best path's bit (+ for 0); with fill
// ('flip') the metric of a real candidate: for every such bit one is formed from the best
// path (the levels above the bit's level kept, on its level the point of least level metric
// whose bit differs, the levels below by decision feedback, each the point of least level
// metric), and each bit without one in the list takes the least metric of the formed
// candidates that differ from the best path there. With K >= M^n the list holds every
// point and L equals the max-log LLRs of find_complex_llrs. Host-free: no allocation, no
// errors; the work is bounded (n*min(K, M^(n-1))*M distances, and n^2*M more per filled
// bit).
#pragma once

#include <cstdint>

#include "channel/complex_search.h"

// The list length that K amounts to on n levels of M points: min(K, M^n).
std::int64_t kbest_list_size(std::int64_t n, std::int64_t M, std::int64_t K);

// Doubles of scratch that kbest_llrs needs for n levels of M points and list length K.
std::int64_t kbest_scratch_size(std::int64_t n, std::int64_t M, std::int64_t K);

// Preconditions as find_complex_llrs, and K >= 1 with kbest_scratch_size representable.
// z, R, L, idx as there (idx: the best path of the final list). nodes (may be null): the
// candidates whose distance was computed. scratch: kbest_scratch_size(n, M, K) doubles, any
// contents. check (may be null) is asked every search_poll_interval nodes or so (between two
// parents' extensions); returns found, or interrupted (L and idx then hold no answer), or
// none when every metric overflows (z or R near the limits of double; no answer either).
// La may hold +-Inf (a known bit). n <= 0 returns none, touching nothing.
// fill: form the counter-hypotheses ('flip'); filled (may be null): the bits filled.
search_status kbest_llrs(const double* z, const double* R, std::int64_t n,
                         const complex_alphabet& a, std::int64_t K, double n0, double clip,
                         const double* La, double* L, std::int32_t* idx, std::int64_t* nodes,
                         double* scratch, const interrupt_check* check = nullptr, bool fill = false,
                         std::int64_t* filled = nullptr);
