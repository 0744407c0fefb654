// SPDX-License-Identifier: BSD-3-Clause
// The solver's plain-loop kernels against the BLAS/LAPACK library they stand in for: each
// routine on random data to rounding, only the upper triangle touched, dnrm2's range
// (overflow, underflow, Inf, NaN), the same failure codes of the Cholesky factorisation and
// the inverse; then whole solves with both sets on the test problems: the same exit, the
// same passes and x to 1e-10 where the problem's conditioning allows it, both optimal
// (KKT) where it does not.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "box/blas64.h"
#include "box/bound_classification.h"
#include "box/bvls.h"
#include "box/gram_inverse.h"
#include "tests/box_problems.h"

using namespace box_test;

namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr double junk = -7.25e11;  // below the diagonal: must stay as it is

vec random_vector(std::int64_t n, std::mt19937_64& gen) {
    std::normal_distribution<double> normal;
    vec v(n);
    for (double& e : v) e = normal(gen);
    return v;
}

// n-by-n with leading dimension lda: a random upper triangle, junk elsewhere.
vec random_upper(std::int64_t n, std::int64_t lda, std::mt19937_64& gen) {
    std::normal_distribution<double> normal;
    vec A(lda * n, junk);
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i <= j; ++i) A[i + j * lda] = normal(gen) + (i == j ? 3.0 : 0.0);
    }
    return A;
}

// Largest difference relative to the largest magnitude of want (1 if want is all zero).
double difference(const vec& got, const vec& want) {
    double d = 0.0, s = 0.0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (want[i] == junk) {
            if (got[i] != junk) return INFINITY;  // touched what it must not
            continue;
        }
        d = std::fmax(d, std::fabs(got[i] - want[i]));
        s = std::fmax(s, std::fabs(want[i]));
    }
    return d / (s > 0.0 ? s : 1.0);
}

// The test problem's SPD Gram matrix of a random n-by-n H in the upper triangle.
vec gram_upper(std::int64_t n, std::int64_t lda, std::mt19937_64& gen) {
    const vec H = random_vector(n * n, gen);
    vec A(lda * n, junk);
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i <= j; ++i) {
            double s = 0.0;
            for (std::int64_t p = 0; p < n; ++p) s += H[p + i * n] * H[p + j * n];
            A[i + j * lda] = s + (i == j ? 1.0 : 0.0);
        }
    }
    return A;
}

}  // namespace

TEST(plain_kernels, vector_routines_match_the_library) {
    std::mt19937_64 gen(5);
    using L = library_kernels;
    using P = plain_kernels;
    for (std::int64_t n = 0; n <= 19; ++n) {
        const double tol = 4.0 * static_cast<double>(n + 1) * eps;
        const vec x = random_vector(n, gen), y = random_vector(n, gen);
        const double scale = 1.0 + std::sqrt(P::dot(n, x.data(), 1, x.data(), 1) *
                                             P::dot(n, y.data(), 1, y.data(), 1));
        EXPECT_NEAR(P::dot(n, x.data(), 1, y.data(), 1), L::dot(n, x.data(), 1, y.data(), 1),
                    tol * scale);
        EXPECT_NEAR(P::nrm2(n, x.data(), 1), L::nrm2(n, x.data(), 1), tol * scale);
        vec a = y, b = y;
        P::axpy(n, -0.75, x.data(), 1, a.data(), 1);
        L::axpy(n, -0.75, x.data(), 1, b.data(), 1);
        EXPECT_LE(difference(a, b), tol);
        P::scal(n, 3.5, a.data(), 1);
        L::scal(n, 3.5, b.data(), 1);
        EXPECT_LE(difference(a, b), tol);
        // a strided copy, as the remove step reads a row of G
        if (n > 0) {
            const std::int64_t half = (n + 1) / 2;
            vec c(half, 0.0), d(half, 0.0);
            P::copy(half, x.data(), 2, c.data(), 1);
            L::copy(half, x.data(), 2, d.data(), 1);
            EXPECT_EQ(c, d);
            EXPECT_NEAR(P::nrm2(half, x.data(), 2), L::nrm2(half, x.data(), 2), tol * scale);
        }
    }
}

