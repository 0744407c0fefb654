// SPDX-License-Identifier: BSD-3-Clause
// plinden_llr through the test host: every column equals the routine on that column bit for
// bit, for every thread count and channel layout; outputs asked for; messages; Ctrl-C.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "detect/soft_search.h"
#include "gateways/gateways.h"
#include "host/test_host.h"
#include "tests/batch_support.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

// The PAM sizes of n levels: every level M (uniform), or cycling through 2, 4, 8 (mixed).
std::vector<double> pam_sizes(std::size_t n, bool mixed) {
    std::vector<double> M(n, 4.0);
    if (mixed) {
        for (std::size_t i = 0; i < n; ++i) M[i] = static_cast<double>(2 << (i % 3));
    }
    return M;
}

TEST(PlindenLlrGateway, EqualsTheRoutineOnEveryColumn) {
    std::mt19937_64 rng(16);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::size_t cases = 0;
    for (const frame_shape& f : frame_shapes()) {
        const std::size_t n = f.n, K = f.K;
        const std::vector<double> R = random_pages(rng, n, f.P);
        const th_array r = th_pages(n, n, f.P, R);
        const th_array y = th_matrix(n, K, random_values(rng, n * K, 4.0));
        for (bool mixed : {false, true}) {
            const std::vector<double> Mv = pam_sizes(n, mixed);
            std::vector<std::int32_t> bits(n);
            std::size_t B = 0;
            for (std::size_t i = 0; i < n; ++i) {
                bits[i] = static_cast<std::int32_t>(std::lround(std::log2(Mv[i])));
                B += static_cast<std::size_t>(bits[i]);
            }
            const th_array M = mixed ? th_matrix(1, n, Mv) : th_scalar(4.0);
            std::vector<double> n0v(K);
            for (std::size_t k = 0; k < K; ++k) n0v[k] = 0.2 + 0.1 * static_cast<double>(k % 5);
            std::vector<double> La(B * K);
            for (double& v : La) v = 3.0 * gauss(rng);
            const th_array la = th_matrix(B, K, La), la_none = th_matrix(0, 0);
            for (double clip : {0.0, 2.0, inf}) {
                if (clip == inf && n > 6) continue;  // exhaustive: keep the test short
                const th_array c = th_scalar(clip);
                for (int variant = 0; variant < 3; ++variant) {
                    // 0: scalar N0, no La; 1: per-column N0, La; 2: scalar N0, La = []
                    const bool per_column = variant == 1;
                    const th_array n0 = per_column ? th_matrix(1, K, n0v) : th_scalar(0.5);
                    std::vector<const host_array*> in{y.get(), r.get(), M.get(), n0.get(), c.get()};
                    if (variant == 1) in.push_back(la.get());
                    if (variant == 2) in.push_back(la_none.get());
                    const soft_levels levels{static_cast<std::int64_t>(n), bits.data(), nullptr};
                    std::vector<double> scratch(soft_scratch_size(static_cast<std::int64_t>(n),
                                                                  static_cast<std::int64_t>(B)));
                    std::vector<double> L(B * K), S(n * K), nodes(K);
                    for (std::size_t k = 0; k < K; ++k) {
                        std::int64_t count = 0;
                        const search_status status = find_bit_llrs(
                            th_values(y) + k * n, R.data() + (k / (K / f.P)) * n * n, levels,
                            per_column ? n0v[k] : 0.5, clip,
                            variant == 1 ? La.data() + k * B : nullptr, L.data() + k * B,
                            S.data() + k * n, &count, scratch.data());
                        ASSERT_EQ(status, search_status::found);
                        nodes[k] = static_cast<double>(count);
                    }
                    for (const std::string& threads : thread_settings()) {
                        thread_setting setting(threads);
                        const th_result batch = call_ok(plinden_llr_gateway, 3, in);
                        ASSERT_FALSE(batch.failed);
                        const std::string where = "n " + std::to_string(n) + " K " +
                                                  std::to_string(K) + " P " + std::to_string(f.P) +
                                                  " clip " + std::to_string(clip) + " variant " +
                                                  std::to_string(variant) + " threads " + threads;
                        EXPECT_EQ(host_rows(batch.outputs[0].get()), B) << where;
                        EXPECT_EQ(host_cols(batch.outputs[0].get()), K) << where;
                        EXPECT_EQ(host_rows(batch.outputs[1].get()), n) << where;
                        EXPECT_EQ(host_rows(batch.outputs[2].get()), 1u) << where;
                        EXPECT_TRUE(same_bits(th_values(batch.outputs[0]), L.data(), B * K))
                            << where;
                        EXPECT_TRUE(same_bits(th_values(batch.outputs[1]), S.data(), n * K))
                            << where;
                        EXPECT_TRUE(same_bits(th_values(batch.outputs[2]), nodes.data(), K))
                            << where;
                        ++cases;
                    }
                }
            }
        }
    }
    EXPECT_GT(cases, 300u);
}

