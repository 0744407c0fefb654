// SPDX-License-Identifier: BSD-3-Clause
// LLL reduction on QR factors: size reduction, Lovasz test, exchange and Givens rotation.
#include "reduce/reduce_qr_factors.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "core/columns.h"

namespace {

// New x = c*x + s*y and new y = c*y - s*x, element by element, from the old values.
inline void rotate_columns(double* __restrict x, double* __restrict y, double c, double s,
                           std::int64_t len) {
    std::int64_t i = 0;
    for (; i + 2 <= len; i += 2) {
        const double x0 = x[i], x1 = x[i + 1], y0 = y[i], y1 = y[i + 1];
        x[i] = c * x0 + s * y0;
        x[i + 1] = c * x1 + s * y1;
        y[i] = c * y0 - s * x0;
        y[i + 1] = c * y1 - s * x1;
    }
    if (i < len) {
        const double x0 = x[i], y0 = y[i];
        x[i] = c * x0 + s * y0;
        y[i] = c * y0 - s * x0;
    }
}

// True when floor(x/y + 0.5) is certainly 0 or NaN, so that no update follows, without the
// division: |x| <= 0.49*|y| gives |x/y| <= 0.4901 after rounding, hence x/y + 0.5 in
// [0.0099, 0.9901]. The bound is trusted only while 0.49*|y| is a normal number (relative
// rounding error at most 2^-53); y = Inf gives x/y = 0 or NaN, and NaN fails the test.
inline bool quotient_rounds_to_zero(double x, double y) {
    const double h = 0.49 * std::fabs(y);
    return std::fabs(x) <= h && h >= std::numeric_limits<double>::min();
}

// Exchanges that would not make the pair's first diagonal entry smaller ("stalled") are
// the only way the loop can come back to a state it has been in. The next step depends on
// R and k alone (Q and U are never read), so the loop repeats forever exactly when R and k
// repeat. A copy of R and k is taken at the 1st, 2nd, 4th, 8th, ... stalled exchange since
// the last copy and compared bit for bit at every stalled exchange (Brent's cycle
// detection): a match proves that the loop would cycle forever. From then on stalled
// exchanges are skipped.
//
// An exact tie can also keep a pair exchanging back and forth while the rotations move the
// later columns by an ulp or so each round, so that R never repeats bit for bit (found by
// fuzzing: an 8-by-8 R with R(2,2)^2 = R(2,3)^2 + R(3,3)^2 = 384 exactly, delta = 1). So
// stalled exchanges are also counted, and past stalled_limit of them they are skipped as
// well. Reductions that end by themselves make a handful at most.
struct cycle_watch {
    double* seen;  // n*n + 1 doubles: R, then k
    bool have_seen;
    bool cycling;
    std::int64_t power;
    std::int64_t since;
    std::int64_t stalled;
    std::int64_t stalled_limit;
};

// Whether the stalled exchange at pair k-1, k is made.
bool allow_stalled_exchange(cycle_watch& w, const double* R, std::int64_t n, std::int64_t k) {
    if (w.cycling) return false;
    if (++w.stalled > w.stalled_limit) {
        w.cycling = true;
        return false;
    }
    const std::size_t bytes = sizeof(double) * static_cast<std::size_t>(n * n);
    if (w.have_seen && w.seen[n * n] == static_cast<double>(k) &&
        std::memcmp(w.seen, R, bytes) == 0) {
        w.cycling = true;
        return false;
    }
    if (!w.have_seen || w.since == w.power) {
        std::memcpy(w.seen, R, bytes);
        w.seen[n * n] = static_cast<double>(k);
        if (w.have_seen) w.power *= 2;
        w.have_seen = true;
        w.since = 0;
    }
    ++w.since;
    return true;
}

}  // namespace

bool reduce_qr_factors(double* Q, double* R, double* U, std::int64_t m, std::int64_t n,
                       double delta, double* scratch, const interrupt_check* check) {
    cycle_watch watch = {scratch, false, false, 1, 0, 0, 1000 + 100 * n};

    // k is 0-based here: the pair under test is columns k-1 and k.
    std::int64_t k = 1;
    for (std::uint32_t steps = 1; k < n; ++steps) {
        if (steps % 16384 == 0 && interrupt_requested(check)) return false;
        double* rk = R + k * n;
        double* uk = U + k * n;

        // Size reduction, nearest column first; a later (smaller) j reads R(j,k) as the
        // larger ones left it. A NaN mu fails both tests; an infinite one is applied.
        for (std::int64_t j = k - 1; j >= 0; --j) {
            if (quotient_rounds_to_zero(rk[j], R[j + j * n])) continue;
            const double mu = std::floor(rk[j] / R[j + j * n] + 0.5);
            if (mu >= 0.5 || mu <= -0.5) {
                subtract_multiple(rk, R + j * n, mu, j + 1);
                subtract_multiple(uk, U + j * n, mu, n);
            }
        }

        // Lovasz test: (delta * R(k-1,k-1)) * R(k-1,k-1) > R(k,k)^2 + R(k-1,k)^2, strict.
        const double d = R[(k - 1) + (k - 1) * n];
        const double a = rk[k - 1];  // becomes R(k-1,k-1) after the exchange
        const double b = rk[k];      // becomes R(k,k-1) after the exchange
        const double norm2 = b * b + a * a;
        bool exchange = (d * delta) * d > norm2;
        double r = 0.0, c = 0.0, s = 0.0;
        if (exchange) {
            // r = sqrt(a*a + b*b): the same sum as the test's right side (addition commutes).
            r = std::sqrt(norm2);
            c = a / r;
            s = b / r;
            // The new R(k-1,k-1) is c*a + s*b. Unless it is smaller than |d| (or NaN,
            // from r = 0), the exchange makes no progress and may be part of a cycle.
            const double top = c * a + s * b;
            if (top >= std::fabs(d)) exchange = allow_stalled_exchange(watch, R, n, k);
        }
        if (!exchange) {
            ++k;
            continue;
        }

        // Exchange columns k-1 and k of R and U whole; then rotate rows k-1 and k of R over
        // columns k-1 .. n-1 (adjacent in each column) and columns k-1 and k of Q. Each new
        // value is computed from the old pair only, so working in place gives the same
        // values as computing all pairs aside first.
        swap_columns(R + (k - 1) * n, rk, n);
        swap_columns(U + (k - 1) * n, uk, n);
        for (std::int64_t t = k - 1; t < n; ++t) {
            double* p = R + (k - 1) + t * n;
            const double x = p[0], y = p[1];
            p[0] = c * x + s * y;
            p[1] = c * y - s * x;
        }
        rotate_columns(Q + (k - 1) * m, Q + k * m, c, s, m);

        k = k - 1 > 1 ? k - 1 : 1;
    }
    return true;
}
