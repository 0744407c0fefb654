// SPDX-License-Identifier: BSD-3-Clause
// MMSE-PIC: soft interference cancellation with an MMSE filter per stream, from bit priors.
//
// From the priors, each stream's point probabilities P(x_t = c) = prod_b P(b(c)), its soft
// symbol xbar_t = E[x_t] and variance E_t = E|x_t|^2 - |xbar_t|^2. Stream t: the others'
// soft symbols subtracted, filtered with w_t = (H D_t H^H + N0 I)^-1 h_t, D_t =
// diag(E_1 .. Es .. E_nt) (Es at t), mu_t = w_t^H h_t, z_t = w_t^H (y - sum_{j!=t} h_j
// xbar_j) / mu_t, N0_t = (1 - Es mu_t)/mu_t; then the per-stream demapper
// (channel/soft_demap.h) with the stream's own priors.
//
// How it is computed (one factorisation per column, no per-stream solve): with A = H diag(E)
// H^H + N0 I, A_t = A + (Es - E_t) h_t h_t^H, so by Sherman-Morrison w_t is A^-1 h_t scaled,
// and the scale cancels in z_t. With u_t = A^-1 h_t and g_t = h_t^H u_t:
//   z_t = xbar_t + u_t^H r / g_t,  r = y - H xbar,
//   N0_t = 1/g_t - E_t,
// neither depending on Es. The nt-by-nt form (for every nr): by the push-through identity
// A^-1 H = H C with C = (N0 I + E G)^-1, G = H^H H, so g_t = (G C)_tt, u_t^H r = (C^H q)_t
// with q = H^H r, and E_t g_t = 1 - N0 C_tt (from (N0 I + E G) C = I), hence
// N0_t = (1 - E_t g_t)/g_t = N0 C_tt / g_t without cancellation. C^H = (N0 I + G E)^-1 is
// formed by Gauss-Jordan elimination with the pivots in order: N0 I + G E is a Hermitian
// positive definite matrix times a non-negative diagonal, its pivots real and positive for
// N0 > 0. With no priors (E_t = Es, xbar = 0) this is the unbiased MMSE filter of 'mmse';
// with every other stream known (E_j = 0) the matched filter, N0_t = N0/||h_t||^2.
//
// Real model (every value real, PAM): the filter with the noise variance per real entry N0/2
// in place of N0, and the demapper's noise twice the per-entry variance, as 'mmse' does.
//
// Complex values are std::complex<double>, matrices column-major. Host-free: no
// allocation, no errors; the caller owns every block.
#pragma once

#include <cstdint>

#include "channel/channel_qr.h"
#include "channel/soft_demap.h"

// A soft-in linear detection problem (MMSE-PIC and EP).
struct soft_linear_problem {
    bool complex_model = true;  // complex H and y; false: every value real (N0 = 2*sigma^2)
    std::int64_t nr = 0, nt = 0;
    soft_alphabet alphabet;  // the constellation (EP: alphabet.grid separable)
    double clip = 0.0;       // >= 0, Inf allowed: applied to what is returned
    llr_output output = llr_output::posterior;
};

enum class soft_status {
    done,
    singular,    // a pivot of the column's matrix was not positive (N0 = 0 with known streams)
    not_finite,  // the column's values overflowed (H, y or N0 near the limits of double)
};

// The page of channel H (nr-by-nt): its Gram matrix G = H^H H, nt*nt complex, out.
void mmse_pic_prepare(const cplx* H, std::int64_t nr, std::int64_t nt, cplx* gram);

// Doubles of scratch that mmse_pic_column needs.
std::int64_t mmse_pic_scratch(const soft_linear_problem& p);

// One received vector y (nr values) with the page's H and gram. n0 > 0 the noise variance
// per complex receive antenna (the real model: N0 = 2 sigma^2). prior: null (no priors) or
// nt*bits a priori LLRs in the caller's order (antenna 1's bits first, each antenna's in the
// labels' column order), L = ln P(b=0)/P(b=1), each finite or +-Inf (a known bit).
// iterations >= 1 (less counts as 1): more than one feeds the a-posteriori LLRs of a pass
// back as the priors from which the next pass forms its soft symbols (the demapper always
// applies the caller's priors, so that what is returned is the posterior, or the extrinsic
// value, relative to them). llr: nt*bits out (p.output, clipped to p.clip). idx: nt out, the
// 0-based point of least metric per stream. z, noise: null or nt out, the last pass's z_t and the
// demapper's noise N0_t. A stream that no receiver sees (a zero column of H) gets its priors back
// as posterior (extrinsic 0) and the point of least prior cost. Returns done, or singular /
// not_finite (then llr holds zeros and idx zeros: no answer).
soft_status mmse_pic_column(const soft_linear_problem& p, const cplx* H, const cplx* gram,
                            const cplx* y, double n0, const double* prior, int iterations,
                            double* llr, std::int32_t* idx, cplx* z, double* noise,
                            double* scratch);

// Soft symbol and variance of one stream from its bits' priors (null: equiprobable points):
// mean = sum c P(c), var = sum |c - mean|^2 P(c), P(c) proportional to exp(-sum_b cost_b(c))
// with the prior costs of channel/soft_demap.h. Separable constellations per dimension.
void soft_symbol(const soft_alphabet& a, const double* La, cplx* mean, double* var);
