// SPDX-License-Identifier: BSD-3-Clause
// The channel-level detector (see mimo_detector.h).
#include "channel/mimo_detector.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "channel/complex_app.h"
#include "channel/complex_search.h"
#include "channel/ep.h"
#include "channel/kbest.h"
#include "channel/linear.h"
#include "channel/mmse_pic.h"
#include "channel/soft_demap.h"
#include "detect/app_search.h"
#include "detect/decision_feedback.h"
#include "detect/soft_search.h"
#include "reduce/reduce_qr_factors.h"

// clang-format off
const mimo_method_traits mimo_methods[10] = {
    // method             name      qr     tall   soft   prior  nodes  grid   real form                  search     K, fill
    {mimo_method::maxlog, "maxlog", true,  true,  true,  true,  true,  false, mimo_real_form::separable, "complex", false, false, false, false, false},
    {mimo_method::ml,     "ml",     true,  true,  false, false, true,  false, mimo_real_form::on_grid,   "complex", false, false, false, false, false},
    {mimo_method::kbest,  "kbest",  true,  true,  true,  true,  true,  false, mimo_real_form::never,     "complex", true, false, false, false, false},
    {mimo_method::mmse,   "mmse",   false, false, true,  true,  false, false, mimo_real_form::never,     "linear", false, false, false, false, false},
    {mimo_method::zf,     "zf",     false, true,  true,  true,  false, false, mimo_real_form::never,     "linear", false, false, false, false, false},
    {mimo_method::sic,    "sic",    true,  true,  false, false, false, false, mimo_real_form::never,     "complex", false, false, false, false, false},
    {mimo_method::lr,     "lr",     true,  true,  false, false, false, true,  mimo_real_form::on_grid,   "complex", false, false, false, false, false},
    {mimo_method::mmse_pic, "mmse-pic", false, false, true, true, false, false, mimo_real_form::never, "linear", false, true, false, false, false},
    {mimo_method::ep,     "ep",     false, false, true,  true,  false, true,  mimo_real_form::never,     "linear", false, true, true, true, false},
    {mimo_method::app,    "app",    true,  true,  true,  true,  true,  false, mimo_real_form::never,     "complex", false, false, false, false, true},
};
// clang-format on

const mimo_method_traits& mimo_traits(mimo_method m) {
    return mimo_methods[static_cast<int>(m)];
}

bool mimo_uses_real_form(mimo_method m, const constellation_grid& grid) {
    switch (mimo_traits(m).real) {
        case mimo_real_form::separable:
            return grid.separable;
        case mimo_real_form::on_grid:
            return grid.grid;
        case mimo_real_form::never:
            break;
    }
    return false;
}

