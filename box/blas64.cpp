// SPDX-License-Identifier: BSD-3-Clause
// Check that the BLAS in use takes 64-bit integers, and the lock of the library set
// (see blas64.h).
#include "box/blas64.h"

bool blas64_in_use() {
    double probe = 3.0;
    // low 32 bits: 1 (a 32-bit BLAS scales); all 64 bits: 1 - 2^32 < 0 (no-op)
    const blas_int increment = static_cast<blas_int>(1) - (static_cast<blas_int>(1) << 32);
    blas::scal(1, 2.0, &probe, increment);
    return probe == 3.0;
}

std::mutex& library_lock() {
    static std::mutex lock;
    return lock;
}