// The extrinsic output Le: clip(Lpost - La) from the unclipped a-posteriori LLRs (the
// routine with clip = Inf, exact), for priors small and far beyond the clip; L is the
// clipped a-posteriori value as without Le. Worked: one BPSK level, y = -0.4, R = 1, N0 = 1,
// La = 30: Lpost = 1.6 + 30, clipped at 8 to 8, while the extrinsic value is 1.6 (8 - 30
// would give -22).
TEST(PlindenLlrGateway, ExtrinsicIsExactUnderClipping) {
    const th_array y1 = th_scalar(-0.4), r1 = th_scalar(1.0), m2 = th_scalar(2.0),
                   one = th_scalar(1.0), eight = th_scalar(8.0), la30 = th_scalar(30.0);
    const th_result w = call_ok(plinden_llr_gateway, 4,
                                {y1.get(), r1.get(), m2.get(), one.get(), eight.get(), la30.get()});
    EXPECT_EQ(th_values(w.outputs[0])[0], 8.0);
    EXPECT_NEAR(th_values(w.outputs[3])[0], 1.6, 1e-12);

    std::mt19937_64 rng(27);
    std::normal_distribution<double> gauss(0.0, 1.0);
    for (std::size_t n : {1u, 2u, 4u}) {
        for (double Mv : {2.0, 4.0, 8.0}) {
            const std::size_t K = 12;
            const std::int32_t m = static_cast<std::int32_t>(std::lround(std::log2(Mv)));
            const std::size_t B = n * static_cast<std::size_t>(m);
            const std::vector<double> R = random_pages(rng, n, 1);
            const th_array r = th_pages(n, n, 1, R), M = th_scalar(Mv), n0 = th_scalar(0.7);
            const th_array y = th_matrix(n, K, random_values(rng, n * K, Mv));
            for (double scale : {1.0, 10.0, 100.0}) {
                std::vector<double> La(B * K);
                for (double& v : La) v = scale * gauss(rng);
                const th_array la = th_matrix(B, K, La);
                // the unclipped a-posteriori LLRs of the routine
                const std::vector<std::int32_t> bits(n, m);
                const soft_levels levels{static_cast<std::int64_t>(n), bits.data(), nullptr};
                std::vector<double> scratch(
                    soft_scratch_size(static_cast<std::int64_t>(n), static_cast<std::int64_t>(B)));
                std::vector<double> Lfull(B * K), S(n * K);
                for (std::size_t k = 0; k < K; ++k) {
                    ASSERT_EQ(find_bit_llrs(th_values(y) + k * n, R.data(), levels, 0.7, inf,
                                            La.data() + k * B, Lfull.data() + k * B,
                                            S.data() + k * n, nullptr, scratch.data()),
                              search_status::found);
                }
                for (double clip : {0.0, 1.5, 8.0, inf}) {
                    const th_array c = th_scalar(clip);
                    const std::vector<const host_array*> in{y.get(),  r.get(), M.get(),
                                                            n0.get(), c.get(), la.get()};
                    const th_result three = call_ok(plinden_llr_gateway, 3, in);
                    const th_result four = call_ok(plinden_llr_gateway, 4, in);
                    for (std::size_t b = 0; b < B * K; ++b) {
                        const double post = Lfull[b];
                        const double ext = post - La[b];
                        const double want = ext > clip ? clip : ext < -clip ? -clip : ext;
                        const double tol = 1e-12 * (1.0 + std::fabs(post) + std::fabs(La[b]));
                        ASSERT_NEAR(th_values(four.outputs[3])[b], want, tol)
                            << "n " << n << " M " << Mv << " scale " << scale << " clip " << clip;
                        ASSERT_NEAR(th_values(four.outputs[0])[b], th_values(three.outputs[0])[b],
                                    tol);
                    }
                }
            }
        }
    }
}

