// SPDX-License-Identifier: BSD-3-Clause
// MMSE-PIC (see mmse_pic.h).
#include "channel/mmse_pic.h"

#include <cmath>
#include <limits>

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// Mean and variance of one real dimension: values[a] with labels[a] (sb bits, most
// significant first), the prior of label bit j being La[bit[j]] (La may be null).
void dimension_moments(const double* values, const std::uint32_t* labels, int side, int sb,
                       const double* La, const std::int32_t* bit, double* mean, double* var) {
    double w[256];
    double sw = 0.0, s1 = 0.0;
    if (La == nullptr) {
        for (int a = 0; a < side; ++a) w[a] = 1.0;
    } else {
        double cost[256], least = inf;
        for (int a = 0; a < side; ++a) {
            double c = 0.0;
            for (int j = 0; j < sb; ++j)
                c += prior_cost(La[bit[j]], (labels[a] >> (sb - 1 - j)) & 1u);
            cost[a] = c;
            if (c < least) least = c;
        }
        // least is finite: some value agrees with every known bit (the labels are all patterns)
        for (int a = 0; a < side; ++a) w[a] = std::exp(least - cost[a]);
    }
    for (int a = 0; a < side; ++a) {
        sw += w[a];
        s1 += w[a] * values[a];
    }
    const double m = s1 / sw;
    double s2 = 0.0;
    for (int a = 0; a < side; ++a) s2 += w[a] * (values[a] - m) * (values[a] - m);
    *mean = m;
    *var = s2 / sw;
}

}  // namespace

