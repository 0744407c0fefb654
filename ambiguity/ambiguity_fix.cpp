// SPDX-License-Identifier: BSD-3-Clause
// Integer ambiguity resolution: shift, reverse Cholesky, LLL decorrelation with exact integer
// transforms, m-best Schnorr-Euchner search, bootstrap, rounding and partial fixing.
#include "ambiguity/ambiguity_fix.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "core/columns.h"
#include "detect/zigzag.h"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
// Decorrelated candidates are integers of magnitude at most 2^51 (exact, with room for the
// zig-zag's steps); a centre beyond it ends the search with out_of_range.
constexpr double centre_limit = 2251799813685248.0;
constexpr std::int64_t poll_interval = std::int64_t{1} << 20;

// One step of the reduction on U and Z: q != 0, column k -= q*column j of U (and column
// j += q*column k of Z); q == 0, the exchange of columns k-1 and k of both.
struct reduction_op {
    std::uint16_t j, k;
    std::int32_t q;
};
static_assert(sizeof(reduction_op) == sizeof(double), "one op per double of scratch");
static_assert(ambiguity_max_n < 65536, "column indices of an op fit in 16 bits");

// Steps logged before U and Z are formed (then every further step updates them directly).
std::int64_t log_capacity(std::int64_t n) {
    return 2 * n * n + 256;
}

// The scratch, carved from the caller's block.
struct layout {
    double* R;              // n*n: C, then R = inv(C), then the reduced R2
    double* y;              // n
    double* U;              // n*n: a = U*z (integers, exact in double: |entries| <= 2^53)
    double* Z;              // n*n: Z = inv(U)' (the same)
    double* pdist;          // n: squared distance of the levels above
    double* isum;           // n: the search's y[k] - sum_{j>k} R(k,j)*cand[j]
    double* cand;           // n
    double* step;           // n
    double* zf;             // n: the decorrelated solution (par: floats below the block)
    double* best_z;         // ncands*n
    double* best_d;         // ncands
    double* S;              // n*n: the search's partial interference sums
    std::int64_t* stale;    // n: the search's first out-of-date sum of each row
    double* rinv;           // n: 1/R(k,k)
    double* ubound;         // n: bounds on the columns of U
    double* zbound;         // n: and of Z
    double* half;           // n: 0.49*|R(j,j)|, or -1 where that is not a normal number
    double* inv;            // n: 1/R(j,j) where half[j] >= 0, else 0
    std::int64_t* settled;  // n: the reduction's count of settled rows of each column
    std::int64_t* v;        // n: the back-transform's integers
    std::int64_t* perm;     // n: the index of Q at each position of the factorisation
    reduction_op* log;      // log_capacity(n): the reduction's steps on U and Z
};

std::size_t layout_doubles(std::int64_t n, std::int64_t ncands) {
    const auto N = static_cast<std::size_t>(n), M = static_cast<std::size_t>(ncands);
    return 4 * N * N + 16 * N + M * N + M + 1 + static_cast<std::size_t>(log_capacity(n));
}

layout carve(void* scratch, std::int64_t n, std::int64_t ncands) {
    auto* p = static_cast<double*>(scratch);
    const auto N = static_cast<std::size_t>(n), M = static_cast<std::size_t>(ncands);
    layout s{};
    s.R = p;
    p += N * N;
    s.U = p;
    p += N * N;
    s.Z = p;
    p += N * N;
    s.y = p;
    p += N;
    s.pdist = p;
    p += N;
    s.isum = p;
    p += N;
    s.cand = p;
    p += N;
    s.step = p;
    p += N;
    s.zf = p;
    p += N;
    s.best_z = p;
    p += M * N;
    s.best_d = p;
    p += M;
    s.S = p;
    p += N * N;
    s.rinv = p;
    p += N;
    s.ubound = p;
    p += N;
    s.zbound = p;
    p += N;
    s.half = p;
    p += N;
    s.inv = p;
    p += N;
    s.settled = reinterpret_cast<std::int64_t*>(p);
    p += N;
    s.v = reinterpret_cast<std::int64_t*>(p);
    p += N;
    s.stale = reinterpret_cast<std::int64_t*>(p);
    p += N;
    s.perm = reinterpret_cast<std::int64_t*>(p);
    p += N;
    s.log = reinterpret_cast<reduction_op*>(p);
    return s;
}

// Nearest integer, halves upwards; exact for every double (x - floor(x) is exact).
double nearest_integer(double x) {
    const double f = std::floor(x);
    return x - f >= 0.5 ? f + 1.0 : f;
}

// floor(v) for |v| < 2^62: the truncation, one less where it rounded up (never -0: floor
// gives -0 only for v = -0, and v = centre + 0.5 is never -0). A third of the cost of a
// search node was the general floor, which handles every magnitude and the sign of zero.
inline double floor_in_range(double v) {
    const double t = static_cast<double>(static_cast<std::int64_t>(v));
    return t > v ? t - 1.0 : t;
}

// The same without a branch (the one subtracted is 1.0 or +0.0 from the bits), for the
// search's centres: whether the truncation rounded up is their sign, data that no branch
// predictor learns (a sixth of a node's time on the problems with most nodes).
inline double floor_in_range_unbranched(double v) {
    const double t = static_cast<double>(static_cast<std::int64_t>(v));
    const std::uint64_t bits = static_cast<std::uint64_t>(t > v) * 0x3FF0000000000000ULL;
    double one;
    std::memcpy(&one, &bits, sizeof one);
    return t - one;
}

// ---- factorisation ------------------------------------------------------------------------

// y[i] = (y[i] - a*x[i]) - b*w[i]: two of subtract_multiple's steps in one pass over y.
inline void subtract_two(double* __restrict y, const double* __restrict x, double a,
                         const double* __restrict w, double b, std::int64_t len) {
    std::int64_t i = 0;
    for (; i + 2 <= len; i += 2) {
        y[i] = (y[i] - a * x[i]) - b * w[i];
        y[i + 1] = (y[i + 1] - a * x[i + 1]) - b * w[i + 1];
    }
    if (i < len) y[i] = (y[i] - a * x[i]) - b * w[i];
}

