// SPDX-License-Identifier: BSD-3-Clause
// zarrow, tessaly and plinden through the test host: counts, types, sizes, messages,
// empty problems, outputs and scratch.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "gateways/gateways.h"
#include "host/test_host.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

using arrays = std::vector<th_array>;

std::vector<const host_array*> view(const arrays& a) {
    std::vector<const host_array*> v;
    for (const auto& x : a) v.push_back(x.get());
    return v;
}

arrays args(th_array a) {
    arrays v;
    v.push_back(std::move(a));
    return v;
}
template <typename... T>
arrays args(th_array a, T... rest) {
    arrays v = args(std::move(rest)...);
    v.insert(v.begin(), std::move(a));
    return v;
}

std::vector<double> values(const th_array& a) {
    return std::vector<double>(th_values(a), th_values(a) + a->rows * a->cols);
}

// A valid call of each function, to vary one argument at a time.
arrays zarrow_args() {
    return args(th_column({1.2, 0.4}), th_matrix(2, 2, {1, 0, 0.5, 1}));
}
arrays tessaly_args() {
    return args(th_column({1.2, 0.4}), th_matrix(2, 2, {1, 0, 0.5, 1}), th_scalar(3));
}
arrays plinden_args() {
    return args(th_column({1.2, 0.4}), th_matrix(2, 2, {1, 0, 0.5, 1}), th_scalar(inf),
                th_scalar(-3), th_scalar(3));
}

struct message_case {
    const char* name;
    gateway_fn* gateway;
    int nlhs;
    arrays (*make)();
    int replace;  // index of the argument to replace, -1 for none, or a count to keep
    th_array (*with)();
    const char* message;
};

th_array int32_column() {
    return th_typed(th_class::int32, 2, 1);
}
th_array single_matrix() {
    return th_typed(th_class::single, 2, 2);
}
th_array complex_matrix() {
    return th_typed(th_class::complex_double, 2, 2);
}
th_array sparse_matrix() {
    return th_typed(th_class::sparse_double, 2, 2);
}
th_array logical_scalar() {
    return th_typed(th_class::logical, 1, 1);
}
th_array empty() {
    return th_matrix(0, 0);
}
th_array short_y() {
    return th_column({1.0});
}
th_array wide_R() {
    return th_matrix(2, 3, {1, 0, 1, 1, 1, 1});
}
th_array nan_scalar() {
    return th_scalar(nan);
}
th_array nan_y() {
    return th_column({1.0, nan});
}
th_array inf_R() {
    return th_matrix(2, 2, {1, 0, inf, 1});
}
th_array zero_diag_R() {
    return th_matrix(2, 2, {1, 0, 0.5, 0});
}
th_array big_u() {
    return th_scalar(2147483648.0);
}
th_array big_neg_u() {
    return th_scalar(-2147483648.0);
}

