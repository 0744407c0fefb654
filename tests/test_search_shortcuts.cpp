// SPDX-License-Identifier: BSD-3-Clause
// The search's shortcuts against what they stand for, bit for bit: the rounded centre
// against the division, on the values where the two could part (halves and their
// neighbours, the ends of the fast range, extreme and non-finite operands); the kept sums
// of the next candidates against forming every sum when it is needed, on whole searches.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "detect/sphere_search.h"
#include "detect/sphere_search_internal.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// The centre as the search defined it before: the division, then floor(q + 0.5).
double divided_centre(double a, double r) {
    return std::floor(a / r + 0.5);
}

void expect_same_centre(double a, double r) {
    const double want = divided_centre(a, r);
    const double got = rounded_centre(a, r);
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << "a = " << a << ", r = " << r;
    } else {
        EXPECT_EQ(bits(got), bits(want)) << std::hexfloat << "a = " << a << ", r = " << r << ": "
                                         << got << " instead of " << want;
    }
}

TEST(SearchCentre, EdgeCasesMatchTheDivision) {
    const double tiny = std::numeric_limits<double>::denorm_min();
    const double big = std::numeric_limits<double>::max();
    const std::vector<std::pair<double, double>> cases = {
        {2.5, 1},
        {-2.5, 1},
        {0.5, 1},
        {-0.5, 1},
        {5, 2},
        {-5, 2},
        {5, -2},
        {-5, -2},
        {0, 3},
        {-0.0, 3},
        {0, -3},
        {-0.0, -3},
        {1, 3},
        {-1, 3},
        {2, 3},
        {-2, 3},
        {0x1p30 - 0.5, 1},
        {0x1p30 - 0.25, 1},
        {0x1p30, 1},
        {0x1p30 + 0.25, 1},
        {-0x1p30 + 0.25, 1},
        {0x1p51 + 0.5, 1},
        {0x1p52 - 1, 1},
        {0x1p52 + 2, 1},
        {0x1p53, 1},
        {1e300, 1e-10},
        {1e-310, 1},
        {-1e-310, 1},
        {tiny, 1},
        {1, tiny},
        {-1, tiny},
        {0, tiny},
        {1, 0x1p-1022},
        {1, 0x1p-1030},
        {3, 0x1p1022},
        {big, 0x1p1023},
        {big, big},
        {-big, 0x1p1021},
        {big, 3},
        {inf, 1},
        {-inf, 1},
        {inf, -2},
        {1, inf},
        {1, -inf},
        {std::nan(""), 1},
        {1, std::nan("")},
    };
    for (const auto& c : cases) expect_same_centre(c.first, c.second);
}

// a = (z + 1/2 +- offset) * r and its two neighbours, for offsets from zero to well past the
// fast path's margin, every sign and a spread of scales: the quotients land on, just beside
// and well away from the halves, below 2^19 (mostly the fast path) and up to 2^31 (beyond
// it), so both ways of rounding are taken often.
TEST(SearchCentre, RandomNearHalvesMatchTheDivision) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<std::int64_t> integer(-(std::int64_t{1} << 31),
                                                        std::int64_t{1} << 31);
    std::uniform_real_distribution<double> exponent(-30.0, 30.0);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const double offsets[] = {0.0,     0x1p-52, 0x1p-40, 0x1p-30, 0x1p-22, 0x1p-21,
                              0x1p-20, 0x1p-19, 0x1p-10, 0.25,    0.49999};
    for (int i = 0; i < 20000; ++i) {
        const double r = std::ldexp(unit(rng), static_cast<int>(exponent(rng)));
        if (r == 0.0) continue;
        const double z = static_cast<double>(integer(rng)) / (i % 3 == 0 ? 1 : 4096);
        for (double offset : offsets) {
            for (double sign : {-1.0, 1.0}) {
                const double q = std::floor(z) + 0.5 + sign * offset;
                const double a = q * r;
                expect_same_centre(a, r);
                expect_same_centre(std::nextafter(a, inf), r);
                expect_same_centre(std::nextafter(a, -inf), r);
            }
        }
        expect_same_centre(unit(rng) * 1e9, r);
    }
}

