// SPDX-License-Identifier: BSD-3-Clause
// ambiguity_fix, the routine: the best ncands against brute-force enumeration, the exact
// integer identities of the decorrelation and back-transform, the success-rate formula,
// partial fixing against the conditional mean formed directly, the node budget, Ctrl-C,
// extreme magnitudes and the size limit; the back-transform by the logged reduction steps
// against the formed U.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ambiguity/ambiguity_fix.h"
#include "tests/ambiguity_problems.h"
#include "tests/batch_support.h"

namespace {

// The routine's outputs for one problem, in vectors.
struct fix_run {
    ambiguity_result r;
    std::vector<double> afix, sqnorm, fixed, D, Z, U;
};

fix_run run(const ambiguity_problem& p, const ambiguity_options& o,
            const interrupt_check* check = nullptr, bool transforms = true) {
    fix_run f;
    const std::size_t n = p.n, M = static_cast<std::size_t>(o.ncands);
    f.afix.assign(n * M, 0.0);
    f.sqnorm.assign(M, 0.0);
    f.fixed.assign(n, 0.0);
    f.D.assign(n, 0.0);
    f.Z.assign(n * n, 0.0);
    f.U.assign(n * n, 0.0);
    std::vector<double> scratch(ambiguity_scratch_bytes(static_cast<std::int64_t>(n), o.ncands) /
                                8);
    ambiguity_outputs out{f.afix.data(),
                          f.sqnorm.data(),
                          f.fixed.data(),
                          f.D.data(),
                          transforms ? f.Z.data() : nullptr,
                          transforms ? f.U.data() : nullptr};
    f.r = ambiguity_fix(p.ahat.data(), p.Q.data(), static_cast<std::int64_t>(n), o, out,
                        scratch.data(), check);
    return f;
}

ambiguity_options with(ambiguity_method m, std::int64_t ncands = 2) {
    ambiguity_options o;
    o.method = m;
    o.ncands = ncands;
    return o;
}

// The leading m-by-m block of a problem (a principal submatrix of Q stays a covariance).
ambiguity_problem leading(const ambiguity_problem& p, std::size_t m) {
    ambiguity_problem s;
    s.n = m;
    s.ahat.assign(p.ahat.begin(), p.ahat.begin() + static_cast<std::ptrdiff_t>(m));
    s.truth.assign(p.truth.begin(), p.truth.begin() + static_cast<std::ptrdiff_t>(m));
    s.Q.resize(m * m);
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t i = 0; i < m; ++i) s.Q[i + j * m] = p.Q[i + j * p.n];
    }
    return s;
}

// Family 0 and 1 of ldl_problem grow ill-conditioned with n (the entries of L are N(0,1)):
// past n = 10 the tests that compare with double-precision references take family 2.

// The small problems of the brute-force tests: L'DL families and blocks of simulated models,
// every one with its float solution near zero so that the enumeration boxes stay small.
std::vector<ambiguity_problem> small_problems(std::size_t n, int count) {
    std::mt19937_64 rng(1000 + n);
    std::vector<ambiguity_problem> v;
    for (int c = 0; c < count; ++c) {
        const int family = c % 4;
        if (family < 3) {
            v.push_back(ldl_problem(rng, n, family, 3.0));
        } else {
            gnss_model m;
            m.frequencies = 1;
            m.satellites = 12;
            m.code_sigma = 0.05;  // milder than 0.3 m: smaller boxes
            v.push_back(leading(gnss_problem(rng, m), n));
        }
    }
    return v;
}

