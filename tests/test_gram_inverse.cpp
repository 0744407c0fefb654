// SPDX-License-Identifier: BSD-3-Clause
// The free-set Gram inverse on plain arrays: a build is (H'H)^-1, adds equal a build,
// each remove equals a fresh build over the remaining columns, the free-set solve equals
// a direct least-squares solve, and the build reports dependent columns.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>

#include "box/blas64.h"
#include "box/gram_inverse.h"
#include "tests/box_problems.h"

using namespace box_test;

namespace {

// H(:,0..k-1) = the columns `order` of a random n-by-n A; the rest of H is junk that
// must not matter.
vec columns_of(std::int64_t n, const std::vector<std::int64_t>& order, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    vec A(n * n), H(n * n, 1e300);
    for (double& v : A) v = normal(gen);
    for (std::size_t c = 0; c < order.size(); ++c) std::copy_n(&A[order[c] * n], n, &H[c * n]);
    return H;
}

// Max difference of the upper triangles of the leading k-by-k blocks, relative to b's.
double upper_difference(const vec& a, const vec& b, std::int64_t n, std::int64_t k) {
    double diff = 0, scale = 0;
    for (std::int64_t j = 0; j < k; ++j) {
        for (std::int64_t i = 0; i <= j; ++i) {
            diff = std::max(diff, std::fabs(a[i + j * n] - b[i + j * n]));
            scale = std::max(scale, std::fabs(b[i + j * n]));
        }
    }
    return diff / scale;
}

// G built from scratch; entries below the diagonal set to junk that must not matter.
vec build(const vec& H, std::int64_t n, std::int64_t k) {
    vec G(n * n, 0.0);
    EXPECT_EQ(gram_inverse_update(n, n, k, H.data(), G.data(), nullptr, nullptr, 0),
              gram_status::ok);
    for (std::int64_t j = 0; j < n; ++j) std::fill(&G[j * n + j + 1], &G[j * n + n], -1e300);
    return G;
}

std::vector<std::int64_t> permutation(std::int64_t n, std::int64_t k) {
    std::vector<std::int64_t> order;
    for (std::int64_t j = 0; j < k; ++j) order.push_back((7 * j + 2) % n);  // gcd(7, n) = 1
    return order;
}

}  // namespace

TEST(blas_binding, routines_take_64_bit_integers) {
    EXPECT_TRUE(blas64_in_use());
}

// Every column of a build solves (H'H) g = e_c, and adds from an empty set reproduce it.
TEST(gram_inverse, build_and_adds) {
    for (std::int64_t n : {1, 2, 6, 20, 40}) {
        const vec H = columns_of(n, permutation(n, n), n);
        const vec B = build(H, n, n);
        vec G(n * n, 7.0), work(2 * n, 0.0);  // stale values outside the block must not matter
        for (std::int64_t k = 0; k < n; ++k) {
            gram_inverse_update(n, n, k, H.data(), G.data(), &H[k * n], work.data(), -1);
            if (k == 0) {  // add to an empty set: G(0,0) = 1/(w'w)
                EXPECT_DOUBLE_EQ(G[0], 1.0 / std::inner_product(&H[0], &H[n], &H[0], 0.0));
            }
        }
        EXPECT_LT(upper_difference(G, B, n, n), 1e-10) << "n=" << n;
        lvec M(n * n, 0);  // H'H
        for (std::int64_t a = 0; a < n; ++a) {
            for (std::int64_t b = 0; b < n; ++b) {
                for (std::int64_t i = 0; i < n; ++i)
                    M[a + b * n] += (ld)H[i + a * n] * H[i + b * n];
            }
        }
        for (std::int64_t c = 0; c < n; ++c) {
            lvec e(n, 0);
            e[c] = 1;
            const lvec g = spd_solve(M, e, n);
            for (std::int64_t r = 0; r < n; ++r) {
                const double got = r <= c ? B[r + c * n] : B[c + r * n];
                EXPECT_NEAR(got, (double)g[r], 1e-9 * (1 + std::fabs((double)g[r])));
            }
        }
    }
}

