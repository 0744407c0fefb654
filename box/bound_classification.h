// SPDX-License-Identifier: BSD-3-Clause
// Bound classification: the index-set vector of a point x in the box [-a, a].
//
// The vector has n + 2 slots (0-based offsets):
//   slot 0        left as the caller's zero fill; readers ignore it;
//   slots 1..c    the c variables at a bound, in increasing index order: -j when x(j) <= -a
//                 (tested first, inclusive), +j when x(j) >= a (inclusive);
//   slots c+1..n  the free variables +j, filled from slot n downwards as j goes up, so that
//                 slot n holds the free variable with the smallest index;
//   slot n+1      the count c.
// Indices j are 1-based. A NaN component fails both tests and is free. The vector is what
// the box-constrained solver reads as its warm start. Host-free: no allocation, no errors.
#pragma once

#include <cstdint>

// x: n values (read). index_set: n + 2 doubles, zero-filled by the caller (written).
void classify_bounds(const double* x, std::int64_t n, double a, double* index_set);
