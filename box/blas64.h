// SPDX-License-Identifier: BSD-3-Clause
// The one binding of BLAS and LAPACK: the eleven routines the box-constrained solver
// calls, with 64-bit integers, every argument by reference.
//
// The declarations are those of the Fortran interface as LAPACK's own C header writes
// them: each character argument (uplo, trans, diag) is followed, after the last regular
// argument, by its hidden length as a size_t. gfortran-built libraries may read those
// lengths, so they are always passed (as 1).
//
// One switch selects the symbol names; nothing else in the code knows which BLAS it is:
//   (default)                   dgemv_     Debian's libopenblas64 (static, symbols kept
//                                          local to the MEX file), MATLAB's libmwblas and
//                                          libmwlapack on Linux and macOS
//   LATBOX_BLAS_NO_UNDERSCORE   dgemv      MATLAB's libmwblas and libmwlapack on Windows
//   LATBOX_BLAS_SUFFIX64        dgemv_64_  builds that export the 64-bit routines under
//                                          suffixed names (OpenBLAS with SYMBOLSUFFIX=64_)
// Every library named here must take 64-bit integers (ILP64): blas64_in_use() checks it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "box/plain_kernels.h"

typedef std::int64_t blas_int;

#if defined(LATBOX_BLAS_NO_UNDERSCORE)
#define LATBOX_FORTRAN_NAME(name) name
#elif defined(LATBOX_BLAS_SUFFIX64)
#define LATBOX_FORTRAN_NAME(name) name##_64_
#else
#define LATBOX_FORTRAN_NAME(name) name##_
#endif

extern "C" {
double LATBOX_FORTRAN_NAME(dnrm2)(const blas_int* n, const double* x, const blas_int* incx);
double LATBOX_FORTRAN_NAME(ddot)(const blas_int* n, const double* x, const blas_int* incx,
                                 const double* y, const blas_int* incy);
void LATBOX_FORTRAN_NAME(daxpy)(const blas_int* n, const double* alpha, const double* x,
                                const blas_int* incx, double* y, const blas_int* incy);
void LATBOX_FORTRAN_NAME(dscal)(const blas_int* n, const double* alpha, double* x,
                                const blas_int* incx);
void LATBOX_FORTRAN_NAME(dcopy)(const blas_int* n, const double* x, const blas_int* incx, double* y,
                                const blas_int* incy);
void LATBOX_FORTRAN_NAME(dtrmv)(const char* uplo, const char* trans, const char* diag,
                                const blas_int* n, const double* a, const blas_int* lda, double* x,
                                const blas_int* incx, std::size_t uplo_len, std::size_t trans_len,
                                std::size_t diag_len);
void LATBOX_FORTRAN_NAME(dgemv)(const char* trans, const blas_int* m, const blas_int* n,
                                const double* alpha, const double* a, const blas_int* lda,
                                const double* x, const blas_int* incx, const double* beta,
                                double* y, const blas_int* incy, std::size_t trans_len);
void LATBOX_FORTRAN_NAME(dsymv)(const char* uplo, const blas_int* n, const double* alpha,
                                const double* a, const blas_int* lda, const double* x,
                                const blas_int* incx, const double* beta, double* y,
                                const blas_int* incy, std::size_t uplo_len);
void LATBOX_FORTRAN_NAME(dsyr)(const char* uplo, const blas_int* n, const double* alpha,
                               const double* x, const blas_int* incx, double* a,
                               const blas_int* lda, std::size_t uplo_len);
void LATBOX_FORTRAN_NAME(dpotrf)(const char* uplo, const blas_int* n, double* a,
                                 const blas_int* lda, blas_int* info, std::size_t uplo_len);
void LATBOX_FORTRAN_NAME(dpotri)(const char* uplo, const blas_int* n, double* a,
                                 const blas_int* lda, blas_int* info, std::size_t uplo_len);
}

