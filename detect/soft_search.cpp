// SPDX-License-Identifier: BSD-3-Clause
// Max-log bit LLRs from one depth-first (Schnorr-Euchner) search: the single tree search.
//
// The order of operations. The search works on metrics in distance units, the priors
// scaled by n0 (no division per node; the convention of channel/complex_search.h):
//   mu(s) = d(s) + P(s),      d accumulated level by level from the root (row n-1) down as
//                             the hard search accumulates it, d_k = d_{k+1} + e_k^2 with
//                             e_k = (y[k] - isum[k]) - s_k*R(k,k) and
//                             isum[k] = sum_{j>k} R(k,j)*s_j in ascending columns,
//                             P accumulated the same way, P_k = P_{k+1} + c_k, c_k = n0 times
//                             the sum of the costs of level k's bits (most significant first,
//                             from 0), the cost of bit b being max(La[b], 0) when it is 1 and
//                             max(-La[b], 0) when it is 0 (+Inf for the excluded value of a
//                             known bit, La = +-Inf).
// That is n0*metric(s) of soft_search.h plus a constant (n0 times the sum of min(0, La)),
// which cancels in every difference; without priors mu(s) = d(s). Where n0 times the
// priors would overflow (n0 near the top of the range with priors of the size of the
// metric) the search works in LLR units instead, mu(s) = d(s)/n0 + P(s) with unscaled
// costs, so that a finite metric stays finite in either case. Every cost is >= 0 and every
// rounding is monotone, so the partial metric of a node,
//   mu_k = d_k + P_k   (d_k/n0 + P_k in LLR units),
// is (in floating point, not only in exact arithmetic) <= the metric of every leaf below it:
// pruning on it never drops a point whose computed metric would have mattered. At the end,
// with lml the least metric and lbar[b] the least metric whose bit b differs from the best
// point's,
//   L[b] = clip if lbar[b] >= cap, else min((lbar[b] - lml)/n0, clip)   (distance units),
//   L[b] = min(lbar[b] - lml, clip)                                      (LLR units),
// negated (as -1*v + 0, never -0) when the best point's bit b is 1.
//
// The candidates of level k are the indices a = 0 .. M_k - 1 of its values s = 2a - (M_k-1),
// visited in the zig-zag of the hard search (sphere_search.cpp) over the integer box
// [0, M_k - 1], with its handling of candidates outside the box, so that with clip = 0 the
// two searches visit the same nodes (ties and roundings aside: the hard search works on the
// integer form y + R*(M-1), 2R of the problem).
//
// The state: lml, the best point (symb, and the label of each of its levels), lbar[b], and
// cap = lml + clip*n0 (lml + clip in LLR units). eff[b] = min(lbar[b], cap) is what bit b
// still needs: a point whose bit b differs from the best point's changes L[b] only when its
// metric is below eff[b].
//
// Invariant (C: the leaves visited or pruned so far): every x in C has mu(x) >= lml, and
// mu(x) >= eff[b] for every bit b where x differs from the best point; lml and every finite
// lbar[b] are metrics of visited points (lbar[b] of one whose bit b differs). At the end C
// holds every point: lml is the least metric, and lbar[b] is the least counter-metric when it
// lies below cap, else the least counter-metric is >= cap: L[b] is the clipped value.
//  - A leaf x with mu >= lml lowers lbar[b] to mu for the bits where it differs: kept.
//  - A leaf x with mu < lml becomes the best point. For a bit where it differs from the old
//    best, the points that now differ are those with the old best's bit, all >= old lml,
//    which the old best attains: lbar[b] = old lml. For a bit where it agrees, the set of
//    differing points is unchanged and lbar[b] stays; eff only falls with the new cap.
//  - A node at level k with partial metric mu_k is pruned when mu_k >= r, where
//      r = max(lml, eff[b] for every bit of levels < k (free: the leaves below take both
//              values), eff[b] for the bits of levels >= k where the node differs from the
//              best point),
//    since every leaf below has mu >= mu_k >= r >= each bound the invariant asks of it.
//    (eff[b] >= lml always, so lml matters only when no bit can differ: the best point.)
// A level's distances d_k grow along its zig-zag (the order of the hard search), and the
// prior costs are >= 0, so once the distance part of mu_k reaches rmax_k, the largest r any
// candidate of the level can have, the level is done; a candidate below rmax_k but with
// mu_k >= its own r is skipped and the zig-zag goes on.
#include "detect/soft_search.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "detect/soft_search_internal.h"
#include "detect/sphere_search_internal.h"
#include "detect/zigzag.h"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// The arrays of one search; k indexes a level (row of R).
struct soft_state {
    const double* y;
    const double* R;
    std::int64_t n;
    const std::int32_t* bits;
    const std::uint32_t* labels;  // null: Gray
    const double* La;             // null: no priors
    double n0;
    double scale;        // of the prior costs and of clip: n0 in distance units, 1 in LLR units
    double clip;         // in the metric's units: clip*scale
    double* pdist;       // n: d over the levels above k
    double* pprior;      // n: P over the levels above k
    double* isum;        // n: sum_{j>k} R(k,j)*s_j
    double* step;        // n: signed offset from cand[k] to the level's next candidate
    double* cand;        // n: index a of the current candidate of each level
    double* value;       // n: its value 2a - (M_k - 1), set when the level descends
    double* path_label;  // n: its label, set when the level descends
    double* top;         // n: M_k - 1
    double* label_off;   // n: first label of level k in the label table
    double* bit_off;     // n: first bit of level k
    double* ml_label;    // n: label of the best point's value on level k
    double* rmax;        // n: the largest r of any candidate of level k
    double* rfix;        // n+1: rfix[k] = max(lml, eff of the bits of levels >= k where the
                         //      path differs from the best point)
    double* rfree;       // n+1: rfree[k] = max eff over the bits of levels < k (-Inf for k = 0)
    double* lbar;        // B
    double* eff;         // B
    double lml;
    double cap;
};

