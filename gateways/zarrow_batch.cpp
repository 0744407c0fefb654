// SPDX-License-Identifier: BSD-3-Clause
// S=zarrow_batch(Y,R): rounding decision feedback on every column of a frame.
#include <cstdint>

#include "detect/decision_feedback.h"
#include "gateways/args.h"
#include "gateways/batch.h"
#include "gateways/gateways.h"

namespace {

struct zarrow_job {
    const double* Y;
    batch_channels channels;
    double* S;
};

bool zarrow_column(const void* job, std::size_t k, void*, const interrupt_check&) {
    const auto& j = *static_cast<const zarrow_job*>(job);
    const std::size_t n = j.channels.n;
    round_feedback(j.Y + k * n, channel_of(j.channels, k), static_cast<std::int64_t>(n),
                   j.S + k * n);
    return true;
}

}  // namespace

void zarrow_batch_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs != 2 || nlhs != 1) host_error("USAGE: S=zarrow_batch(Y,R)\n");
    batch_channels channels = read_channels(prhs[1], "R");
    const std::size_t K = read_frame(prhs[0], channels, "Y");
    const std::size_t n = channels.n;

    host_array* S = host_create_unset(n, K, 1);  // every column writes its part
    plhs[0] = S;
    const zarrow_job job{host_data(prhs[0]), channels, host_data(S)};
    const double cost = 2.5 * static_cast<double>(n * n) + 20.0;
    if (!batch_run({batch_each<zarrow_column>, &job, K, 0, cost})) host_error(interrupted_message);
}
