// SPDX-License-Identifier: BSD-3-Clause
// Whether a point is the minimiser of ||y - R x|| over the box -u <= x <= u, to a tolerance
// on the objective. With the dual d = R'(y - R x), x is the minimiser when it lies in the box
// and d_j = 0 where -u < x_j < u, d_j <= 0 where x_j = -u, d_j >= 0 where x_j = +u.
//
// The size of a violated d_j says little by itself: a solver on the normal equations leaves
// d_j at up to cond(R)^2 times its rounding level on points that are as good as any, while a
// point that leaves most of y unexplained along a direction R nearly annihilates can have a
// dual below rounding level. So what the violated conditions are worth is measured on the
// objective instead. With g = d where the conditions fail and 0 where they hold, no point of
// the box lowers ||y - R x||^2 by more than ||R'^-1 g||^2 (nor by more than ||y - R x||^2):
// when either bound is below a quarter of the tolerance, x passes at once. Otherwise three
// trial points of the box are made from g, and the largest decrease of ||y - R x||^2 they
// give, less an allowance for the rounding of both residuals, is a decrease that x certainly
// misses the minimum by:
//   1. a step from x along (R'R)^-1 g, leaving out the components that would push a bound
//      variable out of the box, of the length that minimises the objective on that line and
//      no longer than the box allows;
//   2. the projection onto the box of R^-1 y (the unconstrained minimiser);
//   3. four steps of conjugate gradients from x on the variables that are free or violate
//      their condition, the first along g, the last cut short where the box ends.
// x itself is never changed. Host-free: the caller's scratch, no allocation, nothing raised.
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
// diagonal; the entries below the diagonal are not read), y and u. work: 4n doubles, contents
// on entry unused. Costs three triangular products or solves when x passes at once, at most
// sixteen otherwise: O(n^2).
optimality_check check_optimality(std::int64_t n, const double* R, const double* y, double u,
                                  const double* x, double* work);

// A certified decrease above this fraction of ||y||^2 (or a point outside the box) marks x as
// inaccurate. Measured against a quadruple-precision reference (bench/kelvane/
// bench_accuracy.cpp): the solver's answers on the benchmark's well- and ill-conditioned
// families (condition numbers up to 1e6, 8 to 32 variables) miss the minimum by at most 4e-6
// of ||y||^2; on the extreme family (1e8) 2 answers in 4000 at 8 variables miss it by more
// than 1e-4, and warn; over condition numbers 1e2 to 1e14 and 3 to 32 variables every answer
// that misses it by more than 1e-4 warns (2206 of 2206).
constexpr double optimality_tolerance = 1e-4;

inline bool misses_optimum(const optimality_check& c) {
    return c.decrease > optimality_tolerance || c.outside > 0.0;
}

// What the check found, as a phrase for a message: "a point in the box lowers ||y-R*x||^2 by
// 3.1e-01*||y||^2" or "it lies outside the box by 2.0e-16". Writes at most size bytes.
void describe_optimality(const optimality_check& c, char* text, std::size_t size);