// dimension_moments reads values[0 .. side-1], all written just before: GCC 12 cannot see it
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
void soft_symbol(const soft_alphabet& a, const double* La, cplx* mean, double* var) {
    if (soft_separable(a)) {
        const constellation_grid& g = *a.grid;
        double values[256];
        for (int v = 0; v < g.side; ++v) values[v] = a.points[g.point_at[v]].real();
        double m_re = 0.0, v_re = 0.0, m_im = 0.0, v_im = 0.0;
        dimension_moments(values, g.labels_re, g.side, g.side_bits, La, g.bit_re, &m_re, &v_re);
        if (g.dims == 2) {
            for (int v = 0; v < g.side; ++v) values[v] = a.points[g.point_at[g.side * v]].imag();
            dimension_moments(values, g.labels_im, g.side, g.side_bits, La, g.bit_im, &m_im, &v_im);
        }
        *mean = cplx(m_re, m_im);
        *var = v_re + v_im;
        return;
    }
    double w[256];
    if (La == nullptr) {
        for (int m = 0; m < a.M; ++m) w[m] = 1.0;
    } else {
        double cost[256], least = inf;
        for (int m = 0; m < a.M; ++m) {
            double c = 0.0;
            for (int b = 0; b < a.bits; ++b)
                c += prior_cost(La[b], label_bit(a.labels[m], a.bits, b));
            cost[m] = c;
            if (c < least) least = c;
        }
        for (int m = 0; m < a.M; ++m) w[m] = std::exp(least - cost[m]);
    }
    double sw = 0.0;
    cplx s1 = 0.0;
    for (int m = 0; m < a.M; ++m) {
        sw += w[m];
        s1 += w[m] * a.points[m];
    }
    const cplx mu = s1 / sw;
    double s2 = 0.0;
    for (int m = 0; m < a.M; ++m) s2 += w[m] * cabs2(a.points[m] - mu);
    *mean = mu;
    *var = s2 / sw;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void mmse_pic_prepare(const cplx* H, std::int64_t nr, std::int64_t nt, cplx* gram) {
    for (std::int64_t i = 0; i < nt; ++i) {
        for (std::int64_t j = 0; j < nt; ++j) {
            cplx c = 0.0;  // h_i^H h_j
            for (std::int64_t r = 0; r < nr; ++r) c = c + cmulc(H[r + i * nr], H[r + j * nr]);
            gram[i + j * nt] = c;
        }
    }
}

namespace {

// The scratch of a column (offsets in doubles).
struct pic_layout {
    std::int64_t W, xbar, E, r, q, fed, size;
};

pic_layout pic_layout_of(const soft_linear_problem& p) {
    const std::int64_t nt = p.nt, nr = p.nr;
    pic_layout l{};
    l.W = 0;                     // nt-by-2nt complex: [N0 I + G E | I]
    l.xbar = l.W + 4 * nt * nt;  // nt complex
    l.E = l.xbar + 2 * nt;       // nt
    l.r = l.E + nt;              // nr complex
    l.q = l.r + 2 * nr;          // nt complex
    l.fed = l.q + 2 * nt;        // nt*bits: the last pass's posteriors
    l.size = l.fed + nt * p.alphabet.bits;
    return l;
}

void no_answer(const soft_linear_problem& p, double* llr, std::int32_t* idx) {
    for (std::int64_t b = 0; b < p.nt * p.alphabet.bits; ++b) llr[b] = 0.0;
    for (std::int64_t t = 0; t < p.nt; ++t) idx[t] = 0;
}

}  // namespace

std::int64_t mmse_pic_scratch(const soft_linear_problem& p) {
    return pic_layout_of(p).size;
}

soft_status mmse_pic_column(const soft_linear_problem& p, const cplx* H, const cplx* gram,
                            const cplx* y, double n0, const double* prior, int iterations,
                            double* llr, std::int32_t* idx, cplx* z, double* noise,
                            double* scratch) {
    const pic_layout l = pic_layout_of(p);
    const std::int64_t nr = p.nr, nt = p.nt, w = 2 * nt;
    const int bits = p.alphabet.bits;
    cplx* W = reinterpret_cast<cplx*>(scratch + l.W);
    cplx* xbar = reinterpret_cast<cplx*>(scratch + l.xbar);
    double* E = scratch + l.E;
    cplx* r = reinterpret_cast<cplx*>(scratch + l.r);
    cplx* q = reinterpret_cast<cplx*>(scratch + l.q);
    double* fed = scratch + l.fed;
    // the filter's noise: per complex antenna, or per real entry (real model)
    const double nf = p.complex_model ? n0 : 0.5 * n0;
    const double* symbol_prior = prior;
    if (iterations < 1) iterations = 1;
    for (int pass = 0; pass < iterations; ++pass) {
        const bool last = pass + 1 == iterations;
        for (std::int64_t t = 0; t < nt; ++t) {
            soft_symbol(p.alphabet, symbol_prior != nullptr ? symbol_prior + t * bits : nullptr,
                        &xbar[t], &E[t]);
        }
        // [N0 I + G E | I] to [I | (N0 I + G E)^-1] = [I | C^H], pivots in order
        for (std::int64_t j = 0; j < nt; ++j) {
            for (std::int64_t i = 0; i < nt; ++i) {
                W[i + j * nt] = gram[i + j * nt] * E[j];
                W[i + (nt + j) * nt] = 0.0;
            }
            W[j + j * nt] += nf;
            W[j + (nt + j) * nt] = 1.0;
        }
        for (std::int64_t k = 0; k < nt; ++k) {
            const cplx pv = W[k + k * nt];
            if (!std::isfinite(pv.real()) || !std::isfinite(pv.imag())) {
                no_answer(p, llr, idx);
                return soft_status::not_finite;
            }
            if (!(pv.real() > 0.0)) {
                no_answer(p, llr, idx);
                return soft_status::singular;
            }
            const cplx inv = 1.0 / pv;
            for (std::int64_t j = k + 1; j < w; ++j) W[k + j * nt] = cmul(W[k + j * nt], inv);
            W[k + k * nt] = 1.0;
            for (std::int64_t i = 0; i < nt; ++i) {
                if (i == k) continue;
                const cplx f = W[i + k * nt];
                for (std::int64_t j = k + 1; j < w; ++j) {
                    W[i + j * nt] = W[i + j * nt] - cmul(f, W[k + j * nt]);
                }
                W[i + k * nt] = 0.0;
            }
        }
        const cplx* Ci = W + nt * nt;  // C^H, nt-by-nt
        // r = y - H xbar, q = H^H r
        for (std::int64_t i = 0; i < nr; ++i) r[i] = y[i];
        for (std::int64_t j = 0; j < nt; ++j) {
            for (std::int64_t i = 0; i < nr; ++i) r[i] = r[i] - cmul(H[i + j * nr], xbar[j]);
        }
        for (std::int64_t j = 0; j < nt; ++j) {
            cplx c = 0.0;
            for (std::int64_t i = 0; i < nr; ++i) c = c + cmulc(H[i + j * nr], r[i]);
            q[j] = c;
        }
        double* out = last ? llr : fed;
        for (std::int64_t t = 0; t < nt; ++t) {
            const double* La = prior != nullptr ? prior + t * bits : nullptr;
            const llr_output o = last ? p.output : llr_output::posterior;
            const double clip = last ? p.clip : inf;
            if (gram[t + t * nt].real() == 0.0) {
                // no receiver sees the stream: its priors alone
                demap_stream(cplx(0.0, 0.0), inf, p.alphabet, La, o, clip, out + t * bits, &idx[t]);
                if (last && z != nullptr) z[t] = xbar[t];
                if (last && noise != nullptr) noise[t] = inf;
                continue;
            }
            // g_t = (G C)_tt = (C^H G)_tt, u_t^H r = (C^H q)_t
            double g = 0.0;
            cplx v = 0.0;
            for (std::int64_t j = 0; j < nt; ++j) {
                g += cmul(Ci[t + j * nt], gram[j + t * nt]).real();
                v = v + cmul(Ci[t + j * nt], q[j]);
            }
            const cplx zt = xbar[t] + v / g;
            double nt0 = nf * Ci[t + t * nt].real() / g;
            if (!p.complex_model) nt0 = 2.0 * nt0;
            if (!std::isfinite(zt.real()) || !std::isfinite(zt.imag()) || !std::isfinite(nt0) ||
                !(g > 0.0)) {
                no_answer(p, llr, idx);
                return soft_status::not_finite;
            }
            demap_stream(zt, nt0, p.alphabet, La, o, clip, out + t * bits, &idx[t]);
            if (last && z != nullptr) z[t] = zt;
            if (last && noise != nullptr) noise[t] = nt0;
        }
        symbol_prior = fed;
    }
    return soft_status::done;
}
