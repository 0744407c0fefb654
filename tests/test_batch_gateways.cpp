// SPDX-License-Identifier: BSD-3-Clause
// The batch forms through the test host: each column equals the single function's result on
// that column bit for bit, for every thread count and channel layout; messages; Ctrl-C.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "box/blas64.h"
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

TEST(BatchGateways, TessalyEqualsSingleCalls) {
    std::mt19937_64 rng(12);
    for (const frame_shape& f : frame_shapes()) {
        const std::vector<double> R = random_pages(rng, f.n, f.P);
        const std::vector<double> Y = random_values(rng, f.n * f.K, 8.0);
        const th_array y = th_matrix(f.n, f.K, Y);
        const th_array r = th_pages(f.n, f.n, f.P, R);
        for (double u : {3.0, 7.9, -2.0}) {
            const th_array ua = th_scalar(u);
            for (const std::string& threads : thread_settings()) {
                thread_setting setting(threads);
                const th_result batch =
                    call_ok(tessaly_batch_gateway, 1, {y.get(), r.get(), ua.get()});
                ASSERT_FALSE(batch.failed);
                for (std::size_t k = 0; k < f.K; ++k) {
                    const th_array yk = column_of(Y.data(), f.n, k);
                    const th_array rk = page_of(R, f.n, k / (f.K / f.P));
                    const th_result single =
                        call_ok(tessaly_gateway, 1, {yk.get(), rk.get(), ua.get()});
                    EXPECT_TRUE(same_bits(th_values(batch.outputs[0]) + k * f.n,
                                          th_values(single.outputs[0]), f.n))
                        << "column " << k << " threads '" << threads << "'";
                }
            }
        }
    }
}

TEST(BatchGateways, MorritEqualsSingleCalls) {
    std::mt19937_64 rng(13);
    for (const frame_shape& f : frame_shapes()) {
        std::vector<double> X = random_values(rng, f.n * f.K, 1.5);
        for (std::size_t i = 0; i < X.size(); i += 5) X[i] = X[i] < 0 ? -1.0 : 1.0;  // on a bound
        if (X.size() > 3) X[3] = nan;
        const th_array x = th_matrix(f.n, f.K, X);
        for (double bound : {1.0, 0.0, -1.0}) {
            const th_array b = th_scalar(bound);
            for (const std::string& threads : thread_settings()) {
                thread_setting setting(threads);
                const th_result batch = call_ok(morrit_batch_gateway, 1, {x.get(), b.get()});
                ASSERT_FALSE(batch.failed);
                ASSERT_EQ(batch.outputs[0]->rows, f.n + 2);
                ASSERT_EQ(batch.outputs[0]->cols, f.K);
                for (std::size_t k = 0; k < f.K; ++k) {
                    const th_array xk = column_of(X.data(), f.n, k);
                    const th_result single = call_ok(morrit_gateway, 1, {xk.get(), b.get()});
                    EXPECT_TRUE(same_bits(th_values(batch.outputs[0]) + k * (f.n + 2),
                                          th_values(single.outputs[0]), f.n + 2))
                        << "column " << k << " threads '" << threads << "'";
                }
            }
        }
    }
}

