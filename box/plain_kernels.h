// SPDX-License-Identifier: BSD-3-Clause
// The solver's eleven vector and matrix operations as plain loops, with the calls and the
// mathematics of the BLAS/LAPACK routines they stand in for (dnrm2 ddot daxpy dscal dcopy
// dtrmv dgemv dsymv dsyr dpotrf dpotri; blas64.h). On small problems the library's fixed
// cost per call outweighs the work; blas64.h chooses between the two sets.
//
// What they cover is what the solver calls: the matrix routines take uplo 'U' and diag 'N'
// only (other values are read as those) and unit increments; the vector routines take any
// positive increment. Loops run in the order of the reference BLAS, except that a sum of
// products over a unit-stride column is formed from interleaved partial sums
// (sum_of_products) and dsymv forms each column's two parts one after the other; the
// roundings differ from an optimised library's, which sums in its own order and may fuse
// multiply-adds. With or without SSE2 the results are the same bits.
#pragma once

#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

struct plain_kernels {
    using index = std::int64_t;

    // y(0..n-1) += t x(0..n-1) with unit strides, the heart of the column-wise loops. Each
    // entry is one product and one sum, so two at a time (SSE2) give the same bits.
    static void add_multiple(index n, double t, const double* x, double* y) {
        index i = 0;
#if defined(__SSE2__)
        const __m128d tt = _mm_set1_pd(t);
        for (; i + 2 <= n; i += 2) {
            _mm_storeu_pd(y + i,
                          _mm_add_pd(_mm_loadu_pd(y + i), _mm_mul_pd(tt, _mm_loadu_pd(x + i))));
        }
#endif
        for (; i < n; ++i) y[i] += t * x[i];
    }

    // y(0..n-1) += t0 c0 + t1 c1 + t2 c2 + t3 c3 with unit strides: four add_multiple calls
    // in that order, with one pass over y. Each entry takes the same four products and sums
    // in the same order, so the bits are those of the four calls.
    static void add_multiples(index n, const double* t, const double* c0, const double* c1,
                              const double* c2, const double* c3, double* y) {
        index i = 0;
#if defined(__SSE2__)
        const __m128d t0 = _mm_set1_pd(t[0]), t1 = _mm_set1_pd(t[1]);
        const __m128d t2 = _mm_set1_pd(t[2]), t3 = _mm_set1_pd(t[3]);
        for (; i + 2 <= n; i += 2) {
            __m128d v = _mm_add_pd(_mm_loadu_pd(y + i), _mm_mul_pd(t0, _mm_loadu_pd(c0 + i)));
            v = _mm_add_pd(v, _mm_mul_pd(t1, _mm_loadu_pd(c1 + i)));
            v = _mm_add_pd(v, _mm_mul_pd(t2, _mm_loadu_pd(c2 + i)));
            _mm_storeu_pd(y + i, _mm_add_pd(v, _mm_mul_pd(t3, _mm_loadu_pd(c3 + i))));
        }
#endif
        for (; i < n; ++i) {
            y[i] = (((y[i] + t[0] * c0[i]) + t[1] * c1[i]) + t[2] * c2[i]) + t[3] * c3[i];
        }
    }

