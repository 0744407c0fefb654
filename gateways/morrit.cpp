// SPDX-License-Identifier: BSD-3-Clause
// index_set=morrit(x,bound): which components of x sit at -bound, at bound, or inside.
#include <cstdint>

#include "box/bound_classification.h"
#include "gateways/args.h"
#include "gateways/gateways.h"

void morrit_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    // Inputs past the second are ignored; only one result exists.
    if (nrhs < 2 || nlhs > 1) host_error("USAGE: index_set=morrit(x,bound)\n");
    require_real_double(prhs[0], "x");
    const double* x = host_data(prhs[0]);
    const std::size_t n = host_rows(prhs[0]);
    require_elements(prhs[0], n, "x", "must have at least one column");
    const double a = read_scalar(prhs[1], "bound");

    host_array* index_set = host_create_matrix(n + 2, 1);
    plhs[0] = index_set;
    classify_bounds(x, static_cast<std::int64_t>(n), a, host_data(index_set));
}
