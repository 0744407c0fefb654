// SPDX-License-Identifier: BSD-3-Clause
// QR factors of a complex channel page, Q^H*y, and the real-valued form of the factors.
//
// Complex values are std::complex<double> (interleaved re, im doubles); matrices are
// column-major. Host-free: no allocation, no errors.
#pragma once

#include <complex>
#include <cstdint>

using cplx = std::complex<double>;

// (a+ib)(c+id) = (a*c - b*d) + i(a*d + b*c), with no special cases for NaN or Inf.
inline cplx cmul(cplx x, cplx y) {
    return {x.real() * y.real() - x.imag() * y.imag(), x.real() * y.imag() + x.imag() * y.real()};
}
// conj(x)*y
inline cplx cmulc(cplx x, cplx y) {
    return {x.real() * y.real() + x.imag() * y.imag(), x.real() * y.imag() - x.imag() * y.real()};
}
inline double cabs2(cplx x) {
    return x.real() * x.real() + x.imag() * x.imag();
}

// H(:, perm) = Q*R by modified Gram-Schmidt, for nr >= nt. H: nr-by-nt (read). Q: nr-by-nt
// out, orthonormal columns. R: nt-by-nt out, upper triangular (zeros below the diagonal)
// with a real, positive diagonal. perm: nt out, perm[i] the column of H (0-based) that is
// column i of the factors. sorted: before step i the remaining column of least remaining
// norm (the first of equal ones) is brought to position i (sorted QR, SQRD); otherwise
// perm is the identity. norms: nt doubles of scratch. Returns false when a diagonal entry
// of R is zero or not finite (then the factors are incomplete).
bool complex_qr(const cplx* H, std::int64_t nr, std::int64_t nt, bool sorted, cplx* Q, cplx* R,
                std::int32_t* perm, double* norms);

// z = Q^H * y. Q: nr-by-nt, y: nr values, z: nt values out.
void apply_qh(const cplx* Q, std::int64_t nr, std::int64_t nt, const cplx* y, cplx* z);

// The real-valued form of an upper-triangular complex R with a real diagonal: for the
// complex model (complex_model true) the 2nt-by-2nt real matrix whose 2-by-2 block (i, j) is
// [re -im; im re] of R(i,j), the unknowns ordered re x_0, im x_0, re x_1, ...: upper
// triangular, since the diagonal is real. For the real model (every value real) the
// nt-by-nt real part. Rr: n-by-n out (n = 2nt or nt), every entry written.
void real_form(const cplx* R, std::int64_t nt, bool complex_model, double* Rr);

// The real-valued form of a complex vector: re z_0, im z_0, re z_1, ... (complex model) or
// the real parts. zr: 2nt or nt values out.
void real_vector(const cplx* z, std::int64_t nt, bool complex_model, double* zr);
