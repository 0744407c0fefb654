// SPDX-License-Identifier: BSD-3-Clause
// The complex-point front of the APP tree search (detect/app_tree.h): level i's children are
// the M points, with the distances of complex_search.h (channel/complex_levels.h):
// d = pd + |u_i - R(i,i)*p[m]|^2, u_i = z[i] - sum_{j>i} R(i,j)*p[x(j)].
#include "channel/complex_app.h"

#include <cmath>
#include <new>

#include "channel/complex_levels.h"

namespace {

// What the child bounds need of the alphabet's geometry. A grid (the points are distinct
// and are every pair of nre real parts with nim imaginary parts) has the least gaps gre and
// gim of its parts; any other alphabet the least distance dmin of two of its points.
struct geometry {
    bool grid = false;
    std::int64_t nre = 0, nim = 0;
    double gre = 0.0, gim = 0.0, dmin = 0.0;
    // a grid's point m is the ia[m]-th real part with the ib[m]-th imaginary part; rep_re[a]
    // and rep_im[b] are points with the a-th real and the b-th imaginary part
    std::uint8_t ia[256], ib[256], rep_re[256], rep_im[256];
};

// The distinct values of v[0], v[2], .. (M of them) into out, ascending; their count.
std::int64_t distinct_sorted(const double* v, std::int64_t M, double* out) {
    std::int64_t c = 0;
    for (std::int64_t m = 0; m < M; ++m) {
        const double x = v[2 * m];
        std::int64_t i = 0;
        while (i < c && out[i] < x) ++i;
        if (i < c && out[i] == x) continue;
        for (std::int64_t j = c; j > i; --j) out[j] = out[j - 1];
        out[i] = x;
        ++c;
    }
    return c;
}

double least_gap(const double* v, std::int64_t c) {
    double g = app_tree::inf;
    for (std::int64_t i = 1; i < c; ++i) g = v[i] - v[i - 1] < g ? v[i] - v[i - 1] : g;
    return g;
}

// The position of x among v[0 .. c-1] (x is one of them).
std::int64_t index_of(const double* v, std::int64_t c, double x) {
    std::int64_t i = 0;
    while (i + 1 < c && v[i] != x) ++i;
    return i;
}

// tmp: 2M doubles.
geometry alphabet_geometry(const complex_alphabet& a, double* tmp) {
    const std::int64_t M = a.M;
    geometry g;
    double* const re = tmp;
    double* const im = tmp + M;
    g.nre = distinct_sorted(a.points, M, re);
    g.nim = distinct_sorted(a.points + 1, M, im);
    g.grid = g.nre * g.nim == M;
    if (g.grid) {
        g.gre = least_gap(re, g.nre);
        g.gim = least_gap(im, g.nim);
        // every pair taken once: one cell of the nre-by-nim table per point, none twice
        std::uint64_t seen[4] = {0, 0, 0, 0};  // M <= 256 cells
        for (std::int64_t m = 0; m < M && g.grid; ++m) {
            const std::int64_t ia = index_of(re, g.nre, a.points[2 * m]);
            const std::int64_t ib = index_of(im, g.nim, a.points[2 * m + 1]);
            g.ia[m] = static_cast<std::uint8_t>(ia);
            g.ib[m] = static_cast<std::uint8_t>(ib);
            g.rep_re[ia] = static_cast<std::uint8_t>(m);
            g.rep_im[ib] = static_cast<std::uint8_t>(m);
            const std::int64_t cell = ia * g.nim + ib;
            const std::uint64_t bit = std::uint64_t{1} << (cell % 64);
            if ((seen[cell / 64] & bit) != 0) g.grid = false;
            seen[cell / 64] |= bit;
        }
    }
    if (!g.grid) {
        double d2 = app_tree::inf;
        for (std::int64_t m = 0; m < M; ++m) {
            for (std::int64_t l = m + 1; l < M; ++l) {
                const double dr = a.points[2 * m] - a.points[2 * l];
                const double di = a.points[2 * m + 1] - a.points[2 * l + 1];
                const double d = dr * dr + di * di;
                d2 = d < d2 ? d : d2;
            }
        }
        g.dmin = std::sqrt(d2);
    }
    return g;
}

template <bool Real>
struct point_front {
    const double* z;
    const double* R;
    std::int64_t n;
    const complex_alphabet& a;
    const double* q;    // 2nM: R(i,i)*p[m]
    const geometry& g;  // the caller's (1 KB of tables: not copied per call)

