// SPDX-License-Identifier: BSD-3-Clause
// Breadth-first K-best search over complex levels.
#include "channel/kbest.h"

#include <algorithm>
#include <limits>

#include "channel/complex_levels.h"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// min(K, M^p), without overflow.
std::int64_t capped_power(std::int64_t M, std::int64_t p, std::int64_t K) {
    std::int64_t v = 1;
    for (std::int64_t k = 0; k < p && v < K; ++k) v = v > K / M ? K : v * M;
    return std::min(v, K);
}

}  // namespace

std::int64_t kbest_list_size(std::int64_t n, std::int64_t M, std::int64_t K) {
    return capped_power(M, n, K);
}

std::int64_t kbest_scratch_size(std::int64_t n, std::int64_t M, std::int64_t K) {
    const std::int64_t list = capped_power(M, n, K);
    const std::int64_t candidates = capped_power(M, n - 1, K) * M;
    return 3 * n * M + 2 * list * (n + 1) + 2 * candidates;
}

void kbest_llrs(const double* z, const double* R, std::int64_t n, const complex_alphabet& a,
                std::int64_t K, double n0, double clip, const double* La, double* L,
                std::int32_t* idx, std::int64_t* nodes, double* scratch) {
    if (n <= 0) return;
    const std::int64_t M = a.M;
    const std::int32_t bits = a.bits;
    const std::int64_t list = capped_power(M, n, K);
    const std::int64_t candidates = capped_power(M, n - 1, K) * M;
    double* const q = scratch;
    double* const c = La != nullptr ? scratch + 2 * n * M : nullptr;
    // a list: metrics[r] and the path's point indices x[r*n + j] (levels j >= the depth)
    double* metric[2] = {scratch + 3 * n * M, nullptr};
    metric[1] = metric[0] + list;
    double* path[2] = {metric[1] + list, nullptr};
    path[1] = path[0] + list * n;
    double* const cand = path[1] + list * n;  // candidates' partial metrics
    double* const perm = cand + candidates;   // their numbers g = parent*M + point, ordered
    complex_levels::fill_scaled_points(R, n, a, q);
    if (c != nullptr) complex_levels::fill_prior_costs(La, n, a, c);

    std::int64_t count = 0;
    int cur = 0;
    std::int64_t size = 1;
    metric[cur][0] = 0.0;
    const auto by_metric = [cand](double g, double h) {
        const double mg = cand[static_cast<std::int64_t>(g)];
        const double mh = cand[static_cast<std::int64_t>(h)];
        return mg < mh || (mg == mh && g < h);
    };
    for (std::int64_t i = n - 1; i >= 0; --i) {
        const double* const x = path[cur];
        for (std::int64_t r = 0; r < size; ++r) {
            double ur, ui;
            complex_levels::level_centre(
                z, R, n, i, a,
                [x, r, n](std::int64_t j) { return static_cast<std::int64_t>(x[r * n + j]); }, ur,
                ui);
            complex_levels::level_metrics(ur, ui, q + 2 * i * M, c ? c + i * M : nullptr, M, n0,
                                          metric[cur][r], cand + r * M);
        }
        const std::int64_t total = size * M;
        count += total;
        for (std::int64_t g = 0; g < total; ++g) perm[g] = static_cast<double>(g);
        const std::int64_t keep = std::min(total, K);
        if (keep < total) std::nth_element(perm, perm + keep, perm + total, by_metric);
        std::sort(perm, perm + keep, by_metric);
        const int nxt = 1 - cur;
        for (std::int64_t r = 0; r < keep; ++r) {
            const std::int64_t g = static_cast<std::int64_t>(perm[r]);
            const std::int64_t parent = g / M;
            metric[nxt][r] = cand[g];
            for (std::int64_t j = i + 1; j < n; ++j) {
                path[nxt][r * n + j] = path[cur][parent * n + j];
            }
            path[nxt][r * n + i] = static_cast<double>(g - parent * M);
        }
        cur = nxt;
        size = keep;
    }
    if (nodes != nullptr) *nodes = count;

    // the best path, and per bit the least metric in the list that differs from it there
    const double* const best = path[cur];
    const double lam_ml = metric[cur][0];
    for (std::int64_t j = 0; j < n; ++j) idx[j] = static_cast<std::int32_t>(best[j]);
    const std::int64_t B = n * bits;
    for (std::int64_t b = 0; b < B; ++b) L[b] = inf;
    for (std::int64_t r = 1; r < size; ++r) {
        const double v = metric[cur][r];
        for (std::int64_t j = 0; j < n; ++j) {
            const std::uint32_t diff =
                a.labels[static_cast<std::int64_t>(path[cur][r * n + j])] ^ a.labels[idx[j]];
            for (std::int32_t k = 0; k < bits; ++k) {
                if (complex_levels::label_bit(diff, bits, k)) {
                    L[j * bits + k] = std::min(L[j * bits + k], v);
                }
            }
        }
    }
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int32_t k = 0; k < bits; ++k) {
            const std::int64_t b = j * bits + k;
            // no counter-hypothesis: Inf - lam_ml, clipped
            const double v = L[b] == inf ? clip : std::min(L[b] - lam_ml, clip);
            L[b] = complex_levels::label_bit(a.labels[idx[j]], bits, k) ? -v : v;
        }
    }
}
