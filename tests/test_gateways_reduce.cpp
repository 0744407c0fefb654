// SPDX-License-Identifier: BSD-3-Clause
// quorvin and morrit through the in-process host: counts, types, sizes, messages, outputs
// and the scratch that the call obtains and frees.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "gateways/gateways.h"
#include "host/test_host.h"
#include "reduce/reduce_qr_factors.h"

namespace {

using vec = std::vector<double>;
const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();
const char* quorvin_usage = "USAGE: [Qo,Ro,Uo]=quorvin(Q,R,delta)\n";
const char* morrit_usage = "USAGE: index_set=morrit(x,bound)\n";

vec values(const th_array& a) {
    return vec(th_values(a), th_values(a) + a->rows * a->cols);
}

// A failed call leaves nothing behind: no scratch, no array.
void expect_error(const th_result& r, const std::string& text) {
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.message, text);
    EXPECT_EQ(r.blocks_live, 0u);
    EXPECT_EQ(r.arrays_discarded, 0u);
}

TEST(QuorvinGateway, RejectsBadCallsWithOneMessageEach) {
    auto Q = th_matrix(2, 2, {1, 0, 0, 1});
    auto R = th_matrix(2, 2, {1, 0, 0.4, 0.5});
    auto d = th_scalar(0.75);
    auto Q32 = th_matrix(3, 2), R3 = th_matrix(3, 3), R23 = th_matrix(2, 3), Q23 = th_matrix(2, 3);
    auto empty = th_matrix(0, 0), big = th_scalar(1.5), infinite = th_scalar(inf);
    auto i32 = th_typed(th_class::int32, 2, 2), single = th_typed(th_class::single, 2, 2);
    auto logical = th_typed(th_class::logical, 1, 1),
         cplx = th_typed(th_class::complex_double, 2, 2);
    auto sparse = th_typed(th_class::sparse_double, 2, 2);
    struct bad_call {
        int nlhs;
        std::vector<const host_array*> in;
        const char* message;
    };
    const bad_call calls[] = {
        {3, {Q.get(), R.get()}, quorvin_usage},
        {3, {Q.get(), R.get(), d.get(), d.get()}, quorvin_usage},
        {0, {Q.get(), R.get(), d.get()}, quorvin_usage},
        {2, {Q.get(), R.get(), d.get()}, quorvin_usage},
        {4, {Q.get(), R.get(), d.get()}, quorvin_usage},
        {3, {i32.get(), R.get(), d.get()}, "Q must be a real double array\n"},
        {3, {cplx.get(), R.get(), d.get()}, "Q must be a real double array\n"},
        {3, {Q.get(), single.get(), d.get()}, "R must be a real double array\n"},
        {3, {Q.get(), sparse.get(), d.get()}, "R must be a real double array\n"},
        {3, {Q.get(), R.get(), logical.get()}, "delta must be a real double array\n"},
        {3, {Q23.get(), R3.get(), d.get()}, "Check the size of input matrices\n"},  // m < n
        {3, {Q.get(), R23.get(), d.get()}, "Check the size of input matrices\n"},
        {3, {Q32.get(), R3.get(), d.get()}, "Check the size of input matrices\n"},
        {3, {Q.get(), R.get(), empty.get()}, "delta must not be empty\n"},
        {3, {Q.get(), R.get(), big.get()}, "delta must not be greater than 1\n"},
        {3, {Q.get(), R.get(), infinite.get()}, "delta must not be greater than 1\n"},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.message);
        expect_error(th_call(quorvin_gateway, c.nlhs, c.in), c.message);
    }
}

