// SPDX-License-Identifier: BSD-3-Clause
// Linear (MMSE and zero-forcing) filters of a complex channel page, per-stream max-log
// demapping, and decision feedback with nearest-point decisions.
//
// Complex values are std::complex<double>, matrices column-major. Host-free: no
// allocation, no errors.
#pragma once

#include <cstdint>

#include "channel/channel_qr.h"

// Doubles of scratch (as cplx, two doubles each) that linear_filter needs.
inline std::int64_t linear_filter_scratch(std::int64_t nr, std::int64_t nt) {
    return 2 * nt * (2 * nt + nr);
}

// G = (H^H*H + sigma*I)^-1 * H^H (sigma = 0: zero forcing), by Gauss-Jordan elimination
// of [A | I | H^H] with A = H^H*H + sigma*I, the pivots taken in order (A is Hermitian and
// positive definite). H: nr-by-nt. G: nt-by-nr out. inv_diag: nt out, the diagonal of A^-1.
// mu: nt out, the real part of (G*H)_tt. work: linear_filter_scratch(nr, nt) doubles.
// Returns false when a pivot is not positive and finite (A singular or overflowing).
bool linear_filter(const cplx* H, std::int64_t nr, std::int64_t nt, double sigma, cplx* G,
                   double* inv_diag, double* mu, cplx* work);

// z = G*y. G: nt-by-nr, y: nr values, z: nt values out.
void apply_filter(const cplx* G, std::int64_t nr, std::int64_t nt, const cplx* y, cplx* z);

// Per-stream max-log without priors (the demapper of channel/soft_demap.h, which the
// linear methods use, agrees with it within rounding): with metric(m) = |z - points[m]|^2 / n0, for
// every bit c of the labels L[c] = (least metric with bit c = 1) - (least with bit c = 0), then
// clipped to
// +-min(|L[c]|, clip); idx: the point of least metric (the first of equal ones).
// points: M complex; labels: M labels of `bits` bits (channel/constellation.h).
void stream_llrs(cplx z, double n0, const cplx* points, int M, const std::uint32_t* labels,
                 int bits, double clip, double* L, std::int32_t* idx);

// The index of the point nearest to z (the first of equal ones).
std::int32_t nearest_point(cplx z, const cplx* points, int M);

// Decision feedback on an upper-triangular R with a real diagonal, last row first: row i's
// observation cleared of the decisions below it, divided by R(i,i), decided as the nearest
// point. z: nt values; R: nt-by-nt; idx: nt out (0-based point indices, R's column order).
// x: nt complex of scratch (the decided points).
void nearest_feedback(const cplx* z, const cplx* R, std::int64_t nt, const cplx* points, int M,
                      std::int32_t* idx, cplx* x);
