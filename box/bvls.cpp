// The BVLS active-set iteration.
#include "box/bvls.h"

#include <cmath>
#include <cstring>

#include "box/blas64.h"
#include "box/gram_inverse.h"

const char* bvls_exit_message(bvls_exit exit) {
    switch (exit) {
        case bvls_exit::too_many_free:
            return "Too many free variables!";
        case bvls_exit::chol_failed:
            return gram_status_message(gram_status::chol_failed);
        case bvls_exit::inverse_failed:
            return gram_status_message(gram_status::inverse_failed);
        case bvls_exit::breakdown:
            return "the free-set Gram matrix is numerically singular (R is too ill-conditioned)\n";
        default:
            return "";
    }
}

namespace {

std::int64_t magnitude(std::int64_t v) {
    return v < 0 ? -v : v;
}

// The pieces of the state that every step needs, with short names.
struct solver {
    bvls_state& st;
    const std::int64_t n;
    const double* R;
    double* x;
    std::int64_t* slot;
    double* H;
    double* rhs;
    double* rhs_copy;
    double u;

    explicit solver(bvls_state& state)
        : st(state),
          n(state.n),
          R(state.R),
          x(state.x),
          slot(state.slot),
          H(state.columns),
          rhs(state.columns + state.n * state.n),
          rhs_copy(state.columns + state.n * (state.n + 1)),
          u(state.u) {}

    const double* column_of(std::int64_t j) const { return R + (j - 1) * n; }
    double* H_column(std::int64_t c) const { return H + c * n; }

    // z = free-set solution for rhs (rhs_copy becomes its residual)
    void solve() {
        blas::copy(n, rhs, 1, rhs_copy, 1);
        free_set_solve(n, n, st.n_free, H, st.G, rhs_copy, st.z, st.work);
    }

    // The variable in free slot n_bound+i and its value in z.
    std::int64_t free_variable(std::int64_t i) const { return slot[st.n_bound + i]; }
    double free_value(std::int64_t i) const { return st.z[st.n_free - i]; }
};

}  // namespace

