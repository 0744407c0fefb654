// SPDX-License-Identifier: BSD-3-Clause
// The per-stream demapper with bit priors (see soft_demap.h).
#include "channel/soft_demap.h"

#include <cmath>
#include <limits>

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// The prior costs of both values of each of `count` bits scaled to distance units (n0 times
// the cost in LLR units); 0 without priors. A zero cost stays 0 and an infinite one +Inf
// whatever n0 is (no 0*Inf).
void scaled_costs(const double* La, int count, double n0, double* w0, double* w1) {
    for (int j = 0; j < count; ++j) {
        const double c0 = La != nullptr ? prior_cost(La[j], 0) : 0.0;
        const double c1 = La != nullptr ? prior_cost(La[j], 1) : 0.0;
        w0[j] = c0 == 0.0 ? 0.0 : std::isinf(c0) ? inf : n0 * c0;
        w1[j] = c1 == 0.0 ? 0.0 : std::isinf(c1) ? inf : n0 * c1;
    }
}

// (least with the bit 1 - least with the bit 0)/n0, a NaN (Inf - Inf, 0/0) as 0, clipped.
double finish_llr(double least1, double least0, double n0, double clip) {
    double v = (least1 - least0) / n0;
    if (v != v) v = 0.0;
    return v > clip ? clip : v < -clip ? -clip : v;
}

// demap_dimension, also leaving each value's metric (distance units) in m[0..side-1].
void dimension_metrics(double z, double n0, const double* values, const std::uint32_t* labels,
                       int side, int side_bits, const double* La, llr_output out, double clip,
                       double* L, int* best, double* least, double* m) {
    double w0[8], w1[8], d[256];
    const bool priors = La != nullptr;
    if (priors) scaled_costs(La, side_bits, n0, w0, w1);
    double l0[8], l1[8];
    for (int j = 0; j < side_bits; ++j) l0[j] = l1[j] = inf;
    double b_metric = inf;
    int b_at = 0;
    for (int a = 0; a < side; ++a) {
        const double u = z - values[a];
        d[a] = u * u;
        double e = d[a];
        const std::uint32_t lab = labels[a];
        if (priors) {
            double cost = 0.0;
            for (int j = 0; j < side_bits; ++j) {
                cost += (lab >> (side_bits - 1 - j)) & 1u ? w1[j] : w0[j];
            }
            e = d[a] + cost;
        }
        m[a] = e;
        // branch-free minima (the comparisons are unpredictable)
        const bool better = e < b_metric;
        b_at = better ? a : b_at;
        b_metric = better ? e : b_metric;
        for (int j = 0; j < side_bits; ++j) {
            const bool one = (lab >> (side_bits - 1 - j)) & 1u;
            const double t0 = e < l0[j] ? e : l0[j], t1 = e < l1[j] ? e : l1[j];
            l0[j] = one ? l0[j] : t0;
            l1[j] = one ? t1 : l1[j];
        }
    }
    if (priors && out == llr_output::extrinsic) {
        // the minima again, each bit's own cost left out (a known bit's +Inf included)
        for (int j = 0; j < side_bits; ++j) {
            double e0 = inf, e1 = inf;
            for (int a = 0; a < side; ++a) {
                double cost = 0.0;
                for (int k = 0; k < side_bits; ++k) {
                    if (k != j) cost += (labels[a] >> (side_bits - 1 - k)) & 1u ? w1[k] : w0[k];
                }
                const double e = d[a] + cost;
                double& l = (labels[a] >> (side_bits - 1 - j)) & 1u ? e1 : e0;
                if (e < l) l = e;
            }
            l0[j] = e0;
            l1[j] = e1;
        }
    }
    for (int j = 0; j < side_bits; ++j) L[j] = finish_llr(l1[j], l0[j], n0, clip);
    *best = b_at;
    *least = b_metric;
}