// The ncands best integer vectors by enumerating the box that holds every vector of squared
// norm at most bound: |a_i - ahat_i| <= sqrt(bound * Q(i,i)). False when the box is too big.
bool brute_force(const ambiguity_problem& p, std::size_t ncands, double bound,
                 std::vector<std::vector<double>>& best, std::vector<double>& norms) {
    const std::size_t n = p.n;
    std::vector<double> L;
    if (!dense_cholesky(p.Q, n, L)) return false;
    std::vector<double> lo(n), hi(n);
    double boxes = 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = std::sqrt(bound * p.Q[i + i * n]);
        lo[i] = std::ceil(p.ahat[i] - w);
        hi[i] = std::floor(p.ahat[i] + w);
        boxes *= std::max(1.0, hi[i] - lo[i] + 1.0);
    }
    if (boxes > 3e5) return false;
    std::vector<std::pair<double, std::vector<double>>> all;
    std::vector<double> a(lo), diff(n);
    for (;;) {
        bool empty = false;
        for (std::size_t i = 0; i < n; ++i) empty = empty || lo[i] > hi[i];
        if (empty) break;
        for (std::size_t i = 0; i < n; ++i) diff[i] = p.ahat[i] - a[i];
        all.push_back({dense_quadratic(L, n, diff.data()), a});
        std::size_t i = 0;
        while (i < n && a[i] == hi[i]) a[i] = lo[i], ++i;
        if (i == n) break;
        a[i] += 1.0;
    }
    std::sort(all.begin(), all.end(),
              [](const auto& x, const auto& y) { return x.first < y.first; });
    best.clear();
    norms.clear();
    for (std::size_t c = 0; c < ncands && c < all.size(); ++c) {
        norms.push_back(all[c].first);
        best.push_back(all[c].second);
    }
    return true;
}

double quadratic(const ambiguity_problem& p, const double* a) {
    std::vector<double> diff(p.n);
    for (std::size_t i = 0; i < p.n; ++i) diff[i] = p.ahat[i] - a[i];
    return precise_quadratic(p.Q, p.n, diff.data());
}

// Z'*U = I and a = U*(Z'*a) for the columns of afix, in 128-bit integers.
bool exact_identities(const fix_run& f, std::size_t n, std::size_t columns, const double* shift) {
    for (double v : f.Z) {
        if (v != std::floor(v) || std::fabs(v) > 9007199254740992.0) return false;
    }
    for (double v : f.U) {
        if (v != std::floor(v) || std::fabs(v) > 9007199254740992.0) return false;
    }
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            __int128 s = 0;
            for (std::size_t k = 0; k < n; ++k) {
                s += static_cast<__int128>(static_cast<std::int64_t>(f.Z[k + i * n])) *
                     static_cast<std::int64_t>(f.U[k + j * n]);
            }
            if (s != (i == j ? 1 : 0)) return false;
        }
    }
    for (std::size_t c = 0; c < columns; ++c) {
        const double* a = f.afix.data() + c * n;
        std::vector<__int128> z(n, 0);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t k = 0; k < n; ++k) {
                z[i] += static_cast<__int128>(static_cast<std::int64_t>(f.Z[k + i * n])) *
                        static_cast<std::int64_t>(a[k] - shift[k]);
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            __int128 s = 0;
            for (std::size_t k = 0; k < n; ++k) {
                s += static_cast<__int128>(static_cast<std::int64_t>(f.U[i + k * n])) * z[k];
            }
            if (s != static_cast<__int128>(static_cast<std::int64_t>(a[i] - shift[i])))
                return false;
        }
    }
    return true;
}

TEST(AmbiguityFix, BestCandidatesEqualBruteForce) {
    int compared = 0, differs_from_bootstrap = 0;
    for (std::size_t n = 1; n <= 5; ++n) {
        for (const ambiguity_problem& p : small_problems(n, 40)) {
            for (std::int64_t M : {1, 2, 5}) {
                const fix_run f = run(p, with(ambiguity_method::ils, M));
                ASSERT_EQ(f.r.status, ambiguity_status::optimal);
                ASSERT_EQ(f.r.found, M);
                // the reported norms are those of the reported vectors
                for (std::int64_t c = 0; c < M; ++c) {
                    const double q = quadratic(p, f.afix.data() + c * n);
                    EXPECT_NEAR(f.sqnorm[c], q, 1e-10 * q + 1e-300);
                }
                std::vector<std::vector<double>> best;
                std::vector<double> norms;
                if (!brute_force(p, static_cast<std::size_t>(M), f.sqnorm[M - 1] * (1 + 1e-9), best,
                                 norms)) {
                    continue;
                }
                ASSERT_EQ(norms.size(), static_cast<std::size_t>(M));
                ++compared;
                for (std::int64_t c = 0; c < M; ++c) {
                    EXPECT_NEAR(f.sqnorm[c], norms[c], 1e-9 * norms[c]) << "n " << n << " c " << c;
                    const bool tie = (c > 0 && norms[c] - norms[c - 1] <= 1e-9 * norms[c]) ||
                                     (c + 1 < M && norms[c + 1] - norms[c] <= 1e-9 * norms[c]);
                    if (!tie) {
                        EXPECT_EQ(std::vector<double>(f.afix.begin() + c * n,
                                                      f.afix.begin() + (c + 1) * n),
                                  best[c]);
                    }
                }
                const fix_run b = run(p, with(ambiguity_method::bootstrap, 1));
                EXPECT_GE(b.sqnorm[0], f.sqnorm[0] * (1 - 1e-12));
                if (std::vector<double>(b.afix.begin(), b.afix.begin() + n) != best[0]) {
                    ++differs_from_bootstrap;  // the oracle tells the search from rounding
                }
            }
        }
    }
    EXPECT_GT(compared, 400);
    EXPECT_GT(differs_from_bootstrap, 3);
}

