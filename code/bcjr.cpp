// SPDX-License-Identifier: BSD-3-Clause
// BCJR over a rate-1/n trellis: a backward pass that stores the state metrics of every step,
// then a forward pass that computes the outputs of each step as it goes.
//
// Metrics are log-probabilities up to a constant per step. A bit with LLR L costs
// -|L| on the branches that disagree with its sign and 0 on the others (ln P(b) less
// ln max(P0, P1)), so that every branch metric is <= 0 and a known bit (|L| = Inf) gives the
// disagreeing branches -Inf: sums never meet +Inf - Inf.
#include "code/bcjr.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

const double minus_inf = -std::numeric_limits<double>::infinity();
constexpr std::size_t poll_steps = 4096;

struct max_join {
    static double join(double a, double b) { return a > b ? a : b; }
};
// The exact Jacobian logarithm ln(e^a + e^b).
struct jacobian_join {
    static double join(double a, double b) {
        const double m = a > b ? a : b;
        if (m == minus_inf) return m;
        return m + std::log1p(std::exp(-std::fabs(a - b)));
    }
};

// a - b for two log-probabilities of a bit's hypotheses: 0 when both are impossible.
inline double llr_of(double a, double b) {
    return (a == minus_inf && b == minus_inf) ? 0.0 : a - b;
}
// An extrinsic LLR plus the bit's own input: +Inf + -Inf is 0.
inline double add_llr(double e, double input) {
    if (std::isinf(e) && std::isinf(input) && (e > 0) != (input > 0)) return 0.0;
    return e + input;
}

// The cost of every pattern of n code bits at one step: cost[d] for the patterns that
// disagree with the signs of L in the bits of d (each such bit costs -|L_j|); hard gets the
// pattern of signs (bit j set when L_j < 0).
void pattern_costs(const double* L, int n, double* cost, std::uint32_t* hard) {
    std::uint32_t h = 0;
    double q[conv_max_outputs];
    for (int j = 0; j < n; ++j) {
        q[j] = -std::fabs(L[j]);
        if (L[j] < 0.0) h |= 1u << j;
    }
    cost[0] = 0.0;
    for (std::uint32_t d = 1; d < (1u << n); ++d) {
        cost[d] = cost[d & (d - 1)] + q[__builtin_ctz(d)];
    }
    *hard = h;
}

// The prior's cost on each branch of step i (pp) and the code bits' (gc): a tail step allows
// only the branches with register input 0.
void branch_costs(const conv_frame& f, std::size_t i, const double* cost, std::uint32_t hard,
                  double* gc, double* pp) {
    const conv_trellis& t = *f.trellis;
    const int branches = 2 * t.states;
    for (int b = 0; b < branches; ++b) gc[b] = cost[t.output[b] ^ hard];
    if (i >= f.k) {
        for (int b = 0; b < branches; b += 2) {
            pp[b] = 0.0;
            pp[b + 1] = minus_inf;
        }
    } else if (f.La == nullptr || f.La[i] == 0.0) {
        for (int b = 0; b < branches; ++b) pp[b] = 0.0;
    } else {
        const double c = -std::fabs(f.La[i]);
        const std::uint8_t bad = f.La[i] < 0.0 ? 0 : 1;  // the info bit the prior argues against
        for (int b = 0; b < branches; ++b) pp[b] = t.input[b] == bad ? c : 0.0;
    }
}

// Subtracts the largest metric (when one is finite) so that the best state has 0.
void normalise(double* m, int states) {
    double top = minus_inf;
    for (int s = 0; s < states; ++s) top = m[s] > top ? m[s] : top;
    if (top == minus_inf || top == 0.0) return;
    for (int s = 0; s < states; ++s) m[s] = m[s] - top;
}

struct layout {
    double* beta;  // (steps + 1) * states
    double* alpha;
    double* next_alpha;
    double* gc;
    double* pp;
    double* gam;
    double* cost;     // 256
    double* pattern;  // 256
};

layout lay_out(const conv_trellis& t, std::size_t steps, double* scratch) {
    const std::size_t S = static_cast<std::size_t>(t.states);
    layout l;
    l.beta = scratch;
    l.alpha = l.beta + (steps + 1) * S;
    l.next_alpha = l.alpha + S;
    l.gc = l.next_alpha + S;
    l.pp = l.gc + 2 * S;
    l.gam = l.pp + 2 * S;
    l.cost = l.gam + 2 * S;
    l.pattern = l.cost + 256;
    return l;
}