// A = 4^-e * Q(perm, perm), read from the lower triangle of Q.
struct scaled_matrix {
    const double* Q;
    std::int64_t n;
    int e;
    bool direct;  // 4^-e as one factor when it is a normal number (then every product is exact)
    double scale;
    scaled_matrix(const double* q, std::int64_t size, int exponent)
        : Q(q),
          n(size),
          e(exponent),
          direct(2 * exponent < 1000 && 2 * exponent > -1000),
          scale(direct ? std::ldexp(1.0, -2 * exponent) : 1.0) {}
    double operator()(std::int64_t a, std::int64_t b) const {
        const double q = a >= b ? Q[a + b * n] : Q[b + a * n];
        return direct ? q * scale : std::ldexp(q, -2 * e);
    }
};

// c[i] = c[i]/g, then d[i] = d[i] - c[i]^2, for i < len (c and d different arrays; in pairs,
// as subtract_multiple).
inline void divide_and_deflate(double* __restrict c, double* __restrict d, double g,
                               std::int64_t len) {
    std::int64_t i = 0;
    for (; i + 2 <= len; i += 2) {
        c[i] = c[i] / g;
        c[i + 1] = c[i + 1] / g;
        d[i] = d[i] - c[i] * c[i];
        d[i + 1] = d[i + 1] - c[i + 1] * c[i + 1];
    }
    if (i < len) {
        c[i] = c[i] / g;
        d[i] = d[i] - c[i] * c[i];
    }
}

// y[i] = y[i]*g for i < len (in pairs, as subtract_multiple).
inline void scale(double* __restrict y, double g, std::int64_t len) {
    std::int64_t i = 0;
    for (; i + 2 <= len; i += 2) {
        y[i] = y[i] * g;
        y[i + 1] = y[i + 1] * g;
    }
    if (i < len) y[i] = y[i] * g;
}

// Reverse Cholesky with symmetric pivoting, P'*A*P = C*C' with C upper triangular,
// A = 4^-e * Q, from the last position back: position j takes, of the indices not yet placed,
// the one whose variance conditioned on those placed after it (d below) is the least (on ties
// the one at the highest position: Q = c*I keeps its order); then
//   C(j,j) = sqrt(d_j),  C(i,j) = (A(i,j) - sum_{k>j} C(i,k)*C(j,k)) / C(j,j),  i < j,
//   d_i = d_i - C(i,j)^2,
// the sums in increasing k, two columns k at a time over the contiguous column j. The
// conditional variances fall fastest at the end this way: the reduction has fewer exchanges
// to make (about half on simulated models). C column-major in its upper triangle (the
// diagonal to cdiag), perm[j] = the index of Q at position j. False when a pivot d_j is not
// above 16*eps*A(j,j) (or is NaN). pivot false: the identity order.
bool reverse_cholesky(const scaled_matrix& A, std::int64_t n, bool pivot, double* C, double* cdiag,
                      double* d, std::int64_t* perm) {
    for (std::int64_t i = 0; i < n; ++i) {
        perm[i] = i;
        d[i] = A(i, i);
    }
    const double tiny = 16.0 * std::numeric_limits<double>::epsilon();
    for (std::int64_t j = n - 1; j >= 0; --j) {
        if (pivot) {
            std::int64_t p = j;
            for (std::int64_t i = j - 1; i >= 0 && d[p] == d[p]; --i) {
                if (d[i] < d[p] || d[i] != d[i]) p = i;
            }
            if (p != j) {
                std::swap(perm[p], perm[j]);
                std::swap(d[p], d[j]);
                for (std::int64_t k = j + 1; k < n; ++k) std::swap(C[p + k * n], C[j + k * n]);
            }
        }
        const double ajj = A(perm[j], perm[j]);
        const double s = d[j];
        if (!(s > tiny * ajj) || !(s < inf)) return false;
        const double cjj = std::sqrt(s);
        cdiag[j] = cjj;
        double* cj = C + j * n;
        for (std::int64_t i = 0; i < j; ++i) cj[i] = A(perm[i], perm[j]);
        std::int64_t k = j + 1;
        for (; k + 2 <= n; k += 2) {
            subtract_two(cj, C + k * n, C[j + k * n], C + (k + 1) * n, C[j + (k + 1) * n], j);
        }
        if (k < n) subtract_multiple(cj, C + k * n, C[j + k * n], j);
        divide_and_deflate(cj, d, cjj, j);
    }
    return true;
}

// y[i] -= a*x[i] and w[i] -= b*x[i]: the same column x subtracted from two.
inline void subtract_from_two(double* __restrict y, double a, double* __restrict w, double b,
                              const double* __restrict x, std::int64_t len) {
    std::int64_t i = 0;
    for (; i + 2 <= len; i += 2) {
        y[i] = y[i] - a * x[i];
        y[i + 1] = y[i + 1] - a * x[i + 1];
        w[i] = w[i] - b * x[i];
        w[i + 1] = w[i + 1] - b * x[i + 1];
    }
    if (i < len) {
        y[i] = y[i] - a * x[i];
        w[i] = w[i] - b * x[i];
    }
}

