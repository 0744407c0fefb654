// SPDX-License-Identifier: BSD-3-Clause
// Linear filters, per-stream demapping and decision feedback (see linear.h).
#include "channel/linear.h"

#include <cmath>
#include <limits>

#include "channel/constellation.h"

bool linear_filter(const cplx* H, std::int64_t nr, std::int64_t nt, double sigma, cplx* G,
                   double* inv_diag, double* mu, cplx* work) {
    // work: nt rows of [A | I | H^H], leading dimension nt, w = 2nt + nr columns
    const std::int64_t w = 2 * nt + nr;
    cplx* W = work;
    for (std::int64_t i = 0; i < nt; ++i) {
        for (std::int64_t j = 0; j < nt; ++j) {
            cplx c = 0.0;  // (H^H H)(i,j) = h_i^H h_j
            for (std::int64_t r = 0; r < nr; ++r) c = c + cmulc(H[r + i * nr], H[r + j * nr]);
            if (i == j) c = c + sigma;
            W[i + j * nt] = c;
            W[i + (nt + j) * nt] = i == j ? 1.0 : 0.0;
        }
        for (std::int64_t r = 0; r < nr; ++r) W[i + (2 * nt + r) * nt] = std::conj(H[r + i * nr]);
    }
    for (std::int64_t k = 0; k < nt; ++k) {
        const double p = W[k + k * nt].real();
        if (!(p > 0.0) || !std::isfinite(p)) return false;
        for (std::int64_t j = 0; j < w; ++j) W[k + j * nt] = W[k + j * nt] / p;
        W[k + k * nt] = 1.0;
        for (std::int64_t i = 0; i < nt; ++i) {
            if (i == k) continue;
            const cplx f = W[i + k * nt];
            for (std::int64_t j = 0; j < w; ++j) {
                W[i + j * nt] = W[i + j * nt] - cmul(f, W[k + j * nt]);
            }
        }
    }
    for (std::int64_t i = 0; i < nt; ++i) {
        inv_diag[i] = W[i + (nt + i) * nt].real();
        for (std::int64_t r = 0; r < nr; ++r) G[i + r * nt] = W[i + (2 * nt + r) * nt];
        cplx c = 0.0;  // (G H)(i,i)
        for (std::int64_t r = 0; r < nr; ++r) c = c + cmul(G[i + r * nt], H[r + i * nr]);
        mu[i] = c.real();
    }
    return true;
}

void apply_filter(const cplx* G, std::int64_t nr, std::int64_t nt, const cplx* y, cplx* z) {
    for (std::int64_t i = 0; i < nt; ++i) z[i] = 0.0;
    for (std::int64_t r = 0; r < nr; ++r) {
        for (std::int64_t i = 0; i < nt; ++i) z[i] = z[i] + cmul(G[i + r * nt], y[r]);
    }
}

namespace {

// The LLR of bit c as the noise vanishes: +-clip by which label value has the nearer point
// (the least squared distances compared, not divided), 0 when they tie or cannot be told.
double limit_llr(cplx z, const cplx* points, int M, const std::uint32_t* labels, int bits, int c,
                 double clip) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    double least[2] = {inf, inf};
    for (int m = 0; m < M; ++m) {
        const double d = cabs2(z - points[m]);
        double& l = least[label_bit(labels[m], bits, c)];
        if (d < l) l = d;
    }
    return least[1] > least[0] ? clip : least[1] < least[0] ? -clip : 0.0;
}

}  // namespace

void stream_llrs(cplx z, double n0, const cplx* points, int M, const std::uint32_t* labels,
                 int bits, double clip, double* L, std::int32_t* idx) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    double least[2][16];  // least metric with bit c = 0 / 1
    for (int c = 0; c < bits; ++c) least[0][c] = least[1][c] = inf;
    double best = inf;
    std::int32_t best_m = 0;
    for (int m = 0; m < M; ++m) {
        const double e = cabs2(z - points[m]) / n0;
        if (e < best) {
            best = e;
            best_m = m;
        }
        for (int c = 0; c < bits; ++c) {
            double& l = least[label_bit(labels[m], bits, c)][c];
            if (e < l) l = e;
        }
    }
    for (int c = 0; c < bits; ++c) {
        double v = least[1][c] - least[0][c];
        // NaN: a stream whose noise is 0 (a filter gain of exactly 1) or whose metrics all
        // overflow (Inf - Inf, 0/0). The limit of a vanishing noise then decides: the sign
        // of the difference of the least distances themselves, clipped.
        if (v != v) v = limit_llr(z, points, M, labels, bits, c, clip);
        L[c] = v > clip ? clip : v < -clip ? -clip : v;
    }
    *idx = best_m;
}

std::int32_t nearest_point(cplx z, const cplx* points, int M) {
    double best = std::numeric_limits<double>::infinity();
    std::int32_t best_m = 0;
    for (int m = 0; m < M; ++m) {
        const double e = cabs2(z - points[m]);
        if (e < best) {
            best = e;
            best_m = m;
        }
    }
    return best_m;
}

void nearest_feedback(const cplx* z, const cplx* R, std::int64_t nt, const cplx* points, int M,
                      std::int32_t* idx, cplx* x) {
    for (std::int64_t i = nt - 1; i >= 0; --i) {
        cplx c = 0.0;
        for (std::int64_t j = i + 1; j < nt; ++j) c = c + cmul(R[i + j * nt], x[j]);
        const cplx u = (z[i] - c) / R[i + i * nt].real();
        idx[i] = nearest_point(u, points, M);
        x[i] = points[idx[i]];
    }
}
