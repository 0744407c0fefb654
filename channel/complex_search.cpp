// SPDX-License-Identifier: BSD-3-Clause
// Single-tree soft-output depth-first search over complex levels.
//
// The search keeps the least metric found (lambda_ML), its point (idx) and, per bit, the
// least metric of a point found whose bit differs from it (lambda_bar[b], kept in L and
// capped at lambda_ML + clip). A node's subtree can improve lambda_bar[b] only for the bits
// where its leaves may differ from the ML point: every bit of the levels below, and the
// fixed bits where the node's path differs from it; a node is pruned when its partial
// metric reaches the largest lambda_bar over those bits (and lambda_ML). Since partial
// metrics only grow down the tree (distances and shifted prior costs are non-negative), no
// leaf below it could lower any of them, now or after lambda_ML moves (a bit where a leaf
// differs from a new ML point either differed from the old one, whose lambda_bar only
// fell, or matches it, and then its lambda_bar is the old lambda_ML).
#include "channel/complex_search.h"

#include <algorithm>
#include <limits>

#include "channel/complex_levels.h"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

struct search_arrays {
    double* q;        // 2nM: R(i,i) * p[m]
    double* c;        // nM: prior costs, or null
    double* e;        // nM: partial metrics of the current node's children on every level;
                      // +Inf once visited
    double* P;        // n+1: partial metric of the path from level i up (P[n] = 0)
    double* x;        // n: index of the path's point on every level (exact in double)
    double* dmax;     // n+1: largest lambda_bar over the bits of levels i..n-1 where the
                      // path differs from the ML point (dmax[n] = -Inf)
    double* maxfree;  // n+1: largest lambda_bar over the bits of levels 0..i-1
};

// maxfree[0..n] from lambda_bar.
void update_maxfree(const double* lam_bar, std::int64_t n, std::int32_t bits, double* maxfree) {
    double m = -inf;
    maxfree[0] = m;
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::int32_t k = 0; k < bits; ++k) m = std::max(m, lam_bar[i * bits + k]);
        maxfree[i + 1] = m;
    }
}

// Largest lambda_bar over level i's bits where the labels a and b differ (-Inf: none).
inline double differing_max(const double* lam_bar, std::int64_t i, std::int32_t bits,
                            std::uint32_t a, std::uint32_t b) {
    const std::uint32_t diff = a ^ b;
    double m = -inf;
    for (std::int32_t k = 0; k < bits; ++k) {
        if (complex_levels::label_bit(diff, bits, k)) m = std::max(m, lam_bar[i * bits + k]);
    }
    return m;
}

}  // namespace

std::int64_t complex_search_scratch_size(std::int64_t n, std::int64_t M) {
    return 4 * n * M + 4 * n + 3;
}