template <class J>
bool decode_log(const conv_frame& f, double* scratch, const interrupt_check* check) {
    const conv_trellis& t = *f.trellis;
    const int S = t.states, half = S / 2, n = t.n, shift = t.K - 2;
    const std::size_t steps = conv_steps(t, f.k, f.terminated);
    const layout l = lay_out(t, steps, scratch);
    std::uint32_t hard = 0;

    // backward: beta_i(s) = join over branches of gam + beta_{i+1}(next)
    double* end = l.beta + steps * S;
    for (int s = 0; s < S; ++s) end[s] = (!f.terminated || s == 0) ? 0.0 : minus_inf;
    for (std::size_t i = steps; i-- > 0;) {
        if (i % poll_steps == 0 && interrupt_requested(check)) return false;
        pattern_costs(f.L + i * n, n, l.cost, &hard);
        branch_costs(f, i, l.cost, hard, l.gc, l.pp);
        const double* bn = l.beta + (i + 1) * S;
        double* bi = l.beta + i * S;
        for (int s = 0; s < S; ++s) {
            const int h = s >> 1;
            const double b0 = (l.gc[2 * s] + l.pp[2 * s]) + bn[h];
            const double b1 = (l.gc[2 * s + 1] + l.pp[2 * s + 1]) + bn[h + half];
            bi[s] = J::join(b0, b1);
        }
        normalise(bi, S);
    }

    // forward, with the outputs of each step
    double* a = l.alpha;
    double* an = l.next_alpha;
    for (int s = 0; s < S; ++s) a[s] = s == 0 ? 0.0 : minus_inf;
    for (std::size_t i = 0; i < steps; ++i) {
        if (i % poll_steps == 0 && interrupt_requested(check)) return false;
        const double* Li = f.L + i * n;
        pattern_costs(Li, n, l.cost, &hard);
        branch_costs(f, i, l.cost, hard, l.gc, l.pp);
        const double* bn = l.beta + (i + 1) * S;
        if (f.Lu != nullptr && i < f.k) {
            double acc[2] = {minus_inf, minus_inf};
            for (int b = 0; b < 2 * S; ++b) {
                const double e = (a[b >> 1] + l.gc[b]) + bn[t.next[b]];
                acc[t.input[b]] = J::join(acc[t.input[b]], e);
            }
            const double le = llr_of(acc[0], acc[1]);
            const double prior = f.La != nullptr ? f.La[i] : 0.0;
            f.Lu[i] = f.extrinsic ? le : add_llr(le, prior);
        }
        if (f.Lc != nullptr) {
            const std::uint32_t patterns = 1u << n;
            for (std::uint32_t c = 0; c < patterns; ++c) l.pattern[c] = minus_inf;
            for (int b = 0; b < 2 * S; ++b) {
                const double e = (a[b >> 1] + l.pp[b]) + bn[t.next[b]];
                l.pattern[t.output[b]] = J::join(l.pattern[t.output[b]], e);
            }
            for (int j = 0; j < n; ++j) {
                double x[2] = {minus_inf, minus_inf};
                const std::uint32_t others = ~(1u << j);
                for (std::uint32_t c = 0; c < patterns; ++c) {
                    const double e = l.pattern[c] + l.cost[(c ^ hard) & others];
                    x[(c >> j) & 1u] = J::join(x[(c >> j) & 1u], e);
                }
                const double le = llr_of(x[0], x[1]);
                f.Lc[i * n + j] = f.extrinsic ? le : add_llr(le, Li[j]);
            }
        }
        for (int b = 0; b < 2 * S; ++b) l.gam[b] = l.gc[b] + l.pp[b];
        for (int s = 0; s < S; ++s) {
            const int m = s & (half - 1), w = s >> shift;
            an[s] = J::join(a[2 * m] + l.gam[4 * m + w], a[2 * m + 1] + l.gam[4 * m + 2 + w]);
        }
        normalise(an, S);
        double* tmp = a;
        a = an;
        an = tmp;
    }
    return true;
}

}  // namespace

std::size_t conv_decode_scratch(const conv_trellis& t, std::size_t k, bool terminated) {
    const std::size_t bits = conv_frame_bits(t, k, terminated);
    if (bits == 0 && k != 0) return 0;
    const std::size_t S = static_cast<std::size_t>(t.states);
    const std::size_t steps = conv_steps(t, k, terminated);
    const std::size_t limit = static_cast<std::size_t>(-1) / sizeof(double) / 2;
    if (steps + 1 > limit / S) return 0;
    return (steps + 1) * S + 8 * S + 512;
}

bool conv_decode_frame_log(const conv_frame& f, double* scratch, const interrupt_check* check) {
    if (f.method == conv_method::maxlog) return decode_log<max_join>(f, scratch, check);
    return decode_log<jacobian_join>(f, scratch, check);
}

bool conv_frame_is_linear(const conv_frame&) {
    return false;
}

bool conv_decode_frame(const conv_frame& f, double* scratch, const interrupt_check* check) {
    return conv_decode_frame_log(f, scratch, check);
}
