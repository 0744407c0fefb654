// SPDX-License-Identifier: BSD-3-Clause
// BCJR over a rate-1/n trellis: a backward pass that stores the state metrics of every step,
// then a forward pass that computes the outputs of each step as it goes.
//
// Metrics are log-probabilities up to a constant per step. A bit with LLR L costs
// -|L| on the branches that disagree with its sign and 0 on the others (ln P(b) less
// ln max(P0, P1)), so that every branch metric is <= 0 and a known bit (|L| = Inf) gives the
// disagreeing branches -Inf: sums never meet +Inf - Inf.
#include "code/bcjr.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

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

// The code-bit LLRs of one step from the join of each output pattern over its branches
// (without the code bits' weights): for bit j, the join over the patterns with bit j 0 and
// with bit j 1, each weighted by its other bits.
template <class M>
void code_bit_llrs(const double* pattern, const double* weight, std::uint32_t hard, int n,
                   const double* Li, bool extrinsic, double* out) {
    const std::uint32_t patterns = 1u << n;
    for (int j = 0; j < n; ++j) {
        const std::uint32_t bit = 1u << j, others = ~bit;
        double x0 = M::zero(), x1 = M::zero();
        for (std::uint32_t c = 0; c < patterns; ++c) {
            if (c & bit) continue;
            x0 = M::add(x0, M::mul(pattern[c], weight[(c ^ hard) & others]));
            x1 = M::add(x1, M::mul(pattern[c | bit], weight[((c | bit) ^ hard) & others]));
        }
        const double le = M::llr(x0, x1);
        out[j] = extrinsic ? le : add_llr(le, Li[j]);
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
    double* factors;  // steps * (n + 1): the vector log-MAP path's e^-|L_j| and e^-|La| by step
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
    l.factors = l.table + 512;
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
            code_bit_llrs<M>(even, l.weight, hard, n, Li, f.extrinsic, f.Lc + i * n);
        }
        // alpha_{i+1} of the states m and m + half, both reached from 2m and 2m+1 (register
        // input 0 and 1); with `merged`, each term times beta_{i+1} of the state it reaches
        // joins the sums of its branch's info bit: in the log domain those from 2m and from
        // 2m+1 apart; as scaled probabilities in four lanes, state m in lane m mod 4 (the
        // term from 2m, then the one from 2m+1), joined as (0 + 1) + (2 + 3): the order of
        // the vector path, which computes four butterflies at a time
        double sum0[4] = {M::zero(), M::zero(), M::zero(), M::zero()};  // u = 0
        double sum1[4] = {M::zero(), M::zero(), M::zero(), M::zero()};  // u = 1
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
                const int l0 = M::linear ? (m & 3) : 0, l1 = M::linear ? l0 : 1;
                sum0[l0] = M::add(sum0[l0], p ? f1 : e1);
                sum1[l0] = M::add(sum1[l0], p ? e1 : f1);
                sum0[l1] = M::add(sum0[l1], q ? f2 : e2);
                sum1[l1] = M::add(sum1[l1], q ? e2 : f2);
            }
        }
        if (merged) {
            const double s0 = M::add(M::add(sum0[0], sum0[1]), M::add(sum0[2], sum0[3]));
            const double s1 = M::add(M::add(sum1[0], sum1[1]), M::add(sum1[2], sum1[3]));
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

// The decoders of the frames that most calls bring (codes with K >= 4; Lu wanted, and Lc only
// for max-log at rates down to 1/3) in vectors of four butterflies: max-log (priors of at
// most 1000 in magnitude) with the same sums in the same order as decode<maxlog_metric>, and
// max, which is exact in any order (no metric is NaN or -0); log-MAP as scaled probabilities
// (frames that conv_frame_is_linear takes) with the same products and sums in the same order as
// decode<scaled_metric> (its sums of each hypothesis run in the four lanes of these vectors). The
// results equal those paths bit for bit. Built twice on x86-64 (AVX2 and the baseline SSE2, chosen
// at the first call); elsewhere the baseline only.
#if defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 12)
#define LATBOX_BCJR_VECTORS 1
#pragma GCC diagnostic push
// the vector helpers are inlined into each build of the decoder: no call crosses the ABI
#pragma GCC diagnostic ignored "-Wpsabi"
typedef double v4d __attribute__((vector_size(32)));
typedef std::int64_t v4l __attribute__((vector_size(32)));
// inlined into each build of decode_vectors, so that each runs with its own instructions
#define LATBOX_INLINE inline __attribute__((always_inline))

LATBOX_INLINE v4d load4(const double* p) {
    v4d v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
LATBOX_INLINE void store4(double* p, const v4d& v) {
    __builtin_memcpy(p, &v, sizeof v);
}
LATBOX_INLINE v4d splat(double x) {
    return v4d{x, x, x, x};
}
// m ? b : a lane by lane (m all ones or all zeros), exact: bits are only moved
LATBOX_INLINE v4d pick(const v4l& m, const v4d& b, const v4d& a) {
    return m < 0 ? b : a;  // the masks are all ones or all zeros: the sign bit decides
}
// the scalar path's join: a > b ? a : b
LATBOX_INLINE v4d vmax(const v4d& a, const v4d& b) {
    return a > b ? a : b;
}

// The metrics' product and sum as vectors: + and max (max-log), * and + (scaled).
template <bool Linear>
LATBOX_INLINE v4d vmul(const v4d& a, const v4d& b) {
    if (Linear) return a * b;
    return a + b;
}
template <bool Linear>
LATBOX_INLINE v4d vadd(const v4d& a, const v4d& b) {
    if (Linear) return a + b;
    return vmax(a, b);
}

// normalise<M> four states at a time (S >= 8): the same top, the same differences (max-log)
// or the same products by 1/top (scaled)
template <bool Linear>
LATBOX_INLINE void normalise4(double* m, int states) {
    v4d top = load4(m);
    for (int s = 4; s < states; s += 4) top = vmax(load4(m + s), top);
    const double t = std::max(std::max(top[0], top[1]), std::max(top[2], top[3]));
    if (Linear) {
        if (t == 0.0 || t == 1.0) return;
        const v4d scale = splat(1.0 / t);
        for (int s = 0; s < states; s += 4) store4(m + s, load4(m + s) * scale);
        return;
    }
    if (t == minus_inf || t == 0.0) return;
    const v4d tt = splat(t);
    for (int s = 0; s < states; s += 4) store4(m + s, load4(m + s) - tt);
}

// The keys (info bit above the N code bits) of a butterfly's four branches 4h + r, r = 2e + w
// (from state 2h + e with register input w), are key[4h] xor key[r]: both are linear over
// GF(2) in the register's bits and key[0] is 0. mask[j * half + h]: bit j of key[4h] as a lane
// mask (j = N: the info bit); delta[r]: key[r].
template <int N>
struct butterfly_masks {
    std::int64_t mask[(N + 1) * (conv_max_states / 2)];
    std::int64_t pattern[conv_max_states / 2];  // the output bits of branch 4h
    std::uint32_t delta[4];
    v4l flips[4][N + 1];  // bit j of delta[r] as a lane mask
};

// Max-log code-bit outputs of rates up to 1/vector_lc_max in the vector path: the join of
// each output pattern over the branches costs a compare per pattern and branch kind.
constexpr int vector_lc_max = 3;

// Weights of one step as vectors: bit j's weight is A[j] when the branch's bit is 0, B[j]
// when it is 1, and D[r][j] = A[j] xor B[j] where bit j of delta[r] is set (else 0), so that
// the weight of branch 4h + r is that of branch 4h with its bits flipped.
template <int N>
struct step_vectors {
    v4d A[N + 1], B[N + 1];
    v4l D[4][N + 1];
};

LATBOX_INLINE v4d flip(const v4d& x, const v4l& d) {
    return reinterpret_cast<v4d>(reinterpret_cast<v4l>(x) ^ d);
}

// The branch weights of four butterflies (h = 4g .. 4g+3) for r = 0..3: the code bits'
// weights joined from bit N-1 down to bit 0 (each bit adds -|L_j| when the branch disagrees
// with the sign of L_j, else +0; as scaled probabilities it multiplies by e^-|L_j| or by 1:
// the sums and products of pattern_weights), then the prior's weight.
template <int N, bool Same, bool Linear>
LATBOX_INLINE void weights4(const butterfly_masks<N>& bm, const step_vectors<N>& sv, int half,
                            int h, v4d* T) {
    v4d base[N + 1];
#pragma GCC unroll 9
    for (int j = 0; j <= N; ++j) {
        v4l mj;
        __builtin_memcpy(&mj, bm.mask + j * half + h, sizeof mj);
        base[j] = pick(mj, sv.B[j], sv.A[j]);
    }
    if (Same) {
        // branches 4h+1 and 4h+2 flip the same code bits, 4h+3 none: two sums of code bits
        v4d w0 = base[N - 1], w1 = flip(base[N - 1], sv.D[1][N - 1]);
#pragma GCC unroll 8
        for (int j = N - 2; j >= 0; --j) {
            w0 = vmul<Linear>(w0, base[j]);
            w1 = vmul<Linear>(w1, flip(base[j], sv.D[1][j]));
        }
        T[0] = vmul<Linear>(w0, base[N]);
        T[1] = vmul<Linear>(w1, flip(base[N], sv.D[1][N]));
        T[2] = vmul<Linear>(w1, flip(base[N], sv.D[2][N]));
        T[3] = vmul<Linear>(w0, flip(base[N], sv.D[3][N]));
        return;
    }
    {
        v4d w = base[N - 1];
#pragma GCC unroll 8
        for (int j = N - 2; j >= 0; --j) w = vmul<Linear>(w, base[j]);
        T[0] = vmul<Linear>(w, base[N]);
    }
#pragma GCC unroll 3
    for (int r = 1; r < 4; ++r) {
        v4d w = flip(base[N - 1], sv.D[r][N - 1]);
#pragma GCC unroll 8
        for (int j = N - 2; j >= 0; --j) w = vmul<Linear>(w, flip(base[j], sv.D[r][j]));
        T[r] = vmul<Linear>(w, flip(base[N], sv.D[r][N]));
    }
}

// As scaled probabilities the factors e^-|L_j| and e^-|La| of step i are computed once, in
// the backward pass (fill), kept in factors (N + 1 per step) and read in the forward pass.
template <int N, bool Linear>
LATBOX_INLINE void step_weights(const conv_frame& f, std::size_t i, const butterfly_masks<N>& bm,
                                double* factors, bool fill, step_vectors<N>* sv) {
    const double* L = f.L + i * N;
    double* e = factors + i * (N + 1);
    const double agree = Linear ? 1.0 : 0.0;
    double a[N + 1], b[N + 1];
#pragma GCC unroll 8
    for (int j = 0; j < N; ++j) {
        // pattern_weights' sum 0 + -|L_j| (+0 for 0), or its factor e^-|L_j|
        double q = 0.0 - std::fabs(L[j]);
        if (Linear) {
            if (fill) e[j] = std::exp(-std::fabs(L[j]));
            q = e[j];
        }
        const bool one = L[j] < 0.0;  // the hard decision: a 1 agrees
        a[j] = one ? q : agree;
        b[j] = one ? agree : q;
    }
    a[N] = b[N] = agree;  // the prior's weight on u = 0 and u = 1
    if (i < f.k && f.La != nullptr && f.La[i] != 0.0) {
        double q = -std::fabs(f.La[i]);
        if (Linear) {
            if (fill) e[N] = std::exp(-std::fabs(f.La[i]));
            q = e[N];
        }
        (f.La[i] < 0.0 ? a[N] : b[N]) = q;
    }
#pragma GCC unroll 9
    for (int j = 0; j <= N; ++j) {
        sv->A[j] = splat(a[j]);
        sv->B[j] = splat(b[j]);
        const v4l x = reinterpret_cast<v4l>(sv->A[j]) ^ reinterpret_cast<v4l>(sv->B[j]);
#pragma GCC unroll 3
        for (int r = 1; r < 4; ++r) sv->D[r][j] = x & bm.flips[r][j];
    }
}

// The max-log join of four butterflies' branches into the output patterns (pat[c]: lane by
// lane, the branches whose output bits are c): branch 4h+r has (alpha of its state + its
// prior's weight) + beta of the state it reaches and the output bits of branch 4h xor
// those of r (delta[r]); a tail step has only the branches with register input 0 (r = 0, 2).
// With Same, branches r = 0, 3 share the output bits of 4h and r = 1, 2 those of 4h xor
// delta[1]: each pair is joined first (max is exact in any order).
template <int N, bool Same>
LATBOX_INLINE void code_patterns4(const butterfly_masks<N>& bm, const step_vectors<N>& sv, int half,
                                  int h, bool tail, const v4d& x, const v4d& y, const v4d& z,
                                  const v4d& v, v4d* pat) {
    constexpr std::uint32_t low = (1u << N) - 1u;  // the output bits of a key
    const v4d none = splat(minus_inf);
    v4l mu;
    __builtin_memcpy(&mu, bm.mask + static_cast<std::size_t>(N) * half + h, sizeof mu);
    const v4d prior = pick(mu, sv.B[N], sv.A[N]);  // the prior's weight of branch 4h
    v4d val[4];
    val[0] = (x + prior) + z;
    val[2] = (y + flip(prior, sv.D[2][N])) + z;
    val[1] = tail ? none : (x + flip(prior, sv.D[1][N])) + v;
    val[3] = tail ? none : (y + flip(prior, sv.D[3][N])) + v;
    v4l p;
    __builtin_memcpy(&p, bm.pattern + h, sizeof p);
    if (Same) {
        const v4d first = vmax(val[0], val[3]), second = vmax(val[1], val[2]);
        const std::int64_t d = static_cast<std::int64_t>(bm.delta[1] & low);
        for (std::uint32_t c = 0; c <= low; ++c) {
            const std::int64_t cc = static_cast<std::int64_t>(c);
            const v4l here = p == v4l{cc, cc, cc, cc};
            const std::int64_t cd = cc ^ d;
            const v4l there = p == v4l{cd, cd, cd, cd};
            pat[c] = vmax(pat[c], vmax(pick(here, first, none), pick(there, second, none)));
        }
        return;
    }
    for (std::uint32_t c = 0; c <= low; ++c) {
#pragma GCC unroll 4
        for (int r = 0; r < 4; ++r) {
            const std::int64_t cd = static_cast<std::int64_t>(c ^ (bm.delta[r] & low));
            pat[c] = vmax(pat[c], pick(p == v4l{cd, cd, cd, cd}, val[r], none));
        }
    }
}

// Step i's max-log code-bit LLRs from the joins of the patterns (four lanes each).
template <int N>
LATBOX_INLINE void code_llrs4(const conv_frame& f, std::size_t i, const v4d* pat, double* weight) {
    double joined[1 << N];
    for (std::uint32_t c = 0; c < (1u << N); ++c) {
        const v4d& x = pat[c];
        joined[c] = std::max(std::max(x[0], x[1]), std::max(x[2], x[3]));
    }
    std::uint32_t hard = 0;
    pattern_weights<maxlog_metric>(f.L + i * N, N, weight, &hard);
    code_bit_llrs<maxlog_metric>(joined, weight, hard, N, f.L + i * N, f.extrinsic, f.Lc + i * N);
}

template <int N, bool Same, bool Linear>
LATBOX_INLINE bool decode_vectors(const conv_frame& f, double* scratch,
                                  const interrupt_check* check) {
    using M = typename std::conditional<Linear, scaled_metric, maxlog_metric>::type;
    const conv_trellis& t = *f.trellis;
    const int S = t.states, half = S / 2;
    const std::size_t steps = conv_steps(t, f.k, f.terminated);
    const layout l = lay_out(t, steps, scratch);
    butterfly_masks<N> bm;
    auto key = [&t](int b) {
        return (static_cast<std::uint32_t>(t.input[b]) << N) |
               static_cast<std::uint32_t>(t.output[b]);
    };
    for (int r = 0; r < 4; ++r) {
        bm.delta[r] = key(r);
        for (int j = 0; j <= N; ++j) {
            const std::int64_t d = ((bm.delta[r] >> j) & 1u) ? -1 : 0;
            bm.flips[r][j] = v4l{d, d, d, d};
        }
    }
    for (int h = 0; h < half; ++h) {
        for (int j = 0; j <= N; ++j)
            bm.mask[static_cast<std::size_t>(j) * half + h] = ((key(4 * h) >> j) & 1u) ? -1 : 0;
        bm.pattern[h] = static_cast<std::int64_t>(t.output[4 * h]);
    }
    step_vectors<N> sv;
    v4d T[4];
    // the two branches into each state carry the same info bit (feedforward codes)
    const bool same_u = ((bm.delta[2] >> N) & 1u) == 0;
    const v4d none = splat(M::zero());

    // backward: beta_i(2h) and beta_i(2h+1) from beta_{i+1}(h) and beta_{i+1}(h + half)
    double* end = l.beta + steps * S;
    for (int s = 0; s < S; ++s) end[s] = (!f.terminated || s == 0) ? M::one() : M::zero();
    for (std::size_t i = steps; i-- > 0;) {
        if (i % poll_steps == 0 && interrupt_requested(check)) return false;
        step_weights<N, Linear>(f, i, bm, l.factors, true, &sv);
        const bool tail = i >= f.k;
        const double* bn = l.beta + (i + 1) * S;
        double* bi = l.beta + i * S;
        for (int h = 0; h < half; h += 4) {
            weights4<N, Same, Linear>(bm, sv, half, h, T);
            const v4d x = load4(bn + h), y = load4(bn + h + half);
            // a tail step has no branch with register input 1: max(a, -Inf) is a, and a + 0*y
            // is a (y is finite)
            const v4d e0 = vmul<Linear>(T[0], x), o0 = vmul<Linear>(T[2], x);
            const v4d even = tail ? e0 : vadd<Linear>(e0, vmul<Linear>(T[1], y));
            const v4d odd = tail ? o0 : vadd<Linear>(o0, vmul<Linear>(T[3], y));
            store4(bi + 2 * h, __builtin_shufflevector(even, odd, 0, 4, 1, 5));
            store4(bi + 2 * h + 4, __builtin_shufflevector(even, odd, 2, 6, 3, 7));
        }
        if (i % M::normalise_every == 0) normalise4<Linear>(bi, S);
    }

    // forward: alpha_{i+1}(h) and alpha_{i+1}(h + half) from alpha_i(2h) and alpha_i(2h+1), and
    // each term times beta_{i+1} of the state it reaches joined by its branch's info bit
    double* a = l.alpha;
    double* an = l.next_alpha;
    for (int s = 0; s < S; ++s) a[s] = s == 0 ? M::one() : M::zero();
    for (std::size_t i = 0; i < steps; ++i) {
        if (i % poll_steps == 0 && interrupt_requested(check)) return false;
        step_weights<N, Linear>(f, i, bm, l.factors, false, &sv);
        const bool tail = i >= f.k, info = f.Lu != nullptr && !tail;
        constexpr bool lc_here = !Linear && N <= vector_lc_max;
        const bool codes = lc_here && f.Lc != nullptr;
        const double* bn = l.beta + (i + 1) * S;
        v4d sum0 = none, sum1 = none;  // u = 0, 1
        // max-log Lc: each output pattern's join over its branches, without the code bits'
        // weights, (alpha + prior) + beta as the scalar loops form it
        v4d pat[1 << (lc_here ? N : 0)];
        if (codes) {
            for (auto& x : pat) x = none;
        }
        for (int h = 0; h < half; h += 4) {
            weights4<N, Same, Linear>(bm, sv, half, h, T);
            const v4d lo = load4(a + 2 * h), hi = load4(a + 2 * h + 4);
            const v4d x = __builtin_shufflevector(lo, hi, 0, 2, 4, 6);
            const v4d y = __builtin_shufflevector(lo, hi, 1, 3, 5, 7);
            const v4d c1 = vmul<Linear>(x, T[0]), c2 = vmul<Linear>(y, T[2]);
            const v4d d1 = vmul<Linear>(x, T[1]), d2 = vmul<Linear>(y, T[3]);
            const v4d to_low = vadd<Linear>(c1, c2);
            const v4d to_high = tail ? none : vadd<Linear>(d1, d2);
            store4(an + h, to_low);
            store4(an + h + half, to_high);
            if (!info && !codes) continue;
            const v4d z = load4(bn + h), v = load4(bn + h + half);
            if constexpr (lc_here) {
                if (codes) code_patterns4<N, Same>(bm, sv, half, h, tail, x, y, z, v, pat);
            }
            if (!info) continue;
            // the info bit of branch 4h (p) and of 4h+2 (q); it flips with w
            v4l p;
            __builtin_memcpy(&p, bm.mask + static_cast<std::size_t>(N) * half + h, sizeof p);
            if (!Linear && same_u) {
                // both branches into h carry p, both into h + half the other bit; rounding is
                // monotonic, so max(c1 + z, c2 + z) is max(c1, c2) + z
                const v4d e = to_low + z, g = to_high + v;
                sum0 = vmax(sum0, pick(p, g, e));
                sum1 = vmax(sum1, pick(p, e, g));
            } else {
                const v4d e1 = vmul<Linear>(c1, z), f1 = vmul<Linear>(d1, v);
                const v4d e2 = vmul<Linear>(c2, z), f2 = vmul<Linear>(d2, v);
                const v4l q = p ^ bm.flips[2][N];
                // lane by lane: the term from 2h, then the one from 2h+1
                sum0 = vadd<Linear>(vadd<Linear>(sum0, pick(p, f1, e1)), pick(q, f2, e2));
                sum1 = vadd<Linear>(vadd<Linear>(sum1, pick(p, e1, f1)), pick(q, e2, f2));
            }
        }
        if constexpr (lc_here) {
            if (codes) code_llrs4<N>(f, i, pat, l.weight);
        }
        if (info) {
            const double s0 = M::add(M::add(sum0[0], sum0[1]), M::add(sum0[2], sum0[3]));
            const double s1 = M::add(M::add(sum1[0], sum1[1]), M::add(sum1[2], sum1[3]));
            const double prior = f.La != nullptr ? f.La[i] : 0.0;
            const bool nothing = s0 == M::zero() && s1 == M::zero();
            const double post = nothing ? prior : M::llr(s0, s1);
            f.Lu[i] = f.extrinsic ? (nothing ? 0.0 : post - prior) : post;
        }
        if (i % M::normalise_every == 0) normalise4<Linear>(an, S);
        double* tmp = a;
        a = an;
        an = tmp;
    }
    return true;
}

// One function for each rate 1/N, butterfly kind and metric, built for the baseline and for
// AVX2: small functions, each compiled on its own (one that inlined all of them compiled
// slowly).
template <int N, bool Same, bool Linear>
__attribute__((noinline)) bool vectors_baseline(const conv_frame& f, double* scratch,
                                                const interrupt_check* check) {
    return decode_vectors<N, Same, Linear>(f, scratch, check);
}

// Sanitizer builds take the baseline alone (they check the code, not its speed); elsewhere
// on x86-64 the AVX2 build runs where the processor has it, asked once, not at load time.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define LATBOX_BASELINE_ONLY 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LATBOX_BASELINE_ONLY 1
#endif
#if defined(__x86_64__) && !defined(LATBOX_BASELINE_ONLY)
#define LATBOX_BCJR_AVX2 1
template <int N, bool Same, bool Linear>
__attribute__((noinline, target("avx2"))) bool vectors_avx2(const conv_frame& f, double* scratch,
                                                            const interrupt_check* check) {
    return decode_vectors<N, Same, Linear>(f, scratch, check);
}
#endif

typedef bool vectors_fn(const conv_frame&, double*, const interrupt_check*);

template <int N, bool Same, bool Linear>
vectors_fn* vectors_pick(bool avx2) {
#if defined(LATBOX_BCJR_AVX2)
    if (avx2) return &vectors_avx2<N, Same, Linear>;
#else
    (void)avx2;
#endif
    return &vectors_baseline<N, Same, Linear>;
}

template <bool Same, bool Linear>
vectors_fn* vectors_for(int n, bool avx2) {
    switch (n) {
        case 1:
            return vectors_pick<1, Same, Linear>(avx2);
        case 2:
            return vectors_pick<2, Same, Linear>(avx2);
        case 3:
            return vectors_pick<3, Same, Linear>(avx2);
        case 4:
            return vectors_pick<4, Same, Linear>(avx2);
        case 5:
            return vectors_pick<5, Same, Linear>(avx2);
        case 6:
            return vectors_pick<6, Same, Linear>(avx2);
        case 7:
            return vectors_pick<7, Same, Linear>(avx2);
        default:
            return vectors_pick<8, Same, Linear>(avx2);
    }
}

bool has_avx2() {
#if defined(LATBOX_BCJR_AVX2)
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
#else
    return false;
#endif
}

bool decode_vectors_fast(const conv_frame& f, double* scratch, const interrupt_check* check) {
    const conv_trellis& t = *f.trellis;
    const bool avx2 = has_avx2(), same = t.output[1] == t.output[2];
    vectors_fn* fn = nullptr;
    if (f.method == conv_method::maxlog) {
        fn = same ? vectors_for<true, false>(t.n, avx2) : vectors_for<false, false>(t.n, avx2);
    } else {
        fn = same ? vectors_for<true, true>(t.n, avx2) : vectors_for<false, true>(t.n, avx2);
    }
    return fn(f, scratch, check);
}
#endif

// Whether decode_vectors_fast takes the frame (for log-MAP one that the caller found on the
// scaled-probability path, whose priors are within 600): K >= 4 (four butterflies at least),
// Lu wanted, no Lc (for max-log, Lc at rates down to 1/vector_lc_max too), and for max-log
// every prior within the range where Lu comes from the alpha update's terms.
bool vectors_fit(const conv_frame& f) {
#if defined(LATBOX_BCJR_VECTORS)
    if (f.Lu == nullptr || f.trellis->states < 8) return false;
    if (f.Lc != nullptr && (f.method == conv_method::logmap || f.trellis->n > vector_lc_max))
        return false;
    if (f.method == conv_method::logmap) return true;
    if (f.La != nullptr) {
        for (std::size_t i = 0; i < f.k; ++i)
            if (!(std::fabs(f.La[i]) <= 1000.0)) return false;
    }
    return true;
#else
    (void)f;
    return false;
#endif
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
    const std::size_t n = static_cast<std::size_t>(t.n);
    if (steps + 1 > limit / (S + n + 1)) return 0;
    return (steps + 1) * S + steps * (n + 1) + 6 * S + 1280;
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
    // log-MAP: scaled probabilities on the frames that allow them (the test is made once)
    const bool scaled = f.method == conv_method::logmap && conv_frame_is_linear(f);
#if defined(LATBOX_BCJR_VECTORS)
    if ((scaled || f.method == conv_method::maxlog) && vectors_fit(f))
        return decode_vectors_fast(f, scratch, check);
#endif
    if (scaled) return decode<scaled_metric>(f, scratch, check);
    return conv_decode_frame_log(f, scratch, check);
}
