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

// The three ways of keeping metrics: log-probabilities joined by max (max-log) or by the
// exact Jacobian logarithm (log-MAP), and scaled probabilities (log-MAP, products and sums).
struct maxlog_metric {
    static constexpr bool linear = false;
    // Metrics only fall by the inputs' magnitudes from step to step and max loses nothing to
    // an offset: normalising every 8th step keeps them as exact (and far from overflow).
    static constexpr std::size_t normalise_every = 8;
    static double zero() { return minus_inf; }
    static double one() { return 0.0; }
    static double weight(double cost) { return cost; }
    static double mul(double a, double b) { return a + b; }
    static double add(double a, double b) { return a > b ? a : b; }
    static double llr(double a, double b) {
        return (a == minus_inf && b == minus_inf) ? 0.0 : a - b;
    }
};
struct jacobian_metric {
    static constexpr bool linear = false;
    static constexpr std::size_t normalise_every = 1;
    static double zero() { return minus_inf; }
    static double one() { return 0.0; }
    static double weight(double cost) { return cost; }
    static double mul(double a, double b) { return a + b; }
    // max*(a, b) = ln(e^a + e^b)
    static double add(double a, double b) {
        const double m = a > b ? a : b;
        if (m == minus_inf) return m;
        return m + std::log1p(std::exp(-std::fabs(a - b)));
    }
    static double llr(double a, double b) {
        return (a == minus_inf && b == minus_inf) ? 0.0 : a - b;
    }
};
struct scaled_metric {
    static constexpr bool linear = true;
    static constexpr std::size_t normalise_every = 1;
    static double zero() { return 0.0; }
    static double one() { return 1.0; }
    static double weight(double cost) { return std::exp(cost); }
    static double mul(double a, double b) { return a * b; }
    static double add(double a, double b) { return a + b; }
    static double llr(double a, double b) {
        return (a == 0.0 && b == 0.0) ? 0.0 : std::log(a) - std::log(b);
    }
};

// An extrinsic LLR plus the bit's own input: +Inf + -Inf is 0.
inline double add_llr(double e, double input) {
    if (std::isinf(e) && std::isinf(input) && (e > 0) != (input > 0)) return 0.0;
    return e + input;
}

// The weight of every pattern of n code bits at one step: weight[d] for the patterns that
// disagree with the signs of L in the bits of d (each such bit costs -|L_j|, as a
// log-probability or as the factor e^-|L_j|); hard gets the pattern of signs (bit j set when
// L_j < 0).
template <class M>
void pattern_weights(const double* L, int n, double* weight, std::uint32_t* hard) {
    std::uint32_t h = 0;
    double q[conv_max_outputs];
    for (int j = 0; j < n; ++j) {
        q[j] = M::weight(-std::fabs(L[j]));
        if (L[j] < 0.0) h |= 1u << j;
    }
    weight[0] = M::one();
    for (std::uint32_t d = 1; d < (1u << n); ++d) {
        weight[d] = M::mul(weight[d & (d - 1)], q[__builtin_ctz(d)]);
    }
    *hard = h;
}

// The weights of the branches of step i: table[key[b]] for branch b (code bits and prior;
// key[b] is its info bit above its n output bits), and wc (code bits only) and wp (prior
// only) when asked for (not null). A tail step allows only the branches with register input
// 0: the caller leaves out the others (odd b), and wp gives them zero().
template <class M>
void branch_weights(const conv_frame& f, std::size_t i, const double* weight, std::uint32_t hard,
                    double* table, double* wc, double* wp) {
    const conv_trellis& t = *f.trellis;
    const int branches = 2 * t.states;
    const std::uint32_t patterns = 1u << t.n;
    // the prior's weight on info bit u = 0 and u = 1
    double prior[2] = {M::one(), M::one()};
    if (i < f.k && f.La != nullptr && f.La[i] != 0.0) {
        prior[f.La[i] < 0.0 ? 0 : 1] = M::weight(-std::fabs(f.La[i]));  // the bit it argues against
    }
    for (std::uint32_t c = 0; c < patterns; ++c) {
        const double w = weight[c ^ hard];
        table[c] = M::mul(w, prior[0]);
        table[patterns + c] = M::mul(w, prior[1]);
    }
    if (wc != nullptr) {
        for (int b = 0; b < branches; ++b) wc[b] = weight[t.output[b] ^ hard];
    }
    if (wp != nullptr) {
        for (int b = 0; b < branches; ++b) wp[b] = prior[t.input[b]];
    }
    if (i >= f.k) {
        for (int b = 1; b < branches; b += 2) {
            if (wp != nullptr) wp[b] = M::zero();
        }
    }
}

