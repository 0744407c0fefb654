// SPDX-License-Identifier: BSD-3-Clause
// ambiguity_fix and ambiguity_fix_batch through the test host: the single gateway equals the
// routine bit for bit; the batch form equals the loop of single calls bit for bit on every
// thread count, for one Q or one page per epoch; the outputs asked for; every message (the
// batch form's naming the epoch); Ctrl-C.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ambiguity/ambiguity_fix.h"
#include "gateways/gateways.h"
#include "host/test_host.h"
#include "tests/ambiguity_problems.h"
#include "tests/batch_support.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();
const char* const methods[] = {"ils", "bootstrap", "round", "par"};

std::vector<th_array> option_list(const char* method, double ncands) {
    std::vector<th_array> v;
    v.push_back(th_string("method"));
    v.push_back(th_string(method));
    v.push_back(th_string("ncands"));
    v.push_back(th_scalar(ncands));
    v.push_back(th_string("min_sr"));
    v.push_back(th_scalar(0.9));
    return v;
}

std::vector<const host_array*> inputs(const host_array* a, const host_array* q,
                                      const std::vector<th_array>& options) {
    std::vector<const host_array*> in{a, q};
    for (const th_array& o : options) in.push_back(o.get());
    return in;
}

bool logical_equals(const host_array* a, const double* v, std::size_t count) {
    if (a->cls != th_class::logical || a->rows * a->cols != count) return false;
    for (std::size_t i = 0; i < count; ++i) {
        if ((a->bytes[i] != 0) != (v[i] != 0.0)) return false;
    }
    return true;
}

TEST(AmbiguityFixGateway, EqualsTheRoutine) {
    std::mt19937_64 rng(21);
    for (std::size_t n : {1, 4, 12, 30}) {
        const ambiguity_problem p =
            n >= 10 ? gnss_problem(rng, gnss_model_for(rng, n)) : ldl_problem(rng, n, 0);
        const th_array a = th_column(p.ahat), q = th_matrix(p.n, p.n, p.Q);
        for (int m = 0; m < 4; ++m) {
            for (double M : {1.0, 3.0}) {
                const std::vector<th_array> o = option_list(methods[m], M);
                const th_result r = call_ok(ambiguity_fix_gateway, 3, inputs(a.get(), q.get(), o));
                ambiguity_options opt;
                opt.method = static_cast<ambiguity_method>(m);
                opt.ncands = static_cast<std::int64_t>(M);
                opt.min_sr = 0.9;
                const std::size_t N = p.n, K = static_cast<std::size_t>(M);
                std::vector<double> af(N * K), sq(K), fx(N), D(N), Z(N * N);
                std::vector<double> scratch(ambiguity_scratch_bytes(N, opt.ncands) / 8);
                const ambiguity_result res = ambiguity_fix(
                    p.ahat.data(), p.Q.data(), N, opt,
                    {af.data(), sq.data(), fx.data(), D.data(), Z.data()}, scratch.data());
                const bool many = m == 0, listed = m == 0 || m == 3;
                EXPECT_TRUE(same_bits(th_values(r.outputs[0]), af.data(), N * (many ? K : 1)));
                EXPECT_EQ(r.outputs[0]->cols, many ? K : 1);
                EXPECT_TRUE(same_bits(th_values(r.outputs[1]), sq.data(), listed ? K : 1));
                const host_array* info = r.outputs[2].get();
                EXPECT_TRUE(same_bits(th_values(th_field(info, "D")), D.data(), N));
                EXPECT_TRUE(same_bits(th_values(th_field(info, "Z")), Z.data(), N * N));
                EXPECT_TRUE(logical_equals(th_field(info, "fixed"), fx.data(), N));
                EXPECT_EQ(th_values(th_field(info, "success_rate"))[0], res.success_rate);
                EXPECT_EQ(th_values(th_field(info, "nfixed"))[0], static_cast<double>(res.nfixed));
                EXPECT_EQ(th_values(th_field(info, "nodes"))[0], static_cast<double>(res.nodes));
                EXPECT_EQ(th_field(info, "status")->text, "optimal");
                EXPECT_EQ(th_field(info, "method")->text, methods[m]);
                const double ratio = th_values(th_field(info, "ratio"))[0];
                if (res.found >= 2) {
                    EXPECT_EQ(ratio, sq[1] / sq[0]);
                    EXPECT_EQ(th_field(info, "accepted")->bytes[0] != 0, ratio >= 3.0);
                } else {
                    EXPECT_TRUE(std::isnan(ratio));
                    EXPECT_EQ(th_field(info, "accepted")->bytes[0], 0);
                }
            }
        }
    }
}