// Fewer outputs asked for: the same L, nothing left allocated or discarded.
TEST(PlindenLlrGateway, OutputsAskedFor) {
    std::mt19937_64 rng(3);
    const std::size_t n = 4, K = 9;
    const th_array y = th_matrix(n, K, random_values(rng, n * K, 4.0));
    const th_array r = th_pages(n, n, 1, random_pages(rng, n, 1));
    const th_array M = th_scalar(8.0), n0 = th_scalar(0.3), clip = th_scalar(4.0);
    const th_result all =
        call_ok(plinden_llr_gateway, 3, {y.get(), r.get(), M.get(), n0.get(), clip.get()});
    for (int nlhs : {0, 1, 2}) {
        const th_result some =
            call_ok(plinden_llr_gateway, nlhs, {y.get(), r.get(), M.get(), n0.get(), clip.get()});
        EXPECT_TRUE(same_bits(th_values(some.outputs[0]), th_values(all.outputs[0]), 3 * n * K));
        if (nlhs == 2) {
            EXPECT_TRUE(same_bits(th_values(some.outputs[1]), th_values(all.outputs[1]), n * K));
        }
    }
}

struct message_case {
    const char* name;
    int nlhs;
    std::vector<th_array> inputs;
    const char* message;
};

TEST(PlindenLlrGateway, Messages) {
    const auto y = [] { return th_matrix(2, 3, {1, 2, 3, 4, 5, 6}); };
    const auto r = [] { return th_matrix(2, 2, {1, 0, 0.5, 2}); };
    const auto s = [](double v) { return th_scalar(v); };
    const char* const usage = "USAGE: [L,S,nodes,Le]=plinden_llr(Y,R,M,N0,clip,La)\n";
    std::vector<message_case> cases;
    cases.push_back({"four inputs", 1, {}, usage});
    for (int i = 0; i < 4; ++i) cases.back().inputs.push_back(i == 0 ? y() : s(1));
    auto basic = [&](const char* name, int nlhs, std::vector<th_array> extra, const char* msg,
                     th_array Y = nullptr, th_array R = nullptr, th_array M = nullptr,
                     th_array N0 = nullptr, th_array clip = nullptr) {
        message_case c{name, nlhs, {}, msg};
        c.inputs.push_back(Y ? std::move(Y) : y());
        c.inputs.push_back(R ? std::move(R) : r());
        c.inputs.push_back(M ? std::move(M) : s(4));
        c.inputs.push_back(N0 ? std::move(N0) : s(1));
        c.inputs.push_back(clip ? std::move(clip) : s(inf));
        for (th_array& a : extra) c.inputs.push_back(std::move(a));
        cases.push_back(std::move(c));
    };
    basic(
        "seven inputs", 1,
        [&] {
            std::vector<th_array> v;
            v.push_back(th_matrix(0, 0));
            v.push_back(s(1));
            return v;
        }(),
        usage);
    basic("five outputs", 5, {}, usage);
    basic("R not square", 1, {}, "R must be square\n", nullptr, th_matrix(2, 3));
    basic("Y rows", 1, {}, "Y must have as many rows as R has columns (one column per vector)\n",
          th_matrix(3, 2));
    basic("pages do not divide", 1, {},
          "Y must have a number of columns that is a multiple of the pages of R\n", nullptr,
          th_pages(2, 2, 2, {1, 0, 0, 1, 1, 0, 0, 1}));
    basic("Y class", 1, {}, "Y must be a real double array\n", th_typed(th_class::int32, 2, 3));
    basic("Y column NaN", 1, {}, "Y column 2 must not contain NaN or Inf\n",
          th_matrix(2, 3, {1, 2, nan, 4, 5, 6}));
    basic("R zero diagonal", 1, {}, "R must not have a zero on the diagonal\n", nullptr,
          th_matrix(2, 2, {1, 0, 0.5, 0}));
    basic("R page Inf", 1, {}, "R page 3 must not contain NaN or Inf on or above the diagonal\n",
          nullptr, th_pages(2, 2, 3, {1, 0, 0, 1, 1, 0, 0, 1, 1, 0, inf, 1}));
    for (double bad : {3.0, 1.0, 0.0, -4.0, 131072.0, 4.5, nan, inf}) {
        basic("M value", 1, {}, "M must be a power of two from 2 to 65536\n", nullptr, nullptr,
              s(bad));
    }
    basic("M element", 1, {}, "M element 2 must be a power of two from 2 to 65536\n", nullptr,
          nullptr, th_matrix(2, 1, {4, 6}));
    basic("M count", 1, {}, "M must be a scalar or have one element per row of R\n", nullptr,
          nullptr, th_matrix(1, 3, {4, 4, 4}));
    basic("M empty", 1, {}, "M must be a scalar or have one element per row of R\n", nullptr,
          nullptr, th_matrix(0, 0));
    basic("M class", 1, {}, "M must be a real double array\n", nullptr, nullptr,
          th_typed(th_class::logical, 1, 1));
    for (double bad : {0.0, -1.0, inf, nan}) {
        basic("N0 value", 1, {}, "N0 must be positive and finite\n", nullptr, nullptr, nullptr,
              s(bad));
    }
    basic("N0 column", 1, {}, "N0 column 3 must be positive and finite\n", nullptr, nullptr,
          nullptr, th_matrix(1, 3, {1, 2, 0}));
    basic("N0 count", 1, {}, "N0 must be a scalar or have one element per column of Y\n", nullptr,
          nullptr, nullptr, th_matrix(1, 2, {1, 2}));
    basic("N0 empty", 1, {}, "N0 must not be empty\n", nullptr, nullptr, nullptr, th_matrix(0, 0));
    for (double bad : {-1.0, nan}) {
        basic("clip value", 1, {}, "clip must be non-negative (Inf allowed)\n", nullptr, nullptr,
              nullptr, nullptr, s(bad));
    }
    basic("clip empty", 1, {}, "clip must not be empty\n", nullptr, nullptr, nullptr, nullptr,
          th_matrix(0, 0));
    const char* const la_size =
        "La must be empty or have one row per bit and one column per column of Y\n";
    auto la = [&](th_array a) {
        std::vector<th_array> v;
        v.push_back(std::move(a));
        return v;
    };
    basic("La rows", 1, la(th_matrix(3, 3)), la_size);
    basic("La columns", 1, la(th_matrix(4, 1)), la_size);
    basic("La class", 1, la(th_typed(th_class::single, 4, 3)), "La must be a real double array\n");
    basic("La NaN", 1, la(th_matrix(4, 3, {0, 0, 0, 0, 0, 0, 0, nan, 0, 0, 0, 0})),
          "La column 2 must not contain NaN or Inf\n");
    basic("La Inf", 1, la(th_matrix(4, 3, {0, 0, 0, 0, 0, 0, 0, 0, 0, -inf, 0, 0})),
          "La column 3 must not contain NaN or Inf\n");
    for (const message_case& c : cases) {
        std::vector<const host_array*> in;
        for (const th_array& a : c.inputs) in.push_back(a.get());
        const th_result res = th_call(plinden_llr_gateway, c.nlhs, in);
        EXPECT_TRUE(res.failed) << c.name;
        EXPECT_EQ(res.message, c.message) << c.name;
        EXPECT_EQ(res.blocks_live, 0u) << c.name;
    }
}