// Scales the metrics so that the best state has one() (when any state is possible). The
// largest is found in four lanes (max is exact in any order: the same result, four times
// shorter a chain of dependent steps).
template <class M>
void normalise(double* m, int states) {
    double top = m[0];
    if (states >= 4) {
        double lane[4] = {m[0], m[1], m[2], m[3]};
        for (int s = 4; s < states; s += 4) {
            for (int j = 0; j < 4; ++j) lane[j] = m[s + j] > lane[j] ? m[s + j] : lane[j];
        }
        const double x = lane[0] > lane[1] ? lane[0] : lane[1];
        const double y = lane[2] > lane[3] ? lane[2] : lane[3];
        top = x > y ? x : y;
    } else {
        for (int s = 1; s < states; ++s) top = m[s] > top ? m[s] : top;
    }
    if (top == M::zero() || top == M::one()) return;
    if (M::linear) {
        const double scale = 1.0 / top;
        for (int s = 0; s < states; ++s) m[s] = m[s] * scale;
    } else {
        for (int s = 0; s < states; ++s) m[s] = m[s] - top;
    }
}

struct layout {
    double* beta;  // (steps + 1) * states
    double* alpha;
    double* next_alpha;
    double* wc;
    double* wp;
    double* weight;   // 256
    double* pattern;  // 512
    double* table;    // 512
};

layout lay_out(const conv_trellis& t, std::size_t steps, double* scratch) {
    const std::size_t S = static_cast<std::size_t>(t.states);
    layout l;
    l.beta = scratch;
    l.alpha = l.beta + (steps + 1) * S;
    l.next_alpha = l.alpha + S;
    l.wc = l.next_alpha + S;
    l.wp = l.wc + 2 * S;
    l.weight = l.wp + 2 * S;
    l.pattern = l.weight + 256;
    l.table = l.pattern + 512;
    return l;
}

