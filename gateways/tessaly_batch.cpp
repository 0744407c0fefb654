// SPDX-License-Identifier: BSD-3-Clause
// S=tessaly_batch(Y,R,u): odd-integer decision feedback clamped to [-u, u] on every column.
#include <cmath>
#include <cstdint>

#include "detect/decision_feedback.h"
#include "gateways/args.h"
#include "gateways/batch.h"
#include "gateways/gateways.h"

namespace {

struct tessaly_job {
    const double* Y;
    batch_channels channels;
    std::int32_t u;
    double* S;
};

bool tessaly_column(const void* job, std::size_t k, void*, const interrupt_check&) {
    const auto& j = *static_cast<const tessaly_job*>(job);
    const std::size_t n = j.channels.n;
    odd_clamp_feedback(j.Y + k * n, channel_of(j.channels, k), static_cast<std::int64_t>(n), j.u,
                       j.S + k * n);
    return true;
}

}  // namespace

void tessaly_batch_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs != 3 || nlhs != 1) host_error("USAGE: S=tessaly_batch(Y,R,u)\n");
    batch_channels channels = read_channels(prhs[1], "R");
    const std::size_t K = read_frame(prhs[0], channels, "Y");
    const double u = read_scalar(prhs[2], "u");
    // u is truncated to a 32-bit integer and negated: both must stay in range
    if (!(std::fabs(u) < 2147483648.0))
        raise_about("u", "must be a number of magnitude below 2^31");
    const std::size_t n = channels.n;

    host_array* S = host_create_unset(n, K, 1);  // every column writes its part
    plhs[0] = S;
    const tessaly_job job{host_data(prhs[0]), channels, static_cast<std::int32_t>(u), host_data(S)};
    const double cost = 3.0 * static_cast<double>(n * n) + 20.0;
    if (!batch_run({batch_each<tessaly_column>, &job, K, 0, cost})) host_error(interrupted_message);
}