inline double max2(double a, double b) {
    return a < b ? b : a;
}

// c ? a : b from the bits, without a branch (which bits of a label differ is data, and a
// mispredicted branch costs more than these integer operations).
inline double select(bool c, double a, double b) {
    std::uint64_t ua, ub;
    std::memcpy(&ua, &a, sizeof ua);
    std::memcpy(&ub, &b, sizeof ub);
    const std::uint64_t mask = 0 - static_cast<std::uint64_t>(c);
    const std::uint64_t r = (ua & mask) | (ub & ~mask);
    double v;
    std::memcpy(&v, &r, sizeof v);
    return v;
}

inline std::uint32_t label_of(const soft_state& s, std::int64_t k, double a) {
    const auto i = static_cast<std::uint32_t>(a);
    if (s.labels == nullptr) return i ^ (i >> 1);
    return s.labels[static_cast<std::int64_t>(s.label_off[k]) + i];
}

// s_k = 2a - (M_k - 1), exact (|a| <= 2^51 + 1).
inline double value_of(const soft_state& s, std::int64_t k, double a) {
    return 2.0 * a - s.top[k];
}

// e(k) = (y[k] - isum[k]) - s_k*R(k,k), in this order.
inline double level_residual(const soft_state& s, std::int64_t k, double a) {
    return (s.y[k] - s.isum[k]) - value_of(s, k, a) * s.R[k + k * s.n];
}

inline double level_distance(const soft_state& s, std::int64_t k, double a) {
    const double e = level_residual(s, k, a);
    return s.pdist[k] + e * e;
}

// The distance part of a partial metric: d in distance units, d/n0 in LLR units (divide).
template <bool divide>
inline double distance_part(const soft_state& s, double d) {
    return divide ? d / s.n0 : d;
}

// Not below the bound (NaN and an overflowed +Inf included): nothing there can matter.
inline bool outside(double d, double bound) {
    return !(d < bound) || d == inf;
}

// max eff[b] over the bits of level k where `label` differs from the best point; -Inf if none.
// (Without branches on the bits: which of them differ is data.)
inline double level_radius(const soft_state& s, std::int64_t k, std::uint32_t label) {
    const std::int32_t m = s.bits[k];
    const double* const eff = s.eff + static_cast<std::int64_t>(s.bit_off[k]);
    const std::uint32_t diff = label ^ static_cast<std::uint32_t>(s.ml_label[k]);
    double r = -inf;
    for (std::int32_t j = 0; j < m; ++j) {
        const bool differs = ((diff >> (m - 1 - j)) & 1u) != 0;
        r = max2(r, select(differs, eff[j], -inf));
    }
    return r;
}

