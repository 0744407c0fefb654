// SPDX-License-Identifier: BSD-3-Clause
// The per-stream max-log demapper with bit priors: one estimate z of one stream's symbol with
// its noise variance n0 to the LLRs of the symbol's bits and the point of least metric. Shared
// by the linear detectors ('mmse', 'zf'), MMSE-PIC and EP.
//
// Conventions: L = ln P(b=0)/P(b=1) (positive means 0). The metric of point m is
//   |z - c_m|^2 / n0 + sum_b La(b)*b(c_m)
// (La = +-Inf: a known bit, +Inf meaning 0), and the max-log LLR of bit b is
//   L(b) = (least metric with b = 1) - (least metric with b = 0).
// posterior: that L; extrinsic: the same with the bit's own prior term left out of both
// minima (exactly L - La in exact arithmetic, and defined for a known bit). What is returned
// is clipped, exactly: sign(L)*min(|L|, clip).
//
// The metrics are kept in distance units (|z - c|^2 + n0*prior cost), the priors scaled by
// n0 once per bit, and divided by n0 once per bit at the end: no division per point. A prior
// whose scaled cost overflows acts as a known bit.
//
// Complex values are std::complex<double>. Host-free: no allocation, no errors.
#pragma once

#include <cstdint>

#include "channel/channel_qr.h"
#include "channel/constellation.h"

enum class llr_output { posterior, extrinsic };

// A constellation as the demapper reads it. grid may be null; when grid->separable (square
// QAM or PAM whose label bits each follow the real part alone or the imaginary part alone)
// the separable path runs: one-dimensional distances per dimension, the priors added per
// dimension (exact: a bit's prior cost depends on its own dimension alone).
struct soft_alphabet {
    int M = 0;     // points, a power of two, 2 .. 256
    int bits = 0;  // log2(M), at most 8
    const cplx* points = nullptr;
    const std::uint32_t* labels = nullptr;  // M distinct labels (channel/constellation.h)
    const constellation_grid* grid = nullptr;
};

// Whether demap_stream takes the separable path for a.
inline bool soft_separable(const soft_alphabet& a) {
    return a.grid != nullptr && a.grid->separable;
}

// One stream: z its estimate, n0 > 0 its noise variance (0 and +Inf give the limits: the sign
// of the difference of the least distances, clipped; no information). La: null or `bits` a
// priori LLRs of the stream's bits in the labels' column order, each finite or +-Inf. L: bits
// LLRs out. idx: out, the point of least metric (priors included; the first of equal ones;
// 0 when every metric overflows). A NaN LLR (every metric overflowing) is returned as 0.
void demap_stream(cplx z, double n0, const soft_alphabet& a, const double* La, llr_output out,
                  double clip, double* L, std::int32_t* idx);

// One real dimension of a separable constellation (a PAM entry, or the real or imaginary part
// of square QAM): values[0..side-1] the dimension's values, labels[a] their side_bits-bit
// labels (most significant first), metric (z - values[a])^2/n0 + sum_j La[j]*bit_j(a).
// La: null or side_bits priors. L: side_bits LLRs out (clipped, as above). best: out, the
// a of least metric (the first of equal ones), least: out, that metric in distance units
// (n0 times it; +Inf when every metric overflows).
void demap_dimension(double z, double n0, const double* values, const std::uint32_t* labels,
                     int side, int side_bits, const double* La, llr_output out, double clip,
                     double* L, int* best, double* least);

// The prior cost of a bit value b in LLR units, relative to the cheaper value: La*b for
// La >= 0, -La*(1-b) otherwise (the metric's La*b less the constant min(La, 0)); +Inf for a
// value that a known bit excludes. Never NaN for a non-NaN La.
inline double prior_cost(double La, std::uint32_t b) {
    return b ? (La > 0.0 ? La : 0.0) : (La < 0.0 ? -La : 0.0);
}
