// SPDX-License-Identifier: BSD-3-Clause
// tessaly(y,R,u): odd-integer decision-feedback detector clamped to [-u, u].
#include <cmath>
#include <cstdint>

#include "detect/decision_feedback.h"
#include "gateways/args.h"
#include "gateways/gateways.h"

void tessaly_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs != 3 || nlhs != 1) host_error("USAGE: [s]=tessaly(y,R,u)\n");
    require_real_double(prhs[0], "y");
    require_real_double(prhs[1], "R");
    const double* y = host_data(prhs[0]);
    const double* R = host_data(prhs[1]);
    const double u = read_scalar(prhs[2], "u");
    // u is truncated to a 32-bit integer and negated: both must stay in range
    if (!(std::fabs(u) < 2147483648.0))
        raise_about("u", "must be a number of magnitude below 2^31");
    const auto u_trunc = static_cast<std::int32_t>(u);
    const std::size_t n = host_cols(prhs[1]);
    if (host_rows(prhs[1]) != n) host_error("R must be square\n");
    require_rhs_length(prhs[0], n, "y");

    host_array* s = host_create_matrix(n, 1);
    plhs[0] = s;
    odd_clamp_feedback(y, R, static_cast<std::int64_t>(n), u_trunc, host_data(s));
}
