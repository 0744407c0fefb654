// SPDX-License-Identifier: BSD-3-Clause
// The kelvane gateway through the in-process test host: argument counts and outputs
// handed back, messages, warm-start validation, the worked cases, scratch sizes and
// order, and the round trip through morrit.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "gateways/gateways.h"
#include "host/test_host.h"
#include "tests/box_problems.h"

namespace {

const char* const usage =
    "USAGE: [x,reserved,iterations,status]=kelvane(y,R,u,index_set,use_start)\n";

// The five inputs of a call, as test-host arrays.
struct call_inputs {
    th_array y, R, u, index_set, use_start;
    std::vector<const host_array*> list() const {
        return {y.get(), R.get(), u.get(), index_set.get(), use_start.get()};
    }
};

call_inputs inputs(const std::vector<double>& y, std::size_t n, const std::vector<double>& R,
                   double u, const std::vector<double>& index_set, double use_start) {
    return {th_column(y), th_matrix(n, n, R), th_scalar(u), th_column(index_set),
            th_scalar(use_start)};
}

th_result call(const call_inputs& in, int nlhs = 4) {
    return th_call(kelvane_gateway, nlhs, in.list());
}

std::vector<double> eye(std::size_t n) {
    std::vector<double> R(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) R[i + i * n] = 1.0;
    return R;
}

}  // namespace

