// SPDX-License-Identifier: BSD-3-Clause
// Vectors per second and nodes of the complex-level searches (channel/) on 4x4 Rayleigh
// channels: R distributed as the R of a QR of a complex Gaussian H, z = R*x + noise at a
// given SNR (Nt*Es/N0 per receive antenna), one thread. Prints a Markdown table.
//   bench_complex_search [seconds per row, default 0.5]
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "channel/complex_search.h"
#include "channel/kbest.h"

namespace {

using cplx = std::complex<double>;

struct constellation {
    std::string name;
    std::vector<cplx> points;
    std::vector<std::uint32_t> labels;
    std::int32_t bits;
};

std::uint32_t gray(std::uint32_t a) {
    return a ^ (a >> 1);
}

// unit mean energy
void normalise(constellation& c) {
    double e = 0.0;
    for (const cplx& p : c.points) e += std::norm(p);
    const double s = std::sqrt(c.points.size() / e);
    for (cplx& p : c.points) p *= s;
}

constellation psk(int M) {
    constellation c{std::to_string(M) + "-PSK", {}, {}, 0};
    c.bits = static_cast<std::int32_t>(std::lround(std::log2(M)));
    for (int m = 0; m < M; ++m) {
        c.points.push_back(std::polar(1.0, 2.0 * M_PI * m / M));
        c.labels.push_back(gray(m));
    }
    return c;
}

constellation qam(int s) {
    constellation c{std::to_string(s * s) + "-QAM Gray", {}, {}, 0};
    const int half = static_cast<int>(std::lround(std::log2(s)));
    c.bits = 2 * half;
    for (int r = 0; r < s; ++r) {
        for (int i = 0; i < s; ++i) {
            c.points.emplace_back(2 * r - (s - 1), 2 * i - (s - 1));
            c.labels.push_back((gray(r) << half) | gray(i));
        }
    }
    normalise(c);
    return c;
}

// 16-APSK (4 + 12, radius ratio 2.7, DVB-S2 style), labels in ring order
constellation apsk16() {
    constellation c{"16-APSK", {}, {}, 4};
    for (int m = 0; m < 4; ++m) c.points.push_back(std::polar(1.0, M_PI / 4 + M_PI / 2 * m));
    for (int m = 0; m < 12; ++m) c.points.push_back(std::polar(2.7, M_PI / 12 + M_PI / 6 * m));
    for (int m = 0; m < 16; ++m) c.labels.push_back(gray(m));
    normalise(c);
    return c;
}

struct problem {
    std::vector<cplx> R, z;
};

problem draw(std::mt19937& rng, const constellation& c, int n, double n0) {
    std::normal_distribution<double> g(0.0, std::sqrt(0.5));
    std::gamma_distribution<double> chi;
    std::uniform_int_distribution<std::size_t> pick(0, c.points.size() - 1);
    problem p{std::vector<cplx>(n * n), std::vector<cplx>(n)};
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < j; ++i) p.R[i + j * n] = cplx(g(rng), g(rng));
        // |R(j,j)|^2 ~ Gamma(n - j, 1) for an n-by-n complex Gaussian H
        chi = std::gamma_distribution<double>(n - j, 1.0);
        p.R[j + j * n] = std::sqrt(chi(rng));
    }
    std::vector<cplx> x(n);
    for (cplx& v : x) v = c.points[pick(rng)];
    const double w = std::sqrt(n0);
    for (int i = 0; i < n; ++i) {
        cplx s(w * g(rng), w * g(rng));
        for (int j = i; j < n; ++j) s += p.R[i + j * n] * x[j];
        p.z[i] = s;
    }
    return p;
}

void row(const constellation& c, int n, double snr_db, double clip, long K, double seconds) {
    const double n0 = n / std::pow(10.0, snr_db / 10.0);
    std::mt19937 rng(1);
    std::vector<problem> problems;
    for (int k = 0; k < 2000; ++k) problems.push_back(draw(rng, c, n, n0));
    const complex_alphabet a{static_cast<std::int64_t>(c.points.size()), c.bits,
                             reinterpret_cast<const double*>(c.points.data()), c.labels.data()};
    std::vector<double> scratch(K > 0 ? kbest_scratch_size(n, a.M, K)
                                      : complex_search_scratch_size(n, a.M));
    std::vector<double> L(n * c.bits);
    std::vector<std::int32_t> idx(n);
    long count = 0;
    double total_nodes = 0.0;
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0.0;
    while (elapsed < seconds) {
        for (const problem& p : problems) {
            std::int64_t nodes = 0;
            const auto* z = reinterpret_cast<const double*>(p.z.data());
            const auto* R = reinterpret_cast<const double*>(p.R.data());
            if (K > 0) {
                kbest_llrs(z, R, n, a, K, n0, clip, nullptr, L.data(), idx.data(), &nodes,
                           scratch.data());
            } else {
                find_complex_llrs(z, R, n, a, n0, clip, nullptr, L.data(), idx.data(), &nodes,
                                  scratch.data());
            }
            total_nodes += static_cast<double>(nodes);
        }
        count += static_cast<long>(problems.size());
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const std::string method = K > 0 ? "kbest K=" + std::to_string(K)
                                     : (clip == 0.0 ? std::string("ml (clip 0)")
                                                    : "maxlog clip " + std::to_string(int(clip)));
    std::printf("| %s | %dx%d | %.0f | %s | %.0f | %.1f | %.0f |\n", c.name.c_str(), n, n, snr_db,
                method.c_str(), count / elapsed, total_nodes / count, 1e9 * elapsed / total_nodes);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
    std::printf(
        "| constellation | channel | SNR (dB) | method | vectors/s | nodes/vector | ns/node |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    const constellation cases[] = {psk(8), apsk16(), qam(4), qam(8)};
    const double snr[] = {16.0, 20.0, 18.0, 26.0};
    for (int k = 0; k < 4; ++k) {
        for (const double clip : {0.0, 8.0, 20.0}) row(cases[k], 4, snr[k], clip, 0, seconds);
        row(cases[k], 4, snr[k], 20.0, 16, seconds);
        row(cases[k], 4, snr[k], 20.0, 64, seconds);
    }
    return 0;
}