TEST(plain_kernels, matrix_routines_match_the_library_on_the_upper_triangle) {
    std::mt19937_64 gen(9);
    using L = library_kernels;
    using P = plain_kernels;
    for (std::int64_t n :
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 31, 64, 97}) {
        for (std::int64_t lda : {std::max<std::int64_t>(n, 1), n + 3}) {
            const double tol = 8.0 * static_cast<double>(n + 1) * eps;
            const vec A = random_upper(n, lda, gen);
            const vec x = random_vector(n, gen), y = random_vector(n, gen);
            for (char trans : {'N', 'T'}) {
                vec a = x, b = x;
                P::trmv('U', trans, 'N', n, A.data(), lda, a.data(), 1);
                L::trmv('U', trans, 'N', n, A.data(), lda, b.data(), 1);
                EXPECT_LE(difference(a, b), tol) << "trmv " << trans << " n=" << n;
                // the solver's two gemv forms on an m-by-k block (k < n columns)
                const std::int64_t k = n / 2;
                const double alpha = trans == 'N' ? -1.0 : 1.0, beta = trans == 'N' ? 1.0 : 0.0;
                vec c = y, d = y;
                P::gemv(trans, n, k, alpha, A.data(), lda, x.data(), 1, beta, c.data(), 1);
                L::gemv(trans, n, k, alpha, A.data(), lda, x.data(), 1, beta, d.data(), 1);
                EXPECT_LE(difference(c, d), tol) << "gemv " << trans << " n=" << n;
            }
            vec a = y, b = y;
            P::symv('U', n, 1.0, A.data(), lda, x.data(), 1, 0.0, a.data(), 1);
            L::symv('U', n, 1.0, A.data(), lda, x.data(), 1, 0.0, b.data(), 1);
            EXPECT_LE(difference(a, b), tol) << "symv n=" << n;
            vec S = A, T = A;
            P::syr('U', n, -0.3, x.data(), 1, S.data(), lda);
            L::syr('U', n, -0.3, x.data(), 1, T.data(), lda);
            EXPECT_LE(difference(S, T), tol) << "syr n=" << n;  // junk below stays junk
            // Cholesky factor and inverse of an SPD matrix
            vec F = gram_upper(n, lda, gen), E = F;
            ASSERT_EQ(P::potrf('U', n, F.data(), lda), 0);
            ASSERT_EQ(L::potrf('U', n, E.data(), lda), 0);
            EXPECT_LE(difference(F, E), 64 * tol) << "potrf n=" << n;
            ASSERT_EQ(P::potri('U', n, F.data(), lda), 0);
            ASSERT_EQ(L::potri('U', n, E.data(), lda), 0);
            EXPECT_LE(difference(F, E), 1e-10) << "potri n=" << n;
        }
    }
}

// The matrix-vector loops that take four columns in one pass over the vector give the bits
// of the same updates made column by column: each entry takes the same products in the same
// order. Zeros in x (a column trmv passes over) fall inside and outside the blocks of four.
bool same_bits(const vec& a, const vec& b) {
    if (a.size() != b.size()) return false;
    return a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(plain_kernels, blocks_of_columns_give_the_bits_of_one_column_at_a_time) {
    std::mt19937_64 gen(12);
    using P = plain_kernels;
    for (std::int64_t n = 0; n <= 14; ++n) {
        for (std::int64_t lda : {std::max<std::int64_t>(n, 1), n + 3}) {
            const vec A = random_upper(n, lda, gen);
            vec x = random_vector(n, gen);
            for (std::int64_t i = 0; i < n; i += 3) {
                if (i % 2 == 0) x[i] = 0.0;
            }
            const vec y = random_vector(n, gen);
            vec got = x, want = x;  // x = A x
            P::trmv('U', 'N', 'N', n, A.data(), lda, got.data(), 1);
            for (std::int64_t j = 0; j < n; ++j) {
                const double xj = want[j];
                if (xj == 0.0) continue;
                for (std::int64_t i = 0; i < j; ++i) want[i] += xj * A[i + j * lda];
                want[j] = xj * A[j + j * lda];
            }
            EXPECT_TRUE(same_bits(got, want)) << "trmv n=" << n;
            got = y, want = y;  // y = y - A x
            P::gemv('N', n, n, -1.0, A.data(), lda, x.data(), 1, 1.0, got.data(), 1);
            for (std::int64_t j = 0; j < n; ++j) {
                for (std::int64_t i = 0; i < n; ++i) want[i] += (-1.0 * x[j]) * A[i + j * lda];
            }
            EXPECT_TRUE(same_bits(got, want)) << "gemv n=" << n;
            got = vec(n, 0.0), want = vec(n, 0.0);  // y = 0.5 A x, A symmetric
            P::symv('U', n, 0.5, A.data(), lda, x.data(), 1, 0.0, got.data(), 1);
            for (std::int64_t j = 0; j < n; ++j) {
                const double t = 0.5 * x[j];
                for (std::int64_t i = 0; i < j; ++i) want[i] += t * A[i + j * lda];
                want[j] += t * A[j + j * lda] + 0.5 * P::dot(j, A.data() + j * lda, 1, x.data(), 1);
            }
            EXPECT_TRUE(same_bits(got, want)) << "symv n=" << n;
        }
    }
}

// The reference dnrm2 scales so that no square overflows or underflows; so must the loops.
TEST(plain_kernels, norm_keeps_its_range) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double tiny = std::numeric_limits<double>::denorm_min();
    struct norm_case {
        vec x;
        double want;
    };
    const std::vector<norm_case> cases = {
        {{3e200, 4e200}, 5e200},
        {{1e308, 1e308, 1e308}, 1e308 * std::sqrt(3.0)},
        {{3e-200, 4e-200}, 5e-200},
        {{3e-170, -4e-170, 0.0}, 5e-170},
        {{3 * tiny, 4 * tiny}, 5 * tiny},
        {{1e200, 1.0, -1.0}, 1e200},
        {{1e-300, 1.0}, 1.0},
        {{0.0, -0.0, 0.0}, 0.0},
        {{}, 0.0},
        {{1.0, -inf, 2.0}, inf},
        {{1e300, nan, 1.0}, nan},
        {{nan, inf}, nan},
    };
    for (const norm_case& c : cases) {
        const auto n = static_cast<std::int64_t>(c.x.size());
        const double got = plain_kernels::nrm2(n, c.x.data(), 1);
        if (std::isnan(c.want) || std::isinf(c.want)) {
            EXPECT_TRUE(std::isnan(c.want) ? std::isnan(got) : got == c.want);
            continue;
        }
        EXPECT_NEAR(got, c.want, 4 * eps * c.want) << "first entry " << (n ? c.x[0] : 0.0);
        if (std::isfinite(c.want)) {  // and the library agrees with the want
            EXPECT_NEAR(library_kernels::nrm2(n, c.x.data(), 1), c.want, 4 * eps * c.want);
        }
    }
}

