// SPDX-License-Identifier: BSD-3-Clause
// The soft-in linear detectors: the per-stream demapper against brute force over the points,
// MMSE-PIC against its identities and a dense computation of its formulas, EP against a plain
// implementation of its iteration.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "channel/constellation.h"
#include "channel/ep.h"
#include "channel/linear.h"
#include "channel/mimo_detector.h"
#include "channel/mmse_pic.h"
#include "channel/soft_demap.h"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

std::uint32_t gray(std::uint32_t v) {
    return v ^ (v >> 1);
}

// A constellation of the tests, with its analysis.
struct test_constellation {
    std::string name;
    bool complex_model = true;
    bool separable = false;  // what the analysis must find
    int M = 0, bits = 0;
    std::vector<cplx> points;
    std::vector<std::uint32_t> labels;
    constellation_grid grid;
    double es = 0.0;

    soft_alphabet alphabet() const {
        soft_alphabet a;
        a.M = M;
        a.bits = bits;
        a.points = points.data();
        a.labels = labels.data();
        a.grid = &grid;
        return a;
    }
};

void finish(test_constellation& c) {
    c.M = static_cast<int>(c.points.size());
    c.bits = 0;
    while ((1 << c.bits) < c.M) ++c.bits;
    analyse_constellation(reinterpret_cast<const double*>(c.points.data()), c.M, c.labels.data(),
                          c.bits, c.complex_model, &c.grid);
    c.es = 0.0;
    for (const cplx& p : c.points) c.es += std::norm(p);
    c.es /= c.M;
}

// Square QAM of side*side points (unit spacing 2, scaled), labels re bits first, Gray or
// natural per dimension; the points listed in a shuffled order (the analysis maps them).
test_constellation qam(int side, bool use_gray, double scale, unsigned shuffle_seed = 0) {
    test_constellation c;
    c.name = std::to_string(side * side) + "-QAM " + (use_gray ? "Gray" : "natural");
    c.separable = true;
    int sb = 0;
    while ((1 << sb) < side) ++sb;
    for (int a = 0; a < side; ++a) {
        for (int b = 0; b < side; ++b) {
            const std::uint32_t la = use_gray ? gray(a) : a, lb = use_gray ? gray(b) : b;
            c.points.push_back(scale * cplx(2.0 * a - (side - 1), 2.0 * b - (side - 1)));
            c.labels.push_back((la << sb) | lb);
        }
    }
    if (shuffle_seed != 0) {
        std::mt19937_64 rng(shuffle_seed);
        std::vector<std::size_t> order(c.points.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<cplx> p;
        std::vector<std::uint32_t> l;
        for (std::size_t i : order) {
            p.push_back(c.points[i]);
            l.push_back(c.labels[i]);
        }
        c.points = p;
        c.labels = l;
    }
    finish(c);
    return c;
}

test_constellation pam(int M, bool use_gray, double scale) {
    test_constellation c;
    c.name = std::to_string(M) + "-PAM " + (use_gray ? "Gray" : "natural");
    c.complex_model = false;
    c.separable = true;
    for (int a = 0; a < M; ++a) {
        c.points.push_back(cplx(scale * (2.0 * a - (M - 1)), 0.0));
        c.labels.push_back(use_gray ? gray(a) : a);
    }
    finish(c);
    return c;
}

test_constellation psk8() {
    test_constellation c;
    c.name = "8-PSK Gray";
    for (int k = 0; k < 8; ++k) {
        const double phi = 2.0 * M_PI * k / 8.0;
        c.points.push_back(cplx(std::cos(phi), std::sin(phi)));
        c.labels.push_back(gray(k));
    }
    finish(c);
    return c;
}

// 16-QAM with its labels permuted at random: no bit follows one dimension alone.
test_constellation scrambled16() {
    test_constellation c = qam(4, true, 1.0);
    c.name = "16-QAM scrambled labels";
    c.separable = false;
    std::mt19937_64 rng(7);
    std::shuffle(c.labels.begin(), c.labels.end(), rng);
    finish(c);
    return c;
}

std::vector<test_constellation> all_constellations() {
    std::vector<test_constellation> v;
    v.push_back(qam(2, true, 1.0 / std::sqrt(2.0)));
    v.push_back(qam(4, true, 1.0 / std::sqrt(10.0), 3));
    v.push_back(qam(4, false, 1.0));
    v.push_back(qam(8, true, 1.0 / std::sqrt(42.0), 5));
    for (int M = 2; M <= 256; M *= 2) {
        v.push_back(pam(M, true, 1.0));
        if (M >= 8) v.push_back(pam(M, false, 0.5));
    }
    v.push_back(psk8());
    v.push_back(scrambled16());
    return v;
}

// The prior cost of bit value b, written out: the metric's La*b less min(La, 0).
double brute_cost(double La, std::uint32_t b) {
    if (La >= 0) return b ? La : 0.0;
    return b ? 0.0 : -La;
}

// Brute force over the points, in LLR units: L (clipped), idx, and the magnitude of the
// metrics involved (for the rounding tolerance).
struct brute_result {
    std::vector<double> L;
    std::int32_t idx = 0;
    double best = inf;
    std::vector<double> metric;
    double scale = 0.0;
};

brute_result brute_demap(const test_constellation& c, cplx z, double n0, const double* La,
                         bool extrinsic, double clip) {
    brute_result r;
    r.L.assign(c.bits, 0.0);
    r.metric.assign(c.M, 0.0);
    for (int m = 0; m < c.M; ++m) {
        double e = std::norm(z - c.points[m]) / n0;
        if (!c.complex_model) e = std::pow(z.real() - c.points[m].real(), 2) / n0;
        for (int k = 0; k < c.bits && La != nullptr; ++k) {
            e += brute_cost(La[k], label_bit(c.labels[m], c.bits, k));
        }
        r.metric[m] = e;
        if (e < r.best) {
            r.best = e;
            r.idx = m;
        }
    }
    for (int k = 0; k < c.bits; ++k) {
        double least[2] = {inf, inf};
        for (int m = 0; m < c.M; ++m) {
            const std::uint32_t b = label_bit(c.labels[m], c.bits, k);
            double e = r.metric[m];
            if (extrinsic && La != nullptr) {
                e = std::norm(z - c.points[m]) / n0;
                if (!c.complex_model) e = std::pow(z.real() - c.points[m].real(), 2) / n0;
                for (int j = 0; j < c.bits; ++j) {
                    if (j != k) e += brute_cost(La[j], label_bit(c.labels[m], c.bits, j));
                }
            }
            least[b] = std::min(least[b], e);
        }
        double v = least[1] - least[0];
        if (std::isfinite(least[0])) r.scale = std::max(r.scale, std::fabs(least[0]));
        if (std::isfinite(least[1])) r.scale = std::max(r.scale, std::fabs(least[1]));
        r.L[k] = v > clip ? clip : v < -clip ? -clip : v;
    }
    return r;
}

std::vector<double> random_priors(std::mt19937_64& rng, int bits, int kind) {
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> pick(0, 5);
    std::vector<double> La(bits);
    for (int k = 0; k < bits; ++k) {
        La[k] = 4.0 * normal(rng);
        if (kind == 2) {  // some known bits and some huge priors
            const int p = pick(rng);
            if (p == 0) La[k] = inf;
            if (p == 1) La[k] = -inf;
            if (p == 2) La[k] = normal(rng) > 0 ? 1e300 : -1e300;
        }
    }
    return La;
}

// One case of the demapper sweep.
struct demap_case {
    const char* what;
    int priors;  // 0 none, 1 finite, 2 with +-Inf and huge ones
    bool extrinsic;
    double clip;
};
const demap_case demap_cases[] = {
    {"no priors", 0, false, inf},          {"no priors, clip 3", 0, false, 3.0},
    {"finite priors", 1, false, inf},      {"finite priors, extrinsic", 1, true, inf},
    {"known bits", 2, false, inf},         {"known bits, extrinsic", 2, true, inf},
    {"known bits, clip 5", 2, false, 5.0}, {"known bits, extrinsic, clip 0", 2, true, 0.0},
};

TEST(SoftDemap, AnalysisFindsTheSeparableConstellations) {
    for (const test_constellation& c : all_constellations()) {
        EXPECT_EQ(c.grid.separable, c.separable) << c.name;
    }
}

TEST(SoftDemap, EqualsBruteForceOverThePoints) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> expo(-3.0, 3.0);
    for (const test_constellation& c : all_constellations()) {
        const soft_alphabet a = c.alphabet();
        const double spread = std::sqrt(c.es);
        for (const demap_case& dc : demap_cases) {
            for (int trial = 0; trial < 60; ++trial) {
                const double n0 = std::pow(10.0, expo(rng)) * c.es;
                cplx z(spread * 1.3 * normal(rng),
                       c.complex_model ? spread * 1.3 * normal(rng) : 0.0);
                if (trial % 10 == 0) z = c.points[trial % c.M];  // on a point
                const std::vector<double> La = random_priors(rng, c.bits, dc.priors);
                const double* pa = dc.priors != 0 ? La.data() : nullptr;
                std::vector<double> L(c.bits);
                std::int32_t idx = -1;
                demap_stream(z, n0, a, pa,
                             dc.extrinsic ? llr_output::extrinsic : llr_output::posterior, dc.clip,
                             L.data(), &idx);
                const brute_result r = brute_demap(c, z, n0, pa, dc.extrinsic, dc.clip);
                const double tol = 1e-12 * (1.0 + r.scale);
                for (int k = 0; k < c.bits; ++k) {
                    if (std::isinf(r.L[k])) {
                        EXPECT_EQ(L[k], r.L[k]) << c.name << ", " << dc.what << ", bit " << k;
                    } else {
                        EXPECT_NEAR(L[k], r.L[k], tol)
                            << c.name << ", " << dc.what << ", bit " << k;
                    }
                }
                // the point of least metric, or one whose metric ties with it within rounding
                ASSERT_GE(idx, 0);
                ASSERT_LT(idx, c.M);
                EXPECT_LE(r.metric[idx], r.best + tol) << c.name << ", " << dc.what;
            }
        }
    }
}

