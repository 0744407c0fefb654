// SPDX-License-Identifier: BSD-3-Clause
// I=morrit_batch(X,bound): the index-set vector of every column of X in [-bound, bound].
#include <cstdint>

#include "box/bound_classification.h"
#include "gateways/args.h"
#include "gateways/batch.h"
#include "gateways/gateways.h"

namespace {

struct morrit_job {
    const double* X;
    std::size_t n;
    double bound;
    double* I;
};

bool morrit_column(const void* job, std::size_t k, void*, const interrupt_check&) {
    const auto& j = *static_cast<const morrit_job*>(job);
    classify_bounds(j.X + k * j.n, static_cast<std::int64_t>(j.n), j.bound, j.I + k * (j.n + 2));
    return true;
}

}  // namespace

void morrit_batch_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    // Inputs past the second are ignored, as in morrit.
    if (nrhs < 2 || nlhs > 1) host_error("USAGE: I=morrit_batch(X,bound)\n");
    require_real_double(prhs[0], "X");
    if (host_ndims(prhs[0]) != 2) raise_about("X", "must be a matrix (one column per point)");
    const std::size_t n = host_rows(prhs[0]);
    const std::size_t K = host_cols(prhs[0]);
    const double bound = read_scalar(prhs[1], "bound");

    host_array* I = host_create_matrix(n + 2, K);
    plhs[0] = I;
    const morrit_job job{host_data(prhs[0]), n, bound, host_data(I)};
    const double cost = 3.0 * static_cast<double>(n) + 20.0;
    if (!batch_run({batch_each<morrit_column>, &job, K, 0, cost})) host_error(interrupted_message);
}
