// SPDX-License-Identifier: BSD-3-Clause
// The solver's eleven vector and matrix operations as plain loops, with the calls and the
// mathematics of the BLAS/LAPACK routines they stand in for (dnrm2 ddot daxpy dscal dcopy
// dtrmv dgemv dsymv dsyr dpotrf dpotri; blas64.h). On small problems the library's fixed
// cost per call outweighs the work; blas64.h chooses between the two sets.
//
// What they cover is what the solver calls: the matrix routines take uplo 'U' and diag 'N'
// only (other values are read as those) and unit increments; the vector routines take any
// positive increment. Loops run in the order of the reference BLAS, except that a sum of
// products over a unit-stride column is formed as two interleaved partial sums; the
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

    // x(0..n-1)' y(0..n-1) with unit strides as two partial sums, of the entries at even and
    // at odd positions (the last one of an odd n goes to the even sum), added at the end.
    // Two at a time (SSE2) or one at a time, the bits are the same.
    static double sum_of_products(index n, const double* x, const double* y) {
        index i = 0;
        double even = 0.0, odd = 0.0;
#if defined(__SSE2__)
        __m128d sums = _mm_setzero_pd();
        for (; i + 2 <= n; i += 2) {
            sums = _mm_add_pd(sums, _mm_mul_pd(_mm_loadu_pd(x + i), _mm_loadu_pd(y + i)));
        }
        even = _mm_cvtsd_f64(sums);
        odd = _mm_cvtsd_f64(_mm_unpackhi_pd(sums, sums));
#else
        for (; i + 2 <= n; i += 2) {
            even += x[i] * y[i];
            odd += x[i + 1] * y[i + 1];
        }
#endif
        if (i < n) even += x[i] * y[i];
        return even + odd;
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

    // x = A x ('N') or x = A' x ('T') for the upper triangle of A.
    static void trmv(char, char trans, char, index n, const double* a, index lda, double* x,
                     index) {
        if (trans == 'N') {
            for (index j = 0; j < n; ++j) {  // by columns: x(0..j-1) += x_j A(0..j-1, j)
                const double xj = x[j];
                if (xj == 0.0) continue;
                const double* column = a + j * lda;
                add_multiple(j, xj, column, x);
                x[j] = xj * column[j];
            }
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
        if (trans == 'N') {
            for (index j = 0; j < n; ++j) {
                add_multiple(m, alpha * x[j], a + j * lda, y);
            }
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
        for (index j = 0; j < n; ++j) {
            const double t1 = alpha * x[j];
            double t2 = 0.0;
            const double* column = a + j * lda;
            for (index i = 0; i < j; ++i) {
                y[i] += t1 * column[i];
                t2 += column[i] * x[i];
            }
            y[j] += t1 * column[j] + alpha * t2;
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
