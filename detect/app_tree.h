// SPDX-License-Identifier: BSD-3-Clause
// The tree search behind the exact log-MAP (APP) bit LLRs of detect/app_search.h and
// channel/complex_app.h: one depth-first (Schnorr-Euchner) search over levels n-1 .. 0
// that sums the leaves' masses e^{-metric} per bit and hypothesis and drops a subtree only
// when that cannot move any returned LLR by more than tol. The levels themselves (their
// values, their distances) come from a front: app_search.cpp (PAM levels) and
// complex_app.cpp (complex points). Host-free: no allocation, no errors.
//
// Units. As in detect/soft_search.cpp and channel/complex_search.h the metric of a node is
// kept in distance units, mu = d + n0*P (P the sum of the shifted prior costs of its fixed
// bits, each max(La, 0) where the bit is 1 and max(-La, 0) where it is 0, +Inf for the
// excluded value of a known bit), so that the mass of a leaf is e^{-mu/u} with u = n0 up to
// a constant factor per vector (e^{-sum min(La,0)}, which cancels in every LLR). Where n0
// times the priors would overflow the search works in LLR units instead: mu = d/n0 + P and
// u = 1. Every cost is >= 0 and every rounding monotone, so a node's mu is <= the metric of
// every leaf below it.
//
// Masses in the log domain. A mass is kept as a pair (m, s) meaning s*e^{-m/u}, m its
// reference. A new mass takes the shared reference g (the metric of the first leaf found)
// when its first term lies within ref_span = 300 (in units of u) of it, else its own metric;
// adding c*e^{-mu/u} is s += c*e^{-(mu-m)/u} while mu >= m - 300u, and a term beyond that
// moves the reference to mu (s rescaled by e^{-(m-mu)/u} < 1). So s stays within
// [e^{-300}, e^{300}*count] and no sum underflows or overflows whatever the scale of the
// metrics (a term below e^{-746} of the reference, which is 0 in double, is below e^{-446}
// of s: fewer than 2^63 of them move no LLR by 1e-170); the masses of one leaf's bits
// mostly share g, so they share one exponential. An LLR is (m1 - m0)/u + ln s0 - ln s1.
// Counts of leaves are doubles (+Inf past the range of double, which only stops drops).
//
// What is kept, per bit b and hypothesis h (b = h): S[b][h] the mass of the leaves found
// with bit b = h, D[b][h] a bound on the mass of the dropped leaves with bit b = h. A node
// at level k fixes the bits of levels >= k (they name its hypothesis for each such bit) and
// leaves free the bits of levels < k; it has N_k = prod_{j<k} M_j leaves, every one with
// metric >= mu_k, and exactly N_k/2 of them take each value of a free bit (every level's
// labels are all its m-bit patterns).
//
// The mass of a subtree. Its leaves' masses sum to at most e^{-mu_k/u}*C_k with C_k the
// smaller of N_k and G_k = prod_{j<k} g_j, g_j the front's bound (log_child_bound) on
// sum_a e^{-(d_a - pd)/n0} over the children a of any node on level j+1 whatever its
// centre: summing the innermost level first, each level's sum is at most g_j times the
// node's own factor, and the prior costs (>= 0) only lower each term. The fronts take g_j
// from the least spacing of the level's values scaled by |R(j,j)| (the i-th nearest child
// is at least i times half of it away, per real dimension), in exact arithmetic on the
// computed centre; the spacing is taken a hair short (spacing_margin), and the roundings of
// the distances themselves are those of every metric (relative 2^-52). At high SNR g_j is
// near 1 where M_j is 2..16: the bound is that of the node's own mass. The free bits' count
// is F_k = min(N_k/2, G_k). Dropping a node adds C_k*e^{-mu_k/u} to D[b][h(b)] for its fixed
// bits and F_k*e^{-mu_k/u} to both D[b][0] and D[b][1] for its free bits.
//
// The error bound. With E[b][h] the true mass of the dropped leaves, 0 <= E <= D, the
// returned value is ln S0 - ln S1 and the exact one ln(S0+E0) - ln(S1+E1); their difference
// is ln(1+E0/S0) - ln(1+E1/S1), a difference of two numbers in [0, ln(1+D0/S0)] and
// [0, ln(1+D1/S1)], so
//   |error| <= max_h ln(1 + D[b][h]/S[b][h]).
// A drop is made only when, for every D it adds to, the new D <= eps*max(S[b][h],
// e^{-clip}*S[b][1-h]) with the S of that moment, eps = expm1(tol) (a hair less, for the
// roundings of the test; e^{-clip} too). Both S only grow and D only changes by such
// checked drops, so at the end D[b][h] <= eps*max(S[b][h], e^{-clip}*S[b][1-h]). Where
// S[b][h] >= e^{-clip}*S[b][1-h] for both h that is D <= eps*S, and every LLR is within
// ln(1 + eps) <= tol of the exact one. Clipping, sign*min(|v|, clip), moves no two values
// further apart, so the returned clipped values are within tol of the clipped exact ones.
// Otherwise, say S1 < e^{-clip}*S0: the returned value is +clip, and the exact one is at
// least ln S0 - ln(S1 + D1) >= ln S0 - ln((1 + eps)*e^{-clip}*S0) = clip - ln(1 + eps):
// within tol of +clip once clipped (D0 only raises it). So the minority hypothesis of a bit
// beyond the clip is refined only relative to e^{-clip} times the majority's mass. tol = 0
// gives eps = 0: nothing with a non-zero mass is dropped and (with clip = Inf) every leaf
// of finite metric is visited.
//
// A finite clip drops more still through the bits that are beyond +-clip for certain
// (saturate(): a max-log pass shows them, and their masses are not kept at all).
//
// The check without exponentials. The room left in (b, h), eps*max(..) - D = r*e^{-mS/u}
// (D is kept in the units of S: r = eps*max(sS, e^{-clip}*sS') - sD), takes c*e^{-mu/u} iff
// mu - u*ln c >= mS - u*ln r; thr is that bound with ln r replaced by a lower bound of
// ln(r/4) (renew_thr), so a check that passes is a drop that fits (thr = +Inf when r <= 0
// or S is empty). thr is renewed whenever D changes, and when S grows by more than 1e-3 of
// itself, its own or the other hypothesis' (a thr from a smaller S is larger: it only
// drops less), so that a node is checked
// by comparisons only: its fixed bits one by one, its free bits at once through
// freemax[k] = the largest thr of both hypotheses of the bits of levels < k.
//
// Extrinsic output. Le[b] is the LLR of the metric without bit b's own prior term: S and D
// of bit b sum e^{-(mu - n0*c_b)/u} (c_b the leaf's cost of bit b), the metric formed afresh
// as d + n0*(sum of the other bits' costs), so that a known bit (c_b = +Inf on its excluded
// value) and a prior far beyond the clip keep their exact extrinsic value. A node's bound
// for a fixed bit then leaves out that bit's cost: with c1 >= c2 the two largest costs of
// the fixed bits (bit b1 holding c1) and s2 the sum of the others, it is d + n0*(s2 + c2)
// for b1 and d + n0*(s2 + c1) for every other fixed bit (P - c_b >= P - c2 for them); free
// bits keep mu_k (their costs are not in it). Children are visited in increasing order of
// their least bound (mu itself for the posterior).
//
// Visiting order and batch drops. The children of a node are taken in increasing key. When
// the next one comes, the children still to come (r of them, keys >= its key) are first
// checked as one subtree with the bound r*C_k (r rounded up to a power of two) for both
// hypotheses of level k's bits and r*F_k for those of the levels below; if that fits, all of them
// are dropped at once and the level is left. Otherwise the child alone is checked, and dropped, or
// recorded (a leaf), or entered. The leaves are not taken one by one: every child of a node
// on level 1 is recorded at once (record_group), one exponential per leaf, or, without
// priors, the weights the front forms (leaf_weights: complex_app.cpp's grids take one
// exponential per real and per imaginary part).
// Recording a leaf instead of dropping it only adds to S, which every bound above allows.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "core/interrupt_check.h"
#include "detect/sphere_search.h"