TEST(SoftDemap, ExtrinsicIsPosteriorLessPriorForFiniteUnclippedPriors) {
    std::mt19937_64 rng(12);
    std::normal_distribution<double> normal;
    for (const test_constellation& c : all_constellations()) {
        const soft_alphabet a = c.alphabet();
        for (int trial = 0; trial < 30; ++trial) {
            const cplx z(normal(rng), c.complex_model ? normal(rng) : 0.0);
            const std::vector<double> La = random_priors(rng, c.bits, 1);
            std::vector<double> Lp(c.bits), Le(c.bits);
            std::int32_t i1, i2;
            demap_stream(z, 0.7 * c.es, a, La.data(), llr_output::posterior, inf, Lp.data(), &i1);
            demap_stream(z, 0.7 * c.es, a, La.data(), llr_output::extrinsic, inf, Le.data(), &i2);
            for (int k = 0; k < c.bits; ++k) {
                EXPECT_NEAR(Le[k], Lp[k] - La[k],
                            1e-11 * (1.0 + std::fabs(Lp[k]) + std::fabs(La[k])))
                    << c.name;
            }
        }
    }
}

TEST(SoftDemap, WithoutPriorsMatchesTheStreamLlrsOfTheLinearDetectors) {
    std::mt19937_64 rng(13);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> expo(-4.0, 4.0);
    for (const test_constellation& c : all_constellations()) {
        const soft_alphabet a = c.alphabet();
        for (int trial = 0; trial < 200; ++trial) {
            const double n0 = std::pow(10.0, expo(rng));
            const cplx z(2.0 * normal(rng), c.complex_model ? 2.0 * normal(rng) : 0.0);
            for (double clip : {inf, 20.0}) {
                std::vector<double> L(c.bits), Lt(c.bits);
                std::int32_t idx, idx_t;
                demap_stream(z, n0, a, nullptr, llr_output::posterior, clip, L.data(), &idx);
                stream_llrs(z, n0, c.points.data(), c.M, c.labels.data(), c.bits, clip, Lt.data(),
                            &idx_t);
                // relative to the metrics' size: today's divides each distance by n0 first
                double scale = 0.0;
                for (const cplx& p : c.points) scale = std::max(scale, std::norm(z - p) / n0);
                for (int k = 0; k < c.bits; ++k) {
                    EXPECT_NEAR(L[k], Lt[k], 1e-12 * (std::fabs(Lt[k]) + scale)) << c.name;
                }
                EXPECT_EQ(idx, idx_t) << c.name;
            }
        }
    }
}

