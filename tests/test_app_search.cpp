// SPDX-License-Identifier: BSD-3-Clause
// Exact log-MAP (APP) searches, PAM levels (detect/app_search.h) and complex points
// (channel/complex_app.h): log-sum-exp over every point in long double, the tol contract,
// every leaf at tol = 0, the two routines on real problems, the max-log bounds, extreme
// magnitudes, Ctrl-C.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "channel/complex_app.h"
#include "complex_problems.h"
#include "detect/app_search.h"
#include "detect/soft_search.h"

namespace {

using complex_test::cplx;
using complex_test::lcplx;
const double inf = std::numeric_limits<double>::infinity();
const double nan_value = std::numeric_limits<double>::quiet_NaN();

// A problem with any points per level: level i takes points[i][m] with labels[i][m].
struct app_problem {
    std::int64_t n = 0;
    std::vector<std::int32_t> bits;
    std::vector<std::vector<cplx>> points;
    std::vector<std::vector<std::uint32_t>> labels;
    std::vector<cplx> R, z;  // R upper triangular, column-major
    double n0 = 1.0;
    std::vector<double> La;  // empty: no priors
    std::int64_t B() const {
        std::int64_t b = 0;
        for (auto m : bits) b += m;
        return b;
    }
};

// Exact LLRs (unclipped) by log-sum-exp over every point, shifted by each set's least
// metric, in long double; scale: 1 + the magnitudes of the metrics each is formed from.
struct exact {
    std::vector<long double> post, ext;
    std::vector<double> scale_post, scale_ext;
};

exact enumerate(const app_problem& p) {
    const std::int64_t n = p.n, B = p.B();
    std::vector<std::int64_t> off(n + 1, 0);
    for (std::int64_t i = 0; i < n; ++i) off[i + 1] = off[i] + p.bits[i];
    // first pass: every point's distance part and costs
    std::vector<std::int64_t> x(n, 0);
    struct point {
        long double d;
        std::vector<long double> cost;
        std::vector<int> bit;
    };
    std::vector<point> all;
    for (;;) {
        point q;
        q.d = 0;
        for (std::int64_t i = 0; i < n; ++i) {
            lcplx e(p.z[i].real(), p.z[i].imag());
            for (std::int64_t j = i; j < n; ++j) {
                const cplx r = p.R[i + j * n], s = p.points[j][x[j]];
                e -= lcplx(r.real(), r.imag()) * lcplx(s.real(), s.imag());
            }
            q.d += std::norm(e);
        }
        q.d /= p.n0;
        for (std::int64_t i = 0; i < n; ++i) {
            for (std::int32_t k = 0; k < p.bits[i]; ++k) {
                const int one = (p.labels[i][x[i]] >> (p.bits[i] - 1 - k)) & 1u;
                q.bit.push_back(one);
                // La where the bit is 1, less the constant min(La, 0) (which cancels in
                // every LLR): +Inf for the excluded value of a known bit
                long double c = 0;
                if (!p.La.empty()) {
                    const double la = p.La[off[i] + k];
                    c = std::max(0.0L, static_cast<long double>(one ? la : -la));
                }
                q.cost.push_back(c);
            }
        }
        all.push_back(q);
        std::int64_t i = 0;
        while (i < n && ++x[i] == (std::int64_t{1} << p.bits[i])) x[i++] = 0;
        if (i == n) break;
    }
    exact r;
    for (int mode = 0; mode < 2; ++mode) {
        for (std::int64_t b = 0; b < B; ++b) {
            long double least[2] = {INFINITY, INFINITY};
            std::vector<long double> lam(all.size());
            for (std::size_t t = 0; t < all.size(); ++t) {
                long double v = all[t].d;
                for (std::int64_t o = 0; o < B; ++o) {
                    if (mode == 1 && o == b) continue;
                    v += all[t].cost[o];
                }
                lam[t] = v;
                least[all[t].bit[b]] = std::min(least[all[t].bit[b]], v);
            }
            long double sum[2] = {0, 0};
            for (std::size_t t = 0; t < all.size(); ++t) {
                const int h = all[t].bit[b];
                if (std::isfinite(lam[t])) sum[h] += std::exp(-(lam[t] - least[h]));
            }
            long double L;
            if (sum[1] == 0) {
                L = INFINITY;
            } else if (sum[0] == 0) {
                L = -INFINITY;
            } else {
                L = (least[1] - least[0]) + std::log(sum[0]) - std::log(sum[1]);
            }
            const double scale =
                static_cast<double>(1 + (std::isfinite(least[0]) ? std::fabs(least[0]) : 0) +
                                    (std::isfinite(least[1]) ? std::fabs(least[1]) : 0));
            (mode == 0 ? r.post : r.ext).push_back(L);
            (mode == 0 ? r.scale_post : r.scale_ext).push_back(scale);
        }
    }
    return r;
}

double clipped(long double v, double clip) {
    return static_cast<double>(std::max<long double>(-clip, std::min<long double>(clip, v)));
}

// PAM levels as soft_levels describes them: labels per level (empty: Gray).
struct pam_view {
    std::vector<std::int32_t> bits;
    std::vector<std::uint32_t> labels;
    std::vector<double> y, R;
    soft_levels levels() const {
        return {static_cast<std::int64_t>(bits.size()), bits.data(), labels.data()};
    }
};

// A random PAM problem: bits per level, Gray or scrambled labels, R with diagonal 0.3..2,
// y near R*s with noise of variance n0/2.
app_problem pam_problem(std::mt19937& rng, const std::vector<std::int32_t>& bits, bool scramble,
                        double n0) {
    app_problem p;
    p.n = static_cast<std::int64_t>(bits.size());
    p.bits = bits;
    p.n0 = n0;
    std::normal_distribution<double> g(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.3, 2.0);
    for (auto m : bits) {
        const std::int64_t M = std::int64_t{1} << m;
        std::vector<cplx> pts;
        std::vector<std::uint32_t> lab;
        for (std::int64_t a = 0; a < M; ++a) {
            pts.emplace_back(2.0 * a - (M - 1), 0.0);
            lab.push_back(static_cast<std::uint32_t>(a ^ (a >> 1)));
        }
        if (scramble) std::shuffle(lab.begin(), lab.end(), rng);
        p.points.push_back(pts);
        p.labels.push_back(lab);
    }
    const std::int64_t n = p.n;
    p.R.assign(n * n, 0.0);
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i < j; ++i) p.R[i + j * n] = g(rng);
        p.R[j + j * n] = (g(rng) < 0 ? -1.0 : 1.0) * u(rng);
    }
    p.z.assign(n, 0.0);
    for (std::int64_t i = 0; i < n; ++i) {
        double s = std::sqrt(n0 / 2) * g(rng);
        for (std::int64_t j = i; j < n; ++j) {
            const auto M = static_cast<std::int64_t>(p.points[j].size());
            s += p.R[i + j * n].real() * p.points[j][rng() % M].real();
        }
        p.z[i] = s;
    }
    return p;
}