// Sum of the costs of level k's bits for `label`, most significant bit first.
inline double level_cost(const soft_state& s, std::int64_t k, std::uint32_t label) {
    const std::int32_t m = s.bits[k];
    const double* const La = s.La + static_cast<std::int64_t>(s.bit_off[k]);
    double c = 0.0;
    for (std::int32_t j = 0; j < m; ++j) {
        const double v = ((label >> (m - 1 - j)) & 1u) != 0 ? La[j] : -La[j];
        c = c + (v > 0.0 ? v : 0.0);
    }
    return s.scale * c;
}

// The leaf cand[0..n-1] (label on level 0, path_label above) with metric mu, below its r:
// the update rules of the header comment, then the bounds that follow from them in the
// same pass (eff, rfree; rfix along the path, rmax).
void record_leaf(soft_state& s, double mu, std::uint32_t label0, double* symb) {
    const std::int64_t n = s.n;
    const bool best = mu < s.lml;
    const double old = s.lml;
    if (best) {
        s.lml = mu;
        s.cap = mu + s.clip;
    }
    const double cap = s.cap;
    double rf = -inf;
    s.rfree[0] = rf;
    for (std::int64_t k = 0; k < n; ++k) {
        const std::uint32_t label = k == 0 ? label0 : static_cast<std::uint32_t>(s.path_label[k]);
        const std::int32_t m = s.bits[k];
        const auto b0 = static_cast<std::int64_t>(s.bit_off[k]);
        double* const lbar = s.lbar + b0;
        double* const eff = s.eff + b0;
        const std::uint32_t diff = label ^ static_cast<std::uint32_t>(s.ml_label[k]);
        for (std::int32_t j = 0; j < m; ++j) {
            const bool differs = ((diff >> (m - 1 - j)) & 1u) != 0;
            const double v = lbar[j];
            // new best: a differing bit's counter-hypothesis is the old best; else the leaf
            // lowers the bits where it differs
            const double lowered = mu < v ? mu : v;
            const double w = select(differs, best ? old : lowered, v);
            lbar[j] = w;
            const double e = w < cap ? w : cap;
            eff[j] = e;
            rf = max2(rf, e);
        }
        s.rfree[k + 1] = rf;
        if (best) {
            s.ml_label[k] = static_cast<double>(label);
            symb[k] = k == 0 ? value_of(s, 0, s.cand[0]) : s.value[k];
        }
    }
    s.rfix[n] = s.lml;
    for (std::int64_t k = n - 1; k >= 1; --k) {
        // the path is the best point's own above level 0 when the leaf is the new best
        const double rl =
            best ? -inf : level_radius(s, k, static_cast<std::uint32_t>(s.path_label[k]));
        s.rfix[k] = max2(s.rfix[k + 1], rl);
    }
    for (std::int64_t k = 0; k < n; ++k) s.rmax[k] = max2(s.rfree[k + 1], s.rfix[k + 1]);
}

// Rounded centre of the index, floor((u + (M-1)*r)/(2r) + 1/2) with u = y[k] - isum[k] (the
// centre of the integer form), limited to +-search_limit (the box [0, M-1] lies inside, so a
// centre beyond starts at the limit and the skip of move_outside_box reaches the box); the
// first step goes towards the real centre.
inline void start_level(const soft_state& s, std::int64_t k) {
    const double r = s.R[k + k * s.n];
    double c = rounded_centre((s.y[k] - s.isum[k]) + s.top[k] * r, 2.0 * r);
    if (c > search_limit) {
        c = search_limit;
    } else if (c < -search_limit) {
        c = -search_limit;
    }
    s.cand[k] = c;
    const double e = level_residual(s, k, c);
    const bool flipped = r < 0.0;
    const bool down = (flipped & (e >= 0.0)) | (!flipped & (e <= 0.0));
    s.step[k] = signed_one(down);
}

// Next candidate of the zig-zag of level k.
inline void advance(const soft_state& s, std::int64_t k) {
    zigzag_advance(s.cand[k], s.step[k]);
}

// Level k seen by the zig-zag (detect/zigzag.h): its residual and its bound.
template <bool divide>
struct soft_level {
    const soft_state& s;
    std::int64_t k;
    double bound;
    double residual(double x) const { return level_residual(s, k, x); }
    bool outside(double x) const {
        return ::outside(distance_part<divide>(s, level_distance(s, k, x)), bound);
    }
};

