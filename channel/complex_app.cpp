// SPDX-License-Identifier: BSD-3-Clause
// The complex-point front of the APP tree search (detect/app_tree.h): level i's children are
// the M points, with the distances of complex_search.h (channel/complex_levels.h):
// d = pd + |u_i - R(i,i)*p[m]|^2, u_i = z[i] - sum_{j>i} R(i,j)*p[x(j)].
#include "channel/complex_app.h"

#include <cmath>
#include <new>

#include "channel/complex_levels.h"

namespace {

template <bool Real>
struct point_front {
    const double* z;
    const double* R;
    std::int64_t n;
    const complex_alphabet& a;
    const double* q;  // 2nM: R(i,i)*p[m]

    std::int32_t bits_of(std::int64_t) const { return a.bits; }
    std::uint32_t label(std::int64_t, std::int64_t m) const { return a.labels[m]; }

    void expand(std::int64_t i, double pd, const double* px, double* dist) {
        double ur, ui;
        const auto path = [px](std::int64_t j) { return static_cast<std::int64_t>(px[j]); };
        complex_levels::level_centre<Real>(z, R, n, i, a, path, ur, ui);
        complex_levels::level_metrics<Real>(ur, ui, q + 2 * i * a.M, nullptr, a.M, pd, dist);
    }
};

std::int64_t search_size(std::int64_t n, std::int64_t M, std::int32_t bits) {
    return app_tree::scratch_size(n, n * M, n * bits);
}

// The max-log pass of a finite clip: its LLRs, its point (n int32 in n doubles' room), its
// scratch.
std::int64_t maxlog_size(std::int64_t n, std::int64_t M, std::int32_t bits) {
    return n * bits + n + complex_search_scratch_size(n, M);
}

std::int32_t bits_of(std::int64_t M) {
    std::int32_t bits = 0;
    while ((std::int64_t{1} << bits) < M) ++bits;
    return bits;
}

// Whether the max-log search takes these priors: finite, and n0 times their sum finite
// (it keeps the costs scaled by n0).
bool maxlog_takes(const double* La, std::int64_t B, double n0) {
    if (La == nullptr) return true;
    double sum = 0.0;
    for (std::int64_t b = 0; b < B; ++b) sum = sum + std::fabs(La[b]);
    return std::isfinite(n0 * sum);
}

template <bool Real>
search_status run(const double* z, const double* R, std::int64_t n, const complex_alphabet& a,
                  const app_tree::problem& p, double* L, std::int64_t* nodes, double* scratch,
                  const interrupt_check* check) {
    double* const q = scratch;
    complex_levels::fill_scaled_points(R, n, a, q);
    point_front<Real> front{z, R, n, a, q};
    app_tree::search<point_front<Real>> s(p, front, scratch + 2 * n * a.M);
    // With a finite clip, the bits that the max-log LLRs show beyond it (app_tree.h)
    const double cm = s.maxlog_clip();
    const std::int64_t B = n * a.bits;
    if (cm < app_tree::inf && maxlog_takes(p.La, B, p.n0)) {
        double* const lm = scratch + (2 * n * a.M + search_size(n, a.M, a.bits));
        auto* const idx = new (lm + B) std::int32_t[n];  // in the room of n doubles
        const search_status st =
            find_complex_llrs(z, R, n, a, p.n0, cm, p.La, lm, idx, nullptr, lm + B + n, check);
        if (st == search_status::interrupted) return st;
        if (st == search_status::found) s.saturate(lm);
    }
    return s.run(L, nodes, check);
}

}  // namespace

std::int64_t complex_app_scratch_size(std::int64_t n, std::int64_t M) {
    if (n <= 0) return 0;
    const std::int32_t bits = bits_of(M);
    return 2 * n * M + search_size(n, M, bits) + maxlog_size(n, M, bits);
}

search_status find_complex_app_llrs(const double* z, const double* R, std::int64_t n,
                                    const complex_alphabet& a, double n0, double clip, double tol,
                                    app_output output, const double* La, double* L,
                                    std::int64_t* nodes, double* scratch,
                                    const interrupt_check* check) {
    if (nodes != nullptr) *nodes = 0;
    if (n <= 0) return search_status::none;
    const app_tree::problem p{n, La, n0, clip, tol, output};
    if (complex_levels::is_real(z, R, n, a)) {
        return run<true>(z, R, n, a, p, L, nodes, scratch, check);
    }
    return run<false>(z, R, n, a, p, L, nodes, scratch, check);
}
