// SPDX-License-Identifier: BSD-3-Clause
// Expectation propagation detection (see ep.h).
#include "channel/ep.h"

#include <cmath>
#include <limits>

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double floor_ratio = 1e-12;  // variance floors, relative to an entry's v_u

// The scratch of a column (offsets in doubles).
struct ep_layout {
    std::int64_t P, Li, b, rhs, mu, pinv, lam, gam, tc, vc, rdiag, cost, size;
};

ep_layout ep_layout_of(const soft_linear_problem& p) {
    const std::int64_t n = ep_entries(p);
    const std::int64_t side = p.alphabet.grid != nullptr ? p.alphabet.grid->side : 0;
    ep_layout l{};
    std::int64_t at = 0;
    auto take = [&at](std::int64_t count) {
        const std::int64_t here = at;
        at += count;
        return here;
    };
    l.P = take(n * n);   // P, then its Cholesky factor L (lower)
    l.Li = take(n * n);  // L^-1 (lower)
    l.b = take(n);       // H_r^T y_r
    l.rhs = take(n);
    l.mu = take(n);
    l.pinv = take(n);  // (P^-1)_ii
    l.lam = take(n);
    l.gam = take(n);
    l.tc = take(n);           // cavity means
    l.vc = take(n);           // cavity variances
    l.rdiag = take(n);        // 1/L(i,i)
    l.cost = take(n * side);  // prior cost (LLR units) of each entry's values
    l.size = at;
    return l;
}

// Mean and variance of values under weights exp(least - e[a]) (e: exponents, some +Inf).
void moments(const double* values, const double* e, int side, double* mean, double* var) {
    double least = inf;
    for (int a = 0; a < side; ++a) least = e[a] < least ? e[a] : least;
    double sw = 0.0, s1 = 0.0;
    double w[256];
    for (int a = 0; a < side; ++a) {
        w[a] = e[a] == inf ? 0.0 : std::exp(least - e[a]);
        sw += w[a];
        s1 += w[a] * values[a];
    }
    const double m = s1 / sw;
    double s2 = 0.0;
    for (int a = 0; a < side; ++a) s2 += w[a] * (values[a] - m) * (values[a] - m);
    *mean = m;
    *var = s2 / sw;
}

// Loops over the n entries, unrolled (in full where n, 4 or 8, is known at compile time):
// the same operations in the same order, scheduled together.
#define UNROLLED _Pragma("GCC unroll 8")