namespace {

// Where each part of a prepared page lies (offsets in doubles).
struct page_layout {
    std::int64_t perm, bitmap, Q, R, Rs, off, Qo, Ro, Uo, G, noise, mu, H, gram, size;
};

// The soft-in linear problem of 'mmse-pic' and 'ep'.
soft_linear_problem soft_problem_of(const mimo_problem& p) {
    soft_linear_problem s;
    s.complex_model = p.complex_model;
    s.nr = p.nr;
    s.nt = p.nt;
    s.alphabet = soft_alphabet{p.M, p.bits, p.points, p.labels, p.grid};
    s.clip = p.clip;
    s.output = p.extrinsic ? llr_output::extrinsic : llr_output::posterior;
    return s;
}

bool soft_in(const mimo_problem& p) {
    return p.method == mimo_method::mmse_pic || p.method == mimo_method::ep;
}

page_layout layout_of(const mimo_problem& p) {
    const std::int64_t nr = p.nr, nt = p.nt, n = mimo_real_levels(p);
    page_layout l{};
    std::int64_t at = 0;
    auto take = [&at](std::int64_t count) {
        const std::int64_t here = at;
        at += count;
        return here;
    };
    l.perm = take(nt);
    if (mimo_traits(p.method).uses_qr) {
        // bitmap[b]: the caller's bit (antenna t's bits at t*bits) of the search's bit b
        l.bitmap = take(nt * p.bits);
        l.Q = take(2 * nr * nt);
        l.R = take(2 * nt * nt);
        if (p.real_path) {
            l.Rs = take(n * n);
            l.off = take(n);
        }
        if (p.method == mimo_method::lr) {
            l.Qo = take(n * n);
            l.Ro = take(n * n);
            l.Uo = take(n * n);
        }
    } else if (soft_in(p)) {
        l.H = take(2 * nr * nt);
        l.gram = take(p.method == mimo_method::ep ? ep_page_size(soft_problem_of(p)) : 2 * nt * nt);
    } else {
        l.G = take(2 * nt * nr);
        l.noise = take(nt);
        l.mu = take(nt);
    }
    l.size = at;
    return l;
}

// The scratch of a column, after the search's own.
struct column_layout {
    std::int64_t z, zr, ys, L, La, Lw, La2, symb, symb2, idx, x, search, size;
};

std::int64_t search_scratch_of(const mimo_problem& p) {
    const std::int64_t nt = p.nt, n = mimo_real_levels(p), M = p.M;
    std::int64_t s = std::max<std::int64_t>(5 * n, nt);
    s = std::max(s, linear_filter_scratch(p.nr, nt));
    s = std::max(s, reduce_qr_scratch_size(n));
    const bool app = p.method == mimo_method::app;
    if (p.real_path && (p.method == mimo_method::maxlog || app)) {
        s = std::max(s, soft_scratch_size(n, nt * p.bits));
    }
    if (p.real_path && app) {
        s = std::max(s, app_scratch_size(soft_levels{n, p.level_bits, p.level_labels}));
    }
    if (!p.real_path && (p.method == mimo_method::maxlog || p.method == mimo_method::ml || app)) {
        s = std::max(s, complex_search_scratch_size(nt, M));
    }
    if (!p.real_path && app) s = std::max(s, complex_app_scratch_size(nt, M));
    if (p.method == mimo_method::kbest) s = std::max(s, kbest_scratch_size(nt, M, p.list_size));
    if (p.method == mimo_method::mmse_pic) s = std::max(s, mmse_pic_scratch(soft_problem_of(p)));
    if (p.method == mimo_method::ep) s = std::max(s, ep_scratch(soft_problem_of(p)));
    return s;
}

column_layout column_layout_of(const mimo_problem& p) {
    const std::int64_t nt = p.nt, n = mimo_real_levels(p), B = nt * p.bits;
    column_layout l{};
    l.z = 0;
    l.zr = l.z + 2 * nt;
    l.ys = l.zr + n;
    l.L = l.ys + n;
    l.La = l.L + B;
    l.Lw = l.La + B;  // the extrinsic output's wide search, and a known bit's own search
    l.La2 = l.Lw + B;
    l.symb = l.La2 + B;
    l.symb2 = l.symb + n;
    l.idx = l.symb2 + 2 * n;  // symb2 also holds a known bit's search's n int32 indices
    l.x = l.idx + nt;         // nt int32 in nt doubles
    l.search = l.x + 2 * nt;
    l.size = l.search + search_scratch_of(p);
    return l;
}

cplx* as_cplx(double* v) {
    return reinterpret_cast<cplx*>(v);
}
const cplx* as_cplx(const double* v) {
    return reinterpret_cast<const cplx*>(v);
}

bool all_finite(const double* v, std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) {
        if (!std::isfinite(v[i])) return false;
    }
    return true;
}

// The caller's bit of every bit of the search, in the page: on the complex levels level i
// is antenna perm[i] with its bits in the labels' order; on the real-valued form level l is
// the real (l even) or imaginary part of antenna perm[l/2] (complex model; perm[l] for the
// real one), its bits those of bit_re or bit_im.
void fill_bitmap(const mimo_problem& p, const double* perm, double* bitmap) {
    if (!p.real_path) {
        for (std::int64_t i = 0; i < p.nt; ++i) {
            for (int c = 0; c < p.bits; ++c) bitmap[i * p.bits + c] = perm[i] * p.bits + c;
        }
        return;
    }
    const constellation_grid& g = *p.grid;
    const std::int64_t n = mimo_real_levels(p);
    for (std::int64_t l = 0; l < n; ++l) {
        const double t = perm[p.complex_model ? l / 2 : l];
        const bool imag = p.complex_model && l % 2 == 1;
        for (int j = 0; j < g.side_bits; ++j) {
            bitmap[l * g.side_bits + j] = t * p.bits + (imag ? g.bit_im[j] : g.bit_re[j]);
        }
    }
}