// y = inv(C)*f by back substitution (f[k] /= C(k,k), then f[i] -= C(i,k)*f[k], i < k, from
// the last k), and R = inv(C) in place of C, upper triangular, column by column from the last
// (column j of R needs the columns of C before it only):
//   R(j,j) = g_j,  R(k,j) = -(sum_{i=k+1}^{j} C(k,i)*R(i,j)) * g_k,  k < j,  g_k = 1/C(k,k),
// the sums formed in decreasing i over the contiguous columns, two columns of R at a time
// (two independent chains of dependent steps). The strictly lower triangle is not written
// (the reduction never reads it). cinv: n doubles, the g_k.
void whiten(double* C, const double* cdiag, std::int64_t n, double* f, double* cinv) {
    for (std::int64_t k = n - 1; k >= 0; --k) {
        f[k] = f[k] / cdiag[k];
        subtract_multiple(f, C + k * n, f[k], k);
    }
    for (std::int64_t k = 0; k < n; ++k) cinv[k] = 1.0 / cdiag[k];
    std::int64_t j = n - 1;
    for (; j >= 1; j -= 2) {
        double* a = C + j * n;        // column j: C(0..j-1, j), becoming the sums, then R
        double* b = C + (j - 1) * n;  // column j-1 (read by column j's first step, then its own)
        const double ga = cinv[j], gb = cinv[j - 1];
        scale(a, ga, j);
        a[j] = ga;
        const double r = -(a[j - 1] * gb);
        a[j - 1] = r;
        subtract_multiple(a, b, -r, j - 1);
        scale(b, gb, j - 1);
        b[j - 1] = gb;
        for (std::int64_t k = j - 2; k >= 0; --k) {
            const double ra = -(a[k] * cinv[k]), rb = -(b[k] * cinv[k]);
            a[k] = ra;
            b[k] = rb;
            subtract_from_two(a, -ra, b, -rb, C + k * n, k);
        }
    }
    if (j == 0) C[0] = cinv[0];
}

// ---- decorrelation ------------------------------------------------------------------------

struct reducer {
    double* R;
    double* y;
    double* U;  // n*n: formed from the log when first needed (see form_transforms)
    double* Z;  // n*n: the same
    std::int64_t n;
    double* ubound;  // n: a bound on |U(:,j)|, column by column
    double* zbound;  // n: the same for Z
    double* half;    // n: the size-reduction threshold of each column (threshold())
    // n: rows 0 .. settled[c]-1 of column c would make no step if reduced again (their
    // entries and the columns and thresholds they are reduced by have not changed since
    // they were found so)
    std::int64_t* settled;
    reduction_op* log;
    std::int64_t log_count = 0, log_cap = 0;
    double* inv = nullptr;  // n: 1/R(j,j) where half[j] >= 0, else 0 (set_column_scale())
    bool formed = false;    // U and Z hold the steps so far, and the next steps go to them
    bool limited = false;   // a step was refused: the entries would pass ambiguity_z_limit
};

bool within_limit(__int128 v) {
    return v <= ambiguity_z_limit && v >= -static_cast<__int128>(ambiguity_z_limit);
}

double column_max(const double* c, std::int64_t n) {
    double m = 0.0;
    for (std::int64_t i = 0; i < n; ++i) m = std::fmax(m, std::fabs(c[i]));
    return m;
}

// |R(j,k)| <= threshold(R(j,j)) gives q = 0 without the division: 0.49*|R(j,j)| while that
// is a normal number (then |R(j,k)/R(j,j)| <= 0.4901 after rounding), else -1 (never).
double threshold(double rjj) {
    const double h = 0.49 * std::fabs(rjj);
    return h >= std::numeric_limits<double>::min() ? h : -1.0;
}

// half[j] and inv[j] for a new R(j,j).
void set_column_scale(reducer& r, std::int64_t j) {
    const double rjj = r.R[j + j * r.n];
    r.half[j] = threshold(rjj);
    r.inv[j] = r.half[j] >= 0.0 ? 1.0 / rjj : 0.0;
}

// floor(x/R(j,j) + 0.5), the quotient by the reciprocal where there is one (a normal
// R(j,j): 1/R(j,j) is finite; x*(1/R(j,j)) is within two roundings of x/R(j,j), so that the
// step leaves |R(j,k)| <= (0.5 + 2^-51)*|R(j,j)|: as reduced for the exchange test, and for
// the threshold's 0.49 alike), and the floor by truncation where |v| < 2^52.
inline double nearest_multiple(const reducer& r, double x, std::int64_t j) {
    const double g = r.inv[j];
    const double v = (g != 0.0 ? x * g : x / r.R[j + j * r.n]) + 0.5;
    return std::fabs(v) < 4503599627370496.0 ? floor_in_range(v) : std::floor(v);
}

// The steps of the reduction on U (column k -= q*column j) and Z (column j += q*column k).
void apply_step(reducer& r, std::int64_t j, std::int64_t k, double q) {
    const std::int64_t n = r.n;
    subtract_multiple(r.U + k * n, r.U + j * n, q, n);
    subtract_multiple(r.Z + j * n, r.Z + k * n, -q, n);
}
void apply_exchange(reducer& r, std::int64_t k) {
    const std::int64_t n = r.n;
    swap_columns(r.U + (k - 1) * n, r.U + k * n, n);
    swap_columns(r.Z + (k - 1) * n, r.Z + k * n, n);
}

// U and Z from the identity and the logged steps, in their order. Every logged step was
// exact (the column bounds were below 2^52), so U and Z are what updating them step by step
// gives. From then on the reduction updates them directly.
void form_transforms(reducer& r) {
    if (r.formed) return;
    const std::int64_t n = r.n;
    for (std::int64_t i = 0; i < n * n; ++i) {
        r.U[i] = 0.0;
        r.Z[i] = 0.0;
    }
    for (std::int64_t i = 0; i < n; ++i) {
        r.U[i + i * n] = 1.0;
        r.Z[i + i * n] = 1.0;
    }
    for (std::int64_t t = 0; t < r.log_count; ++t) {
        const reduction_op& op = r.log[t];
        if (op.q != 0) {
            apply_step(r, op.j, op.k, static_cast<double>(op.q));
        } else {
            apply_exchange(r, op.k);
        }
    }
    r.log_count = 0;
    r.formed = true;
}

// Whether every |u - mu*w| (column entries u, w, integers in double) stays within the limit,
// decided in 128-bit integers.
bool step_within_limit(const double* u, const double* w, double mu, std::int64_t n) {
    const auto m = static_cast<std::int64_t>(mu);
    for (std::int64_t i = 0; i < n; ++i) {
        const __int128 v = static_cast<__int128>(static_cast<std::int64_t>(u[i])) -
                           static_cast<__int128>(m) * static_cast<std::int64_t>(w[i]);
        if (!within_limit(v)) return false;
    }
    return true;
}

