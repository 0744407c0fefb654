// SPDX-License-Identifier: BSD-3-Clause
// The optimality check of a box-constrained least-squares point (see optimality_check.h).
#include "box/optimality_check.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();
// Measured: two steps already catch every answer of the accuracy benchmark that misses the
// minimum by more than the tolerance (one step misses one in about 900); four for margin.
constexpr int conjugate_gradient_steps = 4;

// out = R v for the upper triangle of the n-by-n column-major R (column by column).
void upper_times(std::int64_t n, const double* R, const double* v, double* out) {
    for (std::int64_t i = 0; i < n; ++i) out[i] = 0.0;
    for (std::int64_t j = 0; j < n; ++j) {
        const double* column = R + j * n;
        const double vj = v[j];
        for (std::int64_t i = 0; i <= j; ++i) out[i] += column[i] * vj;
    }
}

// out = R' v.
void upper_transposed_times(std::int64_t n, const double* R, const double* v, double* out) {
    for (std::int64_t j = 0; j < n; ++j) {
        const double* column = R + j * n;
        double s = 0.0;
        for (std::int64_t i = 0; i <= j; ++i) s += column[i] * v[i];
        out[j] = s;
    }
}

// b = R^-1 b (back substitution, column by column).
void upper_solve(std::int64_t n, const double* R, double* b) {
    for (std::int64_t j = n - 1; j >= 0; --j) {
        const double* column = R + j * n;
        b[j] /= column[j];
        const double bj = b[j];
        for (std::int64_t i = 0; i < j; ++i) b[i] -= column[i] * bj;
    }
}

// b = R'^-1 b (forward substitution).
void upper_transposed_solve(std::int64_t n, const double* R, double* b) {
    for (std::int64_t j = 0; j < n; ++j) {
        const double* column = R + j * n;
        double s = b[j];
        for (std::int64_t i = 0; i < j; ++i) s -= column[i] * b[i];
        b[j] = s / column[j];
    }
}

// ||v||: the plain sum of squares, or, when that overflows or underflows, scaled by the
// largest magnitude.
double norm(std::int64_t n, const double* v) {
    double s = 0.0;
    for (std::int64_t i = 0; i < n; ++i) s += v[i] * v[i];
    if (s > 1e-290 && s < 1e290) return std::sqrt(s);
    double largest = 0.0;
    for (std::int64_t i = 0; i < n; ++i) largest = std::fmax(largest, std::fabs(v[i]));
    if (largest == 0.0 || !(largest < std::numeric_limits<double>::infinity())) return largest;
    s = 0.0;
    for (std::int64_t i = 0; i < n; ++i) s += (v[i] / largest) * (v[i] / largest);
    return largest * std::sqrt(s);
}

// ||R||_F of the upper triangle, in the same way.
double upper_norm(std::int64_t n, const double* R) {
    double s = 0.0;
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i <= j; ++i) s += R[i + j * n] * R[i + j * n];
    }
    if (s > 1e-290 && s < 1e290) return std::sqrt(s);
    double total = 0.0;
    for (std::int64_t j = 0; j < n; ++j) total = std::hypot(total, norm(j + 1, R + j * n));
    return total;
}

// What the check needs of the problem and of x, and the best certified decrease so far.
struct problem {
    std::int64_t n;
    const double* R;
    const double* y;
    double u;
    const double* x;
    double y_norm, R_norm, residual_norm;
    double x_allowance;  // rounding allowance of x's residual norm
    double best;
};

// Whether the condition on d_j holds at a bound (at u = 0 a variable is at both bounds and
// either sign holds); inside the box no value but 0 holds, and 0 needs no step.
bool condition_holds(const problem& p, std::int64_t j, double dj) {
    return (p.x[j] <= -p.u && dj <= 0.0) || (p.x[j] >= p.u && dj >= 0.0);
}