// The oracle rejects a wrong answer: the second best given as the best.
TEST(AmbiguityFix, BruteForceRejectsASwappedAnswer) {
    const ambiguity_problem p = small_problems(3, 1)[0];
    const fix_run f = run(p, with(ambiguity_method::ils, 2));
    std::vector<std::vector<double>> best;
    std::vector<double> norms;
    ASSERT_TRUE(brute_force(p, 2, f.sqnorm[1] * 1.01, best, norms));
    EXPECT_NE(std::vector<double>(f.afix.begin() + 3, f.afix.begin() + 6), best[0]);
    EXPECT_GT(norms[1], norms[0]);
}

TEST(AmbiguityFix, ExactIdentitiesAndAccurateNorms) {
    std::mt19937_64 rng(7);
    for (std::size_t n : {2, 5, 10, 20, 40, 60}) {
        for (int c = 0; c < 6; ++c) {
            const ambiguity_problem p = c % 2 == 0 && n >= 10
                                            ? gnss_problem(rng, gnss_model_for(rng, n))
                                            : ldl_problem(rng, n, n <= 10 ? c % 3 : 2);
            const fix_run f = run(p, with(ambiguity_method::ils, 3));
            ASSERT_TRUE(f.r.status == ambiguity_status::optimal) << n;
            const std::vector<double> zero(p.n, 0.0);
            EXPECT_TRUE(exact_identities(f, p.n, 3, zero.data())) << n;
            for (int k = 0; k < 3; ++k) {
                const double q = quadratic(p, f.afix.data() + k * p.n);
                EXPECT_NEAR(f.sqnorm[k], q, 1e-9 * q) << n;
            }
            // D is the L'DL of Z'*Q*Z: its reverse Cholesky pivots
            std::vector<long double> QZ(p.n * p.n, 0.0L);
            for (std::size_t j = 0; j < p.n; ++j) {
                for (std::size_t b = 0; b < p.n; ++b) {
                    const long double z = f.Z[b + j * p.n];
                    if (z == 0) continue;
                    for (std::size_t a = 0; a < p.n; ++a) QZ[a + j * p.n] += p.Q[a + b * p.n] * z;
                }
            }
            std::vector<double> Qz(p.n * p.n, 0.0);
            for (std::size_t i = 0; i < p.n; ++i) {
                for (std::size_t j = 0; j < p.n; ++j) {
                    long double s = 0;
                    for (std::size_t a = 0; a < p.n; ++a) s += f.Z[a + i * p.n] * QZ[a + j * p.n];
                    Qz[i + j * p.n] = static_cast<double>(s);
                }
            }
            // reverse Cholesky of Qz: d(n-1) = Qz(n-1,n-1), and on up
            std::vector<double> A = Qz;
            const std::size_t m = p.n;
            for (std::size_t j = m; j-- > 0;) {
                const double d = A[j + j * m];
                EXPECT_NEAR(f.D[j], d, 1e-7 * d) << n << " " << j;
                for (std::size_t a = 0; a < j; ++a) {
                    for (std::size_t b = 0; b < j; ++b) {
                        A[a + b * m] -= A[a + j * m] * A[j + b * m] / d;
                    }
                }
            }
        }
    }
}