TEST(AmbiguityFixGateway, RatioThresholdAndNodeBudget) {
    // Q = I: the best is round(ahat); ahat = (0.1, 0.2): the second best moves the second
    // component, 0.1^2 + 0.8^2 against 0.1^2 + 0.2^2: ratio 0.65/0.05 = 13
    const th_array a = th_column({0.1, 0.2}), q = th_matrix(2, 2, {1, 0, 0, 1});
    for (double threshold : {1.0, 12.9, 13.1, inf}) {
        const th_array name = th_string("ratio"), v = th_scalar(threshold);
        const th_result r =
            call_ok(ambiguity_fix_gateway, 3, {a.get(), q.get(), name.get(), v.get()});
        const host_array* info = r.outputs[2].get();
        EXPECT_NEAR(th_values(th_field(info, "ratio"))[0], 13.0, 1e-12);
        EXPECT_EQ(th_field(info, "accepted")->bytes[0] != 0, threshold <= 12.9);
    }
    std::mt19937_64 rng(22);
    const ambiguity_problem p = ldl_problem(rng, 25, 0);
    const th_array A = th_column(p.ahat), Q = th_matrix(p.n, p.n, p.Q);
    const th_array name = th_string("max_nodes"), budget = th_scalar(5), ratio = th_string("ratio"),
                   one = th_scalar(1);
    const th_result r =
        call_ok(ambiguity_fix_gateway, 3,
                {A.get(), Q.get(), name.get(), budget.get(), ratio.get(), one.get()});
    const host_array* info = r.outputs[2].get();
    EXPECT_EQ(th_field(info, "status")->text, "node_limit");
    EXPECT_EQ(th_values(th_field(info, "nodes"))[0], 5.0);
    EXPECT_EQ(th_field(info, "accepted")->bytes[0], 0);  // never accepted from a cut search
}

TEST(AmbiguityFixGateway, OutputsAskedFor) {
    const th_array a = th_column({0.3, -1.6}), q = th_matrix(2, 2, {2, 0.5, 0.5, 1});
    for (int nlhs = 0; nlhs <= 3; ++nlhs) {
        const th_result r = call_ok(ambiguity_fix_gateway, nlhs, {a.get(), q.get()});
        ASSERT_EQ(r.outputs.size(), static_cast<std::size_t>(nlhs < 1 ? 1 : nlhs));
        for (const th_array& o : r.outputs) EXPECT_NE(o, nullptr);
    }
    for (int nlhs = 0; nlhs <= 3; ++nlhs) {
        const th_result r = call_ok(ambiguity_fix_batch_gateway, nlhs, {a.get(), q.get()});
        ASSERT_EQ(r.outputs.size(), static_cast<std::size_t>(nlhs < 1 ? 1 : nlhs));
    }
    // n = 0 and K = 0
    const th_array e = th_matrix(0, 0), e1 = th_matrix(0, 1), ek = th_matrix(3, 0),
                   q3 = th_matrix(3, 3, {1, 0, 0, 0, 1, 0, 0, 0, 1});
    const th_result r0 = call_ok(ambiguity_fix_gateway, 3, {e.get(), e.get()});
    EXPECT_EQ(r0.outputs[0]->rows * r0.outputs[0]->cols, 0u);
    EXPECT_EQ(th_values(th_field(r0.outputs[2].get(), "success_rate"))[0], 1.0);
    call_ok(ambiguity_fix_gateway, 3, {e1.get(), e.get()});
    const th_result rk = call_ok(ambiguity_fix_batch_gateway, 3, {ek.get(), q3.get()});
    EXPECT_EQ(rk.outputs[0]->cols, 0u);
}

