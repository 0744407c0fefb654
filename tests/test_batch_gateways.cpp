// The batch forms through the test host: each column equals the single function's result on
// that column bit for bit, for every thread count and channel layout; messages; Ctrl-C.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "gateways/gateways.h"
#include "host/test_host.h"
#include "tests/batch_support.h"

namespace {

const double nan = std::numeric_limits<double>::quiet_NaN();

TEST(BatchGateways, ZarrowEqualsSingleCalls) {
    std::mt19937_64 rng(11);
    for (const frame_shape& f : frame_shapes()) {
        const std::vector<double> R = random_pages(rng, f.n, f.P);
        std::vector<double> Y = random_values(rng, f.n * f.K, 6.0);
        if (!Y.empty()) Y[0] = nan;  // non-finite values pass through as in the single form
        const th_array y = th_matrix(f.n, f.K, Y);
        const th_array r = th_pages(f.n, f.n, f.P, R);
        for (const std::string& threads : thread_settings()) {
            thread_setting setting(threads);
            const th_result batch = call_ok(zarrow_batch_gateway, 1, {y.get(), r.get()});
            ASSERT_FALSE(batch.failed);
            ASSERT_EQ(batch.outputs[0]->rows, f.n);
            ASSERT_EQ(batch.outputs[0]->cols, f.K);
            for (std::size_t k = 0; k < f.K; ++k) {
                const th_array yk = column_of(Y.data(), f.n, k);
                const th_array rk = page_of(R, f.n, k / (f.K / f.P));
                const th_result single = call_ok(zarrow_gateway, 1, {yk.get(), rk.get()});
                EXPECT_TRUE(same_bits(th_values(batch.outputs[0]) + k * f.n,
                                      th_values(single.outputs[0]), f.n))
                    << "n " << f.n << " K " << f.K << " P " << f.P << " column " << k
                    << " threads '" << threads << "'";
            }
        }
    }
}

struct batch_message_case {
    const char* name;
    gateway_fn* gateway;
    int nlhs;
    std::vector<th_array (*)()> inputs;
    const char* message;
};

th_array frame_2x4() { return th_matrix(2, 4, {1, 2, 3, 4, 5, 6, 7, 8}); }
th_array r_2x2() { return th_matrix(2, 2, {1, 0, 0.5, 1}); }
th_array r_2x2x3() { return th_pages(2, 2, 3, std::vector<double>(12, 1.0)); }
th_array r_2x3() { return th_matrix(2, 3); }
th_array frame_3x4() { return th_matrix(3, 4); }
th_array int_frame() { return th_typed(th_class::int32, 2, 4); }

TEST(BatchGateways, Messages) {
    const std::vector<batch_message_case> cases = {
        {"zarrow usage", zarrow_batch_gateway, 0, {frame_2x4, r_2x2}, "USAGE: S=zarrow_batch(Y,R)\n"},
        {"zarrow one input", zarrow_batch_gateway, 1, {frame_2x4}, "USAGE: S=zarrow_batch(Y,R)\n"},
        {"zarrow R not square", zarrow_batch_gateway, 1, {frame_2x4, r_2x3}, "R must be square\n"},
        {"zarrow Y rows", zarrow_batch_gateway, 1, {frame_3x4, r_2x2},
         "Y must have as many rows as R has columns (one column per vector)\n"},
        {"zarrow pages do not divide", zarrow_batch_gateway, 1, {frame_2x4, r_2x2x3},
         "Y must have a number of columns that is a multiple of the pages of R\n"},
        {"zarrow Y class", zarrow_batch_gateway, 1, {int_frame, r_2x2},
         "Y must be a real double array\n"},
    };
    for (const auto& c : cases) {
        std::vector<th_array> owned;
        std::vector<const host_array*> in;
        for (auto make : c.inputs) {
            owned.push_back(make());
            in.push_back(owned.back().get());
        }
        const th_result r = th_call(c.gateway, c.nlhs, in);
        EXPECT_TRUE(r.failed) << c.name;
        EXPECT_EQ(r.message, c.message) << c.name;
        EXPECT_EQ(r.blocks_live, 0u) << c.name;
    }
}

// Ctrl-C: the call stops with an error, frees its scratch and hands back nothing, whether the
// interrupt comes before the first column or after some; with one thread or several.
TEST(BatchGateways, InterruptStopsTheCallAndFreesEverything) {
    std::mt19937_64 rng(5);
    const std::size_t n = 6, K = 2000;
    const th_array y = th_matrix(n, K, random_values(rng, n * K, 4.0));
    const th_array r = th_pages(n, n, 1, random_pages(rng, n, 1));
    for (const std::string& threads : {std::string("1"), std::string("2")}) {
        for (long after : {0L, 3L}) {
            thread_setting setting(threads);
            th_interrupt_after(after);
            const th_result res = th_call(zarrow_batch_gateway, 1, {y.get(), r.get()});
            EXPECT_TRUE(res.failed);
            EXPECT_EQ(res.message, "interrupted\n");
            EXPECT_EQ(res.blocks_live, 0u);
            EXPECT_GT(res.interrupt_polls, static_cast<std::size_t>(after));
        }
    }
    // the setting lasts one call only
    const th_result next = call_ok(zarrow_batch_gateway, 1, {y.get(), r.get()});
    EXPECT_FALSE(next.failed);
}

}  // namespace