    // x(0..n-1)' y(0..n-1) with unit strides. Blocks of eight entries go to eight partial
    // sums (entry i to sum i mod 8), which fold to two: t0 = (s0 + s4) + (s2 + s6) and
    // t1 = (s1 + s5) + (s3 + s7). The rest is added in pairs, entries at even offsets to t0
    // and odd ones to t1, the last one of an odd count to t0; the result is t0 + t1. Below
    // eight entries that is two partial sums, of the even and of the odd positions.
    // Eight independent sums keep the adder busy; two at a time (SSE2) or one at a time,
    // the bits are the same.
    static double sum_of_products(index n, const double* x, const double* y) {
        index i = 0;
#if defined(__SSE2__)
        __m128d t = _mm_setzero_pd();
        if (n >= 8) {
            __m128d s01 = _mm_setzero_pd(), s23 = s01, s45 = s01, s67 = s01;
            for (; i + 8 <= n; i += 8) {
                s01 = _mm_add_pd(s01, _mm_mul_pd(_mm_loadu_pd(x + i), _mm_loadu_pd(y + i)));
                s23 = _mm_add_pd(s23, _mm_mul_pd(_mm_loadu_pd(x + i + 2), _mm_loadu_pd(y + i + 2)));
                s45 = _mm_add_pd(s45, _mm_mul_pd(_mm_loadu_pd(x + i + 4), _mm_loadu_pd(y + i + 4)));
                s67 = _mm_add_pd(s67, _mm_mul_pd(_mm_loadu_pd(x + i + 6), _mm_loadu_pd(y + i + 6)));
            }
            t = _mm_add_pd(_mm_add_pd(s01, s45), _mm_add_pd(s23, s67));
        }
        for (; i + 2 <= n; i += 2) {
            t = _mm_add_pd(t, _mm_mul_pd(_mm_loadu_pd(x + i), _mm_loadu_pd(y + i)));
        }
        double t0 = _mm_cvtsd_f64(t);
        const double t1 = _mm_cvtsd_f64(_mm_unpackhi_pd(t, t));
#else
        double t0 = 0.0, t1 = 0.0;
        if (n >= 8) {
            double s[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
            for (; i + 8 <= n; i += 8) {
                for (int k = 0; k < 8; ++k) s[k] += x[i + k] * y[i + k];
            }
            t0 = (s[0] + s[4]) + (s[2] + s[6]);
            t1 = (s[1] + s[5]) + (s[3] + s[7]);
        }
        for (; i + 2 <= n; i += 2) {
            t0 += x[i] * y[i];
            t1 += x[i + 1] * y[i + 1];
        }
#endif
        if (i < n) t0 += x[i] * y[i];
        return t0 + t1;
    }

    // y(0..n-1) = x(0..n-1) with unit strides.
    static void copy_unit(index n, const double* x, double* y) {
        index i = 0;
#if defined(__SSE2__)
        for (; i + 2 <= n; i += 2) _mm_storeu_pd(y + i, _mm_loadu_pd(x + i));
#endif
        for (; i < n; ++i) y[i] = x[i];
    }

    // ||x||: the plain sum of squares while it is safe from overflow and from the loss of
    // small terms, else scaled by the largest magnitude (as the reference dnrm2 scales).
    // NaN in x gives NaN, an infinite entry +Inf.
    static double nrm2(index n, const double* x, index incx) {
        double s = 0.0;
        if (incx == 1) {
            s = sum_of_products(n, x, x);
        } else {
            for (index i = 0; i < n; ++i) s += x[i * incx] * x[i * incx];
        }
        if (s >= 1e-280 && s <= 1e280) return std::sqrt(s);
        if (std::isnan(s)) return s;  // a NaN entry (or Inf and NaN)
        double largest = 0.0;
        for (index i = 0; i < n; ++i) {
            const double a = std::fabs(x[i * incx]);
            if (a > largest) largest = a;
        }
        if (largest == 0.0 || std::isinf(largest)) return largest;
        s = 0.0;
        for (index i = 0; i < n; ++i) {
            const double t = x[i * incx] / largest;
            s += t * t;
        }
        return largest * std::sqrt(s);
    }

    static double dot(index n, const double* x, index incx, const double* y, index incy) {
        if (incx == 1 && incy == 1) return sum_of_products(n, x, y);
        double s = 0.0;
        for (index i = 0; i < n; ++i) s += x[i * incx] * y[i * incy];
        return s;
    }

    // y = y + alpha x; nothing when alpha is 0 (as the reference).
    static void axpy(index n, double alpha, const double* x, index incx, double* y, index incy) {
        if (alpha == 0.0) return;
        if (incx == 1 && incy == 1) return add_multiple(n, alpha, x, y);
        for (index i = 0; i < n; ++i) y[i * incy] += alpha * x[i * incx];
    }

    static void scal(index n, double alpha, double* x, index incx) {
        for (index i = 0; i < n; ++i) x[i * incx] *= alpha;
    }

    static void copy(index n, const double* x, index incx, double* y, index incy) {
        if (incx == 1 && incy == 1) return copy_unit(n, x, y);
        for (index i = 0; i < n; ++i) y[i * incy] = x[i * incx];
    }

    // Column j of x = A x for the upper triangle: x(0..j-1) += x_j A(0..j-1, j), then
    // x_j = x_j A(j, j); nothing when x_j is 0.
    static void trmv_column(index j, const double* column, double* x) {
        const double xj = x[j];
        if (xj == 0.0) return;
        add_multiple(j, xj, column, x);
        x[j] = xj * column[j];
    }

    // x = A x ('N') or x = A' x ('T') for the upper triangle of A.
    static void trmv(char, char trans, char, index n, const double* a, index lda, double* x,
                     index) {
        if (trans == 'N') {
            // by columns: x(0..j-1) += x_j A(0..j-1, j), then x_j = x_j A(j, j); a column
            // whose x_j is 0 is passed over. Four columns at a time where none is passed
            // over: rows above the four in one pass, then the triangle of the four.
            index j = 0;
            for (; j + 4 <= n; j += 4) {
                const double t[4] = {x[j], x[j + 1], x[j + 2], x[j + 3]};
                const double* c = a + j * lda;
                if (t[0] == 0.0 || t[1] == 0.0 || t[2] == 0.0 || t[3] == 0.0) {
                    for (index k = j; k < j + 4; ++k) trmv_column(k, a + k * lda, x);
                    continue;
                }
                add_multiples(j, t, c, c + lda, c + 2 * lda, c + 3 * lda, x);
                for (index k = 0; k < 4; ++k) {
                    const double* column = c + k * lda;
                    for (index i = j; i < j + k; ++i) x[i] += t[k] * column[i];
                    x[j + k] = t[k] * column[j + k];
                }
            }
            for (; j < n; ++j) trmv_column(j, a + j * lda, x);
        } else {
            for (index j = n - 1; j >= 0; --j) {  // x_j = A(0..j, j)' x(0..j), last first
                const double* column = a + j * lda;
                x[j] = x[j] * column[j] + sum_of_products(j, column, x);
            }
        }
    }

    // y = alpha A x + beta y ('N') or alpha A' x + beta y ('T'), A m-by-n.
    static void gemv(char trans, index m, index n, double alpha, const double* a, index lda,
                     const double* x, index, double beta, double* y, index) {
        const index leny = trans == 'N' ? m : n;
        if (m == 0 || n == 0 || (alpha == 0.0 && beta == 1.0)) return;
        if (beta == 0.0) {
            for (index i = 0; i < leny; ++i) y[i] = 0.0;
        } else if (beta != 1.0) {
            for (index i = 0; i < leny; ++i) y[i] *= beta;
        }
        if (alpha == 0.0) return;
        if (trans == 'N') {  // y += (alpha x_j) A(:, j) by columns, four at a time
            index j = 0;
            for (; j + 4 <= n; j += 4) {
                const double t[4] = {alpha * x[j], alpha * x[j + 1], alpha * x[j + 2],
                                     alpha * x[j + 3]};
                const double* c = a + j * lda;
                add_multiples(m, t, c, c + lda, c + 2 * lda, c + 3 * lda, y);
            }
            for (; j < n; ++j) add_multiple(m, alpha * x[j], a + j * lda, y);
        } else {
            for (index j = 0; j < n; ++j) {
                y[j] += alpha * sum_of_products(m, a + j * lda, x);
            }
        }
    }

    // y = alpha A x + beta y for the symmetric A of which the upper triangle is stored.
    static void symv(char, index n, double alpha, const double* a, index lda, const double* x,
                     index, double beta, double* y, index) {
        if (n == 0 || (alpha == 0.0 && beta == 1.0)) return;
        if (beta == 0.0) {
            for (index i = 0; i < n; ++i) y[i] = 0.0;
        } else if (beta != 1.0) {
            for (index i = 0; i < n; ++i) y[i] *= beta;
        }
        if (alpha == 0.0) return;
        // by columns: y(0..j-1) += (alpha x_j) A(0..j-1, j), then y_j += (alpha x_j) A(j, j)
        // + alpha A(0..j-1, j)' x(0..j-1). Four columns at a time: rows above the four in
        // one pass, then the four in order.
        index j = 0;
        for (; j + 4 <= n; j += 4) {
            const double t[4] = {alpha * x[j], alpha * x[j + 1], alpha * x[j + 2],
                                 alpha * x[j + 3]};
            const double* c = a + j * lda;
            add_multiples(j, t, c, c + lda, c + 2 * lda, c + 3 * lda, y);
            for (index k = 0; k < 4; ++k) {
                const double* column = c + k * lda;
                for (index i = j; i < j + k; ++i) y[i] += t[k] * column[i];
                y[j + k] += t[k] * column[j + k] + alpha * sum_of_products(j + k, column, x);
            }
        }
        for (; j < n; ++j) {
            const double* column = a + j * lda;
            add_multiple(j, alpha * x[j], column, y);
            y[j] += alpha * x[j] * column[j] + alpha * sum_of_products(j, column, x);
        }
    }

    // A = A + alpha x x' on the upper triangle.
    static void syr(char, index n, double alpha, const double* x, index, double* a, index lda) {
        if (n == 0 || alpha == 0.0) return;
        for (index j = 0; j < n; ++j) {
            if (x[j] == 0.0) continue;
            add_multiple(j + 1, alpha * x[j], x, a + j * lda);
        }
    }

    // Cholesky factor U (A = U'U) in the upper triangle, column by column. Returns 0, or
    // j (1-based) when the leading minor of order j is not positive definite: its pivot
    // (zero or negative) is left in A(j-1, j-1). A NaN pivot (from a Gram matrix that
    // overflowed) passes on as NaN, as OpenBLAS lets it (reference LAPACK stops there):
    // the solver then reports the breakdown that the library path reports.
    static index potrf(char, index n, double* a, index lda) {
        for (index i = 0; i < n; ++i) {
            double* ci = a + i * lda;
            for (index j = 0; j < i; ++j) {  // U(j,i) = (A(j,i) - U(0..j-1,j)'U(0..j-1,i)) / U(j,j)
                const double* cj = a + j * lda;
                ci[j] = (ci[j] - sum_of_products(j, cj, ci)) / cj[j];
            }
            const double pivot = ci[i] - sum_of_products(i, ci, ci);
            if (pivot <= 0.0) {
                ci[i] = pivot;
                return i + 1;
            }
            ci[i] = std::sqrt(pivot);
        }
        return 0;
    }

    // From the Cholesky factor U in the upper triangle to the upper triangle of
    // (U'U)^-1 = U^-1 U^-T. Returns 0, or j (1-based) when U(j-1, j-1) is zero (then A is
    // unchanged).
    static index potri(char, index n, double* a, index lda) {
        for (index j = 0; j < n; ++j) {
            if (a[j + j * lda] == 0.0) return j + 1;
        }
        // U^-1 column by column: T(0..j-1, j) = -T(j,j) T(0..j-1, 0..j-1) U(0..j-1, j),
        // the leading block already inverted
        for (index j = 0; j < n; ++j) {
            double* cj = a + j * lda;
            cj[j] = 1.0 / cj[j];
            trmv('U', 'N', 'N', j, a, lda, cj, 1);
            scal(j, -cj[j], cj, 1);
        }
        // T T' in place, row by row of the result: column i takes T(0..i, i..n-1) times
        // row i of T, before the later columns change
        for (index i = 0; i < n; ++i) {
            double* ci = a + i * lda;
            const double tii = ci[i];
            if (i == n - 1) {
                scal(i + 1, tii, ci, 1);
                break;
            }
            ci[i] = dot(n - i, ci + i, lda, ci + i, lda);  // row i from the diagonal on
            for (index r = 0; r < i; ++r) ci[r] *= tii;
            for (index l = i + 1; l < n; ++l) {
                add_multiple(i, a[i + l * lda], a + l * lda, ci);
            }
        }
        return 0;
    }
};
