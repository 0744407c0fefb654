// SPDX-License-Identifier: BSD-3-Clause
// Time per reduction of reduce_qr_factors against fplll's fastest LLL on the same bases.
//
// For each n, delta and kind of basis, a set of random integer bases B (columns are the
// basis vectors) is reduced twice:
//   latbox: reduce_qr_factors on the QR factors of B. Timed: the reduction alone, from
//           copies of Q and R made beforehand. The Householder QR of B is timed apart.
//   fplll:  lll_reduction(b, delta, 0.51, LM_FAST, FT_DOUBLE) on the rows of b = B'
//           (mpz_t entries, doubles for the Gram-Schmidt data). Timed: the call alone,
//           on a copy of b made beforehand.
// Quality of both results: log2 |b1| (the first reduced vector) and the log2 of the
// orthogonality defect prod |b_i| / |det B|, averaged over the set. Each method runs three
// times on each basis and the fastest run counts (other work on the machine only ever adds
// time). Prints figures only.
#include <fplll.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "reduce/reduce_qr_factors.h"

namespace {

using vec = std::vector<double>;
using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// Thin Householder QR of the m-by-n B: Q m-by-n, R n-by-n upper triangular.
void householder_qr(const vec& B, int m, int n, vec& Q, vec& R) {
    vec A = B, V(static_cast<std::size_t>(m) * n, 0.0), beta(n, 0.0);
    for (int j = 0; j < n; ++j) {
        double norm = 0.0;
        for (int i = j; i < m; ++i) norm += A[i + j * m] * A[i + j * m];
        norm = std::sqrt(norm);
        const double alpha = A[j + j * m] > 0 ? -norm : norm;
        double vv = 0.0;
        for (int i = j; i < m; ++i) V[i + j * m] = A[i + j * m] - (i == j ? alpha : 0.0);
        for (int i = j; i < m; ++i) vv += V[i + j * m] * V[i + j * m];
        beta[j] = vv == 0.0 ? 0.0 : 2.0 / vv;
        for (int t = j; t < n; ++t) {
            double d = 0.0;
            for (int i = j; i < m; ++i) d += V[i + j * m] * A[i + t * m];
            for (int i = j; i < m; ++i) A[i + t * m] -= beta[j] * d * V[i + j * m];
        }
    }
    R.assign(static_cast<std::size_t>(n) * n, 0.0);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i <= j; ++i) R[i + j * n] = A[i + j * m];
    Q.assign(static_cast<std::size_t>(m) * n, 0.0);
    for (int t = 0; t < n; ++t) {
        double* x = &Q[static_cast<std::size_t>(t) * m];
        x[t] = 1.0;
        for (int j = n - 1; j >= 0; --j) {
            double d = 0.0;
            for (int i = j; i < m; ++i) d += V[i + j * m] * x[i];
            for (int i = j; i < m; ++i) x[i] -= beta[j] * d * V[i + j * m];
        }
    }
}

// Random integer bases, m-by-n, columns are the basis vectors.
//   uniform:  m = n, entries uniform in [-2^bits, 2^bits].
//   knapsack: m = n + 1, column j = (x_j, e_j) with x_j uniform in [0, 2^bits).
vec make_basis(bool knapsack, int n, int bits, std::mt19937_64& rng, int& m) {
    const std::int64_t top = std::int64_t{1} << bits;
    m = knapsack ? n + 1 : n;
    vec B(static_cast<std::size_t>(m) * n, 0.0);
    if (knapsack) {
        std::uniform_int_distribution<std::int64_t> x(0, top - 1);
        for (int j = 0; j < n; ++j) {
            B[0 + j * m] = static_cast<double>(x(rng));
            B[(j + 1) + j * m] = 1.0;
        }
    } else {
        std::uniform_int_distribution<std::int64_t> x(-top, top);
        for (auto& v : B) v = static_cast<double>(x(rng));
    }
    return B;
}

// log2 of the length of column j of the m-by-n C.
double log2_norm(const vec& C, int m, int j) {
    long double s = 0;
    for (int i = 0; i < m; ++i) s += static_cast<long double>(C[i + j * m]) * C[i + j * m];
    return 0.5 * std::log2(static_cast<double>(s));
}

struct quality {
    double log2_b1 = 0, log2_defect = 0;
};

// |b1| and the orthogonality defect of the reduced basis C, given log2 |det|.
quality measure(const vec& C, int m, int n, double log2_det) {
    quality q;
    q.log2_b1 = log2_norm(C, m, 0);
    for (int j = 0; j < n; ++j) q.log2_defect += log2_norm(C, m, j);
    q.log2_defect -= log2_det;
    return q;
}

