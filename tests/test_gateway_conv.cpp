// SPDX-License-Identifier: BSD-3-Clause
// conv_encode and conv_decode through the test host: every frame equals the routine on that
// frame bit for bit, for every thread count and option; outputs asked for; the bad-input
// table (each message names the argument and, where it has them, the field or column);
// Ctrl-C on a long decode.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "code/bcjr.h"
#include "code/trellis.h"
#include "fuzz/fuzz_conv.h"
#include "gateways/gateways.h"
#include "host/test_host.h"
#include "tests/batch_support.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

struct code_case {
    int K;
    std::vector<std::uint32_t> G;
    std::uint32_t F;
};

conv_trellis trellis_of(const code_case& c) {
    conv_polynomials p{};
    p.K = c.K;
    p.generators = static_cast<int>(c.G.size());
    for (std::size_t j = 0; j < c.G.size(); ++j) p.G[j] = c.G[j];
    p.F = c.F;
    conv_trellis t{};
    conv_build_trellis(p, &t);
    return t;
}

// The struct conv_code makes, with fields replaced or dropped by the caller.
struct code_fields {
    double K;
    std::vector<double> G;
    double F;
    std::vector<double> next, outputs;
    std::size_t S;
};

code_fields fields_of(const code_case& c) {
    const conv_trellis t = trellis_of(c);
    code_fields f{static_cast<double>(c.K),
                  {},
                  fuzz_octal(c.F),
                  std::vector<double>(2 * t.states),
                  std::vector<double>(2 * t.states),
                  static_cast<std::size_t>(t.states)};
    for (std::uint32_t g : c.G) f.G.push_back(fuzz_octal(g));
    for (int b = 0; b < 2 * t.states; ++b) {
        std::uint32_t v = 0;
        for (int j = 0; j < t.n; ++j) v = (v << 1) | ((t.output[b] >> j) & 1u);
        f.next[b / 2 + t.input[b] * t.states] = t.next[b];
        f.outputs[b / 2 + t.input[b] * t.states] = v;
    }
    return f;
}

th_array struct_of(const code_fields& f, const std::string& drop = "") {
    std::vector<std::pair<std::string, th_array>> v;
    if (drop != "K") v.emplace_back("K", th_scalar(f.K));
    if (drop != "G") v.emplace_back("G", th_matrix(1, f.G.size(), f.G));
    if (drop != "F") v.emplace_back("F", th_scalar(f.F));
    if (drop != "next") v.emplace_back("next", th_matrix(f.S, 2, f.next));
    if (drop != "outputs") v.emplace_back("outputs", th_matrix(f.S, 2, f.outputs));
    return th_struct(std::move(v));
}

const std::vector<code_case>& cases() {
    static const std::vector<code_case> c{{7, {0133, 0171}, 0},
                                          {3, {05}, 07},
                                          {4, {015, 017, 013}, 0},
                                          {5, {035}, 023},
                                          {2, {03}, 0}};
    return c;
}

