// SPDX-License-Identifier: BSD-3-Clause
// Bounded-variable least squares (BVLS): minimise ||y - R*x|| over the box -u <= x_j <= u
// for a square upper-triangular R, by an active-set iteration that keeps the inverse
// Gram matrix of the free columns (gram_inverse.h). Host-free: every buffer belongs to
// the caller, nothing is allocated, nothing is raised.
//
// Every variable is either at a bound or free. Each pass recomputes the residual and the
// dual vector R'(y - R x); it stops when the residual is negligible, when no variable is
// left at a bound, or when the sign conditions of optimality hold; otherwise it frees the bound
// variable that violates its condition most, solves on the free set, and while that solution leaves
// the box steps towards it as far as the box allows, sending the variables that reach a bound back
// to it.
#pragma once

#include <cstdint>

#include "box/blas64.h"
#include "box/optimality_check.h"
#include "core/interrupt_check.h"

// The working state. Variables are numbered 1..n; x_j is x[j-1], R_j column j of R.
// Buffers are sized as noted; their contents on entry do not matter except where noted.
struct bvls_state {
    std::int64_t n;   // variables = rows = columns of R, n >= 1
    const double* R;  // n*n, column-major, zeros below the diagonal
    const double* y;  // n
    double u;         // box half-width, u >= 0
    double* x;        // n: the iterate; set by the caller to a feasible start
    // n+2: the working index set in the layout of morrit's index-set vector. Slots
    // 1..n_bound hold -j (x_j = -u) or +j (x_j = +u); slots n_bound+1..n hold +j for
    // the free variables. Set by the caller; slots 0 and n+1 are not read.
    std::int64_t* slot;
    std::int64_t n_bound;  // n_bound + n_free == n
    std::int64_t n_free;
    // n*(n+2): columns 0..n-1 hold H, the columns of R of the free variables (free slot s
    // owns column n-s, so a newly freed variable is the last column); column n holds the
    // right-hand side rhs = y - sum over bound j of x_j R_j, column n+1 a copy of it that
    // the free-set solve turns into its residual.
    double* columns;
    double* z;     // n: free-set solution; z[c] belongs to the owner of column c
    double* dual;  // n: R'(y - R x) at the start of the pass
    double* work;  // 2n: R x, and the scratch of the Gram-inverse routines
    double* G;     // n*n: inverse Gram matrix of the free columns (upper triangle)
};

enum class bvls_exit {
    converged,       // residual below 1e-11 * ||y||
    optimal,         // the sign conditions hold at every bound variable
    all_free,        // no variable left at a bound after the first pass
    iteration_cap,   // 3n passes ran without another exit
    too_many_free,   // a freeing made the free set larger than n (corrupt index set)
    chol_failed,     // the initial free columns are dependent (Cholesky failed)
    inverse_failed,  // the initial free columns are dependent (singular factor)
    interrupted,     // the caller's check asked to stop (asked every 16 passes)
    breakdown,       // a free-set solution that is not finite, a step that cannot be
                     // formed from it, or (bvls_solve) an x that is not finite: the
                     // free-set Gram matrix is numerically singular
};

struct bvls_result {
    bvls_exit exit;
    std::int64_t iter;  // the pass at which the iteration stopped (3n+1 at the cap)
    // bvls_solve after the three normal exits: x checked against the optimality conditions
    // (optimality_check.h); zero otherwise. The check never changes x, exit or iter.
    optimality_check check = {0.0, 0.0};
};

// The message the solver shows for an exit that is a failure ("" for the four exits).
const char* bvls_exit_message(bvls_exit exit);

// Runs the iteration from the state the caller set up (x feasible, every bound variable
// at the bound its slot names, free variables anywhere in the box). With warm the first
// pass solves on the given free set without freeing anything first. On the four normal
// exits x is the iterate at the start of the exiting pass (after pass 3n at the cap).
// check (may be null) is asked every 16 passes whether to stop (exit interrupted, x then
// the iterate of an unfinished run). set: the vector and matrix kernels (blas64.h), by
// default chosen by n; one set whatever n only to compare the two.
bvls_result bvls_iterate(bvls_state& state, bool warm, const interrupt_check* check = nullptr,
                         kernel_set set = kernel_set::by_size);

// The caller's scratch for bvls_solve on n variables: blocks of the sizes given, whose
// contents on entry do not matter. One set per thread.
struct bvls_scratch {
    std::int64_t* slot;  // n+2
    double* dual;        // n
    double* columns;     // n*(n+2)
    double* z;           // n
    double* work;        // 2n
    double* G;           // n*n
};

// Solves the problem of bvls_state (n >= 1) into x (n values, written) from a cold start
// (start == nullptr: every variable at -u) or a warm start (start: an index-set vector of
// n+2 values in morrit's layout, already checked to name each variable once with a count
// between 0 and n; its bound variables start at their bound, the free ones at 0). Reports
// the exit and the pass of bvls_iterate, except that an x that is not finite after a
// normal exit or the cap is reported as a breakdown; after a normal exit, also the check
// of x against the optimality conditions (made in scratch.columns once the iteration is
// over: 4n of its n*(n+2) values; for n = 1, in four doubles of its own).
// set as for bvls_iterate.
bvls_result bvls_solve(std::int64_t n, const double* R, const double* y, double u,
                       const double* start, double* x, const bvls_scratch& scratch,
                       const interrupt_check* check = nullptr,
                       kernel_set set = kernel_set::by_size);

// True when the BLAS and LAPACK the solver calls take 64-bit integers. Where they do not
// (bound to a host's 32-bit library), no solve may run.
bool bvls_blas_usable();