// Step 1 of a pass: P = Gr + s2 diag(lam) = L D L^T (L unit lower triangular, in P below
// the diagonal; rdiag = 1/D), Li = L^-1, pinv = diag(P^-1) = sum_k Li(k,i)^2/D_k,
// mu = P^-1 (b + s2 gam) = Li^T D^-1 Li (b + s2 gam) (tmp: n of scratch). No square
// roots. N > 0: n = N known at compile time; 0: any n.
template <int N>
soft_status factor_pass(std::int64_t n_any, const double* gram_r, double s2, const double* lam,
                        const double* gam, const double* b, double* P, double* Li, double* rdiag,
                        double* rhs, double* pinv, double* tmp, double* mu) {
    const std::int64_t n = N > 0 ? N : n_any;
    UNROLLED for (std::int64_t j = 0; j < n; ++j) {
        UNROLLED for (std::int64_t i = j; i < n; ++i) P[i + j * n] = gram_r[i + j * n];
        P[j + j * n] += s2 * lam[j];
        rhs[j] = b[j] + s2 * gam[j];
    }
    // right-looking: column j finished, then subtracted from the columns after it
    UNROLLED for (std::int64_t j = 0; j < n; ++j) {
        const double d = P[j + j * n];
        if (!std::isfinite(d)) return soft_status::not_finite;
        if (!(d > 0.0)) return soft_status::singular;
        const double r = 1.0 / d;
        rdiag[j] = r;
        double* __restrict cj = P + j * n;
        UNROLLED for (std::int64_t k = j + 1; k < n; ++k) {
            const double u = cj[k];  // D_j L(k,j)
            double* __restrict ck = P + k * n;
            UNROLLED for (std::int64_t i = k; i < n; ++i) ck[i] -= cj[i] * r * u;
        }
        UNROLLED for (std::int64_t i = j + 1; i < n; ++i) cj[i] = cj[i] * r;  // L(i,j)
    }
    // Li = L^-1 (unit lower), column by column (forward substitution on e_j)
    UNROLLED for (std::int64_t j = 0; j < n; ++j) {
        double* __restrict col = Li + j * n;
        const double* __restrict L = P;
        UNROLLED for (std::int64_t i = 0; i < n; ++i) col[i] = 0.0;
        col[j] = 1.0;
        UNROLLED for (std::int64_t k = j; k < n; ++k) {
            const double f = col[k];
            UNROLLED for (std::int64_t i = k + 1; i < n; ++i) col[i] -= L[i + k * n] * f;
        }
    }
    UNROLLED for (std::int64_t i = 0; i < n; ++i) {
        double c = 0.0;
        UNROLLED for (std::int64_t k = i; k < n; ++k) c += Li[k + i * n] * Li[k + i * n] * rdiag[k];
        pinv[i] = c;
    }
    UNROLLED for (std::int64_t k = 0; k < n; ++k) {
        double c = 0.0;
        UNROLLED for (std::int64_t j = 0; j <= k; ++j) c += Li[k + j * n] * rhs[j];
        tmp[k] = c * rdiag[k];  // D^-1 Li rhs
    }
    UNROLLED for (std::int64_t i = 0; i < n; ++i) {
        double c = 0.0;
        UNROLLED for (std::int64_t k = i; k < n; ++k) c += Li[k + i * n] * tmp[k];
        mu[i] = c;
    }
    return soft_status::done;
}

#undef UNROLLED

}  // namespace

void ep_prepare(const soft_linear_problem& p, const cplx* H, double* gram_r) {
    const std::int64_t nr = p.nr, nt = p.nt, n = ep_entries(p);
    for (std::int64_t i = 0; i < nt; ++i) {
        for (std::int64_t j = 0; j < nt; ++j) {
            cplx c = 0.0;  // h_i^H h_j
            for (std::int64_t r = 0; r < nr; ++r) c = c + cmulc(H[r + i * nr], H[r + j * nr]);
            if (!p.complex_model) {
                gram_r[i + j * n] = c.real();
                continue;
            }
            // the 2-by-2 block [re -im; im re] of (H^H H)(i,j)
            gram_r[2 * i + 2 * j * n] = c.real();
            gram_r[2 * i + (2 * j + 1) * n] = -c.imag();
            gram_r[2 * i + 1 + 2 * j * n] = c.imag();
            gram_r[2 * i + 1 + (2 * j + 1) * n] = c.real();
        }
    }
}

std::int64_t ep_scratch(const soft_linear_problem& p) {
    return ep_layout_of(p).size;
}