// Worked values: one level of 4-PAM (Gray: -3 00, -1 01, +1 11, +3 10), R = 1, y = -1,
// N0 = 2: L = (4/2, -4/2); clipped to 1: (1, -1); a prior of 5 for bit 2 = 0 moves the best
// point to -3 and gives the a-posteriori (5, 3). Empty frames and n = 0 give empty outputs.
TEST(PlindenLlrGateway, WorkedValuesAndEmptyFrames) {
    const th_array y = th_scalar(-1.0), r = th_scalar(1.0), M = th_scalar(4.0), n0 = th_scalar(2.0),
                   clip = th_scalar(inf), one = th_scalar(1.0);
    const th_result a =
        call_ok(plinden_llr_gateway, 3, {y.get(), r.get(), M.get(), n0.get(), clip.get()});
    EXPECT_EQ(th_values(a.outputs[0])[0], 2.0);
    EXPECT_EQ(th_values(a.outputs[0])[1], -2.0);
    EXPECT_EQ(th_values(a.outputs[1])[0], -1.0);
    const th_result b =
        call_ok(plinden_llr_gateway, 1, {y.get(), r.get(), M.get(), n0.get(), one.get()});
    EXPECT_EQ(th_values(b.outputs[0])[0], 1.0);
    EXPECT_EQ(th_values(b.outputs[0])[1], -1.0);
    const th_array La = th_matrix(2, 1, {0.0, 5.0});
    const th_result c = call_ok(plinden_llr_gateway, 2,
                                {y.get(), r.get(), M.get(), n0.get(), clip.get(), La.get()});
    EXPECT_EQ(th_values(c.outputs[0])[0], 5.0);
    EXPECT_EQ(th_values(c.outputs[0])[1], 3.0);
    EXPECT_EQ(th_values(c.outputs[1])[0], -3.0);

    // a column whose every metric overflows: an error naming it, as mimo_detect raises
    const th_array yo = th_matrix(1, 3, {-1.0, 1e200, 1e200});
    const th_result o =
        th_call(plinden_llr_gateway, 3, {yo.get(), r.get(), M.get(), n0.get(), clip.get()});
    EXPECT_TRUE(o.failed);
    EXPECT_EQ(o.message, "Y column 2 is too large for R: it overflows\n");
    EXPECT_EQ(o.identifier, "latbox:plinden_llr:overflow");
    EXPECT_EQ(o.blocks_live, 0u);

    const th_array y0 = th_matrix(3, 0), r3 = th_matrix(3, 3, {1, 0, 0, 0, 1, 0, 0, 0, 1});
    const th_result e =
        call_ok(plinden_llr_gateway, 3, {y0.get(), r3.get(), M.get(), n0.get(), clip.get()});
    EXPECT_EQ(host_rows(e.outputs[0].get()), 6u);
    EXPECT_EQ(host_cols(e.outputs[0].get()), 0u);
    EXPECT_EQ(host_cols(e.outputs[2].get()), 0u);
    const th_array ynone = th_matrix(0, 2), rnone = th_matrix(0, 0);
    const th_result z =
        call_ok(plinden_llr_gateway, 3, {ynone.get(), rnone.get(), M.get(), n0.get(), clip.get()});
    EXPECT_EQ(host_rows(z.outputs[0].get()), 0u);
    EXPECT_EQ(host_cols(z.outputs[0].get()), 2u);
    EXPECT_EQ(th_values(z.outputs[2])[1], 0.0);
}

// Ctrl-C inside one long search: with R = I and y = 0, every point of {-1,1}^20 lies at the
// same distance, so unclipped the search visits them all and asks every 2^20 nodes.
TEST(PlindenLlrGateway, InterruptStopsALongSearch) {
    const std::size_t n = 20;
    std::vector<double> eye(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) eye[i + i * n] = 1.0;
    const th_array y = th_matrix(n, 2, std::vector<double>(2 * n, 0.0));
    const th_array r = th_matrix(n, n, eye);
    const th_array M = th_scalar(2.0), n0 = th_scalar(1.0), clip = th_scalar(inf);
    for (const std::string& threads : {std::string("1"), std::string("2")}) {
        thread_setting setting(threads);
        for (long after : {0L, 1L}) {
            th_interrupt_after(after);
            const th_result res =
                th_call(plinden_llr_gateway, 3, {y.get(), r.get(), M.get(), n0.get(), clip.get()});
            EXPECT_TRUE(res.failed);
            EXPECT_EQ(res.message, "interrupted\n");
            EXPECT_EQ(res.blocks_live, 0u);
            EXPECT_GT(res.interrupt_polls, static_cast<std::size_t>(after));
        }
    }
}

}  // namespace
