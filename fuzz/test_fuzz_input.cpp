// SPDX-License-Identifier: BSD-3-Clause
// The fuzz input decoder: what the seed corpus and the harnesses rely on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "fuzz/fuzz_batch.h"
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

TEST(FuzzInput, BatchProfileReadsThreadsAndPages) {
    fuzz_encoder e;
    e.batch(3)
        .counts(2, 1)
        .size(2)
        .values(2, 3, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12})
        .arg(th_class::real_double, dim_n(0), dim_n(0), dim_abs(0), fill_mode::zeros);
    const fuzz_call c = decode(e, {2, 1, true});
    EXPECT_EQ(c.threads, 3);
    ASSERT_EQ(c.args.size(), 2u);
    const host_array* a = c.args[0].get();
    EXPECT_EQ(host_ndims(a), 3u);
    EXPECT_EQ(host_dim(a, 0), 2u);
    EXPECT_EQ(host_dim(a, 1), 3u);
    EXPECT_EQ(host_dim(a, 2), 2u);
    EXPECT_EQ(host_cols(a), 6u);
    EXPECT_EQ(th_values(c.args[0])[11], 12.0);
    const host_array* none = c.args[1].get();  // n-by-n-by-0: three dimensions, no elements
    EXPECT_EQ(host_ndims(none), 3u);
    EXPECT_EQ(host_dim(none, 1), 2u);
    EXPECT_EQ(host_dim(none, 2), 0u);
    EXPECT_EQ(host_cols(none), 0u);
    // one page is a plain matrix, and the same bytes without the batch profile differ
    fuzz_encoder m;
    m.batch(1).counts(1, 1).size(0).values(2, 2, 1, {1, 2, 3, 4});
    const fuzz_call one = decode(m, {1, 1, true});
    EXPECT_EQ(one.threads, 1);
    EXPECT_EQ(host_ndims(one.args[0].get()), 2u);
    EXPECT_EQ(decode(m, {1, 1}).args.size(), 0u);  // the thread byte 0 read as nrhs
}

TEST(FuzzInput, UpperFillMakesEveryPageTriangular) {
    fuzz_encoder e;  // every element read is 4 / 2 = 2: six per page, on and above the diagonal
    e.batch(2).counts(1, 1).size(3).arg(th_class::real_double, dim_n(0), dim_n(0), dim_abs(2),
                                        fill_mode::upper, std::vector<std::uint8_t>(12, 4));
    const fuzz_call c = decode(e, {1, 1, true});
    const double* R = th_values(c.args[0]);
    for (int p = 0; p < 2; ++p) {
        for (int j = 0; j < 3; ++j) {
            for (int i = 0; i < 3; ++i) {
                EXPECT_EQ(R[p * 9 + i + 3 * j], i > j ? 0.0 : 2.0) << p << " " << i << " " << j;
            }
        }
    }
}

TEST(FuzzBatch, ColumnsPagesAndPerColumnValues) {
    const th_array Y = th_matrix(2, 3, {1, 2, 3, 4, 5, 6});
    const th_array R = th_pages(2, 2, 3, {1, 0, 0, 1, 2, 0, 0, 2, 3, 0, 0, 3});
    const fuzz_frame f = fuzz_frame_of(Y.get(), R.get());
    EXPECT_EQ(f.n, 2u);
    EXPECT_EQ(f.K, 3u);
    EXPECT_EQ(f.P, 3u);
    EXPECT_EQ(f.page_of(2), 2u);
    const th_array y = fuzz_column(Y.get(), 2);
    EXPECT_EQ(y->rows, 2u);
    EXPECT_EQ(y->cols, 1u);
    EXPECT_EQ(th_values(y)[1], 6.0);
    const th_array r = fuzz_page(R.get(), 1);
    EXPECT_EQ(host_ndims(r.get()), 2u);
    EXPECT_EQ(th_values(r)[3], 2.0);
    const th_array v = th_matrix(1, 3, {7, 8, 9});
    const th_array s = th_scalar(4);
    EXPECT_EQ(th_values(fuzz_column_value(v.get(), 1))[0], 8.0);
    EXPECT_EQ(th_values(fuzz_column_value(s.get(), 2))[0], 4.0);
    const double a[] = {NAN, -0.0}, b[] = {NAN, 0.0};
    EXPECT_TRUE(fuzz_same_bits(a, a, 2));
    EXPECT_FALSE(fuzz_same_bits(a, b, 2));  // -0 and 0 differ in their bits
    EXPECT_TRUE(fuzz_all_nan(a, 1));
    EXPECT_FALSE(fuzz_all_nan(a, 2));
}

TEST(FuzzBatch, NamedFaultGoesToTheSingleCallOnThatColumnOrPage) {
    const fuzz_frame f{2, 6, 3};  // two columns per page
    std::vector<std::size_t> asked;
    const fuzz_single single = [&asked](std::size_t k) {
        asked.push_back(k);
        th_result r;
        r.failed = true;
        r.message = "y must not contain NaN or Inf\n";
        return r;
    };
    const fuzz_names names = {{"Y", "y"}};
    fuzz_check_named_fault("Y column 4 must not contain NaN or Inf\n", f, single, names);
    fuzz_check_named_fault("Y page 3 must not contain NaN or Inf\n", f, single, names);
    fuzz_check_named_fault("Y must not contain NaN or Inf\n", f, single, names);  // no part
    EXPECT_EQ(asked, (std::vector<std::size_t>{3, 4}));
    // a different text, or a column past the frame, stops the run
    EXPECT_DEATH(fuzz_check_named_fault("Y column 1 must be finite\n", f, single, names),
                 "fuzz check failed");
    EXPECT_DEATH(
        fuzz_check_named_fault("Y column 7 must not contain NaN or Inf\n", f, single, names),
        "fuzz check failed");
}