// dimension_metrics without priors (the linear detectors' case), its sizes known at compile
// time: the same minima, in the same order.
template <int SB>
void plain_dimension(double z, double n0, const double* values, const std::uint32_t* labels,
                     double clip, double* L, int* best, double* least, double* m) {
    constexpr int side = 1 << SB;
    double l0[SB], l1[SB];
    for (int j = 0; j < SB; ++j) l0[j] = l1[j] = inf;
    double b_metric = inf;
    int b_at = 0;
    for (int a = 0; a < side; ++a) {
        const double u = z - values[a];
        const double e = u * u;
        m[a] = e;
        const bool better = e < b_metric;
        b_at = better ? a : b_at;
        b_metric = better ? e : b_metric;
        const std::uint32_t lab = labels[a];
        for (int j = 0; j < SB; ++j) {
            const bool one = (lab >> (SB - 1 - j)) & 1u;
            const double t0 = e < l0[j] ? e : l0[j], t1 = e < l1[j] ? e : l1[j];
            l0[j] = one ? l0[j] : t0;
            l1[j] = one ? t1 : l1[j];
        }
    }
    for (int j = 0; j < SB; ++j) L[j] = finish_llr(l1[j], l0[j], n0, clip);
    *best = b_at;
    *least = b_metric;
}

// One dimension: the compiled sizes without priors, the general loop otherwise.
void any_dimension(double z, double n0, const double* values, const std::uint32_t* labels, int side,
                   int sb, const double* La, llr_output out, double clip, double* L, int* best,
                   double* least, double* m) {
    if (La == nullptr) {
        switch (sb) {
            case 1:
                return plain_dimension<1>(z, n0, values, labels, clip, L, best, least, m);
            case 2:
                return plain_dimension<2>(z, n0, values, labels, clip, L, best, least, m);
            case 3:
                return plain_dimension<3>(z, n0, values, labels, clip, L, best, least, m);
            case 4:
                return plain_dimension<4>(z, n0, values, labels, clip, L, best, least, m);
            default:
                break;
        }
    }
    dimension_metrics(z, n0, values, labels, side, sb, La, out, clip, L, best, least, m);
}

void general_stream(cplx z, double n0, const soft_alphabet& a, const double* La, llr_output out,
                    double clip, double* L, std::int32_t* idx) {
    const int bits = a.bits;
    double w0[8], w1[8], d[256];
    const bool priors = La != nullptr;
    if (priors) scaled_costs(La, bits, n0, w0, w1);
    double l0[8], l1[8];
    for (int c = 0; c < bits; ++c) l0[c] = l1[c] = inf;
    double b_metric = inf;
    std::int32_t b_at = 0;
    for (int m = 0; m < a.M; ++m) {
        d[m] = cabs2(z - a.points[m]);
        double e = d[m];
        const std::uint32_t lab = a.labels[m];
        if (priors) {
            double cost = 0.0;
            for (int c = 0; c < bits; ++c) cost += label_bit(lab, bits, c) ? w1[c] : w0[c];
            e = d[m] + cost;
        }
        const bool better = e < b_metric;
        b_at = better ? m : b_at;
        b_metric = better ? e : b_metric;
        for (int c = 0; c < bits; ++c) {
            const bool one = label_bit(lab, bits, c);
            const double t0 = e < l0[c] ? e : l0[c], t1 = e < l1[c] ? e : l1[c];
            l0[c] = one ? l0[c] : t0;
            l1[c] = one ? t1 : l1[c];
        }
    }
    if (priors && out == llr_output::extrinsic) {
        for (int c = 0; c < bits; ++c) {
            double e0 = inf, e1 = inf;
            for (int m = 0; m < a.M; ++m) {
                double cost = 0.0;
                for (int k = 0; k < bits; ++k) {
                    if (k != c) cost += label_bit(a.labels[m], bits, k) ? w1[k] : w0[k];
                }
                const double e = d[m] + cost;
                double& l = label_bit(a.labels[m], bits, c) ? e1 : e0;
                if (e < l) l = e;
            }
            l0[c] = e0;
            l1[c] = e1;
        }
    }
    for (int c = 0; c < bits; ++c) L[c] = finish_llr(l1[c], l0[c], n0, clip);
    *idx = b_at;
}

