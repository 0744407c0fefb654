// SPDX-License-Identifier: BSD-3-Clause
// Independent references for the convolutional code tests: the encoder as a polynomial
// convolution over GF(2), a posteriori LLRs by enumerating every codeword (log-MAP and
// max-log), and a Viterbi decoder.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "code/trellis.h"

struct conv_reference_code {
    int K;
    std::vector<std::uint32_t> G;  // binary values of the octal generators
    std::uint32_t F;               // 0: feedforward
    int n() const { return static_cast<int>(G.size()) + (F != 0 ? 1 : 0); }
};

// The code bits of u by convolution: tap i of a polynomial (bit K-1-i) weights the register
// input i steps ago; the tail inputs make the register input 0 (terminated).
inline std::vector<int> reference_encode(const conv_reference_code& c, const std::vector<int>& u,
                                         bool terminated) {
    const int K = c.K;
    const std::size_t steps = u.size() + (terminated ? K - 1 : 0);
    std::vector<int> w(steps, 0), bits;
    auto tap = [K](std::uint32_t p, int i) { return static_cast<int>((p >> (K - 1 - i)) & 1u); };
    for (std::size_t t = 0; t < steps; ++t) {
        int fb = 0;  // sum of f_i w_{t-i}, i >= 1
        for (int i = 1; i < K; ++i)
            if (t >= static_cast<std::size_t>(i)) fb ^= tap(c.F, i) & w[t - i];
        int ut = 0;
        if (t < u.size()) {
            ut = u[t];
            w[t] = c.F != 0 ? ut ^ fb : ut;
        } else {
            w[t] = 0;
            ut = c.F != 0 ? fb : 0;
        }
        if (c.F != 0) bits.push_back(ut);
        for (std::uint32_t g : c.G) {
            int p = 0;
            for (int i = 0; i < K; ++i)
                if (t >= static_cast<std::size_t>(i)) p ^= tap(g, i) & w[t - i];
            bits.push_back(p);
        }
    }
    return bits;
}

// ln P(b) for LLR L = ln P(0)/P(1): -ln(1 + e^{-(1-2b)L}), safe for any magnitude.
inline double log_prob(int b, double L) {
    const double x = b == 0 ? -L : L;  // -ln(1 + e^x)
    if (x == -std::numeric_limits<double>::infinity()) return 0.0;
    if (x > 0) return -(x + std::log1p(std::exp(-x)));
    return -std::log1p(std::exp(x));
}

struct enumerated_llrs {
    std::vector<double> Lu, Lc;
};