TEST(AmbiguityFix, SuccessRateIsTheProductOfErfs) {
    std::mt19937_64 rng(8);
    for (std::size_t n : {1, 3, 10, 30, 60}) {
        for (int c = 0; c < 6; ++c) {
            const ambiguity_problem p = c < 3 && n >= 10 ? gnss_problem(rng, gnss_model_for(rng, n))
                                                         : ldl_problem(rng, n, c % 3);
            for (ambiguity_method m :
                 {ambiguity_method::ils, ambiguity_method::bootstrap, ambiguity_method::par}) {
                const fix_run f = run(p, with(m));
                long double prod = 1.0L;
                for (std::size_t i = p.n; i-- > 0;) {
                    prod *= std::erf(1.0L / std::sqrt(8.0L * static_cast<long double>(f.D[i])));
                }
                const double expected = static_cast<double>(prod);
                EXPECT_NEAR(f.r.success_rate, expected, 1e-14 * expected + 1e-300);
                EXPECT_EQ(f.r.success_rate, bootstrap_success_rate(f.D.data(), 0, p.n));
            }
        }
    }
}

// par against the formulas applied directly: the block is the largest trailing one whose
// product reaches min_sr; its integers are the ILS solution of (zhat2, Qz22) (ambiguity_fix
// on that sub-problem); afix is ahat - Q*Z2*inv(Qz22)*(zhat2 - z2) with zhat2 = Z2'*ahat.
TEST(AmbiguityFix, PartialFixingEqualsTheDirectFormulas) {
    std::mt19937_64 rng(9);
    int partial = 0;
    for (std::size_t n : {4, 8, 12, 20}) {
        for (int c = 0; c < 12; ++c) {
            gnss_model model = gnss_model_for(rng, n);
            model.code_sigma = 0.6 + 0.3 * (c % 4);  // weaker models: a partial block
            const ambiguity_problem p =
                c % 3 == 2 ? ldl_problem(rng, n, 0) : gnss_problem(rng, model);
            const std::size_t m = p.n;
            for (double min_sr : {0.5, 0.9, 0.995}) {
                ambiguity_options o = with(ambiguity_method::par);
                o.min_sr = min_sr;
                const fix_run f = run(p, o);
                ASSERT_EQ(f.r.status, ambiguity_status::optimal);
                const std::size_t k = static_cast<std::size_t>(f.r.nfixed), first = m - k;
                // the block rule
                EXPECT_GE(bootstrap_success_rate(f.D.data(), static_cast<std::int64_t>(first), m),
                          first == m ? 0.0 : min_sr);
                if (first > 0) {
                    EXPECT_LT(
                        bootstrap_success_rate(f.D.data(), static_cast<std::int64_t>(first - 1), m),
                        min_sr);
                }
                if (k == 0) {
                    EXPECT_EQ(f.afix[0], p.ahat[0]);
                    continue;
                }
                if (first > 0) ++partial;
                // Z2 = Z(:, first..m-1); zhat2 = Z2'*ahat; Qz22 = Z2'*Q*Z2; QZ2 = Q*Z2
                std::vector<double> QZ2(m * k, 0.0), Qz22(k * k, 0.0);
                ambiguity_problem sub;
                sub.n = k;
                sub.ahat.assign(k, 0.0);
                for (std::size_t j = 0; j < k; ++j) {
                    const double* zj = f.Z.data() + (first + j) * m;
                    long double s = 0;
                    for (std::size_t i = 0; i < m; ++i)
                        s += static_cast<long double>(zj[i]) * p.ahat[i];
                    sub.ahat[j] = static_cast<double>(s);
                    for (std::size_t i = 0; i < m; ++i) {
                        long double t = 0;
                        for (std::size_t a = 0; a < m; ++a)
                            t += static_cast<long double>(p.Q[i + a * m]) * zj[a];
                        QZ2[i + j * m] = static_cast<double>(t);
                    }
                }
                for (std::size_t j = 0; j < k; ++j) {
                    for (std::size_t i = 0; i < k; ++i) {
                        long double t = 0;
                        for (std::size_t a = 0; a < m; ++a) {
                            t +=
                                static_cast<long double>(f.Z[a + (first + i) * m]) * QZ2[a + j * m];
                        }
                        Qz22[i + j * k] = static_cast<double>(t);
                    }
                }
                for (std::size_t j = 0; j < k; ++j) {
                    for (std::size_t i = j + 1; i < k; ++i) {
                        const double v = 0.5 * (Qz22[i + j * k] + Qz22[j + i * k]);
                        Qz22[i + j * k] = Qz22[j + i * k] = v;
                    }
                }
                sub.Q = Qz22;
                const fix_run s = run(sub, with(ambiguity_method::ils, 2));
                EXPECT_NEAR(f.sqnorm[0], s.sqnorm[0], 1e-8 * s.sqnorm[0] + 1e-12);
                // conditional mean: ahat - QZ2 * inv(Qz22) * (zhat2 - z2)
                const std::vector<double> inv = dense_spd_inverse(Qz22, k);
                std::vector<double> w(k, 0.0);
                for (std::size_t i = 0; i < k; ++i) {
                    for (std::size_t j = 0; j < k; ++j)
                        w[i] += inv[i + j * k] * (sub.ahat[j] - s.afix[j]);
                }
                for (std::size_t i = 0; i < m; ++i) {
                    double v = p.ahat[i];
                    for (std::size_t j = 0; j < k; ++j) v -= QZ2[i + j * m] * w[j];
                    const double scale = 1e-7 * (1.0 + std::fabs(p.ahat[i]));
                    EXPECT_NEAR(f.afix[i], v, scale) << "n " << m << " i " << i;
                    if (f.fixed[i] != 0.0) {
                        EXPECT_EQ(f.afix[i], std::round(v));
                    }
                }
                std::size_t integers = 0;
                for (double v : f.fixed) integers += v != 0.0;
                EXPECT_LE(integers, k);
                if (first == 0) {
                    EXPECT_EQ(integers, m);
                }
            }
        }
    }
    EXPECT_GT(partial, 10);
}