// Hard outputs: +-clip with the decision's sign for every bit of the decided point.
void hard_llrs(const mimo_problem& p, std::int64_t t, std::int32_t m, double* llr) {
    for (int c = 0; c < p.bits; ++c) {
        llr[t * p.bits + c] = label_bit(p.labels[m], p.bits, c) ? -p.clip : p.clip;
    }
}

inline double clipped(double v, double clip) {
    return v > clip ? clip : v < -clip ? -clip : v;
}

// The soft LLRs of a search, posterior or extrinsic. search(La, clip, L, other) runs the
// search with priors La (search order) and clip into L; other: write the decided point to
// the second buffers (a known bit's own search must not disturb the answer). Extrinsic:
// the search runs with the clip widened by the largest finite |La|, so that Lw is exact
// wherever |Lw| < wide, and where |Lw| = wide the true |Lpost| >= wide, so that
// s*(Lpost - La) >= clip for the sign s of Lw; a known bit (La = +-Inf) takes its LLR from a
// search without its own prior, the LLR of the metric without that prior by definition.
template <class Search>
search_status soft_llrs(const mimo_problem& p, Search search, const double* La, std::int64_t B,
                        double* L, double* Lw, double* La2) {
    if (!p.extrinsic || La == nullptr) return search(La, p.clip, L, false);
    double most = 0.0;
    for (std::int64_t b = 0; b < B; ++b) {
        if (std::isfinite(La[b])) most = std::fmax(most, std::fabs(La[b]));
    }
    const double wide = p.clip + most;
    search_status s = search(La, wide, Lw, false);
    if (s != search_status::found) return s;
    for (std::int64_t b = 0; b < B; ++b) {
        const double w = Lw[b];
        if (std::isfinite(La[b])) {
            L[b] = std::fabs(w) >= wide ? (w > 0.0 ? p.clip : -p.clip) : clipped(w - La[b], p.clip);
        }
    }
    for (std::int64_t b = 0; b < B; ++b) {
        if (std::isfinite(La[b])) continue;
        for (std::int64_t c = 0; c < B; ++c) La2[c] = c == b ? 0.0 : La[c];
        s = search(La2, p.clip, Lw, true);
        if (s != search_status::found) return s;
        L[b] = Lw[b];
    }
    return search_status::found;
}

}  // namespace

void mimo_build_levels(const mimo_problem& p, std::int32_t* level_bits,
                       std::uint32_t* level_labels) {
    const constellation_grid& g = *p.grid;
    const std::int64_t n = mimo_real_levels(p);
    for (std::int64_t l = 0; l < n; ++l) {
        level_bits[l] = g.side_bits;
        const bool imag = p.complex_model && l % 2 == 1;
        for (int a = 0; a < g.side; ++a) {
            level_labels[l * g.side + a] = imag ? g.labels_im[a] : g.labels_re[a];
        }
    }
}

std::int64_t mimo_page_size(const mimo_problem& p) {
    return layout_of(p).size;
}

std::int64_t mimo_column_scratch(const mimo_problem& p) {
    return column_layout_of(p).size;
}