pam_view pam_of(const app_problem& p) {
    pam_view v;
    v.bits = p.bits;
    for (auto& l : p.labels) v.labels.insert(v.labels.end(), l.begin(), l.end());
    for (auto c : p.z) v.y.push_back(c.real());
    for (auto c : p.R) v.R.push_back(c.real());
    return v;
}

struct run_result {
    search_status status;
    std::vector<double> L;
    std::int64_t nodes;
};

run_result run_pam(const app_problem& p, double clip, double tol, app_output out,
                   const interrupt_check* check = nullptr) {
    const pam_view v = pam_of(p);
    run_result r;
    r.L.assign(p.B(), -7.0);
    std::vector<double> scratch(app_scratch_size(v.levels()), nan_value);  // garbage in
    r.status = find_app_llrs(v.y.data(), v.R.data(), v.levels(), p.n0, clip, tol, out,
                             p.La.empty() ? nullptr : p.La.data(), r.L.data(), &r.nodes,
                             scratch.data(), check);
    return r;
}

// Complex problems over one constellation on every level.
app_problem point_problem(std::mt19937& rng, const complex_test::constellation& c, std::int64_t n,
                          int kind) {
    const complex_test::problem q = complex_test::random_problem(rng, c, n, kind);
    app_problem p;
    p.n = n;
    p.bits.assign(n, c.bits);
    p.points.assign(n, c.points);
    p.labels.assign(n, c.labels);
    p.R = q.R;
    p.z = q.z;
    p.n0 = q.n0;
    return p;
}