// Z is formed only when info is asked for: afix and sqnorm must not depend on it, in the
// single and the batch form, for every method.
TEST(AmbiguityFixGateway, InfoChangesNoResult) {
    std::mt19937_64 rng(29);
    for (std::size_t n : {3, 12, 30}) {
        const ambiguity_problem p = gnss_problem(rng, gnss_model_for(rng, n));
        const th_array a = th_column(p.ahat), q = th_matrix(p.n, p.n, p.Q);
        for (const char* m : methods) {
            const th_array name = th_string("method"), value = th_string(m);
            for (gateway_fn* g : {&ambiguity_fix_gateway, &ambiguity_fix_batch_gateway}) {
                const th_result two = call_ok(g, 2, {a.get(), q.get(), name.get(), value.get()});
                const th_result three = call_ok(g, 3, {a.get(), q.get(), name.get(), value.get()});
                for (int o = 0; o < 2; ++o) {
                    const std::size_t count = two.outputs[o]->rows * two.outputs[o]->cols;
                    ASSERT_EQ(count, three.outputs[o]->rows * three.outputs[o]->cols);
                    EXPECT_TRUE(
                        same_bits(th_values(two.outputs[o]), th_values(three.outputs[o]), count))
                        << m << " n " << p.n << " output " << o;
                }
            }
        }
    }
}

// The batch form against single calls, bit for bit, on every thread count.
TEST(AmbiguityFixBatchGateway, EqualsTheLoopOfSingleCalls) {
    std::mt19937_64 rng(23);
    for (std::size_t K : {1, 2, 7, 24}) {
        const std::size_t n = 10;
        std::vector<double> A, Qpages;
        for (std::size_t k = 0; k < K; ++k) {
            gnss_model m = gnss_model_for(rng, n);
            m.code_sigma = 0.3 + 0.2 * static_cast<double>(k % 4);
            ambiguity_problem p = gnss_problem(rng, m);
            p = [&] {  // exactly n ambiguities: the leading block
                ambiguity_problem s;
                s.n = n;
                s.ahat.assign(p.ahat.begin(), p.ahat.begin() + n);
                for (std::size_t j = 0; j < n; ++j)
                    for (std::size_t i = 0; i < n; ++i) s.Q.push_back(p.Q[i + j * p.n]);
                return s;
            }();
            A.insert(A.end(), p.ahat.begin(), p.ahat.end());
            Qpages.insert(Qpages.end(), p.Q.begin(), p.Q.end());
        }
        const th_array a = th_matrix(n, K, A);
        for (bool paged : {false, true}) {
            const th_array q = paged ? th_pages(n, n, K, Qpages) : page_of(Qpages, n, 0);
            for (int m = 0; m < 4; ++m) {
                const double M = m == 0 ? 3.0 : 2.0;
                const std::vector<th_array> o = option_list(methods[m], M);
                std::vector<th_result> single;
                for (std::size_t k = 0; k < K; ++k) {
                    const th_array ak = column_of(A.data(), n, k);
                    const th_array qk = page_of(Qpages, n, paged ? k : 0);
                    single.push_back(
                        call_ok(ambiguity_fix_gateway, 3, inputs(ak.get(), qk.get(), o)));
                }
                const std::size_t cols = m == 0 ? 3 : 1, rows = m == 0 ? 3 : m == 3 ? 2 : 1;
                for (const std::string& threads : thread_settings()) {
                    thread_setting setting(threads);
                    const th_result r =
                        call_ok(ambiguity_fix_batch_gateway, 3, inputs(a.get(), q.get(), o));
                    const host_array* info = r.outputs[2].get();
                    for (std::size_t k = 0; k < K; ++k) {
                        const host_array* i1 = single[k].outputs[2].get();
                        EXPECT_TRUE(same_bits(th_values(r.outputs[0]) + k * n * cols,
                                              th_values(single[k].outputs[0]), n * cols));
                        EXPECT_TRUE(same_bits(th_values(r.outputs[1]) + k * rows,
                                              th_values(single[k].outputs[1]), rows));
                        for (const char* f :
                             {"ratio", "success_rate", "nfixed", "fixed_success_rate", "nodes"}) {
                            EXPECT_TRUE(same_bits(th_values(th_field(info, f)) + k,
                                                  th_values(th_field(i1, f)), 1))
                                << f;
                        }
                        EXPECT_TRUE(same_bits(th_values(th_field(info, "D")) + k * n,
                                              th_values(th_field(i1, "D")), n));
                        EXPECT_TRUE(same_bits(th_values(th_field(info, "Z")) + k * n * n,
                                              th_values(th_field(i1, "Z")), n * n));
                        EXPECT_EQ(th_field(info, "accepted")->bytes[k],
                                  th_field(i1, "accepted")->bytes[0]);
                        for (std::size_t i = 0; i < n; ++i) {
                            EXPECT_EQ(th_field(info, "fixed")->bytes[k * n + i],
                                      th_field(i1, "fixed")->bytes[i]);
                        }
                        EXPECT_EQ(th_values(th_field(info, "status"))[k], 0.0);
                    }
                }
            }
        }
    }
}

