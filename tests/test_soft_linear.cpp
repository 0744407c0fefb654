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
#include "channel/linear.h"
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
    {"no priors", 0, false, inf},       {"no priors, clip 3", 0, false, 3.0},
    {"finite priors", 1, false, inf},   {"finite priors, extrinsic", 1, true, inf},
    {"known bits", 2, false, inf},      {"known bits, extrinsic", 2, true, inf},
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
                cplx z(spread * 1.3 * normal(rng), c.complex_model ? spread * 1.3 * normal(rng) : 0.0);
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
                        EXPECT_NEAR(L[k], r.L[k], tol) << c.name << ", " << dc.what << ", bit " << k;
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
                EXPECT_NEAR(Le[k], Lp[k] - La[k], 1e-11 * (1.0 + std::fabs(Lp[k]) + std::fabs(La[k])))
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
            for (cplx z : {cplx(0.0, 0.0), cplx(1e200, -1e200), cplx(0.3, 0.1), cplx(1e-300, 0.0)}) {
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
        for (int k = 0; k < c.bits; ++k) EXPECT_NEAR(L[k], Lf[k], 1e-12 * std::fabs(Lf[k])) << c.name;
        demap_stream(cplx(0.5, 0.5), inf, a, Lf.data(), llr_output::extrinsic, inf, L.data(), &idx);
        for (int k = 0; k < c.bits; ++k) EXPECT_EQ(L[k], 0.0) << c.name;
    }
}

}  // namespace
