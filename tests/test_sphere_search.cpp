// SPDX-License-Identifier: BSD-3-Clause
// Sphere-decoding search on plain arrays: worked cases, brute force, skipped runs.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "detect/sphere_search.h"
#include "detect/sphere_search_internal.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();

// plinden's info code of a search status: 1 found, -1 none, 0 out of the exact range.
double info_code(search_status status) {
    switch (status) {
        case search_status::found:
            return 1.0;
        case search_status::none:
            return -1.0;
        case search_status::out_of_range:
            return 0.0;
        case search_status::node_limit:
            return 2.0;
        case search_status::interrupted:
            return 3.0;
    }
    return 4.0;
}

struct outcome {
    std::vector<double> symb;
    double info;
};

outcome search(const std::vector<double>& y, const std::vector<double>& R, double radius, double lb,
               double ub, bool skip_gaps = true) {
    const auto n = static_cast<std::int64_t>(std::lround(std::sqrt(R.size())));
    std::vector<double> symb(n, 0.0), pdist(n, 0.0), isum(n, 0.0), step(n, 0.0), cand(n, 0.0);
    search_options options;
    options.skip_gaps = skip_gaps;
    const double info = info_code(find_closest_point_with(y.data(), R.data(), n, radius, lb, ub,
                                                          symb.data(), pdist.data(), isum.data(),
                                                          step.data(), cand.data(), options));
    return {symb, info};
}

double squared_distance(const std::vector<double>& y, const std::vector<double>& R,
                        const std::vector<double>& s) {
    const size_t n = s.size();
    double d = 0.0;
    for (size_t i = 0; i < n; ++i) {
        double e = y[i];
        for (size_t j = i; j < n; ++j) e -= R[i + j * n] * s[j];
        d += e * e;
    }
    return d;
}

// Closest point of the integer box [lo, hi]^n within the radius, by enumeration.
double brute_force_min(const std::vector<double>& y, const std::vector<double>& R, double radius,
                       int lo, int hi) {
    const size_t n = y.size();
    std::vector<double> s(n, lo);
    double best = inf;
    for (;;) {
        const double d = squared_distance(y, R, s);
        if (d <= radius && d < best) best = d;
        size_t i = 0;
        while (i < n && s[i] == hi) s[i++] = lo;
        if (i == n) break;
        s[i] += 1;
    }
    return best;
}

struct worked_case {
    const char* name;
    std::vector<double> y, R;
    double radius, lb, ub;
    std::vector<double> symb;
    double info;
};

TEST(SphereSearch, WorkedCases) {
    const worked_case cases[] = {
        {"leaf then up", {0.5, 0}, {1, 0, 0, 1}, 10, -10, 10, {1, 0}, 1},
        {"later tie replaces", {0, 0.5}, {1, 0, 0, 1}, 10, -10, 10, {0, 0}, 1},
        {"centre below box", {2.3}, {1}, 1, 3, 10, {3}, 1},
        {"negative radius", {0.2, 0.1}, {1, 0, 0, 1}, -1, -10, 10, {0, 0}, -1},
        {"radius zero exact point", {1, 2}, {1, 0, 0, 1}, 0, -10, 10, {1, 2}, 1},
        {"root walks to box", {0.3, -2}, {1, 0, 0, 1}, 100, 1, 1, {1, 1}, 1},
        {"box without integer", {0.5, 0.5}, {1, 0, 0, 1}, 100, 0.2, 0.8, {0, 0}, -1},
        {"no integer, infinite radius", {0.5, 0.5}, {1, 0, 0, 1}, inf, 0.2, 0.8, {0, 0}, -1},
        {"n = 1 outside radius", {0.5}, {1}, 0.1, -5, 5, {0}, -1},
        // a negative diagonal starts towards the real centre: 3 lies at 0.49 (the walk away
        // from the centre first would end the level at 1 and report nothing)
        {"negative diagonal", {-2.3}, {-1}, 1, 3, 10, {3}, 1},
        {"no radius, no box", {0.4, -1.6}, {2, 0, 1, 1}, inf, -inf, inf, {1, -2}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool skip : {true, false}) {
            const outcome o = search(c.y, c.R, c.radius, c.lb, c.ub, skip);
            EXPECT_EQ(o.symb, c.symb);
            EXPECT_EQ(o.info, c.info);
        }
    }
}

TEST(SphereSearch, BruteForceTesterRejectsAWrongAnswer) {
    // the oracle itself: (1, 0) is not the closest point of y = (0.9, 0.1) in [-1, 1]^2
    const std::vector<double> y = {0.1, 0.9}, R = {1, 0, 0, 1};
    EXPECT_LT(brute_force_min(y, R, inf, -1, 1), squared_distance(y, R, {1, 0}));
}