// The limits: a vanishing noise, an infinite one, overflowing metrics: no NaN, and the
// first point of equal metrics for ties.
TEST(SoftDemap, LimitsGiveNoNaN) {
    for (const test_constellation& c : all_constellations()) {
        const soft_alphabet a = c.alphabet();
        std::mt19937_64 rng(1);
        const std::vector<double> La = random_priors(rng, c.bits, 2);
        for (double n0 : {0.0, 1e-320, 1e300, inf}) {
            for (cplx z :
                 {cplx(0.0, 0.0), cplx(1e200, -1e200), cplx(0.3, 0.1), cplx(1e-300, 0.0)}) {
                for (const double* pa : {static_cast<const double*>(nullptr), La.data()}) {
                    for (llr_output out : {llr_output::posterior, llr_output::extrinsic}) {
                        std::vector<double> L(c.bits);
                        std::int32_t idx = -1;
                        demap_stream(z, n0, a, pa, out, 20.0, L.data(), &idx);
                        for (double v : L) {
                            EXPECT_FALSE(std::isnan(v)) << c.name << " n0 " << n0;
                            EXPECT_LE(std::fabs(v), 20.0);
                        }
                        EXPECT_GE(idx, 0);
                        EXPECT_LT(idx, c.M);
                    }
                }
            }
        }
        // ties at z = 0 without priors: the first of the nearest points, as nearest_point
        std::vector<double> L(c.bits);
        std::int32_t idx = -1;
        demap_stream(cplx(0.0, 0.0), 1.0, a, nullptr, llr_output::posterior, inf, L.data(), &idx);
        EXPECT_EQ(idx, nearest_point(cplx(0.0, 0.0), c.points.data(), c.M)) << c.name;
        // no information: the posterior is the prior (clipped), the extrinsic 0
        const std::vector<double> Lf = random_priors(rng, c.bits, 1);
        demap_stream(cplx(0.5, 0.5), inf, a, Lf.data(), llr_output::posterior, inf, L.data(), &idx);
        for (int k = 0; k < c.bits; ++k)
            EXPECT_NEAR(L[k], Lf[k], 1e-12 * std::fabs(Lf[k])) << c.name;
        demap_stream(cplx(0.5, 0.5), inf, a, Lf.data(), llr_output::extrinsic, inf, L.data(), &idx);
        for (int k = 0; k < c.bits; ++k) EXPECT_EQ(L[k], 0.0) << c.name;
    }
}

// ---- MMSE-PIC ----

std::vector<cplx> random_channel(std::mt19937_64& rng, std::int64_t count, bool complex_values) {
    std::normal_distribution<double> normal;
    std::vector<cplx> v(count);
    const double s = complex_values ? std::sqrt(0.5) : 1.0;
    for (cplx& x : v) x = cplx(s * normal(rng), complex_values ? s * normal(rng) : 0.0);
    return v;
}

// x = A^-1 b by Gauss-Jordan elimination with partial pivoting (n-by-n, column-major).
std::vector<cplx> dense_solve(std::vector<cplx> A, std::vector<cplx> b, std::int64_t n) {
    for (std::int64_t k = 0; k < n; ++k) {
        std::int64_t piv = k;
        for (std::int64_t i = k + 1; i < n; ++i) {
            if (std::abs(A[i + k * n]) > std::abs(A[piv + k * n])) piv = i;
        }
        for (std::int64_t j = 0; j < n; ++j) std::swap(A[k + j * n], A[piv + j * n]);
        std::swap(b[k], b[piv]);
        const cplx d = A[k + k * n];
        for (std::int64_t j = 0; j < n; ++j) A[k + j * n] /= d;
        b[k] /= d;
        for (std::int64_t i = 0; i < n; ++i) {
            if (i == k) continue;
            const cplx f = A[i + k * n];
            for (std::int64_t j = 0; j < n; ++j) A[i + j * n] -= f * A[k + j * n];
            b[i] -= f * b[k];
        }
    }
    return b;
}

// The probability of bit value b under the LLR La (L = ln P(0)/P(1)).
double bit_probability(double La, std::uint32_t b) {
    if (std::isinf(La)) return (La > 0) == (b == 0) ? 1.0 : 0.0;
    const double p0 = 1.0 / (1.0 + std::exp(-La));
    return b ? 1.0 - p0 : p0;
}

// Soft symbol and variance from the point probabilities, written out.
void plain_soft_symbol(const test_constellation& c, const double* La, cplx* mean, double* var) {
    std::vector<double> P(c.M, 1.0);
    double sum = 0.0;
    for (int m = 0; m < c.M; ++m) {
        for (int b = 0; b < c.bits && La != nullptr; ++b)
            P[m] *= bit_probability(La[b], label_bit(c.labels[m], c.bits, b));
        sum += P[m];
    }
    cplx mu = 0.0;
    double e2 = 0.0;
    for (int m = 0; m < c.M; ++m) {
        mu += P[m] / sum * c.points[m];
        e2 += P[m] / sum * std::norm(c.points[m]);
    }
    *mean = mu;
    *var = std::max(e2 - std::norm(mu), 0.0);
}

// The formulas per stream on the nr-by-nr matrix: A_t = H D_t H^H + N0 I (the real model:
// N0/2, and twice the noise), w_t = A_t^-1 h_t, mu_t, z_t, N0_t = (1 - Es mu_t)/mu_t.
// symbol_prior forms the soft symbols (null: none).
void dense_pic(const test_constellation& c, const std::vector<cplx>& H, std::int64_t nr,
               std::int64_t nt, const std::vector<cplx>& y, double n0, const double* symbol_prior,
               std::vector<cplx>* z, std::vector<double>* noise) {
    std::vector<cplx> xbar(nt);
    std::vector<double> E(nt);
    for (std::int64_t t = 0; t < nt; ++t) {
        plain_soft_symbol(c, symbol_prior != nullptr ? symbol_prior + t * c.bits : nullptr,
                          &xbar[t], &E[t]);
    }
    const double nf = c.complex_model ? n0 : n0 / 2;
    z->assign(nt, 0.0);
    noise->assign(nt, 0.0);
    for (std::int64_t t = 0; t < nt; ++t) {
        std::vector<cplx> A(nr * nr, 0.0), h(nr), yh(y);
        for (std::int64_t j = 0; j < nt; ++j) {
            const double d = j == t ? c.es : E[j];
            for (std::int64_t a = 0; a < nr; ++a) {
                for (std::int64_t b = 0; b < nr; ++b)
                    A[a + b * nr] += d * H[a + j * nr] * std::conj(H[b + j * nr]);
            }
            if (j != t) {
                for (std::int64_t a = 0; a < nr; ++a) yh[a] -= H[a + j * nr] * xbar[j];
            }
        }
        for (std::int64_t a = 0; a < nr; ++a) {
            A[a + a * nr] += nf;
            h[a] = H[a + t * nr];
        }
        const std::vector<cplx> w = dense_solve(A, h, nr);
        cplx mu = 0.0, wy = 0.0;
        for (std::int64_t a = 0; a < nr; ++a) {
            mu += std::conj(w[a]) * h[a];
            wy += std::conj(w[a]) * yh[a];
        }
        (*z)[t] = wy / mu.real();
        (*noise)[t] = (1.0 - c.es * mu.real()) / mu.real() * (c.complex_model ? 1.0 : 2.0);
    }
}

struct pic_size {
    std::int64_t nr, nt;
};
const pic_size pic_sizes[] = {{1, 1}, {2, 2}, {4, 4}, {6, 3}, {2, 4}, {8, 8}};

std::vector<test_constellation> pic_constellations() {
    std::vector<test_constellation> v;
    v.push_back(qam(2, true, 1.0 / std::sqrt(2.0)));
    v.push_back(qam(4, true, 1.0 / std::sqrt(10.0), 3));
    v.push_back(qam(8, true, 1.0 / std::sqrt(42.0)));
    v.push_back(pam(4, true, 1.0 / std::sqrt(5.0)));
    v.push_back(pam(2, true, 1.0));
    v.push_back(psk8());
    v.push_back(scrambled16());
    return v;
}