// Which LLR the APP searches return.
enum class app_output {
    posterior,  // L = ln P(b=0|y)/P(b=1|y), the prior included
    extrinsic,  // Le = the same without the bit's own prior term (L - La in exact arithmetic)
};

namespace app_tree {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double ln2 = 0.69314718055994530942;

// Doubles of scratch the search needs beyond its front's, for n levels of sum_M children
// in all and B bits.
inline std::int64_t scratch_size(std::int64_t n, std::int64_t sum_M, std::int64_t B) {
    return 4 * sum_M + 13 * (n + 1) + 12 * B;
}

// The problem as the search sees it (the levels' sizes come from the front: level k has
// 2^bits(k) children, bits(k) from 1 to 16). La null or B values.
struct problem {
    std::int64_t n;
    const double* La;
    double n0;
    double clip;
    double tol;
    app_output output;
};

// An upper bound on sum_{i=0}^{count-1} e^{-a*i^2} (a >= 0, count >= 1): the first terms
// exactly, the rest by e^{-a*j^2}*(1 + 1/(2aj)) >= sum_{i>=j} (the Gaussian tail as an
// integral) or by their count, whichever is less.
inline double spaced_mass(double a, std::int64_t count) {
    const std::int64_t j = count < 32 ? count : 32;
    double g = 0.0;
    for (std::int64_t i = 0; i < j; ++i) {
        const double x = a * static_cast<double>(i * i);
        if (x > 800.0) return g;  // the rest are below e^{-800} each: nothing in double
        g = g + std::exp(-x);
    }
    if (j == count) return g;
    const double dj = static_cast<double>(j);
    const double rest = static_cast<double>(count - j);
    const double tail = a > 0.0 ? std::exp(-a * dj * dj) * (1.0 + 1.0 / (2.0 * a * dj)) : rest;
    return g + (tail < rest ? tail : rest);
}

// Relative margin on the spacings that the child bounds take (a spacing is used as
// (1 - spacing_margin) times itself): the rounding of a centre and its differences.
constexpr double spacing_margin = 1e-9;

struct mass {
    double* m;
    double* s;
};

// memo: the last exponent and its e^{-x} (the masses of one leaf's or one drop's bits mostly
// share their reference, so they share the exponential).
struct exp_memo {
    double x = -1.0, v = 0.0;
    double of(double y) {
        if (y != x) {
            x = y;
            v = std::exp(-y);
        }
        return v;
    }
};

// How far (in units of u) a mass's terms may lie from its reference: its s stays within
// [e^{-ref_span}, e^{ref_span}*count] (header comment).
constexpr double ref_span = 300.0;

// Adds c*e^{-mu/u} to the mass i (c a count of leaves, +Inf past the range of double), a
// new mass taking the shared reference g where it lies within ref_span of it (g = +Inf:
// none yet); returns a positive value when the mass grew by more than 1e-3 of itself
// (+Inf when it was empty or when its reference moved).
inline double add_mass(mass a, std::int64_t i, double mu, double c, double u, double g,
                       exp_memo& e) {
    double& m = a.m[i];
    double& s = a.s[i];
    if (s == 0.0) {
        const double ref = m < inf ? m : g;  // a reference of its own: that of its drops
        const double x = (mu - ref) / u;
        if (x >= -ref_span && x <= ref_span) {
            m = ref;
            s = c == inf ? inf : c * e.of(x);
        } else {
            m = mu;
            s = c;
        }
        return inf;
    }
    const double x = (mu - m) / u;
    if (x >= -ref_span) {
        // e^{-x} is 0 in double past 746: such a term is below e^{-446} of s
        const double t = x > 746.0 ? 0.0 : c == inf ? inf : c * e.of(x);
        const bool grows = t > 1e-3 * s;
        s = s + t;
        return grows ? 1.0 : 0.0;
    }
    const double f = std::exp(-(m - mu) / u);
    s = s == inf ? inf : s * f + c;
    m = mu;
    return inf;
}

template <class Front>
class search {
public:
    search(const problem& p, Front& front, double* scratch) : p_(p), front_(front) {
        const std::int64_t n = p.n;
        B_ = 0;
        sum_M_ = 0;
        for (std::int64_t k = 0; k < n; ++k) {
            B_ += front.bits_of(k);
            sum_M_ += (std::int64_t{1} << front.bits_of(k));
        }
        double prior_sum = 0.0;
        for (std::int64_t b = 0; p.La != nullptr && b < B_; ++b) {
            if (std::isfinite(p.La[b])) prior_sum = prior_sum + std::fabs(p.La[b]);
        }
        divide_ = !std::isfinite(p.n0 * prior_sum);
        u_ = divide_ ? 1.0 : p.n0;
        scale_ = divide_ ? 1.0 : p.n0;
        extrinsic_ = p.output == app_output::extrinsic && p.La != nullptr;
        eps_ = std::expm1(p.tol) * (1.0 - 1e-9);
        eclip_ = std::exp(-p.clip) * (1.0 - 1e-9);
        double* q = scratch;
        auto take = [&](std::int64_t count) {
            double* const r = q;
            q += count;
            return r;
        };
        key_ = take(sum_M_);
        w_ = take(2 * (std::int64_t{1} << front.bits_of(0)));
        dist_ = take(sum_M_);
        pd_ = take(n + 1);
        pP_ = take(n + 1);
        pc1_ = take(n + 1);
        pc2_ = take(n + 1);
        ps2_ = take(n + 1);
        pb1_ = take(n + 1);
        plabel_ = take(n + 1);
        px_ = take(n + 1);
        freemax_ = take(n + 1);
        lnN_ = take(n + 1);
        lnF_ = take(n + 1);
        child_off_ = take(n + 1);
        bit_off_ = take(n + 1);
        cost_ = take(B_);
        S_ = {take(2 * B_), take(2 * B_)};
        D_ = {take(2 * B_), take(2 * B_)};
        thr_ = take(2 * B_);
        sat_ = take(B_);
        // ln of the bounds on a subtree's mass per e^{-mu_k/u} (the header comment): the
        // count of its leaves or the product of its levels' child bounds, the smaller
        double co = 0.0, bo = 0.0, ln = 0.0, lg = 0.0;
        for (std::int64_t k = 0; k <= n; ++k) {
            child_off_[k] = co;
            bit_off_[k] = bo;
            lnN_[k] = ln < lg ? ln : lg;
            lnF_[k] = ln - ln2 < lg ? ln - ln2 : lg;
            if (k < n) {
                co += static_cast<double>((std::int64_t{1} << front.bits_of(k)));
                bo += front.bits_of(k);
                ln += front.bits_of(k) * ln2;
                lg += front.log_child_bound(k, p.n0);
            }
        }
        for (std::int64_t i = 0; i < 2 * B_; ++i) {
            S_.m[i] = D_.m[i] = inf;
            S_.s[i] = D_.s[i] = 0.0;
            thr_[i] = inf;
        }
        for (std::int64_t b = 0; b < B_; ++b) cost_[b] = sat_[b] = 0.0;
        for (std::int64_t k = 0; k <= n; ++k) freemax_[k] = k == 0 ? -inf : inf;
    }

