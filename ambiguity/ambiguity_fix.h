// SPDX-License-Identifier: BSD-3-Clause
// Integer ambiguity resolution (GNSS carrier phase): from float ambiguities ahat and their
// covariance Q to the best integer vectors, the bootstrapped success rate and a partial fix.
//
// The problem: minimise (ahat - a)' * inv(Q) * (ahat - a) over integer a. Steps:
//   1. shift: ahat = s + f, s = the nearest integer (halves upwards), f in [-1/2, 1/2);
//   2. scale Q by a power of four (exact) so that its largest diagonal entry lies in [1, 4);
//   3. reverse Cholesky with symmetric pivoting P'*Q*P = C*C' (C upper triangular, computed
//      from the last position back, the L'DL factorisation with C = L'*sqrt(D); each position
//      takes the ambiguity of least variance conditioned on those after it), read from the
//      lower triangle of Q; then R = inv(C) (upper triangular: a triangular inverse, never an
//      inverse of Q) and y = R*P'*f, so that (f - a)' * inv(Q) * (f - a) = ||y - R*P'*a||^2
//      (the pivoting halves the reduction's exchanges; P is part of U and Z below);
//   4. decorrelation: LLL reduction of the columns of R (pairs k-1, k: size reduction of
//      R(k-1,k), then an exchange when delta*R(k-1,k-1)^2 > R(k-1,k)^2 + R(k,k)^2, with the
//      Givens rotation of rows k-1, k applied to R and y), R*U' = G*R2, U' integer
//      unimodular with its exact inverse; U = P*U', z = inv(U)*a = Z'*a, Z = inv(U)'. The steps on
//      U and Z are logged (O(1) each) and U and Z formed from the log only when they are asked for,
//      when partial fixing needs U, or when a column bound nears 2^52 (from then on they are
//      updated step by step and checked exactly);
//   5. search: depth-first Schnorr-Euchner enumeration from the last row (the most precise
//      ambiguity) to the first, keeping the ncands best; once ncands are held the radius is
//      the worst of them;
//   6. back-transform a = U*z exactly: the logged steps applied to z backwards in 64-bit
//      integers (overflow-checked), or U*z with U formed (128-bit sums), afix = s + a.
//
// Order of the candidates: by squared norm as the search computed it, and among equal
// squared norms by the decorrelated integer vector z = Z'*a, compared from its last component
// (the first the search fixes) to its first, smaller first.
//
// Host-free: no allocation, no errors, no host calls. Sizes: n <= ambiguity_max_n and
// 1 <= ncands <= ambiguity_max_ncands(n); the caller checks them and the inputs (Q symmetric
// and finite, ahat finite) before the call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/interrupt_check.h"

// The largest problem: 1000 ambiguities (6 doubles of scratch per entry of Q, 2 of them the
// reduction's log: 48 MB; 8 with the gateway's outputs),
// and at most 2^16 candidates, or 2^24 doubles of them.
constexpr std::int64_t ambiguity_max_n = 1000;
constexpr std::int64_t ambiguity_max_ncands(std::int64_t n) {
    return n <= 256 ? 65536 : (std::int64_t{1} << 24) / n;
}

// Entries of U and of its inverse stay within +-2^53 (exact as doubles); a step of the
// reduction that would pass it is not made (status z_limit), the others go on.
constexpr std::int64_t ambiguity_z_limit = std::int64_t{1} << 53;

enum class ambiguity_method { ils, bootstrap, round, par };

enum class ambiguity_status {
    optimal,                // every answer is the exact optimum of its method
    z_limit,                // as optimal, but the reduction stopped early (Z would pass 2^53): the
                            // search ran on a less reduced problem (slower, same answers)
    node_limit,             // max_nodes ended the search: the best found so far, not proven optimal
    out_of_range,           // the answer needs integers beyond 2^51 (decorrelated) or 2^53 (afix):
                            // afix is NaN
    not_positive_definite,  // a conditional variance <= 16*eps times its variance (or NaN)
    interrupted,            // the caller's check asked to stop; outputs unspecified
};

struct ambiguity_options {
    ambiguity_method method = ambiguity_method::ils;
    std::int64_t ncands = 2;     // ils and par: how many best vectors
    double delta = 0.9;          // the LLL exchange parameter, in (1/4, 1]
    double min_sr = 0.995;       // par: the least success rate of the fixed block
    std::int64_t max_nodes = 0;  // > 0: a node budget for the search
};

// Caller-owned outputs. afix: n*ncands doubles (column c the c-th best; par and the
// single-answer methods fill column 0 and leave the rest NaN); sqnorm: ncands doubles (NaN
// where no candidate); fixed: n doubles, 1 where afix is an integer, else 0; D: n doubles,
// the conditional variances of the decorrelated problem (d_i = 1/R2(i,i)^2, the D of
// Z'*Q*Z = L'*D*L); Z: n*n doubles or null; U: n*n doubles or null, U = inv(Z)' (a = U*z),
// both exact integers. Asking for Z or U costs the forming of them and changes no result.
struct ambiguity_outputs {
    double* afix;
    double* sqnorm;
    double* fixed;
    double* D;
    double* Z;
    double* U = nullptr;
};

struct ambiguity_result {
    ambiguity_status status = ambiguity_status::optimal;
    std::int64_t found = 0;           // candidates found (<= ncands)
    std::int64_t nfixed = 0;          // decorrelated ambiguities fixed (n except for par)
    double success_rate = 0.0;        // prod_i erf(1/sqrt(8*d_i)), every i
    double fixed_success_rate = 0.0;  // the same over the fixed block (par), else = success_rate
    std::int64_t nodes = 0;           // candidates whose distance the search computed
    std::int64_t exchanges = 0;       // exchanges of the reduction
};

// Bytes of scratch for n ambiguities and ncands candidates (both within the limits above).
std::size_t ambiguity_scratch_bytes(std::int64_t n, std::int64_t ncands);

// ahat: n doubles; Q: n*n column-major (the lower triangle is read); scratch: at least
// ambiguity_scratch_bytes(n, options.ncands) bytes, 8-byte aligned, any contents. check
// (may be null) is asked every 2^20 search nodes and every 16384 reduction steps.
ambiguity_result ambiguity_fix(const double* ahat, const double* Q, std::int64_t n,
                               const ambiguity_options& options, const ambiguity_outputs& out,
                               void* scratch, const interrupt_check* check = nullptr);

// prod_i erf(1/sqrt(8*D[i])) over i = first .. n-1, in descending i (the order the partial
// fixing accumulates it).
double bootstrap_success_rate(const double* D, std::int64_t first, std::int64_t n);
