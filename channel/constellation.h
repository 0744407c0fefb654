// SPDX-License-Identifier: BSD-3-Clause
// What a constellation and its labels allow: the real-valued search on odd integers (square
// QAM or PAM on a uniform grid, labels split into bits of the real and of the imaginary
// part in any positions) or only the search over complex points.
//
// Host-free: no allocation, no errors.
#pragma once

#include <cstdint>

// Labels are bits-bit patterns, the first bit (column 1 of the caller's table) the most
// significant: bit c (0-based column) of label l is (l >> (bits - 1 - c)) & 1.
inline std::uint32_t label_bit(std::uint32_t label, int bits, int c) {
    return (label >> (bits - 1 - c)) & 1u;
}

struct constellation_grid {
    // The points are center + half_step*(s_re + i*s_im) with s_re, s_im odd integers of
    // magnitude below side (each once): the real-valued search and the lattice methods work.
    bool grid = false;
    // grid, and every bit of the labels depends on the real part alone or on the imaginary
    // part alone: the real-valued soft search works.
    bool separable = false;
    int dims = 0;       // 1: PAM (real model), one level per antenna; 2: square QAM, two
    int side = 0;       // values per dimension (M or sqrt(M))
    int side_bits = 0;  // log2(side)
    double center_re = 0.0, center_im = 0.0, half_step = 0.0;
    // point_at[a + side*b]: the index of the point whose real part is the a-th value from
    // the most negative and whose imaginary part is the b-th (b = 0 for PAM)
    std::int32_t point_at[256] = {};
    // separable: the labels of each dimension's values (a = 0 .. side-1), side_bits bits,
    // and the label bit (0-based column) that each of those bits is, most significant first.
    // side is at most 256 (PAM of 256 points), side_bits at most 8.
    std::uint32_t labels_re[256] = {}, labels_im[256] = {};
    std::int32_t bit_re[8] = {}, bit_im[8] = {};
};

// points: M complex values, interleaved (re, im); labels: M labels of `bits` bits, distinct.
// complex_model false: every imaginary part is zero and the model is real (PAM); true:
// square QAM is looked for. M a power of two, 2 .. 256.
void analyse_constellation(const double* points, int M, const std::uint32_t* labels, int bits,
                           bool complex_model, constellation_grid* g);