// cand[k] lies below the bound but outside the box [0, hi]: moves the level on to the next
// candidate that can matter (true), or finds that none can (false). The hard search's rule,
// with its jump over a run of candidates outside the box.
template <bool divide>
bool move_outside_box(const soft_state& s, std::int64_t k, double bound, double hi) {
    return zigzag_move_outside_box(s.cand[k], s.step[k], soft_level<divide>{s, k, bound}, 0.0, hi,
                                   true);
}

// Interference of the values of levels k..n-1 on row k-1, in ascending columns.
inline double interference(const soft_state& s, std::int64_t k) {
    const std::int64_t n = s.n;
    const double* const row = s.R + (k - 1);
    double sum = 0.0;
    for (std::int64_t j = k; j < n; ++j) sum = sum + row[j * n] * s.value[j];
    return sum;
}

std::int64_t next_check(std::int64_t visited, std::int64_t node_cap, const interrupt_check* check) {
    if (check == nullptr || node_cap - visited <= search_poll_interval) return node_cap;
    return visited + search_poll_interval;
}

template <bool priors, bool divide>
search_status search_levels(soft_state& s, double* symb, std::int64_t node_cap,
                            const interrupt_check* check, std::int64_t& visited) {
    const std::int64_t n = s.n;
    double* const cand = s.cand;
    std::int64_t k = n - 1;
    start_level(s, k);
    std::int64_t check_at = next_check(visited, node_cap, check);
    for (;; ++visited) {
        if (visited == check_at) {
            if (visited == node_cap) return search_status::node_limit;
            if (interrupt_requested(check)) return search_status::interrupted;
            check_at = next_check(visited, node_cap, check);
        }
        const double d = level_distance(s, k, cand[k]);
        const double q = distance_part<divide>(s, d);
        bool done = outside(q, s.rmax[k]);
        if (!done) {
            if (cand[k] < 0.0 || cand[k] > s.top[k]) {
                if (move_outside_box<divide>(s, k, s.rmax[k], s.top[k])) continue;
                done = true;
            } else {
                const std::uint32_t label = label_of(s, k, cand[k]);
                double p = 0.0;
                double mu = q;
                if (priors) {
                    p = s.pprior[k] + level_cost(s, k, label);
                    mu = q + p;
                }
                const double rl = level_radius(s, k, label);
                const double r = max2(max2(s.rfree[k], s.rfix[k + 1]), rl);
                if (mu < r) {
                    if (k > 0) {
                        s.value[k] = value_of(s, k, cand[k]);
                        s.path_label[k] = static_cast<double>(label);
                        s.rfix[k] = max2(s.rfix[k + 1], rl);
                        s.rmax[k - 1] = max2(s.rfree[k], s.rfix[k]);
                        s.isum[k - 1] = interference(s, k);
                        s.pdist[k - 1] = d;
                        if (priors) s.pprior[k - 1] = p;
                        --k;
                        start_level(s, k);
                        continue;
                    }
                    record_leaf(s, mu, label, symb);
                }
                // the candidates still to come in the box lie no nearer than this one
                done = outside(q, s.rmax[k]);
                if (!done) {
                    advance(s, k);
                    continue;
                }
            }
        }
        // leave the level, and every level above whose current candidate is no longer below
        // its bound (those to come lie no nearer): the search ends above the root
        for (;;) {
            if (k == n - 1) return search_status::found;
            ++k;
            if (!outside(distance_part<divide>(s, s.pdist[k - 1]), s.rmax[k])) break;
        }
        advance(s, k);
    }
}

}  // namespace

std::int64_t soft_bit_count(const soft_levels& levels) {
    std::int64_t B = 0;
    for (std::int64_t k = 0; k < levels.n; ++k) B += levels.bits[k];
    return B;
}

std::int64_t soft_scratch_size(std::int64_t n, std::int64_t B) {
    if (n <= 0) return 0;
    return 14 * n + 2 + 2 * B;
}