run_result run_points(const app_problem& p, double clip, double tol, app_output out,
                      const interrupt_check* check = nullptr) {
    complex_test::constellation c{"", p.points[0], p.labels[0], p.bits[0]};
    const complex_alphabet a = c.alphabet();
    run_result r;
    r.L.assign(p.B(), -7.0);
    std::vector<double> scratch(complex_app_scratch_size(p.n, a.M), nan_value);
    r.status = find_complex_app_llrs(reinterpret_cast<const double*>(p.z.data()),
                                     reinterpret_cast<const double*>(p.R.data()), p.n, a, p.n0,
                                     clip, tol, out, p.La.empty() ? nullptr : p.La.data(),
                                     r.L.data(), &r.nodes, scratch.data(), check);
    return r;
}

// Priors: 0 none, 1 N(0, 3^2), 2 large (|La| 30 .. 1e300, beyond any clip), 3 some +-Inf
// (known bits) among N(0, 3^2).
std::vector<double> priors(std::mt19937& rng, std::int64_t B, int kind) {
    std::vector<double> La;
    if (kind == 0) return La;
    std::normal_distribution<double> g(0.0, 3.0);
    std::uniform_int_distribution<int> pick(0, 3);
    const double large[] = {30.0, 1e3, 1e30, 1e300};
    for (std::int64_t b = 0; b < B; ++b) {
        double v = g(rng);
        if (kind == 2 && pick(rng) < 2) v = (v < 0 ? -1 : 1) * large[pick(rng)];
        if (kind == 3 && pick(rng) == 0) v = v < 0 ? -inf : inf;
        La.push_back(v);
    }
    return La;
}

const double clips[] = {0.0, 2.0, 8.0, 20.0, inf};
const double tols[] = {0.0, 1e-9, 1e-3};
const double n0s[] = {1e-3, 1e-1, 1.0, 10.0, 1e3};

// Every clip, tol and output of one problem against its enumeration.
template <class Run>
void check_against_enumeration(const app_problem& p, Run&& run, const std::string& what) {
    const exact e = enumerate(p);
    for (int o = 0; o < 2; ++o) {
        const app_output out = o == 0 ? app_output::posterior : app_output::extrinsic;
        const auto& ref = o == 0 ? e.post : e.ext;
        const auto& scale = o == 0 ? e.scale_post : e.scale_ext;
        for (double clip : clips) {
            for (double tol : tols) {
                const run_result r = run(p, clip, tol, out, nullptr);
                ASSERT_EQ(r.status, search_status::found) << what;
                for (std::int64_t b = 0; b < p.B(); ++b) {
                    const double want = clipped(ref[b], clip);
                    const double got = r.L[b];
                    ASSERT_FALSE(std::isnan(got)) << what;
                    const bool ok =
                        got == want || std::fabs(got - want) <= tol + 1e-12 * scale[b] * (1 + tol);
                    ASSERT_TRUE(ok) << what << " output " << o << " clip " << clip << " tol " << tol
                                    << " bit " << b << ": " << got << " against " << want << " (La "
                                    << (p.La.empty() ? 0.0 : p.La[b]) << ")";
                }
            }
        }
    }
}

// The oracle itself: a one-level BPSK problem worked by hand, and a wrong answer caught.
TEST(AppOracle, WorkedCase) {
    app_problem p;
    p.n = 1;
    p.bits = {1};
    p.points = {{cplx(-1, 0), cplx(1, 0)}};
    p.labels = {{0u, 1u}};  // -1 carries 0
    p.R = {cplx(1, 0)};
    p.z = {cplx(0.5, 0)};
    p.n0 = 2.0;
    p.La = {0.75};
    const exact e = enumerate(p);
    // Lambda(-1) = 2.25/2 = 1.125; Lambda(+1) = 0.25/2 + 0.75 = 0.875
    EXPECT_NEAR(static_cast<double>(e.post[0]), -0.25, 1e-15);
    EXPECT_NEAR(static_cast<double>(e.ext[0]), -1.0, 1e-15);
    const run_result r = run_pam(p, inf, 0.0, app_output::posterior);
    EXPECT_NEAR(r.L[0], -0.25, 1e-15);
    // a scrambled answer differs: the checker sees labels
    p.labels = {{1u, 0u}};
    EXPECT_GT(std::fabs(static_cast<double>(enumerate(p).post[0]) + 0.25), 0.4);
}

