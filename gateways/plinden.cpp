// [symb,info]=plinden(y,R,radius,lb,ub): closest integer point in a box within a radius.
#include <cmath>
#include <cstdint>

#include "detect/sphere_search.h"
#include "gateways/args.h"
#include "gateways/gateways.h"

namespace {

// The search ends on every input that passes these checks (see sphere_search.h).
void require_searchable(const double* y, const double* R, std::size_t n) {
    require_finite(y, n, "y");
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = 0; i <= j; ++i) {
            if (!std::isfinite(R[i + j * n])) {
                raise_about("R", "must not contain NaN or Inf on or above the diagonal");
            }
        }
        if (R[j + j * n] == 0.0) raise_about("R", "must not have a zero on the diagonal");
    }
}

}  // namespace

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
    require_elements(prhs[0], n, "y", "must have at least as many elements as R has columns");
    require_searchable(y, R, n);
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
        find_closest_point(y, R, levels, radius, lb, ub, host_data(symb), scratch);
    host_free(scratch);
    if (status == search_status::out_of_range) {
        host_error("y is too large for R: the search would need integers beyond 2^51\n");
    }
    host_data(info)[0] = status == search_status::found ? 1.0 : -1.0;
}