search_status find_bit_llrs_with(const double* y, const double* R, const soft_levels& levels,
                                 double n0, double clip, const double* La, double* L, double* symb,
                                 std::int64_t* nodes, double* scratch,
                                 const soft_search_options& options) {
    if (nodes != nullptr) *nodes = 0;
    const std::int64_t n = levels.n;
    if (n <= 0) return search_status::none;
    const std::int64_t B = soft_bit_count(levels);
    soft_state s{};
    s.y = y;
    s.R = R;
    s.n = n;
    s.bits = levels.bits;
    s.labels = levels.labels;
    s.La = La;
    s.n0 = n0;
    // distance units unless n0 times the finite priors overflows
    double prior_sum = 0.0;
    for (std::int64_t b = 0; La != nullptr && b < B; ++b) {
        if (std::isfinite(La[b])) prior_sum = prior_sum + std::fabs(La[b]);
    }
    const bool divide = !std::isfinite(n0 * prior_sum);
    s.scale = divide ? 1.0 : n0;
    s.clip = clip * s.scale;
    double* p = scratch;
    auto take = [&](std::int64_t count) {
        double* const q = p;
        p += count;
        return q;
    };
    s.pdist = take(n);
    s.pprior = take(n);
    s.isum = take(n);
    s.step = take(n);
    s.cand = take(n);
    s.value = take(n);
    s.path_label = take(n);
    s.top = take(n);
    s.label_off = take(n);
    s.bit_off = take(n);
    s.ml_label = take(n);
    s.rmax = take(n);
    s.rfix = take(n + 1);
    s.rfree = take(n + 1);
    s.lbar = take(B);
    s.eff = take(B);
    double label_off = 0.0, bit_off = 0.0;
    for (std::int64_t k = 0; k < n; ++k) {
        const double M = static_cast<double>(std::int64_t{1} << levels.bits[k]);
        s.top[k] = M - 1.0;
        s.label_off[k] = label_off;
        s.bit_off[k] = bit_off;
        s.ml_label[k] = 0.0;
        s.cand[k] = 0.0;
        label_off += M;
        bit_off += levels.bits[k];
    }
    // nothing found yet: every bound is Inf
    for (std::int64_t b = 0; b < B; ++b) s.lbar[b] = s.eff[b] = inf;
    s.lml = inf;
    s.cap = inf;
    s.rfree[0] = -inf;
    for (std::int64_t k = 1; k <= n; ++k) s.rfree[k] = s.rfix[k] = inf;
    s.rmax[n - 1] = inf;
    s.pdist[n - 1] = 0.0;
    s.pprior[n - 1] = 0.0;
    s.isum[n - 1] = 0.0;

    const std::int64_t node_cap =
        options.max_nodes > 0 ? options.max_nodes : std::numeric_limits<std::int64_t>::max();
    std::int64_t visited = 0;
    const search_status status =
        La == nullptr ? search_levels<false, false>(s, symb, node_cap, options.check, visited)
        : divide      ? search_levels<true, true>(s, symb, node_cap, options.check, visited)
                      : search_levels<true, false>(s, symb, node_cap, options.check, visited);
    if (nodes != nullptr) *nodes = visited + 1;
    if (status != search_status::found) return status;
    if (!(s.lml < inf)) return search_status::none;  // every metric overflowed
    for (std::int64_t k = 0; k < n; ++k) {
        const std::int32_t m = levels.bits[k];
        const auto label = static_cast<std::uint32_t>(s.ml_label[k]);
        const auto b0 = static_cast<std::int64_t>(s.bit_off[k]);
        for (std::int32_t j = 0; j < m; ++j) {
            const double w = s.lbar[b0 + j];
            double v;
            if (divide) {
                v = w - s.lml;
            } else {
                v = w >= s.cap ? clip : (w - s.lml) / n0;
            }
            v = v < clip ? v : clip;
            // -v when the best point's bit is 1 (+0 for 0: -1*0 + 0 = +0)
            L[b0 + j] = signed_one(((label >> (m - 1 - j)) & 1u) != 0) * v + 0.0;
        }
    }
    return search_status::found;
}

search_status find_bit_llrs(const double* y, const double* R, const soft_levels& levels, double n0,
                            double clip, const double* La, double* L, double* symb,
                            std::int64_t* nodes, double* scratch, const interrupt_check* check) {
    soft_search_options options;
    options.check = check;
    return find_bit_llrs_with(y, R, levels, n0, clip, La, L, symb, nodes, scratch, options);
}
