// SPDX-License-Identifier: BSD-3-Clause
// Decision-feedback (successive-cancellation) detectors on an upper-triangular R.
//
// Both decide the last symbol first and work upwards; each row's observation is cleared
// of the symbols already decided below it, divided by the diagonal entry and decided.
// Only the diagonal and the part above it of R are read. Host-free: plain column-major
// arrays, no allocation, no errors; non-finite values propagate as the arithmetic gives.
#pragma once

#include <cstdint>

// s[i] = floor((y[i] - sum_{j>i} s[j]*R(i,j)) / R(i,i) + 0.5) for i = n-1 .. 0.
// y: n values (read). R: n-by-n, leading dimension n (read). s: n values (written).
void round_feedback(const double* y, const double* R, std::int64_t n, double* s);

// As round_feedback, but each decision is the nearest odd integer
// floor(z*0.5 + 1.0)*2.0 - 1.0 clamped to [-u, u] (upper test first, strict tests).
// The clamped symbols are the ones cancelled from the rows above.
void odd_clamp_feedback(const double* y, const double* R, std::int64_t n, std::int32_t u,
                        double* s);
