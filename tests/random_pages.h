// SPDX-License-Identifier: BSD-3-Clause
// Random upper-triangular channel pages, for the tests of the batch forms and the batch
// benchmarks alike (no GoogleTest here).
#pragma once

#include <cstddef>
#include <random>
#include <vector>

// P n-by-n pages, upper triangular with diagonal entries of magnitude in [0.5, 2.5] and
// random signs, entries above in [-1, 1], exact zeros below.
inline std::vector<double> random_pages(std::mt19937_64& rng, std::size_t n, std::size_t P) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<double> R(n * n * P, 0.0);
    for (std::size_t p = 0; p < P; ++p) {
        for (std::size_t j = 0; j < n; ++j) {
            for (std::size_t i = 0; i < j; ++i) R[p * n * n + i + j * n] = unit(rng);
            const double d = 1.5 + unit(rng);
            R[p * n * n + j + j * n] = unit(rng) < 0 ? -d : d;
        }
    }
    return R;
}
