// SPDX-License-Identifier: BSD-3-Clause
// The zig-zag of a depth-first search's level, shared by the hard search (sphere_search)
// and the soft one (soft_search): the next candidate, and the jump over a run of
// candidates outside the box. A level is seen through a view with two members,
//   double residual(double x)  the level's residual at candidate x, monotone in x;
//   bool outside(double x)     whether x lies outside the level's bound (radius),
// which each search forms from its own state.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

// -1.0 when negative, else +1.0. Built from the bits, so that the compiler does not turn
// it into a branch: the direction of a zig-zag is data, and a mispredicted branch on it
// costs more than these few integer operations.
inline double signed_one(bool negative) {
    const std::uint64_t bits = 0x3FF0000000000000ULL | (static_cast<std::uint64_t>(negative) << 63);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// Next candidate of the zig-zag: c, c+1, c-1, c+2, c-2, ... (or mirrored).
inline void zigzag_advance(double& cand, double& step) {
    // -st - 1 when st > 0, else -st + 1 (x - 1 and x + (-1) round alike)
    const double st = step;
    cand = cand + st;
    step = -st + signed_one(st > 0.0);
}

// First j in [0, jmax] for which front + dir*j lies outside the bound; jmax+1 if none.
// The residual is monotone in the candidate (every operation in it is), so along the run
// |e| first does not rise and then does not fall, and so does the distance: once the
// first candidate is inside, only the rising part can hold the first one outside.
template <class Level>
std::int64_t first_outside(const Level& level, double front, double dir, std::int64_t jmax) {
    if (jmax < 0) return 0;
    auto at = [&](std::int64_t j) { return front + dir * static_cast<double>(j); };
    if (level.outside(front)) return 0;
    const double e_first = level.residual(front);
    const double e_last = level.residual(at(jmax));
    const bool rising = e_last >= e_first;
    // turned(j): from j on, e has reached the sign it moves towards, so |e| grows
    auto turned = [&](std::int64_t j) {
        const double e = level.residual(at(j));
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
        if (level.outside(at(mid))) {
            b = mid;
        } else {
            a = mid + 1;
        }
    }
    return a;
}

// The candidate cand passed the bound test but lies outside the box [lo, hi]. Moves the
// level (cand, step) on to the next candidate that can matter and returns true, or returns
// false when every candidate still to come lies outside the box (the level is done).
//
// The candidates to come form two runs moving away from the centre: the one of the next
// candidate (x + step) and the one of the current side (x -+ 1). When both runs lie on the
// same side of the box, the run moving towards it (near) passes a gap of candidates that
// are outside the box before reaching it, while the other (far) never enters it. Walking
// would only test their bounds; instead the first candidate outside the bound on each run
// is found directly, and the level moves straight to the first event in visiting order.
// skip_gaps false walks (the same result; tests compare the two).
template <class Level>
bool zigzag_move_outside_box(double& cand, double& step, const Level& level, double lo, double hi,
                             bool skip_gaps) {
    const double x = cand;
    const double st = step;
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
        zigzag_advance(cand, step);  // a frontier lies in the box
        return true;
    }
    // near + ndir*j for j < gap are outside the box; j = gap is the first in it (or past it
    // when the box holds no integer there). |near|, |target| <= 2^51 + 1, so gap < 2^53.
    const double gap = (target - near) * ndir;
    if (!skip_gaps || gap < 4.0) {
        zigzag_advance(cand, step);
        return true;
    }
    const auto g = static_cast<std::int64_t>(gap);
    const bool near_first = near == next;
    const double fdir = -ndir;
    // Visiting order: near_j at 2j and far_j at 2j+1 when near comes first, else swapped.
    const std::int64_t jn = first_outside(level, near, ndir, g - 1);  // g: reaches target
    const std::int64_t jf_max = near_first ? g - 1 : g;
    const std::int64_t jf = first_outside(level, far, fdir, jf_max);
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
    cand = xe;
    step = after - xe;
    return true;
}
