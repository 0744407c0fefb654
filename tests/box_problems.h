// SPDX-License-Identifier: BSD-3-Clause
// Test problems and independent checkers for the box-constrained solver, in long double
// without BLAS (no code shared with the solver): random R of a chosen conditioning, the
// solver run as the gateway sets it up, the KKT conditions, and brute force for n <= 8.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "box/bvls.h"

namespace box_test {

using vec = std::vector<double>;
using ld = long double;
using lvec = std::vector<ld>;

// Solves M z = h for a symmetric positive definite k-by-k M (Cholesky, M overwritten).
inline lvec spd_solve(lvec M, lvec h, std::int64_t k) {
    for (std::int64_t j = 0; j < k; ++j) {
        for (std::int64_t p = 0; p < j; ++p) M[j + j * k] -= M[p + j * k] * M[p + j * k];
        M[j + j * k] = std::sqrt(M[j + j * k]);
        for (std::int64_t i = j + 1; i < k; ++i) {
            for (std::int64_t p = 0; p < j; ++p) M[j + i * k] -= M[p + j * k] * M[p + i * k];
            M[j + i * k] /= M[j + j * k];  // upper factor U: M = U'U
        }
    }
    for (std::int64_t i = 0; i < k; ++i) {  // U' w = h
        for (std::int64_t p = 0; p < i; ++p) h[i] -= M[p + i * k] * h[p];
        h[i] /= M[i + i * k];
    }
    for (std::int64_t i = k - 1; i >= 0; --i) {  // U z = w
        for (std::int64_t p = i + 1; p < k; ++p) h[i] -= M[i + p * k] * h[p];
        h[i] /= M[i + i * k];
    }
    return h;
}

// Least squares min ||b - C(:,cols) z|| for the n-row column-major C (normal equations).
inline lvec least_squares(const double* C, std::int64_t n, const std::vector<std::int64_t>& cols,
                          const lvec& b) {
    const auto k = static_cast<std::int64_t>(cols.size());
    lvec M(k * k), h(k);
    for (std::int64_t a = 0; a < k; ++a) {
        for (std::int64_t i = 0; i < n; ++i) h[a] += (ld)C[i + cols[a] * n] * b[i];
        for (std::int64_t c = 0; c < k; ++c) {
            for (std::int64_t i = 0; i < n; ++i)
                M[a + c * k] += (ld)C[i + cols[a] * n] * C[i + cols[c] * n];
        }
    }
    return spd_solve(M, h, k);
}

struct problem {
    std::int64_t n;
    vec R;  // n*n upper triangular
    vec y;
    double u;
};

// R = chol(A'A) (the R of A's QR factorisation up to signs) for A Gaussian (cond <= 1)
// or A'A = V diag(s^2) V' with singular values s spread geometrically from 1 to 1/cond. y = R x0 (+
// noise) with x0 uniform in
// [-2u, 2u]: about half of the unconstrained solution lies outside the box.
inline problem make_problem(std::int64_t n, double cond, std::uint64_t seed, double u = 1.0,
                            double noise = 0.0) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    lvec A(n * n), M(n * n, 0);
    for (ld& v : A) v = normal(gen);
    if (cond > 1.0) {  // orthonormal columns (Gram-Schmidt twice), scaled by s
        for (std::int64_t j = 0; j < n; ++j) {
            for (int pass = 0; pass < 2; ++pass) {
                for (std::int64_t k = 0; k < j; ++k) {
                    ld d = 0;
                    for (std::int64_t i = 0; i < n; ++i) d += A[i + k * n] * A[i + j * n];
                    for (std::int64_t i = 0; i < n; ++i) A[i + j * n] -= d * A[i + k * n];
                }
            }
            ld norm = 0;
            for (std::int64_t i = 0; i < n; ++i) norm += A[i + j * n] * A[i + j * n];
            const ld s = n == 1 ? 1 : std::pow((ld)cond, -(ld)j / (n - 1));
            for (std::int64_t i = 0; i < n; ++i) A[i + j * n] *= s / std::sqrt(norm);
        }
        for (std::int64_t i = 0; i < n; ++i) {  // A = (V S)', so that A'A = V S^2 V'
            for (std::int64_t j = i + 1; j < n; ++j) std::swap(A[i + j * n], A[j + i * n]);
        }
    }
    for (std::int64_t i = 0; i < n; ++i) {  // M = A'A
        for (std::int64_t j = 0; j < n; ++j) {
            for (std::int64_t p = 0; p < n; ++p) M[i + j * n] += A[p + i * n] * A[p + j * n];
        }
    }
    problem pr{n, vec(n * n, 0.0), vec(n), u};
    for (std::int64_t j = 0; j < n; ++j) {  // upper Cholesky factor of M
        for (std::int64_t p = 0; p < j; ++p) M[j + j * n] -= M[p + j * n] * M[p + j * n];
        M[j + j * n] = std::sqrt(M[j + j * n]);
        for (std::int64_t i = j + 1; i < n; ++i) {
            for (std::int64_t p = 0; p < j; ++p) M[j + i * n] -= M[p + j * n] * M[p + i * n];
            M[j + i * n] /= M[j + j * n];
        }
        for (std::int64_t i = 0; i <= j; ++i) pr.R[i + j * n] = (double)M[i + j * n];
    }
    std::uniform_real_distribution<double> uniform(-2.0 * u, 2.0 * u);
    vec x0(n);
    for (double& v : x0) v = uniform(gen);
    for (std::int64_t i = 0; i < n; ++i) {
        ld s = 0;
        for (std::int64_t j = i; j < n; ++j) s += (ld)pr.R[i + j * n] * x0[j];
        pr.y[i] = (double)s + noise * normal(gen);
    }
    return pr;
}

