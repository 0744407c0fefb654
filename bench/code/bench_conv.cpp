// SPDX-License-Identifier: BSD-3-Clause
// Speed of the BCJR decoder (code/bcjr.h) in Mbit/s of info bits per thread, K = 7 (133,171),
// 'maxlog' and 'logmap' (each path; also K = 3, 5, 9), and against IT++'s Rec_Syst_Conv_Code
// (log-MAP and max-log) on the same recursive systematic code (feedback 133, parity 171) and LLRs:
// the speed ratio and the largest LLR difference. Then two threads against one, beside a plain
// two-thread compute loop (the machine's own scaling).
//   bench_conv [--quick]
#include <itpp/itcomm.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "code/bcjr.h"
#include "code/trellis.h"

namespace {

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The calling thread's processor time: per-thread figures that the machine's other load
// does not dilute (it still shares caches and cores).
double cpu_now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
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
std::vector<double> frame_llrs(const conv_trellis& t, std::size_t k, double ebn0_db,
                               std::mt19937_64& rng, std::vector<double>* info = nullptr) {
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

// Decodes the frames of k bits over and over for min_seconds; Mbit/s of info bits per second
// of the thread's processor time (wall time with wall = true).
timing run(const conv_trellis& t, std::size_t k, const std::vector<std::vector<double>>& L,
           conv_method m, bool log_path, bool with_lc, double min_seconds, bool wall = false) {
    // log_path: conv_decode_frame_log (for 'maxlog' the scalar loops, for 'logmap' max*)
    std::vector<double> Lu(k), Lc(conv_frame_bits(t, k, true)),
        scratch(conv_decode_scratch(t, k, true));
    std::size_t bits = 0;
    double (*clock)() = wall ? now : cpu_now;
    const double t0 = clock();
    double t1 = t0;
    do {
        for (const auto& l : L) {
            const conv_frame f{
                &t, k, true, m, false, l.data(), nullptr, Lu.data(), with_lc ? Lc.data() : nullptr};
            if (log_path) {
                conv_decode_frame_log(f, scratch.data(), nullptr);
            } else {
                conv_decode_frame(f, scratch.data(), nullptr);
            }
            bits += k;
        }
        t1 = clock();
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
    std::printf(
        "K = 7 (133,171) rate 1/2, terminated frames of %zu info bits, Eb/N0 2 dB, one thread\n"
        "(Mbit/s of info bits per second of the thread's processor time)\n",
        k);
    std::printf("%-44s %10s\n", "decoder", "Mbit/s");
    const timing mx = run(ff, k, L, conv_method::maxlog, false, false, secs);
    std::printf("%-44s %10.2f\n", "maxlog, Lu", mx.mbits);
    std::printf("%-44s %10.2f\n", "maxlog, Lu and Lc",
                run(ff, k, L, conv_method::maxlog, false, true, secs).mbits);
    const timing lm = run(ff, k, L, conv_method::logmap, false, false, secs);
    std::printf("%-44s %10.2f\n", "logmap (scaled probabilities), Lu", lm.mbits);
    std::printf("%-44s %10.2f\n", "logmap (scaled probabilities), Lu and Lc",
                run(ff, k, L, conv_method::logmap, false, true, secs).mbits);
    std::printf("%-44s %10.2f\n", "logmap (log domain, max*), Lu",
                run(ff, k, L, conv_method::logmap, true, false, secs).mbits);
    std::printf("%-44s %10.2f\n", "maxlog (scalar loops), Lu",
                run(ff, k, L, conv_method::maxlog, true, false, secs).mbits);
    std::printf("targets: maxlog >= 10 Mbit/s (%s), logmap >= 2 Mbit/s (%s)\n",
                mx.mbits >= 10 ? "met" : "missed", lm.mbits >= 2 ? "met" : "missed");

    // other constraint lengths, Lu only; 'maxlog' also through the scalar loops (K < 4 always
    // takes those) for the vector path's gain in the same run
    std::printf("\nrate 1/2 codes by K, terminated frames of %zu info bits, Mbit/s per thread\n",
                k);
    std::printf("%-4s %-12s %10s %16s %10s\n", "K", "code", "maxlog", "maxlog (scalar)", "logmap");
    const struct {
        int K;
        std::uint32_t g0, g1;
        const char* name;
    } by_K[] = {{3, 07, 05, "(7,5)"},
                {5, 023, 035, "(23,35)"},
                {7, 0133, 0171, "(133,171)"},
                {9, 0561, 0753, "(561,753)"}};
    for (const auto& c : by_K) {
        const conv_trellis tk = make(c.K, {c.g0, c.g1}, 0);
        std::vector<std::vector<double>> Lk;
        for (std::size_t f = 0; f < frames; ++f) Lk.push_back(frame_llrs(tk, k, 2.0, rng));
        const double fast = run(tk, k, Lk, conv_method::maxlog, false, false, secs).mbits;
        const double scalar = run(tk, k, Lk, conv_method::maxlog, true, false, secs).mbits;
        const double logmap = run(tk, k, Lk, conv_method::logmap, false, false, secs).mbits;
        std::printf("%-4d %-12s %10.2f %16.2f %10.2f\n", c.K, c.name, fast, scalar, logmap);
    }

    // IT++'s recursive systematic decoder on the same code and LLRs
    const conv_trellis rsc = make(7, {0171}, 0133);
    const std::size_t kr = 2000;
    std::vector<std::vector<double>> Lr;
    for (std::size_t f = 0; f < 8; ++f) Lr.push_back(frame_llrs(rsc, kr, 2.0, rng));
    itpp::Rec_Syst_Conv_Code peer;
    itpp::ivec gen(2);
    gen(0) = 0133;  // feedback
    gen(1) = 0171;
    peer.set_generator_polynomials(gen, 7);
    peer.set_scaling_factor(1.0);  // the received values are LLRs
    const std::size_t steps = kr + 6;
    std::printf(
        "\nrecursive systematic K = 7 (feedback 133, parity 171), frames of %zu info bits, "
        "Eb/N0 2 dB, one thread\n",
        kr);
    std::printf("%-10s %14s %14s %8s %16s\n", "method", "latbox Mbit/s", "IT++ Mbit/s", "ratio",
                "largest |dLLR|");
    for (conv_method m : {conv_method::logmap, conv_method::maxlog}) {
        const char* metric = m == conv_method::logmap ? "LOGMAP" : "LOGMAX";
        // the largest difference of the extrinsic info-bit LLRs: IT++'s leaves the systematic
        // channel LLR out too, latbox's only the prior
        double diff = 0.0;
        std::vector<double> Lu(kr), scratch(conv_decode_scratch(rsc, kr, true));
        itpp::vec sys(steps), ext_in(steps), ext_out;
        itpp::mat par(steps, 1);
        ext_in.zeros();
        for (const auto& l : Lr) {
            for (std::size_t i = 0; i < steps; ++i) {
                sys(i) = l[2 * i];
                par(i, 0) = l[2 * i + 1];
            }
            peer.log_decode(sys, par, ext_in, ext_out, true, metric);
            const conv_frame f{&rsc, kr, true, m, true, l.data(), nullptr, Lu.data(), nullptr};
            conv_decode_frame(f, scratch.data(), nullptr);
            for (std::size_t i = 0; i < kr; ++i)
                diff = std::max(diff, std::fabs(Lu[i] - (ext_out(i) + sys(i))));
        }
        const timing ours = run(rsc, kr, Lr, m, false, false, secs);
        std::size_t bits = 0;
        const double t0 = cpu_now();
        double t1 = t0;
        do {
            for (const auto& l : Lr) {
                for (std::size_t i = 0; i < steps; ++i) {
                    sys(i) = l[2 * i];
                    par(i, 0) = l[2 * i + 1];
                }
                peer.log_decode(sys, par, ext_in, ext_out, true, metric);
                bits += kr;
            }
            t1 = cpu_now();
        } while (t1 - t0 < secs);
        const double theirs = static_cast<double>(bits) / (t1 - t0) / 1e6;
        std::printf("%-10s %14.2f %14.2f %8.2f %16.3g\n",
                    m == conv_method::logmap ? "logmap" : "maxlog", ours.mbits, theirs,
                    ours.mbits / theirs, diff);
    }

    // two threads against one, beside a plain two-thread compute loop
    auto decode_share = [&](int threads) {
        std::vector<std::thread> pool;
        std::vector<double> rate(threads);
        for (int i = 0; i < threads; ++i) {
            pool.emplace_back([&, i] {
                rate[i] = run(ff, k, L, conv_method::maxlog, false, false, secs, true).mbits;
            });
        }
        for (auto& th : pool) th.join();
        double total = 0;
        for (double r : rate) total += r;
        return total;
    };
    auto plain_share = [&](int threads) {
        std::vector<std::thread> pool;
        std::vector<double> rate(threads);
        for (int i = 0; i < threads; ++i) {
            pool.emplace_back([&, i] {
                double x = 1.0, y = 0.5;
                std::size_t count = 0;
                const double t0 = now();
                double t1 = t0;
                do {
                    for (int r = 0; r < 1000000; ++r) {
                        x = x * 0.999999 + y;
                        y = y * 0.999999 + 1e-9;
                    }
                    count += 1000000;
                    t1 = now();
                } while (t1 - t0 < secs);
                rate[i] = static_cast<double>(count) / (t1 - t0) / 1e6 + (x + y) * 1e-300;
            });
        }
        for (auto& th : pool) th.join();
        double total = 0;
        for (double r : rate) total += r;
        return total;
    };
    const double d1 = decode_share(1), d2 = decode_share(2);
    const double p1 = plain_share(1), p2 = plain_share(2);
    std::printf(
        "\n(wall time) two threads over one: maxlog decoding %.2fx (%.2f -> %.2f Mbit/s), plain "
        "compute loop %.2fx\n",
        d2 / d1, d1, d2, p2 / p1);
    return 0;
}
