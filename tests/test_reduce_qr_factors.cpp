// SPDX-License-Identifier: BSD-3-Clause
// LLL reduction on QR factors: worked values bit for bit, the step-by-step reference,
// the reduction identities on random bases, non-finite inputs and the delta = 1 cycles.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "reduce/reduce_qr_factors.h"

namespace {

using vec = std::vector<double>;
const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

struct factors {
    std::int64_t m, n;
    vec Q, R, U;
};

factors make(std::int64_t m, std::int64_t n, vec Q, vec R) {
    factors f{m, n, std::move(Q), std::move(R), vec(n * n, 0.0)};
    for (std::int64_t i = 0; i < n; ++i) f.U[i + i * n] = 1.0;
    return f;
}

factors reduced(factors f, double delta) {
    vec scratch(reduce_qr_scratch_size(f.n), -9.0);
    reduce_qr_factors(f.Q.data(), f.R.data(), f.U.data(), f.m, f.n, delta, scratch.data());
    return f;
}

bool same_bits(const vec& a, const vec& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), 8 * a.size()) == 0;
}

// Bit for bit, except that any NaN matches any NaN.
bool same_values(const vec& a, const vec& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!(std::isnan(a[i]) && std::isnan(b[i])) && std::memcmp(&a[i], &b[i], 8) != 0)
            return false;
    }
    return true;
}

// The first count primes below 2^31.
const std::vector<std::int64_t>& primes() {
    static std::vector<std::int64_t> list;
    for (std::int64_t p = 2147483647; list.size() < 60; p -= 2) {
        bool prime = true;
        for (std::int64_t d = 3; d * d <= p && prime; d += 2) prime = p % d != 0;
        if (prime) list.push_back(p);
    }
    return list;
}

// The reduction written out step by step, 1-based, with the scratch used as described, and
// no guard against cycles. Returns false when the loop ran past max_loops, or when it came
// back to a state (R and k bit for bit) it had been in (only watched when history is set).
bool reference(factors& f, double delta, long max_loops, bool history = false) {
    const std::int64_t m = f.m, n = f.n;
    vec sc(2 * m);
    auto R = [&](std::int64_t i, std::int64_t j) -> double& { return f.R[(i - 1) + (j - 1) * n]; };
    auto U = [&](std::int64_t i, std::int64_t j) -> double& { return f.U[(i - 1) + (j - 1) * n]; };
    auto Q = [&](std::int64_t i, std::int64_t j) -> double& { return f.Q[(i - 1) + (j - 1) * m]; };
    std::vector<vec> states;
    std::int64_t k = 2;
    for (long loop = 0; k <= n; ++loop) {
        if (loop == max_loops) return false;
        if (history) {
            vec s = f.R;
            s.push_back(static_cast<double>(k));
            for (const vec& old : states) {
                if (same_bits(old, s)) return false;
            }
            states.push_back(s);
        }
        for (std::int64_t j = k - 1; j >= 1; --j) {
            const double mu = std::floor(R(j, k) / R(j, j) + 0.5);
            if (mu >= 0.5 || mu <= -0.5) {
                for (std::int64_t i = 1; i <= j; ++i) R(i, k) = R(i, k) - mu * R(i, j);
                for (std::int64_t i = 1; i <= n; ++i) U(i, k) = U(i, k) - mu * U(i, j);
            }
        }
        if ((R(k - 1, k - 1) * delta) * R(k - 1, k - 1) >
            R(k, k) * R(k, k) + R(k - 1, k) * R(k - 1, k)) {
            for (auto* X : {&f.R, &f.U}) {
                double* x = X->data();
                for (std::int64_t i = 0; i < n; ++i) sc[i] = x[i + (k - 1) * n];
                for (std::int64_t i = 0; i < n; ++i) x[i + (k - 1) * n] = x[i + (k - 2) * n];
                for (std::int64_t i = 0; i < n; ++i) x[i + (k - 2) * n] = sc[i];
            }
            const double a = R(k - 1, k - 1), b = R(k, k - 1);
            const double r = std::sqrt(a * a + b * b), c = a / r, s = b / r;
            for (std::int64_t t = k - 1; t <= n; ++t) {
                const double x = R(k - 1, t), y = R(k, t);
                sc[2 * (t - k + 1)] = c * x + s * y;
                sc[2 * (t - k + 1) + 1] = c * y - s * x;
            }
            for (std::int64_t t = k - 1; t <= n; ++t) {
                R(k - 1, t) = sc[2 * (t - k + 1)];
                R(k, t) = sc[2 * (t - k + 1) + 1];
            }
            for (std::int64_t i = 1; i <= m; ++i) {
                sc[i - 1] = c * Q(i, k - 1) + s * Q(i, k);
                sc[m + i - 1] = c * Q(i, k) - s * Q(i, k - 1);
            }
            std::memcpy(&Q(1, k - 1), sc.data(), 8 * 2 * m);
            k = k - 1 > 2 ? k - 1 : 2;
        } else {
            ++k;
        }
    }
    return true;
}