// Every codeword of k info bits: posterior (extrinsic = false) or extrinsic LLRs by log-sum-exp
// (logmap) or max. The extrinsic LLR of a bit leaves its own term out of every metric. With
// correlation = true the metric is sum (1-2b) L / 2 (max-log only; finite inputs).
inline enumerated_llrs enumerate_app(const conv_reference_code& c, std::size_t k, bool terminated,
                                     const std::vector<double>& L, const std::vector<double>& La,
                                     bool logmap, bool extrinsic, bool correlation = false) {
    const double ninf = -std::numeric_limits<double>::infinity();
    const std::size_t nb = L.size();
    std::vector<std::vector<double>> u0(k, std::vector<double>()), u1(k), c0(nb), c1(nb);
    auto term = [correlation](int b, double l) {
        return correlation ? (b == 0 ? l / 2 : -l / 2) : log_prob(b, l);
    };
    for (std::uint64_t m = 0; m < (std::uint64_t{1} << k); ++m) {
        std::vector<int> u(k);
        for (std::size_t i = 0; i < k; ++i) u[i] = static_cast<int>((m >> i) & 1u);
        const std::vector<int> bits = reference_encode(c, u, terminated);
        std::vector<double> tu(k), tc(nb);
        for (std::size_t i = 0; i < k; ++i) tu[i] = La.empty() ? 0.0 : term(u[i], La[i]);
        for (std::size_t j = 0; j < nb; ++j) tc[j] = term(bits[j], L[j]);
        // the metric without term x: the sum of the others (never Inf - Inf)
        auto without = [&](int skip_u, long skip_c) {
            double s = 0;
            for (std::size_t i = 0; i < k; ++i)
                if (static_cast<long>(i) != skip_u) s += tu[i];
            for (std::size_t j = 0; j < nb; ++j)
                if (static_cast<long>(j) != skip_c) s += tc[j];
            return s;
        };
        const double all = without(-1, -1);
        for (std::size_t i = 0; i < k; ++i)
            (u[i] ? u1 : u0)[i].push_back(extrinsic ? without(static_cast<int>(i), -1) : all);
        for (std::size_t j = 0; j < nb; ++j)
            (bits[j] ? c1 : c0)[j].push_back(extrinsic ? without(-1, static_cast<long>(j)) : all);
    }
    auto join = [&](const std::vector<double>& v) {
        double top = ninf;
        for (double x : v) top = std::max(top, x);
        if (!logmap || top == ninf) return top;
        double s = 0;
        for (double x : v) s += std::exp(x - top);
        return top + std::log(s);
    };
    auto llr = [&](const std::vector<double>& a, const std::vector<double>& b) {
        const double x = join(a), y = join(b);
        return (x == ninf && y == ninf) ? 0.0 : x - y;
    };
    enumerated_llrs r;
    for (std::size_t i = 0; i < k; ++i) r.Lu.push_back(llr(u0[i], u1[i]));
    for (std::size_t j = 0; j < nb; ++j) r.Lc.push_back(llr(c0[j], c1[j]));
    return r;
}

// The info bits of the codeword with the largest correlation sum (1-2b)L (a terminated frame).
inline std::vector<int> viterbi(const conv_reference_code& c, std::size_t k,
                                const std::vector<double>& L) {
    const int K = c.K, S = 1 << (K - 1), n = c.n();
    const double ninf = -std::numeric_limits<double>::infinity();
    const std::size_t steps = k + K - 1;
    std::vector<double> metric(S, ninf), next(S);
    metric[0] = 0;
    std::vector<std::vector<int>> from(steps, std::vector<int>(S, -1)),
        input(steps, std::vector<int>(S, 0));
    auto par = [](std::uint32_t v) { return __builtin_popcount(v) & 1; };
    const std::uint32_t low = (1u << (K - 1)) - 1;
    for (std::size_t t = 0; t < steps; ++t) {
        std::fill(next.begin(), next.end(), ninf);
        for (int s = 0; s < S; ++s) {
            if (metric[s] == ninf) continue;
            for (int u = 0; u < 2; ++u) {
                const int fb = c.F != 0 ? par(static_cast<std::uint32_t>(s) & c.F & low) : 0;
                const int w = c.F != 0 ? u ^ fb : u;
                if (t >= k && w != 0) continue;
                if (t >= k && c.F == 0 && u != 0) continue;
                const std::uint32_t r =
                    (static_cast<std::uint32_t>(w) << (K - 1)) | static_cast<std::uint32_t>(s);
                std::vector<int> bits;
                if (c.F != 0) bits.push_back(u);
                for (std::uint32_t g : c.G) bits.push_back(par(r & g));
                double m = metric[s];
                for (int j = 0; j < n; ++j) m += (bits[j] ? -1.0 : 1.0) * L[t * n + j];
                const int ns = static_cast<int>(r >> 1);
                if (m > next[ns]) {
                    next[ns] = m;
                    from[t][ns] = s;
                    input[t][ns] = u;
                }
            }
        }
        metric = next;
    }
    std::vector<int> u(k);
    int s = 0;
    for (std::size_t t = steps; t-- > 0;) {
        if (t < k) u[t] = input[t][s];
        s = from[t][s];
    }
    return u;
}
