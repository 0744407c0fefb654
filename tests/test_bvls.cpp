// SPDX-License-Identifier: BSD-3-Clause
// The BVLS iteration on plain arrays: the worked cases with their exact exits, pass
// counts and x; random well- and ill-conditioned problems against the KKT conditions
// and a brute-force solver; warm starts from the classification of a solution.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "box/bound_classification.h"
#include "box/bvls.h"
#include "tests/box_problems.h"

using namespace box_test;

namespace {

vec identity(std::int64_t n) {
    vec R(n * n, 0.0);
    for (std::int64_t i = 0; i < n; ++i) R[i + i * n] = 1.0;
    return R;
}

struct worked_case {
    std::string name;
    problem p;
    vec warm;  // index-set vector for a warm start; empty: cold start
    bvls_exit exit;
    std::int64_t iter;
    vec x;
    std::vector<std::int64_t> final_slots;  // slots 1..n at the exit; empty: not checked
};

const std::vector<worked_case>& worked_cases() {
    static const std::vector<worked_case> cases = {
        {"n1_inside", {1, {1.0}, {0.5}, 1.0}, {}, bvls_exit::converged, 2, {0.5}, {1}},
        {"n1_above", {1, {1.0}, {3.0}, 1.0}, {}, bvls_exit::optimal, 2, {1.0}, {1}},
        {"n1_below", {1, {1.0}, {-3.0}, 1.0}, {}, bvls_exit::optimal, 1, {-1.0}, {-1}},
        // freed in the order 1, 3, 2: F2 moves the last bound slot into the gap and
        // every selection is a tie that goes to the lowest slot
        {"identity3_zero",
         {3, identity(3), {0, 0, 0}, 1.0},
         {},
         bvls_exit::all_free,
         4,
         {0, 0, 0},
         {2, 3, 1}},
        // both free; equal ratios: variable 2 (lower free slot) limits, both move up,
        // variable 2 first
        {"identity2_warm_free",
         {2, identity(2), {3, 3}, 1.0},
         {0, 2, 1, 0},
         bvls_exit::optimal,
         2,
         {1, 1},
         {2, 1}},
        {"n1_warm_above", {1, {1.0}, {3.0}, 1.0}, {0, 1, 0}, bvls_exit::optimal, 2, {1.0}, {1}},
        {"n1_warm_inside", {1, {1.0}, {0.5}, 1.0}, {0, 1, 0}, bvls_exit::converged, 2, {0.5}, {1}},
        // the start is the solution's index set: pass 1 accepts, pass 2 sees optimality
        {"warm_at_solution",
         {2, identity(2), {3, 0.5}, 1.0},
         {0, 1, 2, 1},
         bvls_exit::optimal,
         2,
         {1, 0.5},
         {1, 2}},
        // every variable free, solution inside: pass 2 sees a zero residual
        {"warm_all_free_inside",
         {2, {2, 0, 1, 1}, {1, 0.5}, 1.0},
         {0, 2, 1, 0},
         bvls_exit::converged,
         2,
         {0.25, 0.5},
         {}},
        // u = 0: every step has alpha = 0 and the limiting variable goes to the upper
        // bound; from both at +u with negative duals the two variables are freed in turn
        // for ever, so pass 3n+1 = 7 meets the cap with x as pass 6 left it
        {"pass_cap",
         {2, identity(2), {-1, -1}, 0.0},
         {0, 1, 2, 2},
         bvls_exit::iteration_cap,
         7,
         {0, 0},
         {}},
    };
    return cases;
}

bool normal_exit(bvls_exit e) {
    return e == bvls_exit::converged || e == bvls_exit::optimal || e == bvls_exit::all_free;
}

}  // namespace

TEST(bvls_worked, exits_passes_and_solutions) {
    for (const worked_case& c : worked_cases()) {
        SCOPED_TRACE(c.name);
        const run r = solve(c.p, c.warm);
        EXPECT_STREQ(exit_name(r.result.exit), exit_name(c.exit));
        EXPECT_EQ(r.result.iter, c.iter);
        for (std::int64_t j = 0; j < c.p.n; ++j) EXPECT_DOUBLE_EQ(r.x[j], c.x[j]) << "x" << j + 1;
        if (!c.final_slots.empty()) {
            for (std::int64_t s = 1; s <= c.p.n; ++s) {
                EXPECT_EQ(r.slot[s], c.final_slots[s - 1]) << "slot " << s;
            }
        }
    }
}

TEST(bvls_worked, zero_box_keeps_x_at_zero) {
    for (std::uint64_t seed = 0; seed < 5; ++seed) {
        problem p = make_problem(4, 1.0, seed, 0.0);
        const run r = solve(p);
        for (double v : r.x) EXPECT_EQ(v, 0.0);
    }
}

// The checkers themselves: a wrong answer must fail them.
TEST(bvls_checkers, reject_wrong_answers) {
    const problem p = make_problem(5, 1.0, 7);
    const run r = solve(p);
    ASSERT_TRUE(normal_exit(r.result.exit));
    ASSERT_LE(kkt_ratio(p, r.x), 1.0);
    vec moved = r.x;
    bool perturbed_free = false;
    for (double& v : moved) {
        if (std::fabs(v) < p.u * 0.9) {
            v += 1e-3;
            perturbed_free = true;
            break;
        }
    }
    if (!perturbed_free) moved[0] = moved[0] > 0 ? p.u * 0.5 : -p.u * 0.5;
    EXPECT_GT(kkt_ratio(p, moved), 1.0);
    EXPECT_GT(objective(p, moved), brute_force_minimum(p));
    vec outside = r.x;
    outside[0] = 2 * p.u;
    EXPECT_GT(kkt_ratio(p, outside), 1.0);
}