    // The clip of the max-log LLRs that saturate() takes: +Inf when the LLRs are unclipped
    // (nothing saturates).
    double maxlog_clip() const {
        const double T = saturation_level();
        return extrinsic_ ? 2.0 * T : T;
    }

    // Bits that are beyond +-clip for certain, from their max-log LLRs lm (B values, clipped
    // at maxlog_clip(), the same priors). Within a hypothesis of N points,
    // max <= log-sum-exp <= max + ln N, and N <= 2^(B-1), so the exact LLR and the max-log
    // one differ by at most (B-1) ln 2 (the max-log search is exact or returns a clipped
    // value below the true one in magnitude). A bit with |lm| >= T = clip + (B-1) ln 2 + tol
    // (extrinsic: |lm| - |La| >= T, La finite, Le = L - La) has an exact LLR beyond the clip
    // with the sign of lm: its returned value is sign(lm)*clip whatever is dropped, so its
    // masses are not kept at all (thr = -Inf: every drop fits it).
    void saturate(const double* lm) {
        const double T = saturation_level();
        if (!(T < inf)) return;
        for (std::int64_t b = 0; b < B_; ++b) {
            double margin = std::fabs(lm[b]);
            if (extrinsic_) {
                if (!std::isfinite(p_.La[b])) continue;
                margin = margin - std::fabs(p_.La[b]);
            }
            if (!(margin >= T)) continue;
            sat_[b] = lm[b] > 0.0 ? 1.0 : -1.0;
            thr_[2 * b] = thr_[2 * b + 1] = -inf;
        }
        renew_freemax();
    }