soft_linear_problem pic_problem(const test_constellation& c, std::int64_t nr, std::int64_t nt,
                                llr_output out, double clip) {
    soft_linear_problem p;
    p.complex_model = c.complex_model;
    p.nr = nr;
    p.nt = nt;
    p.alphabet = c.alphabet();
    p.clip = clip;
    p.output = out;
    return p;
}

// A received vector of random points through H with noise of variance n0.
std::vector<cplx> received(std::mt19937_64& rng, const test_constellation& c,
                           const std::vector<cplx>& H, std::int64_t nr, std::int64_t nt, double n0,
                           std::vector<int>* sent) {
    std::uniform_int_distribution<int> pick(0, c.M - 1);
    std::normal_distribution<double> normal;
    sent->assign(nt, 0);
    std::vector<cplx> y(nr, 0.0);
    for (std::int64_t t = 0; t < nt; ++t) {
        (*sent)[t] = pick(rng);
        for (std::int64_t r = 0; r < nr; ++r) y[r] += H[r + t * nr] * c.points[(*sent)[t]];
    }
    const double s = c.complex_model ? std::sqrt(n0 / 2) : std::sqrt(n0 / 2);
    for (cplx& v : y) v += cplx(s * normal(rng), c.complex_model ? s * normal(rng) : 0.0);
    return y;
}

struct pic_run {
    std::vector<double> llr;
    std::vector<std::int32_t> idx;
    std::vector<cplx> z;
    std::vector<double> noise;
    soft_status status;
};

pic_run run_pic(const soft_linear_problem& p, const std::vector<cplx>& H,
                const std::vector<cplx>& y, double n0, const double* prior, int iterations) {
    pic_run r;
    std::vector<cplx> gram(p.nt * p.nt);
    mmse_pic_prepare(H.data(), p.nr, p.nt, gram.data());
    std::vector<double> scratch(mmse_pic_scratch(p));
    r.llr.assign(p.nt * p.alphabet.bits, -1.0);
    r.idx.assign(p.nt, -1);
    r.z.assign(p.nt, 0.0);
    r.noise.assign(p.nt, 0.0);
    r.status =
        mmse_pic_column(p, H.data(), gram.data(), y.data(), n0, prior, iterations, r.llr.data(),
                        r.idx.data(), r.z.data(), r.noise.data(), scratch.data());
    return r;
}

TEST(MmsePic, WithoutPriorsGivesTheMmseDetectorsLlrs) {
    std::mt19937_64 rng(21);
    for (const test_constellation& c : pic_constellations()) {
        for (const pic_size& s : pic_sizes) {
            for (double n0 : {0.01, 0.3, 3.0}) {
                for (double clip : {inf, 8.0}) {
                    const std::vector<cplx> H = random_channel(rng, s.nr * s.nt, c.complex_model);
                    std::vector<int> sent;
                    const std::vector<cplx> y = received(rng, c, H, s.nr, s.nt, n0, &sent);
                    mimo_problem mp{};
                    mp.method = mimo_method::mmse;
                    mp.complex_model = c.complex_model;
                    mp.nr = s.nr;
                    mp.nt = s.nt;
                    mp.M = c.M;
                    mp.bits = c.bits;
                    mp.points = c.points.data();
                    mp.labels = c.labels.data();
                    mp.grid = &c.grid;
                    mp.es = c.es;
                    mp.clip = clip;
                    std::vector<double> page(mimo_page_size(mp)), scratch(mimo_column_scratch(mp));
                    ASSERT_EQ(mimo_prepare_page(mp, H.data(), n0, page.data(), scratch.data()),
                              page_status::ready);
                    std::vector<double> L(s.nt * c.bits), idx(s.nt);
                    ASSERT_EQ(mimo_detect_column(mp, page.data(), y.data(), n0, nullptr, L.data(),
                                                 idx.data(), nullptr, scratch.data()),
                              search_status::found);
                    const pic_run r =
                        run_pic(pic_problem(c, s.nr, s.nt, llr_output::posterior, clip), H, y, n0,
                                nullptr, 1);
                    ASSERT_EQ(r.status, soft_status::done);
                    for (std::int64_t b = 0; b < s.nt * c.bits; ++b) {
                        // 1e-12 relative to the metrics the LLR is the difference of
                        double scale = 0.0;
                        for (const cplx& pt : c.points) {
                            scale = std::max(scale,
                                             std::norm(r.z[b / c.bits] - pt) / r.noise[b / c.bits]);
                        }
                        EXPECT_NEAR(r.llr[b], L[b], 1e-12 * (1.0 + std::fabs(L[b]) + scale))
                            << c.name << " " << s.nr << "x" << s.nt << " n0 " << n0;
                    }
                    for (std::int64_t t = 0; t < s.nt; ++t)
                        EXPECT_EQ(r.idx[t] + 1.0, idx[t]) << c.name;
                }
            }
        }
    }
}

TEST(MmsePic, EqualsTheDenseFormulasPerStream) {
    std::mt19937_64 rng(22);
    for (const test_constellation& c : pic_constellations()) {
        for (const pic_size& s : pic_sizes) {
            for (int kind : {0, 1, 2}) {
                for (int iterations : {1, 2, 3}) {
                    const double n0 = 0.2;
                    const std::vector<cplx> H = random_channel(rng, s.nr * s.nt, c.complex_model);
                    std::vector<int> sent;
                    const std::vector<cplx> y = received(rng, c, H, s.nr, s.nt, n0, &sent);
                    std::vector<double> La;
                    for (std::int64_t t = 0; t < s.nt; ++t) {
                        const std::vector<double> one = random_priors(rng, c.bits, kind);
                        La.insert(La.end(), one.begin(), one.end());
                    }
                    const double* pa = kind != 0 ? La.data() : nullptr;
                    for (llr_output out : {llr_output::posterior, llr_output::extrinsic}) {
                        const soft_linear_problem p = pic_problem(c, s.nr, s.nt, out, inf);
                        const pic_run r = run_pic(p, H, y, n0, pa, iterations);
                        ASSERT_EQ(r.status, soft_status::done);
                        // the soft symbols of the last pass: the caller's priors, or the
                        // posteriors of the pass before (iterations - 1 passes)
                        std::vector<double> sym;
                        const double* sp = pa;
                        if (iterations > 1) {
                            const pic_run before =
                                run_pic(pic_problem(c, s.nr, s.nt, llr_output::posterior, inf), H,
                                        y, n0, pa, iterations - 1);
                            sym = before.llr;
                            sp = sym.data();
                        }
                        std::vector<cplx> z;
                        std::vector<double> noise;
                        dense_pic(c, H, s.nr, s.nt, y, n0, sp, &z, &noise);
                        for (std::int64_t t = 0; t < s.nt; ++t) {
                            const double zs = 1.0 + std::abs(z[t]);
                            EXPECT_NEAR(std::abs(r.z[t] - z[t]), 0.0, 1e-9 * zs)
                                << c.name << " " << s.nr << "x" << s.nt << " kind " << kind
                                << " it " << iterations;
                            EXPECT_NEAR(r.noise[t], noise[t], 1e-9 * noise[t]) << c.name;
                            std::vector<double> L(c.bits);
                            std::int32_t idx;
                            demap_stream(r.z[t], r.noise[t], c.alphabet(),
                                         pa != nullptr ? pa + t * c.bits : nullptr, out, inf,
                                         L.data(), &idx);
                            for (int k = 0; k < c.bits; ++k) EXPECT_EQ(r.llr[t * c.bits + k], L[k]);
                            EXPECT_EQ(r.idx[t], idx);
                        }
                    }
                }
            }
        }
    }
}

