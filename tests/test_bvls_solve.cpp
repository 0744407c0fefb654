// SPDX-License-Identifier: BSD-3-Clause
// bvls_solve, the entry point of the gateways: the same exit, pass and x bit for bit as the
// iteration set up by hand (tests/box_problems.h), whatever its scratch held before, and a
// breakdown for an x that is not finite.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "box/bound_classification.h"
#include "box/bvls.h"
#include "tests/box_problems.h"

using namespace box_test;

namespace {

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// One solve through bvls_solve with scratch and x filled with fill beforehand.
struct solved {
    bvls_result result;
    vec x;
};

solved solve_with(const problem& p, const vec& start, double fill) {
    const std::int64_t n = p.n;
    std::vector<std::int64_t> slot(n + 2, -7);
    vec dual(n, fill), columns(n * (n + 2), fill), z(n, fill), work(2 * n, fill), G(n * n, fill);
    bvls_scratch scratch;
    scratch.slot = slot.data();
    scratch.dual = dual.data();
    scratch.columns = columns.data();
    scratch.z = z.data();
    scratch.work = work.data();
    scratch.G = G.data();
    solved out{{bvls_exit::converged, 0}, vec(n, fill)};
    out.result = bvls_solve(n, p.R.data(), p.y.data(), p.u, start.empty() ? nullptr : start.data(),
                            out.x.data(), scratch);
    return out;
}

// A valid warm start: the variables in a random order, a random count of them bound.
vec random_start(std::int64_t n, std::mt19937_64& gen) {
    std::vector<std::int64_t> order(n);
    for (std::int64_t j = 0; j < n; ++j) order[j] = j + 1;
    std::shuffle(order.begin(), order.end(), gen);
    const std::int64_t count = std::uniform_int_distribution<std::int64_t>(0, n)(gen);
    vec start(n + 2, 0.0);
    for (std::int64_t s = 1; s <= n; ++s) {
        const bool lower = s <= count && (gen() & 1) != 0;
        start[s] = static_cast<double>(lower ? -order[s - 1] : order[s - 1]);
    }
    start[n + 1] = static_cast<double>(count);
    return start;
}

bool failure(bvls_exit e) {
    return bvls_exit_message(e)[0] != '\0';
}

}  // namespace

TEST(bvls_solve, same_bits_as_the_iteration_set_up_by_hand) {
    struct family {
        std::int64_t n;
        double cond, u, noise, y_scale;
    };
    const std::vector<family> families = {
        {1, 1.0, 1.0, 0.0, 1.0},  {3, 1.0, 0.0, 0.0, 1.0},   {6, 1e3, 1.0, 0.5, 1.0},
        {12, 1.0, 0.3, 0.0, 1.0}, {25, 1e8, 1.0, 0.0, 1.0},  {40, 1.0, 2.0, 1.0, 1.0},
        {8, 1e15, 1.0, 0.0, 1.0}, {5, 1.0, 1.0, 0.0, 1e150}, {10, 1e4, 1.0, 0.1, 1e-150},
        {2, 1.0, 1e10, 0.0, 1.0},
    };
    std::mt19937_64 gen(5);
    std::size_t compared = 0, failures = 0;
    for (const family& f : families) {
        for (std::uint64_t seed = 0; seed < 4; ++seed) {
            problem p = make_problem(f.n, f.cond, 40 * f.n + seed, f.u == 0.0 ? 1.0 : f.u, f.noise);
            p.u = f.u;
            for (double& v : p.y) v *= f.y_scale;
            const run cold = solve(p);
            vec classified(f.n + 2, 0.0);
            classify_bounds(cold.x.data(), f.n, p.u, classified.data());
            for (const vec& start : {vec{}, classified, random_start(f.n, gen)}) {
                SCOPED_TRACE("n=" + std::to_string(f.n) + " cond=" + std::to_string(f.cond) +
                             " seed=" + std::to_string(seed) + (start.empty() ? " cold" : " warm"));
                const run by_hand = start.empty() ? cold : solve(p, start);
                bool finite = true;
                for (double v : by_hand.x) finite = finite && std::isfinite(v);
                const bvls_exit expected = failure(by_hand.result.exit) || finite
                                               ? by_hand.result.exit
                                               : bvls_exit::breakdown;
                for (double fill : {0.0, std::numeric_limits<double>::quiet_NaN(), -3.5e300}) {
                    const solved s = solve_with(p, start, fill);
                    EXPECT_EQ(static_cast<int>(s.result.exit), static_cast<int>(expected));
                    EXPECT_EQ(s.result.iter, by_hand.result.iter);
                    if (failure(s.result.exit)) {
                        ++failures;
                        continue;  // x is not handed back
                    }
                    for (std::int64_t j = 0; j < f.n; ++j) {
                        EXPECT_EQ(bits(s.x[j]), bits(by_hand.x[j]))
                            << "x" << j + 1 << " fill " << fill;
                    }
                    ++compared;
                }
            }
        }
    }
    // the table reaches both kinds of exit
    EXPECT_GT(compared, 200u);
    EXPECT_GT(failures, 0u);
}

// The failure exits carry the messages the gateways raise; the normal ones none.
TEST(bvls_solve, exit_messages) {
    EXPECT_STREQ(bvls_exit_message(bvls_exit::converged), "");
    EXPECT_STREQ(bvls_exit_message(bvls_exit::optimal), "");
    EXPECT_STREQ(bvls_exit_message(bvls_exit::all_free), "");
    EXPECT_STREQ(bvls_exit_message(bvls_exit::iteration_cap), "");
    EXPECT_STREQ(bvls_exit_message(bvls_exit::breakdown),
                 "R is too ill-conditioned: the free-set Gram matrix is numerically singular\n");
    EXPECT_STREQ(bvls_exit_message(bvls_exit::too_many_free), "Too many free variables!");
}

// R = [1e-200 -1; 0 2], y = [1; 1e200] from a cold start: a free-set solve overflows, and
// the solver stops instead of stepping towards it.
TEST(bvls_solve, overflowing_free_set_is_a_breakdown) {
    const problem p{2, {1e-200, 0.0, -1.0, 2.0}, {1.0, 1e200}, 1.0};
    const solved s = solve_with(p, {}, 0.0);
    EXPECT_EQ(static_cast<int>(s.result.exit), static_cast<int>(bvls_exit::breakdown));
}

TEST(bvls_solve, blas_takes_64_bit_integers) {
    EXPECT_TRUE(bvls_blas_usable());
}