    // Runs the search; L: B values out.
    search_status run(double* L, std::int64_t* nodes, const interrupt_check* check) {
        const std::int64_t n = p_.n;
        pd_[n] = pP_[n] = pc1_[n] = pc2_[n] = ps2_[n] = 0.0;
        pb1_[n] = -1.0;
        std::int64_t count = 0;
        std::int64_t next_poll = search_poll_interval;
        std::int64_t k = n - 1;
        expand(k, count);
        // Each pass takes one child of the node on level k+1 (marking it visited: +Inf key)
        // or leaves the level; every level has finitely many children, so it ends.
        for (;;) {
            if (count >= next_poll) {
                if (interrupt_requested(check)) return search_status::interrupted;
                next_poll += search_poll_interval;
            }
            if (k == 0) {
                record_group();  // every leaf below the node on level 1 at once
                if (k == n - 1) break;
                ++k;
                continue;
            }
            const std::int64_t M = (std::int64_t{1} << front_.bits_of(k));
            double* const key = key_ + static_cast<std::int64_t>(child_off_[k]);
            std::int64_t m = -1, left = 0;
            double least = inf;
            for (std::int64_t j = 0; j < M; ++j) {
                const bool live = key[j] < inf;
                left += live;
                const bool less = key[j] < least;
                least = less ? key[j] : least;
                m = less ? j : m;
            }
            if (m < 0 || batch_fits(k, least, left)) {
                if (m >= 0) drop_batch(k, least, left);
                if (k == n - 1) break;
                ++k;
                continue;
            }
            key[m] = inf;
            child c = make_child(k, m);
            if (k == 0) {
                record_leaf(c);
                continue;
            }
            if (child_fits(k, c)) {
                drop_child(k, c);
                continue;
            }
            pd_[k] = c.d;
            pP_[k] = c.P;
            pc1_[k] = c.c1;
            pc2_[k] = c.c2;
            ps2_[k] = c.s2;
            pb1_[k] = static_cast<double>(c.b1);
            plabel_[k] = static_cast<double>(c.label);
            px_[k] = static_cast<double>(m);
            write_costs(k, c.label);
            --k;
            expand(k, count);
        }
        if (nodes != nullptr) *nodes = count;
        return finish(L);
    }

private:
    struct child {
        std::int64_t m;
        std::uint32_t label;
        double d;  // distance (distance units)
        double P;  // prior costs of the fixed bits (unscaled)
        double c1, c2, s2;
        std::int64_t b1;  // the bit holding c1 (-1: none)
        double mu;        // posterior metric
        double lb1;       // bound for bit b1 (extrinsic)
        double lbo;       // bound for the other fixed bits (extrinsic)
    };

