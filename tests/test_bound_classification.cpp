// SPDX-License-Identifier: BSD-3-Clause
// Bound classification: the index-set vector's layout, order and edge cases.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "box/bound_classification.h"

namespace {

using vec = std::vector<double>;
const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

vec classify(const vec& x, double a) {
    vec out(x.size() + 2, 0.0);
    classify_bounds(x.data(), static_cast<std::int64_t>(x.size()), a, out.data());
    return out;
}

TEST(BoundClassification, EdgeCases) {
    struct edge_case {
        vec x;
        double a;
        vec want;
    };
    const edge_case cases[] = {
        {{}, 1.0, {0, 0}},
        {{0.5, -2, 2, 0, -0.5}, 1.0, {0, -2, 3, 5, 4, 1, 2}},
        {{-1, 1, 0.999, -0.999}, 1.0, {0, -1, 2, 4, 3, 2}},      // bounds are inclusive
        {{0, -0.0, 3, -3, nan}, 0.0, {0, -1, -2, 3, -4, 5, 4}},  // a = 0: zeros are lower
        {{-5, 0, 5, nan}, -1.0, {0, -1, -2, 3, 4, 3}},           // empty box
        {{-inf, inf, 1e308, nan}, inf, {0, -1, 2, 4, 3, 2}},     // a = Inf
        {{0.1, 0.2, 0.3}, 1.0, {0, 3, 2, 1, 0}},                 // all free
        {{-2, 2, -2}, 1.0, {0, -1, 2, -3, 3}},                   // all bound
        {{0.5, 2}, nan, {0, 2, 1, 0}},                           // NaN bound: all free
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(testing::Message() << "n=" << t.x.size() << " a=" << t.a);
        EXPECT_EQ(classify(t.x, t.a), t.want);
    }
}

TEST(BoundClassification, LayoutInvariantsAndReaderRoundTrip) {
    std::mt19937_64 rng(5);
    std::uniform_int_distribution<int> pick(0, 9);
    std::uniform_real_distribution<double> inside(-1.0, 1.0);
    for (int trial = 0; trial < 2000; ++trial) {
        const int n = trial % 17;
        const double a = trial % 5 == 0 ? 0.0 : 0.75;
        vec x(n);
        for (auto& v : x) {
            const double special[] = {a, -a, 0.0, -0.0, nan, inf, -inf, 2 * a, -2 * a};
            const int p = pick(rng);
            v = p < 9 ? special[p] : inside(rng);
        }
        const vec out = classify(x, a);
        ASSERT_EQ(out.size(), static_cast<std::size_t>(n + 2));
        EXPECT_EQ(out[0], 0.0);
        // a reader: truncate every slot to an integer, count from slot n+1
        const auto c = static_cast<std::int64_t>(out[n + 1]);
        ASSERT_TRUE(c >= 0 && c <= n);
        std::vector<int> seen(n + 1, 0), state(n + 1, 0);  // state: -1 lower, 1 upper, 0 free
        std::int64_t last = 0;
        for (std::int64_t s = 1; s <= n; ++s) {
            const auto v = static_cast<std::int64_t>(out[s]);
            ASSERT_EQ(static_cast<double>(v), out[s]);
            const std::int64_t j = v < 0 ? -v : v;
            ASSERT_TRUE(j >= 1 && j <= n);
            ++seen[j];
            if (s <= c) {
                EXPECT_GT(j, last);  // bound slots: index order upwards
                last = j;
                state[j] = v < 0 ? -1 : 1;
            } else {
                EXPECT_GT(v, 0);  // free slots positive, descending in slot order
                if (s > c + 1) {
                    EXPECT_LT(v, static_cast<std::int64_t>(out[s - 1]));
                }
            }
        }
        for (int j = 1; j <= n; ++j) {
            EXPECT_EQ(seen[j], 1);
            const double xj = x[j - 1];
            const int want = xj <= -a ? -1 : (xj >= a ? 1 : 0);
            EXPECT_EQ(state[j], want) << "x=" << xj;
        }
    }
}

}  // namespace