template <class M>
bool decode(const conv_frame& f, double* scratch, const interrupt_check* check) {
    const conv_trellis& t = *f.trellis;
    const int S = t.states, half = S / 2, n = t.n;
    const std::size_t steps = conv_steps(t, f.k, f.terminated);
    const layout l = lay_out(t, steps, scratch);
    std::uint32_t hard = 0;
    // the branch of each state whose info bit is 0 (the other one carries 1)
    int zero_branch[conv_max_states];
    std::uint16_t key[2 * conv_max_states];
    for (int s = 0; s < S; ++s) zero_branch[s] = 2 * s + (t.input[2 * s] == 0 ? 0 : 1);
    for (int b = 0; b < 2 * S; ++b)
        key[b] = static_cast<std::uint16_t>((t.input[b] << n) | t.output[b]);

    // backward: beta_i(s) = join over the branches from s of weight * beta_{i+1}(next)
    double* end = l.beta + steps * S;
    for (int s = 0; s < S; ++s) end[s] = (!f.terminated || s == 0) ? M::one() : M::zero();
    for (std::size_t i = steps; i-- > 0;) {
        if (i % poll_steps == 0 && interrupt_requested(check)) return false;
        pattern_weights<M>(f.L + i * n, n, l.weight, &hard);
        branch_weights<M>(f, i, l.weight, hard, l.table, nullptr, nullptr);
        const bool tail = i >= f.k;
        const double* bn = l.beta + (i + 1) * S;
        double* bi = l.beta + i * S;
        // states 2h and 2h+1 lead to h and h + half (two at a time: S >= 2)
        for (int h = 0; h < half; ++h) {
            const double x = bn[h], y = bn[h + half];
            const double* T = l.table;
            const double g1 = tail ? M::zero() : T[key[4 * h + 1]];
            const double g3 = tail ? M::zero() : T[key[4 * h + 3]];
            bi[2 * h] = M::add(M::mul(T[key[4 * h]], x), M::mul(g1, y));
            bi[2 * h + 1] = M::add(M::mul(T[key[4 * h + 2]], x), M::mul(g3, y));
        }
        if (i % M::normalise_every == 0) normalise<M>(bi, S);
    }

    // forward, with the outputs of each step
    double* a = l.alpha;
    double* an = l.next_alpha;
    for (int s = 0; s < S; ++s) a[s] = s == 0 ? M::one() : M::zero();
    for (std::size_t i = 0; i < steps; ++i) {
        if (i % poll_steps == 0 && interrupt_requested(check)) return false;
        const double* Li = f.L + i * n;
        pattern_weights<M>(Li, n, l.weight, &hard);
        const bool info_step = f.Lu != nullptr && i < f.k, tail = i >= f.k;
        // With a moderate prior, Lu comes from the terms of the alpha update below: the
        // posterior over every branch, the prior included, and extrinsic = posterior - prior
        // (|La| <= 1000: the subtraction loses at most 1e-13). A known bit's (infinite) or a
        // larger prior is left out of its own sums instead, here.
        const bool merged = info_step && (f.La == nullptr || std::fabs(f.La[i]) <= 1000.0);
        branch_weights<M>(f, i, l.weight, hard, l.table, info_step && !merged ? l.wc : nullptr,
                          f.Lc != nullptr ? l.wp : nullptr);
        const double* bn = l.beta + (i + 1) * S;
        if (info_step && !merged) {
            // two sums of each hypothesis, over the even and the odd states (a fixed order)
            double e0 = M::zero(), o0 = M::zero(), e1 = M::zero(), o1 = M::zero();
            for (int s = 0; s < S; s += 2) {
                const int z = zero_branch[s], zz = zero_branch[s + 1];
                e0 = M::add(e0, M::mul(M::mul(a[s], l.wc[z]), bn[t.next[z]]));
                e1 = M::add(e1, M::mul(M::mul(a[s], l.wc[z ^ 1]), bn[t.next[z ^ 1]]));
                o0 = M::add(o0, M::mul(M::mul(a[s + 1], l.wc[zz]), bn[t.next[zz]]));
                o1 = M::add(o1, M::mul(M::mul(a[s + 1], l.wc[zz ^ 1]), bn[t.next[zz ^ 1]]));
            }
            const double acc0[2] = {e0, o0}, acc1[2] = {e1, o1};
            const double le = M::llr(M::add(acc0[0], acc0[1]), M::add(acc1[0], acc1[1]));
            const double prior = f.La != nullptr ? f.La[i] : 0.0;
            f.Lu[i] = f.extrinsic ? le : add_llr(le, prior);
        }
        if (f.Lc != nullptr) {
            // each output pattern's join over its branches, without the code bits' weights, in
            // two copies (the branches from even and from odd states) joined at the end
            const std::uint32_t patterns = 1u << n;
            double* even = l.pattern;
            double* odd = l.pattern + patterns;
            for (std::uint32_t c = 0; c < 2 * patterns; ++c) l.pattern[c] = M::zero();
            for (int m = 0; m < half; ++m) {
                const double x = a[2 * m], y = a[2 * m + 1], z = bn[m], v = bn[m + half];
                const int b = 4 * m;
                even[t.output[b]] = M::add(even[t.output[b]], M::mul(M::mul(x, l.wp[b]), z));
                odd[t.output[b + 2]] =
                    M::add(odd[t.output[b + 2]], M::mul(M::mul(y, l.wp[b + 2]), z));
                even[t.output[b + 1]] =
                    M::add(even[t.output[b + 1]], M::mul(M::mul(x, l.wp[b + 1]), v));
                odd[t.output[b + 3]] =
                    M::add(odd[t.output[b + 3]], M::mul(M::mul(y, l.wp[b + 3]), v));
            }
            for (std::uint32_t c = 0; c < patterns; ++c) even[c] = M::add(even[c], odd[c]);
            for (int j = 0; j < n; ++j) {
                // the patterns c with bit j 0 and c | bit j, weighted by the other bits
                const std::uint32_t bit = 1u << j, others = ~bit;
                double x0 = M::zero(), x1 = M::zero();
                for (std::uint32_t c = 0; c < patterns; ++c) {
                    if (c & bit) continue;
                    x0 = M::add(x0, M::mul(even[c], l.weight[(c ^ hard) & others]));
                    x1 = M::add(x1, M::mul(even[c | bit], l.weight[((c | bit) ^ hard) & others]));
                }
                const double le = M::llr(x0, x1);
                f.Lc[i * n + j] = f.extrinsic ? le : add_llr(le, Li[j]);
            }
        }
        // alpha_{i+1} of the states m and m + half, both reached from 2m and 2m+1 (register
        // input 0 and 1); with `merged`, each term times beta_{i+1} of the state it reaches
        // joins the sums of its branch's info bit (those from 2m and from 2m+1 apart)
        double sum0[2] = {M::zero(), M::zero()}, sum1[2] = {M::zero(), M::zero()};  // u = 0, 1
        for (int m = 0; m < half; ++m) {
            const double x = a[2 * m], y = a[2 * m + 1];
            const double* T = l.table;
            const double g1 = tail ? M::zero() : T[key[4 * m + 1]];
            const double g3 = tail ? M::zero() : T[key[4 * m + 3]];
            const double c1 = M::mul(x, T[key[4 * m]]), c2 = M::mul(y, T[key[4 * m + 2]]);
            const double d1 = M::mul(x, g1), d2 = M::mul(y, g3);
            an[m] = M::add(c1, c2);
            an[m + half] = M::add(d1, d2);
            if (merged) {
                // branch 4m+w leaves 2m with info bit p xor w, branch 4m+2+w leaves 2m+1 with
                // q xor w (the input bit flips with the register input)
                const double z = bn[m], v = bn[m + half];
                const double e1 = M::mul(c1, z), f1 = M::mul(d1, v), e2 = M::mul(c2, z),
                             f2 = M::mul(d2, v);
                const bool p = t.input[4 * m] != 0, q = t.input[4 * m + 2] != 0;
                sum0[0] = M::add(sum0[0], p ? f1 : e1);
                sum1[0] = M::add(sum1[0], p ? e1 : f1);
                sum0[1] = M::add(sum0[1], q ? f2 : e2);
                sum1[1] = M::add(sum1[1], q ? e2 : f2);
            }
        }
        if (merged) {
            const double s0 = M::add(sum0[0], sum0[1]), s1 = M::add(sum1[0], sum1[1]);
            const double prior = f.La != nullptr ? f.La[i] : 0.0;
            // no codeword at all (known bits elsewhere that contradict): extrinsic 0, as the
            // sums without the prior would give, and posterior = prior
            const bool none = s0 == M::zero() && s1 == M::zero();
            const double post = none ? prior : M::llr(s0, s1);
            f.Lu[i] = f.extrinsic ? (none ? 0.0 : post - prior) : post;
        }
        if (i % M::normalise_every == 0) normalise<M>(an, S);
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
    // at most 2^45 doubles (2^48 bytes, beyond any machine): a thread count times it still
    // fits in size_t, and no product overflows on the way
    const std::size_t limit = std::size_t{1} << 45;
    if (steps + 1 > limit / S) return 0;
    return (steps + 1) * S + 6 * S + 1280;
}

bool conv_decode_frame_log(const conv_frame& f, double* scratch, const interrupt_check* check) {
    if (f.method == conv_method::maxlog) return decode<maxlog_metric>(f, scratch, check);
    return decode<jacobian_metric>(f, scratch, check);
}

// Every input finite and no window of 2K-1 consecutive steps with more than
// conv_linear_range of input magnitude (code bits and priors): then every state metric and
// every term of an output's sums stays above e^-(range + (K-1) ln 4) of the largest, far
// from the underflow of double (see conv_decode_frame).
bool conv_frame_is_linear(const conv_frame& f) {
    const conv_trellis& t = *f.trellis;
    const std::size_t steps = conv_steps(t, f.k, f.terminated), n = static_cast<std::size_t>(t.n);
    const std::size_t window = static_cast<std::size_t>(2 * t.K - 1);
    double ring[2 * conv_max_K] = {};
    double sum = 0.0;
    for (std::size_t i = 0; i < steps; ++i) {
        double p = 0.0;
        for (std::size_t j = 0; j < n; ++j) p += std::fabs(f.L[i * n + j]);
        if (f.La != nullptr && i < f.k) p += std::fabs(f.La[i]);
        if (!(p <= conv_linear_range)) return false;  // also Inf and overflow
        // the sum of the last `window` steps, recomputed from the ring (no drift)
        ring[i % window] = p;
        sum = 0.0;
        for (std::size_t w = 0; w < window; ++w) sum += ring[w];
        if (sum > conv_linear_range) return false;
    }
    return true;
}

bool conv_decode_frame(const conv_frame& f, double* scratch, const interrupt_check* check) {
    if (f.method == conv_method::logmap && conv_frame_is_linear(f)) {
        return decode<scaled_metric>(f, scratch, check);
    }
    return conv_decode_frame_log(f, scratch, check);
}