    bool bit_of(std::uint32_t label, std::int32_t m, std::int32_t j) const {
        return ((label >> (m - 1 - j)) & 1u) != 0;
    }

    double cost_of(std::int64_t b, bool one) const {
        const double v = one ? p_.La[b] : -p_.La[b];
        return v > 0.0 ? v : 0.0;
    }

    double dpart(double d) const { return divide_ ? d / p_.n0 : d; }

    // The children of the node on level k+1 (the root for k = n-1).
    void expand(std::int64_t k, std::int64_t& count) {
        const std::int64_t M = (std::int64_t{1} << front_.bits_of(k));
        const auto off = static_cast<std::int64_t>(child_off_[k]);
        double* const dist = dist_ + off;
        double* const key = key_ + off;
        front_.expand(k, pd_[k + 1], px_, dist);
        count += M;
        for (std::int64_t j = 0; j < M; ++j) {
            if (!(dist[j] < inf)) dist[j] = inf;  // NaN from overflowed sums: no mass
            if (p_.La == nullptr) {
                key[j] = dpart(dist[j]);
            } else {
                const child c = make_child(k, j);
                key[j] = extrinsic_ ? c.lb1 : c.mu;
            }
        }
    }

    child make_child(std::int64_t k, std::int64_t j) const {
        child c;
        c.m = j;
        c.label = front_.label(k, j);
        c.d = dist_[static_cast<std::int64_t>(child_off_[k]) + j];
        c.P = pP_[k + 1];
        c.c1 = pc1_[k + 1];
        c.c2 = pc2_[k + 1];
        c.s2 = ps2_[k + 1];
        c.b1 = static_cast<std::int64_t>(pb1_[k + 1]);
        const double q = dpart(c.d);
        if (p_.La == nullptr) {
            c.mu = c.lb1 = c.lbo = q;
            return c;
        }
        const std::int32_t mk = front_.bits_of(k);
        const auto b0 = static_cast<std::int64_t>(bit_off_[k]);
        double level = 0.0;
        for (std::int32_t i = 0; i < mk; ++i) {
            const double v = cost_of(b0 + i, bit_of(c.label, mk, i));
            level = level + v;
            if (v > c.c1) {
                c.s2 = c.s2 + c.c2;
                c.c2 = c.c1;
                c.c1 = v;
                c.b1 = b0 + i;
            } else if (v > c.c2) {
                c.s2 = c.s2 + c.c2;
                c.c2 = v;
            } else {
                c.s2 = c.s2 + v;
            }
        }
        c.P = c.P + level;
        c.mu = q + scale_ * c.P;
        c.lb1 = q + scale_ * (c.s2 + c.c2);
        c.lbo = q + scale_ * (c.s2 + c.c1);
        return c;
    }

    void write_costs(std::int64_t k, std::uint32_t label) {
        if (p_.La == nullptr) return;
        const std::int32_t mk = front_.bits_of(k);
        const auto b0 = static_cast<std::int64_t>(bit_off_[k]);
        for (std::int32_t i = 0; i < mk; ++i) cost_[b0 + i] = cost_of(b0 + i, bit_of(label, mk, i));
    }

    // Bound of a fixed bit b of the child c.
    double fixed_bound(const child& c, std::int64_t b) const {
        if (!extrinsic_) return c.mu;
        return b == c.b1 ? c.lb1 : c.lbo;
    }

    // Whether c*e^{-bound/u} fits into (b, h): bound - u*ln c >= thr (no mass: fits).
    // ln of a count r >= 1 rounded up to a power of two (no logarithm per check)
    static double ln_ceil(std::int64_t r) {
        std::int32_t e = 0;
        while ((std::int64_t{1} << e) < r) ++e;
        return e * ln2;
    }

    double saturation_level() const { return p_.clip + static_cast<double>(B_ - 1) * ln2 + p_.tol; }

    bool fits(std::int64_t a, double bound, double ln_count) const {
        return bound == inf || bound - u_ * ln_count >= thr_[a];
    }

    // The fixed bits of levels >= k: level k from `label`, those above from the path.
    template <class F>
    void for_fixed(std::int64_t k, std::uint32_t label, F&& f) const {
        for (std::int64_t j = k; j < p_.n; ++j) {
            const std::uint32_t lj = j == k ? label : static_cast<std::uint32_t>(plabel_[j]);
            const std::int32_t mj = front_.bits_of(j);
            const auto b0 = static_cast<std::int64_t>(bit_off_[j]);
            for (std::int32_t i = 0; i < mj; ++i) f(b0 + i, bit_of(lj, mj, i) ? 1 : 0);
        }
    }