// Without Z and U asked for, the candidates are transformed back by the reduction's logged
// steps; with them, U is formed and multiplied. Both must give the same bits (and the same
// search), over the families, the methods, and scales that push the bounds of U and Z.
TEST(AmbiguityFix, LoggedTransformEqualsTheFormedOne) {
    std::mt19937_64 rng(31);
    struct method_case {
        ambiguity_method method;
        std::int64_t ncands;
    };
    const method_case cases[] = {{ambiguity_method::ils, 2},
                                 {ambiguity_method::ils, 7},
                                 {ambiguity_method::bootstrap, 1},
                                 {ambiguity_method::par, 3}};
    int compared = 0;
    for (std::size_t n : {1, 2, 3, 6, 12, 20, 33}) {
        for (int family = 0; family < 4; ++family) {
            for (int draw = 0; draw < 4; ++draw) {
                ambiguity_problem p = family == 3 ? gnss_problem(rng, gnss_model_for(rng, n))
                                                  : ldl_problem(rng, n, family, 1e12);
                if (draw == 3) {
                    for (double& q : p.Q) q *= 1e24;  // integers near 2^53 after the reduction
                }
                for (const method_case& c : cases) {
                    ambiguity_options o = with(c.method, c.ncands);
                    o.max_nodes = 200000;
                    const fix_run formed = run(p, o);
                    const fix_run logged = run(p, o, nullptr, false);
                    const std::string where = "n " + std::to_string(p.n) + " family " +
                                              std::to_string(family) + " draw " +
                                              std::to_string(draw);
                    ASSERT_EQ(formed.r.status, logged.r.status) << where;
                    EXPECT_EQ(formed.r.nodes, logged.r.nodes) << where;
                    EXPECT_EQ(formed.r.exchanges, logged.r.exchanges) << where;
                    EXPECT_TRUE(
                        same_bits(formed.afix.data(), logged.afix.data(), formed.afix.size()))
                        << where;
                    EXPECT_TRUE(
                        same_bits(formed.sqnorm.data(), logged.sqnorm.data(), formed.sqnorm.size()))
                        << where;
                    EXPECT_TRUE(same_bits(formed.D.data(), logged.D.data(), formed.D.size()))
                        << where;
                    EXPECT_EQ(formed.fixed, logged.fixed) << where;
                    ++compared;
                }
            }
        }
    }
    EXPECT_EQ(compared, 7 * 4 * 4 * 4);
}