bvls_result bvls_iterate(bvls_state& state, bool warm) {
    solver s(state);
    const std::int64_t n = s.n;
    const double u = s.u;
    std::int64_t& n_bound = state.n_bound;
    std::int64_t& n_free = state.n_free;
    double* dual = state.dual;
    double* work = state.work;

    // Entry: H from the initial free set (free slot j owns column n-j), then G.
    const double y_norm = blas::nrm2(n, state.y, 1);
    for (std::int64_t j = n_bound + 1; j <= n; ++j) {
        blas::copy(n, s.column_of(s.slot[j]), 1, s.H_column(n - j), 1);
    }
    switch (gram_inverse_update(n, n, n_free, s.H, state.G, nullptr, work, 0)) {
        case gram_status::ok:
            break;
        case gram_status::inverse_failed:
            return {bvls_exit::inverse_failed, 1};
        default:
            return {bvls_exit::chol_failed, 1};  // m == n here: only Cholesky remains
    }
    std::int64_t iter = 1;
    std::int64_t last_limit = 0;  // variable the latest interpolation sent to a bound
    double limit_sign = 1.0;      // sign of its free-set value
    std::int64_t freed_slot = 0;  // slot value (+-e) of the variable freed in this pass

    for (;;) {
        // P1: the pass cap comes before the convergence test
        if (iter > 3 * n) return {bvls_exit::iteration_cap, iter};
        // P2: residual y - R x and dual R'(y - R x), rebuilt from scratch every pass
        blas::copy(n, s.x, 1, work, 1);
        blas::trmv('U', 'N', 'N', n, s.R, n, work, 1);
        blas::copy(n, state.y, 1, s.rhs, 1);
        blas::axpy(n, -1.0, work, 1, s.rhs, 1);
        const double rho = blas::nrm2(n, s.rhs, 1);
        blas::copy(n, s.rhs, 1, dual, 1);
        blas::trmv('U', 'T', 'N', n, s.R, n, dual, 1);
        // P3, P4
        if (rho < y_norm * 1e-11) return {bvls_exit::converged, iter};
        if (iter > 1 && n_bound == 0) return {bvls_exit::all_free, iter};
        // P5: rhs = y - sum over bound j of x_j R_j
        for (std::int64_t sl = n_bound + 1; sl <= n; ++sl) {
            const std::int64_t j = s.slot[sl];
            blas::axpy(n, s.x[j - 1], s.column_of(j), 1, s.rhs, 1);
        }

        if (iter == 1 && warm) {
            // P6: the first pass of a warm start solves on the given free set
            s.solve();
        } else {
            // Selection and freeing, repeated after every put-back. Each put-back zeroes
            // the dual entry of a different variable, so this runs at most n_bound+1 times.
            for (;;) {
                // S1-S3: the bound variable whose sign condition fails most
                std::int64_t K = 0;
                std::int64_t e = 0;
                for (;;) {
                    double best = 0.0;
                    for (std::int64_t l = 1; l <= n_bound; ++l) {
                        const std::int64_t sv = s.slot[l];
                        const std::int64_t j = magnitude(sv);
                        const double v = (sv >= 0 ? 1.0 : -1.0) * dual[j - 1];
                        if (v < best) {  // strict: of equal values the lowest slot wins
                            best = v;
                            K = l;
                            e = j;
                        }
                    }
                    if (best >= 0.0) return {bvls_exit::optimal, iter};
                    if (e != last_limit) break;
                    dual[e - 1] = 0.0;  // not freed again straight after being limited
                }
                // F1: take e's bound value out of rhs
                const double b = s.slot[K] > 0 ? u : -u;
                blas::axpy(n, b, s.column_of(e), 1, s.rhs, 1);
                // F2: the last bound slot fills the gap
                freed_slot = s.slot[K];
                s.slot[K] = s.slot[n_bound];
                --n_bound;
                // F3: e becomes the last free column
                blas::copy(n, s.column_of(e), 1, s.H_column(n_free), 1);
                gram_inverse_update(n, n, n_free, s.H, state.G, s.H_column(n_free), work, -1);
                ++n_free;
                s.slot[n_bound + 1] = e;
                // F4
                if (n_free > n) return {bvls_exit::too_many_free, iter};
                // I1
                s.solve();
                // I2: e's value passed the bound it was freed from: put it back
                const double v = state.z[n_free - 1];
                if (!((freed_slot > 0 && v > u) || (freed_slot < 0 && v < -u))) break;
                // B1: back to the bound whose value x_e still holds
                ++n_bound;
                s.slot[n_bound] = s.x[e - 1] - u >= 0.0 ? e : -e;
                // B2: e's column is the last one
                gram_inverse_update(n, n, n_free, s.H, state.G, nullptr, work, n_free);
                --n_free;
                // B3
                blas::axpy(n, -s.x[e - 1], s.column_of(e), 1, s.rhs, 1);
                dual[e - 1] = 0.0;
            }
        }
        // I3
        if (freed_slot != 0) last_limit = 0;
        freed_slot = 0;

        // Inner loop: each interpolation sends at least the limiting variable to a bound,
        // so it runs at most n_free times before the solution is accepted or none is free.
        for (;;) {
            // I4: is every free value inside the box (+-u itself is feasible)?
            bool outside = false;
            for (std::int64_t i = 1; i <= n_free; ++i) {
                const double v = s.free_value(i);
                // An overflowed solve would turn x into NaN (0 * Inf) and the step below
                // could then never send a variable to a bound: stop instead of looping.
                if (!std::isfinite(v)) return {bvls_exit::breakdown, iter};
                if (v < -u || v > u) {
                    outside = true;
                    break;
                }
            }
            if (!outside) {
                // C1: accept
                for (std::int64_t i = 1; i <= n_free; ++i) {
                    s.x[s.free_variable(i) - 1] = s.free_value(i);
                }
                ++iter;
                break;
            }
            // A1: the longest step from x towards z that stays in the box; of equal
            // ratios the lowest free slot wins
            double alpha = 2.0;
            for (std::int64_t i = 1; i <= n_free; ++i) {
                const std::int64_t j = s.free_variable(i);
                const double v = s.free_value(i);
                const double xj = s.x[j - 1];
                double ratio;
                if (v > u) {
                    ratio = (u - xj) / (v - xj);
                } else if (v < -u) {
                    ratio = (-u - xj) / (v - xj);
                } else {
                    continue;
                }
                if (ratio < alpha) {
                    alpha = ratio;
                    last_limit = j;
                    limit_sign = v >= 0.0 ? 1.0 : -1.0;
                }
            }
            // No ratio below 2 (each was NaN, from differences that overflowed): no variable
            // would reach a bound, and the loop would repeat the same step forever.
            if (alpha == 2.0) return {bvls_exit::breakdown, iter};
            // A2
            for (std::int64_t i = 1; i <= n_free; ++i) {
                const std::int64_t j = s.free_variable(i);
                s.x[j - 1] = s.x[j - 1] + alpha * (s.free_value(i) - s.x[j - 1]);
            }
            // M1, M2: the free slots in the order they had when this step began. A move
            // shifts only slots below the current one, so slot[b0+p] still holds the
            // variable of position p, and its H column is still f0-p.
            const std::int64_t b0 = n_bound;
            const std::int64_t f0 = n_free;
            for (std::int64_t p = 1; p <= f0; ++p) {
                const std::int64_t j = s.slot[b0 + p];
                const bool limiting = j == last_limit;
                std::int64_t entry;
                if (u - s.x[j - 1] <= 0.0 || (limiting && limit_sign >= 0.0)) {
                    blas::axpy(n, -u, s.column_of(j), 1, s.rhs, 1);
                    s.x[j - 1] = u;
                    entry = j;
                } else if (s.x[j - 1] + u <= 0.0 || (limiting && limit_sign < 0.0)) {
                    blas::axpy(n, u, s.column_of(j), 1, s.rhs, 1);
                    s.x[j - 1] = -u;
                    entry = -j;
                } else {
                    continue;
                }
                // the free entries passed over move up one slot; j joins the bound list
                for (std::int64_t sl = b0 + p - 1; sl >= n_bound + 1; --sl) {
                    s.slot[sl + 1] = s.slot[sl];
                }
                s.slot[n_bound + 1] = entry;
                ++n_bound;
                // drop j's column c from H and from G
                const std::int64_t c = f0 - p;
                if (n_free - 1 > c) {
                    std::memmove(s.H_column(c), s.H_column(c + 1),
                                 static_cast<std::size_t>((n_free - 1 - c) * n) * sizeof(double));
                }
                gram_inverse_update(n, n, n_free, s.H, state.G, nullptr, work, c + 1);
                --n_free;
            }
            // M3
            if (n_free == 0) {
                ++iter;
                break;
            }
            // M4
            s.solve();
        }
    }
}