    // ln of a bound on sum_m e^{-(dist[m] - pd)/n0} for any centre, the points scaled by
    // r = |R(i,i)| (a rotation and a scaling: distances scale by r). A grid's sum is the
    // product of its parts' sums, and of values with least gap h the i-th nearest (from 0)
    // is at least i*h/2 from the centre (i+1 values span i*h). Any other alphabet: the
    // disks of radius rho = r*dmin/2 about the i+1 nearest points are disjoint and lie in
    // the disk of radius t_i + rho about the centre, so (i+1)*rho^2 <= (t_i + rho)^2 and
    // the i-th nearest is at least rho*(sqrt(i+1) - 1) away.
    double log_child_bound(std::int64_t i, double n0) const {
        const double rr = R[2 * (i + i * n)], ri = R[2 * (i + i * n) + 1];
        const double r = std::sqrt(rr * rr + ri * ri) * (1.0 - app_tree::spacing_margin);
        const auto part = [&](double gap, std::int64_t c) {
            if (c <= 1) return 1.0;
            const double h = 0.5 * r * gap;
            return app_tree::spaced_mass(h * h / n0, c);
        };
        if (g.grid) return std::log(part(g.gre, g.nre) * part(g.gim, g.nim));
        const double rho = 0.5 * r * g.dmin;
        double s = 0.0;
        for (std::int64_t m = 0; m < a.M; ++m) {
            const double t = rho * (std::sqrt(static_cast<double>(m + 1)) - 1.0);
            const double x = t * t / n0;
            if (x > 800.0) break;  // the rest are below e^{-800} each
            s = s + std::exp(-x);
        }
        return std::log(s);
    }

    std::int32_t bits_of(std::int64_t) const { return a.bits; }
    std::uint32_t label(std::int64_t, std::int64_t m) const { return a.labels[m]; }

    void expand(std::int64_t i, double pd, const double* px, double* dist) {
        double ur, ui;
        const auto path = [px](std::int64_t j) { return static_cast<std::int64_t>(px[j]); };
        complex_levels::level_centre<Real>(z, R, n, i, a, path, ur, ui);
        complex_levels::level_metrics<Real>(ur, ui, q + 2 * i * a.M, nullptr, a.M, pd, dist);
        if (i == 0) {
            u0r = ur;
            u0i = ui;
        }
    }

    // w[m] = e^{-(dist[m] - least)/u} for the leaves of the last expand(0) without priors
    // as a product of a real and an imaginary factor: with R(0,0) real, a grid's
    // dist[m] - pd = dr[ia[m]]^2 + di[ib[m]]^2 with the very dr and di that level_metrics forms
    // (R(0,0)*p[m] has the real part R(0,0)*Re p[m] and the imaginary part R(0,0)*Im p[m]), and
    // the least of the sums is the sum of the least parts (rounding is monotone). nre + nim
    // exponentials instead of M. False (w untouched) where that does not hold.
    bool leaf_weights(double u, double* w) const {
        if (!g.grid || (!Real && R[1] != 0.0) || !std::isfinite(u0r) || !std::isfinite(u0i)) {
            return false;
        }
        double er[256], ei[256];
        parts(u0r, 0, g.rep_re, g.nre, u, er);
        if (Real) {
            for (std::int64_t b = 0; b < g.nim; ++b) ei[b] = 1.0;
        } else {
            parts(u0i, 1, g.rep_im, g.nim, u, ei);
        }
        for (std::int64_t m = 0; m < a.M; ++m) w[m] = er[g.ia[m]] * ei[g.ib[m]];
        return true;
    }

    // e[c] = e^{-(d_c^2 - least)/un}, d_c = c0 - (part `part` of R(0,0)*p[rep[c]]).
    void parts(double c0, int part, const std::uint8_t* rep, std::int64_t count, double un,
               double* e) const {
        double least = app_tree::inf;
        for (std::int64_t c = 0; c < count; ++c) {
            const double d = c0 - q[2 * rep[c] + part];
            e[c] = d * d;
            least = e[c] < least ? e[c] : least;
        }
        for (std::int64_t c = 0; c < count; ++c) {
            const double x = (e[c] - least) / un;
            e[c] = x <= 746.0 ? std::exp(-x) : 0.0;
        }
    }

    double u0r = 0.0, u0i = 0.0;  // level 0's centre from the last expand(0)
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
    const geometry g = alphabet_geometry(a, q);  // q's room, before q is filled
    complex_levels::fill_scaled_points(R, n, a, q);
    point_front<Real> front{z, R, n, a, q, g};
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