// Independent ambiguities: the factorisation's order alone decorrelates them. Z is the
// permutation that puts the variances in falling order (Q = c*I: the identity), D holds them
// in that order, and every method rounds each component (par: those it fixes).
TEST(AmbiguityFix, IndependentAmbiguitiesAreOrderedByVariance) {
    const std::vector<std::vector<double>> cases = {
        {1, 1, 1, 1}, {4, 1, 0.25, 2}, {0.5, 3, 0.5, 3, 1e-6}, {1e-100, 1e100, 1},
        {7},          {1e-3, 1e-3}};
    for (const std::vector<double>& var : cases) {
        const std::size_t n = var.size();
        ambiguity_problem p;
        p.n = n;
        p.Q.assign(n * n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            p.Q[i + i * n] = var[i];
            p.ahat.push_back(1e6 * static_cast<double>(i) - 0.3 + 0.07 * static_cast<double>(i));
        }
        double expected = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double f = p.ahat[i] - std::round(p.ahat[i]);
            expected += f * f / var[i];
        }
        for (const auto& [m, M] : std::vector<std::pair<ambiguity_method, std::int64_t>>{
                 {ambiguity_method::ils, 1},
                 {ambiguity_method::ils, 4},
                 {ambiguity_method::bootstrap, 1},
                 {ambiguity_method::par, 1}}) {
            const fix_run f = run(p, with(m, M));
            ASSERT_EQ(f.r.status, ambiguity_status::optimal);
            EXPECT_EQ(f.r.exchanges, 0);
            // variances 1e200 apart: the candidates' norms tie in double but the search
            // ends (it used to run through 2^51 ties)
            EXPECT_LT(f.r.nodes, 200);
            for (std::int64_t c = 1; c < f.r.found; ++c) {
                EXPECT_GE(f.sqnorm[c], f.sqnorm[c - 1]);
            }
            for (std::size_t i = 0; i < n; ++i) {
                // par: the floats of an independent ambiguity are its own
                if (f.fixed[i] != 0.0) {
                    EXPECT_EQ(f.afix[i], std::round(p.ahat[i]));
                } else {
                    EXPECT_EQ(m, ambiguity_method::par);
                    EXPECT_NEAR(f.afix[i], p.ahat[i], 1e-15 * std::fabs(p.ahat[i]));
                }
            }
            if (m != ambiguity_method::par) {
                EXPECT_NEAR(f.sqnorm[0], expected, 1e-14 * expected);
            }
            bool identity = true;
            for (std::size_t j = 0; j < n; ++j) {
                std::size_t at = n, ones = 0;
                for (std::size_t i = 0; i < n; ++i) {
                    const double z = f.Z[i + j * n];
                    EXPECT_TRUE(z == 0.0 || z == 1.0);
                    if (z == 1.0) {
                        at = i;
                        ++ones;
                    }
                }
                ASSERT_EQ(ones, 1u);
                identity = identity && at == j;
                EXPECT_NEAR(f.D[j], var[at], 1e-14 * var[at]);
                if (j > 0) {
                    EXPECT_LE(f.D[j], f.D[j - 1]);
                }
            }
            if (std::all_of(var.begin(), var.end(), [&](double v) { return v == var[0]; })) {
                EXPECT_TRUE(identity);
            }
        }
    }
}

