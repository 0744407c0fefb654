// SPDX-License-Identifier: BSD-3-Clause
// The inaccuracy warning of kelvane and kelvane_batch through the test host: its id and text,
// outputs exactly as without it, one warning per batch call naming the count, the first and
// the worst column, the same for every thread count, and none on ordinary problems.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "box/bvls.h"
#include "gateways/gateways.h"
#include "host/test_host.h"
#include "tests/batch_support.h"
#include "tests/box_problems.h"

namespace {

const std::string suffix = " (R is too ill-conditioned for this solver)";

th_result call_single(const box_test::problem& p, const std::vector<double>& start, int nlhs) {
    const th_array y = th_column(p.y), R = th_matrix(p.n, p.n, p.R), u = th_scalar(p.u);
    const th_array s = th_column(start.empty() ? std::vector<double>(p.n + 2, 0.0) : start);
    const th_array use = th_scalar(start.empty() ? 0.0 : 1.0);
    return th_call(kelvane_gateway, nlhs, {y.get(), R.get(), u.get(), s.get(), use.get()});
}

// The solver's own answer for a column: x, iterations and status as kelvane reports them.
struct solved {
    bvls_result result;
    std::vector<double> x;
};
solved solve_directly(const box_test::problem& p) {
    const std::int64_t n = p.n;
    std::vector<std::int64_t> slot(n + 2);
    std::vector<double> dual(n), columns(n * (n + 2)), z(n), work(2 * n), G(n * n), x(n);
    const bvls_scratch s{slot.data(), dual.data(), columns.data(), z.data(), work.data(), G.data()};
    return {bvls_solve(n, p.R.data(), p.y.data(), p.u, nullptr, x.data(), s), x};
}

std::string phrase(const optimality_check& c) {
    char text[96];
    describe_optimality(c, text, sizeof text);
    return text;
}

}  // namespace

// The nearly singular 3x3 case warns once, with the id and the measured decrease, for any
// number of outputs; the outputs are the solver's, status 1.
TEST(kelvane_warning, nearly_singular_case) {
    const box_test::problem p = box_test::nearly_singular_3x3();
    const solved direct = solve_directly(p);
    ASSERT_TRUE(misses_optimum(direct.result.check));
    const std::string expected =
        "latbox:kelvane:inaccurate: x is inaccurate: " + phrase(direct.result.check) + suffix;
    EXPECT_EQ(phrase(direct.result.check),
              "a point in the box lowers ||y-R*x||^2 by 1.0e+00*||y||^2");
    for (int nlhs = 0; nlhs <= 4; ++nlhs) {
        const th_result res = call_single(p, {}, nlhs);
        ASSERT_FALSE(res.failed) << res.message;
        EXPECT_EQ(res.warnings, std::vector<std::string>{expected}) << nlhs;
        EXPECT_TRUE(same_bits(th_values(res.outputs[0]), direct.x.data(), 3)) << nlhs;
        if (nlhs >= 3) {
            EXPECT_EQ(th_values(res.outputs[2])[0], double(direct.result.iter));
        }
        if (nlhs >= 4) {
            EXPECT_EQ(th_values(res.outputs[3])[0], 1.0);
        }
        EXPECT_EQ(res.blocks_live, 0u);
    }
}

// Ordinary problems, cold and warm, in every conditioning of the benchmark: no warning.
TEST(kelvane_warning, none_on_ordinary_problems) {
    for (double cond : {1.0, 1e6, 1e8}) {
        for (std::int64_t n : {1, 5, 12, 40}) {
            const box_test::problem p = box_test::make_problem(n, cond, 70 + n, 1.0, 0.1);
            const th_result cold = call_single(p, {}, 4);
            ASSERT_FALSE(cold.failed) << cold.message;
            EXPECT_TRUE(cold.warnings.empty()) << cold.warnings.front();
            const th_result idx =
                th_call(morrit_gateway, 1, {cold.outputs[0].get(), th_scalar(1.0).get()});
            const std::vector<double> start(th_values(idx.outputs[0]),
                                            th_values(idx.outputs[0]) + n + 2);
            const th_result warm = call_single(p, start, 4);
            ASSERT_FALSE(warm.failed) << warm.message;
            EXPECT_TRUE(warm.warnings.empty()) << warm.warnings.front();
        }
    }
}

// A frame mixing the nearly singular channel with well-conditioned ones: one warning that
// counts the columns whose single call warns and names the first of them and the one with the
// largest decrease; the same text for every thread count; the outputs are the single calls'.
TEST(kelvane_warning, batch_warns_once_for_all_columns) {
    const box_test::problem bad = box_test::nearly_singular_3x3();
    const std::size_t n = 3, K = 12;
    std::vector<double> R(n * n * K), Y(n * K);
    std::size_t count = 0, first = K, worst = K;
    optimality_check worst_check{0.0, 0.0};
    for (std::size_t k = 0; k < K; ++k) {
        // columns 3, 4, 7 and 10 use the nearly singular channel, scaled in y
        const bool ill = k == 3 || k == 4 || k == 7 || k == 10;
        box_test::problem p = ill ? bad : box_test::make_problem(3, 1.0, 500 + k, 1.6e9);
        if (ill) {
            for (double& v : p.y) v *= 1.0 + 0.25 * k;
        }
        std::copy(p.R.begin(), p.R.end(), R.begin() + k * n * n);
        std::copy(p.y.begin(), p.y.end(), Y.begin() + k * n);
        const solved direct = solve_directly(p);
        if (misses_optimum(direct.result.check)) {
            if (count++ == 0) first = k;
            if (direct.result.check.decrease > worst_check.decrease) {
                worst_check = direct.result.check;
                worst = k;
            }
        }
        const th_result single = call_single(p, {}, 4);
        EXPECT_EQ(single.warnings.size(), misses_optimum(direct.result.check) ? 1u : 0u) << k;
    }
    ASSERT_EQ(count, 4u);
    char text[256];
    std::snprintf(text, sizeof text,
                  "latbox:kelvane:inaccurate: X is inaccurate in %zu of %zu columns, the first "
                  "column %zu; in column %zu, ",
                  count, K, first + 1, worst + 1);
    const std::string expected = text + phrase(worst_check) + suffix;
    const th_array y = th_matrix(n, K, Y), r = th_pages(n, n, K, R), u = th_scalar(1.6e9);
    const th_array s = th_matrix(n + 2, 1, {0, 0, 0, 0, 0}), use = th_scalar(0.0);
    for (const std::string& threads : thread_settings()) {
        thread_setting setting(threads);
        const th_result batch =
            call_ok(kelvane_batch_gateway, 3, {y.get(), r.get(), u.get(), s.get(), use.get()});
        EXPECT_EQ(batch.warnings, std::vector<std::string>{expected}) << "threads " << threads;
        for (std::size_t k = 0; k < K; ++k) EXPECT_EQ(th_values(batch.outputs[2])[k], 1.0) << k;
    }
    // a frame of the well-conditioned columns alone warns nothing
    const th_array good_y = th_matrix(n, 2, {Y.begin(), Y.begin() + 2 * n});
    const th_array good_r = th_pages(n, n, 2, {R.begin(), R.begin() + 2 * n * n});
    const th_result quiet = call_ok(kelvane_batch_gateway, 1,
                                    {good_y.get(), good_r.get(), u.get(), s.get(), use.get()});
    EXPECT_TRUE(quiet.warnings.empty());
}