// Worked cases: x, iterations and status as the solver reports them.
TEST(kelvane_gateway, worked_cases) {
    struct row {
        std::string name;
        std::vector<double> y;
        std::size_t n;
        std::vector<double> R;
        double u;
        std::vector<double> index_set;
        double use_start;
        std::vector<double> x;
        double iterations, status;
    };
    const std::vector<row> rows = {
        {"cold above", {3}, 1, {1}, 1, {0, 0, 0}, 0, {1}, 2, 1},
        {"cold inside", {0.5}, 1, {1}, 1, {0, 0, 0}, 0, {0.5}, 2, 1},
        {"cold below", {-3}, 1, {1}, 1, {0, 0, 0}, 0, {-1}, 1, 1},
        {"warm above", {3}, 1, {1}, 1, {0, 1, 0}, 1, {1}, 2, 1},
        {"warm inside", {0.5}, 1, {1}, 1, {0, 1, 0}, 1, {0.5}, 2, 1},
        // use_start is truncated: 0.7 is a cold start, -1 and 2 are warm
        {"0.7 is cold", {-3}, 1, {1}, 1, {0, 1, 0}, 0.7, {-1}, 1, 1},
        {"-1 is warm", {-3}, 1, {1}, 1, {0, 1, 0}, -1.0, {-1}, 2, 1},
        {"2 is warm", {0.5}, 1, {1}, 1, {0, 1, 0}, 2.0, {0.5}, 2, 1},
        {"identity all free", {0, 0, 0}, 3, eye(3), 1, {0, 0, 0, 0, 0}, 0, {0, 0, 0}, 4, 1},
        {"warm both free", {3, 3}, 2, eye(2), 1, {0, 2, 1, 0}, 1, {1, 1}, 2, 1},
        // the pass cap: iterations stays 0, status -1, x as the last pass left it
        {"pass cap", {-1, -1}, 2, eye(2), 0, {0, 1, 2, 2}, 1, {0, 0}, 0, -1},
        // index_set longer than n+2 and y longer than n: the extra elements are ignored
        {"long vectors", {3, 99}, 1, {1}, 1, {0, 1, 0, 7, 7}, 1, {1}, 2, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const call_inputs in = inputs(r.y, r.n, r.R, r.u, r.index_set, r.use_start);
        const th_result res = call(in);
        ASSERT_FALSE(res.failed) << res.message;
        ASSERT_EQ(res.outputs.size(), 4u);
        for (std::size_t j = 0; j < r.n; ++j)
            EXPECT_DOUBLE_EQ(th_values(res.outputs[0])[j], r.x[j]);
        EXPECT_EQ(res.outputs[0]->rows, r.n);
        EXPECT_EQ(res.outputs[0]->cols, 1u);
        for (std::size_t j = 0; j < r.n; ++j) EXPECT_EQ(th_values(res.outputs[1])[j], 0.0);
        EXPECT_EQ(th_values(res.outputs[2])[0], r.iterations);
        EXPECT_EQ(th_values(res.outputs[3])[0], r.status);
        EXPECT_EQ(res.blocks_live, 0u);
        EXPECT_EQ(res.arrays_discarded, 0u);
    }
}

// One to four outputs: exactly as many handed back, none created and dropped; x is the
// same whatever the count.
TEST(kelvane_gateway, hands_back_only_the_outputs_requested) {
    const box_test::problem p = box_test::make_problem(6, 1.0, 3);
    const call_inputs in = inputs(p.y, 6, p.R, 1.0, std::vector<double>(8, 0.0), 0);
    const th_result all = call(in, 4);
    ASSERT_FALSE(all.failed);
    for (int nlhs = 0; nlhs <= 4; ++nlhs) {
        SCOPED_TRACE("nlhs=" + std::to_string(nlhs));
        const th_result res = call(in, nlhs);
        ASSERT_FALSE(res.failed) << res.message;
        ASSERT_EQ(res.outputs.size(), static_cast<std::size_t>(nlhs > 1 ? nlhs : 1));
        for (const th_array& out : res.outputs) EXPECT_NE(out, nullptr);
        EXPECT_EQ(res.arrays_discarded, 0u);
        EXPECT_EQ(res.blocks_live, 0u);
        for (int j = 0; j < 6; ++j)
            EXPECT_EQ(th_values(res.outputs[0])[j], th_values(all.outputs[0])[j]);
    }
    const th_result five = call(in, 5);
    EXPECT_TRUE(five.failed);
    EXPECT_EQ(five.message, usage);
}

TEST(kelvane_gateway, input_count) {
    const call_inputs in = inputs({1}, 1, {1}, 1, {0, 0, 0}, 0);
    for (std::size_t count : {0u, 1u, 4u, 6u}) {
        std::vector<const host_array*> list = in.list();
        while (list.size() > count) list.pop_back();
        while (list.size() < count) list.push_back(in.y.get());
        const th_result res = th_call(kelvane_gateway, 4, list);
        EXPECT_TRUE(res.failed) << count;
        EXPECT_EQ(res.message, usage) << count;
        EXPECT_EQ(res.blocks_obtained, 0u);
    }
}

// Scratch: six blocks in the order and sizes of the solver's buffers, freed in the order
// dual, slot, z, column store, work, G.
TEST(kelvane_gateway, scratch_order_and_sizes) {
    for (std::size_t n : {1u, 5u, 12u}) {
        const box_test::problem p = box_test::make_problem(n, 1.0, n);
        for (double use_start : {0.0, 1.0}) {
            std::vector<double> index_set(n + 2, 0.0);
            for (std::size_t s = 1; s <= n; ++s) index_set[s] = static_cast<double>(n + 1 - s);
            const th_result res = call(inputs(p.y, n, p.R, 1.0, index_set, use_start));
            ASSERT_FALSE(res.failed) << res.message;
            const std::vector<std::size_t> sizes = {n + 2, n, (n + 2) * n, n, 2 * n, n * n};
            EXPECT_EQ(res.alloc_sizes, sizes);
            EXPECT_EQ(res.free_order, (std::vector<std::size_t>{1, 0, 3, 2, 4, 5}));
            EXPECT_EQ(res.blocks_live, 0u);
        }
    }
}

TEST(kelvane_gateway, empty_problem) {
    for (double use_start : {0.0, 1.0}) {
        const call_inputs in{th_matrix(0, 1), th_matrix(0, 0), th_scalar(1), th_column({0, 0}),
                             th_scalar(use_start)};
        const th_result res = call(in);
        ASSERT_FALSE(res.failed) << res.message;
        EXPECT_EQ(res.outputs[0]->rows, 0u);
        EXPECT_EQ(res.outputs[1]->rows, 0u);
        EXPECT_EQ(th_values(res.outputs[2])[0], 0.0);
        EXPECT_EQ(th_values(res.outputs[3])[0], 1.0);
        EXPECT_EQ(res.blocks_obtained, 0u);
    }
}

// Every rejected call: the exact message, no scratch left behind.
TEST(kelvane_gateway, rejected_inputs) {
    struct row {
        std::string name;
        call_inputs in;
        std::string message;
    };
    const std::vector<double> I2 = eye(2);
    std::vector<row> rows;
    auto add = [&](std::string name, call_inputs in, std::string message) {
        rows.push_back({std::move(name), std::move(in), std::move(message)});
    };
    auto warm2 = [&](std::vector<double> index_set) {
        return inputs({1, 1}, 2, I2, 1, index_set, 1);
    };
    add("not square",
        {th_column({1, 1}), th_matrix(2, 3), th_scalar(1), th_column({0, 0, 0, 0, 0}),
         th_scalar(0)},
        "This function assumes n==m");
    add("int32 y",
        {th_typed(th_class::int32, 2, 1), th_matrix(2, 2, I2), th_scalar(1),
         th_column({0, 0, 0, 0}), th_scalar(0)},
        "y must be a real double array\n");
    add("single R",
        {th_column({1, 1}), th_typed(th_class::single, 2, 2), th_scalar(1), th_column({0, 0, 0, 0}),
         th_scalar(0)},
        "R must be a real double array\n");
    add("complex u",
        {th_column({1, 1}), th_matrix(2, 2, I2), th_typed(th_class::complex_double, 1, 1),
         th_column({0, 0, 0, 0}), th_scalar(0)},
        "u must be a real double array\n");
    add("logical index_set",
        {th_column({1, 1}), th_matrix(2, 2, I2), th_scalar(1), th_typed(th_class::logical, 4, 1),
         th_scalar(0)},
        "index_set must be a real double array\n");
    add("sparse use_start",
        {th_column({1, 1}), th_matrix(2, 2, I2), th_scalar(1), th_column({0, 0, 0, 0}),
         th_typed(th_class::sparse_double, 1, 1)},
        "use_start must be a real double array\n");
    add("empty u",
        {th_column({1, 1}), th_matrix(2, 2, I2), th_matrix(0, 0), th_column({0, 0, 0, 0}),
         th_scalar(0)},
        "u must not be empty\n");
    add("empty use_start",
        {th_column({1, 1}), th_matrix(2, 2, I2), th_scalar(1), th_column({0, 0, 0, 0}),
         th_matrix(1, 0)},
        "use_start must not be empty\n");
    add("short y", inputs({1}, 2, I2, 1, {0, 0, 0, 0}, 0),
        "y must have at least as many elements as R has columns\n");
    add("short index_set cold", inputs({1, 1}, 2, I2, 1, {0, 0, 0}, 0),
        "index_set must have at least n+2 elements\n");
    add("short index_set warm", inputs({1, 1}, 2, I2, 1, {0, 2, 1}, 1),
        "index_set must have at least n+2 elements\n");
    for (double u : {-1.0, -1e-300, double(NAN), double(INFINITY), -double(INFINITY)}) {
        add("u " + std::to_string(u), inputs({1, 1}, 2, I2, u, {0, 0, 0, 0}, 0),
            "u must be a finite number, not negative\n");
    }
    for (double s : {double(NAN), double(INFINITY)}) {
        add("use_start " + std::to_string(s), inputs({1, 1}, 2, I2, 1, {0, 0, 0, 0}, s),
            "use_start must be a finite number\n");
    }
    add("NaN y", inputs({1, NAN}, 2, I2, 1, {0, 0, 0, 0}, 0), "y must not contain NaN or Inf\n");
    add("Inf y", inputs({-INFINITY, 1}, 2, I2, 1, {0, 0, 0, 0}, 0),
        "y must not contain NaN or Inf\n");
    add("NaN above diagonal", inputs({1, 1}, 2, {1, 0, NAN, 1}, 1, {0, 0, 0, 0}, 0),
        "R must not contain NaN or Inf\n");
    add("Inf on diagonal", inputs({1, 1}, 2, {1, 0, 0, INFINITY}, 1, {0, 0, 0, 0}, 0),
        "R must not contain NaN or Inf\n");
    add("zero on diagonal", inputs({1, 1}, 2, {1, 0, 1, 0}, 1, {0, 0, 0, 0}, 0),
        "R must not have a zero on the diagonal\n");
    add("below diagonal", inputs({1, 1}, 2, {1, 1e-17, 0, 1}, 1, {0, 0, 0, 0}, 0),
        "R must be upper triangular (zeros below the diagonal)\n");
    add("NaN below diagonal", inputs({1, 1}, 2, {1, NAN, 0, 1}, 1, {0, 0, 0, 0}, 0),
        "R must be upper triangular (zeros below the diagonal)\n");
    // the warm-start vector (slot 0 is never read, so anything goes there)
    add("negative count", warm2({0, 2, 1, -1}),
        "Too many active variables in BVLS starting solution!");
    add("count above n", warm2({0, 2, 1, 3}),
        "index_set count (last element) must be between 0 and n\n");
    add("fractional count", warm2({0, 2, 1, 0.5}), "index_set must hold integer values\n");
    add("fractional entry", warm2({0, 1.5, 1, 0}), "index_set must hold integer values\n");
    add("NaN entry", warm2({0, NAN, 1, 0}), "index_set must hold integer values\n");
    add("Inf count", warm2({0, 2, 1, INFINITY}), "index_set must hold integer values\n");
    add("index 0", warm2({0, 0, 1, 1}),
        "index_set entries must be variable numbers between -n and n, not 0\n");
    add("index above n", warm2({0, 3, 1, 0}),
        "index_set entries must be variable numbers between -n and n, not 0\n");
    add("index below -n", warm2({0, -3, 1, 1}),
        "index_set entries must be variable numbers between -n and n, not 0\n");
    add("repeated index", warm2({0, 1, 1, 0}), "index_set must name each variable only once\n");
    add("repeated with signs", warm2({0, -2, 2, 1}),
        "index_set must name each variable only once\n");
    add("negative free entry", warm2({0, 2, -1, 1}), "index_set free entries must be positive\n");
    add("n=0 bad count",
        {th_matrix(0, 1), th_matrix(0, 0), th_scalar(1), th_column({0, 1}), th_scalar(1)},
        "index_set count (last element) must be between 0 and n\n");

    for (const row& r : rows) {
        const th_result res = call(r.in);
        EXPECT_TRUE(res.failed) << r.name;
        EXPECT_EQ(res.message, r.message) << r.name;
        EXPECT_EQ(res.blocks_obtained, 0u) << r.name;
        EXPECT_EQ(res.blocks_live, 0u) << r.name;
    }
    // the same vectors are fine for a cold start, which does not read their values
    for (const std::vector<double>& v :
         {std::vector<double>{0, 2, 1, -1}, {0, NAN, 1, 0}, {0, 1, 1, 0}, {0, 2, -1, 1}}) {
        const th_result res = call(inputs({1, 1}, 2, I2, 1, v, 0));
        EXPECT_FALSE(res.failed) << res.message;
    }
}

// Valid warm starts in every arrangement give the solution of the cold start.
TEST(kelvane_gateway, warm_starts_reach_the_cold_solution) {
    const std::size_t n = 3;
    const box_test::problem p = box_test::make_problem(n, 1.0, 42, 1.0, 0.2);
    const th_result cold = call(inputs(p.y, n, p.R, 1.0, {0, 0, 0, 0, 0}, 0));
    ASSERT_FALSE(cold.failed);
    const std::vector<std::vector<double>> starts = {
        {0, 3, 2, 1, 0},   {0, 1, 2, 3, 0}, {0, -1, 3, 2, 1}, {0, 2, -3, 1, 2},
        {0, -3, -2, 1, 3}, {9, 1, 2, 3, 3}, {0, -2, 3, 1, 1},
    };
    for (const auto& s : starts) {
        const th_result warm = call(inputs(p.y, n, p.R, 1.0, s, 1));
        ASSERT_FALSE(warm.failed) << warm.message;
        EXPECT_EQ(th_values(warm.outputs[3])[0], 1.0);
        for (std::size_t j = 0; j < n; ++j) {
            EXPECT_NEAR(th_values(warm.outputs[0])[j], th_values(cold.outputs[0])[j], 1e-12);
        }
    }
}

// solve, classify with morrit, warm-start: the same x in at most two passes.
TEST(kelvane_gateway, round_trip_through_morrit) {
    for (std::size_t n : {4u, 25u, 80u}) {
        const box_test::problem p = box_test::make_problem(n, 1.0, 900 + n, 1.0, 0.1);
        const th_result cold = call(inputs(p.y, n, p.R, 1.0, std::vector<double>(n + 2, 0.0), 0));
        ASSERT_FALSE(cold.failed) << cold.message;
        const th_result classified =
            th_call(morrit_gateway, 1, {cold.outputs[0].get(), th_scalar(1.0).get()});
        ASSERT_FALSE(classified.failed) << classified.message;
        const call_inputs warm_in{
            th_column(p.y), th_matrix(n, n, p.R), th_scalar(1.0),
            th_matrix(n + 2, 1,
                      std::vector<double>(th_values(classified.outputs[0]),
                                          th_values(classified.outputs[0]) + n + 2)),
            th_scalar(1)};
        const th_result warm = call(warm_in);
        ASSERT_FALSE(warm.failed) << warm.message;
        EXPECT_LE(th_values(warm.outputs[2])[0], 2.0);
        EXPECT_GE(th_values(warm.outputs[2])[0], 1.0);
        for (std::size_t j = 0; j < n; ++j) {
            EXPECT_NEAR(th_values(warm.outputs[0])[j], th_values(cold.outputs[0])[j], 1e-10);
        }
    }
}

// Every rejected input, the warm-start vector included, is refused before any output is
// created or any scratch obtained.
TEST(kelvane_gateway, rejects_before_creating_outputs) {
    const std::vector<double> I3 = eye(3);
    std::vector<call_inputs> rejected;
    auto add = [&](std::vector<double> y, std::vector<double> R, std::vector<double> index_set,
                   double use_start) {
        rejected.push_back(inputs(y, 3, R, 1, index_set, use_start));
    };
    add({1, 1, 1}, I3, {0, 1, 2, 2, 0}, 1);                           // repeated variable
    add({1, 1, 1}, I3, {0, 3, 2, 1, 4}, 1);                           // count above n
    add({1, 1, 1}, I3, {0, 3, 2, -1, 1}, 1);                          // negative free entry
    add({1, 1, 1}, I3, {0, 3, 2, 1, -1}, 1);                          // negative count
    add({1, 1, 1}, I3, {0, 3, 0, 1, 0}, 1);                           // variable 0
    add({1, 1, 1}, I3, {0, 3, 2.5, 1, 0}, 1);                         // fraction
    add({1, NAN, 1}, I3, {0, 3, 2, 1, 0}, 1);                         // y not finite
    add({1, 1, 1}, {1, 0, 0, 0, 0, 0, 0, 0, 1}, {0, 3, 2, 1, 0}, 0);  // zero pivot
    for (std::size_t k = 0; k < rejected.size(); ++k) {
        for (int nlhs : {1, 4}) {
            const th_result res = call(rejected[k], nlhs);
            EXPECT_TRUE(res.failed) << k;
            EXPECT_EQ(res.arrays_discarded, 0u) << k << ": " << res.message;
            EXPECT_EQ(res.blocks_obtained, 0u) << k;
        }
    }
}

// A free-set solve that overflows: the breakdown message, and every scratch block freed.
TEST(kelvane_gateway, breakdown_message) {
    const th_result res = call(inputs({1, 1e200}, 2, {1e-200, 0, -1, 2}, 1, {0, 0, 0, 0}, 0));
    ASSERT_TRUE(res.failed);
    EXPECT_EQ(res.message,
              "R is too ill-conditioned: the free-set Gram matrix is numerically singular\n");
    EXPECT_EQ(res.blocks_obtained, 6u);
    EXPECT_EQ(res.blocks_freed, 6u);
    EXPECT_EQ(res.blocks_live, 0u);
}
