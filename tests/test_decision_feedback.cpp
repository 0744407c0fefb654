// SPDX-License-Identifier: BSD-3-Clause
// Decision-feedback detectors on plain arrays: worked values, rounding rules, clamping.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "detect/decision_feedback.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();

std::vector<double> round_fb(const std::vector<double>& y, const std::vector<double>& R) {
    const auto n = static_cast<std::int64_t>(std::lround(std::sqrt(R.size())));
    std::vector<double> s(n, -7.0);
    round_feedback(y.data(), R.data(), n, s.data());
    return s;
}

std::vector<double> odd_fb(const std::vector<double>& y, const std::vector<double>& R, int u) {
    const auto n = static_cast<std::int64_t>(std::lround(std::sqrt(R.size())));
    std::vector<double> s(n, -7.0);
    odd_clamp_feedback(y.data(), R.data(), n, u, s.data());
    return s;
}

struct scalar_case {
    double y, r;
    int u;
    double rounded, odd;
};

TEST(DecisionFeedback, ScalarDecisions) {
    // y/r rounded with halves upwards; nearest odd with even ties upwards, clamped to u
    const scalar_case cases[] = {
        {2.5, 1, 5, 3, 3},    {-2.5, 1, 5, -2, -3}, {3, -1, 5, -3, -3},   {-0.5, 1, 5, 0, -1},
        {0, 1, 5, 0, 1},      {-2, 1, 5, -2, -1},   {2, 1, 5, 2, 3},      {7, -1, 5, -7, -5},
        {0.5, 1, 5, 1, 1},    {2.9, 1, 5, 3, 3},    {-2.9, 1, 5, -3, -3}, {4, 1, 3, 4, 3},
        {4, 1, 4, 4, 4},      {-9, 1, 4, -9, -4},   {0.3, 1, 0, 0, 0},    {-0.3, 1, 0, 0, 0},
        {10, 1, -3, 10, -3},  {-10, 1, -3, -10, 3}, {-3, 1, -3, -3, 3},   {1, 0, 5, inf, 5},
        {-1, 0, 5, -inf, -5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "y=" << c.y << " r=" << c.r << " u=" << c.u);
        EXPECT_EQ(round_fb({c.y}, {c.r})[0], c.rounded);
        EXPECT_EQ(odd_fb({c.y}, {c.r}, c.u)[0], c.odd);
    }
}

TEST(DecisionFeedback, ZeroOverZeroIsNaNAndPropagatesUpwards) {
    // R(2,2) = 0 with y(2) = 0: the last symbol is NaN, and so is every symbol above it
    const std::vector<double> R = {1, 0, 2, 0};  // [1 2; 0 0]
    auto s = round_fb({1, 0}, R);
    EXPECT_TRUE(std::isnan(s[1]));
    EXPECT_TRUE(std::isnan(s[0]));
    auto t = odd_fb({1, 0}, R, 3);
    EXPECT_TRUE(std::isnan(t[1]));
    EXPECT_TRUE(std::isnan(t[0]));
}

TEST(DecisionFeedback, MatchesDirectBackSubstitutionAndIgnoresLowerTriangle) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> g(0.0, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        const int n = 1 + trial % 9;
        std::vector<double> R(n * n), full(n * n), y(n);
        for (int j = 0; j < n; ++j) {
            for (int i = 0; i < n; ++i) {
                const double v = g(rng);
                R[i + j * n] = i <= j ? v : 0.0;
                full[i + j * n] = i <= j ? v : 100.0 * g(rng);
            }
        }
        for (auto& v : y) v = 4.0 * g(rng);
        const int u = 1 + trial % 7;
        // independent reference: plain back-substitution, row by row
        std::vector<double> s(n), t(n);
        for (int i = n - 1; i >= 0; --i) {
            double c = 0.0, d = 0.0;
            for (int j = i + 1; j < n; ++j) {
                c += s[j] * R[i + j * n];
                d += R[i + j * n] * t[j];
            }
            s[i] = std::floor((y[i] - c) / R[i + i * n] + 0.5);
            const double v = std::floor((y[i] - d) / R[i + i * n] * 0.5 + 1.0) * 2.0 - 1.0;
            t[i] = v > u ? u : (v < -u ? -u : v);
        }
        EXPECT_EQ(round_fb(y, R), s);
        EXPECT_EQ(round_fb(y, full), s);
        EXPECT_EQ(odd_fb(y, R, u), t);
        EXPECT_EQ(odd_fb(y, full, u), t);
    }
}

}  // namespace