struct search_result {
    search_status status;
    std::int64_t nodes;
    std::vector<double> symb;
};

// One search on four arrays; with kept sums when next is not null.
search_result run(const std::vector<double>& y, const std::vector<double>& R, double radius,
                  double lb, double ub, bool skip_gaps, std::int64_t max_nodes, double* next) {
    const auto n = static_cast<std::int64_t>(y.size());
    std::vector<double> pdist(n, 0.0), isum(n, 0.0), step(n, 0.0), cand(n, 0.0);
    search_result r{search_status::none, 0, std::vector<double>(n, 0.0)};
    search_options options;
    options.skip_gaps = skip_gaps;
    options.max_nodes = max_nodes;
    options.nodes = &r.nodes;
    options.next_sums = next;
    r.status =
        find_closest_point_with(y.data(), R.data(), n, radius, lb, ub, r.symb.data(), pdist.data(),
                                isum.data(), step.data(), cand.data(), options);
    return r;
}

void expect_same(const search_result& a, const search_result& b, const char* what, int trial) {
    EXPECT_EQ(a.status, b.status) << what << ", trial " << trial;
    EXPECT_EQ(a.nodes, b.nodes) << what << ", trial " << trial;
    EXPECT_EQ(std::memcmp(a.symb.data(), b.symb.data(), a.symb.size() * sizeof(double)), 0)
        << what << ", trial " << trial;
}

// Random searches of every kind: real and small-integer data (ties, zero residuals),
// diagonals of both signs, finite and infinite radii, boxes that cut the zig-zag, one-sided
// and none, walked and skipped gaps, node caps. The search with kept sums, and the public
// form on a block of stale values, visit the same number of nodes and end the same, bit
// for bit, as the search that forms every sum when it needs it.
TEST(SearchKeptSums, SameNodesStatusAndBitsAsFormingEverySum) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> small(-3, 3);
    const int sizes[] = {1, 2, 3, 5, 8, 12, 16, 20, 24};  // the block form keeps sums from 20
    for (int trial = 0; trial < 630; ++trial) {
        const int n = sizes[trial % 9];
        const bool integral = trial % 5 == 0;
        std::vector<double> R(n * n, 0.0), y(n);
        for (int j = 0; j < n; ++j) {
            for (int i = 0; i < j; ++i) R[i + j * n] = integral ? small(rng) : unit(rng);
            const double d = integral ? 1 + (small(rng) + 3) % 3 : 0.8 + std::fabs(unit(rng));
            R[j + j * n] = unit(rng) < -0.3 ? -d : d;
            y[j] = integral ? 0.5 * small(rng) : 6.0 * unit(rng);
        }
        const double scale = n > 8 ? n / 8.0 : 1.0;
        const double radius =
            trial % 3 == 0 && n <= 8 ? inf : scale * (0.5 + 8.0 * std::fabs(unit(rng)));
        double lb = -inf, ub = inf;
        switch (trial % 4) {
            case 1:
                lb = -1.5, ub = 1.0;
                break;
            case 2:
                lb = 0.0;
                break;
            case 3:
                lb = -7.0, ub = -2.0;
                break;
        }
        const bool skip_gaps = trial % 8 != 7;
        const std::int64_t cap = trial % 6 == 5 ? 1 + trial % 40 : 0;
        const search_result formed = run(y, R, radius, lb, ub, skip_gaps, cap, nullptr);
        std::vector<double> next(n, trial % 2 == 0 ? 0.0 : 1e300);  // stale contents
        expect_same(run(y, R, radius, lb, ub, skip_gaps, cap, next.data()), formed, "kept sums",
                    trial);
        if (skip_gaps && cap == 0) {
            std::vector<double> scratch(search_scratch_size(n), 3.0);
            std::vector<double> symb(n, 0.0);
            const search_status status = find_closest_point(y.data(), R.data(), n, radius, lb, ub,
                                                            symb.data(), scratch.data());
            expect_same({status, formed.nodes, symb}, formed, "block form", trial);
        }
    }
}

}  // namespace
