// SPDX-License-Identifier: BSD-3-Clause
// [symb,info]=plinden(y,R,radius,lb,ub): closest integer point in a box within a radius.
#include <cmath>
#include <cstdint>

#include "detect/sphere_search.h"
#include "gateways/args.h"
#include "gateways/gateways.h"

void plinden_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs != 5 || nlhs != 2) host_error("USAGE: [symb,info]=plinden(y,R,radius,lb,ub)\n");
    require_real_double(prhs[0], "y");
    require_real_double(prhs[1], "R");
    const double* y = host_data(prhs[0]);
    const double* R = host_data(prhs[1]);
    const double radius = read_scalar(prhs[2], "radius");
    const double lb = read_scalar(prhs[3], "lb");
    const double ub = read_scalar(prhs[4], "ub");
    const std::size_t n = host_cols(prhs[1]);
    if (host_rows(prhs[1]) != n) host_error("R must be square\n");
    require_rhs_length(prhs[0], n, "y");
    // the search ends on every input that passes these checks (see sphere_search.h)
    require_finite(y, n, "y");
    require_triangular(R, n, below_diagonal::ignored, "R");
    if (std::isnan(radius)) raise_about("radius", "must not be NaN");
    if (std::isnan(lb)) raise_about("lb", "must not be NaN");
    if (std::isnan(ub)) raise_about("ub", "must not be NaN");

    if (n == 0) {  // nothing to search: empty symb, info = -1
        plhs[0] = host_create_matrix(0, 1);
        plhs[1] = host_create_matrix(1, 1);
        host_data(plhs[1])[0] = -1.0;
        return;
    }
    const auto levels = static_cast<std::int64_t>(n);
    auto* scratch = static_cast<double*>(
        host_calloc(static_cast<std::size_t>(search_scratch_size(levels)), sizeof(double)));
    host_array* symb = host_create_matrix(n, 1);
    plhs[0] = symb;
    host_array* info = host_create_matrix(1, 1);
    plhs[1] = info;
    host_data(info)[0] = -1.0;
    const search_status status =
        find_closest_point(y, R, levels, radius, lb, ub, host_data(symb), scratch, &host_interrupt);
    host_free(scratch);
    if (status == search_status::interrupted) host_error(interrupted_message);
    if (status == search_status::out_of_range) {
        host_error("y is too large for R: the search would need integers beyond 2^51\n");
    }
    host_data(info)[0] = status == search_status::found ? 1.0 : -1.0;
}