// Thin QR of the m-by-n B (m >= n) by Gram-Schmidt with one reorthogonalisation: Q
// m-by-n with orthonormal columns to rounding, R upper triangular with exact zeros.
void gram_schmidt_qr(const vec& B, std::int64_t m, std::int64_t n, vec& Q, vec& R) {
    Q = B;
    R.assign(n * n, 0.0);
    for (std::int64_t j = 0; j < n; ++j) {
        double* q = &Q[j * m];
        for (int pass = 0; pass < 2; ++pass) {
            for (std::int64_t i = 0; i < j; ++i) {
                double d = 0.0;
                for (std::int64_t t = 0; t < m; ++t) d += Q[t + i * m] * q[t];
                for (std::int64_t t = 0; t < m; ++t) q[t] -= d * Q[t + i * m];
                R[i + j * n] += d;
            }
        }
        double norm = 0.0;
        for (std::int64_t t = 0; t < m; ++t) norm += q[t] * q[t];
        R[j + j * n] = std::sqrt(norm);
        for (std::int64_t t = 0; t < m; ++t) q[t] /= R[j + j * n];
    }
}

// Exact test that U is integral with determinant +-1: elimination modulo primes near 2^31,
// the same +-1 modulo each, until their product exceeds twice Hadamard's bound on |det U|.
bool unimodular(const vec& U, std::int64_t n) {
    double log2_bound = 1.0;
    for (std::int64_t j = 0; j < n; ++j) {
        long double s = 0;
        for (std::int64_t i = 0; i < n; ++i) {
            const double u = U[i + j * n];
            if (!(std::fabs(u) < 9007199254740992.0) || u != std::floor(u)) return false;
            s += static_cast<long double>(u) * u;
        }
        log2_bound += 0.5 * std::log2(static_cast<double>(s));
    }
    int sign = 0;
    double covered = 0.0;
    for (std::size_t q = 0; covered <= log2_bound; ++q) {
        if (q == primes().size()) return false;  // bound too large to decide
        const std::int64_t p = primes()[q];
        std::vector<std::int64_t> a(n * n);
        for (std::int64_t i = 0; i < n * n; ++i)
            a[i] = ((static_cast<std::int64_t>(U[i]) % p) + p) % p;
        std::int64_t det = 1;
        auto inv = [&](std::int64_t x) {
            std::int64_t r = 1, e = p - 2;
            for (; e; e >>= 1, x = x * x % p)
                if (e & 1) r = r * x % p;
            return r;
        };
        for (std::int64_t c = 0; c < n; ++c) {
            std::int64_t piv = c;
            while (piv < n && a[piv + c * n] == 0) ++piv;
            if (piv == n) return false;
            if (piv != c) {
                det = (p - det) % p;
                for (std::int64_t t = 0; t < n; ++t) std::swap(a[c + t * n], a[piv + t * n]);
            }
            det = det * a[c + c * n] % p;
            const std::int64_t iv = inv(a[c + c * n]);
            for (std::int64_t i = c + 1; i < n; ++i) {
                const std::int64_t f = a[i + c * n] * iv % p;
                for (std::int64_t t = c; t < n; ++t)
                    a[i + t * n] = ((a[i + t * n] - f * a[c + t * n]) % p + p) % p;
            }
        }
        const int s = det == 1 ? 1 : (det == p - 1 ? -1 : 0);
        if (s == 0 || (sign != 0 && s != sign)) return false;
        sign = s;
        covered += 30.9;
    }
    return true;
}