TEST(MmsePic, KnownOtherStreamsGiveTheMatchedFilter) {
    std::mt19937_64 rng(23);
    for (const test_constellation& c : pic_constellations()) {
        for (const pic_size& s : pic_sizes) {
            for (double big : {inf, 1e300, 800.0}) {
                const double n0 = 0.5;
                const std::vector<cplx> H = random_channel(rng, s.nr * s.nt, c.complex_model);
                std::vector<int> sent;
                const std::vector<cplx> y = received(rng, c, H, s.nr, s.nt, n0, &sent);
                const std::int64_t t0 = s.nt - 1;  // the stream left unknown
                std::vector<double> La(s.nt * c.bits, 0.0);
                for (std::int64_t t = 0; t < t0; ++t) {
                    for (int k = 0; k < c.bits; ++k) {
                        La[t * c.bits + k] = label_bit(c.labels[sent[t]], c.bits, k) ? -big : big;
                    }
                }
                const pic_run r = run_pic(pic_problem(c, s.nr, s.nt, llr_output::posterior, inf), H,
                                          y, n0, La.data(), 1);
                ASSERT_EQ(r.status, soft_status::done);
                double h2 = 0.0;
                cplx mf = 0.0;
                for (std::int64_t i = 0; i < s.nr; ++i) {
                    cplx yi = y[i];
                    for (std::int64_t t = 0; t < t0; ++t) yi -= H[i + t * s.nr] * c.points[sent[t]];
                    h2 += std::norm(H[i + t0 * s.nr]);
                    mf += std::conj(H[i + t0 * s.nr]) * yi;
                }
                const double want = n0 / h2;
                EXPECT_NEAR(r.noise[t0], want, 1e-12 * want * 10) << c.name << " " << big;
                EXPECT_NEAR(std::abs(r.z[t0] - mf / h2), 0.0,
                            1e-12 * 10 * (1.0 + std::abs(mf / h2)))
                    << c.name;
            }
        }
    }
}

TEST(MmsePic, UnseenStreamsAndSingularColumns) {
    std::mt19937_64 rng(24);
    for (const test_constellation& c : pic_constellations()) {
        const std::int64_t nr = 3, nt = 3;
        std::vector<cplx> H = random_channel(rng, nr * nt, c.complex_model);
        for (std::int64_t i = 0; i < nr; ++i) H[i + 1 * nr] = 0.0;  // stream 1 unseen
        std::vector<int> sent;
        const std::vector<cplx> y = received(rng, c, H, nr, nt, 0.1, &sent);
        std::vector<double> La;
        for (std::int64_t t = 0; t < nt; ++t) {
            const std::vector<double> one = random_priors(rng, c.bits, 1);
            La.insert(La.end(), one.begin(), one.end());
        }
        const pic_run r =
            run_pic(pic_problem(c, nr, nt, llr_output::posterior, inf), H, y, 0.1, La.data(), 2);
        ASSERT_EQ(r.status, soft_status::done);
        for (int k = 0; k < c.bits; ++k) {
            EXPECT_NEAR(r.llr[c.bits + k], La[c.bits + k], 1e-12 * std::fabs(La[c.bits + k]))
                << c.name;
        }
        const pic_run e =
            run_pic(pic_problem(c, nr, nt, llr_output::extrinsic, inf), H, y, 0.1, La.data(), 1);
        for (int k = 0; k < c.bits; ++k) EXPECT_EQ(e.llr[c.bits + k], 0.0);
        for (double v : r.llr) EXPECT_FALSE(std::isnan(v));
        // N0 = 0 with every other stream known and two streams sharing one receiver: singular
        std::vector<cplx> H1 = random_channel(rng, 2, c.complex_model);
        std::vector<double> known(2 * c.bits, inf);
        const std::vector<cplx> y1 = {c.points[0] * H1[0]};
        const pic_run s =
            run_pic(pic_problem(c, 1, 2, llr_output::posterior, inf), H1, y1, 0.0, known.data(), 1);
        EXPECT_EQ(s.status, soft_status::singular) << c.name;
        for (double v : s.llr) EXPECT_EQ(v, 0.0);
        // extreme magnitudes: no NaN, an answer or not_finite
        for (double scale : {1e-150, 1e150, 1e300}) {
            std::vector<cplx> Hs(H), ys(y);
            for (cplx& v : Hs) v *= scale;
            for (cplx& v : ys) v *= scale;
            for (double n0 : {1e-300, 1.0, 1e300}) {
                const pic_run x = run_pic(pic_problem(c, nr, nt, llr_output::extrinsic, 20.0), Hs,
                                          ys, n0, La.data(), 2);
                for (double v : x.llr)
                    EXPECT_FALSE(std::isnan(v)) << c.name << " " << scale << " " << n0;
                for (std::int32_t i : x.idx) EXPECT_TRUE(i >= 0 && i < c.M);
            }
        }
    }
}

// ---- EP ----

struct plain_ep_result {
    std::vector<double> llr, tc, vc, mu, sig;
    // the largest (1/Sigma_ii)/(cavity precision) of any pass: how much the cavity's
    // subtraction 1/Sigma_ii - lam_i magnifies rounding (a large site precision)
    double amplification = 1.0;
};