struct message_case {
    std::string name;
    gateway_fn* gateway;
    int nlhs;
    std::vector<th_array> inputs;
    std::string message;
};

TEST(AmbiguityFixGateway, Messages) {
    std::vector<message_case> cases;
    const std::vector<double> I2{1, 0, 0, 1};
    auto add = [&](const std::string& name, gateway_fn* g, th_array a, th_array q,
                   std::vector<th_array> extra, const std::string& msg, int nlhs = 3) {
        message_case c{name, g, nlhs, {}, msg};
        if (a) c.inputs.push_back(std::move(a));
        if (q) c.inputs.push_back(std::move(q));
        for (th_array& e : extra) c.inputs.push_back(std::move(e));
        cases.push_back(std::move(c));
    };
    auto pair = [](const char* name, th_array v) {
        std::vector<th_array> o;
        o.push_back(th_string(name));
        o.push_back(std::move(v));
        return o;
    };
    const auto a2 = [] { return th_column({0.2, 0.3}); };
    const auto q2 = [&] { return th_matrix(2, 2, I2); };
    for (gateway_fn* g : {ambiguity_fix_gateway, ambiguity_fix_batch_gateway}) {
        const bool batch = g == ambiguity_fix_batch_gateway;
        const std::string fn = batch ? "ambiguity_fix_batch" : "ambiguity_fix";
        const std::string usage = "USAGE: [afix,sqnorm,info]=" + fn + "(ahat,Q,Name,Value,...)\n";
        const std::string pairs =
            "options must be Name, Value pairs: 'method', 'ncands', 'ratio', 'min_sr', 'delta' or "
            "'max_nodes'\n";
        add("one input", g, a2(), nullptr, {}, usage);
        add("four outputs", g, a2(), q2(), {}, usage, 4);
        add("ahat class", g, th_typed(th_class::single, 2, 1), q2(), {},
            "ahat must be a real double array\n");
        if (!batch)
            add("ahat row", g, th_matrix(1, 2, {1, 2}), q2(), {},
                "ahat must be an n-by-1 column vector\n");
        add("ahat pages", g, th_pages(2, 1, 2, {1, 2, 3, 4}), q2(), {},
            batch ? "ahat must be an n-by-K matrix\n" : "ahat must be an n-by-1 column vector\n");
        add("ahat size", g, th_matrix(1001, 1), q2(), {},
            batch ? "ahat must have at most 1000 rows (the size limit)\n"
                  : "ahat must have at most 1000 elements (the size limit)\n");
        add("Q class", g, a2(), th_typed(th_class::complex_double, 2, 2), {},
            "Q must be a real double array\n");
        add("Q shape", g, a2(), th_matrix(2, 3), {},
            batch ? "Q must be n-by-n or n-by-n-by-K (K the columns of ahat)\n"
                  : "Q must be n-by-n, n the length of ahat\n");
        add("ahat NaN", g, th_column({nan, 1}), q2(), {},
            batch ? "ahat column 1 must not contain NaN or Inf\n"
                  : "ahat must not contain NaN or Inf\n");
        add("ahat Inf", g, th_column({0, -inf}), q2(), {},
            batch ? "ahat column 1 must not contain NaN or Inf\n"
                  : "ahat must not contain NaN or Inf\n");
        add("Q Inf", g, a2(), th_matrix(2, 2, {1, inf, inf, 1}), {},
            "Q must not contain NaN or Inf\n");
        add("Q NaN", g, a2(), th_matrix(2, 2, {nan, 0, 0, 1}), {},
            "Q must not contain NaN or Inf\n");
        add("Q not symmetric", g, a2(), th_matrix(2, 2, {1, 0.5, 0.5 + 1e-11, 1}), {},
            "Q must be symmetric (within a relative 1e-12)\n");
        add("Q singular", g, a2(), th_matrix(2, 2, {1, 1, 1, 1}), {},
            "Q must be positive definite\n");
        add("Q negative", g, a2(), th_matrix(2, 2, {-1, 0, 0, 1}), {},
            "Q must be positive definite\n");
        add(
            "odd pairs", g, a2(), q2(),
            [] {
                std::vector<th_array> o;
                o.push_back(th_string("ncands"));
                return o;
            }(),
            pairs);
        add(
            "name not text", g, a2(), q2(),
            [] {
                std::vector<th_array> o;
                o.push_back(th_scalar(1));
                o.push_back(th_scalar(1));
                return o;
            }(),
            pairs);
        add("unknown", g, a2(), q2(), pair("radius", th_scalar(1)),
            "unknown option 'radius' (known: method, ncands, ratio, min_sr, delta, max_nodes)\n");
        add("method", g, a2(), q2(), pair("method", th_string("lambda")),
            "method must be 'ils', 'bootstrap', 'round' or 'par'\n");
        add("method number", g, a2(), q2(), pair("method", th_scalar(1)),
            "method must be 'ils', 'bootstrap', 'round' or 'par'\n");
        for (double v : {0.0, -1.0, 1.5, nan, inf}) {
            add("ncands " + std::to_string(v), g, a2(), q2(), pair("ncands", th_scalar(v)),
                "ncands must be a positive integer\n");
        }
        add("ncands budget", g, a2(), q2(), pair("ncands", th_scalar(65537)),
            "ncands must be at most 65536 for 2 ambiguities\n");
        add("ncands empty", g, a2(), q2(), pair("ncands", th_matrix(0, 0)),
            "ncands must not be empty\n");
        for (double v : {0.999, -1.0, nan}) {
            add("ratio " + std::to_string(v), g, a2(), q2(), pair("ratio", th_scalar(v)),
                "ratio must be 1 or more (Inf allowed)\n");
        }
        for (double v : {0.0, 1.0, -0.5, nan, inf}) {
            add("min_sr " + std::to_string(v), g, a2(), q2(), pair("min_sr", th_scalar(v)),
                "min_sr must lie strictly between 0 and 1\n");
        }
        for (double v : {0.25, 1.0000001, 0.0, nan}) {
            add("delta " + std::to_string(v), g, a2(), q2(), pair("delta", th_scalar(v)),
                "delta must lie in (0.25, 1]\n");
        }
        for (double v : {0.0, 2.5, -inf, nan, 1e19}) {
            add("max_nodes " + std::to_string(v), g, a2(), q2(), pair("max_nodes", th_scalar(v)),
                "max_nodes must be a positive integer or Inf\n");
        }
        add("ratio class", g, a2(), q2(), pair("ratio", th_typed(th_class::int32, 1, 1)),
            "ratio must be a real double array\n");
    }
    // the batch form names the epoch
    add("batch ahat column", ambiguity_fix_batch_gateway, th_matrix(2, 3, {0, 0, 0, 0, 0, nan}),
        th_matrix(2, 2, I2), {}, "ahat column 3 must not contain NaN or Inf\n");
    add("batch Q page symmetric", ambiguity_fix_batch_gateway, th_matrix(2, 3),
        th_pages(2, 2, 3, {1, 0, 0, 1, 1, 0.1, 0.2, 1, 1, 0, 0, 1}), {},
        "Q page 2 must be symmetric (within a relative 1e-12)\n");
    add("batch Q page finite", ambiguity_fix_batch_gateway, th_matrix(2, 3),
        th_pages(2, 2, 3, {1, 0, 0, 1, 1, 0, 0, 1, inf, 0, 0, 1}), {},
        "Q page 3 must not contain NaN or Inf\n");
    add("batch Q page definite", ambiguity_fix_batch_gateway, th_matrix(2, 3),
        th_pages(2, 2, 3, {1, 0, 0, 1, 1, 0, 0, 1, 1, 1, 1, 1}), {},
        "Q page 3 must be positive definite\n");
    add("batch Q pages count", ambiguity_fix_batch_gateway, th_matrix(2, 3),
        th_pages(2, 2, 2, {1, 0, 0, 1, 1, 0, 0, 1}), {},
        "Q must be n-by-n or n-by-n-by-K (K the columns of ahat)\n");
    for (const message_case& c : cases) {
        std::vector<const host_array*> in;
        for (const th_array& a : c.inputs) in.push_back(a.get());
        for (const std::string& threads : {std::string("1"), std::string("2")}) {
            thread_setting setting(threads);
            const th_result res = th_call(c.gateway, c.nlhs, in);
            EXPECT_TRUE(res.failed) << c.name;
            EXPECT_EQ(res.message, c.message) << c.name;
            EXPECT_EQ(res.blocks_live, 0u) << c.name;
        }
    }
}