// Thin wrappers that take sizes by value and pass everything by reference. Increments
// are explicit; the callers pass 1 except where they say otherwise.
namespace blas {

inline double nrm2(blas_int n, const double* x, blas_int incx) {
    return LATBOX_FORTRAN_NAME(dnrm2)(&n, x, &incx);
}
inline double dot(blas_int n, const double* x, blas_int incx, const double* y, blas_int incy) {
    return LATBOX_FORTRAN_NAME(ddot)(&n, x, &incx, y, &incy);
}
inline void axpy(blas_int n, double alpha, const double* x, blas_int incx, double* y,
                 blas_int incy) {
    LATBOX_FORTRAN_NAME(daxpy)(&n, &alpha, x, &incx, y, &incy);
}
inline void scal(blas_int n, double alpha, double* x, blas_int incx) {
    LATBOX_FORTRAN_NAME(dscal)(&n, &alpha, x, &incx);
}
inline void copy(blas_int n, const double* x, blas_int incx, double* y, blas_int incy) {
    LATBOX_FORTRAN_NAME(dcopy)(&n, x, &incx, y, &incy);
}
inline void trmv(char uplo, char trans, char diag, blas_int n, const double* a, blas_int lda,
                 double* x, blas_int incx) {
    LATBOX_FORTRAN_NAME(dtrmv)(&uplo, &trans, &diag, &n, a, &lda, x, &incx, 1, 1, 1);
}
inline void gemv(char trans, blas_int m, blas_int n, double alpha, const double* a, blas_int lda,
                 const double* x, blas_int incx, double beta, double* y, blas_int incy) {
    LATBOX_FORTRAN_NAME(dgemv)(&trans, &m, &n, &alpha, a, &lda, x, &incx, &beta, y, &incy, 1);
}
inline void symv(char uplo, blas_int n, double alpha, const double* a, blas_int lda,
                 const double* x, blas_int incx, double beta, double* y, blas_int incy) {
    LATBOX_FORTRAN_NAME(dsymv)(&uplo, &n, &alpha, a, &lda, x, &incx, &beta, y, &incy, 1);
}
inline void syr(char uplo, blas_int n, double alpha, const double* x, blas_int incx, double* a,
                blas_int lda) {
    LATBOX_FORTRAN_NAME(dsyr)(&uplo, &n, &alpha, x, &incx, a, &lda, 1);
}
// LAPACK: info = 0 on success, > 0 when the matrix is not positive definite (potrf) or
// the factor is singular (potri).
inline blas_int potrf(char uplo, blas_int n, double* a, blas_int lda) {
    blas_int info = 0;
    LATBOX_FORTRAN_NAME(dpotrf)(&uplo, &n, a, &lda, &info, 1);
    return info;
}
inline blas_int potri(char uplo, blas_int n, double* a, blas_int lda) {
    blas_int info = 0;
    LATBOX_FORTRAN_NAME(dpotri)(&uplo, &n, a, &lda, &info, 1);
    return info;
}

}  // namespace blas

// The solver's kernels come in two sets with the same calls (static members of the same
// names): library_kernels, the BLAS/LAPACK routines above, and plain_kernels, plain loops
// (plain_kernels.h), which are faster where the library's fixed cost per call outweighs
// the work. with_kernels is the one place that chooses: every routine of a solve of n
// variables calls f with the same set, so a solve never mixes the two.
struct library_kernels {
    static constexpr auto nrm2 = blas::nrm2;
    static constexpr auto dot = blas::dot;
    static constexpr auto axpy = blas::axpy;
    static constexpr auto scal = blas::scal;
    static constexpr auto copy = blas::copy;
    static constexpr auto trmv = blas::trmv;
    static constexpr auto gemv = blas::gemv;
    static constexpr auto symv = blas::symv;
    static constexpr auto syr = blas::syr;
    static constexpr auto potrf = blas::potrf;
    static constexpr auto potri = blas::potri;
};

// Which set: by the problem size (the default), or one of them whatever the size (for
// comparing the two).
enum class kernel_set { by_size, library, plain };

// Up to this many variables the plain loops; above it the library. Measured with
// bench/kelvane (bench_kernels): the solve time of both sets on the benchmark's problems,
// cold and warm.
constexpr std::int64_t plain_kernels_up_to = 96;

// The library's routines must not run on two threads at once: OpenBLAS built without
// threads of its own keeps work buffers that concurrent callers share, and two solves on
// two threads then spoil each other's results (seen from 96 variables up). Every
// use of the library set holds this lock for its whole length, so that a solve on the
// library gives the bits it gives alone. The plain loops share nothing and take no lock.
std::mutex& library_lock();

template <class F>
decltype(auto) with_kernels(std::int64_t n, kernel_set set, F&& f) {
    const bool plain =
        set == kernel_set::plain || (set == kernel_set::by_size && n <= plain_kernels_up_to);
    if (plain) return f(plain_kernels{});
    const std::lock_guard<std::mutex> hold(library_lock());
    return f(library_kernels{});
}

// True when the routines above really take 64-bit integers. A library with 32-bit
// integers (for example the host's own BLAS, if the calls were bound to it) reads only
// the low half of each integer. The probe scales one element with the increment
// 1 - 2^32: read as 64 bits it is negative and dscal does nothing; read as 32 bits it
// is 1 and the element is scaled. Costs one BLAS call and touches only its own data.
bool blas64_in_use();