// The iteration of EP written plainly on the explicit real form: dense inverses, divisions
// by sigma^2, the entry priors as marginals of the point probabilities, and the LLRs by
// max-log over the points with the real and imaginary parts' cavities.
plain_ep_result plain_ep(const test_constellation& c, const std::vector<cplx>& H, std::int64_t nr,
                         std::int64_t nt, const std::vector<cplx>& y, double n0, const double* La,
                         int iterations, double beta) {
    const bool cm = c.complex_model;
    const std::int64_t n = cm ? 2 * nt : nt, m = cm ? 2 * nr : nr;
    std::vector<double> Hr(m * n), yr(m);
    for (std::int64_t r = 0; r < nr; ++r) {
        for (std::int64_t t = 0; t < nt; ++t) {
            const cplx h = H[r + t * nr];
            if (!cm) {
                Hr[r + t * m] = h.real();
                continue;
            }
            Hr[2 * r + 2 * t * m] = h.real();
            Hr[2 * r + (2 * t + 1) * m] = -h.imag();
            Hr[2 * r + 1 + 2 * t * m] = h.imag();
            Hr[2 * r + 1 + (2 * t + 1) * m] = h.real();
        }
        if (cm) {
            yr[2 * r] = y[r].real();
            yr[2 * r + 1] = y[r].imag();
        } else {
            yr[r] = y[r].real();
        }
    }
    // each entry's values (the distinct parts) and prior probabilities (marginals)
    std::vector<std::vector<double>> values(n), prob(n);
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t t = cm ? i / 2 : i;
        const bool im = cm && i % 2 == 1;
        for (int q = 0; q < c.M; ++q) {
            double P = 1.0;
            for (int k = 0; k < c.bits && La != nullptr; ++k) {
                P *= bit_probability(La[t * c.bits + k], label_bit(c.labels[q], c.bits, k));
            }
            const double v = im ? c.points[q].imag() : c.points[q].real();
            auto it = std::find(values[i].begin(), values[i].end(), v);
            if (it == values[i].end()) {
                values[i].push_back(v);
                prob[i].push_back(P);
            } else {
                prob[i][it - values[i].begin()] += P;
            }
        }
    }
    const std::size_t side = values[0].size();
    double vu = 0.0, mu0 = 0.0;
    for (double v : values[0]) mu0 += v / side;
    for (double v : values[0]) vu += (v - mu0) * (v - mu0) / side;
    const double fl = 1e-12 * vu;
    std::vector<double> lam(n), gam(n);
    for (std::int64_t i = 0; i < n; ++i) {
        double sp = 0, m1 = 0, m2 = 0;
        for (std::size_t a = 0; a < side; ++a) sp += prob[i][a];
        for (std::size_t a = 0; a < side; ++a) m1 += prob[i][a] / sp * values[i][a];
        for (std::size_t a = 0; a < side; ++a)
            m2 += prob[i][a] / sp * (values[i][a] - m1) * (values[i][a] - m1);
        m2 = std::max(m2, fl);
        lam[i] = 1.0 / m2;
        gam[i] = m1 / m2;
    }
    const double s2 = n0 / 2;
    plain_ep_result r;
    r.tc.assign(n, 0.0);
    r.vc.assign(n, 0.0);
    r.mu.assign(n, 0.0);
    r.sig.assign(n, 0.0);
    for (int pass = 0; pass < iterations; ++pass) {
        std::vector<cplx> A(n * n), rhs(n);
        for (std::int64_t i = 0; i < n; ++i) {
            for (std::int64_t j = 0; j < n; ++j) {
                double v = 0;
                for (std::int64_t k = 0; k < m; ++k) v += Hr[k + i * m] * Hr[k + j * m];
                A[i + j * n] = v / s2 + (i == j ? lam[i] : 0.0);
            }
            double v = 0;
            for (std::int64_t k = 0; k < m; ++k) v += Hr[k + i * m] * yr[k];
            rhs[i] = v / s2 + gam[i];
        }
        const std::vector<cplx> mu = dense_solve(A, rhs, n);
        for (std::int64_t i = 0; i < n; ++i) {
            std::vector<cplx> e(n, 0.0);
            e[i] = 1.0;
            const double Sii = dense_solve(A, e, n)[i].real();
            r.mu[i] = mu[i].real();
            r.sig[i] = Sii;
            const double prec = 1.0 / Sii - lam[i];
            if (prec > 0) r.amplification = std::max(r.amplification, (1.0 / Sii) / prec);
            if (prec > 0) {
                r.vc[i] = std::max(1.0 / prec, fl);
                r.tc[i] = (1.0 / prec) * (mu[i].real() / Sii - gam[i]);
            } else {
                r.vc[i] = fl;
                r.tc[i] = mu[i].real();
            }
        }
        if (pass + 1 == iterations) break;
        for (std::int64_t i = 0; i < n; ++i) {
            // log p(a) = log P(a) - (t - a)^2/(2v), normalised by its largest value
            std::vector<double> lp(side);
            double top = -inf;
            for (std::size_t a = 0; a < side; ++a) {
                lp[a] = std::log(prob[i][a]) - std::pow(r.tc[i] - values[i][a], 2) / (2 * r.vc[i]);
                top = std::max(top, lp[a]);
            }
            double sp = 0, m1 = 0, m2 = 0;
            for (std::size_t a = 0; a < side; ++a) sp += std::exp(lp[a] - top);
            for (std::size_t a = 0; a < side; ++a) m1 += std::exp(lp[a] - top) / sp * values[i][a];
            for (std::size_t a = 0; a < side; ++a)
                m2 += std::exp(lp[a] - top) / sp * std::pow(values[i][a] - m1, 2);
            m2 = std::max(m2, fl);
            const double ln = 1.0 / m2 - 1.0 / r.vc[i];
            if (!(ln > 0)) continue;
            const double gn = m1 / m2 - r.tc[i] / r.vc[i];
            lam[i] = beta * lam[i] + (1 - beta) * ln;
            gam[i] = beta * gam[i] + (1 - beta) * gn;
        }
    }
    // max-log over the points of each antenna, the metric of both parts' cavities
    r.llr.assign(nt * c.bits, 0.0);
    for (std::int64_t t = 0; t < nt; ++t) {
        std::vector<double> metric(c.M);
        for (int q = 0; q < c.M; ++q) {
            double e =
                cm ? std::pow(r.tc[2 * t] - c.points[q].real(), 2) / (2 * r.vc[2 * t]) +
                         std::pow(r.tc[2 * t + 1] - c.points[q].imag(), 2) / (2 * r.vc[2 * t + 1])
                   : std::pow(r.tc[t] - c.points[q].real(), 2) / (2 * r.vc[t]);
            metric[q] = e;
        }
        const std::vector<double> none;
        for (int k = 0; k < c.bits; ++k) {
            double least[2] = {inf, inf};
            for (int q = 0; q < c.M; ++q) {
                double e = metric[q];
                for (int j = 0; j < c.bits && La != nullptr; ++j) {
                    e += brute_cost(La[t * c.bits + j], label_bit(c.labels[q], c.bits, j));
                }
                const std::uint32_t bq = label_bit(c.labels[q], c.bits, k);
                least[bq] = std::min(least[bq], e);
            }
            r.llr[t * c.bits + k] = least[1] - least[0];
        }
    }
    return r;
}

struct ep_run {
    std::vector<double> llr, tc, vc, mu, sig;
    std::vector<std::int32_t> idx;
    soft_status status;
};