TEST(AmbiguityFixGateway, InterruptStopsALongSearch) {
    std::mt19937_64 rng(24);
    const ambiguity_problem p = ldl_problem(rng, 40, 0);
    const th_array a = th_column(p.ahat), q = th_matrix(p.n, p.n, p.Q);
    const th_array name = th_string("ncands"), many = th_scalar(5000);
    th_interrupt_after(0);
    const th_result r =
        th_call(ambiguity_fix_gateway, 3, {a.get(), q.get(), name.get(), many.get()});
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.message, "interrupted\n");
    EXPECT_EQ(r.blocks_live, 0u);
    std::vector<double> A, Qs;
    for (int k = 0; k < 3; ++k) {
        A.insert(A.end(), p.ahat.begin(), p.ahat.end());
    }
    const th_array a3 = th_matrix(p.n, 3, A);
    for (const std::string& threads : {std::string("1"), std::string("2")}) {
        thread_setting setting(threads);
        th_interrupt_after(0);
        const th_result b =
            th_call(ambiguity_fix_batch_gateway, 3, {a3.get(), q.get(), name.get(), many.get()});
        EXPECT_TRUE(b.failed);
        EXPECT_EQ(b.message, "interrupted\n");
        EXPECT_EQ(b.blocks_live, 0u);
    }
}

}  // namespace
