// SPDX-License-Identifier: BSD-3-Clause
// mimo_detect's arguments: the frame and the channel, the method and its options, the
// constellation and its labels, read and checked into plain structs (each fault raises its
// message through the host), and the problem the detector works on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "channel/constellation.h"
#include "channel/mimo_detector.h"
#include "gateways/batch.h"
#include "host/host.h"

// Real and imaginary parts of an input (im null: every imaginary part zero).
struct split_data {
    const double* re;
    const double* im;
};

// Y, H and N0: the frame of received vectors and its channel pages.
struct mimo_frame {
    split_data Y, H;
    std::size_t nr, nt, K, pages;
    batch_scalars n0;
};

// The method and the options that apply to it.
struct mimo_options {
    const mimo_method_traits* traits = nullptr;
    double clip = 20.0;
    double list = 16.0;                 // 'K' of kbest
    bool sorted = true;                 // 'ordering': 'sqrd' (true) or 'none'
    const host_array* prior = nullptr;  // the 'prior' argument as given, or null
    bool extrinsic = false;             // 'output': 'extrinsic' (true) or 'posterior'
    bool fill = true;                   // 'fill': 'flip' (true) or 'clip'
    int iterations = 0;                 // 'iterations' (0: the method's default)
    double damping = 0.9;               // 'damping'
    double tol = 1e-9;                  // 'tol'
};

// The constellation: its points, labels and analysis, and the real-valued form's level
// tables, in one block of scratch (free it with mimo_free_constellation).
struct mimo_constellation {
    std::size_t M = 0;
    int bits = 0;
    double es = 0.0;                  // mean |point|^2
    bool complex_model = false;       // complex Y, H or points
    cplx* points = nullptr;           // M
    std::uint32_t* labels = nullptr;  // M
    constellation_grid* grid = nullptr;
    std::int32_t* level_bits = nullptr;     // levels of the real-valued form
    std::uint32_t* level_labels = nullptr;  // levels * grid->side
    void* block = nullptr;                  // the one block all of these lie in
};

// Reads Y, H and N0 (prhs[0..2]), checks their shapes and N0's values.
mimo_frame read_mimo_frame(const host_array* const* prhs);

// Reads the method (prhs[5]) and the Name, Value pairs after it.
mimo_options read_mimo_options(int nrhs, const host_array* const* prhs);

// The shapes and values of const and bits (prhs[3], prhs[4]): M points, a power of two
// from 2 to 256, finite; bits M-by-log2(M) of 0 and 1, or [] (natural labels).
struct mimo_const_args {
    split_data points;
    const host_array* table;  // null: natural labels (m-1 for point m)
    std::size_t M;
    int bits;
};
mimo_const_args check_mimo_const(const host_array* cst, const host_array* table);

// The constellation from checked arguments (distinct labels and points, a grid for the
// methods that need one); complex_model: Y, H or the points complex. Raises on a fault after
// freeing what it obtained.
mimo_constellation read_mimo_constellation(const mimo_const_args& a, bool complex_model,
                                           const mimo_options& options, std::size_t nt);
void mimo_free_constellation(mimo_constellation& c);

// The a-priori LLRs of 'prior' (null without them): checked against B = nt*bits rows and K
// columns, finite or +-Inf. Raises naming the column.
const double* read_mimo_prior(const mimo_options& options, std::size_t B, std::size_t K);

// The finiteness of Y's columns and H's pages, and the shape the method needs.
void check_mimo_values(const mimo_frame& f, const mimo_options& options);

// The problem of the detector.
mimo_problem mimo_problem_of(const mimo_frame& f, const mimo_options& options,
                             const mimo_constellation& c);