    bool child_fits(std::int64_t k, const child& c) const {
        const double lnN = lnN_[k];
        // free bits, both hypotheses, F_k each (k >= 1 here)
        if (!(c.mu == inf || c.mu - u_ * lnF_[k] >= freemax_[k])) return false;
        bool ok = true;
        for_fixed(k, c.label, [&](std::int64_t b, int h) {
            ok = ok && fits(2 * b + h, fixed_bound(c, b), lnN);
        });
        return ok;
    }

    void drop_child(std::int64_t k, const child& c) {
        const double lnN = lnN_[k];
        const auto bk = static_cast<std::int64_t>(bit_off_[k]);
        const double N = std::exp(lnN);
        const double F = std::exp(lnF_[k]);
        if (c.mu < inf) {
            for (std::int64_t a = 0; a < 2 * bk; ++a) add_dropped(a, c.mu, F);
        }
        for_fixed(k, c.label, [&](std::int64_t b, int h) {
            const double bound = fixed_bound(c, b);
            if (bound < inf) add_dropped(2 * b + h, bound, N);
        });
        renew_freemax();
    }

    // The `left` children still to come on level k, all with keys >= key, as one subtree.
    bool batch_fits(std::int64_t k, double key, std::int64_t left) const {
        if (key == inf) return true;
        const double lnC = ln_ceil(left) + lnN_[k];
        const auto bk = static_cast<std::int64_t>(bit_off_[k]);
        const auto bk1 = static_cast<std::int64_t>(bit_off_[k + 1]);
        if (k > 0 && !(key - u_ * (ln_ceil(left) + lnF_[k]) >= freemax_[k])) return false;
        for (std::int64_t b = bk; b < bk1; ++b) {
            if (!fits(2 * b, key, lnC) || !fits(2 * b + 1, key, lnC)) return false;
        }
        for (std::int64_t j = k + 1; j < p_.n; ++j) {
            const auto lj = static_cast<std::uint32_t>(plabel_[j]);
            const std::int32_t mj = front_.bits_of(j);
            const auto b0 = static_cast<std::int64_t>(bit_off_[j]);
            for (std::int32_t i = 0; i < mj; ++i) {
                if (!fits(2 * (b0 + i) + (bit_of(lj, mj, i) ? 1 : 0), key, lnC)) return false;
            }
        }
        return true;
    }

    void drop_batch(std::int64_t k, double key, std::int64_t left) {
        const std::int64_t M = (std::int64_t{1} << front_.bits_of(k));
        double* const keys = key_ + static_cast<std::int64_t>(child_off_[k]);
        for (std::int64_t j = 0; j < M; ++j) keys[j] = inf;
        if (key == inf) return;
        const double lnC = ln_ceil(left) + lnN_[k];
        const auto bk = static_cast<std::int64_t>(bit_off_[k]);
        const auto bk1 = static_cast<std::int64_t>(bit_off_[k + 1]);
        const double C = std::exp(lnC);
        const double F = std::exp(ln_ceil(left) + lnF_[k]);
        for (std::int64_t a = 0; a < 2 * bk; ++a) add_dropped(a, key, F);
        for (std::int64_t a = 2 * bk; a < 2 * bk1; ++a) add_dropped(a, key, C);
        for (std::int64_t j = k + 1; j < p_.n; ++j) {
            const auto lj = static_cast<std::uint32_t>(plabel_[j]);
            const std::int32_t mj = front_.bits_of(j);
            const auto b0 = static_cast<std::int64_t>(bit_off_[j]);
            for (std::int32_t i = 0; i < mj; ++i) {
                add_dropped(2 * (b0 + i) + (bit_of(lj, mj, i) ? 1 : 0), key, C);
            }
        }
        renew_freemax();
    }

    // D is kept in the units of its S: D[a] = D_.s[a]*e^{-S_.m[a]/u} (a drop fits only a
    // non-empty S, and the bits of one leaf share S's least metric mostly, so they share
    // the exponential).
    void add_dropped(std::int64_t a, double bound, double count) {
        if (sat_[a / 2] != 0.0) return;
        const double x = (bound - S_.m[a]) / u_;
        const double t = x > 746.0 ? 0.0 : count == inf ? inf : count * memo_.of(x);
        D_.s[a] = D_.s[a] + t;
        renew_thr(a);
    }