TEST(AppSearch, PamEqualsEnumeration) {
    const std::vector<std::vector<std::int32_t>> shapes = {
        {1},          {4},          {2, 1},          {1, 2, 3},
        {2, 2, 2, 2}, {1, 2, 3, 4}, {1, 1, 2, 1, 2}, {1, 1, 1, 1, 1, 1},
        {4, 4}};
    std::mt19937 rng(25);
    for (const auto& bits : shapes) {
        for (double n0 : n0s) {
            for (int kind = 0; kind < 4; ++kind) {
                app_problem p = pam_problem(rng, bits, kind % 2 == 1, n0);
                p.La = priors(rng, p.B(), kind);
                check_against_enumeration(p, run_pam,
                                          "PAM shape " + std::to_string(bits.size()) +
                                              " levels, n0 " + std::to_string(n0) + ", priors " +
                                              std::to_string(kind));
            }
        }
    }
}

TEST(AppSearch, PointsEqualEnumeration) {
    using namespace complex_test;
    struct shape {
        constellation c;
        std::int64_t n;
    };
    const std::vector<shape> shapes = {{bpsk(), 5},
                                       {psk(4), 4},
                                       {square_qam(4, true), 3},
                                       {square_qam(4, false), 2},
                                       {psk(8), 3},
                                       {psk(8, 7), 3},
                                       {real4(), 3}};
    std::mt19937 rng(26);
    for (const auto& s : shapes) {
        for (double n0 : n0s) {
            for (int kind = 0; kind < 4; ++kind) {
                app_problem p = point_problem(rng, s.c, s.n, kind == 3 ? 1 : 0);
                p.n0 = n0;
                p.La = priors(rng, p.B(), kind);
                check_against_enumeration(
                    p, run_points,
                    s.c.name + ", n0 " + std::to_string(n0) + ", priors " + std::to_string(kind));
            }
        }
    }
}

// R with a real diagonal (as a QR gives it) and no priors: a grid's leaves are weighed by
// one exponential per real and per imaginary part. Grids square and rectangular, labels
// Gray and not, every SNR, and a non-grid and a complex R(0,0) beside them (the leaf by
// leaf weights).
TEST(AppSearch, GridLeavesOfARealDiagonalEqualEnumeration) {
    using namespace complex_test;
    constellation rect{"8-point 4x2 grid", {}, {}, 3};
    for (std::uint32_t l = 0; l < 8; ++l) {
        rect.points.emplace_back(2.0 * (l & 3u) - 3.0, (l & 4u) != 0 ? 1.0 : -1.0);
        rect.labels.push_back(l ^ 5u);
    }
    struct shape {
        constellation c;
        std::int64_t n;
    };
    const std::vector<shape> shapes = {{square_qam(4, true), 3},
                                       {square_qam(4, false), 2},
                                       {square_qam(8, true), 2},
                                       {rect, 3},
                                       {bpsk(), 4},
                                       {cross32(), 2}};
    std::mt19937 rng(41);
    std::vector<double> noise(std::begin(n0s), std::end(n0s));
    noise.push_back(1e-310);  // 1/n0 overflows
    noise.push_back(1e300);
    for (const auto& s : shapes) {
        for (double n0 : noise) {
            for (int kind = 0; kind < 3; ++kind) {
                app_problem p = point_problem(rng, s.c, s.n, kind == 1 ? 0 : kind);
                // row i times conj(R(i,i))/|R(i,i)|: the same distances (a unit factor per
                // row), kind 1 keeps R(0,0) complex
                for (std::int64_t i = kind == 1 ? 1 : 0; i < p.n; ++i) {
                    const cplx d = p.R[i + i * p.n];
                    const cplx f = std::conj(d) / std::abs(d);
                    for (std::int64_t j = i; j < p.n; ++j) p.R[i + j * p.n] *= f;
                    p.R[i + i * p.n] = std::abs(d);
                    p.z[i] *= f;
                }
                p.n0 = n0;
                check_against_enumeration(
                    p, run_points,
                    s.c.name + ", n0 " + std::to_string(n0) + ", kind " + std::to_string(kind));
            }
        }
    }
}