TEST(gram_inverse, each_remove_position_equals_a_fresh_build) {
    for (std::int64_t n : {1, 2, 6, 15}) {
        for (std::int64_t k = 1; k <= n; ++k) {
            for (std::int64_t p : {std::int64_t{1}, (k + 1) / 2, k}) {  // first, inner, last
                const std::vector<std::int64_t> order = permutation(n, k);
                vec G = build(columns_of(n, order, 17 * n + k), n, k);
                vec work(2 * n, 0.0);
                ASSERT_EQ(gram_inverse_update(n, n, k, nullptr, G.data(), nullptr, work.data(), p),
                          gram_status::ok);
                std::vector<std::int64_t> rest = order;
                rest.erase(rest.begin() + (p - 1));
                if (rest.empty()) continue;  // k = 1: an empty store, nothing to compare
                const vec B = build(columns_of(n, rest, 17 * n + k), n, k - 1);
                EXPECT_LT(upper_difference(G, B, n, k - 1), 1e-10) << n << " " << k << " " << p;
            }
        }
    }
}

TEST(gram_inverse, free_set_solve_is_least_squares) {
    for (std::int64_t n : {1, 4, 9, 30}) {
        for (std::int64_t k : {std::int64_t{0}, std::int64_t{1}, n / 2, n}) {
            const std::vector<std::int64_t> order = permutation(n, k);
            const vec H = columns_of(n, order, 31 * n + k);
            const vec G = build(H, n, k);
            std::mt19937_64 gen(n + k);
            std::normal_distribution<double> normal;
            vec b(n);
            for (double& v : b) v = normal(gen);
            vec r = b, z(n, -5.0), v(n, -6.0);
            const double rr =
                free_set_solve(n, n, k, H.data(), G.data(), r.data(), z.data(), v.data());
            std::vector<std::int64_t> first_k(k);
            for (std::int64_t c = 0; c < k; ++c) first_k[c] = c;
            const lvec want = least_squares(H.data(), n, first_k, lvec(b.begin(), b.end()));
            ld res2 = 0;
            for (std::int64_t i = 0; i < n; ++i) {
                ld s = b[i];
                for (std::int64_t c = 0; c < k; ++c) s -= (ld)H[i + c * n] * want[c];
                EXPECT_NEAR(r[i], (double)s, 1e-9);
                res2 += s * s;
            }
            for (std::int64_t c = 0; c < n; ++c) {
                if (c < k) {
                    EXPECT_NEAR(z[c], (double)want[c], 1e-9 * (1 + std::fabs((double)want[c])));
                } else {
                    EXPECT_EQ(z[c], -5.0);  // later entries untouched
                }
            }
            if (k == 0) {  // r, v untouched
                EXPECT_EQ(r, b);
                EXPECT_EQ(v, vec(n, -6.0));
            }
            EXPECT_NEAR(rr, (double)res2, 1e-9 * (1 + (double)res2));
        }
    }
}

TEST(gram_inverse, build_failures_and_trivial_cases) {
    // dependent columns: a zero column, a repeated column, a multiple
    for (const vec& cols :
         {vec{1, 2, 3, 0, 0, 0}, vec{1, 2, 3, 1, 2, 3}, vec{1, -2, 0.5, 2, -4, 1}}) {
        vec H(9, 0.0), G(9, 0.0);
        std::copy(cols.begin(), cols.end(), H.begin());
        const gram_status s = gram_inverse_update(3, 3, 2, H.data(), G.data(), nullptr, nullptr, 0);
        EXPECT_EQ(s, gram_status::chol_failed);
        EXPECT_STREQ(gram_status_message(s), "Cannot compute Chol decomposition of H'*H.");
    }
    EXPECT_STREQ(gram_status_message(gram_status::inverse_failed),
                 "Cannot compute the pseudoinverse.");
    EXPECT_STREQ(gram_status_message(gram_status::not_square), "m and n are not equal.");
    // m != n: reported in every mode before anything is touched
    vec H(12, 1.0), G(9, 4.0), work(6, 5.0);
    for (std::int64_t position : {0, -1, 1}) {
        EXPECT_EQ(gram_inverse_update(4, 3, 1, H.data(), G.data(), H.data(), work.data(), position),
                  gram_status::not_square);
        EXPECT_EQ(G, vec(9, 4.0));
        EXPECT_EQ(work, vec(6, 5.0));
    }
    // build with k = 0 computes nothing; remove from k = 1 touches nothing else
    EXPECT_EQ(gram_inverse_update(3, 3, 0, H.data(), G.data(), nullptr, nullptr, 0),
              gram_status::ok);
    EXPECT_EQ(G, vec(9, 4.0));
    G[0] = 0.25;
    EXPECT_EQ(gram_inverse_update(3, 3, 1, nullptr, G.data(), nullptr, work.data(), 1),
              gram_status::ok);
    EXPECT_TRUE(std::all_of(G.begin() + 1, G.end(), [](double g) { return g == 4.0; }));
}
