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

// The kept candidates: a max-heap of (metric, number) pairs, the worst (largest metric,
// then largest number) at the root, so that the pairs kept are the K least in the order
// of a stable sort by metric (candidates are numbered in the order they arrive).
struct candidate_heap {
    double* metric;
    double* number;
    std::int64_t size;

    bool worse(std::int64_t a, std::int64_t b) const {
        return metric[a] > metric[b] || (metric[a] == metric[b] && number[a] > number[b]);
    }
    void swap_entries(std::int64_t a, std::int64_t b) {
        std::swap(metric[a], metric[b]);
        std::swap(number[a], number[b]);
    }
    // restores the heap below entry k within the first `end` entries
    void sift_down(std::int64_t k, std::int64_t end) {
        for (;;) {  // k at least doubles every pass
            std::int64_t w = k;
            const std::int64_t l = 2 * k + 1;
            if (l < end && worse(l, w)) w = l;
            if (l + 1 < end && worse(l + 1, w)) w = l + 1;
            if (w == k) return;
            swap_entries(k, w);
            k = w;
        }
    }
    // offers a candidate to a heap of at most K entries
    void offer(double v, double g, std::int64_t K) {
        if (size == K) {
            if (!(v < metric[0])) return;  // no better than the worst kept (its number is lower)
            metric[0] = v;
            number[0] = g;
            sift_down(0, size);
            return;
        }
        std::int64_t k = size++;
        metric[k] = v;
        number[k] = g;
        while (k > 0 && worse(k, (k - 1) / 2)) {  // k halves every pass
            swap_entries(k, (k - 1) / 2);
            k = (k - 1) / 2;
        }
    }
    // sorts the entries best first (heap sort)
    void sort() {
        for (std::int64_t end = size - 1; end > 0; --end) {
            swap_entries(0, end);
            sift_down(0, end);
        }
    }
};

}  // namespace

std::int64_t kbest_list_size(std::int64_t n, std::int64_t M, std::int64_t K) {
    return capped_power(M, n, K);
}

std::int64_t kbest_scratch_size(std::int64_t n, std::int64_t M, std::int64_t K) {
    const std::int64_t list = capped_power(M, n, K);
    return 3 * n * M + M + 2 * list * (n + 1) + 2 * list + 2 * n + n * 8;
}