// Random small problems, positive and negative diagonals, integer data for exact ties.
TEST(SphereSearch, MatchesBruteForce) {
    std::mt19937_64 rng(2024);
    std::normal_distribution<double> g(0.0, 1.0);
    std::uniform_int_distribution<int> small(-3, 3);
    int found = 0;
    for (int trial = 0; trial < 1500; ++trial) {
        const int n = 1 + trial % 6;
        const bool integral = trial % 3 == 0;  // integer R and y: many exact ties
        std::vector<double> R(n * n, 0.0), y(n);
        for (int j = 0; j < n; ++j) {
            for (int i = 0; i <= j; ++i) R[i + j * n] = integral ? small(rng) : g(rng);
            if (R[j + j * n] == 0.0) R[j + j * n] = 1.0;
            if (trial % 2 == 1) R[j + j * n] = -std::fabs(R[j + j * n]);
            if (trial % 4 == 2 && j % 2 == 0) R[j + j * n] = -R[j + j * n];
        }
        for (auto& v : y) v = integral ? small(rng) : 3.0 * g(rng);
        const int lo = -2 + trial % 3, hi = lo + 1 + trial % 4;
        const double radius = trial % 5 == 0 ? inf : 0.5 + 10.0 * std::fabs(g(rng));
        const double best = brute_force_min(y, R, radius, lo, hi);
        const outcome o = search(y, R, radius, lo, hi);
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        if (best == inf) {
            EXPECT_EQ(o.info, -1.0);
            EXPECT_EQ(o.symb, std::vector<double>(n, 0.0));
            continue;
        }
        ++found;
        ASSERT_EQ(o.info, 1.0);
        for (double v : o.symb) {
            EXPECT_GE(v, lo);
            EXPECT_LE(v, hi);
        }
        const double d = squared_distance(y, R, o.symb);
        EXPECT_LE(d, best * (1.0 + 1e-12) + 1e-12);
    }
    EXPECT_GT(found, 700);
}

// Jumping over runs outside the box gives exactly what walking them gives.
TEST(SphereSearch, SkippedRunsMatchTheWalk) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> g(0.0, 1.0);
    for (int trial = 0; trial < 600; ++trial) {
        const int n = 1 + trial % 4;
        std::vector<double> R(n * n, 0.0), y(n);
        for (int j = 0; j < n; ++j) {
            for (int i = 0; i <= j; ++i) R[i + j * n] = g(rng);
            R[j + j * n] = (trial % 2 ? -1.0 : 1.0) * (0.05 + std::fabs(g(rng)));
        }
        const double offset = (trial % 3 == 0 ? -1.0 : 1.0) * (20.0 + 300.0 * std::fabs(g(rng)));
        for (auto& v : y) v = offset + g(rng);
        const double lb = -1.0 + trial % 3, ub = lb + (trial % 5) * 0.7;
        const double radius = trial % 4 == 0 ? inf : std::fabs(g(rng)) * offset * offset;
        const outcome jump = search(y, R, radius, lb, ub, true);
        const outcome walk = search(y, R, radius, lb, ub, false);
        SCOPED_TRACE(testing::Message() << "trial " << trial);
        EXPECT_EQ(jump.symb, walk.symb);
        EXPECT_EQ(jump.info, walk.info);
    }
}

TEST(SphereSearch, FarCentresEndAtOnce) {
    // These would take about 1e12 steps one candidate at a time.
    const outcome a = search({1e12}, {1}, inf, 0, 3);
    EXPECT_EQ(a.symb, std::vector<double>({3}));
    EXPECT_EQ(a.info, 1.0);
    const outcome b = search({1e12, -1e12}, {1, 0, 0.5, 1}, inf, 0, 3);
    EXPECT_EQ(b.info, 1.0);
    EXPECT_EQ(b.symb, std::vector<double>({3, 0}));
    const outcome c = search({1e12}, {1}, 1e6, 0, 3);  // the box is out of reach
    EXPECT_EQ(c.info, -1.0);
    const outcome d = search({-1e12, 5}, {-1e-3, 0, 1, 1e-3}, inf, -2, 2);
    EXPECT_EQ(d.info, 1.0);
}

TEST(SphereSearch, EndsOnExtremeFiniteInputs) {
    struct extreme {
        std::vector<double> y, R;
        double radius, lb, ub;
        double info;
    };
    const extreme cases[] = {
        {{1e300, 1e300}, {1e-300, 0, 1e300, 1e-300}, inf, -inf, inf, 0},
        {{1e200, -1e200}, {1e200, 0, -1e200, 1e200}, inf, -inf, inf, 1},
        {{1e17, 1e17}, {1, 0, 0, 1}, inf, -inf, inf, 0},
        {{1e17, 1e17}, {1, 0, 0, 1}, inf, -inf, 1e16, 0},
        {{1e17, 3}, {1, 0, 0, 1}, inf, 0, 4, 1},
        {{1e300, 1e300}, {1e-300, 0, 1e300, 1e-300}, inf, -5, 5, -1},
        {{0.5, 0.5, 0.5}, {1e-300, 0, 0, 1, 1e-300, 0, 1, 1, 1e-300}, inf, 0.1, 0.9, -1},
        {{1e154, 1e154}, {1, 0, 0, 1}, inf, -1, 1, -1},
        {{-1e16, 2}, {1e-3, 0, 1, 1}, inf, -3, 3, 1},
    };
    for (const auto& c : cases) {
        const outcome o = search(c.y, c.R, c.radius, c.lb, c.ub);
        EXPECT_EQ(o.info, c.info);
        for (double v : o.symb) EXPECT_LE(std::fabs(v), search_limit);
    }
}

TEST(SphereSearch, EmptyProblemTouchesNothing) {
    double sentinel = 42.0;
    EXPECT_EQ(find_closest_point(nullptr, nullptr, 0, 1.0, 0.0, 1.0, &sentinel, nullptr, nullptr,
                                 nullptr, nullptr),
              search_status::none);
    EXPECT_EQ(sentinel, 42.0);
}

}  // namespace