// The trial point in `point` (feasible by construction): its residual norm (in `product`,
// n values of scratch) against x's, less the rounding allowance of both.
void try_point(problem& p, const double* point, double* product) {
    const std::int64_t n = p.n;
    upper_times(n, p.R, point, product);
    for (std::int64_t i = 0; i < n; ++i) product[i] = p.y[i] - product[i];
    const double trial = norm(n, product);
    // each residual is formed with an error of at most (n+1) eps (|y| + |R||x|) per entry
    const double allowance =
        static_cast<double>(n + 1) * eps * (p.y_norm + p.R_norm * norm(n, point));
    double certified;
    if (p.y_norm > 0.0) {
        const double a = p.residual_norm / p.y_norm, b = trial / p.y_norm;
        const double ea = p.x_allowance / p.y_norm, eb = allowance / p.y_norm;
        certified = (a - b) * (a + b) - 2.0 * (a * ea + b * eb) - ea * ea - eb * eb;
    } else {
        const double a = p.residual_norm, b = trial;
        const double margin = (a - b) * (a + b) - 2.0 * (a * p.x_allowance + b * allowance) -
                              p.x_allowance * p.x_allowance - allowance * allowance;
        certified = margin > 0.0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    if (certified > p.best) p.best = certified;
}

// v projected onto [-u, u] (NaN, from a solve that overflowed, goes to -u).
double project(double v, double u) {
    if (!(v >= -u)) return -u;
    return v > u ? u : v;
}

// Along dir from x: the step that minimises the objective on the line, g / ||R dir||^2 with
// g = d'dir, no longer than the box allows; then that point is tried. point is scratch;
// dir is overwritten.
void try_line(problem& p, const double* d, double* dir, double* point) {
    const std::int64_t n = p.n;
    double g = 0.0, longest = std::numeric_limits<double>::infinity();
    for (std::int64_t j = 0; j < n; ++j) {
        g += d[j] * dir[j];
        if (dir[j] > 0.0) longest = std::fmin(longest, (p.u - p.x[j]) / dir[j]);
        if (dir[j] < 0.0) longest = std::fmin(longest, (-p.u - p.x[j]) / dir[j]);
    }
    upper_times(n, p.R, dir, point);
    const double q = norm(n, point);
    if (!(g > 0.0) || !(q > 0.0)) return;  // not a descent direction (or not finite)
    double t = g / q / q;
    if (t > longest) t = longest;
    if (!(t > 0.0)) return;
    for (std::int64_t j = 0; j < n; ++j) point[j] = project(p.x[j] + t * dir[j], p.u);
    try_point(p, point, dir);
}

// Conjugate gradients on the least-squares problem of the step: minimise ||r - R delta|| over
// the variables that are free or violate their condition at a bound (the others stay put),
// from delta = 0, at most `steps` steps, the last one cut short where the box ends. The first
// step is steepest descent along g. The point reached, projected onto the box, is tried.
// Buffers: s (holds g on entry), p, rho (holds r on entry), delta; all overwritten.
void try_conjugate_gradients(problem& p, int steps, double* s, double* dir, double* rho,
                             double* delta) {
    const std::int64_t n = p.n;
    auto moving = [&](std::int64_t j) {  // free, or a bound variable the first step moved
        return (p.x[j] > -p.u && p.x[j] < p.u) || delta[j] != 0.0;
    };
    double gamma = 0.0;
    for (std::int64_t j = 0; j < n; ++j) {
        delta[j] = 0.0;
        dir[j] = s[j];
        gamma += s[j] * s[j];
    }
    for (int step = 0; step < steps && gamma > 0.0; ++step) {
        double* q = s;  // s is not needed again until it is recomputed
        upper_times(n, p.R, dir, q);
        double qq = 0.0, longest = std::numeric_limits<double>::infinity();
        for (std::int64_t i = 0; i < n; ++i) qq += q[i] * q[i];
        for (std::int64_t j = 0; j < n; ++j) {
            const double at = p.x[j] + delta[j];
            if (dir[j] > 0.0) longest = std::fmin(longest, (p.u - at) / dir[j]);
            if (dir[j] < 0.0) longest = std::fmin(longest, (-p.u - at) / dir[j]);
        }
        double alpha = gamma / qq;
        if (!(alpha > 0.0) || !(alpha < std::numeric_limits<double>::infinity())) break;
        const bool cut = alpha >= longest;
        if (cut) alpha = longest;
        for (std::int64_t j = 0; j < n; ++j) delta[j] += alpha * dir[j];
        for (std::int64_t i = 0; i < n; ++i) rho[i] -= alpha * q[i];
        if (cut || step + 1 == steps) break;
        upper_transposed_times(n, p.R, rho, s);
        double next = 0.0;
        for (std::int64_t j = 0; j < n; ++j) {
            if (!moving(j)) s[j] = 0.0;
            next += s[j] * s[j];
        }
        for (std::int64_t j = 0; j < n; ++j) dir[j] = s[j] + next / gamma * dir[j];
        gamma = next;
    }
    for (std::int64_t j = 0; j < n; ++j) dir[j] = project(p.x[j] + delta[j], p.u);
    try_point(p, dir, s);
}

}  // namespace

