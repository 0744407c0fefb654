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

enum class mimo_method { maxlog, ml, kbest, mmse, zf, sic, lr, mmse_pic, ep, app };

// When a method searches the real-valued form of the problem instead of the complex levels.
enum class mimo_real_form { never, on_grid, separable };

// What a method is and needs: one description per method, the only place that says it.
struct mimo_method_traits {
    mimo_method method;
    const char* name;       // as the caller names it
    bool uses_qr;           // searches or feeds back on the QR factors (needs nr >= nt)
    bool needs_tall;        // needs nr >= nt
    bool soft;              // LLRs of its own; else +-clip with the signs of the decided bits
    bool takes_prior;       // 'prior'
    bool counts_nodes;      // the tree methods report their nodes
    bool needs_grid;        // square QAM or PAM on a uniform grid only
    mimo_real_form real;    // when it runs on the real-valued form
    const char* search;     // info.search when not on the real-valued form
    bool takes_list;        // 'K' and 'fill' (K-best)
    bool takes_iterations;  // 'iterations' (mmse-pic, ep)
    bool takes_damping;     // 'damping' (ep)
    bool needs_separable;   // square QAM or PAM whose labels split into real and imaginary bits
    bool takes_tol;         // 'tol' (app)
};

// The methods in the order the caller is told them; the description of one method.
extern const mimo_method_traits mimo_methods[10];
const mimo_method_traits& mimo_traits(mimo_method m);

// Whether method m runs on the real-valued form for a constellation analysed into grid.
bool mimo_uses_real_form(mimo_method m, const constellation_grid& grid);

// The levels of the real-valued form (see mimo_build_levels) hold side labels each, side at
// most 256 (PAM of 256 points; QAM has at most 16 values per dimension).

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
    const std::uint32_t* level_labels;  // mimo_real_levels * grid->side entries
    // the soft methods: the extrinsic LLRs (the LLR of the metric without the bit's own
    // prior, clipped) instead of the a-posteriori ones
    bool extrinsic = false;
    // kbest: form a counter-hypothesis for every bit the final list has none for ('flip')
    bool fill = true;
    int iterations = 1;    // mmse-pic, ep
    double damping = 0.9;  // ep: the weight of the previous site parameters
    double tol = 1e-9;     // app: the largest change of a returned LLR that dropped leaves may make
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
// prior: null or nt*bits a-priori LLRs in the caller's order (the soft methods), each finite
// or +-Inf (a known bit). llr: nt*bits out, antenna 1's bits first, each antenna's in the
// column order of the labels. idx: nt out, 1-based indices of the decided points in the
// caller's antenna order. nodes (may be null): the search's node count (tree methods; 0 for
// the others). Returns found; interrupted (then the outputs hold no answer); or
// out_of_range or none when the vector's metrics overflow (Y or H near the limits of
// double: no answer either). A linear method's stream that no receiver sees (a zero
// column of H, or no receive antennas) gets LLR 0 for every bit and the point nearest 0.
// filled (may be null): kbest's filled bits ('fill').
search_status mimo_detect_column(const mimo_problem& p, const double* page, const cplx* y,
                                 double n0, const double* prior, double* llr, double* idx,
                                 double* nodes, double* scratch,
                                 const interrupt_check* check = nullptr, double* filled = nullptr);