TEST(BatchGateways, QuorvinEqualsSingleCalls) {
    std::mt19937_64 rng(14);
    struct stack_shape {
        std::size_t m, n, P;
    };
    for (const stack_shape& f : std::vector<stack_shape>{
             {4, 4, 5}, {6, 4, 3}, {8, 8, 9}, {3, 3, 1}, {5, 2, 2}, {3, 3, 0}, {1, 1, 4}}) {
        // integer bases times a random orthogonal-ish Q: many exchanges
        const std::vector<double> Q = random_values(rng, f.m * f.n * f.P, 1.0);
        std::vector<double> R = random_pages(rng, f.n, f.P);
        for (double& v : R) v = std::round(v * 40.0);
        const th_array q = th_pages(f.m, f.n, f.P, Q);
        const th_array r = th_pages(f.n, f.n, f.P, R);
        for (double delta : {0.75, 0.99, 1.0}) {
            const th_array d = th_scalar(delta);
            for (const std::string& threads : thread_settings()) {
                thread_setting setting(threads);
                const th_result batch =
                    call_ok(quorvin_batch_gateway, 3, {q.get(), r.get(), d.get()});
                ASSERT_FALSE(batch.failed);
                for (int o = 0; o < 3; ++o) {
                    EXPECT_EQ(batch.outputs[o]->pages, f.P);
                    EXPECT_EQ(batch.outputs[o]->paged, f.P != 1);
                }
                for (std::size_t p = 0; p < f.P; ++p) {
                    const th_array qp =
                        th_matrix(f.m, f.n,
                                  std::vector<double>(Q.begin() + p * f.m * f.n,
                                                      Q.begin() + (p + 1) * f.m * f.n));
                    const th_array rp = page_of(R, f.n, p);
                    const th_result single =
                        call_ok(quorvin_gateway, 3, {qp.get(), rp.get(), d.get()});
                    const std::size_t sizes[3] = {f.m * f.n, f.n * f.n, f.n * f.n};
                    for (int o = 0; o < 3; ++o) {
                        EXPECT_TRUE(same_bits(th_values(batch.outputs[o]) + p * sizes[o],
                                              th_values(single.outputs[o]), sizes[o]))
                            << "output " << o << " page " << p << " threads '" << threads << "'";
                    }
                }
            }
        }
    }
}