inline lvec residual(const problem& p, const vec& x) {
    lvec r(p.y.begin(), p.y.end());
    for (std::int64_t j = 0; j < p.n; ++j) {
        for (std::int64_t i = 0; i < p.n; ++i) r[i] -= (ld)p.R[i + j * p.n] * x[j];
    }
    return r;
}

inline ld objective(const problem& p, const vec& x) {
    ld f = 0;
    for (ld v : residual(p, x)) f += v * v;
    return f;
}

inline ld norm(const vec& v) {
    ld s = 0;
    for (double e : v) s += (ld)e * e;
    return std::sqrt(s);
}

// ||R||_F * ||R^-1||_F: the 2-norm condition number within a factor n.
inline double condition(const problem& p) {
    const std::int64_t n = p.n;
    ld s = 0;
    for (std::int64_t c = 0; c < n; ++c) {  // column c of R^-1 by back substitution
        lvec col(n, 0);
        for (std::int64_t i = c; i >= 0; --i) {
            ld v = i == c ? 1 : 0;
            for (std::int64_t j = i + 1; j <= c; ++j) v -= (ld)p.R[i + j * n] * col[j];
            col[i] = v / p.R[i + i * n];
            s += col[i] * col[i];
        }
    }
    return (double)(norm(p.R) * std::sqrt(s));
}

// Worst violation of the KKT conditions of min ||y - R x||^2 over the box, relative to
// n eps cond^2 (||R||^2 ||x|| + ||R|| ||y||); <= 1 passes. (The solve through the inverse
// Gram matrix loses accuracy like the normal equations: the measured violations grow
// like cond^2 and stay about 40 times below this.) With g = R'(R x - y): g = 0 inside
// the box, g >= 0 at -u, g <= 0 at +u; x outside the box fails outright.
inline double kkt_ratio(const problem& p, const vec& x) {
    const lvec r = residual(p, x);
    const ld rn = norm(p.R);
    const ld cond = condition(p);
    const ld tol =
        p.n * 2.220446049250313e-16L * cond * cond * (rn * rn * norm(x) + rn * norm(p.y)) + 1e-300L;
    ld worst = 0;
    for (std::int64_t j = 0; j < p.n; ++j) {
        ld g = 0;
        for (std::int64_t i = 0; i < p.n; ++i) g -= (ld)p.R[i + j * p.n] * r[i];
        if (!(std::fabs(x[j]) <= p.u)) return INFINITY;
        const ld v = p.u == 0       ? 0
                     : x[j] == -p.u ? std::fmax(-g, 0.0L)
                     : x[j] == p.u  ? std::fmax(g, 0.0L)
                                    : std::fabs(g);
        worst = std::fmax(worst, v / tol);
    }
    return (double)worst;
}