    // thr of (b, h) from its S and D (the header comment).
    void renew_thr(std::int64_t a) {
        const double sS = S_.s[a];
        const std::int64_t o = a ^ 1;
        if (eps_ == 0.0 || (sS == 0.0 && (eclip_ == 0.0 || S_.s[o] == 0.0))) {
            thr_[a] = inf;
            return;
        }
        // an empty S with room from the other hypothesis: D in the units of that one's
        // reference (D is empty until then)
        if (S_.m[a] == inf) S_.m[a] = S_.m[o];
        // A drop may take at most a quarter of the room left, r/4 >= 2^(k-2) for r in
        // [2^k, 2^(k+1)): a thr above the exact one (it only drops less), without a
        // logarithm. Keeping room for later, larger subtrees drops more in all: the first
        // small drops near the leaves no longer use up the room of a whole level above.
        // the room: eps*max(S[b][h], e^{-clip}*S[b][1-h]) - D[b][h], in the units of S[b][h]
        double big = sS;
        if (eclip_ > 0.0 && S_.s[o] != 0.0) {
            const double x = (S_.m[o] - S_.m[a]) / u_;
            const double so = x == 0.0 ? S_.s[o] : x > 746.0 ? 0.0 : S_.s[o] * std::exp(-x);
            const double v = eclip_ * so;
            big = v > big ? v : big;
        }
        const double r = eps_ * big - D_.s[a];
        thr_[a] = r > 0.0 && r < inf ? S_.m[a] - u_ * ((exponent_of(r) - 2) * ln2) : inf;
    }

    // ilogb(r) for r > 0 finite, from the bits of a normal number
    static int exponent_of(double r) {
        std::uint64_t w;
        std::memcpy(&w, &r, sizeof w);
        const auto e = static_cast<int>((w >> 52) & 0x7ffu);
        return e != 0 ? e - 1023 : std::ilogb(r);
    }

    void renew_freemax() {
        const std::int64_t n = p_.n;
        double f = -inf;
        freemax_[0] = f;
        for (std::int64_t k = 0; k < n; ++k) {
            const auto b0 = static_cast<std::int64_t>(bit_off_[k]);
            const auto b1 = static_cast<std::int64_t>(bit_off_[k + 1]);
            for (std::int64_t a = 2 * b0; a < 2 * b1; ++a) f = f < thr_[a] ? thr_[a] : f;
            freemax_[k + 1] = f;
        }
    }

    // c*e^{-metric/u} into S[a] (a not saturated).
    void add_found(std::int64_t a, double metric, double c) {
        // thr from a smaller S is larger (fewer drops): renewing it only when S grew by more
        // than 1e-3 keeps every decision valid
        const double old = S_.m[a];
        const double g = add_mass(S_, a, metric, c, u_, g_, memo_);
        if (S_.m[a] != old && D_.s[a] != 0.0) {
            // S's unit moved: D follows (+Inf past double: no more drops)
            D_.s[a] = D_.s[a] * std::exp(-(old - S_.m[a]) / u_);
        }
        if (g > 0.0) {
            renew_thr(a);
            renew_thr(a ^ 1);  // its room grows with e^{-clip} times this mass
        }
    }

    // Every child of the node on level 1 (the path above) as a leaf: with w_j =
    // e^{-(mu_j - least)/u}, the bits of level 0 take the sums of w_j over their children
    // with each value, the fixed bits the sum of all, each added as one term of count sum
    // at the least metric (the same masses as one leaf at a time, summed in another order).
    // Extrinsic: bit b's metric is mu_j - n0*c_b (c_b its cost, the same for every child
    // summed into one hypothesis), taken so only while every child's prior costs are at
    // most 64 (in LLR units, where the difference loses nothing that matters); otherwise
    // the leaves go one by one, their metrics formed afresh. A hypothesis whose sum is
    // below 1e-200 takes its leaves one by one too (its own reference stays within
    // ref_span of them).
    void record_group() {
        const std::int64_t M = std::int64_t{1} << front_.bits_of(0);
        const double* const key = key_ + static_cast<std::int64_t>(child_off_[0]);
        double* const w = w_;
        double* const mu = w_ + M;
        bool shift = true;
        for (std::int64_t j = 0; j < M; ++j) {
            if (!extrinsic_) {
                mu[j] = key[j];  // the posterior's key is its metric
                continue;
            }
            const child c = make_child(0, j);
            mu[j] = c.mu;
            shift = shift && c.P <= 64.0;  // false for +Inf (a known bit's other value)
        }
        if (!shift) {
            for (std::int64_t j = 0; j < M; ++j) {
                const child c = make_child(0, j);
                if (c.d < inf) record_leaf(c);
            }
            return;
        }
        double least = inf;
        for (std::int64_t j = 0; j < M; ++j) least = mu[j] < least ? mu[j] : least;
        if (least == inf) return;
        if (g_ == inf) g_ = least;
        double total = 0.0;
        // without priors mu[j] is the leaf's distance: the front may form the weights from
        // fewer exponentials
        const bool formed = p_.La == nullptr && front_.leaf_weights(u_, w);
        for (std::int64_t j = 0; j < M; ++j) {
            if (!formed) {
                const double x = (mu[j] - least) / u_;
                w[j] = mu[j] < inf && x <= 746.0 ? std::exp(-x) : 0.0;
            } else if (!(mu[j] < inf)) {
                w[j] = 0.0;
            }
            total = total + w[j];
        }
        const std::int32_t m0 = front_.bits_of(0);
        for (std::int32_t i = 0; i < m0; ++i) {
            if (sat_[i] != 0.0) continue;
            // the two sums in registers, each child adding to one and +0 to the other (the
            // same sums; an indexed pair in memory made every addition wait for the last)
            double t0 = 0.0, t1 = 0.0;
            for (std::int64_t j = 0; j < M; ++j) {
                const bool one = bit_of(front_.label(0, j), m0, i);
                t0 += one ? 0.0 : w[j];
                t1 += one ? w[j] : 0.0;
            }
            const double t[2] = {t0, t1};
            for (int h = 0; h < 2; ++h) {
                const double own = extrinsic_ ? scale_ * cost_of(i, h == 1) : 0.0;
                if (t[h] >= 1e-200) {
                    add_found(2 * i + h, least - own, t[h]);
                    continue;
                }
                for (std::int64_t j = 0; j < M; ++j) {
                    const bool one = bit_of(front_.label(0, j), m0, i);
                    if ((one ? 1 : 0) == h && mu[j] < inf) add_found(2 * i + h, mu[j] - own, 1.0);
                }
            }
        }
        for (std::int64_t j = 1; j < p_.n; ++j) {
            const auto lj = static_cast<std::uint32_t>(plabel_[j]);
            const std::int32_t mj = front_.bits_of(j);
            const auto b0 = static_cast<std::int64_t>(bit_off_[j]);
            for (std::int32_t i = 0; i < mj; ++i) {
                const std::int64_t b = b0 + i;
                if (sat_[b] != 0.0) continue;
                const double own = extrinsic_ ? scale_ * cost_[b] : 0.0;
                add_found(2 * b + (bit_of(lj, mj, i) ? 1 : 0), least - own, total);
            }
        }
        renew_freemax();
    }