// Column k -= mu * column j (j < k) on R (rows 0..j) and U, column j += mu * column k on Z,
// mu = floor(R(j,k)/R(j,j) + 0.5); called when |R(j,k)| > half[j]. U and Z hold integers
// in doubles: the updates are exact while every product and sum stays below 2^53, which the
// column bounds guarantee while bound_k + |mu|*bound_j < 2^52 (a double sum of integers
// below 2^53 rounds up by at most a factor 1 + 2^-52). While that holds (and |mu| < 2^31)
// the step on U and Z is only logged, O(1); past that U and Z are formed, the columns are
// checked exactly (128-bit integers), their bounds reset to their true maxima, and a step
// that would pass ambiguity_z_limit is refused (the reducer marked limited).
enum class outcome { none, step, refused };
outcome size_reduce(reducer& r, std::int64_t j, std::int64_t k) {
    const std::int64_t n = r.n;
    double* rk = r.R + k * n;
    const double* rj = r.R + j * n;
    const double q = nearest_multiple(r, rk[j], j);
    if (q == 0.0) return outcome::none;
    const double lim = static_cast<double>(ambiguity_z_limit);
    if (!(std::fabs(q) <= lim)) {
        r.limited = true;
        return outcome::refused;
    }
    double ub = r.ubound[k] + std::fabs(q) * r.ubound[j];
    double zb = r.zbound[j] + std::fabs(q) * r.zbound[k];
    const bool exact = ub < 0.5 * lim && zb < 0.5 * lim;
    const bool loggable = exact && std::fabs(q) < 2147483648.0 && r.log_count < r.log_cap;
    if (!r.formed && !loggable) form_transforms(r);
    double* uk = r.U + k * n;
    double* zj = r.Z + j * n;
    if (!exact &&
        (!step_within_limit(uk, r.U + j * n, q, n) || !step_within_limit(zj, r.Z + k * n, -q, n))) {
        r.limited = true;
        return outcome::refused;
    }
    subtract_multiple(rk, rj, q, j + 1);
    if (r.formed) {
        apply_step(r, j, k, q);
    } else {
        r.log[r.log_count++] = {static_cast<std::uint16_t>(j), static_cast<std::uint16_t>(k),
                                static_cast<std::int32_t>(q)};
    }
    if (!exact) {
        ub = column_max(uk, n);
        zb = column_max(zj, n);
    }
    r.ubound[k] = ub;
    r.zbound[j] = zb;
    return outcome::step;
}

// Whether reducing column k by column j again would make no step (the test of the scan,
// then the q of size_reduce).
bool settled_entry(const reducer& r, std::int64_t j, std::int64_t k) {
    const double x = r.R[j + k * r.n];
    return std::fabs(x) <= r.half[j] || nearest_multiple(r, x, j) == 0.0;
}

// Exchange of columns k-1 and k with the rotation that restores the triangle:
// [c s; -s c] on rows k-1, k of R (columns k-1 .. n-1) and of y, c = a/r, s = b/r,
// a = R(k-1,k), b = R(k,k), r = sqrt(a^2 + b^2) (norm2 = a^2 + b^2, as the test formed it).
void exchange(reducer& r, std::int64_t k, double norm2) {
    const std::int64_t n = r.n;
    double* r0 = r.R + (k - 1) * n;
    double* r1 = r.R + k * n;
    swap_columns(r0, r1, k + 1);
    r1[k] = 0.0;  // R(k,k-1) of the old column k-1: zero (the strict lower triangle is not kept)
    if (!r.formed && r.log_count == r.log_cap) form_transforms(r);
    if (r.formed) {
        apply_exchange(r, k);
    } else {
        r.log[r.log_count++] = {0, static_cast<std::uint16_t>(k), 0};
    }
    std::swap(r.ubound[k - 1], r.ubound[k]);
    std::swap(r.zbound[k - 1], r.zbound[k]);
    const double rr = std::sqrt(norm2);
    const double c = r0[k - 1] / rr, s = r0[k] / rr;
    r0[k - 1] = rr;
    r0[k] = 0.0;
    for (std::int64_t t = k; t < n; ++t) {
        double* p = r.R + (k - 1) + t * n;
        const double x = p[0], w = p[1];
        p[0] = c * x + s * w;
        p[1] = c * w - s * x;
    }
    const double x = r.y[k - 1], w = r.y[k];
    r.y[k - 1] = c * x + s * w;
    r.y[k] = c * w - s * x;
    set_column_scale(r, k - 1);
    set_column_scale(r, k);
    // columns 0 .. k-2 and rows 0 .. k-2 keep their values: the swapped columns keep their
    // settled rows below k-1, and every later column loses rows k-1 and k
    const std::int64_t below = k - 1;
    const std::int64_t s0 = r.settled[k - 1], s1 = r.settled[k];
    r.settled[k - 1] = std::min(s1, below);
    r.settled[k] = std::min(s0, below);
    for (std::int64_t col = k + 1; col < n; ++col) r.settled[col] = std::min(r.settled[col], below);
}