// min ||y - R x||^2 over the box by trying all 3^n splits into lower, upper and free:
// least squares on the free columns with the others at their bound; best feasible one.
inline ld brute_force_minimum(const problem& p) {
    ld best = INFINITY;
    std::int64_t splits = 1;
    for (std::int64_t j = 0; j < p.n; ++j) splits *= 3;
    for (std::int64_t code = 0; code < splits; ++code) {
        vec x(p.n, 0.0);
        std::vector<std::int64_t> free;
        for (std::int64_t j = 0, c = code; j < p.n; ++j, c /= 3) {
            if (c % 3 == 2)
                free.push_back(j);
            else
                x[j] = c % 3 == 0 ? -p.u : p.u;
        }
        // x is 0 at the free entries, so residual() is y minus the bound part
        const lvec z = least_squares(p.R.data(), p.n, free, residual(p, x));
        bool feasible = true;
        for (std::size_t a = 0; a < free.size(); ++a) {
            feasible = feasible && std::fabs(z[a]) <= p.u * (1 + 1e-12L);
            x[free[a]] = (double)std::fmax(-(ld)p.u, std::fmin((ld)p.u, z[a]));
        }
        if (feasible) best = std::fmin(best, objective(p, x));
    }
    return best;
}

// A 3x3 problem of condition number 2e12 whose box does not bind (u = 1.6e9): y = R x0 for
// x0 = 1e9 times the right singular vector of the smallest singular value, so that y lies
// along the direction R nearly annihilates and x0 ~ 1e9. R\y fits y to 1e-18; the solver
// ends normally on a point that leaves all of y unexplained (||y - R x||^2 ~ ||y||^2).
inline problem nearly_singular_3x3() {
    return {3,
            {-0.85720270553365041, 0, 0, 0.50741655216343906, -1.756699070230233e-07, 0,
             0.087931588273697167, -7.0134382820660353e-07, 2.3478702990388233e-12},
            {-1.4040897714911865e-16, -1.6155297161432475e-09, -0.00049999999999739012},
            1.6e9};
}

// The solver set up as the gateway does: cold start for an empty index set, otherwise a
// warm start from the index-set vector (n+2 values, morrit's layout).
struct run {
    bvls_result result;
    vec x;
    std::vector<std::int64_t> slot;  // the working index set at the exit
};

inline run solve(const problem& p, const vec& index_set = {}) {
    const std::int64_t n = p.n;
    run out{{bvls_exit::converged, 0}, vec(n, 0.0), std::vector<std::int64_t>(n + 2, 0)};
    vec dual(n, 0.0), columns(n * (n + 2), 0.0), z(n, 0.0), work(2 * n, 0.0), G(n * n, 0.0);
    bvls_state st{n, p.R.data(),     p.y.data(), p.u,         out.x.data(), out.slot.data(), n,
                  0, columns.data(), z.data(),   dual.data(), work.data(),  G.data()};
    for (std::int64_t s = 1; s <= n; ++s) {
        out.slot[s] = index_set.empty() ? -s : (std::int64_t)index_set[s];
        if (index_set.empty()) out.x[s - 1] = -p.u;
    }
    if (!index_set.empty()) {
        st.n_bound = (std::int64_t)index_set[n + 1];
        for (std::int64_t l = 1; l <= st.n_bound; ++l) {
            out.x[std::llabs(out.slot[l]) - 1] = out.slot[l] < 0 ? -p.u : p.u;
        }
    }
    st.n_free = n - st.n_bound;
    out.result = bvls_iterate(st, !index_set.empty());
    return out;
}

// The solver's scratch for n variables, sized as the gateways size it (every variable free).
struct solver_scratch {
    std::vector<std::int64_t> slot;
    vec dual, columns, z, work, G;
    explicit solver_scratch(std::int64_t n)
        : slot(n + 2), dual(n), columns(n * (n + 2)), z(n), work(2 * n), G(n * n) {}
    bvls_scratch blocks() {
        return {slot.data(), dual.data(), columns.data(), z.data(), work.data(), G.data()};
    }
};

// An exit's name, for messages; every failure but a breakdown is "failure".
inline const char* exit_name(bvls_exit e) {
    switch (e) {
        case bvls_exit::converged:
            return "converged";
        case bvls_exit::optimal:
            return "optimal";
        case bvls_exit::all_free:
            return "all_free";
        case bvls_exit::iteration_cap:
            return "iteration_cap";
        case bvls_exit::breakdown:
            return "breakdown";
        default:
            return "failure";
    }
}

}  // namespace box_test