TEST(ReduceQrFactors, CheckerRejectsBadTransforms) {
    EXPECT_TRUE(unimodular({0, 1, 1, -1}, 2));
    EXPECT_TRUE(unimodular({2, 5, 1, 3}, 2));     // det 1
    EXPECT_FALSE(unimodular({2, 0, 0, 1}, 2));    // det 2
    EXPECT_FALSE(unimodular({1, 0, 0.5, 1}, 2));  // not integral
    EXPECT_FALSE(unimodular({1, 0, nan, 1}, 2));
    EXPECT_FALSE(unimodular({3, 0, 0, 3}, 2));  // det 9
    EXPECT_FALSE(unimodular({1, 1, 1, 1}, 2));  // singular
}

TEST(ReduceQrFactors, WorkedExamplesBitForBit) {
    // [1 0.4; 0 0.5], delta 0.75: one exchange, then mu = 1
    factors f = reduced(make(2, 2, {1, 0, 0, 1}, {1, 0, 0.4, 0.5}), 0.75);
    const double a = 0.4, b = 0.5, r = std::sqrt(a * a + b * b), c = a / r, s = b / r;
    const double r11 = c * a + s * b, r12 = c * 1.0 + s * 0.0;
    EXPECT_TRUE(same_bits(f.R, {r11, c * b - s * a, r12 - 1.0 * r11, c * 0.0 - s * 1.0}));
    EXPECT_TRUE(same_bits(f.U, {0, 1, 1, -1}));
    EXPECT_TRUE(same_bits(
        f.Q, {c * 1.0 + s * 0.0, c * 0.0 + s * 1.0, c * 0.0 - s * 1.0, c * 1.0 - s * 0.0}));
    EXPECT_NEAR(f.R[2], c - r, 1e-15);
    struct plain_case {
        vec R;
        double delta;
        vec Ro, Uo;
    };
    const plain_case cases[] = {
        {{2, 0, 1, 3}, 0.75, {2, 0, -1, 3}, {1, 0, -1, 1}},  // quotient 0.5 rounds up
        {{2, 0, -1, 3}, 0.75, {2, 0, -1, 3}, {1, 0, 0, 1}},  // -0.5 rounds to 0
        {{1, 0, 0, 1}, 1.0, {1, 0, 0, 1}, {1, 0, 0, 1}},     // strict test
        {{1, 0, 0.4, 0.5}, 0.0, {1, 0, 0.4, 0.5}, {1, 0, 0, 1}},
        {{1, 0, 0.4, 0.5}, -2.0, {1, 0, 0.4, 0.5}, {1, 0, 0, 1}},
        {{1, 0, 0.4, 0.5}, nan, {1, 0, 0.4, 0.5}, {1, 0, 0, 1}},
        {{1, 0, 1, 0}, 0.75, {nan, nan, nan, nan}, {-1, 1, 1, 0}},  // rank-deficient
        {{0, 0, 1, 1}, 0.75, {0, 0, nan, 1}, {1, 0, -inf, nan}},    // zero diagonal: mu = Inf
        {{0, 0, 0, 1}, 0.75, {0, 0, 0, 1}, {1, 0, 0, 1}},           // 0/0: mu NaN, skipped
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(testing::Message() << "R(1,2)=" << t.R[2] << " delta=" << t.delta);
        factors g = reduced(make(2, 2, {1, 0, 0, 1}, t.R), t.delta);
        EXPECT_TRUE(same_values(g.R, t.Ro));
        EXPECT_TRUE(same_values(g.U, t.Uo));
        const bool rotated_nan = std::isnan(t.Ro[0]);
        EXPECT_TRUE(same_values(g.Q, rotated_nan ? vec{nan, nan, nan, nan} : vec{1, 0, 0, 1}));
    }
    // n = 1 and n = 0: nothing changes, whatever delta
    factors one = reduced(make(3, 1, {1, 2, 3}, {-4}), 2.0);
    EXPECT_TRUE(same_bits(one.Q, {1, 2, 3}) && same_bits(one.R, {-4}) && same_bits(one.U, {1}));
    factors none = reduced(make(2, 0, {}, {}), 0.75);
    EXPECT_TRUE(none.Q.empty() && none.R.empty());
}

