// SPDX-License-Identifier: BSD-3-Clause
// The optimality check of a box-constrained point against a quadruple-precision reference: it
// never claims a larger decrease than the true gap to the minimum (so a warning is never a
// false alarm), it catches points that miss by much, and the solver's answers on the
// benchmark's families pass it while the nearly singular 3x3 case fails it, with x, exit and
// pass unchanged.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "box/bound_classification.h"
#include "box/bvls.h"
#include "box/optimality_check.h"
#include "tests/box_problems.h"
#include "tests/box_reference.h"

namespace {

namespace ref = box_reference;
using box_test::vec;

optimality_check check(const box_test::problem& p, const vec& x) {
    vec work(4 * p.n, std::numeric_limits<double>::quiet_NaN());
    return check_optimality(p.n, p.R.data(), p.y.data(), p.u, x.data(), work.data());
}

// (f(x) - f*) / f(0) with f = ||y - R x||^2 / 2, in quadruple precision.
double true_gap(const box_test::problem& p, const vec& x, const ref::qvec& minimiser) {
    const ref::quad f_zero = ref::objective(p.n, p.R, p.y, ref::qvec(p.n, 0));
    return static_cast<double>(
        (ref::objective(p.n, p.R, p.y, ref::widen(x)) - ref::objective(p.n, p.R, p.y, minimiser)) /
        f_zero);
}

// A problem of the accuracy benchmark's kinds: the box binds (x0 in [-2, 2], u = 1), or is
// loose (x0 in [-1e8, 1e8], u = 1e9), or is loose and y lies along the direction R nearly
// annihilates (x0 = 1e8 v + uniform in [-1, 1], v = R^-1 e_n normalised, close to the right
// singular vector of the smallest singular value).
enum class rhs { binds, loose, near_null };
box_test::problem conditioned_problem(std::int64_t n, double cond, rhs kind, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    box_test::problem p{n, ref::conditioned_triangle(n, cond, gen), vec(n, 0.0),
                        kind == rhs::binds ? 1.0 : 1e9};
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    ref::qvec x0(n), v(n, 0);
    v[n - 1] = 1;
    for (std::int64_t i = n - 1; i >= 0; --i) {
        for (std::int64_t k = i + 1; k < n; ++k)
            v[i] -= static_cast<ref::quad>(p.R[i + k * n]) * v[k];
        v[i] /= p.R[i + i * n];
    }
    const ref::quad v_norm = ref::qnorm(v);
    for (std::int64_t j = 0; j < n; ++j) {
        x0[j] = kind == rhs::binds   ? 2.0 * unit(gen)
                : kind == rhs::loose ? 1e8 * unit(gen)
                                     : 1e8 * v[j] / v_norm + unit(gen);
    }
    ref::qvec y(n, 0);
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i <= j; ++i)
            y[i] += static_cast<ref::quad>(p.R[i + j * n]) * x0[j];
    }
    for (std::int64_t i = 0; i < n; ++i) p.y[i] = static_cast<double>(y[i]);
    return p;
}

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

}  // namespace

// Every trial point is feasible, so a certified decrease is a decrease the minimiser beats too:
// on the solver's answers, exact minimisers, random points of the box and minimisers with one
// coordinate moved, the check never reports more than the true gap.
TEST(optimality_check, never_claims_more_than_the_true_gap) {
    std::size_t flagged = 0, points = 0;
    for (std::int64_t n : {1, 2, 3, 8}) {
        for (double cond : {1.0, 1e4, 1e8, 1e12, 1e14}) {
            for (rhs kind : {rhs::binds, rhs::loose}) {
                const bool loose = kind == rhs::loose;
                for (std::uint64_t seed = 0; seed < 3; ++seed) {
                    const box_test::problem p = conditioned_problem(n, cond, kind, 50 * n + seed);
                    const ref::solution best = ref::solve(n, p.R, p.y, p.u);
                    ASSERT_TRUE(best.ok);
                    vec exact(n), random(n), moved(n);
                    std::mt19937_64 gen(seed);
                    std::uniform_real_distribution<double> unit(-p.u, p.u);
                    for (std::int64_t j = 0; j < n; ++j) {
                        exact[j] = static_cast<double>(best.x[j]);
                        random[j] = unit(gen);
                    }
                    moved = exact;
                    moved[seed % n] = unit(gen);
                    for (const vec& x : {box_test::solve(p).x, exact, random, moved}) {
                        SCOPED_TRACE("n=" + std::to_string(n) + " cond=" + std::to_string(cond) +
                                     " seed=" + std::to_string(seed) + (loose ? " loose" : ""));
                        const optimality_check c = check(p, x);
                        const double gap = true_gap(p, x, best.x);
                        EXPECT_LE(c.decrease, gap + 1e-25) << "gap " << gap;
                        EXPECT_EQ(c.outside, 0.0);
                        flagged += misses_optimum(c);
                        ++points;
                    }
                    EXPECT_FALSE(misses_optimum(check(p, exact)));
                }
            }
        }
    }
    EXPECT_GT(flagged, points / 4);  // the table has many points that are far off
}

