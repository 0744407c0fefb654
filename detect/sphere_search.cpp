// SPDX-License-Identifier: BSD-3-Clause
// Depth-first (Schnorr-Euchner) sphere-decoding search in a box.
#include "detect/sphere_search.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "detect/sphere_search_internal.h"
#include "detect/zigzag.h"

namespace {

// The arrays of one search; k indexes a level (row of R).
struct search_state {
    const double* y;
    const double* R;
    std::int64_t n;
    double* pdist;  // squared distance accumulated over the levels above k
    double* isum;   // interference sum_{j>k} R(k,j)*cand[j]
    double* step;   // signed offset from cand[k] to the level's next candidate
    double* cand;   // current candidate of each level
    // next_sum[k-1]: the interference on row k-1 of level k's next candidate, formed when
    // level k descended from its current one; NaN when there is none (null: not kept)
    double* next_sum;
};

constexpr double no_sum = std::numeric_limits<double>::quiet_NaN();

// e(k) = (y[k] - isum[k]) - x*R(k,k), in this order.
inline double level_residual(const search_state& s, std::int64_t k, double x) {
    return (s.y[k] - s.isum[k]) - x * s.R[k + k * s.n];
}

// d(k) = pdist[k] + e(k)^2.
inline double level_distance(const search_state& s, std::int64_t k, double x) {
    const double e = level_residual(s, k, x);
    return s.pdist[k] + e * e;
}

// Outside the radius: beyond it (d = radius is inside), NaN, or overflowed to +Inf.
// An overflowed distance would pass an infinite radius and could keep the search going.
inline bool outside_radius(double d, double radius) {
    return !(d <= radius) || d == std::numeric_limits<double>::infinity();
}

// Rounded centre (halves upwards), and the first step towards the real centre: the
// sign of the residual, turned round when the diagonal entry is negative.
//
// A centre beyond +-search_limit starts its zig-zag at the limit when the box ends on
// that side within the limit (every candidate there is outside the box anyway, and the
// runs outside it are skipped); when the box reaches beyond the limit on that side, the
// candidates that matter are not exact integers, and the search stops (returns false).
inline bool start_level(const search_state& s, std::int64_t k, double lb, double ub) {
    const double r = s.R[k + k * s.n];
    double c = rounded_centre(s.y[k] - s.isum[k], r);
    if (c > search_limit) {
        if (ub > search_limit) return false;
        c = search_limit;
    } else if (c < -search_limit) {
        if (lb < -search_limit) return false;
        c = -search_limit;
    }
    s.cand[k] = c;
    const double e = level_residual(s, k, c);
    // towards lower candidates when the centre lies below c: e <= 0, or e >= 0 when r < 0
    const bool flipped = r < 0.0;
    const bool down = (flipped & (e >= 0.0)) | (!flipped & (e <= 0.0));
    s.step[k] = signed_one(down);
    return true;
}

// Next candidate of the zig-zag of level k.
inline void advance(const search_state& s, std::int64_t k) {
    zigzag_advance(s.cand[k], s.step[k]);
}

// Level k seen by the zig-zag (detect/zigzag.h): its residual and its radius.
struct hard_level {
    const search_state& s;
    std::int64_t k;
    double radius;
    double residual(double x) const { return level_residual(s, k, x); }
    bool outside(double x) const { return outside_radius(level_distance(s, k, x), radius); }
};

// cand[k] passed the radius test but lies outside the box [lo, hi]: on to the next
// candidate that can matter (true), or none can (false); detect/zigzag.h.
bool move_outside_box(const search_state& s, std::int64_t k, double radius, double lo, double hi,
                      bool skip_gaps) {
    return zigzag_move_outside_box(s.cand[k], s.step[k], hard_level{s, k, radius}, lo, hi,
                                   skip_gaps);
}

// Interference of the candidates of levels k..n-1 on row k-1, in ascending columns.
//
// The additions form a chain of dependent operations whose latency, not the arithmetic,
// sets the pace of a descent. With kept sums, the sum for level k's next candidate
// (cand[k] + step[k], as advance() forms it) is formed in the same loop as a second,
// independent chain, nearly for free, and kept for the moment the level moves on to that
// candidate, which returning from the subtree below always does first. Both are formed by
// exactly the operations, in exactly the order, that forming them one at a time would use.
template <bool kept>
inline double interference(const search_state& s, std::int64_t k) {
    const std::int64_t n = s.n;
    const double* const row = s.R + (k - 1);
    const double* const cand = s.cand;
    if (kept) {
        const double sum = s.next_sum[k - 1];
        if (sum == sum) {
            s.next_sum[k - 1] = no_sum;  // used once: the candidate after it is another
            return sum;
        }
    }
    double sum = 0.0;
    if (!kept) {
        for (std::int64_t j = k; j < n; ++j) sum = sum + row[j * n] * cand[j];
        return sum;
    }
    double next = 0.0;
    sum = sum + row[k * n] * cand[k];
    next = next + row[k * n] * (cand[k] + s.step[k]);
    for (std::int64_t j = k + 1; j < n; ++j) {
        const double product = row[j * n] * cand[j];
        sum = sum + product;
        next = next + product;
    }
    s.next_sum[k - 1] = next;
    return sum;
}

// The search below the root, whose level has been started; visited counts the nodes.
// The loop looks outside itself only when visited reaches check_at: at the node cap, or
// every search_poll_interval nodes to ask the caller's check.
std::int64_t next_check(std::int64_t visited, std::int64_t node_cap, const interrupt_check* check) {
    if (check == nullptr || node_cap - visited <= search_poll_interval) return node_cap;
    return visited + search_poll_interval;
}

template <bool kept>
search_status search_levels(const search_state& s, double radius, double lb, double ub,
                            double* symb, bool skip_gaps, std::int64_t node_cap,
                            const interrupt_check* check, std::int64_t& visited) {
    const std::int64_t n = s.n;
    double* const cand = s.cand;
    const double lo = lb < -search_limit ? -search_limit : lb;
    const double hi = ub > search_limit ? search_limit : ub;
    search_status status = search_status::none;
    std::int64_t k = n - 1;
    if (kept && k > 0) s.next_sum[k - 1] = no_sum;
    std::int64_t check_at = next_check(visited, node_cap, check);
    for (;; ++visited) {
        if (visited == check_at) {
            if (visited == node_cap) {
                status = search_status::node_limit;
                break;
            }
            if (interrupt_requested(check)) {
                status = search_status::interrupted;
                break;
            }
            check_at = next_check(visited, node_cap, check);
        }
        const double d = level_distance(s, k, cand[k]);
        if (!outside_radius(d, radius)) {
            if (cand[k] < lo || cand[k] > hi) {
                // the level may now move on by other than its step: a kept sum would not fit
                if (kept && k > 0) s.next_sum[k - 1] = no_sum;
                if (move_outside_box(s, k, radius, lo, hi, skip_gaps)) continue;
            } else if (k > 0) {
                s.isum[k - 1] = interference<kept>(s, k);
                s.pdist[k - 1] = d;
                --k;
                if (kept && k > 0) s.next_sum[k - 1] = no_sum;  // nothing kept on a new level
                if (!start_level(s, k, lb, ub)) {
                    status = search_status::out_of_range;
                    break;
                }
                continue;
            } else {
                radius = d;  // leaf: the radius shrinks to this point's distance
                for (std::int64_t j = 0; j < n; ++j) symb[j] = cand[j];
                status = search_status::found;
            }
        }
        // leave the level: the search ends at the root, else the level above moves on
        if (k == n - 1) break;
        ++k;
        advance(s, k);
    }
    return status;
}

}  // namespace