soft_status ep_column(const soft_linear_problem& p, const double* gram_r, const cplx* H,
                      const cplx* y, double n0, const double* prior, int iterations, double damping,
                      double* llr, std::int32_t* idx, double* scratch, const ep_trace* trace) {
    const ep_layout l = ep_layout_of(p);
    const constellation_grid& g = *p.alphabet.grid;
    const std::int64_t nr = p.nr, nt = p.nt, n = ep_entries(p);
    const int side = g.side, sb = g.side_bits, bits = p.alphabet.bits;
    double* P = scratch + l.P;
    double* Li = scratch + l.Li;
    double* b = scratch + l.b;
    double* rhs = scratch + l.rhs;
    double* mu = scratch + l.mu;
    double* pinv = scratch + l.pinv;
    double* lam = scratch + l.lam;
    double* gam = scratch + l.gam;
    double* tc = scratch + l.tc;
    double* vc = scratch + l.vc;
    double* rdiag = scratch + l.rdiag;
    double* cost = scratch + l.cost;
    auto fail = [&](soft_status s) {
        for (std::int64_t k = 0; k < nt * bits; ++k) llr[k] = 0.0;
        for (std::int64_t t = 0; t < nt; ++t) idx[t] = 0;
        return s;
    };

    // each dimension's values, and their variance when equiprobable (the floors' unit)
    double vals[2][256];
    for (int a = 0; a < side; ++a) {
        vals[0][a] = p.alphabet.points[g.point_at[a]].real();
        if (g.dims == 2) vals[1][a] = p.alphabet.points[g.point_at[side * a]].imag();
    }
    double zero[256] = {};
    double m_u = 0.0, v_u = 0.0;
    moments(vals[0], zero, side, &m_u, &v_u);
    const double vfloor = floor_ratio * v_u;
    // entry i: antenna i/2 and dimension i%2 (complex model), antenna i and the real part
    auto dim_of = [&](std::int64_t i) { return p.complex_model ? static_cast<int>(i % 2) : 0; };
    auto antenna_of = [&](std::int64_t i) { return p.complex_model ? i / 2 : i; };
    auto bit_of = [&](std::int64_t i, int j) {
        return antenna_of(i) * bits + (dim_of(i) == 1 ? g.bit_im[j] : g.bit_re[j]);
    };

    // the prior costs and the starting sites (without priors each dimension's equiprobable
    // moments, the same for every entry)
    double m_flat[2] = {m_u, 0.0}, v_flat[2] = {v_u, 0.0};
    if (g.dims == 2) moments(vals[1], zero, side, &m_flat[1], &v_flat[1]);
    for (std::int64_t i = 0; i < n; ++i) {
        const std::uint32_t* labels = dim_of(i) == 1 ? g.labels_im : g.labels_re;
        for (int a = 0; a < side; ++a) {
            double c = 0.0;
            for (int j = 0; j < sb && prior != nullptr; ++j) {
                c += prior_cost(prior[bit_of(i, j)], (labels[a] >> (sb - 1 - j)) & 1u);
            }
            cost[i * side + a] = c;
        }
        double m0 = m_flat[dim_of(i)], v0 = v_flat[dim_of(i)];
        if (prior != nullptr) moments(vals[dim_of(i)], cost + i * side, side, &m0, &v0);
        if (!(v0 >= vfloor)) v0 = vfloor;
        lam[i] = 1.0 / v0;
        gam[i] = m0 / v0;
    }
    // b = H_r^T y_r: the real form of H^H y
    for (std::int64_t t = 0; t < nt; ++t) {
        cplx c = 0.0;
        for (std::int64_t r = 0; r < nr; ++r) c = c + cmulc(H[r + t * nr], y[r]);
        if (p.complex_model) {
            b[2 * t] = c.real();
            b[2 * t + 1] = c.imag();
        } else {
            b[t] = c.real();
        }
    }
    const double s2 = 0.5 * n0;
    if (iterations < 1) iterations = 1;  // at least the one pass the LLRs come from

    for (int pass = 0; pass < iterations; ++pass) {
        const soft_status fs =
            n == 8   ? factor_pass<8>(n, gram_r, s2, lam, gam, b, P, Li, rdiag, rhs, pinv, tc, mu)
            : n == 4 ? factor_pass<4>(n, gram_r, s2, lam, gam, b, P, Li, rdiag, rhs, pinv, tc, mu)
                     : factor_pass<0>(n, gram_r, s2, lam, gam, b, P, Li, rdiag, rhs, pinv, tc, mu);
        if (fs != soft_status::done) return fail(fs);
        // the cavities
        for (std::int64_t i = 0; i < n; ++i) {
            const double c = 1.0 / pinv[i] - s2 * lam[i];
            if (c > 0.0) {
                vc[i] = s2 / c;
                tc[i] = (mu[i] / pinv[i] - s2 * gam[i]) / c;
            } else {
                vc[i] = vfloor;
                tc[i] = mu[i];
            }
            if (!(vc[i] >= vfloor)) vc[i] = vfloor;
            if (!std::isfinite(tc[i]) || !std::isfinite(vc[i]))
                return fail(soft_status::not_finite);
        }
        if (pass + 1 == iterations) break;
        // tilted moments and the damped site updates
        for (std::int64_t i = 0; i < n; ++i) {
            const double* v = vals[dim_of(i)];
            double e[256];
            const double iv = 1.0 / vc[i];
            const double h = 0.5 * iv;
            for (int a = 0; a < side; ++a) {
                const double u = tc[i] - v[a];
                e[a] = u * u * h + cost[i * side + a];
            }
            double least = inf;
            int mode = 0;
            for (int a = 0; a < side; ++a) {
                const bool lower = e[a] < least;
                mode = lower ? a : mode;
                least = lower ? e[a] : least;
            }
            if (!(least < inf)) {
                // every exponent overflowed: the nearest value the priors allow
                int best = -1;
                for (int a = 0; a < side; ++a) {
                    if (cost[i * side + a] == inf) continue;
                    if (best < 0 || std::fabs(tc[i] - v[a]) < std::fabs(tc[i] - v[best])) best = a;
                }
                for (int a = 0; a < side; ++a) e[a] = a == best ? 0.0 : inf;
                least = 0.0;
                mode = best;
            }
            // the tilted distribution's weights exp(least - e) (the mode's is exp(0) = 1; a
            // weight below e^-60 of it is below its rounding: taken as 0), its mean and variance
            // from the moments about the mode v* (one pass; no cancellation: where the mass
            // concentrates at v* both terms of s are small, m^2 of second order)
            double sw = 0.0, s1 = 0.0, s2m = 0.0;
            const double vm = v[mode];
            for (int a = 0; a < side; ++a) {
                const double w = a == mode             ? 1.0
                                 : e[a] - least > 60.0 ? 0.0
                                                       : std::exp(least - e[a]);
                const double dv = v[a] - vm;
                sw += w;
                s1 += w * dv;
                s2m += w * dv * dv;
            }
            const double isw = 1.0 / sw;
            const double m = s1 * isw;
            const double xh = vm + m;
            double s = s2m * isw - m * m;
            if (!(s >= vfloor)) s = vfloor;
            const double is = 1.0 / s;
            const double lnew = is - iv;
            if (!(lnew > 0.0)) continue;  // a precision that is not positive: the old pair
            const double gnew = xh * is - tc[i] * iv;
            lam[i] = damping * lam[i] + (1.0 - damping) * lnew;
            gam[i] = damping * gam[i] + (1.0 - damping) * gnew;
        }
    }

    // LLRs from the last cavities, per entry; the decided point per antenna
    int best[2] = {0, 0};
    for (std::int64_t i = 0; i < n; ++i) {
        const int d = dim_of(i);
        double La[8], L[8];
        for (int j = 0; j < sb && prior != nullptr; ++j) La[j] = prior[bit_of(i, j)];
        double least = 0.0;
        demap_dimension(tc[i], 2.0 * vc[i], vals[d], d == 1 ? g.labels_im : g.labels_re, side, sb,
                        prior != nullptr ? La : nullptr, p.output, p.clip, L, &best[d], &least);
        for (int j = 0; j < sb; ++j) llr[bit_of(i, j)] = L[j];
        if (!p.complex_model) {
            idx[i] = g.point_at[best[0]];
        } else if (d == 1) {
            idx[i / 2] = g.point_at[best[0] + side * best[1]];
        }
    }
    if (trace != nullptr) {
        for (std::int64_t i = 0; i < n; ++i) {
            if (trace->cavity_mean != nullptr) trace->cavity_mean[i] = tc[i];
            if (trace->cavity_var != nullptr) trace->cavity_var[i] = vc[i];
            if (trace->post_mean != nullptr) trace->post_mean[i] = mu[i];
            if (trace->post_var != nullptr) trace->post_var[i] = s2 * pinv[i];
        }
    }
    return soft_status::done;
}