// Well-conditioned problems: a point that misses the minimum by more than 1e-3 of f(0) is
// always caught, and with a loose box the Newton step finds nearly all of the gap.
TEST(optimality_check, catches_points_far_from_the_minimum) {
    for (std::int64_t n : {1, 3, 8, 20}) {
        for (bool loose : {false, true}) {
            for (std::uint64_t seed = 0; seed < 10; ++seed) {
                const box_test::problem p =
                    conditioned_problem(n, 10.0, loose ? rhs::loose : rhs::binds, 900 + seed);
                const ref::solution best = ref::solve(n, p.R, p.y, p.u);
                std::mt19937_64 gen(seed);
                std::uniform_real_distribution<double> unit(-p.u, p.u);
                vec x(n);
                for (double& v : x) v = unit(gen);
                const double gap = true_gap(p, x, best.x);
                const optimality_check c = check(p, x);
                if (gap > 1e-3) {
                    EXPECT_TRUE(misses_optimum(c)) << n << " " << seed;
                }
                if (loose) {
                    EXPECT_GE(c.decrease, 0.999 * gap) << n << " " << seed;
                }
            }
        }
    }
}

// The solver's answers over the measured range (condition numbers 1e6 to 1e14, cold and warm
// from the minimiser's index set): every answer that misses the minimum by more than the
// tolerance is marked, and the table has many of them.
TEST(optimality_check, every_answer_missing_the_minimum_is_marked) {
    std::size_t missing = 0;
    for (rhs kind : {rhs::binds, rhs::loose, rhs::near_null}) {
        for (std::int64_t n : {3, 8}) {
            for (double cond : {1e6, 1e8, 1e10, 1e12, 1e14}) {
                for (std::uint64_t seed = 0; seed < 12; ++seed) {
                    const box_test::problem p = conditioned_problem(
                        n, cond, kind, 7919 * seed + 31 * n + static_cast<int>(kind));
                    const ref::solution best = ref::solve(n, p.R, p.y, p.u);
                    ASSERT_TRUE(best.ok);
                    vec exact(n), start(n + 2, 0.0);
                    for (std::int64_t j = 0; j < n; ++j) exact[j] = static_cast<double>(best.x[j]);
                    classify_bounds(exact.data(), n, p.u, start.data());
                    for (const vec& from : {vec{}, start}) {
                        std::vector<std::int64_t> slot(n + 2);
                        vec dual(n), columns(n * (n + 2)), z(n), work(2 * n), G(n * n), x(n);
                        const bvls_scratch s{slot.data(), dual.data(), columns.data(),
                                             z.data(),    work.data(), G.data()};
                        const bvls_result r =
                            bvls_solve(n, p.R.data(), p.y.data(), p.u,
                                       from.empty() ? nullptr : from.data(), x.data(), s);
                        if (bvls_exit_message(r.exit)[0] != '\0') continue;  // an error
                        if (r.exit == bvls_exit::iteration_cap) continue;
                        const double gap = true_gap(p, x, best.x);
                        if (gap <= optimality_tolerance) continue;
                        ++missing;
                        EXPECT_TRUE(misses_optimum(r.check))
                            << "kind " << static_cast<int>(kind) << " n " << n << " cond " << cond
                            << " seed " << seed << (from.empty() ? " cold" : " warm") << " gap "
                            << gap << " certified " << r.check.decrease;
                    }
                }
            }
        }
    }
    EXPECT_GT(missing, 150u);
}