ep_run run_ep(const soft_linear_problem& p, const std::vector<cplx>& H, const std::vector<cplx>& y,
              double n0, const double* prior, int iterations, double beta) {
    ep_run r;
    std::vector<double> gram(ep_page_size(p)), scratch(ep_scratch(p));
    ep_prepare(p, H.data(), gram.data());
    const std::int64_t n = ep_entries(p);
    r.llr.assign(p.nt * p.alphabet.bits, -1.0);
    r.idx.assign(p.nt, -1);
    r.tc.assign(n, 0.0);
    r.vc.assign(n, 0.0);
    r.mu.assign(n, 0.0);
    r.sig.assign(n, 0.0);
    ep_trace tr;
    tr.cavity_mean = r.tc.data();
    tr.cavity_var = r.vc.data();
    tr.post_mean = r.mu.data();
    tr.post_var = r.sig.data();
    r.status = ep_column(p, gram.data(), H.data(), y.data(), n0, prior, iterations, beta,
                         r.llr.data(), r.idx.data(), scratch.data(), &tr);
    return r;
}

std::vector<test_constellation> ep_constellations() {
    std::vector<test_constellation> v;
    v.push_back(qam(2, true, 1.0 / std::sqrt(2.0)));
    v.push_back(qam(4, true, 1.0 / std::sqrt(10.0), 3));
    v.push_back(qam(4, false, 1.0));
    v.push_back(qam(8, true, 1.0 / std::sqrt(42.0)));
    v.push_back(pam(4, true, 1.0 / std::sqrt(5.0)));
    v.push_back(pam(8, false, 1.0));
    return v;
}

