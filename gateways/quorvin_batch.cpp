// SPDX-License-Identifier: BSD-3-Clause
// [Qo,Ro,Uo]=quorvin_batch(Q,R,delta): LLL reduction of every page of a stack of QR factors.
#include <algorithm>
#include <cstdint>

#include "gateways/args.h"
#include "gateways/batch.h"
#include "gateways/gateways.h"
#include "reduce/reduce_qr_factors.h"

namespace {

struct quorvin_job {
    const double* Q;
    const double* R;
    std::size_t m, n;
    double delta;
    double *Qo, *Ro, *Uo;
};

bool quorvin_page(const void* job, std::size_t p, void* scratch, const interrupt_check& check) {
    const auto& j = *static_cast<const quorvin_job*>(job);
    const std::size_t m = j.m, n = j.n;
    double* q = j.Qo + p * m * n;
    double* r = j.Ro + p * n * n;
    double* u = j.Uo + p * n * n;
    std::copy_n(j.Q + p * m * n, m * n, q);
    std::copy_n(j.R + p * n * n, n * n, r);
    std::fill_n(u, n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) u[i + i * n] = 1.0;
    return reduce_qr_factors(q, r, u, static_cast<std::int64_t>(m), static_cast<std::int64_t>(n),
                             j.delta, static_cast<double*>(scratch), &check);
}

}  // namespace

void quorvin_batch_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs != 3 || nlhs != 3) host_error("USAGE: [Qo,Ro,Uo]=quorvin_batch(Q,R,delta)\n");
    require_real_double(prhs[0], "Q");
    require_real_double(prhs[1], "R");
    const host_array* Q = prhs[0];
    const host_array* R = prhs[1];
    const std::size_t m = host_dim(Q, 0), n = host_dim(Q, 1), P = host_dim(Q, 2);
    if (host_ndims(Q) > 3 || host_ndims(R) > 3 || m < n || host_dim(R, 0) != n ||
        host_dim(R, 1) != n || host_dim(R, 2) != P) {
        host_error("Check the size of input matrices\n");
    }
    const double delta = read_scalar(prhs[2], "delta");
    // as in quorvin: no basis need satisfy the exchange condition with delta > 1
    if (delta > 1.0) raise_about("delta", "must not be greater than 1");

    // every page writes its part of each (U's zeros too)
    host_array* Qo = host_create_unset(m, n, P);
    plhs[0] = Qo;
    host_array* Ro = host_create_unset(n, n, P);
    plhs[1] = Ro;
    host_array* Uo = host_create_unset(n, n, P);
    plhs[2] = Uo;
    const quorvin_job job{host_data(Q),  host_data(R), m, n, delta, host_data(Qo),
                          host_data(Ro), host_data(Uo)};
    const auto nn = static_cast<std::int64_t>(n);
    const std::size_t scratch =
        sizeof(double) * static_cast<std::size_t>(reduce_qr_scratch_size(nn));
    const double cost = 10.0 * static_cast<double>(n * n * n) + 100.0;
    if (!batch_run({batch_each<quorvin_page>, &job, P, scratch, cost}))
        host_error(interrupted_message);
}
