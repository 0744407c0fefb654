// SPDX-License-Identifier: BSD-3-Clause
// The free-set Gram inverse: build, bordering (add) and rank-one downdate (remove).
#include "box/gram_inverse.h"

#include <cstring>

#include "box/blas64.h"

const char* gram_status_message(gram_status status) {
    switch (status) {
        case gram_status::ok:
            return "";
        case gram_status::not_square:
            return "m and n are not equal.";
        case gram_status::chol_failed:
            return "Cannot compute Chol decomposition of H'*H.";
        case gram_status::inverse_failed:
            return "Cannot compute the pseudoinverse.";
    }
    return "";
}

namespace {

template <class K>
gram_status build(std::int64_t m, std::int64_t n, std::int64_t k, const double* H, double* G) {
    // upper triangle of H'H, column by column
    for (std::int64_t i = 0; i < k; ++i) {
        for (std::int64_t j = 0; j <= i; ++j) {
            G[j + i * n] = K::dot(m, H + i * m, 1, H + j * m, 1);
        }
    }
    // An empty set has nothing to factorise; skipping LAPACK also keeps an order-0 call
    // with a leading dimension of 0 away from it.
    if (k == 0) return gram_status::ok;
    if (K::potrf('U', k, G, n) != 0) return gram_status::chol_failed;
    if (K::potri('U', k, G, n) != 0) return gram_status::inverse_failed;
    return gram_status::ok;
}

// Bordering by the Schur complement: with v = H'w, u = G v and s = 1/(w'w - v'u),
//   [G + s u u'   -s u]
//   [  -s u'       s  ]
// is the inverse Gram matrix of [H w].
template <class K>
void add(std::int64_t m, std::int64_t n, std::int64_t k, const double* H, double* G,
         const double* w, double* work) {
    double* v = work;
    double* u = work + n;
    K::gemv('T', m, k, 1.0, H, m, w, 1, 0.0, v, 1);
    K::symv('U', k, 1.0, G, n, v, 1, 0.0, u, 1);
    const double c = K::dot(m, w, 1, w, 1);
    const double d = K::dot(k, v, 1, u, 1);
    const double s = 1.0 / (c - d);
    K::syr('U', k, s, u, 1, G, n);
    double* border = G + k * n;  // column k, rows 0..k
    border[k] = s;
    K::copy(k, u, 1, border, 1);
    K::scal(k, -s, border, 1);
}

// Dropping column q of H: with g column q of G without its diagonal entry, the inverse
// for the remaining columns is G' - g g' / G(q,q), G' being G without row and column q.
template <class K>
void remove(std::int64_t n, std::int64_t k, double* G, double* work, std::int64_t p) {
    const std::int64_t q = p - 1;
    const double t = -1.0 / G[q + q * n];
    double* g = work;
    // rows 0..q-1 of column q, then row q right of the diagonal (the rest of column q
    // by symmetry), read along the row with stride n
    if (q > 0) std::memcpy(g, G + q * n, static_cast<std::size_t>(q) * sizeof(double));
    if (k > p) K::copy(k - p, G + q + (q + 1) * n, n, g + q, 1);
    // columns q+1..k-1 one place to the left, whole columns
    if (k - 1 > q) {
        std::memmove(G + q * n, G + (q + 1) * n,
                     static_cast<std::size_t>((k - 1 - q) * n) * sizeof(double));
    }
    // in each moved column c, rows q+1..c+1 one place up: drops row q
    for (std::int64_t c = q; c < k - 1; ++c) {
        std::memmove(G + q + c * n, G + q + 1 + c * n,
                     static_cast<std::size_t>(c - q + 1) * sizeof(double));
    }
    K::syr('U', k - 1, t, g, 1, G, n);
}

}  // namespace

template <class K>
gram_status gram_inverse_update_with(std::int64_t m, std::int64_t n, std::int64_t k,
                                     const double* H, double* G, const double* w, double* work,
                                     std::int64_t position) {
    if (m != n) return gram_status::not_square;
    if (position == 0) return build<K>(m, n, k, H, G);
    if (position < 0) {
        add<K>(m, n, k, H, G, w, work);
    } else {
        remove<K>(n, k, G, work, position);
    }
    return gram_status::ok;
}

template <class K>
double free_set_solve_with(std::int64_t m, std::int64_t n, std::int64_t k, const double* H,
                           const double* G, double* r, double* z, double* v) {
    K::gemv('T', m, k, 1.0, H, m, r, 1, 0.0, v, 1);   // v = H'r
    K::symv('U', k, 1.0, G, n, v, 1, 0.0, z, 1);      // z = G v
    K::gemv('N', m, k, -1.0, H, m, z, 1, 1.0, r, 1);  // r = r - H z
    const double norm = K::nrm2(m, r, 1);
    return norm * norm;
}

template gram_status gram_inverse_update_with<library_kernels>(std::int64_t, std::int64_t,
                                                               std::int64_t, const double*, double*,
                                                               const double*, double*,
                                                               std::int64_t);
template gram_status gram_inverse_update_with<plain_kernels>(std::int64_t, std::int64_t,
                                                             std::int64_t, const double*, double*,
                                                             const double*, double*, std::int64_t);
template double free_set_solve_with<library_kernels>(std::int64_t, std::int64_t, std::int64_t,
                                                     const double*, const double*, double*, double*,
                                                     double*);
template double free_set_solve_with<plain_kernels>(std::int64_t, std::int64_t, std::int64_t,
                                                   const double*, const double*, double*, double*,
                                                   double*);

gram_status gram_inverse_update(std::int64_t m, std::int64_t n, std::int64_t k, const double* H,
                                double* G, const double* w, double* work, std::int64_t position,
                                kernel_set set) {
    return with_kernels(n, set, [&](auto kernels) {
        return gram_inverse_update_with<decltype(kernels)>(m, n, k, H, G, w, work, position);
    });
}

double free_set_solve(std::int64_t m, std::int64_t n, std::int64_t k, const double* H,
                      const double* G, double* r, double* z, double* v, kernel_set set) {
    return with_kernels(n, set, [&](auto kernels) {
        return free_set_solve_with<decltype(kernels)>(m, n, k, H, G, r, z, v);
    });
}