page_status mimo_prepare_page(const mimo_problem& p, const cplx* H, double n0, double* page,
                              double* scratch, const interrupt_check* check) {
    const page_layout l = layout_of(p);
    const std::int64_t nr = p.nr, nt = p.nt, n = mimo_real_levels(p);
    double* perm = page + l.perm;
    if (soft_in(p)) {
        for (std::int64_t t = 0; t < nt; ++t) perm[t] = static_cast<double>(t);
        cplx* Hp = as_cplx(page + l.H);
        for (std::int64_t i = 0; i < nr * nt; ++i) Hp[i] = H[i];
        if (p.method == mimo_method::mmse_pic) {
            mmse_pic_prepare(H, nr, nt, as_cplx(page + l.gram));
        } else {
            ep_prepare(soft_problem_of(p), H, page + l.gram);
        }
        if (!all_finite(page, l.size)) return page_status::not_finite;
        return page_status::ready;
    }
    if (!mimo_traits(p.method).uses_qr) {
        for (std::int64_t t = 0; t < nt; ++t) perm[t] = static_cast<double>(t);
        const bool mmse = p.method == mimo_method::mmse;
        // sigma = N0/Es (complex model) or N0/(2 Es) (real model, N0 = 2 sigma_w^2)
        const double sigma = mmse ? (p.complex_model ? n0 / p.es : n0 / (2.0 * p.es)) : 0.0;
        double* noise = page + l.noise;
        double* mu = page + l.mu;
        if (!linear_filter(H, nr, nt, sigma, as_cplx(page + l.G), noise, mu, as_cplx(scratch))) {
            return page_status::rank_deficient;
        }
        if (mmse) {
            // per-stream noise Es(1 - mu)/mu, twice that for the real model; a stream that no
            // receiver sees (mu = 0: a zero column of H, or no rows) carries no information
            for (std::int64_t t = 0; t < nt; ++t) {
                const double v = mu[t] == 0.0 ? 0.0 : p.es * (1.0 - mu[t]) / mu[t];
                noise[t] = p.complex_model ? v : 2.0 * v;
            }
        }
        if (!all_finite(page, l.size)) return page_status::not_finite;
        return page_status::ready;
    }
    cplx* Q = as_cplx(page + l.Q);
    cplx* R = as_cplx(page + l.R);
    std::int32_t* iperm = reinterpret_cast<std::int32_t*>(scratch);
    double* norms = scratch + nt;
    if (!complex_qr(H, nr, nt, p.sorted, Q, R, iperm, norms)) return page_status::rank_deficient;
    for (std::int64_t t = 0; t < nt; ++t) perm[t] = iperm[t];
    fill_bitmap(p, perm, page + l.bitmap);
    if (!all_finite(page + l.Q, 2 * nr * nt + 2 * nt * nt)) return page_status::not_finite;
    if (!p.real_path) return page_status::ready;

    // The integer map: the levels are center + h*s (s odd), so z_r - Rr*center = (h*Rr)*s.
    const constellation_grid& g = *p.grid;
    double* Rs = page + l.Rs;
    double* off = page + l.off;
    real_form(R, nt, p.complex_model, Rs);
    for (std::int64_t i = 0; i < n; ++i) {
        double c = 0.0;
        for (std::int64_t j = i; j < n; ++j) {
            const bool imag = p.complex_model && j % 2 == 1;
            c = c + Rs[i + j * n] * (imag ? g.center_im : g.center_re);
        }
        off[i] = c;
    }
    for (std::int64_t i = 0; i < n * n; ++i) Rs[i] = Rs[i] * g.half_step;
    if (p.method != mimo_method::maxlog && p.method != mimo_method::app) {
        // integers u = (s + side - 1)/2 in 0 .. side-1: (h*Rr)*s = (2h*Rr)*u - (side-1)*(h*Rr)*1
        const double shift = static_cast<double>(g.side - 1);
        for (std::int64_t i = 0; i < n; ++i) {
            double c = 0.0;
            for (std::int64_t j = i; j < n; ++j) c = c + Rs[i + j * n];
            off[i] = off[i] - shift * c;
        }
        for (std::int64_t i = 0; i < n * n; ++i) Rs[i] = 2.0 * Rs[i];
    }
    if (!all_finite(Rs, n * n + n)) return page_status::not_finite;
    if (p.method == mimo_method::lr) {
        double* Qo = page + l.Qo;
        double* Ro = page + l.Ro;
        double* Uo = page + l.Uo;
        for (std::int64_t i = 0; i < n * n; ++i) {
            Qo[i] = 0.0;
            Uo[i] = 0.0;
            Ro[i] = Rs[i];
        }
        for (std::int64_t i = 0; i < n; ++i) Qo[i + i * n] = Uo[i + i * n] = 1.0;
        if (!reduce_qr_factors(Qo, Ro, Uo, n, n, 0.75, scratch, check)) {
            return page_status::interrupted;
        }
        if (!all_finite(Qo, 3 * n * n)) return page_status::not_finite;
    }
    return page_status::ready;
}

