// SPDX-License-Identifier: BSD-3-Clause
// Lenstra-Lenstra-Lovasz reduction of a lattice basis B = Q*R given by its QR factors.
//
// Works in place on the factors, never forms B. Column k (1-based, from 2) is first
// size-reduced against columns k-1, k-2, ..., 1: mu = floor(R(j,k)/R(j,j) + 0.5) and, for a
// non-zero mu, R(1..j,k) -= mu*R(1..j,j) and U(:,k) -= mu*U(:,j). Then the pair k-1, k is
// exchanged when the strict Lovasz test
//     (R(k-1,k-1)*delta)*R(k-1,k-1) > R(k,k)*R(k,k) + R(k-1,k)*R(k-1,k)
// holds: columns k-1 and k of R and U are swapped whole, rows k-1 and k of R (columns k-1..n)
// receive the Givens rotation that zeroes R(k,k-1) (that entry keeps its rounding residue),
// columns k-1 and k of Q receive its transpose, and k = max(k-1, 2); otherwise k = k+1.
// Every column operation on R is repeated on U, so Q*R*U_in = Qo*Ro*Uo in exact arithmetic.
// Signs are not normalised. Host-free: no allocation, no errors, non-finite values
// propagate as the arithmetic gives them.
//
// Ending. In exact arithmetic, for delta <= 1, every exchange makes the pair's first
// diagonal entry strictly smaller, which bounds the number of exchanges. In floating point,
// with delta = 1 (or within a few ulps of it), the rotation can give that entry back
// unchanged or an ulp larger, and the test can then hold on the same pair again and again
// on values that are equal in exact arithmetic: the loop can cycle forever on ordinary
// 2-by-2 inputs (R = [18 9; 0 -15] with delta = 1). Such a "stalled" exchange is still made,
// exactly as above, until the loop is seen to return to a state it was in before (R and k equal bit
// for bit; Q and U are never read, so the loop would then repeat forever), or until it has made
// 1000 + 100*n of them (a tie can also keep a pair exchanging while the later columns drift by
// ulps, so that R never repeats exactly). From then on stalled exchanges are skipped. A reduction
// that ends without this rule is therefore never changed by it, and one that does not end without
// it comes back to a state (there are finitely many), with a stalled exchange in every round
// (below), and is caught. Every exchange that is not stalled makes the vector (|R(1,1)|, ...,
// |R(n,n)|), NaN ranked below every number, strictly smaller in lexicographic order (an exchange
// changes only the diagonal entries k-1 and k, size reduction none, and a NaN diagonal entry fails
// every test that could move it); the vector takes finitely many values, so the loop ends for every
// delta (> 1 included), every R (NaN, Inf, zero or rank-deficient) and every Q.
//
// Q: m-by-n (leading dimension m), R and U: n-by-n (leading dimension n), all in/out.
// scratch: at least reduce_qr_scratch_size(n) = n*n + 1 doubles, for the cycle watch (the
// exchanges and rotations work in place). Contents on entry irrelevant. m >= n.
// n <= 1 changes nothing.
#pragma once

#include <cstdint>

#include "core/interrupt_check.h"

inline std::int64_t reduce_qr_scratch_size(std::int64_t n) {
    return n * n + 1;
}

//
// check (may be null) is asked every 16384 steps of the loop whether to stop: the reduction
// then returns false, leaving Q, R and U as consistent factors of the same lattice (every step
// made so far is complete) but not yet reduced. Returns true when the reduction ended.
bool reduce_qr_factors(double* Q, double* R, double* U, std::int64_t m, std::int64_t n,
                       double delta, double* scratch, const interrupt_check* check = nullptr);
