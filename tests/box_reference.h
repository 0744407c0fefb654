// SPDX-License-Identifier: BSD-3-Clause
// An accurate reference for the box-constrained solver, in quadruple precision (__float128,
// machine epsilon 1.9e-34) and without BLAS: upper-triangular R of a chosen condition
// number, and the minimiser of ||y - R x|| over the box -u <= x <= u by an active-set
// iteration whose free-set least-squares solves are Householder QR. At cond(R) = 1e14 the
// free-set solutions are accurate to about 1e-19 relative, far below the double errors
// that the reference measures.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace box_reference {

using quad = __float128;
using qvec = std::vector<quad>;
using vec = std::vector<double>;

inline quad qabs(quad a) {
    return a < 0 ? -a : a;
}

// Square root: long double first guess, two Newton steps (each doubles the correct bits).
inline quad qsqrt(quad a) {
    if (a <= 0) return 0;
    quad s = std::sqrt(static_cast<long double>(a));
    s = (s + a / s) / 2;
    return (s + a / s) / 2;
}

inline quad qnorm(const qvec& v) {
    quad m = 0;
    for (quad e : v) m = qabs(e) > m ? qabs(e) : m;
    if (m == 0) return 0;
    quad s = 0;
    for (quad e : v) s += (e / m) * (e / m);
    return m * qsqrt(s);
}

// Householder QR of the m-by-k column-major A (k <= m), in place: R in the upper triangle,
// the reflectors applied to the columns of B (m-by-c) as well. False for a zero column.
inline bool householder(qvec& A, std::int64_t m, std::int64_t k, qvec& B, std::int64_t c) {
    for (std::int64_t j = 0; j < k; ++j) {
        qvec v(A.begin() + j * m + j, A.begin() + (j + 1) * m);
        const quad norm = qnorm(v);
        if (norm == 0) return false;
        const quad alpha = v[0] > 0 ? -norm : norm;
        v[0] -= alpha;
        quad vv = 0;
        for (quad e : v) vv += e * e;
        auto reflect = [&](quad* col) {  // col(j..m-1) -= 2 (v'col / v'v) v
            quad s = 0;
            for (std::int64_t i = j; i < m; ++i) s += v[i - j] * col[i];
            s = 2 * s / vv;
            for (std::int64_t i = j; i < m; ++i) col[i] -= s * v[i - j];
        };
        for (std::int64_t cc = j; cc < k; ++cc) reflect(&A[cc * m]);
        for (std::int64_t cc = 0; cc < c; ++cc) reflect(&B[cc * m]);
    }
    return true;
}

// min ||b - A z|| for the m-by-k column-major A of full column rank.
inline qvec least_squares(qvec A, qvec b, std::int64_t m, std::int64_t k) {
    qvec z(k, 0);
    if (!householder(A, m, k, b, 1)) return z;
    for (std::int64_t i = k - 1; i >= 0; --i) {
        quad s = b[i];
        for (std::int64_t p = i + 1; p < k; ++p) s -= A[i + p * m] * z[p];
        z[i] = s / A[i + i * m];
    }
    return z;
}

// A random n-by-n matrix with orthonormal columns (Gram-Schmidt twice on a Gaussian one).
inline qvec random_orthogonal(std::int64_t n, std::mt19937_64& gen) {
    std::normal_distribution<double> normal;
    qvec Q(n * n);
    for (quad& e : Q) e = normal(gen);
    for (std::int64_t j = 0; j < n; ++j) {
        for (int pass = 0; pass < 2; ++pass) {
            for (std::int64_t p = 0; p < j; ++p) {
                quad d = 0;
                for (std::int64_t i = 0; i < n; ++i) d += Q[i + p * n] * Q[i + j * n];
                for (std::int64_t i = 0; i < n; ++i) Q[i + j * n] -= d * Q[i + p * n];
            }
        }
        const quad norm = qnorm(qvec(Q.begin() + j * n, Q.begin() + (j + 1) * n));
        for (std::int64_t i = 0; i < n; ++i) Q[i + j * n] /= norm;
    }
    return Q;
}

// The triangle of the QR factorisation of A = U diag(s) V', U and V random orthogonal and
// s spread geometrically from 1 to 1/cond, rounded to double with exact zeros below the
// diagonal: cond(R) = cond up to the rounding of R (relative 2e-16 * cond).
inline vec conditioned_triangle(std::int64_t n, double cond, std::mt19937_64& gen) {
    const qvec U = random_orthogonal(n, gen), V = random_orthogonal(n, gen);
    qvec A(n * n, 0), none;
    for (std::int64_t p = 0; p < n; ++p) {
        const quad s = n == 1 ? 1
                              : static_cast<quad>(std::pow(static_cast<long double>(cond),
                                                           -static_cast<long double>(p) / (n - 1)));
        for (std::int64_t j = 0; j < n; ++j) {
            const quad sv = s * V[j + p * n];
            for (std::int64_t i = 0; i < n; ++i) A[i + j * n] += U[i + p * n] * sv;
        }
    }
    householder(A, n, n, none, 0);
    vec R(n * n, 0.0);
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i <= j; ++i) R[i + j * n] = static_cast<double>(A[i + j * n]);
    }
    return R;
}

