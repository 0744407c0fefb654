// SPDX-License-Identifier: BSD-3-Clause
// Depth-first (Schnorr-Euchner) sphere-decoding search in a box.
#include "detect/sphere_search.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "detect/sphere_search_internal.h"

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

// -1.0 when negative, else +1.0. Built from the bits, so that the compiler does not turn
// it into a branch: the direction of a zig-zag is data, and a mispredicted branch on it
// costs more than these few integer operations.
inline double signed_one(bool negative) {
    const std::uint64_t bits = 0x3FF0000000000000ULL | (static_cast<std::uint64_t>(negative) << 63);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
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

// Next candidate of the zig-zag: c, c+1, c-1, c+2, c-2, ... (or mirrored).
inline void advance(const search_state& s, std::int64_t k) {
    // -st - 1 when st > 0, else -st + 1 (x - 1 and x + (-1) round alike)
    const double st = s.step[k];
    s.cand[k] = s.cand[k] + st;
    s.step[k] = -st + signed_one(st > 0.0);
}

// First j in [0, jmax] for which front + dir*j lies outside the radius; jmax+1 if none.
// The residual is monotone in the candidate (every operation in it is), so along the run
// |e| first does not rise and then does not fall, and so does the distance: once the
// first candidate is inside, only the rising part can hold the first one outside.
std::int64_t first_outside(const search_state& s, std::int64_t k, double radius, double front,
                           double dir, std::int64_t jmax) {
    if (jmax < 0) return 0;
    auto at = [&](std::int64_t j) { return front + dir * static_cast<double>(j); };
    if (outside_radius(level_distance(s, k, front), radius)) return 0;
    const double e_first = level_residual(s, k, front);
    const double e_last = level_residual(s, k, at(jmax));
    const bool rising = e_last >= e_first;
    // turned(j): from j on, e has reached the sign it moves towards, so |e| grows
    auto turned = [&](std::int64_t j) {
        const double e = level_residual(s, k, at(j));
        return rising ? e >= 0.0 : e <= 0.0;
    };
    if (!turned(jmax)) return jmax + 1;
    std::int64_t lo = 0, hi = jmax;  // turned(hi) holds; find the first such j
    while (lo < hi) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        if (turned(mid)) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    // From lo on the distance does not decrease: find its first j outside.
    std::int64_t a = lo, b = jmax + 1;
    while (a < b) {
        const std::int64_t mid = a + (b - a) / 2;
        if (outside_radius(level_distance(s, k, at(mid)), radius)) {
            b = mid;
        } else {
            a = mid + 1;
        }
    }
    return a;
}

// cand[k] passed the radius test but lies outside the box [lo, hi]. Moves level k on to
// the next candidate that can matter and returns true, or returns false when every
// candidate still to come lies outside the box (the level is done).
//
// The candidates to come form two runs moving away from the centre: the one of the next
// candidate (x + step) and the one of the current side (x -+ 1). When both runs lie on the
// same side of the box, the run moving towards it (near) passes a gap of candidates that
// are outside the box before reaching it, while the other (far) never enters it. Walking
// would only test their radii; instead the first candidate outside the radius on each run
// is found directly, and the level moves straight to the first event in visiting order.
bool move_outside_box(const search_state& s, std::int64_t k, double radius, double lo, double hi,
                      bool skip_gaps) {
    const double x = s.cand[k];
    const double st = s.step[k];
    const double dir = st > 0.0 ? 1.0 : -1.0;
    const double next = x + st;   // moves on in direction dir
    const double same = x - dir;  // moves on in direction -dir
    const double up = dir > 0.0 ? next : same;
    const double down = dir > 0.0 ? same : next;
    if (up > hi && down < lo) return false;

    double near, far, ndir, target;
    if (up < lo) {
        near = up, far = down, ndir = 1.0, target = std::ceil(lo);
    } else if (down > hi) {
        near = down, far = up, ndir = -1.0, target = std::floor(hi);
    } else {
        advance(s, k);  // a frontier lies in the box
        return true;
    }
    // near + ndir*j for j < gap are outside the box; j = gap is the first in it (or past it
    // when the box holds no integer there). |near|, |target| <= 2^51 + 1, so gap < 2^53.
    const double gap = (target - near) * ndir;
    if (!skip_gaps || gap < 4.0) {
        advance(s, k);
        return true;
    }
    const auto g = static_cast<std::int64_t>(gap);
    const bool near_first = near == next;
    const double fdir = -ndir;
    // Visiting order: near_j at 2j and far_j at 2j+1 when near comes first, else swapped.
    const std::int64_t jn = first_outside(s, k, radius, near, ndir, g - 1);  // g: reaches target
    const std::int64_t jf_max = near_first ? g - 1 : g;
    const std::int64_t jf = first_outside(s, k, radius, far, fdir, jf_max);
    const std::int64_t pos_near = near_first ? 2 * jn : 2 * jn + 1;
    const std::int64_t pos_far = near_first ? 2 * jf + 1 : 2 * jf;
    double xe, after;
    if (jf <= jf_max && pos_far < pos_near) {
        xe = far + fdir * static_cast<double>(jf);
        after = near + ndir * static_cast<double>(near_first ? jf + 1 : jf);
    } else {
        xe = near + ndir * static_cast<double>(jn);
        after = far + fdir * static_cast<double>(near_first ? jn : jn + 1);
    }
    s.cand[k] = xe;
    s.step[k] = after - xe;
    return true;
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
                                 const interrupt_check* check) {
    if (n <= 0) return search_status::none;
    double* const pdist = scratch;
    double* const isum = scratch + n;
    pdist[n - 1] = 0.0;  // nothing above the root
    isum[n - 1] = 0.0;
    search_options options;
    options.check = check;
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