// LLL on the columns of R: column k is size-reduced against every column before it, nearest
// first (reducing only R(k-1,k), as MLAMBDA does, lets the other entries grow through the
// exchanges, and later reductions by them lost up to 1e-6 of the squared norms on simulated
// models), then tested. An exchange is made when
// delta*R(k-1,k-1)^2 > R(k-1,k)^2 + R(k,k)^2 and the new R(k-1,k-1) is smaller in magnitude
// than the old: then the vector (|R(0,0)|, ..., |R(n-1,n-1)|) falls in lexicographic order
// (size reduction leaves the diagonal alone), which it can do finitely often, so the loop
// ends; the cap of 1024 + 16*n^2 exchanges is a second bound. Returns false when check
// stopped it.
bool decorrelate(reducer& r, double delta, std::int64_t& exchanges, const interrupt_check* check) {
    const std::int64_t n = r.n;
    const std::int64_t cap = 1024 + 16 * n * n;
    for (std::int64_t j = 0; j < n; ++j) {
        set_column_scale(r, j);
        r.settled[j] = 0;
    }
    std::int64_t k = 1;
    for (std::uint32_t steps = 1; k < n; ++steps) {
        if (steps % 16384 == 0 && interrupt_requested(check)) return false;
        const double* rk = r.R + k * n;
        // Most entries are reduced already: runs of them are passed four at a time (the
        // tests without branches between them; a reduction changes only entries below j).
        // Below the settled rows nothing is to be done until a step changes them.
        const double* h = r.half;
        const std::int64_t known = r.settled[k];
        bool changed = false;
        std::int64_t unsettled = k;  // the lowest row found not settled
        for (std::int64_t j = k - 1; j >= 0; --j) {
            if (j < known && !changed) break;
            while (j >= 3 &&
                   ((std::fabs(rk[j]) <= h[j]) & (std::fabs(rk[j - 1]) <= h[j - 1]) &
                    (std::fabs(rk[j - 2]) <= h[j - 2]) & (std::fabs(rk[j - 3]) <= h[j - 3]))) {
                j -= 4;
            }
            if (j < 0 || std::fabs(rk[j]) <= h[j]) continue;
            const outcome o = size_reduce(r, j, k);
            if (o == outcome::refused || (o == outcome::step && !settled_entry(r, j, k))) {
                unsettled = j;
            }
            changed = changed || o == outcome::step;
        }
        r.settled[k] = unsettled;
        const double d = r.R[(k - 1) + (k - 1) * n];
        const double a = r.R[(k - 1) + k * n];
        const double b = r.R[k + k * n];
        const double norm2 = a * a + b * b;
        // (delta*d)*d > a^2 + b^2 and sqrt(a^2 + b^2) < |d|
        if ((delta * d) * d > norm2 && std::sqrt(norm2) < std::fabs(d) && exchanges < cap) {
            exchange(r, k, norm2);
            ++exchanges;
            k = k > 1 ? k - 1 : 1;
        } else {
            ++k;
        }
    }
    return true;
}

// a = U*z for integer z without U: the logged steps applied to z from the last back
// (U = E_1*...*E_t, a step E: v_j -= q*v_k; an exchange swaps v_(k-1), v_k), in 64-bit
// integers. 1: done, afix = s + a; 0: a row passes 2^53 (out of range); -1: an intermediate
// passed 2^63 (then U is formed and multiplied instead).
int back_transform_logged(const reducer& r, const double* z, const double* s, std::int64_t* v,
                          double* afix) {
    const std::int64_t n = r.n;
    for (std::int64_t i = 0; i < n; ++i) v[i] = static_cast<std::int64_t>(z[i]);
    for (std::int64_t t = r.log_count - 1; t >= 0; --t) {
        const reduction_op& op = r.log[t];
        if (op.q != 0) {
            std::int64_t p = 0;
            if (__builtin_mul_overflow(static_cast<std::int64_t>(op.q), v[op.k], &p) ||
                __builtin_sub_overflow(v[op.j], p, &v[op.j])) {
                return -1;
            }
        } else {
            std::swap(v[op.k - 1], v[op.k]);
        }
    }
    for (std::int64_t i = 0; i < n; ++i) {
        if (!within_limit(v[i])) return 0;
    }
    for (std::int64_t i = 0; i < n; ++i) afix[i] = s[i] + static_cast<double>(v[i]);
    return 1;
}

// ---- search -------------------------------------------------------------------------------

// The kept candidates, best first, ordered by (squared norm, then z from its last component
// to its first, smaller first).
struct best_list {
    double* z;  // cap*m
    double* d;  // cap
    std::int64_t m, cap, count;
};

bool before(const double* z, double d, const double* w, double dw, std::int64_t m) {
    if (d != dw) return d < dw;
    for (std::int64_t i = m - 1; i >= 0; --i) {
        if (z[i] != w[i]) return z[i] < w[i];
    }
    return false;
}

// Inserts (z, d) in its place; the worst falls off a full list. Returns the new radius.
double keep(best_list& b, const double* z, double d) {
    std::int64_t p = b.count;
    while (p > 0 && before(z, d, b.z + (p - 1) * b.m, b.d[p - 1], b.m)) --p;
    if (p == b.cap) return b.d[b.cap - 1];
    const std::int64_t last = b.count < b.cap ? b.count : b.cap - 1;
    const auto bytes = static_cast<std::size_t>(b.m) * sizeof(double);
    for (std::int64_t q = last; q > p; --q) {
        std::memcpy(b.z + q * b.m, b.z + (q - 1) * b.m, bytes);
        b.d[q] = b.d[q - 1];
    }
    std::memcpy(b.z + p * b.m, z, bytes);
    b.d[p] = d;
    if (b.count < b.cap) ++b.count;
    return b.count == b.cap ? b.d[b.cap - 1] : inf;
}

struct search_arrays {
    double* pdist;  // squared distance of the levels above k
    double* t;      // y[k] - sum_{j>k} R(k,j)*cand[j]
    double* cand;
    double* step;
    double* S;  // row i (columns i+1..m-1): S(i,j) = sum_{j'>=j} R(i,j')*cand[j'], leading dim m
    std::int64_t* stale;  // k = 1..m-1: S(k-1,j) is out of date for j <= stale[k]
    const double* rinv;   // 1/R(k,k)
};

// Level k's rounded centre and first step, towards the real centre; false beyond the limit.
inline bool start_level(std::int64_t k, const search_arrays& a) {
    const double centre = a.t[k] * a.rinv[k];
    if (!(std::fabs(centre) <= centre_limit)) return false;
    const double c = floor_in_range_unbranched(centre + 0.5);
    a.cand[k] = c;
    a.step[k] = signed_one(centre < c);  // +1 where centre >= c, else -1
    return true;
}