search_status find_closest_point_with(const double* y, const double* R, std::int64_t n,
                                      double radius, double lb, double ub, double* symb,
                                      double* pdist, double* isum, double* step, double* cand,
                                      const search_options& options) {
    const bool skip_gaps = options.skip_gaps;
    std::int64_t* const nodes = options.nodes;
    const std::int64_t max_nodes = options.max_nodes;
    if (nodes != nullptr) *nodes = 0;
    if (n <= 0) return search_status::none;
    // A box wholly beyond the exact range on one side holds no candidate the search can
    // represent (and its gaps would not fit the skip arithmetic): with an integer in it the
    // answer needs inexact candidates, without one there is nothing to find.
    if (lb > search_limit || ub < -search_limit) {
        const double first = std::ceil(lb);
        const double last = std::floor(ub);
        const bool holds_integer = first <= last &&
                                   first != std::numeric_limits<double>::infinity() &&
                                   last != -std::numeric_limits<double>::infinity();
        return holds_integer ? search_status::out_of_range : search_status::none;
    }
    const search_state s{y, R, n, pdist, isum, step, cand, options.next_sums};
    if (!start_level(s, n - 1, lb, ub)) return search_status::out_of_range;
    const std::int64_t node_cap =
        max_nodes > 0 ? max_nodes : std::numeric_limits<std::int64_t>::max();
    std::int64_t visited = 0;
    const search_status status = s.next_sum != nullptr
                                     ? search_levels<true>(s, radius, lb, ub, symb, skip_gaps,
                                                           node_cap, options.check, visited)
                                     : search_levels<false>(s, radius, lb, ub, symb, skip_gaps,
                                                            node_cap, options.check, visited);
    if (nodes != nullptr) *nodes = visited + 1;
    return status;
}

search_status find_closest_point(const double* y, const double* R, std::int64_t n, double radius,
                                 double lb, double ub, double* symb, double* scratch,
                                 const interrupt_check* check, std::int64_t* nodes) {
    if (nodes != nullptr) *nodes = 0;
    if (n <= 0) return search_status::none;
    double* const pdist = scratch;
    double* const isum = scratch + n;
    pdist[n - 1] = 0.0;  // nothing above the root
    isum[n - 1] = 0.0;
    search_options options;
    options.check = check;
    options.nodes = nodes;
    // Kept sums save the additions of the next candidate's descent when there is one; below
    // about 20 levels the searches are short, and the second chain costs more than it saves.
    if (n >= 20) options.next_sums = scratch + 4 * n;
    return find_closest_point_with(y, R, n, radius, lb, ub, symb, pdist, isum, scratch + 2 * n,
                                   scratch + 3 * n, options);
}

search_status find_closest_point(const double* y, const double* R, std::int64_t n, double radius,
                                 double lb, double ub, double* symb, double* pdist, double* isum,
                                 double* step, double* cand) {
    return find_closest_point_with(y, R, n, radius, lb, ub, symb, pdist, isum, step, cand,
                                   search_options{});
}