// y - R x in quadruple precision, and R'(y - R x).
inline qvec residual(std::int64_t n, const vec& R, const vec& y, const qvec& x) {
    qvec r(y.begin(), y.end());
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i <= j; ++i) r[i] -= static_cast<quad>(R[i + j * n]) * x[j];
    }
    return r;
}
inline qvec dual(std::int64_t n, const vec& R, const qvec& r) {
    qvec d(n, 0);
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i <= j; ++i) d[j] += static_cast<quad>(R[i + j * n]) * r[i];
    }
    return d;
}
inline quad objective(std::int64_t n, const vec& R, const vec& y, const qvec& x) {
    quad f = 0;
    for (quad e : residual(n, R, y, x)) f += e * e;
    return f / 2;
}
inline qvec widen(const vec& x) {
    return qvec(x.begin(), x.end());
}

struct solution {
    qvec x;
    bool ok;  // the iteration ended with the optimality conditions met
    std::int64_t passes;
};

// min ||y - R x|| over the box for a nonsingular upper-triangular R (n-by-n, column-major),
// by the bounded-variable active-set iteration: from every variable at -u, free the bound
// variable whose dual R'(y - R x) points out of the box most, solve on the free set, and
// while that solution leaves the box step towards it as far as the box allows, sending the
// variables that reach a bound there. A freed variable whose solution passes its own bound
// goes back and is passed over until the next pass. Ends when no bound variable's dual
// exceeds 1e-30 of its scale (about 1e4 quadruple roundings).
inline solution solve(std::int64_t n, const vec& R, const vec& y, double u) {
    solution s{qvec(n, -static_cast<quad>(u)), false, 0};
    std::vector<int> side(n, -1);  // -1 at -u, +1 at +u, 0 free
    const quad qu = u;
    quad rnorm = 0, ynorm = qnorm(widen(y));
    for (double e : R) rnorm += static_cast<quad>(e) * e;
    rnorm = qsqrt(rnorm);
    for (s.passes = 1; s.passes <= 20 * n + 20; ++s.passes) {
        const qvec d = dual(n, R, residual(n, R, y, s.x));
        std::vector<bool> passed_over(n, false);
        for (;;) {
            std::int64_t e = -1;
            quad worst = 1e-30 * rnorm * (ynorm + rnorm * qnorm(s.x));
            for (std::int64_t j = 0; j < n; ++j) {
                const quad v = side[j] * d[j];  // < 0 when the dual points into the box
                if (side[j] != 0 && !passed_over[j] && -v > worst) worst = -v, e = j;
            }
            if (e < 0) {  // optimal, unless a variable was passed over
                s.ok = std::find(passed_over.begin(), passed_over.end(), true) == passed_over.end();
                return s;
            }
            const int from = side[e];
            side[e] = 0;
            bool freed = true;  // e still free after the first solve
            for (bool first = true;; first = false) {
                std::vector<std::int64_t> F;
                for (std::int64_t j = 0; j < n; ++j) {
                    if (side[j] == 0) F.push_back(j);
                }
                qvec rhs(y.begin(), y.end()), H(n * F.size());
                for (std::int64_t j = 0; j < n; ++j) {
                    if (side[j] == 0) continue;
                    for (std::int64_t i = 0; i <= j; ++i)
                        rhs[i] -= static_cast<quad>(R[i + j * n]) * s.x[j];
                }
                for (std::size_t a = 0; a < F.size(); ++a) {
                    for (std::int64_t i = 0; i < n; ++i) H[i + a * n] = R[i + F[a] * n];
                }
                const qvec z = least_squares(H, rhs, n, static_cast<std::int64_t>(F.size()));
                if (first) {
                    std::int64_t pe = 0;
                    while (F[pe] != e) ++pe;
                    if (from * z[pe] > qu) {  // passes the bound it left: back, try another
                        side[e] = from;
                        passed_over[e] = true;
                        freed = false;
                        break;
                    }
                }
                quad alpha = 1;
                for (std::size_t a = 0; a < F.size(); ++a) {
                    const quad xj = s.x[F[a]];
                    if (z[a] > qu) alpha = std::min(alpha, (qu - xj) / (z[a] - xj));
                    if (z[a] < -qu) alpha = std::min(alpha, (-qu - xj) / (z[a] - xj));
                }
                bool moved = false;
                for (std::size_t a = 0; a < F.size(); ++a) {
                    const std::int64_t j = F[a];
                    s.x[j] += alpha * (z[a] - s.x[j]);
                    if (alpha < 1 && s.x[j] >= qu - 1e-32 * qu)
                        s.x[j] = qu, side[j] = 1, moved = true;
                    if (alpha < 1 && s.x[j] <= -qu + 1e-32 * qu)
                        s.x[j] = -qu, side[j] = -1, moved = true;
                }
                if (alpha >= 1 || !moved) break;
            }
            if (freed) break;
        }
    }
    return s;
}

}  // namespace box_reference
