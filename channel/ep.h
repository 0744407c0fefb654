// SPDX-License-Identifier: BSD-3-Clause
// Expectation propagation (EP) detection on the real-valued model, from bit priors.
//
// The model y_r = H_r x_r + n, n of variance s2 = N0/2 per real entry (the complex model
// through its real form: entry 2t the real part of x_t, 2t+1 its imaginary part; the real
// model: entry t). Each entry's alphabet is one dimension of a separable constellation
// (square QAM or PAM whose label bits each follow one dimension). Each entry i has a Gaussian
// site of precision lam_i and precision-weighted mean gam_i. The iteration (Cespedes, Olmos,
// Sanchez-Fernandez, Perez-Cruz, 2014):
//   1. Sigma = (H_r^T H_r / s2 + diag lam)^-1, mu = Sigma (H_r^T y_r / s2 + gam);
//   2. the cavity of entry i: v_i = 1/(1/Sigma_ii - lam_i), t_i = v_i (mu_i/Sigma_ii - gam_i);
//   3. the tilted moments over the entry's values a: p(a) proportional to
//      P_prior(a) exp(-(t_i - a)^2/(2 v_i)), xhat_i = E[a], s_i = Var[a];
//   4. the new sites lam'_i = 1/s_i - 1/v_i, gam'_i = xhat_i/s_i - t_i/v_i; where lam'_i is
//      not positive the old pair is kept;
//   5. damping: lam_i = beta*lam_i + (1 - beta)*lam'_i, gam_i likewise (beta weights the
//      previous value).
// The sites start from the priors: lam_i = 1/v0_i, gam_i = m0_i/v0_i with m0_i, v0_i the mean
// and variance of the entry's values under the prior (equiprobable without priors).
// `iterations` counts the passes through steps 1-2: each pass but the last goes on to
// steps 3-5, and the LLRs come from the last pass's cavity (t_i, v_i) by the per-entry
// demapper (channel/soft_demap.h: metric (t_i - a)^2/(2 v_i) plus the priors of the entry's
// bits). So one iteration (whatever beta) is the unbiased linear MMSE estimate under the
// priors' Gaussian approximation: without priors exactly 'mmse'.
//
// Computed in noise units: P = H_r^T H_r + s2 diag(lam) (Cholesky), mu = P^-1 (H_r^T y_r +
// s2 gam), Sigma_ii = s2 (P^-1)_ii, the cavity precision c_i = 1/(P^-1)_ii - s2 lam_i,
// v_i = s2/c_i, t_i = (mu_i/(P^-1)_ii - s2 gam_i)/c_i (no division by s2: N0 = 0 works).
// Floors (relative to the variance v_u of an entry's values when equiprobable): variances
// below 1e-12 v_u are raised to it; a cavity whose precision is not positive takes
// v_i = 1e-12 v_u and t_i = mu_i.
//
// Complex values are std::complex<double>, matrices column-major. Host-free: no
// allocation, no errors; the caller owns every block.
#pragma once

#include <cstdint>

#include "channel/channel_qr.h"
#include "channel/mmse_pic.h"

// Real entries of the model: 2nt (complex model) or nt.
inline std::int64_t ep_entries(const soft_linear_problem& p) {
    return p.complex_model ? 2 * p.nt : p.nt;
}

// Doubles of EP's page: H_r^T H_r, n-by-n (n = ep_entries).
inline std::int64_t ep_page_size(const soft_linear_problem& p) {
    return ep_entries(p) * ep_entries(p);
}

// The page of channel H (nr-by-nt complex; the real model: every imaginary part zero):
// gram_r = H_r^T H_r out (ep_page_size doubles).
void ep_prepare(const soft_linear_problem& p, const cplx* H, double* gram_r);

// Doubles of scratch that ep_column needs.
std::int64_t ep_scratch(const soft_linear_problem& p);

// Optional views of the last pass (each null or ep_entries values out).
struct ep_trace {
    double* cavity_mean = nullptr;  // t_i
    double* cavity_var = nullptr;   // v_i
    double* post_mean = nullptr;    // mu_i
    double* post_var = nullptr;     // Sigma_ii
};

// One received vector y (nr values) with the page's H and gram_r. p.alphabet.grid must be
// separable. n0 >= 0 the noise variance per complex receive antenna (the real model:
// N0 = 2 sigma^2); prior: null or nt*bits a priori LLRs in the caller's order (antenna 1's
// bits first, each antenna's in the labels' column order), L = ln P(b=0)/P(b=1), finite or
// +-Inf. iterations >= 1 (less counts as 1), damping in [0, 1). llr: nt*bits out
// (p.output, clipped to p.clip). idx: nt out, the 0-based point of least metric per
// antenna. Returns done, or singular (a pivot of P not positive: N0 = 0 with a
// rank-deficient H) / not_finite (overflow); then llr and idx hold zeros.
soft_status ep_column(const soft_linear_problem& p, const double* gram_r, const cplx* H,
                      const cplx* y, double n0, const double* prior, int iterations, double damping,
                      double* llr, std::int32_t* idx, double* scratch,
                      const ep_trace* trace = nullptr);