TEST(AmbiguityFix, RoundAndBootstrap) {
    std::mt19937_64 rng(10);
    for (std::size_t n : {1, 6, 30}) {
        const ambiguity_problem p = gnss_problem(rng, gnss_model_for(rng, n));
        const fix_run r = run(p, with(ambiguity_method::round, 1));
        for (std::size_t i = 0; i < p.n; ++i) {
            const double f = std::floor(p.ahat[i]);
            EXPECT_EQ(r.afix[i], p.ahat[i] - f >= 0.5 ? f + 1 : f);
        }
        EXPECT_NEAR(r.sqnorm[0], quadratic(p, r.afix.data()), 1e-9 * r.sqnorm[0]);
        const fix_run b = run(p, with(ambiguity_method::bootstrap, 1));
        EXPECT_NEAR(b.sqnorm[0], quadratic(p, b.afix.data()), 1e-9 * b.sqnorm[0]);
        const fix_run s = run(p, with(ambiguity_method::ils, 1));
        EXPECT_LE(s.sqnorm[0], b.sqnorm[0]);
    }
    // halves round upwards
    ambiguity_problem h;
    h.n = 2;
    h.ahat = {2.5, -2.5};
    h.Q = {1, 0, 0, 1};
    const fix_run r = run(h, with(ambiguity_method::round, 1));
    EXPECT_EQ(r.afix[0], 3.0);
    EXPECT_EQ(r.afix[1], -2.0);
}

TEST(AmbiguityFix, NodeBudgetFlagsTheBestSoFar) {
    std::mt19937_64 rng(11);
    const ambiguity_problem p = ldl_problem(rng, 30, 0);
    const std::int64_t M = 40;
    const fix_run full = run(p, with(ambiguity_method::ils, M));
    ASSERT_EQ(full.r.status, ambiguity_status::optimal);
    ASSERT_GT(full.r.nodes, 200);
    for (std::int64_t budget :
         {std::int64_t{1}, std::int64_t{29}, std::int64_t{31}, std::int64_t{150}, full.r.nodes - 1,
          full.r.nodes, full.r.nodes + 1}) {
        ambiguity_options o = with(ambiguity_method::ils, M);
        o.max_nodes = budget;
        const fix_run f = run(p, o);
        if (budget >= full.r.nodes) {
            EXPECT_EQ(f.r.status, ambiguity_status::optimal);
            EXPECT_EQ(f.afix, full.afix);
            continue;
        }
        EXPECT_EQ(f.r.status, ambiguity_status::node_limit) << budget;
        EXPECT_EQ(f.r.nodes, budget);
        EXPECT_LE(f.r.found, M);
        for (std::int64_t c = 0; c < f.r.found; ++c) {
            EXPECT_NEAR(f.sqnorm[c], quadratic(p, f.afix.data() + c * p.n), 1e-9 * f.sqnorm[c]);
            EXPECT_GE(f.sqnorm[c], full.sqnorm[c] * (1 - 1e-12));
        }
        for (std::int64_t c = f.r.found; c < M; ++c) EXPECT_TRUE(std::isnan(f.sqnorm[c]));
    }
}

struct counting_check {
    int asked = 0;
    int stop_at = 1;
};
bool count_and_stop(const void* context) {
    auto* c = static_cast<counting_check*>(const_cast<void*>(context));
    return ++c->asked >= c->stop_at;
}

TEST(AmbiguityFix, InterruptStopsALongSearch) {
    std::mt19937_64 rng(12);
    const ambiguity_problem p = ldl_problem(rng, 40, 0);
    counting_check c;
    const interrupt_check check{count_and_stop, &c};
    const fix_run f = run(p, with(ambiguity_method::ils, 5000), &check);
    EXPECT_EQ(f.r.status, ambiguity_status::interrupted);
    EXPECT_EQ(c.asked, 1);
    counting_check never{0, 1 << 30};
    const interrupt_check quiet{count_and_stop, &never};
    const fix_run g = run(p, with(ambiguity_method::ils, 5000), &quiet);
    EXPECT_EQ(g.r.status, ambiguity_status::optimal);
    EXPECT_GT(never.asked, 0);
    EXPECT_EQ(g.afix, run(p, with(ambiguity_method::ils, 5000)).afix);  // asking changes nothing
}

