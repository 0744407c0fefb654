// SPDX-License-Identifier: BSD-3-Clause
// The complex-point front of the APP tree search (detect/app_tree.h): level i's children are
// the M points, with the distances of complex_search.h (channel/complex_levels.h):
// d = pd + |u_i - R(i,i)*p[m]|^2, u_i = z[i] - sum_{j>i} R(i,j)*p[x(j)].
#include "channel/complex_app.h"

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

template <bool Real>
search_status run(const double* z, const double* R, std::int64_t n, const complex_alphabet& a,
                  const app_tree::problem& p, double* L, std::int64_t* nodes, double* scratch,
                  const interrupt_check* check) {
    double* const q = scratch;
    complex_levels::fill_scaled_points(R, n, a, q);
    point_front<Real> front{z, R, n, a, q};
    app_tree::search<point_front<Real>> s(p, front, scratch + 2 * n * a.M);
    return s.run(L, nodes, check);
}

}  // namespace

std::int64_t complex_app_scratch_size(std::int64_t n, std::int64_t M) {
    if (n <= 0) return 0;
    std::int32_t bits = 0;
    while ((std::int64_t{1} << bits) < M) ++bits;
    return 2 * n * M + search_size(n, M, bits);
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
