// SPDX-License-Identifier: BSD-3-Clause
// [llr,idx,info]=mimo_detect(Y,H,N0,const,bits,method) on any numeric inputs, on 1 to 3
// threads, with the method chosen by the last byte: the call either fails cleanly (a
// message naming an argument, no scratch left) or returns llr of (Nt*log2 M)-by-K with
// every value within +-clip (20), idx of Nt-by-K with 1-based indices into const, and the
// same outputs bit for bit on one thread. A const of one element c stands for a generated
// constellation chosen by the second-last byte: PAM of 2 to 256 points (the real model when
// Y and H are real) or square QAM of 4 to 256 points, spaced by c, with natural labels. The
// third-last byte adds options: the extrinsic output, K-best's fill, priors.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fuzz/fuzz_batch.h"
#include "gateways/gateways.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();
const char* const method_names[] = {"maxlog", "ml", "kbest",    "mmse", "zf",
                                    "sic",    "lr", "mmse-pic", "ep",   "app"};

bool same_output(const th_array& a, const th_array& b) {
    if (a->rows != b->rows || a->cols != b->cols) return false;
    const std::size_t bytes = a->rows * a->cols * sizeof(double);
    return bytes == 0 || std::memcmp(a->bytes, b->bytes, bytes) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_call call = fuzz_decode(data, size, {5, 3, true});
    if (call.args.size() != 5) return 0;
    // bounded work: small frames only (the enumeration a search may do grows as M^Nt)
    for (const th_array& a : call.args) {
        if (a->rows * a->cols > 64) return 0;
    }
    const std::size_t nt_given = call.args[1]->paged ? call.args[1]->page_cols : call.args[1]->cols;
    if (nt_given > 3) return 0;
    th_array generated, natural;
    if (call.args[3]->rows * call.args[3]->cols == 1 &&
        call.args[3]->cls == th_class::real_double && size >= 2) {
        double c;
        std::memcpy(&c, call.args[3]->bytes, sizeof c);
        const int kind = data[size - 2];
        const int bits = 1 + kind % 8;
        const bool qam = (kind & 8) != 0 && bits % 2 == 0;
        const std::size_t M = std::size_t{1} << bits;
        if (M > 16 && nt_given > 2) return 0;
        const std::size_t side = qam ? std::size_t{1} << (bits / 2) : M;
        std::vector<double> re(M), im(M);
        for (std::size_t m = 0; m < M; ++m) {
            const double a = static_cast<double>(m % side), b = static_cast<double>(m / side);
            re[m] = c * (2.0 * a - static_cast<double>(side - 1));
            im[m] = qam ? c * (2.0 * b - static_cast<double>(side - 1)) : 0.0;
        }
        generated = qam ? th_complex(M, 1, 1, re, im) : th_matrix(M, 1, re);
        natural = th_matrix(0, 0);
    }
    const std::string method = method_names[size == 0 ? 0 : data[size - 1] % 10];
    const th_array name = th_string(method);
    std::vector<const host_array*> inputs = call.inputs();
    if (generated) {
        inputs[3] = generated.get();
        inputs[4] = natural.get();
    }
    inputs.push_back(name.get());
    // the third-last byte: the extrinsic output, K-best's 'clip' fill, and priors made from
    // Y's values (+-Inf at one bit) for the soft methods
    const int extra = size >= 3 ? data[size - 3] : 0;
    const bool soft = method != "ml" && method != "sic" && method != "lr";
    const th_array s_output = th_string("output"), s_extrinsic = th_string("extrinsic");
    const th_array s_fill = th_string("fill"), s_clip = th_string("clip");
    const th_array s_prior = th_string("prior");
    th_array prior;
    if (soft && (extra & 1) != 0) {
        inputs.push_back(s_output.get());
        inputs.push_back(s_extrinsic.get());
    }
    if (method == "kbest" && (extra & 2) != 0) {
        inputs.push_back(s_fill.get());
        inputs.push_back(s_clip.get());
    }
    const std::size_t points = inputs[3]->rows * inputs[3]->cols;
    std::size_t bits = 0;
    while ((std::size_t{1} << bits) < points) ++bits;
    if (soft && (extra & 4) != 0 && call.args[0]->cls == th_class::real_double) {
        const std::size_t K = call.args[0]->cols, B = nt_given * bits;
        std::vector<double> La(B * K);
        const double* y = th_values(call.args[0]);
        const std::size_t ny = call.args[0]->rows * K;
        for (std::size_t i = 0; i < La.size(); ++i) {
            La[i] = ny == 0 ? 0.0 : y[i % ny] * static_cast<double>(1 + (extra >> 3));
        }
        if (!La.empty()) La[(extra >> 3) % La.size()] = (extra & 8) != 0 ? inf : -inf;
        prior = th_matrix(B, K, La);
        inputs.push_back(s_prior.get());
        inputs.push_back(prior.get());
    }
    fuzz_use_threads(call);
    const th_result r = th_call(mimo_detect_gateway, 3, inputs);
    if (r.failed) {
        FUZZ_CHECK(fuzz_message_ok(r.message, true));
        FUZZ_CHECK(r.identifier.rfind("latbox:mimo_detect:", 0) == 0);
        FUZZ_CHECK(r.blocks_live == 0 && r.outputs[0] == nullptr);
        return 0;
    }
    FUZZ_CHECK(r.blocks_live == 0 && r.arrays_discarded == 0);
    FUZZ_CHECK(r.outputs.size() == 3 && r.outputs[0] && r.outputs[1] && r.outputs[2]);
    const std::size_t M = inputs[3]->rows * inputs[3]->cols;
    const std::size_t K = call.args[0]->cols;
    const std::size_t nt = r.outputs[1]->rows;
    FUZZ_CHECK(r.outputs[0]->cols == K && r.outputs[1]->cols == K);
    for (std::size_t i = 0; i < r.outputs[0]->rows * K; ++i) {
        const double v = th_values(r.outputs[0])[i];
        FUZZ_CHECK(v >= -20.0 && v <= 20.0);
    }
    for (std::size_t i = 0; i < nt * K; ++i) {
        const double v = th_values(r.outputs[1])[i];
        FUZZ_CHECK(v >= 1.0 && v <= static_cast<double>(M) && v == std::floor(v));
    }
    if (call.threads != 1) {
        setenv("LATBOX_NUM_THREADS", "1", 1);
        const th_result one = th_call(mimo_detect_gateway, 3, inputs);
        FUZZ_CHECK(!one.failed && same_output(one.outputs[0], r.outputs[0]) &&
                   same_output(one.outputs[1], r.outputs[1]));
    }
    return 0;
}