TEST(AmbiguityFix, ExtremeMagnitudes) {
    std::mt19937_64 rng(13);
    const ambiguity_problem p = gnss_problem(rng, gnss_model_for(rng, 20));
    const fix_run base = run(p, with(ambiguity_method::ils, 2));
    // shifts by integers up to 1e12 cycles: the same fix, shifted exactly (fractions on a grid
    // of 2^-12, exact at every shift)
    for (double shift : {1e9, -1e9, 1e12, -1e12}) {
        ambiguity_problem s = p;
        ambiguity_problem r = p;
        for (std::size_t i = 0; i < p.n; ++i) {
            r.ahat[i] =
                std::ldexp(std::round(std::ldexp(p.ahat[i] - std::floor(p.ahat[i]), 12)), -12);
            s.ahat[i] = r.ahat[i] + shift;
        }
        const fix_run a = run(s, with(ambiguity_method::ils, 2));
        const fix_run b = run(r, with(ambiguity_method::ils, 2));
        for (std::size_t i = 0; i < 2 * p.n; ++i) EXPECT_EQ(a.afix[i], b.afix[i] + shift);
        EXPECT_EQ(a.sqnorm, b.sqnorm);
    }
    // Q scaled by 4^k: the same vectors and norms scaled exactly; by 10^k: the same vectors
    for (int k : {-500, -100, -1, 1, 100, 500}) {
        ambiguity_problem s = p;
        for (double& q : s.Q) q = std::ldexp(q, 2 * k);
        const fix_run f = run(s, with(ambiguity_method::ils, 2));
        ASSERT_EQ(f.r.status, ambiguity_status::optimal) << k;
        EXPECT_EQ(f.afix, base.afix);
        for (int c = 0; c < 2; ++c) EXPECT_EQ(f.sqnorm[c], std::ldexp(base.sqnorm[c], -2 * k));
    }
    for (double scale : {1e-250, 1e-30, 1e30, 1e250}) {
        ambiguity_problem s = p;
        for (double& q : s.Q) q *= scale;
        const fix_run f = run(s, with(ambiguity_method::ils, 2));
        EXPECT_EQ(f.afix, base.afix) << scale;
        EXPECT_NEAR(f.sqnorm[0] * scale, base.sqnorm[0], 1e-12 * base.sqnorm[0]);
    }
    // not positive definite: singular, negative, and a tiny pivot
    for (const std::vector<double>& Q : std::vector<std::vector<double>>{
             std::vector<double>{1, 1, 1, 1}, std::vector<double>{-1, 0, 0, 1},
             std::vector<double>{1, 1 - 1e-17, 1 - 1e-17, 1}, std::vector<double>{0, 0, 0, 0}}) {
        ambiguity_problem s;
        s.n = 2;
        s.ahat = {0.1, 0.2};
        s.Q = Q;
        EXPECT_EQ(run(s, with(ambiguity_method::ils)).r.status,
                  ambiguity_status::not_positive_definite);
    }
    // a float solution so imprecise that the integers pass 2^53: out_of_range, NaN
    ambiguity_problem wide;
    wide.n = 2;
    wide.ahat = {0.3, 0.4};
    wide.Q = {1e40, 0.999999e40, 0.999999e40, 1e40};
    const fix_run w = run(wide, with(ambiguity_method::ils));
    EXPECT_TRUE(w.r.status == ambiguity_status::optimal ||
                w.r.status == ambiguity_status::out_of_range);
}

TEST(AmbiguityFix, SizeLimit) {
    std::mt19937_64 rng(14);
    for (std::size_t n : {std::size_t{500}, static_cast<std::size_t>(ambiguity_max_n)}) {
        // a precise model (variances 1e-4 .. 1e-3): the search stays short at every n
        ambiguity_problem p = ldl_problem(rng, n, 2, 1e6);
        for (double& q : p.Q) q *= 1e-3;
        draw_float_solution(rng, p);
        ambiguity_options o = with(ambiguity_method::ils, 1);
        o.max_nodes = 4000000;  // the bound of the test's time; the search ends well before
        const fix_run f = run(p, o);
        ASSERT_EQ(f.r.status, ambiguity_status::optimal) << f.r.nodes;
        EXPECT_EQ(std::vector<double>(f.afix.begin(), f.afix.begin() + n), p.truth) << n;
        EXPECT_NEAR(f.sqnorm[0], quadratic(p, f.afix.data()), 1e-8 * f.sqnorm[0]);
    }
    EXPECT_EQ(ambiguity_max_ncands(256), 65536);
    EXPECT_EQ(ambiguity_max_ncands(1000), (1 << 24) / 1000);
}

}  // namespace