struct result {
    double latbox_s = 0, fplll_s = 0, qr_s = 0;
    quality latbox, fplll;
};

result run(bool knapsack, int n, int bits, double delta, int count, int tries, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    result res;
    for (int rep = 0; rep < count; ++rep) {
        int m = 0;
        const vec B = make_basis(knapsack, n, bits, rng, m);
        vec Q, R;
        auto t0 = clock_type::now();
        householder_qr(B, m, n, Q, R);
        res.qr_s += seconds_since(t0);
        double log2_det = 0;
        for (int i = 0; i < n; ++i) log2_det += std::log2(std::fabs(R[i + i * n]));

        // latbox: timed over fresh copies of the factors, fastest of `tries` runs
        vec q, r, u, scratch(reduce_qr_scratch_size(n));
        double best = 1e30;
        for (int t = 0; t < tries; ++t) {
            q = Q;
            r = R;
            u.assign(static_cast<std::size_t>(n) * n, 0.0);
            for (int i = 0; i < n; ++i) u[i + i * n] = 1.0;
            t0 = clock_type::now();
            reduce_qr_factors(q.data(), r.data(), u.data(), m, n, delta, scratch.data());
            best = std::min(best, seconds_since(t0));
        }
        res.latbox_s += best;
        vec C(static_cast<std::size_t>(m) * n, 0.0);  // B*Uo, exact for these sizes
        for (int j = 0; j < n; ++j)
            for (int t = 0; t < n; ++t)
                if (u[t + j * n] != 0.0)
                    for (int i = 0; i < m; ++i) C[i + j * m] += B[i + t * m] * u[t + j * n];
        const quality ql = measure(C, m, n, log2_det);
        res.latbox.log2_b1 += ql.log2_b1 / count;
        res.latbox.log2_defect += ql.log2_defect / count;

        // fplll: rows of b are the basis vectors; fresh copies, fastest of `tries` runs
        fplll::ZZ_mat<mpz_t> b(n, m);
        best = 1e30;
        for (int t = 0; t < tries; ++t) {
            for (int j = 0; j < n; ++j)
                for (int i = 0; i < m; ++i) b[j][i] = static_cast<long>(B[i + j * m]);
            t0 = clock_type::now();
            fplll::lll_reduction(b, delta, 0.51, fplll::LM_FAST, fplll::FT_DOUBLE);
            best = std::min(best, seconds_since(t0));
        }
        res.fplll_s += best;
        vec F(static_cast<std::size_t>(m) * n);
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < m; ++i) F[i + j * m] = b[j][i].get_d();
        const quality qf = measure(F, m, n, log2_det);
        res.fplll.log2_b1 += qf.log2_b1 / count;
        res.fplll.log2_defect += qf.log2_defect / count;
    }
    res.latbox_s /= count;
    res.fplll_s /= count;
    res.qr_s /= count;
    return res;
}

}  // namespace

int main(int argc, char** argv) {
    // arguments: [scale of the set sizes (1)] [bits of the knapsack weights (25)]
    const int scale = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    const int knapsack_bits = argc > 2 ? std::min(40, std::max(4, std::atoi(argv[2]))) : 25;
    std::printf(
        "time per reduction: mean over the set of the fastest of 3 runs on each basis;\n"
        "latbox = reduce_qr_factors alone, qr = Householder QR of B (not in latbox);\n"
        "b1 = mean log2 |b1|, defect = mean log2 orthogonality defect\n");
    std::printf("%-8s %4s %5s %5s | %10s %10s %6s | %8s %8s | %9s %9s | %9s\n", "basis", "n",
                "bits", "delta", "latbox_us", "fplll_us", "ratio", "b1_lat", "b1_fp", "defect_l",
                "defect_f", "qr_us");
    for (bool knapsack : {false, true}) {
        for (double delta : {0.75, 0.99}) {
            for (int n : {8, 16, 32, 64, 100}) {
                const int bits = knapsack ? knapsack_bits : 12;
                const int count = scale * std::max(3, 800 / n);
                const result r = run(knapsack, n, bits, delta, count, 3, 1000 + n);
                std::printf(
                    "%-8s %4d %5d %5.2f | %10.1f %10.1f %6.2f | %8.3f %8.3f | %9.2f %9.2f | "
                    "%9.1f\n",
                    knapsack ? "knapsack" : "uniform", n, bits, delta, 1e6 * r.latbox_s,
                    1e6 * r.fplll_s, r.fplll_s / r.latbox_s, r.latbox.log2_b1, r.fplll.log2_b1,
                    r.latbox.log2_defect, r.fplll.log2_defect, 1e6 * r.qr_s);
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
