// SPDX-License-Identifier: BSD-3-Clause
// The search as it was before the branch-free zig-zag and the reciprocal centre, kept
// unchanged so that the benchmark can time both in one process and check that they visit
// the same nodes and return the same bits.
#include "bench/search/previous_search.h"

#include <cmath>
#include <limits>

namespace previous {
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
};

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
    double c = std::floor((s.y[k] - s.isum[k]) / r + 0.5);
    if (c > search_limit) {
        if (ub > search_limit) return false;
        c = search_limit;
    } else if (c < -search_limit) {
        if (lb < -search_limit) return false;
        c = -search_limit;
    }
    s.cand[k] = c;
    const double e = level_residual(s, k, c);
    const double toward = r < 0.0 ? -e : e;
    s.step[k] = toward <= 0.0 ? -1.0 : 1.0;
    return true;
}

// Next candidate of the zig-zag: c, c+1, c-1, c+2, c-2, ... (or mirrored).
inline void advance(const search_state& s, std::int64_t k) {
    s.cand[k] = s.cand[k] + s.step[k];
    s.step[k] = s.step[k] > 0.0 ? -s.step[k] - 1.0 : -s.step[k] + 1.0;
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
    const search_state s{y, R, n, pdist, isum, step, cand};
    const double lo = lb < -search_limit ? -search_limit : lb;
    const double hi = ub > search_limit ? search_limit : ub;
    search_status status = search_status::none;
    std::int64_t visited = 0;
    std::int64_t k = n - 1;
    if (!start_level(s, k, lb, ub)) return search_status::out_of_range;
    for (;; ++visited) {
        if (max_nodes > 0 && visited >= max_nodes) {
            status = search_status::node_limit;
            break;
        }
        const double d = level_distance(s, k, cand[k]);
        if (!outside_radius(d, radius)) {
            if (cand[k] < lo || cand[k] > hi) {
                if (move_outside_box(s, k, radius, lo, hi, skip_gaps)) continue;
            } else if (k > 0) {
                // descend: interference of the candidates above on row k-1, ascending columns
                double sum = 0.0;
                for (std::int64_t j = k; j < n; ++j) sum = sum + R[(k - 1) + j * n] * cand[j];
                isum[k - 1] = sum;
                pdist[k - 1] = d;
                --k;
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
    if (nodes != nullptr) *nodes = visited + 1;
    return status;
}

}  // namespace previous
