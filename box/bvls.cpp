// SPDX-License-Identifier: BSD-3-Clause
// The BVLS active-set iteration: a short driver over the state of bvls.h and one
// function per step of a pass.
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
            return "R is too ill-conditioned: the free-set Gram matrix is numerically singular\n";
        default:
            return "";
    }
}

bool bvls_blas_usable() {
    return blas64_in_use();
}

namespace {

std::int64_t magnitude(std::int64_t v) {
    return v < 0 ? -v : v;
}

// R_j, for a variable j in 1..n.
const double* column_of_R(const bvls_state& s, std::int64_t j) {
    return s.R + (j - 1) * s.n;
}

// Column c (0-based) of the free-column store H.
double* column_of_H(const bvls_state& s, std::int64_t c) {
    return s.columns + c * s.n;
}

double* rhs(const bvls_state& s) {
    return s.columns + s.n * s.n;
}

// The variable in free slot n_bound+i (i = 1..n_free) and its value in z.
std::int64_t free_variable(const bvls_state& s, std::int64_t i) {
    return s.slot[s.n_bound + i];
}
double free_value(const bvls_state& s, std::int64_t i) {
    return s.z[s.n_free - i];
}

// H from the initial free set (free slot j owns column n-j), then G from H. False with
// the exit when the initial free columns are dependent.
template <class Kernels>
bool factor_initial_free_set(bvls_state& s, bvls_exit& exit) {
    for (std::int64_t j = s.n_bound + 1; j <= s.n; ++j) {
        Kernels::copy(s.n, column_of_R(s, s.slot[j]), 1, column_of_H(s, s.n - j), 1);
    }
    switch (
        gram_inverse_update_with<Kernels>(s.n, s.n, s.n_free, s.columns, s.G, nullptr, s.work, 0)) {
        case gram_status::ok:
            return true;
        case gram_status::inverse_failed:
            exit = bvls_exit::inverse_failed;
            return false;
        default:
            exit = bvls_exit::chol_failed;  // m == n here: only Cholesky remains
            return false;
    }
}

// rhs = y - R x and dual = R'(y - R x), rebuilt from x; returns ||y - R x||.
template <class Kernels>
double residual_and_dual(bvls_state& s) {
    const std::int64_t n = s.n;
    Kernels::copy(n, s.x, 1, s.work, 1);
    Kernels::trmv('U', 'N', 'N', n, s.R, n, s.work, 1);
    Kernels::copy(n, s.y, 1, rhs(s), 1);
    Kernels::axpy(n, -1.0, s.work, 1, rhs(s), 1);
    const double norm = Kernels::nrm2(n, rhs(s), 1);
    Kernels::copy(n, rhs(s), 1, s.dual, 1);
    Kernels::trmv('U', 'T', 'N', n, s.R, n, s.dual, 1);
    return norm;
}

// From y - R x to the right-hand side of the free set: adds x_j R_j back for every free j,
// leaving rhs = y - sum over bound j of x_j R_j.
template <class Kernels>
void add_back_free_terms(bvls_state& s) {
    for (std::int64_t sl = s.n_bound + 1; sl <= s.n; ++sl) {
        const std::int64_t j = s.slot[sl];
        Kernels::axpy(s.n, s.x[j - 1], column_of_R(s, j), 1, rhs(s), 1);
    }
}

// z = the least-squares solution on the free columns for rhs (its copy in the last
// column of the store becomes the residual).
template <class Kernels>
void solve_free_set(bvls_state& s) {
    double* residual = s.columns + s.n * (s.n + 1);
    Kernels::copy(s.n, rhs(s), 1, residual, 1);
    free_set_solve_with<Kernels>(s.n, s.n, s.n_free, s.columns, s.G, residual, s.z, s.work);
}

// The bound slot whose variable violates its sign condition most: the dual must point
// into the box (>= 0 at -u, <= 0 at +u). Of equal violations the lowest slot wins. The
// variable that the latest step sent to a bound is not freed again straight away: its
// dual entry is zeroed and the search repeats (at most once). False when none violates.
bool find_worst_violator(bvls_state& s, std::int64_t last_limit, std::int64_t& K, std::int64_t& e) {
    for (;;) {
        double best = 0.0;
        for (std::int64_t l = 1; l <= s.n_bound; ++l) {
            const std::int64_t sv = s.slot[l];
            const std::int64_t j = magnitude(sv);
            const double v = (sv >= 0 ? 1.0 : -1.0) * s.dual[j - 1];
            if (v < best) {  // strict: of equal values the lowest slot wins
                best = v;
                K = l;
                e = j;
            }
        }
        if (best >= 0.0) return false;
        if (e != last_limit) return true;
        s.dual[e - 1] = 0.0;
    }
}

// Moves variable e from bound slot K to the free set: its bound term leaves rhs, the last
// bound slot fills the gap, and R_e becomes the last column of H (G bordered by it).
template <class Kernels>
void free_variable_in_slot(bvls_state& s, std::int64_t K, std::int64_t e) {
    const double b = s.slot[K] > 0 ? s.u : -s.u;
    Kernels::axpy(s.n, b, column_of_R(s, e), 1, rhs(s), 1);
    s.slot[K] = s.slot[s.n_bound];
    --s.n_bound;
    double* last = column_of_H(s, s.n_free);
    Kernels::copy(s.n, column_of_R(s, e), 1, last, 1);
    gram_inverse_update_with<Kernels>(s.n, s.n, s.n_free, s.columns, s.G, last, s.work, -1);
    ++s.n_free;
    s.slot[s.n_bound + 1] = e;
}

// Undoes the freeing of e (the last free column) when its free-set value passed the
// bound it was freed from: back to the bound that x_e still holds, its term back in rhs,
// and its dual entry zeroed so that the next search passes it over.
template <class Kernels>
void put_back(bvls_state& s, std::int64_t e) {
    ++s.n_bound;
    s.slot[s.n_bound] = s.x[e - 1] - s.u >= 0.0 ? e : -e;
    gram_inverse_update_with<Kernels>(s.n, s.n, s.n_free, s.columns, s.G, nullptr, s.work,
                                      s.n_free);
    --s.n_free;
    Kernels::axpy(s.n, -s.x[e - 1], column_of_R(s, e), 1, rhs(s), 1);
    s.dual[e - 1] = 0.0;
}

// Frees the worst violator and solves on the new free set, putting the variable back and
// searching again while its value passes the bound it left. Each put-back zeroes the
// dual entry of another variable, so this ends after at most n_bound+1 freeings. False
// with the exit when no bound variable violates its condition (optimal) or the free set
// outgrew n (a corrupt index set).
template <class Kernels>
bool free_worst_violator(bvls_state& s, std::int64_t last_limit, bvls_exit& exit) {
    for (;;) {
        std::int64_t K = 0;
        std::int64_t e = 0;
        if (!find_worst_violator(s, last_limit, K, e)) {
            exit = bvls_exit::optimal;
            return false;
        }
        const std::int64_t freed_from = s.slot[K];  // -e: from -u, +e: from +u
        free_variable_in_slot<Kernels>(s, K, e);
        if (s.n_free > s.n) {
            exit = bvls_exit::too_many_free;
            return false;
        }
        solve_free_set<Kernels>(s);
        const double v = s.z[s.n_free - 1];
        if (!((freed_from > 0 && v > s.u) || (freed_from < 0 && v < -s.u))) return true;
        put_back<Kernels>(s, e);
    }
}

enum class placement { inside, outside, not_finite };

// Where the free-set solution lies: inside the box (+-u itself counts as inside) or not.
// Stops at the first value outside; an earlier value that is not finite (an overflowed
// solve) is reported as such, since stepping towards it would turn x into NaN.
placement place_free_solution(const bvls_state& s) {
    for (std::int64_t i = 1; i <= s.n_free; ++i) {
        const double v = free_value(s, i);
        if (!std::isfinite(v)) return placement::not_finite;
        if (v < -s.u || v > s.u) return placement::outside;
    }
    return placement::inside;
}

// The longest step alpha from x towards z that keeps every free variable in the box,
// and the variable that limits it (of equal ratios the lowest free slot wins), with the
// side of the box it reaches. 2 when no ratio is below 2.
double longest_step(const bvls_state& s, std::int64_t& limit, bool& limit_at_upper) {
    double alpha = 2.0;
    for (std::int64_t i = 1; i <= s.n_free; ++i) {
        const std::int64_t j = free_variable(s, i);
        const double v = free_value(s, i);
        const double xj = s.x[j - 1];
        double ratio;
        if (v > s.u) {
            ratio = (s.u - xj) / (v - xj);
        } else if (v < -s.u) {
            ratio = (-s.u - xj) / (v - xj);
        } else {
            continue;
        }
        if (ratio < alpha) {
            alpha = ratio;
            limit = j;
            limit_at_upper = v >= 0.0;
        }
    }
    return alpha;
}

// x = x + alpha (z - x) on the free variables.
void step_towards_free_solution(bvls_state& s, double alpha) {
    for (std::int64_t i = 1; i <= s.n_free; ++i) {
        const std::int64_t j = free_variable(s, i);
        s.x[j - 1] = s.x[j - 1] + alpha * (free_value(s, i) - s.x[j - 1]);
    }
}

// After a step: every free variable that reached a bound (or passed it by rounding),
// and the limiting one, goes to that bound: its term leaves rhs, it joins the bound
// slots, and its column leaves H and G. The free slots are visited in the order they had
// when the step began: a move shifts only slots below the current one, so slot[b0+p]
// still holds the variable of position p, and its H column is still f0-p.
template <class Kernels>
void send_to_bounds(bvls_state& s, std::int64_t limit, bool limit_at_upper) {
    const std::int64_t n = s.n;
    const double u = s.u;
    const std::int64_t b0 = s.n_bound;
    const std::int64_t f0 = s.n_free;
    for (std::int64_t p = 1; p <= f0; ++p) {
        const std::int64_t j = s.slot[b0 + p];
        const bool limiting = j == limit;
        std::int64_t entry;
        if (u - s.x[j - 1] <= 0.0 || (limiting && limit_at_upper)) {
            Kernels::axpy(n, -u, column_of_R(s, j), 1, rhs(s), 1);
            s.x[j - 1] = u;
            entry = j;
        } else if (s.x[j - 1] + u <= 0.0 || (limiting && !limit_at_upper)) {
            Kernels::axpy(n, u, column_of_R(s, j), 1, rhs(s), 1);
            s.x[j - 1] = -u;
            entry = -j;
        } else {
            continue;
        }
        // the free entries passed over move up one slot; j joins the bound list
        for (std::int64_t sl = b0 + p - 1; sl >= s.n_bound + 1; --sl) s.slot[sl + 1] = s.slot[sl];
        s.slot[s.n_bound + 1] = entry;
        ++s.n_bound;
        // drop j's column c from H and from G
        const std::int64_t c = f0 - p;
        if (s.n_free - 1 > c) {
            std::memmove(column_of_H(s, c), column_of_H(s, c + 1),
                         static_cast<std::size_t>((s.n_free - 1 - c) * n) * sizeof(double));
        }
        gram_inverse_update_with<Kernels>(n, n, s.n_free, s.columns, s.G, nullptr, s.work, c + 1);
        --s.n_free;
    }
}

// Accepts the free-set solution once it lies in the box. Until then: steps from x
// towards it as far as the box allows, sends the variables that reached a bound there,
// and solves again on the smaller free set. Each step sends at least the limiting
// variable to a bound, so this ends after at most n_free steps. False on a breakdown:
// a free-set value that is not finite, or no ratio below 2 (each was NaN, from
// differences that overflowed), where no variable would reach a bound and the same step
// would repeat forever.
template <class Kernels>
bool accept_or_move_towards_free_solution(bvls_state& s, std::int64_t& last_limit) {
    for (;;) {
        const placement where = place_free_solution(s);
        if (where == placement::not_finite) return false;
        if (where == placement::inside) {
            for (std::int64_t i = 1; i <= s.n_free; ++i) {
                s.x[free_variable(s, i) - 1] = free_value(s, i);
            }
            return true;
        }
        bool limit_at_upper = true;
        const double alpha = longest_step(s, last_limit, limit_at_upper);
        if (alpha == 2.0) return false;
        step_towards_free_solution(s, alpha);
        send_to_bounds<Kernels>(s, last_limit, limit_at_upper);
        if (s.n_free == 0) return true;
        solve_free_set<Kernels>(s);
    }
}

bool is_failure(bvls_exit exit) {
    return bvls_exit_message(exit)[0] != '\0';
}

// The state over the caller's arrays, before any start is set.
bvls_state state_over(std::int64_t n, const double* R, const double* y, double u, double* x,
                      const bvls_scratch& scratch) {
    bvls_state s{};
    s.n = n;
    s.R = R;
    s.y = y;
    s.u = u;
    s.x = x;
    s.slot = scratch.slot;
    s.columns = scratch.columns;
    s.z = scratch.z;
    s.dual = scratch.dual;
    s.work = scratch.work;
    s.G = scratch.G;
    return s;
}

// Cold start (start == nullptr): every variable at its lower bound. Warm start: the index
// set and count of start, its bound variables at their bound and the free ones at 0, the
// centre of the box.
void set_start(bvls_state& s, const double* start) {
    const std::int64_t n = s.n;
    s.slot[0] = 0;
    if (start == nullptr) {
        for (std::int64_t j = 1; j <= n; ++j) {
            s.slot[j] = -j;
            s.x[j - 1] = -s.u;
        }
        s.slot[n + 1] = n;
    } else {
        for (std::int64_t sl = 1; sl <= n + 1; ++sl) {
            s.slot[sl] = static_cast<std::int64_t>(start[sl]);
        }
        for (std::int64_t j = 0; j < n; ++j) s.x[j] = 0.0;
        for (std::int64_t l = 1; l <= s.slot[n + 1]; ++l) {
            s.x[magnitude(s.slot[l]) - 1] = s.slot[l] < 0 ? -s.u : s.u;
        }
    }
    s.n_bound = s.slot[n + 1];
    s.n_free = n - s.n_bound;
}

bool all_finite(const double* v, std::int64_t n) {
    for (std::int64_t j = 0; j < n; ++j) {
        if (!std::isfinite(v[j])) return false;
    }
    return true;
}

// The iteration with one set of kernels.
template <class Kernels>
bvls_result iterate(bvls_state& s, bool warm, const interrupt_check* check) {
    const double y_norm = Kernels::nrm2(s.n, s.y, 1);
    bvls_exit exit = bvls_exit::converged;
    if (!factor_initial_free_set<Kernels>(s, exit)) return {exit, 1};
    std::int64_t last_limit = 0;  // the variable the latest step sent to a bound
    for (std::int64_t iter = 1;; ++iter) {
        // the pass cap comes before the convergence test
        if (iter > 3 * s.n) return {bvls_exit::iteration_cap, iter};
        if (iter % 16 == 0 && interrupt_requested(check)) return {bvls_exit::interrupted, iter};
        const double rho = residual_and_dual<Kernels>(s);
        if (rho < y_norm * 1e-11) return {bvls_exit::converged, iter};
        if (iter > 1 && s.n_bound == 0) return {bvls_exit::all_free, iter};
        add_back_free_terms<Kernels>(s);
        if (iter == 1 && warm) {
            solve_free_set<Kernels>(s);  // a warm start's first pass keeps the given free set
        } else {
            if (!free_worst_violator<Kernels>(s, last_limit, exit)) return {exit, iter};
            last_limit = 0;
        }
        if (!accept_or_move_towards_free_solution<Kernels>(s, last_limit)) {
            return {bvls_exit::breakdown, iter};
        }
    }
}

}  // namespace

bvls_result bvls_iterate(bvls_state& s, bool warm, const interrupt_check* check, kernel_set set) {
    return with_kernels(s.n, set,
                        [&](auto kernels) { return iterate<decltype(kernels)>(s, warm, check); });
}

bvls_result bvls_solve(std::int64_t n, const double* R, const double* y, double u,
                       const double* start, double* x, const bvls_scratch& scratch,
                       const interrupt_check* check, kernel_set set) {
    bvls_state s = state_over(n, R, y, u, x, scratch);
    set_start(s, start);
    bvls_result result = bvls_iterate(s, start != nullptr, check, set);
    if (result.exit == bvls_exit::interrupted) return result;
    if (!is_failure(result.exit) && !all_finite(x, n)) result.exit = bvls_exit::breakdown;
    if (!is_failure(result.exit) && result.exit != bvls_exit::iteration_cap) {
        double small[4];  // n = 1: the column store holds 3 values
        result.check = check_optimality(n, R, y, u, x, n >= 2 ? scratch.columns : small);
    }
    return result;
}
