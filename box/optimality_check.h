// Whether a point is the minimiser of ||y - R x|| over the box -u <= x <= u, to a tolerance
// on the objective. With the dual d = R'(y - R x), x is the minimiser when it lies in the box
// and d_j = 0 where -u < x_j < u, d_j <= 0 where x_j = -u, d_j >= 0 where x_j = +u.
//
// The size of a violated d_j says little by itself: a solver on the normal equations leaves
// d_j at up to cond(R)^2 times its rounding level on points that are as good as any, while a
// point that leaves most of y unexplained along a direction R nearly annihilates can have a
// dual below rounding level. So the violated conditions are turned into points of the box
// instead, and what they are worth is measured on the objective: three trial points, each
// feasible, and the largest decrease of ||y - R x||^2 they give, less an allowance for the
// rounding of both residuals, is a decrease that x certainly misses the minimum by.
//   1. the projection onto the box of R^-1 y (the unconstrained minimiser);
//   2. a step from x along (R'R)^-1 g, g being d with the conditions that hold set to zero,
//      leaving out the components that would push a bound variable out of the box;
//   3. a step from x along g itself (steepest descent).
// Steps 2 and 3 take the length that minimises the objective along the line, no longer than
// the box allows, and every trial point is projected onto the box. x itself is never
// changed. Host-free: the caller's scratch, no allocation, nothing raised.
#pragma once

#include <cstddef>
#include <cstdint>

struct optimality_check {
    // The largest certified decrease over the trial points, relative to ||y||^2 (twice the
    // objective at the centre of the box): (||y - R x||^2 - ||y - R x'||^2 - allowance) /
    // ||y||^2, 0 when no trial point certainly decreases it; +Inf when y = 0 and one does.
    double decrease;
    // max over j of |x_j| - u when x leaves the box, else 0.
    double outside;
};

// The check of x (n values) for the n-by-n upper-triangular R (column-major, with a non-zero
// diagonal; the entries below the diagonal are not read), y and u. work: 3n doubles, contents
// on entry unused. Costs ten triangular products or solves, O(n^2) and nothing else.
optimality_check check_optimality(std::int64_t n, const double* R, const double* y, double u,
                                  const double* x, double* work);

// A certified decrease above this fraction of ||y||^2 (or a point outside the box) marks x as
// inaccurate. Measured (bench/kelvane/bench_accuracy.cpp): the solver's points on random
// problems of condition number up to 1e8 and 8 to 64 variables are certified to miss the
// minimum by at most 3e-8 of ||y||^2; every point of the measured range (condition numbers
// 1e2 to 1e14, 3 to 32 variables) that misses it by more than 1e-4 is caught.
constexpr double optimality_tolerance = 1e-4;

inline bool misses_optimum(const optimality_check& c) {
    return c.decrease > optimality_tolerance || c.outside > 0.0;
}

// What the check found, as a phrase for a message: "a point in the box lowers ||y-R*x||^2 by
// 3.1e-01*||y||^2" or "it lies outside the box by 2.0e-16". Writes at most size bytes.
void describe_optimality(const optimality_check& c, char* text, std::size_t size);