namespace {

// The partial metrics of the best path x: pm[i] = its metric over levels n-1 .. i, formed
// as the K-best search forms them.
template <bool Real>
void path_metrics(const double* z, const double* R, std::int64_t n, const complex_alphabet& a,
                  const double* q, const double* c, const double* x, double* e, double* pm) {
    const std::int64_t M = a.M;
    const auto at = [x](std::int64_t l) { return static_cast<std::int64_t>(x[l]); };
    double metric = 0.0;
    for (std::int64_t i = n - 1; i >= 0; --i) {
        double ur, ui;
        complex_levels::level_centre<Real>(z, R, n, i, a, at, ur, ui);
        complex_levels::level_metrics<Real>(ur, ui, q + 2 * i * M, c ? c + i * M : nullptr, M,
                                            metric, e);
        metric = e[at(i)];
        pm[i] = metric;
    }
}

// The counter-hypothesis formed for bit k of level j of the best path (x[0..n-1] holds it,
// pm its partial metrics): the levels above j as the best path, on level j the point of
// least level metric whose bit k differs from the best point's, the levels below by
// decision feedback (each the point of least level metric given the choices above it, the
// first of equal ones). Returns its metric (+Inf when it overflows or no such point is
// finite), with the path in x.
template <bool Real>
double flipped_candidate(const double* z, const double* R, std::int64_t n,
                         const complex_alphabet& a, const double* q, const double* c,
                         const double* pm, std::int64_t j, std::int32_t k, double* x, double* e) {
    const std::int64_t M = a.M;
    const std::int32_t bits = a.bits;
    const auto at = [x](std::int64_t l) { return static_cast<std::int64_t>(x[l]); };
    double metric = j + 1 < n ? pm[j + 1] : 0.0;
    for (std::int64_t i = j; i >= 0; --i) {
        double ur, ui;
        complex_levels::level_centre<Real>(z, R, n, i, a, at, ur, ui);
        complex_levels::level_metrics<Real>(ur, ui, q + 2 * i * M, c ? c + i * M : nullptr, M,
                                            metric, e);
        const std::uint32_t own = a.labels[at(i)];
        double least = inf;
        std::int64_t pick = -1;
        for (std::int64_t m = 0; m < M; ++m) {
            const bool allowed = i < j || complex_levels::label_bit(a.labels[m] ^ own, bits, k);
            if (allowed && e[m] < least) {
                least = e[m];
                pick = m;
            }
        }
        if (pick < 0) return inf;
        x[i] = static_cast<double>(pick);
        metric = least;
    }
    return metric;
}

template <bool Real>
search_status kbest_llrs_on(const double* z, const double* R, std::int64_t n,
                            const complex_alphabet& a, std::int64_t K, double n0, double clip,
                            bool fill, const double* La, double* L, std::int32_t* idx,
                            std::int64_t* nodes, std::int64_t* filled, double* scratch,
                            const interrupt_check* check) {
    if (n <= 0) return search_status::none;
    const std::int64_t M = a.M;
    const std::int32_t bits = a.bits;
    const std::int64_t list = capped_power(M, n, K);
    double* const q = scratch;
    double* const c = La != nullptr ? scratch + 2 * n * M : nullptr;
    double* const e = scratch + 3 * n * M;  // one parent's candidates
    // a list: metrics[r] and the path's point indices x[r*n + j] (levels j >= the depth)
    double* metric[2] = {e + M, nullptr};
    metric[1] = metric[0] + list;
    double* path[2] = {metric[1] + list, nullptr};
    path[1] = path[0] + list * n;
    // the kept candidates in order: their metrics and numbers g = parent*M + point
    double* const kept = path[1] + list * n;
    double* const number = kept + list;
    double* const trial = number + list;  // n: a formed counter-hypothesis
    double* const F = trial + n;          // n*bits: the filled bits' least metrics
    double* const pm = F + n * bits;      // n: the best path's partial metrics
    complex_levels::fill_scaled_points(R, n, a, q);
    if (c != nullptr) complex_levels::fill_prior_costs(La, n, a, n0, c);

    std::int64_t count = 0;
    std::int64_t next_poll = search_poll_interval;
    int cur = 0;
    std::int64_t size = 1;
    metric[cur][0] = 0.0;
    for (std::int64_t i = n - 1; i >= 0; --i) {
        const double* const x = path[cur];
        candidate_heap heap{kept, number, 0};
        for (std::int64_t r = 0; r < size; ++r) {
            if (count >= next_poll) {
                if (interrupt_requested(check)) return search_status::interrupted;
                next_poll += search_poll_interval;
            }
            count += M;
            double ur, ui;
            complex_levels::level_centre<Real>(
                z, R, n, i, a,
                [x, r, n](std::int64_t j) { return static_cast<std::int64_t>(x[r * n + j]); }, ur,
                ui);
            complex_levels::level_metrics<Real>(ur, ui, q + 2 * i * M, c ? c + i * M : nullptr, M,
                                                metric[cur][r], e);
            // (NaN, from an overflow, as +Inf: the heap needs a strict order)
            for (std::int64_t m = 0; m < M; ++m) {
                heap.offer(e[m] == e[m] ? e[m] : inf, static_cast<double>(r * M + m), K);
            }
        }
        heap.sort();
        const int nxt = 1 - cur;
        for (std::int64_t r = 0; r < heap.size; ++r) {
            const auto g = static_cast<std::int64_t>(number[r]);
            const std::int64_t parent = g / M;
            metric[nxt][r] = kept[r];
            for (std::int64_t j = i + 1; j < n; ++j) {
                path[nxt][r * n + j] = path[cur][parent * n + j];
            }
            path[nxt][r * n + i] = static_cast<double>(g - parent * M);
        }
        cur = nxt;
        size = heap.size;
    }
    if (nodes != nullptr) *nodes = count;

    // the best path, and per bit the least metric in the list that differs from it there
    const double* const best = path[cur];
    const double lam_ml = metric[cur][0];
    if (!(lam_ml < inf)) return search_status::none;  // every metric overflowed
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
    // 'flip': a counter-hypothesis formed for every bit the list has none for; each formed
    // candidate counts for every such bit where it differs from the best path, the least
    // metric kept (F)
    std::int64_t count_filled = 0;
    if (fill) {
        for (std::int64_t b = 0; b < B; ++b) F[b] = inf;
        path_metrics<Real>(z, R, n, a, q, c, best, e, pm);
        for (std::int64_t b = 0; b < B; ++b) {
            if (L[b] < inf) continue;
            ++count_filled;
            for (std::int64_t l = 0; l < n; ++l) trial[l] = best[l];
            const double v = flipped_candidate<Real>(z, R, n, a, q, c, pm, b / bits,
                                                     static_cast<std::int32_t>(b % bits), trial, e);
            for (std::int64_t l = 0; l < n; ++l) {
                const std::uint32_t diff =
                    a.labels[static_cast<std::int64_t>(trial[l])] ^ a.labels[idx[l]];
                for (std::int32_t k = 0; k < bits; ++k) {
                    const std::int64_t d = l * bits + k;
                    if (L[d] == inf && complex_levels::label_bit(diff, bits, k)) {
                        F[d] = std::min(F[d], v);
                    }
                }
            }
        }
        for (std::int64_t b = 0; b < B; ++b) {
            if (L[b] == inf) L[b] = F[b];
        }
    }
    if (filled != nullptr) *filled = count_filled;
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int32_t k = 0; k < bits; ++k) {
            const std::int64_t b = j * bits + k;
            L[b] = complex_levels::clipped_llr(
                L[b], lam_ml, n0, clip, complex_levels::label_bit(a.labels[idx[j]], bits, k));
        }
    }
    return search_status::found;
}

}  // namespace

search_status kbest_llrs(const double* z, const double* R, std::int64_t n,
                         const complex_alphabet& a, std::int64_t K, double n0, double clip,
                         const double* La, double* L, std::int32_t* idx, std::int64_t* nodes,
                         double* scratch, const interrupt_check* check, bool fill,
                         std::int64_t* filled) {
    if (complex_levels::is_real(z, R, n, a)) {
        return kbest_llrs_on<true>(z, R, n, a, K, n0, clip, fill, La, L, idx, nodes, filled,
                                   scratch, check);
    }
    return kbest_llrs_on<false>(z, R, n, a, K, n0, clip, fill, La, L, idx, nodes, filled, scratch,
                                check);
}