// Not positive definite: the same first failing order as the library, for a zero column
// (the solver's dependent free columns), a negative diagonal and an indefinite matrix; a
// NaN diagonal passes on as the library lets it; a zero diagonal of the factor fails the
// inverse with the same code.
TEST(plain_kernels, factorisation_failures_match_lapack) {
    std::mt19937_64 gen(21);
    for (std::int64_t n : {1, 3, 6, 11}) {
        for (std::int64_t bad = 0; bad < n; ++bad) {
            for (int kind = 0; kind < 4; ++kind) {
                vec A = gram_upper(n, n, gen);
                switch (kind) {
                    case 0:  // a zero column of H: row and column bad of H'H vanish
                        for (std::int64_t i = 0; i < n; ++i) {
                            A[std::min(i, bad) + std::max(i, bad) * n] = 0.0;
                        }
                        break;
                    case 1:
                        A[bad + bad * n] = -1.0;
                        break;
                    case 2:
                        A[bad + bad * n] = std::numeric_limits<double>::quiet_NaN();
                        break;
                    default:  // indefinite: a 2-by-2 minor with a large off-diagonal entry
                        if (bad > 0) A[bad - 1 + bad * n] = 1e3;
                        break;
                }
                vec B = A;
                const blas_int plain = plain_kernels::potrf('U', n, A.data(), n);
                const blas_int library = library_kernels::potrf('U', n, B.data(), n);
                EXPECT_EQ(plain, library) << "n=" << n << " bad=" << bad << " kind=" << kind;
                if (kind == 2) {
                    EXPECT_EQ(plain, 0);
                    EXPECT_TRUE(std::isnan(A[n * n - 1]));
                } else if (kind < 2 || bad > 0) {
                    EXPECT_GT(plain, 0) << "n=" << n << " bad=" << bad << " kind=" << kind;
                }
            }
            vec U = random_upper(n, n, gen);
            U[bad + bad * n] = 0.0;
            vec V = U;
            EXPECT_EQ(plain_kernels::potri('U', n, U.data(), n), bad + 1);
            EXPECT_EQ(library_kernels::potri('U', n, V.data(), n), bad + 1);
        }
    }
}