TEST(Ep, EqualsThePlainIteration) {
    std::mt19937_64 rng(31);
    const pic_size sizes[] = {{1, 1}, {2, 2}, {4, 4}, {6, 3}, {3, 4}};
    for (const test_constellation& c : ep_constellations()) {
        for (const pic_size& s : sizes) {
            for (int iterations : {1, 2, 5, 10}) {
                for (double beta : {0.0, 0.5, 0.9}) {
                    for (int kind : {0, 1, 2}) {
                        const double n0 = c.es * (kind == 1 ? 0.05 : 0.3);
                        const std::vector<cplx> H =
                            random_channel(rng, s.nr * s.nt, c.complex_model);
                        std::vector<int> sent;
                        const std::vector<cplx> y = received(rng, c, H, s.nr, s.nt, n0, &sent);
                        std::vector<double> La;
                        for (std::int64_t t = 0; t < s.nt; ++t) {
                            const std::vector<double> one = random_priors(rng, c.bits, kind);
                            La.insert(La.end(), one.begin(), one.end());
                        }
                        // huge finite priors are the plain version's underflow: known bits there
                        for (double& v : La) {
                            if (std::fabs(v) == 1e300) v = v > 0 ? inf : -inf;
                        }
                        const double* pa = kind != 0 ? La.data() : nullptr;
                        const plain_ep_result want =
                            plain_ep(c, H, s.nr, s.nt, y, n0, pa, iterations, beta);
                        for (llr_output out : {llr_output::posterior, llr_output::extrinsic}) {
                            const ep_run r = run_ep(pic_problem(c, s.nr, s.nt, out, inf), H, y, n0,
                                                    pa, iterations, beta);
                            ASSERT_EQ(r.status, soft_status::done);
                            const std::string where =
                                c.name + " " + std::to_string(s.nr) + "x" + std::to_string(s.nt) +
                                " it " + std::to_string(iterations) + " beta " +
                                std::to_string(beta) + " kind " + std::to_string(kind);
                            // rounding magnified by the cavities' cancellation, over the passes
                            const double tol =
                                1e-13 * std::pow(want.amplification, 1.0) * (iterations + 1) * 10;
                            for (std::size_t i = 0; i < want.tc.size(); ++i) {
                                EXPECT_NEAR(r.tc[i], want.tc[i],
                                            tol * (1.0 + std::fabs(want.tc[i])))
                                    << where;
                                EXPECT_NEAR(r.vc[i], want.vc[i], tol * want.vc[i]) << where;
                            }
                            for (std::size_t k = 0; k < want.llr.size(); ++k) {
                                double w = want.llr[k];
                                if (out == llr_output::extrinsic && pa != nullptr) {
                                    if (std::isinf(pa[k]))
                                        continue;  // checked by the demapper's tests
                                    w -= pa[k];
                                }
                                if (std::isinf(w)) {
                                    EXPECT_EQ(r.llr[k], w) << where;
                                } else {
                                    EXPECT_NEAR(r.llr[k], w,
                                                10 * tol * (1.0 + std::fabs(want.llr[k])))
                                        << where;
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(Ep, OneIterationIsTheMmseDetector) {
    std::mt19937_64 rng(32);
    const pic_size sizes[] = {{1, 1}, {4, 4}, {6, 3}, {8, 8}};
    for (const test_constellation& c : ep_constellations()) {
        for (const pic_size& s : sizes) {
            for (double n0r : {0.01, 0.3, 3.0}) {
                for (double beta : {0.0, 0.9}) {
                    const double n0 = n0r * c.es;
                    const std::vector<cplx> H = random_channel(rng, s.nr * s.nt, c.complex_model);
                    std::vector<int> sent;
                    const std::vector<cplx> y = received(rng, c, H, s.nr, s.nt, n0, &sent);
                    mimo_problem mp{};
                    mp.method = mimo_method::mmse;
                    mp.complex_model = c.complex_model;
                    mp.nr = s.nr;
                    mp.nt = s.nt;
                    mp.M = c.M;
                    mp.bits = c.bits;
                    mp.points = c.points.data();
                    mp.labels = c.labels.data();
                    mp.grid = &c.grid;
                    mp.es = c.es;
                    mp.clip = inf;
                    std::vector<double> page(mimo_page_size(mp)), scratch(mimo_column_scratch(mp));
                    ASSERT_EQ(mimo_prepare_page(mp, H.data(), n0, page.data(), scratch.data()),
                              page_status::ready);
                    std::vector<double> L(s.nt * c.bits), idx(s.nt);
                    ASSERT_EQ(mimo_detect_column(mp, page.data(), y.data(), n0, nullptr, L.data(),
                                                 idx.data(), nullptr, scratch.data()),
                              search_status::found);
                    const ep_run r = run_ep(pic_problem(c, s.nr, s.nt, llr_output::posterior, inf),
                                            H, y, n0, nullptr, 1, beta);
                    ASSERT_EQ(r.status, soft_status::done);
                    for (std::int64_t b = 0; b < s.nt * c.bits; ++b) {
                        // 1e-12 relative to the metrics the LLR is the difference of (the
                        // antenna's entries' cavities)
                        const std::int64_t t = b / c.bits;
                        double scale = 0.0;
                        for (const cplx& pt : c.points) {
                            double e = 0.0;
                            if (c.complex_model) {
                                e = std::pow(r.tc[2 * t] - pt.real(), 2) / (2 * r.vc[2 * t]) +
                                    std::pow(r.tc[2 * t + 1] - pt.imag(), 2) /
                                        (2 * r.vc[2 * t + 1]);
                            } else {
                                e = std::pow(r.tc[t] - pt.real(), 2) / (2 * r.vc[t]);
                            }
                            scale = std::max(scale, e);
                        }
                        EXPECT_NEAR(r.llr[b], L[b], 1e-12 * (1.0 + std::fabs(L[b]) + scale))
                            << c.name << " n0 " << n0;
                    }
                    for (std::int64_t t = 0; t < s.nt; ++t)
                        EXPECT_EQ(r.idx[t] + 1.0, idx[t]) << c.name;
                }
            }
        }
    }
}

// One stream seen by nr receivers: the cavity is the likelihood's Gaussian at every pass
// (mean h^T y/|h|^2, variance s2/|h|^2), and after a pass with beta = 0 the approximate
// posterior has the exact posterior's mean and variance (where the site update is taken:
// the exact variance below the cavity's).
TEST(Ep, OneStreamMatchesTheExactPosteriorMoments) {
    std::mt19937_64 rng(33);
    for (const test_constellation& c : ep_constellations()) {
        for (std::int64_t nr : {1, 3}) {
            for (double n0 : {0.05, 0.5}) {
                for (int kind : {0, 1}) {
                    const std::vector<cplx> H = random_channel(rng, nr, c.complex_model);
                    std::vector<int> sent;
                    const std::vector<cplx> y = received(rng, c, H, nr, 1, n0 * c.es, &sent);
                    const std::vector<double> La = random_priors(rng, c.bits, kind);
                    const double* pa = kind != 0 ? La.data() : nullptr;
                    double h2 = 0.0;
                    cplx hy = 0.0;
                    for (std::int64_t r = 0; r < nr; ++r) {
                        h2 += std::norm(H[r]);
                        hy += std::conj(H[r]) * y[r];
                    }
                    const double s2 = n0 * c.es / 2, vlik = s2 / h2;
                    const cplx tlik = hy / h2;
                    const ep_run r2 = run_ep(pic_problem(c, nr, 1, llr_output::posterior, inf), H,
                                             y, n0 * c.es, pa, 2, 0.0);
                    const ep_run r1 = run_ep(pic_problem(c, nr, 1, llr_output::posterior, inf), H,
                                             y, n0 * c.es, pa, 1, 0.0);
                    const int n = c.complex_model ? 2 : 1;
                    for (int i = 0; i < n; ++i) {
                        const double t = i == 0 ? tlik.real() : tlik.imag();
                        for (const ep_run* r : {&r1, &r2}) {
                            // the cavity's cancellation magnifies rounding by vlik/Sigma_ii
                            const double tol = 1e-14 * 10 * vlik / r->sig[i];
                            EXPECT_NEAR(r->tc[i], t, tol * (1 + std::fabs(t))) << c.name;
                            EXPECT_NEAR(r->vc[i], vlik, tol * vlik) << c.name;
                        }
                        // the exact posterior of the entry: prior marginal times the likelihood
                        std::vector<double> vals, lp;
                        for (int q = 0; q < c.M; ++q) {
                            const double v = i == 0 ? c.points[q].real() : c.points[q].imag();
                            double P = 1.0;
                            for (int k = 0; k < c.bits && pa != nullptr; ++k) {
                                P *= bit_probability(pa[k], label_bit(c.labels[q], c.bits, k));
                            }
                            auto it = std::find(vals.begin(), vals.end(), v);
                            if (it == vals.end()) {
                                vals.push_back(v);
                                lp.push_back(P);
                            } else {
                                lp[it - vals.begin()] += P;
                            }
                        }
                        double sw = 0, m1 = 0, m2 = 0;
                        for (std::size_t a = 0; a < vals.size(); ++a) {
                            lp[a] *= std::exp(-std::pow(t - vals[a], 2) / (2 * vlik));
                            sw += lp[a];
                        }
                        for (std::size_t a = 0; a < vals.size(); ++a) m1 += lp[a] / sw * vals[a];
                        for (std::size_t a = 0; a < vals.size(); ++a)
                            m2 += lp[a] / sw * std::pow(vals[a] - m1, 2);
                        // the site update is taken, and the variance is above EP's floor
                        if (!(m2 < vlik) || m2 < 1e-9 * c.es) continue;
                        EXPECT_NEAR(r2.mu[i], m1, 1e-9 * (1 + std::fabs(m1))) << c.name;
                        EXPECT_NEAR(r2.sig[i], m2, 1e-9 * m2) << c.name;
                    }
                }
            }
        }
    }
}

TEST(Ep, RecoversTheSentPointsAtHugeSnrAndNeverGivesNaN) {
    std::mt19937_64 rng(34);
    for (const test_constellation& c : ep_constellations()) {
        for (const pic_size& s : {pic_size{4, 4}, pic_size{8, 8}, pic_size{6, 3}}) {
            const std::vector<cplx> H = random_channel(rng, s.nr * s.nt, c.complex_model);
            std::vector<int> sent;
            const std::vector<cplx> y = received(rng, c, H, s.nr, s.nt, 1e-14, &sent);
            const ep_run r = run_ep(pic_problem(c, s.nr, s.nt, llr_output::posterior, 20.0), H, y,
                                    1e-14, nullptr, 10, 0.9);
            ASSERT_EQ(r.status, soft_status::done);
            for (std::int64_t t = 0; t < s.nt; ++t) EXPECT_EQ(r.idx[t], sent[t]) << c.name;
            for (std::int64_t t = 0; t < s.nt; ++t) {
                for (int k = 0; k < c.bits; ++k) {
                    EXPECT_EQ(r.llr[t * c.bits + k],
                              label_bit(c.labels[sent[t]], c.bits, k) ? -20.0 : 20.0);
                }
            }
            // extreme magnitudes and known bits: an answer without NaN, or no answer (zeros)
            std::vector<double> La;
            for (std::int64_t t = 0; t < s.nt; ++t) {
                const std::vector<double> one = random_priors(rng, c.bits, 2);
                La.insert(La.end(), one.begin(), one.end());
            }
            for (double scale : {1e-150, 1.0, 1e150, 1e300}) {
                std::vector<cplx> Hs(H), ys(y);
                for (cplx& v : Hs) v *= scale;
                for (cplx& v : ys) v *= scale;
                for (double n0 : {0.0, 1e-300, 1.0, 1e300}) {
                    for (const double* pa : {static_cast<const double*>(nullptr),
                                             static_cast<const double*>(La.data())}) {
                        const ep_run x =
                            run_ep(pic_problem(c, s.nr, s.nt, llr_output::extrinsic, inf), Hs, ys,
                                   n0, pa, 10, 0.5);
                        for (double v : x.llr)
                            EXPECT_FALSE(std::isnan(v)) << c.name << " " << scale << " " << n0;
                        for (std::int32_t i : x.idx) EXPECT_TRUE(i >= 0 && i < c.M);
                    }
                }
            }
        }
    }
}

}  // namespace
