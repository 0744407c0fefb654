// SPDX-License-Identifier: BSD-3-Clause
// Test problems and the exhaustive checker for the complex-level searches (channel/):
// constellations with their labels, random upper-triangular complex R and z, and max-log
// LLRs by enumeration over const^n in long double (no code shared with the searches).
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "channel/complex_search.h"

namespace complex_test {

using cplx = std::complex<double>;
using lcplx = std::complex<long double>;
const double inf = std::numeric_limits<double>::infinity();

struct constellation {
    std::string name;
    std::vector<cplx> points;
    std::vector<std::uint32_t> labels;
    std::int32_t bits;
    complex_alphabet alphabet() const {
        return {static_cast<std::int64_t>(points.size()), bits,
                reinterpret_cast<const double*>(points.data()), labels.data()};
    }
};

inline std::uint32_t gray(std::uint32_t a) {
    return a ^ (a >> 1);
}

// Square QAM of side s (s*s points), label = (label of re, label of im), per axis Gray or
// natural binary.
inline constellation square_qam(std::int32_t s, bool gray_labels) {
    constellation c;
    const auto half = static_cast<std::int32_t>(std::lround(std::log2(s)));
    c.bits = 2 * half;
    c.name = std::to_string(s * s) + (gray_labels ? "-QAM Gray" : "-QAM natural");
    for (std::int32_t r = 0; r < s; ++r) {
        for (std::int32_t i = 0; i < s; ++i) {
            c.points.emplace_back(2 * r - (s - 1), 2 * i - (s - 1));
            const std::uint32_t lr = gray_labels ? gray(r) : r;
            const std::uint32_t li = gray_labels ? gray(i) : i;
            c.labels.push_back((lr << half) | li);
        }
    }
    return c;
}

inline constellation psk(std::int32_t M, std::uint32_t seed = 0) {
    constellation c;
    c.bits = static_cast<std::int32_t>(std::lround(std::log2(M)));
    c.name = std::to_string(M) + "-PSK";
    for (std::int32_t m = 0; m < M; ++m) {
        c.points.push_back(std::polar(1.0, 2.0 * M_PI * m / M));
        c.labels.push_back(gray(m));
    }
    if (seed != 0) {  // a random label table
        std::mt19937 rng(seed);
        std::shuffle(c.labels.begin(), c.labels.end(), rng);
        c.name += " shuffled labels";
    }
    return c;
}

// 32-point cross: the 6x6 odd grid without its corners, labels a fixed random bijection.
inline constellation cross32() {
    constellation c;
    c.bits = 5;
    c.name = "32-cross";
    for (int r = -5; r <= 5; r += 2) {
        for (int i = -5; i <= 5; i += 2) {
            if (std::abs(r) == 5 && std::abs(i) == 5) continue;
            c.points.emplace_back(r, i);
        }
    }
    c.labels.resize(32);
    std::iota(c.labels.begin(), c.labels.end(), 0u);
    std::mt19937 rng(32);
    std::shuffle(c.labels.begin(), c.labels.end(), rng);
    return c;
}

inline constellation bpsk() {
    return {"BPSK", {cplx(1.0, 0.0), cplx(-1.0, 0.0)}, {0u, 1u}, 1};
}

inline std::vector<constellation> all_constellations() {
    return {bpsk(),    psk(4),   square_qam(4, true), square_qam(4, false), psk(8),
            psk(8, 7), cross32()};
}

struct problem {
    std::int64_t n;
    std::vector<cplx> R;  // n-by-n column-major, upper triangular
    std::vector<cplx> z;
    double n0;
};

// kind 0: well-conditioned, near a point; 1: ill-conditioned (diagonal down to 1e-3);
// 2: z far from every point.
inline problem random_problem(std::mt19937& rng, const constellation& c, std::int64_t n, int kind) {
    std::normal_distribution<double> g(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.2, 2.0);
    problem p{n, std::vector<cplx>(n * n), std::vector<cplx>(n), 0.0};
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i < j; ++i) p.R[i + j * n] = cplx(g(rng), g(rng));
        const double scale =
            kind == 1 ? std::pow(10.0, -3.0 * j / std::max<std::int64_t>(1, n - 1)) : 1.0;
        p.R[j + j * n] = std::polar(u(rng) * scale, 2.0 * M_PI * u(rng));
    }
    std::uniform_int_distribution<std::size_t> pick(0, c.points.size() - 1);
    std::vector<cplx> x(n);
    for (auto& v : x) v = c.points[pick(rng)];
    const double noise = kind == 2 ? 100.0 : 0.5;
    for (std::int64_t i = 0; i < n; ++i) {
        cplx s(noise * g(rng), noise * g(rng));
        for (std::int64_t j = i; j < n; ++j) s += p.R[i + j * n] * x[j];
        p.z[i] = s;
    }
    p.n0 = std::uniform_real_distribution<double>(0.1, 3.0)(rng);
    return p;
}

