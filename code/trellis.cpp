// SPDX-License-Identifier: BSD-3-Clause
// The trellis of a rate-1/n convolutional code and its encoder.
#include "code/trellis.h"

namespace {

std::uint32_t parity(std::uint32_t v) {
    v ^= v >> 16;
    v ^= v >> 8;
    v ^= v >> 4;
    v ^= v >> 2;
    v ^= v >> 1;
    return v & 1u;
}

}  // namespace

conv_fault conv_check_code(const conv_polynomials& p, int* which) {
    *which = 0;
    if (p.K < conv_min_K || p.K > conv_max_K) return conv_fault::K_range;
    const int n = p.generators + (p.F != 0 ? 1 : 0);
    if (p.generators < 1 || n > conv_max_outputs) return conv_fault::outputs;
    const std::uint32_t limit = 1u << p.K;
    for (int j = 0; j < p.generators; ++j) {
        *which = j;
        if (p.G[j] == 0) return conv_fault::G_zero;
        if (p.G[j] >= limit) return conv_fault::G_wide;
    }
    *which = 0;
    if (p.F != 0) {
        if (p.F >= limit) return conv_fault::F_wide;
        if ((p.F & 1u) == 0 || (p.F >> (p.K - 1)) != 1u) return conv_fault::F_taps;
    }
    return conv_fault::none;
}

void conv_build_trellis(const conv_polynomials& p, conv_trellis* t) {
    t->K = p.K;
    t->recursive = p.F != 0;
    t->n = p.generators + (t->recursive ? 1 : 0);
    t->states = 1 << (p.K - 1);
    const std::uint32_t low = (1u << (p.K - 1)) - 1;  // the state's bits of F
    for (int s = 0; s < t->states; ++s) {
        for (std::uint32_t w = 0; w < 2; ++w) {
            const std::uint32_t u =
                t->recursive ? w ^ parity(static_cast<std::uint32_t>(s) & p.F & low) : w;
            const std::uint32_t r = (w << (p.K - 1)) | static_cast<std::uint32_t>(s);
            std::uint32_t out = 0;
            int j = 0;
            if (t->recursive) out |= u << j++;
            for (int g = 0; g < p.generators; ++g) out |= parity(r & p.G[g]) << j++;
            const int b = 2 * s + static_cast<int>(w);
            t->next[b] =
                static_cast<std::int32_t>((w << (p.K - 2)) | (static_cast<std::uint32_t>(s) >> 1));
            t->input[b] = static_cast<std::uint8_t>(u);
            t->output[b] = static_cast<std::uint8_t>(out);
        }
    }
}

std::size_t conv_frame_bits(const conv_trellis& t, std::size_t k, bool terminated) {
    const std::size_t tail = terminated ? static_cast<std::size_t>(t.K - 1) : 0;
    const std::size_t n = static_cast<std::size_t>(t.n);
    if (k > static_cast<std::size_t>(-1) - tail) return 0;
    const std::size_t steps = k + tail;
    if (steps > static_cast<std::size_t>(-1) / n) return 0;
    return steps * n;
}

void conv_encode_frame(const conv_trellis& t, const double* u, std::size_t k, bool terminated,
                       double* c) {
    const std::size_t steps = conv_steps(t, k, terminated);
    int s = 0;
    for (std::size_t i = 0; i < steps; ++i) {
        // an info step takes the branch whose input is u_i; a tail step the one with w = 0
        int b = 2 * s;
        if (i < k && t.input[b] != (u[i] != 0.0 ? 1 : 0)) b += 1;
        for (int j = 0; j < t.n; ++j) c[i * t.n + j] = static_cast<double>((t.output[b] >> j) & 1u);
        s = t.next[b];
    }
}