TEST(DetectGateways, Messages) {
    const char* zu = "USAGE: s=zf_zarrow(y,R)\n";
    const char* tu = "USAGE: [s]=tessaly(y,R,u)\n";
    const char* pu = "USAGE: [symb,info]=plinden(y,R,radius,lb,ub)\n";
    const message_case cases[] = {
        {"zarrow no output", zarrow_gateway, 0, zarrow_args, -1, nullptr, zu},
        {"zarrow two outputs", zarrow_gateway, 2, zarrow_args, -1, nullptr, zu},
        {"zarrow y is int32", zarrow_gateway, 1, zarrow_args, 0, int32_column,
         "y must be a real double array\n"},
        {"zarrow R is single", zarrow_gateway, 1, zarrow_args, 1, single_matrix,
         "R must be a real double array\n"},
        {"zarrow R is complex", zarrow_gateway, 1, zarrow_args, 1, complex_matrix,
         "R must be a real double array\n"},
        {"zarrow R is sparse", zarrow_gateway, 1, zarrow_args, 1, sparse_matrix,
         "R must be a real double array\n"},
        {"zarrow R is 2x3", zarrow_gateway, 1, zarrow_args, 1, wide_R, "R must be square\n"},
        {"zarrow y too short", zarrow_gateway, 1, zarrow_args, 0, short_y,
         "y must have at least as many elements as R has columns\n"},
        {"tessaly two outputs", tessaly_gateway, 2, tessaly_args, -1, nullptr, tu},
        {"tessaly u empty", tessaly_gateway, 1, tessaly_args, 2, empty, "u must not be empty\n"},
        {"tessaly u logical", tessaly_gateway, 1, tessaly_args, 2, logical_scalar,
         "u must be a real double array\n"},
        {"tessaly u NaN", tessaly_gateway, 1, tessaly_args, 2, nan_scalar,
         "u must be a number of magnitude below 2^31\n"},
        {"tessaly u 2^31", tessaly_gateway, 1, tessaly_args, 2, big_u,
         "u must be a number of magnitude below 2^31\n"},
        {"tessaly u -2^31", tessaly_gateway, 1, tessaly_args, 2, big_neg_u,
         "u must be a number of magnitude below 2^31\n"},
        {"tessaly R 2x3", tessaly_gateway, 1, tessaly_args, 1, wide_R, "R must be square\n"},
        {"tessaly y short", tessaly_gateway, 1, tessaly_args, 0, short_y,
         "y must have at least as many elements as R has columns\n"},
        {"plinden one output", plinden_gateway, 1, plinden_args, -1, nullptr, pu},
        {"plinden three outputs", plinden_gateway, 3, plinden_args, -1, nullptr, pu},
        {"plinden R 2x3", plinden_gateway, 2, plinden_args, 1, wide_R, "R must be square\n"},
        {"plinden radius empty", plinden_gateway, 2, plinden_args, 2, empty,
         "radius must not be empty\n"},
        {"plinden lb empty", plinden_gateway, 2, plinden_args, 3, empty, "lb must not be empty\n"},
        {"plinden ub int32", plinden_gateway, 2, plinden_args, 4, int32_column,
         "ub must be a real double array\n"},
        {"plinden radius NaN", plinden_gateway, 2, plinden_args, 2, nan_scalar,
         "radius must not be NaN\n"},
        {"plinden lb NaN", plinden_gateway, 2, plinden_args, 3, nan_scalar, "lb must not be NaN\n"},
        {"plinden ub NaN", plinden_gateway, 2, plinden_args, 4, nan_scalar, "ub must not be NaN\n"},
        {"plinden y NaN", plinden_gateway, 2, plinden_args, 0, nan_y,
         "y must not contain NaN or Inf\n"},
        {"plinden y short", plinden_gateway, 2, plinden_args, 0, short_y,
         "y must have at least as many elements as R has columns\n"},
        {"plinden R Inf", plinden_gateway, 2, plinden_args, 1, inf_R,
         "R must not contain NaN or Inf on or above the diagonal\n"},
        {"plinden R zero diagonal", plinden_gateway, 2, plinden_args, 1, zero_diag_R,
         "R must not have a zero on the diagonal\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        arrays a = c.make();
        if (c.replace >= 0) a[c.replace] = c.with();
        const th_result r = th_call(c.gateway, c.nlhs, view(a));
        EXPECT_TRUE(r.failed);
        EXPECT_EQ(r.message, c.message);
        EXPECT_EQ(r.blocks_obtained, 0u);
    }
}

TEST(DetectGateways, WrongInputCounts) {
    struct count_case {
        gateway_fn* gateway;
        int nlhs;
        int nrhs;
        const char* message;
    };
    const count_case cases[] = {
        {zarrow_gateway, 1, 1, "USAGE: s=zf_zarrow(y,R)\n"},
        {zarrow_gateway, 1, 3, "USAGE: s=zf_zarrow(y,R)\n"},
        {tessaly_gateway, 1, 2, "USAGE: [s]=tessaly(y,R,u)\n"},
        {tessaly_gateway, 1, 0, "USAGE: [s]=tessaly(y,R,u)\n"},
        {plinden_gateway, 2, 4, "USAGE: [symb,info]=plinden(y,R,radius,lb,ub)\n"},
        {plinden_gateway, 2, 6, "USAGE: [symb,info]=plinden(y,R,radius,lb,ub)\n"},
    };
    for (const auto& c : cases) {
        arrays a;
        for (int i = 0; i < c.nrhs; ++i) a.push_back(th_scalar(1.0));
        const th_result r = th_call(c.gateway, c.nlhs, view(a));
        EXPECT_TRUE(r.failed);
        EXPECT_EQ(r.message, c.message);
    }
}

TEST(DetectGateways, EmptyProblems) {
    // n = 0: empty outputs, nothing read from y, no scratch
    const arrays z = args(th_matrix(0, 0), th_matrix(0, 0));
    th_result r = th_call(zarrow_gateway, 1, view(z));
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(r.outputs[0]->rows, 0u);
    EXPECT_EQ(r.outputs[0]->cols, 1u);

    const arrays t = args(th_matrix(0, 0), th_matrix(0, 0), th_scalar(1));
    r = th_call(tessaly_gateway, 1, view(t));
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(r.outputs[0]->rows, 0u);

    const arrays p =
        args(th_matrix(0, 0), th_matrix(0, 0), th_scalar(1), th_scalar(0), th_scalar(1));
    r = th_call(plinden_gateway, 2, view(p));
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(r.outputs[0]->rows, 0u);
    EXPECT_EQ(r.outputs[0]->cols, 1u);
    EXPECT_EQ(values(r.outputs[1]), std::vector<double>({-1.0}));
    EXPECT_EQ(r.blocks_obtained, 0u);
}

TEST(DetectGateways, ResultsAndScratch) {
    // R = [2 1; 0 -1], y = (2.6, 1.2) as a row vector with an extra element
    const arrays z = args(th_matrix(1, 3, {2.6, 1.2, 99}), th_matrix(2, 2, {2, 5, 1, -1}));
    th_result r = th_call(zarrow_gateway, 1, view(z));
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(values(r.outputs[0]), std::vector<double>({2, -1}));  // s2 = -1, s1 = floor(1.8+.5)

    const arrays t =
        args(th_matrix(1, 3, {2.6, 1.2, 99}), th_matrix(2, 2, {2, 5, 1, -1}), th_scalar(1.9));
    r = th_call(tessaly_gateway, 1, view(t));
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(values(r.outputs[0]), std::vector<double>({1, -1}));

    const arrays p = args(th_column({2.6, 1.2}), th_matrix(2, 2, {2, 5, 1, -1}), th_scalar(inf),
                          th_scalar(-inf), th_scalar(inf));
    r = th_call(plinden_gateway, 2, view(p));
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(values(r.outputs[0]), std::vector<double>({2, -1}));
    EXPECT_EQ(values(r.outputs[1]), std::vector<double>({1}));
    EXPECT_EQ(r.outputs[0]->cols, 1u);
    // one scratch block of search_scratch_size(n) doubles, freed
    EXPECT_EQ(r.alloc_sizes, std::vector<size_t>({10}));
    EXPECT_EQ(r.free_order, std::vector<size_t>({0}));
    EXPECT_EQ(r.blocks_live, 0u);
    EXPECT_EQ(r.arrays_discarded, 0u);
}

TEST(DetectGateways, FarCentreReturnsTheSameAsTheWalk) {
    const arrays p =
        args(th_scalar(1e12), th_scalar(1), th_scalar(inf), th_scalar(0), th_scalar(3));
    const th_result r = th_call(plinden_gateway, 2, view(p));
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(values(r.outputs[0]), std::vector<double>({3}));
    EXPECT_EQ(values(r.outputs[1]), std::vector<double>({1}));
}

TEST(DetectGateways, CentreBeyondTheExactRangeIsAnErrorAndFreesScratch) {
    const arrays p = args(th_column({1e17, 1e17}), th_matrix(2, 2, {1, 0, 0, 1}), th_scalar(inf),
                          th_scalar(-inf), th_scalar(inf));
    const th_result r = th_call(plinden_gateway, 2, view(p));
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.message, "y is too large for R: the search would need integers beyond 2^51\n");
    EXPECT_EQ(r.blocks_live, 0u);
}

}  // namespace