    // The leaf c (level 0, the path above): its masses into S.
    void record_leaf(const child& c) {
        write_costs(0, c.label);
        if (g_ == inf) g_ = c.mu;
        const std::int64_t n = p_.n;
        const double q = dpart(c.d);
        for (std::int64_t j = 0; j < n; ++j) {
            const std::uint32_t lj = j == 0 ? c.label : static_cast<std::uint32_t>(plabel_[j]);
            const std::int32_t mj = front_.bits_of(j);
            const auto b0 = static_cast<std::int64_t>(bit_off_[j]);
            for (std::int32_t i = 0; i < mj; ++i) {
                const std::int64_t b = b0 + i;
                double metric = c.mu;
                if (extrinsic_ && cost_[b] != 0.0) {
                    // d + n0*(the other bits' costs), formed afresh
                    double others = 0.0;
                    for (std::int64_t o = 0; o < B_; ++o) {
                        if (o != b) others = others + cost_[o];
                    }
                    metric = q + scale_ * others;
                }
                if (!(metric < inf) || sat_[b] != 0.0) continue;
                add_found(2 * b + (bit_of(lj, mj, i) ? 1 : 0), metric, 1.0);
            }
        }
        renew_freemax();
    }

    search_status finish(double* L) const {
        const double clip = p_.clip;
        for (std::int64_t b = 0; b < B_; ++b) {
            const double s0 = S_.s[2 * b], s1 = S_.s[2 * b + 1];
            // every metric overflowed
            if (s0 == 0.0 && s1 == 0.0 && sat_[b] == 0.0) return search_status::none;
        }
        for (std::int64_t b = 0; b < B_; ++b) {
            const double s0 = S_.s[2 * b], s1 = S_.s[2 * b + 1];
            double v;
            if (sat_[b] != 0.0) {
                v = sat_[b] * inf;
            } else if (s1 == 0.0) {
                v = inf;
            } else if (s0 == 0.0) {
                v = -inf;
            } else {
                v = (S_.m[2 * b + 1] - S_.m[2 * b]) / u_ + (std::log(s0) - std::log(s1));
            }
            v = v > clip ? clip : v;
            v = v < -clip ? -clip : v;
            L[b] = v + 0.0;  // never -0
        }
        return search_status::found;
    }

    const problem& p_;
    Front& front_;
    std::int64_t B_ = 0, sum_M_ = 0;
    bool divide_ = false, extrinsic_ = false;
    double u_ = 1.0, scale_ = 1.0, eps_ = 0.0, eclip_ = 0.0;
    double *key_, *w_, *dist_, *pd_, *pP_, *pc1_, *pc2_, *ps2_, *pb1_, *plabel_, *px_, *freemax_,
        *lnN_, *lnF_, *child_off_, *bit_off_, *cost_, *thr_, *sat_;
    mass S_, D_;
    exp_memo memo_;
    double g_ = inf;  // the shared reference: the metric of the first leaf
};

}  // namespace app_tree
