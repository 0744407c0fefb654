// SPDX-License-Identifier: BSD-3-Clause
// QR factors of a complex channel page, Q^H*y, and the real-valued form (see channel_qr.h).
#include "channel/channel_qr.h"

#include <cmath>
#include <utility>

bool complex_qr(const cplx* H, std::int64_t nr, std::int64_t nt, bool sorted, cplx* Q, cplx* R,
                std::int32_t* perm, double* norms) {
    for (std::int64_t i = 0; i < nr * nt; ++i) Q[i] = H[i];
    for (std::int64_t i = 0; i < nt * nt; ++i) R[i] = 0.0;
    for (std::int64_t j = 0; j < nt; ++j) {
        perm[j] = static_cast<std::int32_t>(j);
        double s = 0.0;
        for (std::int64_t r = 0; r < nr; ++r) s = s + cabs2(Q[r + j * nr]);
        norms[j] = s;
    }
    for (std::int64_t i = 0; i < nt; ++i) {
        if (sorted) {
            std::int64_t k = i;  // least remaining norm, the first of equal ones
            for (std::int64_t j = i + 1; j < nt; ++j) {
                if (norms[j] < norms[k]) k = j;
            }
            if (k != i) {
                for (std::int64_t r = 0; r < nr; ++r) std::swap(Q[r + i * nr], Q[r + k * nr]);
                for (std::int64_t r = 0; r < i; ++r) std::swap(R[r + i * nt], R[r + k * nt]);
                std::swap(norms[i], norms[k]);
                std::swap(perm[i], perm[k]);
            }
        }
        // the norm of what is left of column i, computed afresh (the downdated norms only
        // choose the order)
        double s = 0.0;
        for (std::int64_t r = 0; r < nr; ++r) s = s + cabs2(Q[r + i * nr]);
        const double d = std::sqrt(s);
        if (!(d > 0.0) || !std::isfinite(d)) return false;
        R[i + i * nt] = d;
        for (std::int64_t r = 0; r < nr; ++r) Q[r + i * nr] = Q[r + i * nr] / d;
        for (std::int64_t j = i + 1; j < nt; ++j) {
            cplx c = 0.0;  // q_i^H q_j
            for (std::int64_t r = 0; r < nr; ++r) c = c + cmulc(Q[r + i * nr], Q[r + j * nr]);
            R[i + j * nt] = c;
            for (std::int64_t r = 0; r < nr; ++r) {
                Q[r + j * nr] = Q[r + j * nr] - cmul(c, Q[r + i * nr]);
            }
            norms[j] = norms[j] - cabs2(c);
        }
    }
    return true;
}

void apply_qh(const cplx* Q, std::int64_t nr, std::int64_t nt, const cplx* y, cplx* z) {
    for (std::int64_t i = 0; i < nt; ++i) {
        cplx c = 0.0;
        for (std::int64_t r = 0; r < nr; ++r) c = c + cmulc(Q[r + i * nr], y[r]);
        z[i] = c;
    }
}

void real_form(const cplx* R, std::int64_t nt, bool complex_model, double* Rr) {
    if (!complex_model) {
        for (std::int64_t i = 0; i < nt * nt; ++i) Rr[i] = R[i].real();
        return;
    }
    const std::int64_t n = 2 * nt;
    for (std::int64_t j = 0; j < nt; ++j) {
        for (std::int64_t i = 0; i < nt; ++i) {
            const cplx r = R[i + j * nt];
            double* b = Rr + 2 * i + 2 * j * n;
            b[0] = r.real();
            b[1] = i == j ? 0.0 : r.imag();
            b[n] = i == j ? 0.0 : -r.imag();
            b[n + 1] = r.real();
        }
    }
}

void real_vector(const cplx* z, std::int64_t nt, bool complex_model, double* zr) {
    for (std::int64_t i = 0; i < nt; ++i) {
        if (complex_model) {
            zr[2 * i] = z[i].real();
            zr[2 * i + 1] = z[i].imag();
        } else {
            zr[i] = z[i].real();
        }
    }
}
