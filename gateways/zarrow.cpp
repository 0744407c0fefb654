// SPDX-License-Identifier: BSD-3-Clause
// zarrow(y,R): rounding decision-feedback detector.
#include <cstdint>

#include "detect/decision_feedback.h"
#include "gateways/args.h"
#include "gateways/gateways.h"

void zarrow_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs != 2 || nlhs != 1) host_error("USAGE: s=zf_zarrow(y,R)\n");
    require_real_double(prhs[0], "y");
    require_real_double(prhs[1], "R");
    const double* y = host_data(prhs[0]);
    const double* R = host_data(prhs[1]);
    const std::size_t n = host_cols(prhs[1]);
    if (host_rows(prhs[1]) != n) host_error("R must be square\n");
    require_rhs_length(prhs[0], n, "y");

    host_array* s = host_create_matrix(n, 1);
    plhs[0] = s;
    round_feedback(y, R, static_cast<std::int64_t>(n), host_data(s));
}