// Small problems: the minimum found by brute force over every split of the variables.
TEST(bvls_random, small_problems_match_brute_force) {
    for (std::int64_t n = 1; n <= 8; ++n) {
        for (double cond : {1.0, 1e3}) {
            for (double noise : {0.0, 0.5}) {
                for (std::uint64_t seed = 0; seed < 3; ++seed) {
                    SCOPED_TRACE("n=" + std::to_string(n) + " cond=" + std::to_string(cond) +
                                 " noise=" + std::to_string(noise) +
                                 " seed=" + std::to_string(seed));
                    const problem p = make_problem(n, cond, 100 * n + seed, 1.0, noise);
                    const run r = solve(p);
                    ASSERT_TRUE(normal_exit(r.result.exit)) << exit_name(r.result.exit);
                    EXPECT_LE(kkt_ratio(p, r.x), 1.0);
                    const ld best = brute_force_minimum(p);
                    const ld got = objective(p, r.x);
                    // an exact fit can only be matched to the accuracy of x itself:
                    // (||R|| * dx)^2 with dx ~ 10 n eps cond^2
                    const ld floor_tol =
                        std::pow(10.0L * n * 2.2e-16L * condition(p) * condition(p) * norm(p.R) *
                                     std::sqrt((ld)n) * p.u,
                                 2);
                    EXPECT_LE(got, best * (1 + 1e-10L) + floor_tol)
                        << "got " << (double)got << " best " << (double)best;
                    EXPECT_GE(got, best * (1 - 1e-10L) - floor_tol);
                }
            }
        }
    }
}

// Larger problems: KKT conditions, and a warm start from the solution's classification
// returns the same x within two passes.
TEST(bvls_random, kkt_and_warm_start_round_trip) {
    struct family {
        std::int64_t n;
        double cond;
        double u;
        double noise;
    };
    const std::vector<family> families = {
        {20, 1.0, 1.0, 0.0},  {50, 1.0, 1.0, 0.3}, {100, 1.0, 0.5, 0.0}, {200, 1.0, 1.0, 0.0},
        {200, 1.0, 2.0, 1.0}, {20, 1e4, 1.0, 0.0}, {50, 1e5, 1.0, 0.1},  {100, 1e4, 1.0, 0.0},
        {200, 1e3, 1.0, 0.0}, {30, 1e6, 1.0, 0.0},
    };
    for (const family& f : families) {
        for (std::uint64_t seed = 0; seed < 2; ++seed) {
            SCOPED_TRACE("n=" + std::to_string(f.n) + " cond=" + std::to_string(f.cond) +
                         " seed=" + std::to_string(seed));
            const problem p = make_problem(f.n, f.cond, 7000 + f.n + seed, f.u, f.noise);
            const run cold = solve(p);
            ASSERT_TRUE(normal_exit(cold.result.exit)) << exit_name(cold.result.exit);
            EXPECT_LE(cold.result.iter, 3 * f.n);
            EXPECT_LE(kkt_ratio(p, cold.x), 1.0);

            vec index_set(f.n + 2, 0.0);
            classify_bounds(cold.x.data(), f.n, p.u, index_set.data());
            const run warm = solve(p, index_set);
            ASSERT_TRUE(normal_exit(warm.result.exit)) << exit_name(warm.result.exit);
            EXPECT_LE(warm.result.iter, 2);
            EXPECT_LE(kkt_ratio(p, warm.x), 1.0);
            const double cond = condition(p);
            double worst = 0.0;
            for (std::int64_t j = 0; j < f.n; ++j) {
                worst = std::fmax(worst, std::fabs(warm.x[j] - cold.x[j]));
            }
            EXPECT_LE(worst, 10.0 * f.n * 2.2e-16 * cond * cond * p.u);
        }
    }
}

// A warm start from a nearby problem's solution reaches the same optimum as a cold start.
TEST(bvls_random, warm_start_from_a_related_problem) {
    for (std::uint64_t seed = 0; seed < 6; ++seed) {
        problem p = make_problem(40, 1.0, 300 + seed);
        const run first = solve(p);
        vec index_set(p.n + 2, 0.0);
        classify_bounds(first.x.data(), p.n, p.u, index_set.data());
        std::mt19937_64 gen(seed);
        std::normal_distribution<double> normal;
        for (double& v : p.y) v += 0.05 * normal(gen);
        const run cold = solve(p);
        const run warm = solve(p, index_set);
        ASSERT_TRUE(normal_exit(warm.result.exit));
        EXPECT_LE(warm.result.iter, cold.result.iter);
        EXPECT_LE(kkt_ratio(p, warm.x), 1.0);
        const ld a = objective(p, warm.x), b = objective(p, cold.x);
        EXPECT_NEAR(static_cast<double>(a), static_cast<double>(b), 1e-10 * static_cast<double>(b));
    }
}
