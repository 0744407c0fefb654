// SPDX-License-Identifier: BSD-3-Clause
// [Lu,Lc]=conv_decode(L,code,...) on any L and prior, a code struct valid or edited (see
// fuzz/fuzz_conv.h), any options, on 1 to 3 threads. A call with an edited or invalid struct
// fails; on success Lu is k-by-F and Lc like L, no output is NaN, each column equals the
// routine on that column bit for bit (and for max-log the scalar loops), and short frames of
// moderate inputs equal the enumeration of every codeword (within 1e-9, scaled by the inputs' size;
// a code bit that every codeword has the same, as some tail bits, is +-Inf in both).
#include <algorithm>
#include <cmath>

#include "code/bcjr.h"
#include "fuzz/fuzz_batch.h"
#include "fuzz/fuzz_conv.h"
#include "gateways/gateways.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz_conv_code c = fuzz_code_of(data, size);
    const std::size_t skip = size < 8 ? size : 8;
    const fuzz_call call = fuzz_decode(data + skip, size - skip, {2, 2, true});
    std::vector<const host_array*> in = call.inputs();
    if (in.size() < 2) return 0;
    const host_array* prior = in[1];
    in.resize(1);
    in.push_back(c.code.get());
    const std::uint8_t o = c.options;
    const th_array s_term = th_string("terminate"), s_method = th_string("method"),
                   s_output = th_string("output"), s_prior = th_string("prior"),
                   s_bad = th_string("bogus"), flag = th_scalar((o & 1u) ? 1.0 : 0.0),
                   method = th_string((o & 64u)  ? "viterbi"
                                      : (o & 2u) ? "maxlog"
                                                 : "logmap"),
                   output = th_string((o & 4u) ? "extrinsic" : "posterior");
    if (o & 16u) in.insert(in.end(), {s_term.get(), flag.get()});
    in.insert(in.end(), {s_method.get(), method.get(), s_output.get(), output.get()});
    if (o & 8u) in.insert(in.end(), {s_prior.get(), prior});
    if (o & 32u) in.insert(in.end(), {s_bad.get(), flag.get()});
    fuzz_use_threads(call);
    const th_result r = th_call(conv_decode_gateway, c.nlhs, in);
    FUZZ_CHECK(!r.failed || fuzz_message_ok(r.message, true));
    FUZZ_CHECK(r.blocks_live == 0);
    if (r.failed) return 0;
    FUZZ_CHECK(c.valid && (o & 96u) == 0);
    conv_trellis t{};
    conv_build_trellis(c.polynomials, &t);
    const bool term = (o & 16u) ? (o & 1u) != 0 : true;
    const host_array* L = in[0];
    const std::size_t bits = host_rows(L), frames = host_cols(L);
    const std::size_t k = bits / t.n - (term ? t.K - 1 : 0);
    FUZZ_CHECK(fuzz_shape(r.outputs[0], k, frames));
    const bool priors = (o & 8u) && host_rows(prior) * host_cols(prior) != 0;
    if (priors) FUZZ_CHECK(fuzz_shape(th_matrix(host_rows(prior), host_cols(prior)), k, frames));
    if (c.nlhs == 2) FUZZ_CHECK(fuzz_shape(r.outputs[1], bits, frames));
    std::vector<double> Lu(k), Lc(bits), scratch(conv_decode_scratch(t, k, term));
    const conv_method m = (o & 2u) ? conv_method::maxlog : conv_method::logmap;
    for (std::size_t f = 0; f < frames; ++f) {
        const double* Lf = th_values(L) + f * bits;
        const double* Pf = priors ? th_values(prior) + f * k : nullptr;
        const conv_frame frame{&t, k, term, m, (o & 4u) != 0, Lf, Pf, Lu.data(), Lc.data()};
        FUZZ_CHECK(conv_decode_frame(frame, scratch.data(), nullptr));
        if (m == conv_method::maxlog) {
            // the vector path (Lu, and Lc at rates down to 1/3) gives the scalar loops' bits
            std::vector<double> Lu2(k), Lc2(bits);
            const conv_frame scalar{&t, k, term, m, (o & 4u) != 0, Lf, Pf, Lu2.data(), Lc2.data()};
            FUZZ_CHECK(conv_decode_frame_log(scalar, scratch.data(), nullptr));
            FUZZ_CHECK(fuzz_same_bits(Lu.data(), Lu2.data(), k));
            FUZZ_CHECK(fuzz_same_bits(Lc.data(), Lc2.data(), bits));
        }
        const double* gu = th_values(r.outputs[0]) + f * k;
        FUZZ_CHECK(fuzz_same_bits(gu, Lu.data(), k));
        for (std::size_t i = 0; i < k; ++i) FUZZ_CHECK(!std::isnan(gu[i]));
        if (c.nlhs == 2) {
            const double* gc = th_values(r.outputs[1]) + f * bits;
            FUZZ_CHECK(fuzz_same_bits(gc, Lc.data(), bits));
            for (std::size_t j = 0; j < bits; ++j) FUZZ_CHECK(!std::isnan(gc[j]));
        }
        // the enumeration, for short frames of moderate finite inputs
        double scale = 1.0;
        bool moderate = k <= 8;
        for (std::size_t j = 0; j < bits; ++j) {
            moderate = moderate && std::fabs(Lf[j]) <= 1e6;
            scale += std::fabs(Lf[j]);
        }
        for (std::size_t i = 0; Pf != nullptr && i < k; ++i) {
            moderate = moderate && std::fabs(Pf[i]) <= 1e6;
            scale += std::fabs(Pf[i]);
        }
        if (!moderate) continue;
        const std::vector<double> Lv(Lf, Lf + bits),
            Pv = Pf != nullptr ? std::vector<double>(Pf, Pf + k) : std::vector<double>();
        const enumerated_llrs e =
            enumerate_app(c.reference, k, term, Lv, Pv, m == conv_method::logmap, true);
        for (std::size_t i = 0; i < k; ++i) {
            const double want = (o & 4u) ? e.Lu[i] : e.Lu[i] + (Pf != nullptr ? Pf[i] : 0.0);
            FUZZ_CHECK(Lu[i] == want ||
                       std::fabs(Lu[i] - want) <= 1e-9 * std::max(scale, std::fabs(want)));
        }
        for (std::size_t j = 0; j < bits; ++j) {
            const double want = (o & 4u) ? e.Lc[j] : e.Lc[j] + Lv[j];
            FUZZ_CHECK(Lc[j] == want ||
                       std::fabs(Lc[j] - want) <= 1e-9 * std::max(scale, std::fabs(want)));
        }
    }
    return 0;
}
