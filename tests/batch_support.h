// SPDX-License-Identifier: BSD-3-Clause
// Helpers for the tests of the batch forms: random frames, the thread-count setting, and
// bit-for-bit comparison of a batch output's columns with single calls.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "host/test_host.h"
#include "tests/random_pages.h"

// Sets LATBOX_NUM_THREADS for its lifetime ("" unsets it).
class thread_setting {
public:
    explicit thread_setting(const std::string& value) {
        if (value.empty()) {
            unsetenv("LATBOX_NUM_THREADS");
        } else {
            setenv("LATBOX_NUM_THREADS", value.c_str(), 1);
        }
    }
    ~thread_setting() { unsetenv("LATBOX_NUM_THREADS"); }
};

// The thread counts every batch comparison runs with: the default, serial, two, seven.
inline const std::vector<std::string>& thread_settings() {
    static const std::vector<std::string> settings{"", "1", "2", "7"};
    return settings;
}

// A frame: K columns of n rows and P channel pages (K a multiple of P).
struct frame_shape {
    std::size_t n, K, P;
};

// Shapes that cover one channel, one per column, block fading, one column, more threads
// than columns, and empty frames.
inline const std::vector<frame_shape>& frame_shapes() {
    static const std::vector<frame_shape> shapes{{4, 24, 1}, {4, 24, 24}, {5, 24, 3}, {3, 1, 1},
                                                 {6, 5, 5},  {2, 3, 1},   {8, 40, 8}, {3, 0, 1}};
    return shapes;
}

inline std::vector<double> random_values(std::mt19937_64& rng, std::size_t count, double scale) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<double> v(count);
    for (double& x : v) x = scale * unit(rng);
    return v;
}

// Page p of an n-by-n-by-P array as its own matrix.
inline th_array page_of(const std::vector<double>& R, std::size_t n, std::size_t p) {
    return th_matrix(n, n, std::vector<double>(R.begin() + p * n * n, R.begin() + (p + 1) * n * n));
}

// Column k of an m-by-K array as a column vector.
inline th_array column_of(const double* X, std::size_t m, std::size_t k) {
    return th_column(std::vector<double>(X + k * m, X + (k + 1) * m));
}

// Bit-for-bit equality of count doubles (NaN and -0 compare by their bits).
inline ::testing::AssertionResult same_bits(const double* a, const double* b, std::size_t count) {
    if (count == 0 || std::memcmp(a, b, count * sizeof(double)) == 0) {
        return ::testing::AssertionSuccess();
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (std::memcmp(a + i, b + i, sizeof(double)) != 0) {
            return ::testing::AssertionFailure()
                   << "element " << i << ": " << a[i] << " vs " << b[i];
        }
    }
    return ::testing::AssertionFailure();
}

// A successful call's outputs; a failed call fails the test with its message.
inline th_result call_ok(gateway_fn* gateway, int nlhs, const std::vector<const host_array*>& in) {
    th_result r = th_call(gateway, nlhs, in);
    EXPECT_FALSE(r.failed) << r.message;
    EXPECT_EQ(r.blocks_live, 0u);
    EXPECT_EQ(r.arrays_discarded, 0u);
    return r;
}