TEST(BatchGateways, PlindenEqualsSingleCalls) {
    std::mt19937_64 rng(16);
    const double inf = std::numeric_limits<double>::infinity();
    std::size_t out_of_range = 0;  // columns with info 0: some must be among them
    for (const frame_shape& f : frame_shapes()) {
        const std::size_t n = f.n, K = f.K;
        const std::vector<double> R = random_pages(rng, n, f.P);
        const std::vector<double> Y0 = random_values(rng, n * K, 4.0);
        std::vector<double> radius(K);
        for (std::size_t k = 0; k < K; ++k) radius[k] = k % 3 == 0 ? inf : 0.5 + 4.0 * (k % 4);
        const th_array r = th_pages(n, n, f.P, R);
        const th_array rad_cols = th_matrix(1, K, radius), rad_one = th_scalar(9.0);
        const struct { double lb, ub; } boxes[] = {{-3, 3}, {-inf, inf}, {0, 1e9}};
        for (const auto& box : boxes) {
            // without a box, every fifth column lies far beyond the exact integer range:
            // plinden raises there (with a box the search would have to enumerate the box)
            std::vector<double> Y = Y0;
            if (box.lb == -inf) {
                for (std::size_t k = 2; k < K; k += 5) Y[k * n + n - 1] = 1e17;
            }
            const th_array y = th_matrix(n, K, Y);
            const th_array lb = th_scalar(box.lb), ub = th_scalar(box.ub);
            for (bool per_column : {true, false}) {
                const th_array& rad = per_column ? rad_cols : rad_one;
                for (const std::string& threads : thread_settings()) {
                    thread_setting setting(threads);
                    const th_result batch =
                        call_ok(plinden_batch_gateway, 2,
                                {y.get(), r.get(), rad.get(), lb.get(), ub.get()});
                    ASSERT_FALSE(batch.failed);
                    for (std::size_t k = 0; k < K; ++k) {
                        const th_array yk = column_of(Y.data(), n, k);
                        const th_array rk = page_of(R, n, k / (K / f.P));
                        const th_array radk = th_scalar(per_column ? radius[k] : 9.0);
                        const th_result single =
                            th_call(plinden_gateway, 2,
                                    {yk.get(), rk.get(), radk.get(), lb.get(), ub.get()});
                        EXPECT_EQ(single.blocks_live, 0u);
                        const double* sb = th_values(batch.outputs[0]) + k * n;
                        const double info = th_values(batch.outputs[1])[k];
                        if (single.failed) {
                            EXPECT_EQ(single.message,
                                      "y is too large for R: the search would need integers beyond "
                                      "2^51\n");
                            EXPECT_EQ(info, 0.0) << "column " << k;
                            for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(std::isnan(sb[i]));
                            ++out_of_range;
                        } else {
                            EXPECT_TRUE(same_bits(sb, th_values(single.outputs[0]), n))
                                << "n " << n << " K " << K << " P " << f.P << " column " << k;
                            EXPECT_EQ(info, th_values(single.outputs[1])[0]) << "column " << k;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(out_of_range, 0u);
}

// A table row of the first-fault tests: the faults put into the inputs, and the message
// the call must raise (empty: none).
struct injected_fault {
    char where;  // which input, in each test's own letters
    std::size_t at;
    double value;
};
struct fault_row {
    std::vector<injected_fault> faults;
    std::string message;
};

// The checks that run on the workers: with faults anywhere, the message is the first fault's
// in the order the checks list them (every column of Y, every page of R, every radius, lb,
// ub), on any thread count, and a call without faults is not stopped by them.
TEST(BatchGateways, PlindenReportsTheFirstFaultOnAnyThreadCount) {
    std::mt19937_64 rng(17);
    const std::size_t n = 3, K = 400, P = 50;
    const double inf = std::numeric_limits<double>::infinity();
    // where: 'Y' a column, 'R' a page's diagonal, 'r' a radius, 'l' lb
    const std::vector<fault_row> rows = {
        {{}, ""},
        {{{'Y', 399, inf}}, "Y column 400 must not contain NaN or Inf\n"},
        {{{'Y', 250, nan}, {'Y', 41, inf}, {'Y', 300, nan}},
         "Y column 42 must not contain NaN or Inf\n"},
        {{{'R', 3, 0.0}, {'Y', 390, nan}}, "Y column 391 must not contain NaN or Inf\n"},
        {{{'R', 44, 0.0}, {'R', 7, nan}, {'r', 0, nan}},
         "R page 8 must not contain NaN or Inf on or above the diagonal\n"},
        {{{'r', 333, nan}, {'r', 120, nan}, {'l', 0, nan}}, "radius column 121 must not be NaN\n"},
        {{{'l', 0, nan}}, "lb must not be NaN\n"},
        {{{'r', 0, inf}, {'Y', 5, 1e300}}, ""},  // not faults
    };
    const std::vector<double> R0 = random_pages(rng, n, P);
    const std::vector<double> Y0 = random_values(rng, n * K, 4.0);
    for (const fault_row& r : rows) {
        std::vector<double> Y = Y0, R = R0, radius(K, 9.0);
        double lb = -3;
        for (const injected_fault& f : r.faults) {
            if (f.where == 'Y') Y[f.at * n + 1] = f.value;
            if (f.where == 'R') R[f.at * n * n + (n - 1) * (n + 1)] = f.value;
            if (f.where == 'r') radius[f.at] = f.value;
            if (f.where == 'l') lb = f.value;
        }
        const th_array y = th_matrix(n, K, Y), rr = th_pages(n, n, P, R);
        const th_array rad = th_matrix(1, K, radius), l = th_scalar(lb), u = th_scalar(3);
        for (const std::string& threads : thread_settings()) {
            thread_setting setting(threads);
            const th_result res =
                th_call(plinden_batch_gateway, 2, {y.get(), rr.get(), rad.get(), l.get(), u.get()});
            EXPECT_EQ(res.failed ? res.message : "", r.message) << "threads '" << threads << "'";
            EXPECT_EQ(res.blocks_live, 0u);
        }
    }
}

// The single call's results for one column as kelvane_batch reports them: x, iterations
// and status, or a NaN x with status -2 where kelvane raises the ill-conditioning error.
struct kelvane_column_result {
    std::vector<double> x;
    double iterations, status;
};

kelvane_column_result kelvane_single(const th_array& y, const th_array& R, double u,
                                     const th_array& start, double use_start, std::size_t n) {
    const th_array ua = th_scalar(u), sa = th_scalar(use_start);
    const th_result r =
        th_call(kelvane_gateway, 4, {y.get(), R.get(), ua.get(), start.get(), sa.get()});
    EXPECT_EQ(r.blocks_live, 0u);
    if (r.failed) {
        // the free-set Gram matrix cannot be formed, or breaks down
        EXPECT_TRUE(
            r.message == "Cannot compute Chol decomposition of H'*H." ||
            r.message == "Cannot compute the pseudoinverse." ||
            r.message ==
                "R is too ill-conditioned: the free-set Gram matrix is numerically singular\n")
            << r.message;
        return {std::vector<double>(n, nan), 0.0, -2.0};
    }
    return {std::vector<double>(th_values(r.outputs[0]), th_values(r.outputs[0]) + n),
            th_values(r.outputs[2])[0], th_values(r.outputs[3])[0]};
}

TEST(BatchGateways, KelvaneEqualsSingleCalls) {
    std::mt19937_64 rng(15);
    std::size_t broken_down = 0;  // columns with status -2: some must be among them
    for (const frame_shape& f : frame_shapes()) {
        const std::size_t n = f.n, K = f.K;
        std::vector<double> R = random_pages(rng, n, f.P);
        // the last page, when there are several, makes every solve break down (an overflowing
        // free-set solve): those columns get status -2 and the others are untouched
        const double u = f.P > 1 ? 1e48 : 1.0;
        if (f.P > 1) R[(f.P - 1) * n * n] = 1e-300;
        const std::vector<double> Y = random_values(rng, n * K, 3.0);
        // index sets of random points, and a warm start for every other column
        std::vector<double> starts((n + 2) * K, 0.0), use(K, 0.0);
        for (std::size_t k = 0; k < K; ++k) {
            const th_array xk = th_column(random_values(rng, n, 1.5 * u));
            const th_array bound = th_scalar(u);
            const th_result idx = call_ok(morrit_gateway, 1, {xk.get(), bound.get()});
            std::copy_n(th_values(idx.outputs[0]), n + 2, starts.begin() + k * (n + 2));
            use[k] = k % 2 == 0 ? 1.0 : 0.4;  // 0.4 truncates to a cold start
        }
        const th_array y = th_matrix(n, K, Y);
        const th_array r = th_pages(n, n, f.P, R);
        const th_array ua = th_scalar(u);
        for (bool shared : {false, true}) {
            const th_array s =
                shared ? th_matrix(
                             n + 2, 1,
                             std::vector<double>(starts.begin(), starts.begin() + (K ? n + 2 : 0)))
                       : th_matrix(n + 2, K, starts);
            if (shared && K == 0) continue;
            const th_array us = th_matrix(1, K, use);
            for (const std::string& threads : thread_settings()) {
                thread_setting setting(threads);
                const th_result batch = call_ok(kelvane_batch_gateway, 3,
                                                {y.get(), r.get(), ua.get(), s.get(), us.get()});
                ASSERT_FALSE(batch.failed);
                for (std::size_t k = 0; k < K; ++k) {
                    const th_array yk = column_of(Y.data(), n, k);
                    const th_array rk = page_of(R, n, k / (K / f.P));
                    const th_array sk = column_of(starts.data(), n + 2, shared ? 0 : k);
                    const kelvane_column_result single = kelvane_single(yk, rk, u, sk, use[k], n);
                    EXPECT_TRUE(same_bits(th_values(batch.outputs[0]) + k * n, single.x.data(), n))
                        << "n " << n << " K " << K << " P " << f.P << " column " << k;
                    EXPECT_EQ(th_values(batch.outputs[1])[k], single.iterations) << "column " << k;
                    EXPECT_EQ(th_values(batch.outputs[2])[k], single.status) << "column " << k;
                    const bool ill = f.P > 1 && k / (K / f.P) == f.P - 1;
                    if (!ill) {
                        EXPECT_NE(single.status, -2.0) << "column " << k;
                    }
                    if (ill && single.status == -2.0) ++broken_down;
                }
            }
        }
    }
    EXPECT_GT(broken_down, 0u);
}

// kelvane_batch's checks on the workers, in their order: every use_start, every column of
// Y, every page of R, every warm column's index set (a cold column's is not read).
TEST(BatchGateways, KelvaneReportsTheFirstFaultOnAnyThreadCount) {
    std::mt19937_64 rng(18);
    const std::size_t n = 3, K = 300, P = 30;
    const double inf = std::numeric_limits<double>::infinity();
    // where: 'u' a use_start, 'Y' a column, 'R' a page's corner, 'i' an index set
    const std::vector<fault_row> rows = {
        {{}, ""},
        {{{'i', 298, 5.0}},
         "index_sets column 299 entries must be variable numbers between -n "
         "and n, not 0\n"},
        {{{'i', 299, 1.0}}, ""},  // a repeat, but column 300 starts cold
        {{{'i', 10, 0.5}, {'R', 20, inf}}, "R page 21 must not contain NaN or Inf\n"},
        {{{'R', 20, 1.0}, {'Y', 150, nan}}, "Y column 151 must not contain NaN or Inf\n"},
        {{{'Y', 7, inf}, {'u', 200, nan}}, "use_start column 201 must be a finite number\n"},
    };
    const std::vector<double> R0 = random_pages(rng, n, P);
    const std::vector<double> Y0 = random_values(rng, n * K, 3.0);
    std::vector<double> S0((n + 2) * K, 0.0), use0(K, 1.0);
    for (std::size_t k = 0; k < K; ++k) {  // every variable free, count 0
        for (std::size_t s = 1; s <= n; ++s) S0[k * (n + 2) + s] = static_cast<double>(s);
    }
    use0[K - 1] = 0.0;
    for (const fault_row& r : rows) {
        std::vector<double> Y = Y0, R = R0, S = S0, use = use0;
        for (const injected_fault& f : r.faults) {
            if (f.where == 'u') use[f.at] = f.value;
            if (f.where == 'Y') Y[f.at * n + 1] = f.value;
            if (f.where == 'R') R[f.at * n * n + (f.value == 1.0 ? 1 : n * n - 1)] = f.value;
            if (f.where == 'i') S[f.at * (n + 2) + 2] = f.value;
        }
        const th_array y = th_matrix(n, K, Y), rr = th_pages(n, n, P, R);
        const th_array u = th_scalar(1.0), s = th_matrix(n + 2, K, S), us = th_matrix(1, K, use);
        for (const std::string& threads : thread_settings()) {
            thread_setting setting(threads);
            const th_result res =
                th_call(kelvane_batch_gateway, 1, {y.get(), rr.get(), u.get(), s.get(), us.get()});
            EXPECT_EQ(res.failed ? res.message : "", r.message) << "threads '" << threads << "'";
            EXPECT_EQ(res.blocks_live, 0u);
        }
    }
}

// Above plain_kernels_up_to variables the solver runs on the library, whose routines
// share work buffers between threads: the solves must take turns, so that any thread count
// gives the bits of single calls (two threads spoiled each other's x before).
TEST(BatchGateways, KelvaneOnTheLibraryEqualsSingleCallsOnEveryThreadCount) {
    std::mt19937_64 rng(16);
    for (std::size_t n : {static_cast<std::size_t>(plain_kernels_up_to),
                          static_cast<std::size_t>(plain_kernels_up_to) + 32}) {
        const std::size_t K = 6;
        const std::vector<double> R = random_pages(rng, n, 1);
        const std::vector<double> Y = random_values(rng, n * K, 3.0);
        const th_array y = th_matrix(n, K, Y), r = th_pages(n, n, 1, R), u = th_scalar(1.0);
        const th_array s = th_matrix(n + 2, 1, std::vector<double>(n + 2, 0.0));
        const th_array cold = th_scalar(0.0);
        for (const char* threads : {"2", "7"}) {
            thread_setting setting(threads);
            for (int repeat = 0; repeat < 3; ++repeat) {
                const th_result batch = call_ok(kelvane_batch_gateway, 3,
                                                {y.get(), r.get(), u.get(), s.get(), cold.get()});
                for (std::size_t k = 0; k < K; ++k) {
                    const kelvane_column_result single =
                        kelvane_single(column_of(Y.data(), n, k), r, 1.0, s, 0.0, n);
                    EXPECT_TRUE(same_bits(th_values(batch.outputs[0]) + k * n, single.x.data(), n))
                        << "n " << n << " threads " << threads << " column " << k;
                    EXPECT_EQ(th_values(batch.outputs[1])[k], single.iterations);
                }
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

th_array frame_2x4() {
    return th_matrix(2, 4, {1, 2, 3, 4, 5, 6, 7, 8});
}
th_array r_2x2() {
    return th_matrix(2, 2, {1, 0, 0.5, 1});
}
th_array r_2x2x3() {
    return th_pages(2, 2, 3, std::vector<double>(12, 1.0));
}
th_array r_2x3() {
    return th_matrix(2, 3);
}
th_array frame_3x4() {
    return th_matrix(3, 4);
}
th_array int_frame() {
    return th_typed(th_class::int32, 2, 4);
}
th_array scalar_3() {
    return th_scalar(3.0);
}
th_array scalar_big() {
    return th_scalar(3e9);
}
th_array scalar_2() {
    return th_scalar(2.0);
}
th_array empty() {
    return th_matrix(0, 0);
}
th_array q_4x2x3() {
    return th_pages(4, 2, 3, std::vector<double>(24, 1.0));
}
th_array r_2x2x2() {
    return th_pages(2, 2, 2, std::vector<double>(8, 1.0));
}
th_array q_2x4() {
    return th_matrix(2, 4);
}
th_array r_4x4() {
    return th_matrix(4, 4);
}

TEST(BatchGateways, Messages) {
    const std::vector<batch_message_case> cases = {
        {"zarrow usage",
         zarrow_batch_gateway,
         0,
         {frame_2x4, r_2x2},
         "USAGE: S=zarrow_batch(Y,R)\n"},
        {"zarrow one input", zarrow_batch_gateway, 1, {frame_2x4}, "USAGE: S=zarrow_batch(Y,R)\n"},
        {"zarrow R not square", zarrow_batch_gateway, 1, {frame_2x4, r_2x3}, "R must be square\n"},
        {"zarrow Y rows",
         zarrow_batch_gateway,
         1,
         {frame_3x4, r_2x2},
         "Y must have as many rows as R has columns (one column per vector)\n"},
        {"zarrow pages do not divide",
         zarrow_batch_gateway,
         1,
         {frame_2x4, r_2x2x3},
         "Y must have a number of columns that is a multiple of the pages of R\n"},
        {"zarrow Y class",
         zarrow_batch_gateway,
         1,
         {int_frame, r_2x2},
         "Y must be a real double array\n"},
        {"tessaly usage",
         tessaly_batch_gateway,
         1,
         {frame_2x4, r_2x2},
         "USAGE: S=tessaly_batch(Y,R,u)\n"},
        {"tessaly u range",
         tessaly_batch_gateway,
         1,
         {frame_2x4, r_2x2, scalar_big},
         "u must be a number of magnitude below 2^31\n"},
        {"tessaly u empty",
         tessaly_batch_gateway,
         1,
         {frame_2x4, r_2x2, empty},
         "u must not be empty\n"},
        {"morrit usage",
         morrit_batch_gateway,
         2,
         {frame_2x4, scalar_3},
         "USAGE: I=morrit_batch(X,bound)\n"},
        {"morrit bound empty",
         morrit_batch_gateway,
         1,
         {frame_2x4, empty},
         "bound must not be empty\n"},
        {"morrit X class",
         morrit_batch_gateway,
         1,
         {int_frame, scalar_3},
         "X must be a real double array\n"},
        {"quorvin usage",
         quorvin_batch_gateway,
         1,
         {q_4x2x3, r_2x2x3, scalar_3},
         "USAGE: [Qo,Ro,Uo]=quorvin_batch(Q,R,delta)\n"},
        {"quorvin pages differ",
         quorvin_batch_gateway,
         3,
         {q_4x2x3, r_2x2x2, scalar_3},
         "Check the size of input matrices\n"},
        {"quorvin m < n",
         quorvin_batch_gateway,
         3,
         {q_2x4, r_4x4, scalar_3},
         "Check the size of input matrices\n"},
        {"quorvin delta",
         quorvin_batch_gateway,
         3,
         {q_4x2x3, r_2x2x3, scalar_2},
         "delta must not be greater than 1\n"},
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
            EXPECT_EQ(res.blocks_live, 0u);
            if (threads == "2" && after > 0 && !res.failed) {
                // the worker may take every column while the calling thread waits for a
                // core: then the call ends before the interrupt, asked at most `after` times
                EXPECT_LE(res.interrupt_polls, static_cast<std::size_t>(after));
                continue;
            }
            EXPECT_TRUE(res.failed);
            EXPECT_EQ(res.message, "interrupted\n");
            EXPECT_GT(res.interrupt_polls, static_cast<std::size_t>(after));
        }
    }
    // the setting lasts one call only
    const th_result next = call_ok(zarrow_batch_gateway, 1, {y.get(), r.get()});
    EXPECT_FALSE(next.failed);
}

// Ctrl-C inside one long search: every point of {0,1}^20 lies at the same distance from
// y = 0.5 (R = I), so the search visits all 2^20 leaves, and it asks every 2^20 nodes.
TEST(BatchGateways, InterruptStopsALongSearch) {
    const std::size_t n = 20;
    std::vector<double> eye(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) eye[i + i * n] = 1.0;
    const th_array y = th_matrix(n, 2, std::vector<double>(2 * n, 0.5));
    const th_array y1 = th_column(std::vector<double>(n, 0.5));
    const th_array r = th_matrix(n, n, eye);
    const th_array radius = th_scalar(std::numeric_limits<double>::infinity());
    const th_array lb = th_scalar(0), ub = th_scalar(1);
    th_interrupt_after(0);
    const th_result single =
        th_call(plinden_gateway, 2, {y1.get(), r.get(), radius.get(), lb.get(), ub.get()});
    EXPECT_TRUE(single.failed);
    EXPECT_EQ(single.message, "interrupted\n");
    EXPECT_EQ(single.blocks_live, 0u);
    EXPECT_EQ(single.interrupt_polls, 1u);  // asked once, inside the search
    for (const std::string& threads : {std::string("1"), std::string("2")}) {
        thread_setting setting(threads);
        th_interrupt_after(1);  // between the columns' first questions
        const th_result batch =
            th_call(plinden_batch_gateway, 2, {y.get(), r.get(), radius.get(), lb.get(), ub.get()});
        EXPECT_TRUE(batch.failed);
        EXPECT_EQ(batch.message, "interrupted\n");
        EXPECT_EQ(batch.blocks_live, 0u);
    }
    // uninterrupted, the same search runs to its end: the last point reached of the ties
    const th_result full =
        call_ok(plinden_gateway, 2, {y1.get(), r.get(), radius.get(), lb.get(), ub.get()});
    EXPECT_GT(full.interrupt_polls, 0u);
    EXPECT_EQ(th_values(full.outputs[1])[0], 1.0);
}

// The threads of this process, as /proc lists them (0 where there is no /proc).
std::size_t process_threads() {
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return 0;
    std::size_t count = 0;
    while (const dirent* e = readdir(dir)) count += e->d_name[0] != '.';
    closedir(dir);
    return count;
}

// The workers: started by the first call that needs them, kept (parked) for the next calls,
// added to when a call needs more, and ended when the host unloads the function; the calls
// give the same results throughout.
TEST(BatchGateways, WorkersPersistBetweenCallsAndStopAtUnload) {
    std::mt19937_64 rng(7);
    const std::size_t n = 5, K = 600;
    const th_array y = th_matrix(n, K, random_values(rng, n * K, 4.0));
    const th_array r = th_pages(n, n, 1, random_pages(rng, n, 1));
    th_unload();
    const std::size_t base = process_threads();
    if (base == 0) GTEST_SKIP() << "no /proc/self/task";
    const th_result serial = [&] {
        thread_setting setting("1");
        return call_ok(zarrow_batch_gateway, 1, {y.get(), r.get()});
    }();
    EXPECT_EQ(process_threads(), base);  // one thread starts none
    for (const auto& step : std::vector<std::pair<std::string, std::size_t>>{
             {"3", 2}, {"3", 2}, {"2", 2}, {"5", 4}, {"1", 4}, {"5", 4}}) {
        thread_setting setting(step.first);
        const th_result batch = call_ok(zarrow_batch_gateway, 1, {y.get(), r.get()});
        EXPECT_TRUE(same_bits(th_values(batch.outputs[0]), th_values(serial.outputs[0]), n * K));
        EXPECT_EQ(process_threads(), base + step.second) << "LATBOX_NUM_THREADS " << step.first;
    }
    th_unload();
    EXPECT_EQ(process_threads(), base);
    // and they start again when needed
    thread_setting setting("2");
    const th_result again = call_ok(zarrow_batch_gateway, 1, {y.get(), r.get()});
    EXPECT_TRUE(same_bits(th_values(again.outputs[0]), th_values(serial.outputs[0]), n * K));
    EXPECT_EQ(process_threads(), base + 1);
    th_unload();
    EXPECT_EQ(process_threads(), base);
}

}  // namespace