void separable_stream(cplx z, double n0, const soft_alphabet& a, const double* La, llr_output out,
                      double clip, double* L, std::int32_t* idx) {
    const constellation_grid& g = *a.grid;
    const int side = g.side, sb = g.side_bits;
    double values[256], m_re[256], m_im[16], La_d[8] = {}, L_d[8];
    for (int v = 0; v < side; ++v) values[v] = a.points[g.point_at[v]].real();
    if (La != nullptr) {
        for (int j = 0; j < sb; ++j) La_d[j] = La[g.bit_re[j]];
    }
    int best_re = 0, best_im = 0;
    double least_re = 0.0, least_im = 0.0;
    any_dimension(z.real(), n0, values, g.labels_re, side, sb, La != nullptr ? La_d : nullptr, out,
                  clip, L_d, &best_re, &least_re, m_re);
    for (int j = 0; j < sb; ++j) L[g.bit_re[j]] = L_d[j];
    if (g.dims == 1) {
        *idx = least_re < inf ? g.point_at[best_re] : 0;
        return;
    }
    for (int v = 0; v < side; ++v) values[v] = a.points[g.point_at[side * v]].imag();
    if (La != nullptr) {
        for (int j = 0; j < sb; ++j) La_d[j] = La[g.bit_im[j]];
    }
    any_dimension(z.imag(), n0, values, g.labels_im, side, sb, La != nullptr ? La_d : nullptr, out,
                  clip, L_d, &best_im, &least_im, m_im);
    for (int j = 0; j < sb; ++j) L[g.bit_im[j]] = L_d[j];
    if (!(least_re < inf && least_im < inf)) {
        *idx = 0;  // every metric overflowed, as the general path leaves it
        return;
    }
    // the first point (in the caller's order) of those of least metric
    std::int32_t m = g.point_at[best_re + side * best_im];
    for (int u = best_re; u < side; ++u) {
        if (m_re[u] != least_re) continue;
        for (int v = best_im; v < side; ++v) {
            if (m_im[v] == least_im && g.point_at[u + side * v] < m) m = g.point_at[u + side * v];
        }
    }
    *idx = m;
}

// No information from the channel (n0 = +Inf): the metrics are the prior costs alone (LLR
// units), every point at the same distance. Apart, so that its tables stay off the hot path.
__attribute__((noinline)) void uninformed_stream(const soft_alphabet& a, const double* La,
                                                 llr_output out, double clip, double* L,
                                                 std::int32_t* idx) {
    cplx zero_points[256];
    for (int m = 0; m < a.M; ++m) zero_points[m] = cplx(0.0, 0.0);
    soft_alphabet flat = a;
    flat.grid = nullptr;
    flat.points = zero_points;
    general_stream(cplx(0.0, 0.0), 1.0, flat, La, out, clip, L, idx);
}

}  // namespace

void demap_dimension(double z, double n0, const double* values, const std::uint32_t* labels,
                     int side, int side_bits, const double* La, llr_output out, double clip,
                     double* L, int* best, double* least) {
    double m[256];
    any_dimension(z, n0, values, labels, side, side_bits, La, out, clip, L, best, least, m);
}

void demap_stream(cplx z, double n0, const soft_alphabet& a, const double* La, llr_output out,
                  double clip, double* L, std::int32_t* idx) {
    if (std::isinf(n0)) {
        uninformed_stream(a, La, out, clip, L, idx);
    } else if (soft_separable(a)) {
        separable_stream(z, n0, a, La, out, clip, L, idx);
    } else {
        general_stream(z, n0, a, La, out, clip, L, idx);
    }
}