// Every sum out of date (before a search or a bootstrap).
inline void reset_sums(std::int64_t m, const search_arrays& a) {
    for (std::int64_t k = 1; k < m; ++k) a.stale[k] = m - 1;
}

// Level k has its candidate; level k-1 gets its t = y[k-1] - S(k-1,k). Only the sums of row
// k-1 whose candidates changed since it was last formed are formed again, from the last
// column down (S(i,m-1) = R(i,m-1)*cand[m-1], S(i,j) = S(i,j+1) + R(i,j)*cand[j]), so every
// sum is what forming them all would give. Row i of R is read from the strict lower triangle
// (R(i,j) at R[j + i*ld], j > i: the transposed copy). Then row k-2 is out of date wherever
// row k-1 was, and row k-1 from column k on (cand[k] moves before the next descent).
inline void descend(const double* y, const double* R, std::int64_t ld, std::int64_t m,
                    std::int64_t k, const search_arrays& a) {
    const std::int64_t row = k - 1;
    const double* r = R + row * ld;
    double* sr = a.S + row * m;
    std::int64_t j = a.stale[k];
    if (j == m - 1) {
        sr[j] = r[j] * a.cand[j];
        --j;
    }
    for (; j >= k; --j) sr[j] = sr[j + 1] + r[j] * a.cand[j];
    a.t[row] = y[row] - sr[k];
    if (row >= 1 && a.stale[row] < a.stale[k]) a.stale[row] = a.stale[k];
    a.stale[k] = k;
}

// Whether a candidate of level k that ties with the radius (d == radius, e its residual), or
// with the level's first while fewer than ncands are held, does so only because its step's
// increment is below the rounding of the distance (conditional variances 1e30 and more apart): its
// distance equals that of the level's first candidate (the nearest to the centre) though it lies
// further from the centre, or that of the candidate one step nearer on the same side. So would that
// of every candidate after it, a run of up to 2^51 ties that no rounding can order: the search ends
// the level there, keeping the candidates nearer the centre. Exact ties, as between the two
// candidates around a centre at a half (residuals of opposite signs and equal magnitudes), are
// still ordered. The candidate one step nearer on the same side is c + sign(e)*sign(r): its
// residual e' = e - |r|*sign(e) (as the search forms it) has the sign of e and |e'| <= |e|.
inline bool absorbed_step(double r, std::int64_t k, double e, double d, const search_arrays& a) {
    const double e0 = a.t[k] - r * std::floor(a.t[k] * a.rinv[k] + 0.5);
    if (std::fabs(e) > std::fabs(e0) && a.pdist[k] + e0 * e0 == d) return true;
    if (e == 0.0) return false;
    const double nearer = a.cand[k] + ((e > 0.0) == (r > 0.0) ? 1.0 : -1.0);
    const double e1 = a.t[k] - r * nearer;
    return (e1 > 0.0) == (e > 0.0) && e1 != 0.0 && a.pdist[k] + e1 * e1 == d;
}

// The ncands best integer z for ||y - R*z||^2 (m levels, R with leading dimension ld), the
// first leaf being the bootstrapped one. Counts the nodes into nodes.
ambiguity_status search_best(const double* y, const double* R, std::int64_t ld, std::int64_t m,
                             best_list& best, std::int64_t max_nodes, const search_arrays& a,
                             std::int64_t& nodes, const interrupt_check* check) {
    std::int64_t k = m - 1;
    reset_sums(m, a);
    a.pdist[k] = 0.0;
    a.t[k] = y[k];
    if (!start_level(k, a)) return ambiguity_status::out_of_range;
    double radius = inf;
    std::int64_t leaves = 0;
    const std::int64_t cap = max_nodes > 0 ? max_nodes : std::numeric_limits<std::int64_t>::max();
    // the count in a local (the sums' int64 stores could alias a reference), back at the end
    std::int64_t count = nodes;
    ambiguity_status status = ambiguity_status::optimal;
    for (;;) {
        if (count == cap) {
            status = ambiguity_status::node_limit;
            break;
        }
        ++count;
        if ((count & (poll_interval - 1)) == 0 && interrupt_requested(check)) {
            status = ambiguity_status::interrupted;
            break;
        }
        const double e = a.t[k] - R[k + k * ld] * a.cand[k];
        const double d = a.pdist[k] + e * e;
        // while fewer than ncands are held (radius inf), every candidate is asked too
        if ((d < radius && radius < inf) ||
            (d <= radius && d < inf && !absorbed_step(R[k + k * ld], k, e, d, a))) {
            if (k > 0) {
                descend(y, R, ld, m, k, a);
                a.pdist[k - 1] = d;
                --k;
                if (!start_level(k, a)) {
                    status = ambiguity_status::out_of_range;
                    break;
                }
                continue;
            }
            radius = keep(best, a.cand, d);
            // a leaf costs up to ncands*m to keep: ask every 4096 leaves too
            if ((++leaves & 4095) == 0 && interrupt_requested(check)) {
                status = ambiguity_status::interrupted;
                break;
            }
        } else {
            if (k == m - 1) break;
            ++k;
        }
        zigzag_advance(a.cand[k], a.step[k]);
    }
    nodes = count;
    return status;
}

// Sequential rounding from the last level to the first, the search's first leaf.
bool bootstrap(const double* y, const double* R, std::int64_t ld, std::int64_t m,
               const search_arrays& a, double& d) {
    d = 0.0;
    reset_sums(m, a);
    a.t[m - 1] = y[m - 1];
    for (std::int64_t k = m - 1; k >= 0; --k) {
        if (!start_level(k, a)) return false;
        const double e = a.t[k] - R[k + k * ld] * a.cand[k];
        d = d + e * e;
        if (k > 0) descend(y, R, ld, m, k, a);
    }
    return true;
}