// X*Y in long double (X rows-by-inner, or its transpose inner-by-rows when transpose_x);
// with cols = 0, X itself.
std::vector<long double> times(const vec& X, const vec& Y, std::int64_t rows, std::int64_t inner,
                               std::int64_t cols, bool transpose_x) {
    if (cols == 0) return std::vector<long double>(X.begin(), X.end());
    std::vector<long double> P(rows * cols, 0.0L);
    for (std::int64_t i = 0; i < rows; ++i)
        for (std::int64_t j = 0; j < cols; ++j)
            for (std::int64_t t = 0; t < inner; ++t)
                P[i + j * rows] +=
                    static_cast<long double>(transpose_x ? X[t + i * inner] : X[i + t * rows]) *
                    Y[t + j * inner];
    return P;
}

// Frobenius distance of two matrices (an empty b counts as zero).
double distance(const std::vector<long double>& a, const std::vector<long double>& b) {
    long double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const long double d = a[i] - (b.empty() ? 0.0L : b[i]);
        sum += d * d;
    }
    return static_cast<double>(std::sqrt(sum));
}

// Reduces the QR factors of a random m-by-n basis and checks the result.
enum class basis_kind { gaussian, integer, knapsack };

void check_random(std::mt19937_64& rng, std::int64_t m, std::int64_t n, double delta,
                  basis_kind kind) {
    std::normal_distribution<double> g;
    std::uniform_int_distribution<int> d(-50, 50);
    std::uniform_int_distribution<int> big(0, 1 << 20);
    vec B(m * n, 0.0), Q, R;
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i < m; ++i) {
            if (kind == basis_kind::knapsack) {  // column j = (x_j, e_j, 0...)
                B[i + j * m] = i == 0 ? big(rng) : (i == j + 1 ? 1.0 : 0.0);
            } else {
                B[i + j * m] = kind == basis_kind::integer ? d(rng) : g(rng);
            }
        }
    }
    gram_schmidt_qr(B, m, n, Q, R);
    factors in = make(m, n, Q, R);
    factors out = reduced(in, delta);
    factors ref = in;
    if (reference(ref, delta, 1000000)) {
        EXPECT_TRUE(same_bits(out.R, ref.R) && same_bits(out.U, ref.U) && same_bits(out.Q, ref.Q));
    }
    ASSERT_TRUE(unimodular(out.U, n));
    // Qo*Ro = B*Uo relative to |B|*|Uo|, and |Qo'*Qo - I| no worse than |Q'*Q - I| (Frobenius)
    const vec I = make(n, n, {}, {}).U;
    const double err =
        distance(times(out.Q, out.R, m, n, n, false), times(B, out.U, m, n, n, false));
    const double scale =
        distance(times(B, {}, m, n, 0, false), {}) * distance(times(out.U, {}, n, n, 0, false), {});
    auto orthogonality = [&](const vec& X) {
        return distance(times(X, X, n, m, n, true), times(I, {}, n, n, 0, false));
    };
    const double eps = std::numeric_limits<double>::epsilon();
    EXPECT_LT(err / scale, 100 * n * eps);
    EXPECT_LT(orthogonality(out.Q), orthogonality(Q) + 100 * n * eps);
    // size-reduced and Lovasz with the caller's delta, to rounding
    for (std::int64_t k = 1; k < n; ++k) {
        for (std::int64_t j = 0; j < k; ++j)
            EXPECT_LE(std::fabs(out.R[j + k * n] / out.R[j + j * n]), 0.5 + 1e-9);
        const double p = out.R[(k - 1) + (k - 1) * n], a = out.R[(k - 1) + k * n],
                     b = out.R[k + k * n];
        EXPECT_LE(delta * p * p, (a * a + b * b) * (1 + 1e-9));
        EXPECT_LE(std::fabs(out.R[k + (k - 1) * n]), 1e-9 * std::fabs(p));
    }
}

TEST(ReduceQrFactors, RandomBasesSatisfyTheReductionIdentities) {
    std::mt19937_64 rng(2024);
    for (double delta : {0.25, 0.5, 0.75, 0.99, 1.0}) {
        for (std::int64_t n : {2, 3, 5, 8, 13, 21, 40}) {
            for (std::int64_t extra : {0, 3}) {
                SCOPED_TRACE(testing::Message()
                             << "delta=" << delta << " n=" << n << " m=" << n + extra);
                check_random(rng, n + extra, n, delta, basis_kind::gaussian);
                check_random(rng, n + extra, n, delta, basis_kind::integer);
                if (extra > 0) check_random(rng, n + extra, n, delta, basis_kind::knapsack);
            }
        }
    }
}

