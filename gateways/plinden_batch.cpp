// SPDX-License-Identifier: BSD-3-Clause
// [S,info]=plinden_batch(Y,R,radius,lb,ub): the closest integer point in the box within the
// radius for every column of a frame.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "detect/sphere_search.h"
#include "gateways/args.h"
#include "gateways/batch.h"
#include "gateways/gateways.h"

namespace {

struct plinden_job {
    const double* Y;
    batch_channels channels;
    batch_scalars radius;
    double lb, ub;
    double* S;
    double* info;
};

// info as plinden reports it: 1 found, -1 none; a column whose search would need integers
// beyond 2^51 (an error for plinden) gets 0 and a NaN column.
bool plinden_column(const void* job, std::size_t k, void* scratch, const interrupt_check& check) {
    const auto& j = *static_cast<const plinden_job*>(job);
    const std::size_t n = j.channels.n;
    double* symb = j.S + k * n;
    const search_status status =
        find_closest_point(j.Y + k * n, channel_of(j.channels, k), static_cast<std::int64_t>(n),
                           j.radius.at(k), j.lb, j.ub, symb, static_cast<double*>(scratch), &check);
    switch (status) {
        case search_status::found:
            j.info[k] = 1.0;
            return true;
        case search_status::out_of_range:
            std::fill(symb, symb + n, std::numeric_limits<double>::quiet_NaN());
            j.info[k] = 0.0;
            return true;
        case search_status::interrupted:
            return false;
        default:
            j.info[k] = -1.0;
            return true;
    }
}

// What the call checks: Y finite, every page of R triangular, no radius NaN.
struct plinden_inputs {
    const double* Y;
    batch_channels channels;
    batch_scalars radius;
    std::size_t K;
};

// Items [begin, end) of the checks in their order: the columns of Y, the pages of R, the
// radii (one when radius is a scalar).
bool plinden_inputs_valid(const void* job, std::size_t begin, std::size_t end) {
    const auto& j = *static_cast<const plinden_inputs*>(job);
    const std::size_t n = j.channels.n, K = j.K, P = j.channels.pages;
    for (std::size_t i = begin; i < end; ++i) {
        const bool ok =
            i < K       ? all_finite(j.Y + i * n, n)
            : i < K + P ? is_triangular(j.channels.R + (i - K) * n * n, n, below_diagonal::ignored)
                        : !std::isnan(j.radius.at(i - K - P));
        if (!ok) return false;
    }
    return true;
}

// The same checks, raising the first fault.
void check_inputs(const plinden_inputs& in, double lb, double ub) {
    const std::size_t n = in.channels.n;
    char name[48];
    require_finite_columns(in.Y, n, in.K, "Y");
    require_triangular_pages(in.channels.R, n, in.channels.pages, below_diagonal::ignored, "R");
    for (std::size_t k = 0; k < (in.radius.per_column ? in.K : 1); ++k) {
        if (std::isnan(in.radius.at(k))) {
            raise_about(in.radius.per_column ? column_name(name, "radius", k) : "radius",
                        "must not be NaN");
        }
    }
    if (std::isnan(lb)) raise_about("lb", "must not be NaN");
    if (std::isnan(ub)) raise_about("ub", "must not be NaN");
}

}  // namespace

void plinden_batch_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs != 5 || nlhs != 2) host_error("USAGE: [S,info]=plinden_batch(Y,R,radius,lb,ub)\n");
    batch_channels channels = read_channels(prhs[1], "R");
    const std::size_t K = read_frame(prhs[0], channels, "Y");
    const batch_scalars radius = read_scalars(prhs[2], K, "radius");
    const double lb = read_scalar(prhs[3], "lb");
    const double ub = read_scalar(prhs[4], "ub");
    const std::size_t n = channels.n;
    const double* Y = host_data(prhs[0]);
    // the workers look for a fault; if there is one, the checks here raise the first
    const plinden_inputs inputs{Y, channels, radius, K};
    const std::size_t items = K + channels.pages + (radius.per_column ? K : 1);
    if (!batch_all_valid(plinden_inputs_valid, &inputs, items, static_cast<double>(n) + 2.0) ||
        std::isnan(lb) || std::isnan(ub)) {
        check_inputs(inputs, lb, ub);
    }

    host_array* S = host_create_matrix(n, K);  // a column with no point keeps its zeros
    plhs[0] = S;
    host_array* info = host_create_unset(1, K, 1);  // every column writes its code
    plhs[1] = info;
    const plinden_job job{Y, channels, radius, lb, ub, host_data(S), host_data(info)};
    const double cost = 15.0 * static_cast<double>(n * n) + 100.0;
    const std::size_t scratch =
        sizeof(double) *
        static_cast<std::size_t>(search_scratch_size(static_cast<std::int64_t>(n)));
    if (!batch_run({batch_each<plinden_column>, &job, K, scratch, cost})) {
        host_error(interrupted_message);
    }
}