// a = U*z exactly for integer z (|z| <= 2^52): in doubles when sum_j |U(i,j)|*|z_j| < 2^53
// for every row (bound from the column bounds of U; then every product and partial sum is an
// exact integer), else in 128-bit sums of 64-bit products. False when a row passes 2^53.
bool back_transform(const double* U, const double* ubound, std::int64_t n, const double* z,
                    const double* s, double* afix) {
    double bound = 0.0;
    for (std::int64_t j = 0; j < n; ++j) bound = bound + ubound[j] * std::fabs(z[j]);
    if (bound < 4503599627370496.0) {  // 2^52, with room for the rounding of the bound
        for (std::int64_t i = 0; i < n; ++i) afix[i] = 0.0;
        for (std::int64_t j = 0; j < n; ++j) {
            const double zj = z[j];
            if (zj == 0.0) continue;
            const double* uj = U + j * n;
            for (std::int64_t i = 0; i < n; ++i) afix[i] = afix[i] + uj[i] * zj;
        }
        for (std::int64_t i = 0; i < n; ++i) afix[i] = s[i] + afix[i];
        return true;
    }
    for (std::int64_t i = 0; i < n; ++i) {
        __int128 v = 0;
        for (std::int64_t j = 0; j < n; ++j) {
            v += static_cast<__int128>(static_cast<std::int64_t>(U[i + j * n])) *
                 static_cast<std::int64_t>(z[j]);
        }
        if (!within_limit(v)) return false;
        afix[i] = s[i] + static_cast<double>(static_cast<std::int64_t>(v));
    }
    return true;
}

// a = U*z into afix (afix = s + a), from the log while U is not formed; false when a row
// passes 2^53.
bool transform_back(reducer& r, const double* z, const double* s, std::int64_t* v, double* afix) {
    if (!r.formed) {
        const int done = back_transform_logged(r, z, s, v, afix);
        if (done >= 0) return done == 1;
        form_transforms(r);
    }
    return back_transform(r.U, r.ubound, r.n, z, s, afix);
}

// x[perm[i]] = x[i] for every i at once (from the order of the factorisation to Q's).
void to_original(double* x, const std::int64_t* perm, std::int64_t n, double* tmp) {
    for (std::int64_t i = 0; i < n; ++i) tmp[i] = x[i];
    for (std::int64_t i = 0; i < n; ++i) x[perm[i]] = tmp[i];
}

}  // namespace

std::size_t ambiguity_scratch_bytes(std::int64_t n, std::int64_t ncands) {
    return sizeof(double) * layout_doubles(n, ncands);
}

double bootstrap_success_rate(const double* D, std::int64_t first, std::int64_t n) {
    double p = 1.0;
    for (std::int64_t i = n - 1; i >= first; --i) p = p * std::erf(1.0 / std::sqrt(8.0 * D[i]));
    return p;
}