// Found by a random search over 2x2 and 3x3 integer and one-decimal R with delta = 1. In
// the first group the step-by-step loop comes back to a state it has been in, so it would
// never end. In the second it makes exchanges that leave the pair's first diagonal entry
// unchanged or larger, and still ends: those results must stay as they are.
TEST(ReduceQrFactors, DeltaOneCyclesEndAndStalledExchangesStay) {
    struct cycle_case {
        vec R;
        bool cycles;
    };
    const cycle_case cases[] = {
        {{18, 0, 9, -15}, true},
        {{1, 0, -0.5, -0.8}, true},
        {{-1.6, 0, -0.8, -0.9}, true},
        {{18, 0, 0, -9, -15, 0, 15, 7, -16}, true},
        {{1.6, 0, 0, 0.8, 0.5, 0, 1.4, 0.5, -0.3}, true},
        {{14, 0, 7, 12}, false},
        {{-20, 0, -10, 9}, false},
        {{-1.4, 0, 0.7, -1.2}, false},
        {{20, 0, 0, -10, -9, 0, 11, -8, 19}, false},
        {{20, 0, 0, -19, 18, 0, 10, -2, -14}, false},
    };
    for (const auto& t : cases) {
        const std::int64_t n = t.R.size() == 4 ? 2 : 3;
        SCOPED_TRACE(testing::Message() << "n=" << n << " R(1,1)=" << t.R[0]);
        vec I(n * n, 0.0);
        for (std::int64_t i = 0; i < n; ++i) I[i + i * n] = 1.0;
        factors ref = make(n, n, I, t.R);
        EXPECT_EQ(reference(ref, 1.0, 100000, true), !t.cycles);
        factors out = reduced(make(n, n, I, t.R), 1.0);
        if (!t.cycles) {
            EXPECT_TRUE(same_bits(out.R, ref.R) && same_bits(out.U, ref.U) &&
                        same_bits(out.Q, ref.Q));
        }
        EXPECT_TRUE(unimodular(out.U, n));
        for (std::int64_t k = 1; k < n; ++k) {
            const double p = out.R[(k - 1) + (k - 1) * n], a = out.R[(k - 1) + k * n],
                         b = out.R[k + k * n];
            EXPECT_LE(p * p, (a * a + b * b) * (1 + 1e-14));
            EXPECT_LE(std::fabs(a / p), 0.5 + 1e-14);
        }
    }
}

TEST(ReduceQrFactors, NonFiniteAndDegenerateInputsEnd) {
    // Any R ends: NaN and Inf entries, zero rows, repeated columns, non-triangular R, with
    // every delta <= 1. Whenever the step-by-step loop ends too, the results are the same
    // (any NaN matching any NaN: which NaN an operation returns depends on the build).
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int> pick(0, 11);
    const double values[] = {nan, inf, -inf, 0.0, -0.0, 1.0, -1.0, 0.5, 3.0, 1e308, 1e-310, 2.0};
    for (int trial = 0; trial < 4000; ++trial) {
        const std::int64_t n = 2 + trial % 4;
        vec R(n * n), Q(n * n, 0.0);
        for (std::int64_t i = 0; i < n * n; ++i) R[i] = values[pick(rng)];
        if (trial % 2 == 0)
            for (std::int64_t j = 0; j < n; ++j)
                for (std::int64_t i = j + 1; i < n; ++i) R[i + j * n] = 0.0;
        for (std::int64_t i = 0; i < n; ++i) Q[i + i * n] = 1.0;
        const double delta = (trial / 2) % 3 == 0 ? 1.0 : ((trial / 2) % 3 == 1 ? 0.75 : nan);
        factors out = reduced(make(n, n, Q, R), delta);
        factors ref = make(n, n, Q, R);
        if (reference(ref, delta, 100000)) {
            EXPECT_TRUE(same_values(out.R, ref.R) && same_values(out.U, ref.U) &&
                        same_values(out.Q, ref.Q));
        }
    }
}

}  // namespace
