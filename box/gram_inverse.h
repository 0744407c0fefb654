// SPDX-License-Identifier: BSD-3-Clause
// The free-set Gram inverse of the box-constrained solver: G = (H'H)^-1 for the
// columns H of R that belong to the free variables, kept up to date column by column,
// and the free-set least-squares solve with it. Host-free: no allocation, no errors
// raised; failures come back as a status.
//
// Storage (column-major, 0-based): H has leading dimension m and its first k columns
// are the free columns; G is n-by-n with leading dimension n, and only the upper
// triangle of its leading k-by-k block means anything (what lies below the diagonal or
// outside the block is never read into a result). m must equal n.
#pragma once

#include <cstdint>

#include "box/blas64.h"

enum class gram_status {
    ok,
    not_square,      // m != n; nothing touched
    chol_failed,     // build: H'H not positive definite (dependent free columns)
    inverse_failed,  // build: the Cholesky factor is singular
};

// The message the solver shows for a failed status ("" for ok).
const char* gram_status_message(gram_status status);

// position == 0  build: G from the k columns H(:,0..k-1) (Gram matrix, Cholesky
//                factorisation, inverse). k = 0 computes nothing.
// position <  0  add: G holds the inverse for H(:,0..k-1); afterwards for those columns
//                followed by w, which the caller has already copied into H(:,k). Needs
//                k < n. Uses work[0..k-1] and work[n..n+k-1].
// position = p   remove (1 <= p <= k): afterwards G's leading (k-1)-by-(k-1) block holds
//                the inverse without column p (1-based), the others keeping their order.
//                Never reads H; the caller closes the gap in H itself. Uses work[0..k-2].
// k is never changed here: the caller sets it to k+1 after an add, k-1 after a remove.
// Add and remove test nothing: a zero Schur complement or pivot gives non-finite G.
// set: the kernels (blas64.h), by default chosen by n.
gram_status gram_inverse_update(std::int64_t m, std::int64_t n, std::int64_t k, const double* H,
                                double* G, const double* w, double* work, std::int64_t position,
                                kernel_set set = kernel_set::by_size);

// The least-squares solution on the free columns: z[0..k-1] = G*(H(:,0..k-1)'*r), with
// v[0..k-1] as scratch for H'*r; r (m entries) is overwritten with the residual
// r - H(:,0..k-1)*z. Returns the squared norm of that residual. Reads only H(:,0..k-1)
// and the upper triangle of G's leading k-by-k block.
double free_set_solve(std::int64_t m, std::int64_t n, std::int64_t k, const double* H,
                      const double* G, double* r, double* z, double* v,
                      kernel_set set = kernel_set::by_size);

// The same two with one set of kernels (library_kernels or plain_kernels), for a caller
// that has chosen it already.
template <class Kernels>
gram_status gram_inverse_update_with(std::int64_t m, std::int64_t n, std::int64_t k,
                                     const double* H, double* G, const double* w, double* work,
                                     std::int64_t position);
template <class Kernels>
double free_set_solve_with(std::int64_t m, std::int64_t n, std::int64_t k, const double* H,
                           const double* G, double* r, double* z, double* v);