// Deep trees at high SNR, where whole subtrees are dropped through the levels' child
// bounds, where a bit beyond the clip refines its minority hypothesis only against
// e^{-clip} times the majority, and where leaves are recorded a node's children at once:
// grids, non-grids (the packing bound) and PAM, every clip, tol and output.
TEST(AppSearch, HighSnrDeepTreesEqualEnumeration) {
    using namespace complex_test;
    struct shape {
        constellation c;
        std::int64_t n;
    };
    const std::vector<shape> points = {{square_qam(4, true), 3}, {square_qam(4, false), 3},
                                       {square_qam(8, true), 2}, {cross32(), 2},
                                       {psk(8, 5), 4},           {real4(), 5}};
    const std::vector<std::vector<std::int32_t>> pams = {
        {2, 2, 2, 2, 2, 2}, {3, 3, 3, 3}, {1, 4, 2, 3}};
    std::mt19937 rng(33);
    for (double n0 : {0.01, 0.2}) {
        for (int kind = 0; kind < 4; ++kind) {
            for (const auto& s : points) {
                app_problem p = point_problem(rng, s.c, s.n, 0);
                p.n0 = n0 * (s.c.points.size() > 16 ? 4.0 : 1.0);
                p.La = priors(rng, p.B(), kind);
                check_against_enumeration(p, run_points,
                                          s.c.name + " x" + std::to_string(s.n) + ", n0 " +
                                              std::to_string(n0) + ", priors " +
                                              std::to_string(kind));
            }
            for (const auto& bits : pams) {
                app_problem p = pam_problem(rng, bits, kind % 2 == 1, n0);
                p.La = priors(rng, p.B(), kind);
                check_against_enumeration(p, run_pam,
                                          "PAM " + std::to_string(bits.size()) + " levels, n0 " +
                                              std::to_string(n0) + ", priors " +
                                              std::to_string(kind));
            }
        }
    }
}

// The child bound of a PAM level: for any centre u, sum_a e^{-(u - s_a*r)^2/n0} over the
// values s_a = 2a - (M-1) is at most spaced_mass(r^2/n0, M) (the i-th nearest value is at
// least i*r away), on a fine grid of centres; and spaced_mass bounds its own series from
// above (its tail) and by the count.
TEST(AppSearch, ChildBoundsHoldForEveryCentre) {
    for (double a : {0.0, 1e-6, 1e-3, 0.1, 1.0, 10.0, 1e3}) {
        for (std::int64_t count : {1, 2, 4, 16, 31, 32, 33, 256, 65536}) {
            long double series = 0;
            for (std::int64_t i = 0; i < count; ++i) series += std::exp(-a * double(i) * double(i));
            const double g = app_tree::spaced_mass(a, count);
            EXPECT_GE(g, static_cast<double>(series) * (1 - 1e-12)) << a << " " << count;
            EXPECT_LE(g, static_cast<double>(count) * (1 + 1e-12)) << a << " " << count;
        }
    }
    for (double r : {0.1, 0.5, 1.0, 3.0}) {
        for (double n0 : {0.01, 0.1, 1.0, 10.0}) {
            for (std::int64_t M : {2, 4, 8, 16}) {
                const double bound = app_tree::spaced_mass(r * r / n0, M);
                double worst = 0.0;
                const double span = (M + 1) * r;
                for (int g = 0; g <= 4000; ++g) {
                    const double u = -span + 2 * span * g / 4000.0;
                    double sum = 0.0;
                    for (std::int64_t m = 0; m < M; ++m) {
                        const double e = u - (2.0 * m - (M - 1)) * r;
                        sum += std::exp(-e * e / n0);
                    }
                    worst = std::max(worst, sum);
                }
                EXPECT_LE(worst, bound * (1 + 1e-12)) << r << " " << n0 << " " << M;
            }
        }
    }
}