// Small cases by hand: decreases that can be worked out, a point outside the box, y = 0 with
// the rounding left by steps from the bounds, u = 0.
TEST(optimality_check, worked_cases) {
    struct row {
        std::string name;
        box_test::problem p;
        vec x;
        double decrease;  // expected to 1e-12 (relative to ||y||^2)
        double outside;
        bool inaccurate;
    };
    const vec R2 = {2, 0, 1, 1};  // [2 1; 0 1]
    const std::vector<row> rows = {
        // 2x = 3 over [-1, 1]: x = 1 is optimal; x = 0.5 leaves 4 instead of 1 of 9
        {"n1 optimal", {1, {2}, {3}, 1}, {1}, 0, 0, false},
        {"n1 short", {1, {2}, {3}, 1}, {0.5}, 3.0 / 9.0, 0, true},
        {"n1 wrong bound", {1, {2}, {3}, 1}, {-1}, 24.0 / 9.0, 0, true},
        {"n1 outside", {1, {2}, {3}, 1}, {1.5}, 0, 0.5, true},
        // x* = [0.25, 0.5] inside the box; x = 0 leaves all of ||y||^2 = 1.25
        {"n2 at zero", {2, R2, {1, 0.5}, 1}, {0, 0}, 1.0, 0, true},
        {"n2 optimal", {2, R2, {1, 0.5}, 1}, {0.25, 0.5}, 0, 0, false},
        // y = 0: the rounding of +-u left in x is no news
        {"y zero, x rounding", {2, R2, {0, 0}, 1}, {1.1e-16, -2.2e-16}, 0, 0, false},
        {"y zero, x zero", {2, R2, {0, 0}, 1}, {0, 0}, 0, 0, false},
        {"u zero", {2, R2, {1, 0.5}, 0}, {0, 0}, 0, 0, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const optimality_check c = check(r.p, r.x);
        EXPECT_NEAR(c.decrease, r.decrease, 1e-12);
        EXPECT_EQ(c.outside, r.outside);
        EXPECT_EQ(misses_optimum(c), r.inaccurate);
    }
    char text[96];
    describe_optimality({0.3125, 0.0}, text, sizeof text);
    EXPECT_STREQ(text, "a point in the box lowers ||y-R*x||^2 by 3.1e-01*||y||^2");
    describe_optimality({0.0, 0.5}, text, sizeof text);
    EXPECT_STREQ(text, "it lies outside the box by 5.0e-01");
}

// The nearly singular 3x3 case: the solver ends normally on a point that the check marks
// (all of ||y||^2 could go), and x, exit and pass are those of the iteration set up by hand.
TEST(optimality_check, nearly_singular_case_fails_the_check_and_keeps_its_outputs) {
    const box_test::problem p = box_test::nearly_singular_3x3();
    const ref::solution best = ref::solve(3, p.R, p.y, p.u);
    ASSERT_TRUE(best.ok);
    vec exact(3);
    for (int j = 0; j < 3; ++j) exact[j] = static_cast<double>(best.x[j]);
    ASSERT_GT(std::fabs(exact[0]), 1e8);  // the minimiser is far inside the box
    for (const vec& start : {vec{}, vec{0, 3, 2, 1, 0}}) {
        std::vector<std::int64_t> slot(5);
        vec dual(3), columns(15), z(3), work(6), G(9), x(3);
        const bvls_scratch s{slot.data(), dual.data(), columns.data(),
                             z.data(),    work.data(), G.data()};
        const bvls_result r = bvls_solve(3, p.R.data(), p.y.data(), p.u,
                                         start.empty() ? nullptr : start.data(), x.data(), s);
        const box_test::run by_hand = box_test::solve(p, start);
        if (bvls_exit_message(r.exit)[0] != '\0') continue;  // an error, not an answer
        EXPECT_EQ(static_cast<int>(r.exit), static_cast<int>(by_hand.result.exit));
        EXPECT_EQ(r.iter, by_hand.result.iter);
        for (int j = 0; j < 3; ++j) EXPECT_EQ(bits(x[j]), bits(by_hand.x[j]));
        EXPECT_TRUE(misses_optimum(r.check));
        EXPECT_GT(r.check.decrease, 0.9);
        EXPECT_LE(r.check.decrease, true_gap(p, x, best.x));
        EXPECT_FALSE(misses_optimum(check(p, exact)));
    }
}

// The benchmark's kind of problem (y = R x0, x0 in [-2, 2], u = 1) from a Gaussian R and with
// singular values spread to 1e-6 and 1e-8: no answer, cold or warm, comes near the tolerance.
TEST(optimality_check, benchmark_families_pass) {
    for (double cond : {1.0, 1e6, 1e8}) {
        for (std::int64_t n : {8, 16, 32, 64}) {
            for (std::uint64_t seed = 0; seed < (n <= 16 ? 20u : 4u); ++seed) {
                const box_test::problem p = box_test::make_problem(n, cond, 300 * n + seed);
                const box_test::run cold = box_test::solve(p);
                vec start(n + 2, 0.0);
                classify_bounds(cold.x.data(), n, p.u, start.data());
                for (const vec& x : {cold.x, box_test::solve(p, start).x}) {
                    const optimality_check c = check(p, x);
                    EXPECT_LT(c.decrease, optimality_tolerance / 100)
                        << "cond " << cond << " n " << n << " seed " << seed;
                }
            }
        }
    }
}

// The check is made after the normal exits only: the pass cap and failures report none.
TEST(optimality_check, only_after_a_normal_exit) {
    const box_test::problem capped{2, {1, 0, 0, 1}, {-1, -1}, 0.0};  // u = 0 cycles to the cap
    std::vector<std::int64_t> slot(4);
    vec dual(2), columns(8), z(2), work(4), G(4), x(2);
    const bvls_scratch s{slot.data(), dual.data(), columns.data(), z.data(), work.data(), G.data()};
    const vec start = {0, 1, 2, 2};
    bvls_result r = bvls_solve(2, capped.R.data(), capped.y.data(), 0.0, start.data(), x.data(), s);
    EXPECT_EQ(static_cast<int>(r.exit), static_cast<int>(bvls_exit::iteration_cap));
    EXPECT_EQ(r.check.decrease, 0.0);
    const box_test::problem overflow{2, {1e-200, 0.0, -1.0, 2.0}, {1.0, 1e200}, 1.0};
    r = bvls_solve(2, overflow.R.data(), overflow.y.data(), 1.0, nullptr, x.data(), s);
    EXPECT_EQ(static_cast<int>(r.exit), static_cast<int>(bvls_exit::breakdown));
    EXPECT_EQ(r.check.decrease, 0.0);
    EXPECT_EQ(r.check.outside, 0.0);
}