TEST(QuorvinGateway, ReturnsTheReducedFactorsAndFreesItsScratch) {
    struct good_call {
        std::size_t m, n;
        vec Q, R;
        double delta;
    };
    const good_call calls[] = {
        {2, 2, {1, 0, 0, 1}, {1, 0, 0.4, 0.5}, 0.75},
        {3, 2, {1, 0, 0, 0, 0.6, 0.8}, {2, 0, 1, 3}, 0.99},
        {3, 3, {1, 0, 0, 0, 1, 0, 0, 0, 1}, {18, 0, 0, -9, -15, 0, 15, 7, -16}, 1.0},
        {2, 2, {1, 0, 0, 1}, {1, 0, 1, 0}, 0.75},  // rank-deficient: NaN factors
        {2, 2, {1, 0, 0, 1}, {1, 0, 0.4, 0.5}, nan},
        {2, 2, {1, 0, 0, 1}, {1, 0, 0.4, 0.5}, -inf},
        {4, 1, {1, 2, 3, 4}, {-3}, 1.0},
        {3, 0, {}, {}, 0.75},
        {0, 0, {}, {}, 0.75},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(testing::Message() << "m=" << c.m << " n=" << c.n << " delta=" << c.delta);
        auto Q = th_matrix(c.m, c.n, c.Q), R = th_matrix(c.n, c.n, c.R), d = th_scalar(c.delta);
        th_result r = th_call(quorvin_gateway, 3, {Q.get(), R.get(), d.get()});
        ASSERT_FALSE(r.failed) << r.message;
        ASSERT_EQ(r.outputs.size(), 3u);
        EXPECT_EQ(r.outputs[0]->rows, c.m);
        EXPECT_EQ(r.outputs[0]->cols, c.n);
        for (int i : {1, 2}) {
            EXPECT_EQ(r.outputs[i]->rows, c.n);
            EXPECT_EQ(r.outputs[i]->cols, c.n);
        }
        // the same as the routine on copies, bit for bit; the inputs are untouched
        const auto m = static_cast<std::int64_t>(c.m), n = static_cast<std::int64_t>(c.n);
        vec q = c.Q, rr = c.R, u(c.n * c.n, 0.0), scratch(reduce_qr_scratch_size(n));
        for (std::size_t i = 0; i < c.n; ++i) u[i + i * c.n] = 1.0;
        reduce_qr_factors(q.data(), rr.data(), u.data(), m, n, c.delta, scratch.data());
        for (auto [out, want] : {std::pair{0, &q}, {1, &rr}, {2, &u}}) {
            const vec got = values(r.outputs[out]);
            ASSERT_EQ(got.size(), want->size());
            EXPECT_TRUE(got.empty() || std::memcmp(got.data(), want->data(), 8 * got.size()) == 0)
                << "output " << out;
        }
        EXPECT_EQ(values(Q), c.Q);
        EXPECT_EQ(values(R), c.R);
        EXPECT_EQ(r.alloc_sizes,
                  std::vector<std::size_t>{static_cast<std::size_t>(reduce_qr_scratch_size(n))});
        EXPECT_EQ(r.blocks_freed, 1u);
        EXPECT_EQ(r.blocks_live, 0u);
        EXPECT_EQ(r.arrays_discarded, 0u);
    }
}

TEST(MorritGateway, RejectsBadCalls) {
    auto x = th_column({0.5, -2}), b = th_scalar(1.0);
    auto no_cols = th_matrix(3, 0), empty = th_matrix(1, 0), i32 = th_typed(th_class::int32, 2, 1);
    auto single = th_typed(th_class::single, 1, 1);
    struct bad_call {
        int nlhs;
        std::vector<const host_array*> in;
        const char* message;
    };
    const bad_call calls[] = {
        {1, {}, morrit_usage},
        {1, {x.get()}, morrit_usage},
        {2, {x.get(), b.get()}, morrit_usage},
        {1, {no_cols.get(), b.get()}, "x must have at least one column\n"},
        {1, {i32.get(), b.get()}, "x must be a real double array\n"},
        {1, {x.get(), empty.get()}, "bound must not be empty\n"},
        {1, {x.get(), single.get()}, "bound must be a real double array\n"},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.message);
        expect_error(th_call(morrit_gateway, c.nlhs, c.in), c.message);
    }
}

TEST(MorritGateway, WritesTheIndexSetIntoTheFirstSlot) {
    struct good_call {
        int nlhs;
        th_array x;
        vec want;
    };
    good_call calls[] = {
        {1, th_column({0.5, -2, 2, 0, -0.5}), {0, -2, 3, 5, 4, 1, 2}},
        {0, th_column({0.5, -2, 2, 0, -0.5}), {0, -2, 3, 5, 4, 1, 2}},
        {1, th_matrix(1, 3, {2, 0, 0}), {0, 1, 1}},  // a row vector: n = 1
        {1, th_matrix(0, 0), {0, 0}},
        {1, th_matrix(0, 4), {0, 0}},
        {1, th_matrix(2, 2, {0, 1, 7, 7}), {0, 2, 1, 1}},  // first n elements only
    };
    auto b = th_scalar(1.0), extra = th_scalar(5.0);
    for (const auto& c : calls) {
        SCOPED_TRACE(testing::Message() << "rows=" << c.x->rows << " nlhs=" << c.nlhs);
        for (bool with_extra : {false, true}) {
            std::vector<const host_array*> in = {c.x.get(), b.get()};
            if (with_extra) in.push_back(extra.get());  // ignored
            th_result r = th_call(morrit_gateway, c.nlhs, in);
            ASSERT_FALSE(r.failed) << r.message;
            ASSERT_EQ(r.outputs.size(), 1u);
            EXPECT_EQ(r.outputs[0]->cols, 1u);
            EXPECT_EQ(values(r.outputs[0]), c.want);
            EXPECT_EQ(r.blocks_obtained, 0u);
            EXPECT_EQ(r.arrays_discarded, 0u);
        }
    }
}

}  // namespace