ambiguity_result ambiguity_fix(const double* ahat, const double* Q, std::int64_t n,
                               const ambiguity_options& options, const ambiguity_outputs& out,
                               void* scratch, const interrupt_check* check) {
    ambiguity_result res;
    const std::int64_t M = options.ncands;
    for (std::int64_t i = 0; i < n * M; ++i) out.afix[i] = nan_value;
    for (std::int64_t c = 0; c < M; ++c) out.sqnorm[c] = nan_value;
    for (std::int64_t i = 0; i < n; ++i) out.fixed[i] = 0.0;
    res.success_rate = 1.0;
    res.fixed_success_rate = 1.0;
    if (n <= 0) return res;
    const layout s = carve(scratch, n, M);

    // 1: scale.
    double qmax = 0.0;
    for (std::int64_t i = 0; i < n; ++i) qmax = std::fmax(qmax, Q[i + i * n]);
    int e = 0;
    if (qmax > 0.0 && qmax < inf) {
        int p = 0;
        std::frexp(qmax, &p);  // qmax in [2^(p-1), 2^p): 4^e <= qmax < 4^(e+1)
        e = static_cast<int>(std::floor(static_cast<double>(p - 1) / 2.0));
    }

    // 2: P'*Q*P = C*C' (round: P = I; it makes no use of the order).
    const std::int64_t* perm = s.perm;
    if (!reverse_cholesky(scaled_matrix(Q, n, e), n, options.method != ambiguity_method::round, s.R,
                          s.cand, s.step, s.perm)) {
        res.status = ambiguity_status::not_positive_definite;
        return res;
    }
    // 3: shift in the order of P (zf holds it until the back-transform), R = inv(C), y = R*f.
    double* shift = s.zf;
    for (std::int64_t i = 0; i < n; ++i) {
        shift[i] = nearest_integer(ahat[perm[i]]);
        s.y[i] = ahat[perm[i]] - shift[i];
    }
    whiten(s.R, s.cand, n, s.y, s.rinv);

    // 4: decorrelation (round: none, the rounded vector is the answer).
    // U and Z start as the identity (formed from the log only when needed)
    for (std::int64_t i = 0; i < n; ++i) {
        s.ubound[i] = 1.0;
        s.zbound[i] = 1.0;
    }
    reducer red{s.R, s.y, s.U, s.Z, n, s.ubound, s.zbound, s.half, s.settled, s.log};
    red.log_cap = log_capacity(n);
    red.inv = s.inv;
    if (options.method != ambiguity_method::round) {
        if (!decorrelate(red, options.delta, res.exchanges, check)) {
            res.status = ambiguity_status::interrupted;
            return res;
        }
    }
    if (red.limited) res.status = ambiguity_status::z_limit;
    // d_i = 1/R(i,i)^2 at the scale of Q: 4^e / R(i,i)^2
    for (std::int64_t i = 0; i < n; ++i) {
        const double r = s.R[i + i * n];
        out.D[i] = std::ldexp(1.0 / (r * r), 2 * e);
    }
    res.success_rate = bootstrap_success_rate(out.D, 0, n);
    res.fixed_success_rate = res.success_rate;
    if (out.Z != nullptr || out.U != nullptr) form_transforms(red);
    // a = P*a' (a' in the order of the factorisation): the rows of U and Z are those of P
    for (std::int64_t j = 0; out.Z != nullptr && j < n; ++j) {
        for (std::int64_t i = 0; i < n; ++i) out.Z[perm[i] + j * n] = s.Z[i + j * n];
    }
    for (std::int64_t j = 0; out.U != nullptr && j < n; ++j) {
        for (std::int64_t i = 0; i < n; ++i) out.U[perm[i] + j * n] = s.U[i + j * n];
    }
    for (std::int64_t i = 0; i < n; ++i) s.rinv[i] = 1.0 / s.R[i + i * n];
    // rows of R for the search: R(i,j) also at R[j + i*n], j > i (the strict lower triangle)
    for (std::int64_t i = 0; i < n; ++i) {
        for (std::int64_t j = i + 1; j < n; ++j) s.R[j + i * n] = s.R[i + j * n];
    }
    const search_arrays arrays{s.pdist, s.isum, s.cand, s.step, s.S, s.stale, s.rinv};
    auto unscale = [&](double d) { return std::ldexp(d, -2 * e); };

    if (options.method == ambiguity_method::round) {
        // a = 0 after the shift: the squared norm is ||y||^2
        double d = 0.0;
        for (std::int64_t i = 0; i < n; ++i) d = d + s.y[i] * s.y[i];
        for (std::int64_t i = 0; i < n; ++i) {
            out.afix[i] = shift[i];
            out.fixed[i] = 1.0;
        }
        out.sqnorm[0] = unscale(d);
        res.found = 1;
        res.nfixed = n;
        return res;
    }
    if (options.method == ambiguity_method::bootstrap) {
        double d = 0.0;
        if (!bootstrap(s.y, s.R, n, n, arrays, d) ||
            !transform_back(red, s.cand, shift, s.v, out.afix)) {
            for (std::int64_t i = 0; i < n; ++i) out.afix[i] = nan_value;
            res.status = ambiguity_status::out_of_range;
            return res;
        }
        to_original(out.afix, perm, n, s.pdist);
        for (std::int64_t i = 0; i < n; ++i) out.fixed[i] = 1.0;
        out.sqnorm[0] = unscale(d);
        res.found = 1;
        res.nfixed = n;
        return res;
    }

    // 5: the block to fix: all (ils), or the largest trailing block reaching min_sr (par).
    std::int64_t first = 0;
    if (options.method == ambiguity_method::par) {
        double p = 1.0;
        first = n;
        while (first > 0) {
            const double next = p * std::erf(1.0 / std::sqrt(8.0 * out.D[first - 1]));
            if (!(next >= options.min_sr)) break;
            p = next;
            --first;
        }
        res.fixed_success_rate = p;
    }
    const std::int64_t m = n - first;
    res.nfixed = m;
    if (m == 0) {
        for (std::int64_t i = 0; i < n; ++i) out.afix[i] = ahat[i];
        return res;
    }
    best_list best{s.best_z, s.best_d, m, M, 0};
    search_arrays block = arrays;
    block.rinv = s.rinv + first;
    const ambiguity_status st = search_best(s.y + first, s.R + first + first * n, n, m, best,
                                            options.max_nodes, block, res.nodes, check);
    if (st == ambiguity_status::interrupted) {
        res.status = st;
        return res;
    }
    if (st != ambiguity_status::optimal) res.status = st;
    res.found = best.count;
    if (st == ambiguity_status::out_of_range) return res;
    if (best.count == 0 && st == ambiguity_status::optimal) {
        // an unbounded search that keeps nothing: every metric overflowed (Q near the
        // limits of double), not an optimum
        res.status = ambiguity_status::out_of_range;
        return res;
    }

    // 6: back-transform.
    for (std::int64_t c = 0; c < best.count; ++c) out.sqnorm[c] = unscale(best.d[c]);
    if (first == 0) {
        for (std::int64_t c = 0; c < (options.method == ambiguity_method::par ? 1 : best.count);
             ++c) {
            if (!transform_back(red, best.z + c * m, shift, s.v, out.afix + c * n)) {
                for (std::int64_t i = 0; i < n * M; ++i) out.afix[i] = nan_value;
                res.status = ambiguity_status::out_of_range;
                return res;
            }
            to_original(out.afix + c * n, perm, n, s.pdist);
        }
        for (std::int64_t i = 0; i < n; ++i) out.fixed[i] = 1.0;
        return res;
    }
    // par with floats: z(first..) fixed to the best, z(0..first-1) the conditioned floats
    // z_i = (y_i - sum_{j>i} R(i,j)*z_j) / R(i,i), from i = first-1 down; then a = U*z,
    // exact for the rows of U that are zero on the float columns (those a_i are integers).
    form_transforms(red);
    double* z = s.cand;
    for (std::int64_t j = 0; j < m; ++j) z[first + j] = best.z[j];
    for (std::int64_t i = first - 1; i >= 0; --i) {
        double t = s.y[i];
        for (std::int64_t j = i + 1; j < n; ++j) t = t - s.R[i + j * n] * z[j];
        z[i] = t / s.R[i + i * n];
    }
    for (std::int64_t i = 0; i < n; ++i) {
        bool integer = true;
        for (std::int64_t j = 0; j < first; ++j) integer = integer && s.U[i + j * n] == 0.0;
        if (integer) {
            __int128 v = 0;
            for (std::int64_t j = first; j < n; ++j) {
                v += static_cast<__int128>(static_cast<std::int64_t>(s.U[i + j * n])) *
                     static_cast<std::int64_t>(z[j]);
            }
            if (!within_limit(v)) {
                for (std::int64_t t = 0; t < n; ++t) out.afix[t] = nan_value;
                res.status = ambiguity_status::out_of_range;
                return res;
            }
            out.afix[i] = shift[i] + static_cast<double>(static_cast<std::int64_t>(v));
            out.fixed[i] = 1.0;
        } else {
            double t = 0.0;
            for (std::int64_t j = 0; j < n; ++j) t = t + s.U[i + j * n] * z[j];
            out.afix[i] = shift[i] + t;
        }
    }
    to_original(out.afix, perm, n, s.pdist);
    to_original(out.fixed, perm, n, s.pdist);
    return res;
}
