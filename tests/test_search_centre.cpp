// The search's rounded centre against the division it stands for, bit for bit, on the
// values where the two could part: halves and their neighbours, the ends of the fast range,
// extreme and non-finite operands.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "detect/sphere_search_internal.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();

std::uint64_t bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// The centre as the search defined it before: the division, then floor(q + 0.5).
double divided_centre(double a, double r) { return std::floor(a / r + 0.5); }

void expect_same_centre(double a, double r) {
    const double want = divided_centre(a, r);
    const double got = rounded_centre(a, r);
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << "a = " << a << ", r = " << r;
    } else {
        EXPECT_EQ(bits(got), bits(want)) << std::hexfloat << "a = " << a << ", r = " << r
                                         << ": " << got << " instead of " << want;
    }
}

TEST(SearchCentre, EdgeCasesMatchTheDivision) {
    const double tiny = std::numeric_limits<double>::denorm_min();
    const double big = std::numeric_limits<double>::max();
    const std::vector<std::pair<double, double>> cases = {
        {2.5, 1}, {-2.5, 1}, {0.5, 1}, {-0.5, 1}, {5, 2}, {-5, 2}, {5, -2}, {-5, -2},
        {0, 3}, {-0.0, 3}, {0, -3}, {-0.0, -3}, {1, 3}, {-1, 3}, {2, 3}, {-2, 3},
        {0x1p30 - 0.5, 1}, {0x1p30 - 0.25, 1}, {0x1p30, 1}, {0x1p30 + 0.25, 1}, {-0x1p30 + 0.25, 1},
        {0x1p51 + 0.5, 1}, {0x1p52 - 1, 1}, {0x1p52 + 2, 1}, {0x1p53, 1}, {1e300, 1e-10},
        {1e-310, 1}, {-1e-310, 1}, {tiny, 1}, {1, tiny}, {-1, tiny}, {0, tiny},
        {1, 0x1p-1022}, {1, 0x1p-1030}, {3, 0x1p1022}, {big, 0x1p1023}, {big, big},
        {-big, 0x1p1021}, {big, 3}, {inf, 1}, {-inf, 1}, {inf, -2}, {1, inf}, {1, -inf},
        {std::nan(""), 1}, {1, std::nan("")},
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
    const double offsets[] = {0.0, 0x1p-52, 0x1p-40, 0x1p-30, 0x1p-22, 0x1p-21, 0x1p-20,
                              0x1p-19, 0x1p-10, 0.25, 0.49999};
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

}  // namespace