// The free-set Gram inverse through either set: a build, adds and removes agree to rounding;
// dependent columns fail the same way.
TEST(plain_kernels, gram_inverse_agrees_between_the_sets) {
    for (std::int64_t n : {1, 5, 12, 32}) {
        std::mt19937_64 gen(n);
        const vec H = random_vector(n * n, gen);
        vec G[2] = {vec(n * n, 0.0), vec(n * n, 0.0)}, work(2 * n, 0.0);
        const kernel_set sets[2] = {kernel_set::plain, kernel_set::library};
        for (int s = 0; s < 2; ++s) {
            const std::int64_t half = n / 2;
            ASSERT_EQ(gram_inverse_update(n, n, half, H.data(), G[s].data(), nullptr, work.data(),
                                          0, sets[s]),
                      gram_status::ok);
            for (std::int64_t k = half; k < n; ++k) {
                gram_inverse_update(n, n, k, H.data(), G[s].data(), &H[k * n], work.data(), -1,
                                    sets[s]);
            }
            gram_inverse_update(n, n, n, nullptr, G[s].data(), nullptr, work.data(), (n + 1) / 2,
                                sets[s]);
        }
        double d = 0.0, scale = 0.0;
        for (std::int64_t j = 0; j + 1 < n; ++j) {
            for (std::int64_t i = 0; i <= j; ++i) {
                d = std::fmax(d, std::fabs(G[0][i + j * n] - G[1][i + j * n]));
                scale = std::fmax(scale, std::fabs(G[1][i + j * n]));
            }
        }
        EXPECT_LE(d, 1e-10 * scale) << "n=" << n;
        vec Z(n * n, 0.0);  // a zero column: the Cholesky message in both
        for (int s = 0; s < 2; ++s) {
            vec store(n * n, 0.0);
            EXPECT_EQ(gram_inverse_update(n, n, n, Z.data(), store.data(), nullptr, work.data(), 0,
                                          sets[s]),
                      gram_status::chol_failed);
        }
    }
}

// Whole solves, cold and warm (from the cold answer's index set and from a random one), with
// both sets on the suite's problems: where the conditioning leaves x well determined
// (cond^2 eps well below 1e-10), the same exit, the same passes and x to 1e-10; on the
// ill-conditioned ones, where rounding alone moves x by more than that, both optimal by the
// KKT oracle.
TEST(plain_kernels, solves_agree_with_the_library_path) {
    struct family {
        double cond, u, noise;
        bool well_determined;
    };
    const family families[] = {{1.0, 1.0, 0.0, true},  {1.0, 0.3, 0.5, true},
                               {1e2, 1.0, 0.5, true},  {1.0, 0.0, 0.0, true},
                               {1e6, 1.0, 0.0, false}, {1e6, 1.0, 0.5, false}};
    int compared = 0;
    for (const family& f : families) {
        for (std::int64_t n : {1, 2, 3, 5, 8, 13, 20, 32, 61, 96}) {
            for (std::uint64_t seed = 0; seed < (n > 32 ? 2u : 6u); ++seed) {
                const problem p = make_problem(n, f.cond, 900 * n + seed, f.u, f.noise);
                std::mt19937_64 gen(seed + n);
                vec random_set(n + 2, 0.0);
                {
                    vec point(n);
                    std::uniform_real_distribution<double> unit(-1.0, 1.0);
                    for (double& v : point) v = unit(gen) > 0.3 ? f.u : unit(gen) * f.u;
                    classify_bounds(point.data(), n, f.u, random_set.data());
                }
                vec classified(n + 2, 0.0);
                for (int start = 0; start < 3; ++start) {
                    vec x[2] = {vec(n), vec(n)};
                    bvls_result r[2];
                    const double* st = start == 0   ? nullptr
                                       : start == 1 ? classified.data()
                                                    : random_set.data();
                    for (int s = 0; s < 2; ++s) {
                        std::vector<std::int64_t> slot(n + 2);
                        vec dual(n), columns(n * (n + 2)), z(n), work(2 * n), G(n * n);
                        const bvls_scratch scratch{slot.data(), dual.data(), columns.data(),
                                                   z.data(),    work.data(), G.data()};
                        r[s] =
                            bvls_solve(n, p.R.data(), p.y.data(), p.u, st, x[s].data(), scratch,
                                       nullptr, s == 0 ? kernel_set::plain : kernel_set::library);
                    }
                    if (start == 0) classify_bounds(x[1].data(), n, p.u, classified.data());
                    ++compared;
                    if (f.well_determined) {
                        EXPECT_EQ(r[0].exit, r[1].exit) << n << " " << seed << " " << start;
                        EXPECT_EQ(r[0].iter, r[1].iter) << n << " " << seed << " " << start;
                        double d = 0.0, scale = 0.0;
                        for (std::int64_t j = 0; j < n; ++j) {
                            d = std::fmax(d, std::fabs(x[0][j] - x[1][j]));
                            scale = std::fmax(scale, std::fabs(x[1][j]));
                        }
                        EXPECT_LE(d, 1e-10 * scale) << n << " " << seed << " " << start;
                    } else {
                        for (int s = 0; s < 2; ++s) {
                            EXPECT_LE(kkt_ratio(p, x[s]), 1.0) << n << " " << seed << " " << s;
                        }
                    }
                }
            }
        }
    }
    EXPECT_EQ(compared, 6 * (8 * 6 + 2 * 2) * 3);
}
