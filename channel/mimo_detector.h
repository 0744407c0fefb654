// SPDX-License-Identifier: BSD-3-Clause
// The channel-level detector: from a complex (or real) channel page, received vectors and
// a constellation to bit LLRs and decided points, by one of several methods.
//
// A page is prepared once (QR or sorted QR, the real-valued form and its integer map, the
// lattice reduction, or the linear filter) into a block of doubles; each received vector
// of the page is then detected from it. Complex values are std::complex<double>, matrices
// column-major. Host-free: no allocation, no errors; the caller owns every block.
#pragma once

#include <cstdint>

#include "channel/channel_qr.h"
#include "channel/constellation.h"
#include "core/interrupt_check.h"
#include "detect/sphere_search.h"

enum class mimo_method { maxlog, ml, kbest, mmse, zf, sic, lr };

// The methods that search the QR factors (and need nr >= nt).
inline bool mimo_method_uses_qr(mimo_method m) {
    return m != mimo_method::mmse && m != mimo_method::zf;
}

struct mimo_problem {
    mimo_method method;
    bool complex_model;  // complex H and y; false: every value real (N0 = 2*sigma^2)
    std::int64_t nr, nt;
    bool sorted;  // sorted QR (the column of least remaining norm first)
    int M, bits;  // points, bits per point (log2 M)
    const cplx* points;
    const std::uint32_t* labels;  // M labels (channel/constellation.h)
    const constellation_grid* grid;
    // The search runs on the real-valued form (maxlog: grid->separable; ml, lr: grid->grid);
    // otherwise on the complex levels. lr needs it.
    bool real_path;
    double es;               // mean |point|^2
    double clip;             // >= 0, Inf allowed
    std::int64_t list_size;  // kbest: K
    // real_path: the levels of the real-valued form (see mimo_build_levels)
    const std::int32_t* level_bits;
    const std::uint32_t* level_labels;
};

// Levels of the real-valued form: 2*nt (complex model) or nt.
inline std::int64_t mimo_real_levels(const mimo_problem& p) {
    return p.complex_model ? 2 * p.nt : p.nt;
}

// The bits per level (mimo_real_levels values) and the label tables of every level, one
// after the other (side entries each), of the real-valued form.
void mimo_build_levels(const mimo_problem& p, std::int32_t* level_bits,
                       std::uint32_t* level_labels);

// Doubles of a prepared page, and of the scratch of one column.
std::int64_t mimo_page_size(const mimo_problem& p);
std::int64_t mimo_column_scratch(const mimo_problem& p);

enum class page_status { ready, rank_deficient, not_finite, interrupted };

// Prepares the page of channel H (nr-by-nt) into page (mimo_page_size doubles). n0 is used by
// 'mmse' only (its filter depends on it). scratch: mimo_column_scratch doubles.
page_status mimo_prepare_page(const mimo_problem& p, const cplx* H, double n0, double* page,
                              double* scratch, const interrupt_check* check = nullptr);

// Detects one received vector y (nr values) with a prepared page.
// prior: null or nt*bits a-priori LLRs in the caller's order (maxlog, kbest). llr: nt*bits
// out, antenna 1's bits first, each antenna's in the column order of the labels. idx: nt
// out, 1-based indices of the decided points in the caller's antenna order. nodes (may be
// null): the search's node count (tree methods; 0 for the others). Returns found, or
// interrupted (then the outputs hold no answer), or not_finite-like none when the
// prepared vector overflowed (outputs NaN).
search_status mimo_detect_column(const mimo_problem& p, const double* page, const cplx* y,
                                 double n0, const double* prior, double* llr, double* idx,
                                 double* nodes, double* scratch,
                                 const interrupt_check* check = nullptr);