// 4 levels of 16-QAM (65536 points): once, posterior and extrinsic at the tolerances.
TEST(AppSearch, FourLevelsOfSixteenQam) {
    std::mt19937 rng(27);
    app_problem p = point_problem(rng, complex_test::square_qam(4, true), 4, 0);
    p.n0 = 0.5;
    p.La = priors(rng, p.B(), 1);
    const exact e = enumerate(p);
    for (double tol : tols) {
        for (int o = 0; o < 2; ++o) {
            const run_result r =
                run_points(p, 20.0, tol, o == 0 ? app_output::posterior : app_output::extrinsic);
            for (std::int64_t b = 0; b < p.B(); ++b) {
                const double want = clipped((o == 0 ? e.post : e.ext)[b], 20.0);
                EXPECT_LE(std::fabs(r.L[b] - want), tol + 1e-12 * e.scale_post[b]);
            }
        }
    }
}

// tol = 0 computes every node of the tree; a tolerance visits fewer, and the two routines
// give the same LLRs on real problems (within rounding) and the same node counts.
TEST(AppSearch, EveryLeafAtZeroToleranceAndTheRoutinesAgree) {
    std::mt19937 rng(28);
    for (std::int32_t m : {1, 2, 3, 4}) {
        for (std::int64_t n : {1, 2, 3, 4}) {
            if (m * n > 12) continue;
            for (int kind = 0; kind < 3; ++kind) {
                app_problem p = pam_problem(rng, std::vector<std::int32_t>(n, m), kind == 1, 0.7);
                p.labels.assign(n, p.labels[0]);  // one alphabet for the complex routine
                p.La = priors(rng, p.B(), kind == 2 ? 1 : 0);
                std::int64_t tree = 0, level = 1;
                for (std::int64_t k = 0; k < n; ++k) tree += (level <<= m);
                for (int o = 0; o < 2; ++o) {
                    const app_output out = o == 0 ? app_output::posterior : app_output::extrinsic;
                    const run_result full = run_pam(p, inf, 0.0, out);
                    EXPECT_EQ(full.nodes, tree) << m << " " << n;
                    for (double tol : {0.0, 1e-9, 1e-3}) {
                        const run_result a = run_pam(p, 8.0, tol, out);
                        const run_result b = run_points(p, 8.0, tol, out);
                        EXPECT_LE(a.nodes, tree);
                        EXPECT_EQ(a.nodes, b.nodes);
                        for (std::int64_t k = 0; k < p.B(); ++k) {
                            EXPECT_NEAR(a.L[k], b.L[k], 1e-12 * (1 + std::fabs(a.L[k])));
                        }
                    }
                }
            }
        }
    }
}

// max-log <= log-MAP <= max-log + ln(count) per hypothesis: |L - L_maxlog| <= (B-1) ln 2;
// at small n0 the relative difference vanishes.
TEST(AppSearch, MaxLogBoundsAndLimit) {
    std::mt19937 rng(29);
    for (double n0 : {1e-6, 1e-3, 1.0, 100.0}) {
        for (int trial = 0; trial < 6; ++trial) {
            app_problem p = pam_problem(rng, {2, 2, 2, 2}, trial % 2 == 1, n0);
            p.La = priors(rng, p.B(), trial % 3 == 2 ? 1 : 0);
            const pam_view v = pam_of(p);
            std::vector<double> Lml(p.B()), symb(p.n), scratch(soft_scratch_size(p.n, p.B()));
            std::int64_t nodes = 0;
            ASSERT_EQ(find_bit_llrs(v.y.data(), v.R.data(), v.levels(), n0, inf,
                                    p.La.empty() ? nullptr : p.La.data(), Lml.data(), symb.data(),
                                    &nodes, scratch.data()),
                      search_status::found);
            const run_result r = run_pam(p, inf, 1e-9, app_output::posterior);
            for (std::int64_t b = 0; b < p.B(); ++b) {
                EXPECT_LE(std::fabs(r.L[b] - Lml[b]),
                          (p.B() - 1) * std::log(2.0) + 1e-9 + 1e-12 * std::fabs(Lml[b]));
                if (n0 == 1e-6) {
                    EXPECT_NEAR(r.L[b] / Lml[b], 1.0, 1e-4);
                }
            }
        }
    }
}