search_status find_complex_llrs(const double* z, const double* R, std::int64_t n,
                                const complex_alphabet& a, double n0, double clip, const double* La,
                                double* L, std::int32_t* idx, std::int64_t* nodes, double* scratch,
                                const interrupt_check* check) {
    if (n <= 0) return search_status::none;
    const std::int64_t M = a.M;
    const std::int32_t bits = a.bits;
    const std::uint32_t* labels = a.labels;
    search_arrays s;
    s.q = scratch;
    s.c = La != nullptr ? scratch + 2 * n * M : nullptr;
    s.e = scratch + 3 * n * M;
    s.P = scratch + 4 * n * M;
    s.x = s.P + (n + 1);
    s.dmax = s.x + n;
    s.maxfree = s.dmax + (n + 1);
    complex_levels::fill_scaled_points(R, n, a, s.q);
    if (s.c != nullptr) complex_levels::fill_prior_costs(La, n, a, s.c);

    double* const lam_bar = L;
    const std::int64_t B = n * bits;
    for (std::int64_t b = 0; b < B; ++b) lam_bar[b] = inf;
    for (std::int64_t i = 0; i < n; ++i) idx[i] = 0;
    double lam_ml = inf;
    update_maxfree(lam_bar, n, bits, s.maxfree);
    s.P[n] = 0.0;
    s.dmax[n] = -inf;

    std::int64_t count = 0;
    std::int64_t next_poll = search_poll_interval;
    const auto path_index = [&](std::int64_t j) { return static_cast<std::int64_t>(s.x[j]); };
    // The children of the node on level i+1 (the root for i = n-1): their partial metrics.
    const auto expand = [&](std::int64_t i) {
        double ur, ui;
        complex_levels::level_centre(z, R, n, i, a, path_index, ur, ui);
        complex_levels::level_metrics(ur, ui, s.q + 2 * i * M, s.c ? s.c + i * M : nullptr, M, n0,
                                      s.P[i + 1], s.e + i * M);
        count += M;
    };

    std::int64_t i = n - 1;
    expand(i);
    // Each pass takes the next child of the node on level i+1 in increasing partial
    // metric; every child is taken at most once (its entry becomes +Inf), so every node's
    // loop ends, and the search ends when the root has no child left.
    for (;;) {
        if (count >= next_poll) {
            if (interrupt_requested(check)) return search_status::interrupted;
            next_poll += search_poll_interval;
        }
        double* const e = s.e + i * M;
        std::int64_t m = -1;
        double pc = inf;
        for (std::int64_t k = 0; k < M; ++k) {
            if (e[k] < pc) {
                pc = e[k];
                m = k;
            }
        }
        // No remaining child can improve anything when the least cannot (level i's bits
        // are free for some child, so the bound includes them).
        const double bound = std::max(std::max(lam_ml, s.dmax[i + 1]), s.maxfree[i + 1]);
        if (m < 0 || !(pc < bound)) {
            if (++i == n) break;
            continue;
        }
        e[m] = inf;
        const double dm =
            std::max(s.dmax[i + 1], differing_max(lam_bar, i, bits, labels[m], labels[idx[i]]));
        if (!(pc < std::max(std::max(lam_ml, dm), s.maxfree[i]))) continue;
        s.x[i] = static_cast<double>(m);
        s.P[i] = pc;
        s.dmax[i] = dm;
        if (i > 0) {
            --i;
            expand(i);
            continue;
        }
        // A leaf that improves lambda_ML or some lambda_bar.
        if (pc < lam_ml) {
            // the old ML point is the best counter-hypothesis of the bits where it differs
            for (std::int64_t j = 0; j < n; ++j) {
                const std::uint32_t diff = labels[path_index(j)] ^ labels[idx[j]];
                for (std::int32_t k = 0; k < bits; ++k) {
                    if (complex_levels::label_bit(diff, bits, k)) lam_bar[j * bits + k] = lam_ml;
                }
                idx[j] = static_cast<std::int32_t>(path_index(j));
            }
            lam_ml = pc;
            const double cap = lam_ml + clip;
            for (std::int64_t b = 0; b < B; ++b) lam_bar[b] = std::min(lam_bar[b], cap);
        } else {
            for (std::int64_t j = 0; j < n; ++j) {
                const std::uint32_t diff = labels[path_index(j)] ^ labels[idx[j]];
                for (std::int32_t k = 0; k < bits; ++k) {
                    if (complex_levels::label_bit(diff, bits, k)) {
                        lam_bar[j * bits + k] = std::min(lam_bar[j * bits + k], pc);
                    }
                }
            }
        }
        update_maxfree(lam_bar, n, bits, s.maxfree);
        for (std::int64_t j = n - 1; j >= 1; --j) {
            s.dmax[j] =
                std::max(s.dmax[j + 1],
                         differing_max(lam_bar, j, bits, labels[path_index(j)], labels[idx[j]]));
        }
    }
    if (nodes != nullptr) *nodes = count;
    // Every metric overflowed: no leaf was reached.
    if (!(lam_ml < inf)) return search_status::none;
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int32_t k = 0; k < bits; ++k) {
            const std::int64_t b = j * bits + k;
            const double v = std::min(lam_bar[b] - lam_ml, clip);
            L[b] = complex_levels::label_bit(labels[idx[j]], bits, k) ? -v : v;
        }
    }
    return search_status::found;
}
