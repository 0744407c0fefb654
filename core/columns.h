// SPDX-License-Identifier: BSD-3-Clause
// Column operations shared by the host-free routines.
#pragma once

#include <cstdint>

// y[i] = y[i] - mu*x[i] for i < len; x and y are different columns. Written in pairs so that
// the compiler packs each pair into one vector operation: every element still gets exactly
// one product and one difference.
inline void subtract_multiple(double* __restrict y, const double* __restrict x, double mu,
                              std::int64_t len) {
    std::int64_t i = 0;
    for (; i + 2 <= len; i += 2) {
        y[i] = y[i] - mu * x[i];
        y[i + 1] = y[i + 1] - mu * x[i + 1];
    }
    if (i < len) y[i] = y[i] - mu * x[i];
}

// Swaps the len doubles of columns x and y (different columns; in pairs, as above).
inline void swap_columns(double* __restrict x, double* __restrict y, std::int64_t len) {
    std::int64_t i = 0;
    for (; i + 2 <= len; i += 2) {
        const double x0 = x[i], x1 = x[i + 1];
        x[i] = y[i];
        x[i + 1] = y[i + 1];
        y[i] = x0;
        y[i + 1] = x1;
    }
    if (i < len) {
        const double x0 = x[i];
        x[i] = y[i];
        y[i] = x0;
    }
}