search_status mimo_detect_column(const mimo_problem& p, const double* page, const cplx* y,
                                 double n0, const double* prior, double* llr, double* idx,
                                 double* nodes, double* scratch, const interrupt_check* check,
                                 double* filled) {
    const page_layout pl = layout_of(p);
    const column_layout cl = column_layout_of(p);
    const std::int64_t nr = p.nr, nt = p.nt, n = mimo_real_levels(p), B = nt * p.bits;
    const double* perm = page + pl.perm;
    const double* bitmap = page + pl.bitmap;
    cplx* z = as_cplx(scratch + cl.z);
    double* L = scratch + cl.L;
    double* La = prior != nullptr ? scratch + cl.La : nullptr;
    double* Lw = scratch + cl.Lw;
    double* La2 = scratch + cl.La2;
    double* symb2 = scratch + cl.symb2;
    auto* idx2 = reinterpret_cast<std::int32_t*>(symb2);
    auto* idx32 = reinterpret_cast<std::int32_t*>(scratch + cl.idx);
    double* search = scratch + cl.search;
    std::int64_t count = 0;
    if (nodes != nullptr) *nodes = 0.0;
    if (filled != nullptr) *filled = 0.0;

    if (soft_in(p)) {
        const soft_linear_problem sp = soft_problem_of(p);
        const cplx* Hp = as_cplx(page + pl.H);
        const soft_status st =
            p.method == mimo_method::mmse_pic
                ? mmse_pic_column(sp, Hp, as_cplx(page + pl.gram), y, n0, prior, p.iterations, llr,
                                  idx32, nullptr, nullptr, search)
                : ep_column(sp, page + pl.gram, Hp, y, n0, prior, p.iterations, p.damping, llr,
                            idx32, search);
        if (st != soft_status::done) return search_status::out_of_range;
        for (std::int64_t t = 0; t < nt; ++t) idx[t] = idx32[t] + 1.0;
        return search_status::found;
    }
    if (!mimo_traits(p.method).uses_qr) {
        apply_filter(as_cplx(page + pl.G), nr, nt, y, z);
        const double* noise = page + pl.noise;
        const double* mu = page + pl.mu;
        for (std::int64_t t = 0; t < nt; ++t) {
            const bool mmse = p.method == mimo_method::mmse;
            if (mmse && mu[t] == 0.0) {
                // a stream that no receiver sees: no information on its bits
                for (int c = 0; c < p.bits; ++c) llr[t * p.bits + c] = 0.0;
                idx[t] = nearest_point(cplx(0.0, 0.0), p.points, p.M) + 1.0;
                continue;
            }
            const cplx zt = mmse ? z[t] / mu[t] : z[t];
            const double nt0 = mmse ? noise[t] : n0 * noise[t];
            demap_stream(zt, nt0, soft_alphabet{p.M, p.bits, p.points, p.labels, p.grid},
                         prior != nullptr ? prior + t * p.bits : nullptr,
                         p.extrinsic ? llr_output::extrinsic : llr_output::posterior, p.clip,
                         llr + t * p.bits, &idx32[t]);
            idx[t] = idx32[t] + 1.0;
        }
        return search_status::found;
    }

    apply_qh(as_cplx(page + pl.Q), nr, nt, y, z);
    const cplx* R = as_cplx(page + pl.R);

    if (!p.real_path) {
        // the complex levels: level i is antenna perm[i], its bits in the labels' order
        if (La != nullptr) {
            for (std::int64_t b = 0; b < B; ++b)
                La[b] = prior[static_cast<std::int64_t>(bitmap[b])];
        }
        const complex_alphabet a{p.M, p.bits, reinterpret_cast<const double*>(p.points), p.labels};
        if (!all_finite(reinterpret_cast<const double*>(z), 2 * nt)) {
            return search_status::out_of_range;
        }
        if (p.method == mimo_method::sic) {
            nearest_feedback(z, R, nt, p.points, p.M, idx32, as_cplx(scratch + cl.x));
        } else if (p.method == mimo_method::kbest) {
            std::int64_t fills = 0;
            auto run = [&](const double* la, double clip, double* out, bool other) {
                std::int64_t f = 0;
                const search_status st = kbest_llrs(
                    reinterpret_cast<const double*>(z), reinterpret_cast<const double*>(R), nt, a,
                    p.list_size, n0, clip, la, out, other ? idx2 : idx32, other ? nullptr : &count,
                    search, check, p.fill, &f);
                if (!other) fills = f;
                return st;
            };
            const search_status s = soft_llrs(p, run, La, B, L, Lw, La2);
            if (s != search_status::found) return s;
            if (filled != nullptr) *filled = static_cast<double>(fills);
        } else if (p.method == mimo_method::app) {
            // the exact log-MAP LLRs, and the point of least metric by the hard search
            const search_status s = find_complex_app_llrs(
                reinterpret_cast<const double*>(z), reinterpret_cast<const double*>(R), nt, a, n0,
                p.clip, p.tol, p.extrinsic ? app_output::extrinsic : app_output::posterior, La, L,
                &count, search, check);
            if (s != search_status::found) return s;
            const search_status h = find_complex_llrs(reinterpret_cast<const double*>(z),
                                                      reinterpret_cast<const double*>(R), nt, a, n0,
                                                      0.0, La, Lw, idx32, nullptr, search, check);
            if (h != search_status::found) return h;
        } else if (p.method == mimo_method::maxlog) {
            auto run = [&](const double* la, double clip, double* out, bool other) {
                return find_complex_llrs(reinterpret_cast<const double*>(z),
                                         reinterpret_cast<const double*>(R), nt, a, n0, clip, la,
                                         out, other ? idx2 : idx32, other ? nullptr : &count,
                                         search, check);
            };
            const search_status s = soft_llrs(p, run, La, B, L, Lw, La2);
            if (s != search_status::found) return s;  // interrupted, or every metric overflowed
        } else {
            const search_status s = find_complex_llrs(
                reinterpret_cast<const double*>(z), reinterpret_cast<const double*>(R), nt, a, n0,
                0.0, nullptr, L, idx32, &count, search, check);
            if (s != search_status::found) return s;  // interrupted, or every metric overflowed
        }
        const bool soft = mimo_traits(p.method).soft;
        for (std::int64_t i = 0; i < nt; ++i) {
            const auto t = static_cast<std::int64_t>(perm[i]);
            idx[t] = idx32[i] + 1.0;
            if (!soft) hard_llrs(p, t, idx32[i], llr);
        }
        if (soft) {
            for (std::int64_t b = 0; b < B; ++b) llr[static_cast<std::int64_t>(bitmap[b])] = L[b];
        }
        if (nodes != nullptr) *nodes = static_cast<double>(count);
        return search_status::found;
    }

    // The real-valued form: ys = z_r - off, searched on Rs.
    const constellation_grid& g = *p.grid;
    double* zr = scratch + cl.zr;
    double* ys = scratch + cl.ys;
    double* symb = scratch + cl.symb;
    real_vector(z, nt, p.complex_model, zr);
    const double* off = page + pl.off;
    const double* Rs = page + pl.Rs;
    for (std::int64_t i = 0; i < n; ++i) ys[i] = zr[i] - off[i];
    if (!all_finite(ys, n)) return search_status::out_of_range;
    if (p.method == mimo_method::app) {
        if (La != nullptr) {
            for (std::int64_t b = 0; b < B; ++b)
                La[b] = prior[static_cast<std::int64_t>(bitmap[b])];
        }
        const soft_levels levels{n, p.level_bits, p.level_labels};
        const search_status s =
            find_app_llrs(ys, Rs, levels, n0, p.clip, p.tol,
                          p.extrinsic ? app_output::extrinsic : app_output::posterior, La, L,
                          &count, search, check);
        if (s != search_status::found) return s;
        const search_status h =
            find_bit_llrs(ys, Rs, levels, n0, 0.0, La, Lw, symb, nullptr, search, check);
        if (h != search_status::found) return h;
        for (std::int64_t b = 0; b < B; ++b) llr[static_cast<std::int64_t>(bitmap[b])] = L[b];
        for (std::int64_t l = 0; l < n; ++l)
            symb[l] = (symb[l] + (g.side - 1)) * 0.5;  // grid position
    } else if (p.method == mimo_method::maxlog) {
        if (La != nullptr) {
            for (std::int64_t b = 0; b < B; ++b)
                La[b] = prior[static_cast<std::int64_t>(bitmap[b])];
        }
        const soft_levels levels{n, p.level_bits, p.level_labels};
        auto run = [&](const double* la, double clip, double* out, bool other) {
            return find_bit_llrs(ys, Rs, levels, n0, clip, la, out, other ? symb2 : symb,
                                 other ? nullptr : &count, search, check);
        };
        const search_status s = soft_llrs(p, run, La, B, L, Lw, La2);
        if (s != search_status::found) return s;  // interrupted, or every metric overflowed
        for (std::int64_t b = 0; b < B; ++b) llr[static_cast<std::int64_t>(bitmap[b])] = L[b];
        for (std::int64_t l = 0; l < n; ++l)
            symb[l] = (symb[l] + (g.side - 1)) * 0.5;  // grid position
    } else if (p.method == mimo_method::ml) {
        // the closest integer point u in [0, side-1]^n, as plinden finds it
        const search_status s =
            find_closest_point(ys, Rs, n, std::numeric_limits<double>::infinity(), 0.0,
                               g.side - 1.0, symb, search, check, &count);
        if (s != search_status::found) return s;  // interrupted, or every metric overflowed
    } else {
        // lr: w = Qo^T ys, v rounded by decision feedback on Ro, u = Uo*v clamped to the box
        const double* Qo = page + pl.Qo;
        const double* Ro = page + pl.Ro;
        const double* Uo = page + pl.Uo;
        double* w = search;
        double* v = search + n;
        for (std::int64_t i = 0; i < n; ++i) {
            double c = 0.0;
            for (std::int64_t r = 0; r < n; ++r) c = c + Qo[r + i * n] * ys[r];
            w[i] = c;
        }
        round_feedback(w, Ro, n, v);
        // a rounding that overflowed (w beyond the range of double on Ro) has no point
        if (!all_finite(v, n)) return search_status::out_of_range;
        for (std::int64_t i = 0; i < n; ++i) {
            double c = 0.0;
            for (std::int64_t j = 0; j < n; ++j) c = c + Uo[i + j * n] * v[j];
            if (c != c) return search_status::out_of_range;  // Inf - Inf in Uo*v
            symb[i] = std::min(std::max(c, 0.0), g.side - 1.0);
        }
    }
    // grid positions to points, in the caller's antenna order
    const std::int64_t per_antenna = p.complex_model ? 2 : 1;
    for (std::int64_t i = 0; i < nt; ++i) {
        const auto t = static_cast<std::int64_t>(perm[i]);
        const auto a = static_cast<int>(symb[per_antenna * i]);
        const int b = p.complex_model ? static_cast<int>(symb[2 * i + 1]) : 0;
        const std::int32_t m = g.point_at[a + g.side * b];
        idx[t] = m + 1.0;
        if (!mimo_traits(p.method).soft) hard_llrs(p, t, m, llr);
    }
    if (nodes != nullptr) *nodes = static_cast<double>(count);
    return search_status::found;
}