TEST(ConvGateway, EveryFrameEqualsTheRoutine) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> g(0.0, 2.0);
    for (const code_case& cc : cases()) {
        const conv_trellis t = trellis_of(cc);
        const th_array code = struct_of(fields_of(cc));
        for (bool term : {true, false}) {
            for (std::size_t frames : {0, 1, 3, 17}) {
                const std::size_t k = 40 + frames;
                const std::size_t bits = conv_frame_bits(t, k, term);
                std::vector<double> L(bits * frames), La(k * frames);
                for (double& x : L) x = g(rng);
                for (double& x : La) x = g(rng);
                if (!L.empty()) L[rng() % L.size()] = -inf;  // a known bit
                const th_array l = th_matrix(bits, frames, L), la = th_matrix(k, frames, La);
                const th_array s_term = th_string("terminate"), flag = th_scalar(term ? 1.0 : 0.0),
                               s_method = th_string("method"), s_output = th_string("output"),
                               s_prior = th_string("prior");
                for (conv_method m : {conv_method::logmap, conv_method::maxlog}) {
                    for (bool ext : {false, true}) {
                        for (bool priors : {false, true}) {
                            const th_array method =
                                th_string(m == conv_method::maxlog ? "MaxLog" : "logmap");
                            const th_array output = th_string(ext ? "extrinsic" : "posterior");
                            std::vector<const host_array*> in{
                                l.get(),        code.get(),   s_term.get(),   flag.get(),
                                s_method.get(), method.get(), s_output.get(), output.get()};
                            if (priors) in.insert(in.end(), {s_prior.get(), la.get()});
                            // the routine, frame by frame
                            std::vector<double> Lu(k * frames), Lc(bits * frames),
                                scratch(conv_decode_scratch(t, k, term));
                            for (std::size_t f = 0; f < frames; ++f) {
                                const conv_frame fr{&t,
                                                    k,
                                                    term,
                                                    m,
                                                    ext,
                                                    L.data() + f * bits,
                                                    priors ? La.data() + f * k : nullptr,
                                                    Lu.data() + f * k,
                                                    Lc.data() + f * bits};
                                ASSERT_TRUE(conv_decode_frame(fr, scratch.data(), nullptr));
                            }
                            for (const std::string& threads : thread_settings()) {
                                thread_setting setting(threads);
                                for (int nlhs : {1, 2}) {
                                    const th_result r = th_call(conv_decode_gateway, nlhs, in);
                                    ASSERT_FALSE(r.failed) << r.message;
                                    EXPECT_EQ(r.blocks_live, 0u);
                                    ASSERT_EQ(host_rows(r.outputs[0].get()), k);
                                    ASSERT_EQ(host_cols(r.outputs[0].get()), frames);
                                    EXPECT_TRUE(
                                        same_bits(th_values(r.outputs[0]), Lu.data(), Lu.size()));
                                    if (nlhs == 2) {
                                        ASSERT_EQ(host_rows(r.outputs[1].get()), bits);
                                        EXPECT_TRUE(same_bits(th_values(r.outputs[1]), Lc.data(),
                                                              Lc.size()));
                                    }
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(ConvGateway, EncoderEqualsTheRoutine) {
    std::mt19937_64 rng(12);
    for (const code_case& cc : cases()) {
        const conv_trellis t = trellis_of(cc);
        const th_array code = struct_of(fields_of(cc));
        for (bool term : {true, false}) {
            for (std::size_t k : {0, 1, 33}) {
                const std::size_t frames = 4, bits = conv_frame_bits(t, k, term);
                std::vector<double> U(k * frames);
                for (double& u : U) u = static_cast<double>(rng() & 1u);
                std::vector<double> C(bits * frames);
                for (std::size_t f = 0; f < frames; ++f)
                    conv_encode_frame(t, U.data() + f * k, k, term, C.data() + f * bits);
                const th_array u = th_matrix(k, frames, U), name = th_string("Terminate");
                const th_array flag = th_typed(th_class::logical, 1, 1);
                flag->bytes[0] = term ? 1 : 0;
                const th_result r =
                    th_call(conv_encode_gateway, 1, {u.get(), code.get(), name.get(), flag.get()});
                ASSERT_FALSE(r.failed) << r.message;
                ASSERT_EQ(host_rows(r.outputs[0].get()), bits);
                ASSERT_EQ(host_cols(r.outputs[0].get()), frames);
                EXPECT_TRUE(same_bits(th_values(r.outputs[0]), C.data(), C.size()));
            }
        }
    }
}

TEST(ConvGateway, Messages) {
    const code_case cc{7, {0133, 0171}, 0};
    const code_fields good = fields_of(cc);
    const th_array code = struct_of(good);
    auto edited = [&](void (*edit)(code_fields&)) {
        code_fields f = good;
        edit(f);
        return struct_of(f);
    };
    const th_array bad_K = edited([](code_fields& f) { f.K = 10; });
    const th_array K_frac = edited([](code_fields& f) { f.K = 6.5; });
    const th_array G_octal = edited([](code_fields& f) { f.G[1] = 181; });
    const th_array G_zero = edited([](code_fields& f) { f.G[0] = 0; });
    const th_array G_wide = edited([](code_fields& f) { f.G[1] = 377; });
    const th_array F_taps = edited([](code_fields& f) { f.F = 132; });
    const th_array F_wide = edited([](code_fields& f) { f.F = 377; });
    const th_array next_bad = edited([](code_fields& f) { f.next[5] += 1; });
    const th_array out_bad = edited([](code_fields& f) { f.outputs[70] = 0; });
    const th_array no_next = struct_of(good, "next");
    const th_array not_struct = th_scalar(1.0);
    const std::vector<double> L(2 * 16, 1.0);
    const th_array l = th_matrix(32, 1, L), l2 = th_matrix(16, 2, L);
    std::vector<double> Ln(32, 1.0);
    Ln[20] = nan;
    const th_array l_nan = th_matrix(16, 2, Ln), l_odd = th_matrix(31, 1, L),
                   l_short = th_matrix(10, 1, {});
    const th_array prior_bad = th_matrix(3, 2, {}), prior_nan = th_matrix(2, 2, {0, 0, nan, 0});
    const th_array s_prior = th_string("prior"), s_method = th_string("method"),
                   s_output = th_string("output"), s_term = th_string("terminate"),
                   s_bogus = th_string("viterbi"), one = th_scalar(1.0),
                   bad_flag = th_string("yes"), s_bad_value = th_string("bcjr"),
                   nan_flag = th_scalar(nan);
    const th_array U = th_matrix(3, 2, {0, 1, 0, 1, 2, 0}),
                   U_single = th_typed(th_class::single, 3, 1);
    struct row {
        gateway_fn* fn;
        int nlhs;
        std::vector<const host_array*> in;
        std::string message;
    };
    const std::vector<row> rows{
        {conv_decode_gateway, 1, {l.get()}, "USAGE: [Lu,Lc]=conv_decode(L,code,Name,Value,...)\n"},
        {conv_decode_gateway,
         3,
         {l.get(), code.get()},
         "USAGE: [Lu,Lc]=conv_decode(L,code,Name,Value,...)\n"},
        {conv_decode_gateway,
         1,
         {l.get(), code.get(), s_prior.get()},
         "USAGE: [Lu,Lc]=conv_decode(L,code,Name,Value,...)\n"},
        {conv_decode_gateway, 1, {U_single.get(), code.get()}, "L must be a real double array\n"},
        {conv_decode_gateway,
         1,
         {l.get(), not_struct.get()},
         "code must be a struct from conv_code (fields K, G, F, next, outputs)\n"},
        {conv_decode_gateway,
         1,
         {l.get(), no_next.get()},
         "code must be a struct from conv_code (it has no field next)\n"},
        {conv_decode_gateway, 1, {l.get(), bad_K.get()}, "code.K must be an integer from 2 to 9\n"},
        {conv_decode_gateway,
         1,
         {l.get(), K_frac.get()},
         "code.K must be an integer from 2 to 9\n"},
        {conv_decode_gateway,
         1,
         {l.get(), G_octal.get()},
         "code.G column 2 must be a polynomial in octal digits (0 to 7)\n"},
        {conv_decode_gateway, 1, {l.get(), G_zero.get()}, "code.G column 1 must not be 0\n"},
        {conv_decode_gateway,
         1,
         {l.get(), G_wide.get()},
         "code.G column 2 must have no tap beyond K bits (below 2^K)\n"},
        {conv_decode_gateway,
         1,
         {l.get(), F_taps.get()},
         "code.F must have its top and bottom taps (bits K-1 and 0)\n"},
        {conv_decode_gateway,
         1,
         {l.get(), F_wide.get()},
         "code.F must have no tap beyond K bits (below 2^K)\n"},
        {conv_decode_gateway,
         1,
         {l.get(), next_bad.get()},
         "code.next does not match code.K, code.G and code.F\n"},
        {conv_decode_gateway,
         1,
         {l.get(), out_bad.get()},
         "code.outputs does not match code.K, code.G and code.F\n"},
        {conv_decode_gateway,
         1,
         {l_odd.get(), code.get()},
         "L must have n*(k+6) rows for a terminated frame of k info bits of this code (n = 2)\n"},
        {conv_decode_gateway,
         1,
         {l_short.get(), code.get()},
         "L must have n*(k+6) rows for a terminated frame of k info bits of this code (n = 2)\n"},
        {conv_decode_gateway,
         1,
         {l_odd.get(), code.get(), s_term.get(), nan_flag.get()},
         "terminate must be true or false\n"},
        {conv_decode_gateway,
         1,
         {l_odd.get(), code.get(), s_term.get(), bad_flag.get()},
         "terminate must be true or false\n"},
        {conv_decode_gateway,
         1,
         {l_nan.get(), code.get()},
         "L column 2 must not contain NaN (+-Inf: a known bit)\n"},
        {conv_decode_gateway,
         1,
         {l2.get(), code.get(), s_prior.get(), prior_bad.get()},
         "prior must be k-by-F: one row per info bit, one column per column of L\n"},
        {conv_decode_gateway,
         1,
         {l2.get(), code.get(), s_prior.get(), prior_nan.get()},
         "prior column 2 must not contain NaN (+-Inf: a known bit)\n"},
        {conv_decode_gateway,
         1,
         {l2.get(), code.get(), s_method.get(), s_bad_value.get()},
         "method must be 'logmap' or 'maxlog'\n"},
        {conv_decode_gateway,
         1,
         {l2.get(), code.get(), s_output.get(), s_bad_value.get()},
         "output must be 'posterior' or 'extrinsic'\n"},
        {conv_decode_gateway,
         1,
         {l2.get(), code.get(), s_bogus.get(), one.get()},
         "unknown option 'viterbi' (known: 'terminate', 'method', 'prior' or "
         "'output')\n"},
        {conv_decode_gateway,
         1,
         {l2.get(), code.get(), one.get(), one.get()},
         "options must be Name, Value pairs: 'terminate', 'method', 'prior' or "
         "'output'\n"},
        {conv_encode_gateway, 1, {U.get()}, "USAGE: C=conv_encode(U,code,'terminate',tf)\n"},
        {conv_encode_gateway,
         2,
         {U.get(), code.get()},
         "USAGE: C=conv_encode(U,code,'terminate',tf)\n"},
        {conv_encode_gateway, 1, {U_single.get(), code.get()}, "U must be a real double array\n"},
        {conv_encode_gateway, 1, {U.get(), code.get()}, "U column 2 must hold only 0 and 1\n"},
        {conv_encode_gateway,
         1,
         {U.get(), G_octal.get()},
         "code.G column 2 must be a polynomial in octal digits (0 to 7)\n"},
        {conv_encode_gateway,
         1,
         {U.get(), code.get(), s_method.get(), one.get()},
         "unknown option 'method' (known: 'terminate')\n"},
    };
    for (const row& r : rows) {
        const th_result res = th_call(r.fn, r.nlhs, r.in);
        EXPECT_TRUE(res.failed) << r.message;
        EXPECT_EQ(res.message, r.message);
        EXPECT_EQ(res.blocks_live, 0u) << r.message;
    }
    // +-Inf are allowed: known bits
    const th_array l_inf =
        th_matrix(16, 1, {inf, -inf, 1, 1, inf, inf, -inf, -inf, 0, 0, 1, 1, 1, 1, 1, 1});
    const th_result ok = th_call(conv_decode_gateway, 2, {l_inf.get(), code.get()});
    ASSERT_FALSE(ok.failed) << ok.message;
    for (std::size_t j = 0; j < 16; ++j) EXPECT_FALSE(std::isnan(th_values(ok.outputs[1])[j]));
}

TEST(ConvGateway, InterruptStopsALongDecode) {
    const code_case cc{7, {0133, 0171}, 0};
    const th_array code = struct_of(fields_of(cc));
    const std::size_t k = 200000;
    const th_array l = th_matrix(2 * (k + 6), 2, std::vector<double>(4 * (k + 6), 0.5));
    for (const std::string& threads : {std::string("1"), std::string("2")}) {
        thread_setting setting(threads);
        for (long after : {0L, 1L, 3L}) {
            th_interrupt_after(after);
            const th_result res = th_call(conv_decode_gateway, 2, {l.get(), code.get()});
            EXPECT_TRUE(res.failed);
            EXPECT_EQ(res.message, "interrupted\n");
            EXPECT_EQ(res.blocks_live, 0u);
            EXPECT_GT(res.interrupt_polls, static_cast<std::size_t>(after));
        }
    }
}

}  // namespace
