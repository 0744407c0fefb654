// SPDX-License-Identifier: BSD-3-Clause
// [Qo,Ro,Uo]=quorvin(Q,R,delta): LLL reduction of the basis Q*R, worked on its QR factors.
#include <algorithm>
#include <cstdint>

#include "gateways/args.h"
#include "gateways/gateways.h"
#include "reduce/reduce_qr_factors.h"

void quorvin_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs != 3 || nlhs != 3) host_error("USAGE: [Qo,Ro,Uo]=quorvin(Q,R,delta)\n");
    require_real_double(prhs[0], "Q");
    require_real_double(prhs[1], "R");
    const double* Q = host_data(prhs[0]);
    const double* R = host_data(prhs[1]);
    const auto m = static_cast<std::int64_t>(host_rows(prhs[0]));
    const auto n = static_cast<std::int64_t>(host_cols(prhs[0]));
    const auto rows_r = static_cast<std::int64_t>(host_rows(prhs[1]));
    const auto cols_r = static_cast<std::int64_t>(host_cols(prhs[1]));
    if (m < n || rows_r != cols_r || rows_r != n) host_error("Check the size of input matrices\n");
    const double delta = read_scalar(prhs[2], "delta");
    // No basis need satisfy the exchange condition with delta > 1: for the identity,
    // delta*R(1,1)^2 > R(1,2)^2 + R(2,2)^2 holds in every order, so every exchange would be
    // a stalled one that the reduction skips, and it would return a basis that is not
    // reduced with the delta asked for.
    if (delta > 1.0) raise_about("delta", "must not be greater than 1");

    host_array* Qo = host_create_matrix(m, n);
    plhs[0] = Qo;
    host_array* Ro = host_create_matrix(n, n);
    plhs[1] = Ro;
    host_array* Uo = host_create_matrix(n, n);
    plhs[2] = Uo;
    double* q = host_data(Qo);
    double* r = host_data(Ro);
    double* u = host_data(Uo);
    std::copy_n(Q, m * n, q);
    std::copy_n(R, n * n, r);
    auto* scratch = static_cast<double*>(host_calloc(reduce_qr_scratch_size(n), sizeof(double)));
    for (std::int64_t i = 0; i < n; ++i) u[i + i * n] = 1.0;
    const bool ended = reduce_qr_factors(q, r, u, m, n, delta, scratch, &host_interrupt);
    host_free(scratch);
    if (!ended) host_error(interrupted_message);
}
