// SPDX-License-Identifier: BSD-3-Clause
// The fuzz input decoder: what the seed corpus and the harnesses rely on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "fuzz/fuzz_input.h"

namespace {

fuzz_call decode(const fuzz_encoder& e, fuzz_profile p = {3, 2}) {
    return fuzz_decode(e.bytes().data(), e.bytes().size(), p);
}

bool same_bits(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(FuzzInput, EmptyInputIsACallWithoutArguments) {
    const fuzz_call c = fuzz_decode(nullptr, 0, {3, 2});
    EXPECT_EQ(c.nlhs, 0);
    EXPECT_TRUE(c.args.empty());
}

TEST(FuzzInput, CountsWrapOrFollowTheProfile) {
    fuzz_encoder e;
    e.counts(0xF0, 0xF0).size(0);
    fuzz_call c = decode(e);
    EXPECT_EQ(c.args.size(), 3u);
    EXPECT_EQ(c.nlhs, 2);
    fuzz_encoder w;
    w.counts(15, 11).size(0);  // 15 % 8 = 7 arguments, 11 % 6 = 5 outputs
    c = decode(w);
    EXPECT_EQ(c.args.size(), 7u);
    EXPECT_EQ(c.nlhs, 5);
    for (const th_array& a : c.args) EXPECT_EQ(a->rows * a->cols, 0u);  // bytes ran out: 0x0
}

TEST(FuzzInput, ExactValuesKeepTheirBits) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    fuzz_encoder e;
    e.counts(1, 1).size(0).values(2, 3, {-0.0, nan, 5e-324, 1e300, -INFINITY, 0.5});
    const fuzz_call c = decode(e);
    ASSERT_EQ(c.args.size(), 1u);
    const th_array& a = c.args[0];
    EXPECT_EQ(a->cls, th_class::real_double);
    EXPECT_EQ(a->rows, 2u);
    EXPECT_EQ(a->cols, 3u);
    const double want[] = {-0.0, nan, 5e-324, 1e300, -INFINITY, 0.5};
    for (int k = 0; k < 6; ++k) EXPECT_TRUE(same_bits(th_values(a)[k], want[k])) << k;
}

TEST(FuzzInput, DimensionsRelativeToTheProblemSize) {
    fuzz_encoder e;
    e.counts(2, 1)
        .size(4)
        .arg(th_class::real_double, dim_n(0), dim_n(1), fill_mode::zeros)
        .arg(th_class::real_double, dim_n(2), dim_n(-1), fill_mode::zeros);
    fuzz_call c = decode(e);
    EXPECT_EQ(c.args[0]->rows, 4u);
    EXPECT_EQ(c.args[0]->cols, 5u);
    EXPECT_EQ(c.args[1]->rows, 6u);
    EXPECT_EQ(c.args[1]->cols, 3u);
    fuzz_encoder z;
    z.counts(1, 1).size(0).arg(th_class::real_double, dim_n(-1), dim_abs(12), fill_mode::zeros);
    c = decode(z);
    EXPECT_EQ(c.args[0]->rows, 0u);
    EXPECT_EQ(c.args[0]->cols, 12u);
}

TEST(FuzzInput, UpperFillHasZerosBelowAndNoZeroOnTheDiagonal) {
    fuzz_encoder e;
    e.counts(1, 1).size(3).arg(th_class::real_double, dim_n(0), dim_n(0), fill_mode::upper,
                               {0, 0, 0, 0, 0, 0});
    const fuzz_call c = decode(e);
    const double* R = th_values(c.args[0]);
    for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 3; ++i) {
            if (i > j) {
                EXPECT_EQ(R[i + 3 * j], 0.0);
            } else if (i == j) {
                EXPECT_EQ(R[i + 3 * j], 1.0);
            }
        }
    }
}

TEST(FuzzInput, OtherClassesCarryRawBytesOfTheirSize) {
    fuzz_encoder e;
    e.counts(1, 1).size(0).arg(th_class::int32, dim_abs(1), dim_abs(2), fill_mode::raw,
                               {1, 0, 0, 0, 2, 0, 0, 0});
    const fuzz_call c = decode(e);
    EXPECT_EQ(c.args[0]->cls, th_class::int32);
    std::int32_t v[2];
    std::memcpy(v, c.args[0]->bytes, sizeof v);
    EXPECT_EQ(v[0], 1);
    EXPECT_EQ(v[1], 2);
}

TEST(FuzzInput, InterestingValuesAndMessages) {
    EXPECT_TRUE(same_bits(fuzz_interesting[fuzz_interesting_index(-0.0)], -0.0));
    EXPECT_TRUE(std::isnan(fuzz_interesting[fuzz_interesting_index(NAN)]));
    EXPECT_EQ(fuzz_interesting[fuzz_interesting_index(9007199254740992.0)], 9007199254740992.0);
    EXPECT_TRUE(fuzz_message_ok("R must be square\n", true));
    EXPECT_FALSE(fuzz_message_ok("R must be square", true));
    EXPECT_TRUE(fuzz_message_ok("This function assumes n==m", false));
    EXPECT_FALSE(fuzz_message_ok("", false));
    EXPECT_FALSE(fuzz_message_ok(std::string("bad\0byte\n", 9), true));
}