// The same problem scaled: y and R by s, n0 by s^2 leaves every LLR as it is, from 1e-150
// to 1e150 (metrics near the limits of double); past the range nothing turns to NaN.
TEST(AppSearch, ExtremeMagnitudes) {
    std::mt19937 rng(30);
    for (int kind = 0; kind < 4; ++kind) {
        app_problem p = pam_problem(rng, {2, 2, 2}, false, 1.0);
        p.La = priors(rng, p.B(), kind);
        for (int o = 0; o < 2; ++o) {
            const app_output out = o == 0 ? app_output::posterior : app_output::extrinsic;
            const run_result base = run_pam(p, 20.0, 1e-9, out);
            for (double s : {1e-150, 1e-100, 1e100, 1e150}) {
                app_problem q = p;
                for (auto& v : q.R) v *= s;
                for (auto& v : q.z) v *= s;
                q.n0 = p.n0 * s * s;
                for (const run_result& r :
                     {run_pam(q, 20.0, 1e-9, out), run_points(q, 20.0, 1e-9, out)}) {
                    ASSERT_EQ(r.status, search_status::found);
                    for (std::int64_t b = 0; b < p.B(); ++b) {
                        EXPECT_NEAR(r.L[b], base.L[b], 3e-9) << s;
                    }
                }
            }
            // Metrics from 1e-300 to 1e300 against n0 from 1e-300 to 1e300: no NaN.
            for (double s : {1e-300, 1e-160, 1.0, 1e160, 1e300}) {
                for (double n0 : {1e-300, 1e-3, 1.0, 1e300}) {
                    app_problem q = p;
                    for (auto& v : q.R) v *= s;
                    for (auto& v : q.z) v *= s;
                    q.n0 = n0;
                    for (double clip : {0.0, 20.0, inf}) {
                        for (const run_result& r :
                             {run_pam(q, clip, 1e-9, out), run_points(q, clip, 1e-9, out)}) {
                            if (r.status != search_status::found) {
                                EXPECT_EQ(r.status, search_status::none);
                                continue;
                            }
                            for (double L : r.L) {
                                EXPECT_FALSE(std::isnan(L)) << s << " " << n0;
                                EXPECT_LE(std::fabs(L), clip);
                            }
                        }
                    }
                }
            }
        }
    }
}

// Ctrl-C: a tree of 16^8 leaves at tol = 0 asks the check and stops; n <= 0 is none.
TEST(AppSearch, InterruptAndEmpty) {
    std::mt19937 rng(31);
    int asked = 0;
    const interrupt_check stop{[](const void* c) {
                                   ++*static_cast<int*>(const_cast<void*>(c));
                                   return true;
                               },
                               &asked};
    const app_problem p = pam_problem(rng, std::vector<std::int32_t>(8, 4), false, 1e3);
    const run_result r = run_pam(p, inf, 0.0, app_output::posterior, &stop);
    EXPECT_EQ(r.status, search_status::interrupted);
    EXPECT_EQ(asked, 1);
    app_problem q = point_problem(rng, complex_test::square_qam(4, true), 6, 0);
    q.n0 = 1e3;
    EXPECT_EQ(run_points(q, inf, 0.0, app_output::extrinsic, &stop).status,
              search_status::interrupted);
    EXPECT_EQ(asked, 2);
    const soft_levels none{0, nullptr, nullptr};
    double L = 0;
    std::int64_t nodes = 5;
    EXPECT_EQ(find_app_llrs(nullptr, nullptr, none, 1.0, inf, 0.0, app_output::posterior, nullptr,
                            &L, &nodes, nullptr),
              search_status::none);
    EXPECT_EQ(nodes, 0);
}

}  // namespace