inline bool label_bit(std::uint32_t label, std::int32_t bits, std::int32_t k) {
    return ((label >> (bits - 1 - k)) & 1u) != 0;
}

// metric(x) in long double, priors unshifted, over the levels i..n-1 of the point indices x.
inline long double metric(const problem& p, const constellation& c, const std::vector<int>& x,
                          const std::vector<double>& La, std::int64_t from = 0) {
    const std::int64_t n = p.n;
    long double d = 0.0L;
    for (std::int64_t i = from; i < n; ++i) {
        lcplx e(p.z[i].real(), p.z[i].imag());
        for (std::int64_t j = i; j < n; ++j) {
            e -= lcplx(p.R[i + j * n].real(), p.R[i + j * n].imag()) *
                 lcplx(c.points[x[j]].real(), c.points[x[j]].imag());
        }
        d += std::norm(e);
    }
    long double m = d / p.n0;
    if (!La.empty()) {
        for (std::int64_t i = from; i < n; ++i) {
            for (std::int32_t k = 0; k < c.bits; ++k) {
                if (label_bit(c.labels[x[i]], c.bits, k)) m += La[i * c.bits + k];
            }
        }
    }
    return m;
}

struct reference {
    std::vector<double> L;      // clipped max-log LLRs
    std::vector<double> scale;  // per bit: 1 + the two metrics it is the difference of
    long double least;          // least metric
};

// Max-log LLRs by enumeration over const^n.
inline reference enumerate(const problem& p, const constellation& c, double clip,
                           const std::vector<double>& La) {
    const std::int64_t n = p.n;
    const std::int64_t B = n * c.bits;
    const auto M = static_cast<int>(c.points.size());
    std::vector<long double> best0(B, 1e4000L), best1(B, 1e4000L);
    reference r{std::vector<double>(B), std::vector<double>(B), 1e4000L};
    std::vector<int> x(n, 0);
    for (;;) {
        const long double m = metric(p, c, x, La);
        r.least = std::min(r.least, m);
        for (std::int64_t i = 0; i < n; ++i) {
            for (std::int32_t k = 0; k < c.bits; ++k) {
                auto& best = label_bit(c.labels[x[i]], c.bits, k) ? best1 : best0;
                best[i * c.bits + k] = std::min(best[i * c.bits + k], m);
            }
        }
        std::int64_t i = 0;
        while (i < n && ++x[i] == M) x[i++] = 0;
        if (i == n) break;
    }
    for (std::int64_t b = 0; b < B; ++b) {
        const long double v = best1[b] - best0[b];
        r.L[b] = static_cast<double>(std::max<long double>(-clip, std::min<long double>(clip, v)));
        r.scale[b] = static_cast<double>(1.0L + std::fabs(best1[b]) + std::fabs(best0[b]));
    }
    return r;
}

// Every L[b] within rounding of the reference.
inline ::testing::AssertionResult llrs_match(const std::vector<double>& L, const reference& r) {
    for (std::size_t b = 0; b < L.size(); ++b) {
        if (!(std::fabs(L[b] - r.L[b]) <= 1e-11 * r.scale[b]) && L[b] != r.L[b]) {
            return ::testing::AssertionFailure()
                   << "bit " << b << ": " << L[b] << " against " << r.L[b];
        }
    }
    return ::testing::AssertionSuccess();
}

inline std::vector<double> random_priors(std::mt19937& rng, std::int64_t B) {
    std::normal_distribution<double> g(0.0, 3.0);
    std::vector<double> La(B);
    for (auto& v : La) v = g(rng);
    return La;
}

}  // namespace complex_test
