// SPDX-License-Identifier: BSD-3-Clause
// The complex-level searches (channel/) on tiny shapes read from the bytes, against
// enumeration over const^n: find_complex_llrs and K-best with K >= M^n give the max-log
// LLRs (clipped) and a point of least metric; K-best with a short list gives LLRs whose
// signs agree with its best path and whose magnitudes are at most clip.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "channel/complex_search.h"
#include "channel/kbest.h"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

struct reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
    // a value in [-8, 8) in steps of 1/16
    double value() { return static_cast<std::int8_t>(byte()) / 16.0; }
};

bool bit_of(std::uint32_t label, std::int32_t bits, std::int32_t k) {
    return ((label >> (bits - 1 - k)) & 1u) != 0;
}

void fail(const char* what, std::int64_t b, double got, double want) {
    std::fprintf(stderr, "%s: bit %lld: %.17g against %.17g\n", what, static_cast<long long>(b),
                 got, want);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    reader in{data, size};
    const std::int64_t n = 1 + in.byte() % 3;
    const std::int32_t bits = 1 + in.byte() % 4;
    const std::int64_t M = std::int64_t{1} << bits;
    std::vector<double> points(2 * M);
    for (double& v : points) v = in.value();
    std::vector<std::uint32_t> labels(M);
    for (std::int64_t m = 0; m < M; ++m) labels[m] = static_cast<std::uint32_t>(m);
    for (std::int64_t m = M - 1; m > 0; --m) std::swap(labels[m], labels[in.byte() % (m + 1)]);
    std::vector<double> R(2 * n * n, 0.0), z(2 * n);
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i <= j; ++i) {
            R[2 * (i + j * n)] = in.value();
            R[2 * (i + j * n) + 1] = in.value();
        }
        if (R[2 * (j + j * n)] == 0.0 && R[2 * (j + j * n) + 1] == 0.0) R[2 * (j + j * n)] = 1.0;
    }
    for (double& v : z) v = 4.0 * in.value();
    const double n0 = (1 + in.byte()) / 32.0;
    const double clips[] = {0.0, 0.25, 1.0, 3.0, 20.0, inf, inf, inf};
    const double clip = clips[in.byte() % 8];
    const std::int64_t B = n * bits;
    std::vector<double> La;
    if (in.byte() % 2) {
        for (std::int64_t b = 0; b < B; ++b) La.push_back(in.value());
    }
    const std::int64_t K_small = 1 + in.byte() % 8;

    // enumeration: per bit the least metric with the bit 0 and 1, and a tolerance from the
    // size of the terms
    std::int64_t leaves = 1;
    for (std::int64_t i = 0; i < n; ++i) leaves *= M;
    std::vector<long double> best0(B, 1e4000L), best1(B, 1e4000L);
    long double least = 1e4000L, scale = 1.0L;
    std::vector<std::int64_t> x(n, 0);
    const auto metric_of = [&](const std::vector<std::int64_t>& s, long double* size_of) {
        long double d = 0.0L, t = 0.0L;
        for (std::int64_t i = 0; i < n; ++i) {
            long double er = z[2 * i], ei = z[2 * i + 1], mag = std::fabs(er) + std::fabs(ei);
            for (std::int64_t j = i; j < n; ++j) {
                const long double rr = R[2 * (i + j * n)], ri = R[2 * (i + j * n) + 1];
                const long double pr = points[2 * s[j]], pi = points[2 * s[j] + 1];
                er -= rr * pr - ri * pi;
                ei -= rr * pi + ri * pr;
                mag += (std::fabs(rr) + std::fabs(ri)) * (std::fabs(pr) + std::fabs(pi));
            }
            d += er * er + ei * ei;
            t += mag * mag;
        }
        long double m = d / n0;
        t = t / n0;
        for (std::int64_t i = 0; i < n && !La.empty(); ++i) {
            for (std::int32_t k = 0; k < bits; ++k) {
                if (bit_of(labels[s[i]], bits, k)) m += La[i * bits + k];
                t += std::fabs(La[i * bits + k]);
            }
        }
        if (size_of != nullptr) *size_of = t;
        return m;
    };
    for (std::int64_t leaf = 0; leaf < leaves; ++leaf) {
        long double t;
        const long double m = metric_of(x, &t);
        scale = std::max(scale, 1.0L + t);
        least = std::min(least, m);
        for (std::int64_t i = 0; i < n; ++i) {
            for (std::int32_t k = 0; k < bits; ++k) {
                auto& best = bit_of(labels[x[i]], bits, k) ? best1 : best0;
                best[i * bits + k] = std::min(best[i * bits + k], m);
            }
        }
        for (std::int64_t i = 0; i < n && ++x[i] == M; ++i) x[i] = 0;
    }
    const double tol = static_cast<double>(1e-12L * scale);

    const complex_alphabet a{M, bits, points.data(), labels.data()};
    const double* la = La.empty() ? nullptr : La.data();
    std::vector<double> L(B);
    std::vector<std::int32_t> idx(n);
    std::int64_t nodes = 0;
    const auto check_maxlog = [&](const char* what) {
        for (std::int64_t b = 0; b < B; ++b) {
            const long double v = best1[b] - best0[b];
            const double want =
                static_cast<double>(std::max<long double>(-clip, std::min<long double>(clip, v)));
            if (!(std::fabs(L[b] - want) <= tol) && L[b] != want) fail(what, b, L[b], want);
        }
        std::vector<std::int64_t> s(idx.begin(), idx.end());
        for (std::int64_t i = 0; i < n; ++i) {
            if (s[i] < 0 || s[i] >= M) fail(what, i, s[i], -1);
        }
        const long double m = metric_of(s, nullptr);
        if (!(std::fabs(static_cast<double>(m - least)) <= tol)) {
            fail(what, -1, static_cast<double>(m), static_cast<double>(least));
        }
    };

    std::vector<double> scratch(complex_search_scratch_size(n, M));
    if (find_complex_llrs(z.data(), R.data(), n, a, n0, clip, la, L.data(), idx.data(), &nodes,
                          scratch.data()) != search_status::found) {
        fail("find_complex_llrs status", -1, 0, 0);
    }
    check_maxlog("find_complex_llrs");

    scratch.assign(kbest_scratch_size(n, M, leaves), 0.0);
    kbest_llrs(z.data(), R.data(), n, a, leaves, n0, clip, la, L.data(), idx.data(), &nodes,
               scratch.data());
    check_maxlog("kbest_llrs, full list");

    scratch.assign(kbest_scratch_size(n, M, K_small), 0.0);
    kbest_llrs(z.data(), R.data(), n, a, K_small, n0, clip, la, L.data(), idx.data(), &nodes,
               scratch.data());
    for (std::int64_t b = 0; b < B; ++b) {
        const bool one = bit_of(labels[idx[b / bits]], bits, static_cast<std::int32_t>(b % bits));
        if (!(std::fabs(L[b]) <= clip) || (one ? L[b] > 0.0 : L[b] < 0.0)) {
            fail("kbest_llrs, short list", b, L[b], clip);
        }
    }
    return 0;
}