optimality_check check_optimality(std::int64_t n, const double* R, const double* y, double u,
                                  const double* x, double* work) {
    optimality_check c{0.0, 0.0};
    for (std::int64_t j = 0; j < n; ++j) {
        if (std::fabs(x[j]) - u > c.outside) c.outside = std::fabs(x[j]) - u;
    }
    double* d = work;  // the dual, later the gradient of the conjugate gradients
    double* dir = work + n;
    double* r = work + 2 * n;  // the residual of x
    double* point = work + 3 * n;
    problem p{n, R, y, u, x, norm(n, y), 0.0, 0.0, 0.0, 0.0};
    // r = y - R x and the dual d = R'r
    upper_times(n, R, x, r);
    for (std::int64_t i = 0; i < n; ++i) r[i] = y[i] - r[i];
    p.residual_norm = norm(n, r);
    upper_transposed_times(n, R, r, d);

    // No point of the box lowers ||y - R x||^2 by more than ||r||^2, nor by more than
    // ||R'^-1 g||^2, g being d with the conditions that hold set to zero (the minimum of the
    // objective's quadratic model over every step that keeps the bound variables whose
    // condition holds from moving outwards). Either small enough: x passes as it is.
    const double scale = 0.5 * std::sqrt(optimality_tolerance) * p.y_norm;
    if (p.residual_norm <= scale) return c;
    for (std::int64_t j = 0; j < n; ++j) dir[j] = condition_holds(p, j, d[j]) ? 0.0 : d[j];
    upper_transposed_solve(n, R, dir);
    if (norm(n, dir) <= scale) return c;

    // x's allowance adds the rounding of the box values themselves (eps u in each entry),
    // which the solver's steps from +-u carry: a decrease below it is no news
    p.R_norm = upper_norm(n, R);
    p.x_allowance = static_cast<double>(n + 1) * eps * (p.y_norm + p.R_norm * norm(n, x)) +
                    eps * p.R_norm * std::sqrt(static_cast<double>(n)) * u;

    // 1. along (R'R)^-1 g, without the components that push a bound variable outwards
    upper_solve(n, R, dir);
    for (std::int64_t j = 0; j < n; ++j) {
        if ((x[j] <= -u && dir[j] < 0.0) || (x[j] >= u && dir[j] > 0.0)) dir[j] = 0.0;
    }
    try_line(p, d, dir, point);

    // 2. the projection of R^-1 y onto the box
    for (std::int64_t i = 0; i < n; ++i) dir[i] = y[i];
    upper_solve(n, R, dir);
    for (std::int64_t j = 0; j < n; ++j) point[j] = project(dir[j], u);
    try_point(p, point, dir);

    // 3. conjugate gradients from x on the free and violating variables
    for (std::int64_t j = 0; j < n; ++j) {
        if (condition_holds(p, j, d[j])) d[j] = 0.0;
    }
    try_conjugate_gradients(p, conjugate_gradient_steps, d, dir, r, point);

    c.decrease = p.best;
    return c;
}
void describe_optimality(const optimality_check& c, char* text, std::size_t size) {
    if (c.outside > 0.0) {
        std::snprintf(text, size, "it lies outside the box by %.1e", c.outside);
    } else {
        std::snprintf(text, size, "a point in the box lowers ||y-R*x||^2 by %.1e*||y||^2",
                      c.decrease);
    }
}
