// SPDX-License-Identifier: BSD-3-Clause
// [afix,sqnorm,info]=ambiguity_fix(ahat,Q,Name,Value,...): integer ambiguity resolution of one
// float solution (GNSS carrier phase), with validation and partial fixing.
#include "ambiguity/ambiguity_fix.h"

#include <cstdint>
#include <cstring>

#include "gateways/ambiguity_options.h"
#include "gateways/args.h"
#include "gateways/gateways.h"

namespace {

constexpr std::size_t local_doubles = 4096;

const char* const usage = "USAGE: [afix,sqnorm,info]=ambiguity_fix(ahat,Q,Name,Value,...)\n";

const char* const info_fields[] = {
    "method", "ratio", "accepted", "success_rate", "nfixed", "fixed", "fixed_success_rate",
    "D",      "Z",     "nodes",    "status"};

}  // namespace

void ambiguity_fix_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    host_set_error_prefix("latbox:ambiguity_fix");
    if (nrhs < 2 || nlhs > 3) host_error_about("usage", usage);
    std::size_t K = 1;
    const std::size_t n = read_ambiguity_frame(prhs[0], false, K);
    read_ambiguity_covariance(prhs[1], n, false, 1);
    const ambiguity_call call = read_ambiguity_options(nrhs, prhs, 2, static_cast<std::int64_t>(n));
    const double* ahat = host_data(prhs[0]);
    const double* Q = host_data(prhs[1]);
    require_finite(ahat, n, "ahat");
    require_covariance(Q, n, "Q");

    // one block: the routine's outputs (afix, sqnorm, fixed, D, and Z only when info is
    // asked for: forming Z costs more than the rest of a small call), then the scratch
    const bool many = call.core.method == ambiguity_method::ils;
    const bool listed = many || call.core.method == ambiguity_method::par;
    const bool with_info = nlhs >= 3;
    const std::size_t M = static_cast<std::size_t>(call.core.ncands);
    const std::size_t outputs = n * M + M + 2 * n + (with_info ? n * n : 0);
    const std::size_t scratch_doubles =
        ambiguity_scratch_bytes(static_cast<std::int64_t>(n), call.core.ncands) / sizeof(double) +
        1;
    // a small call's block on the stack: a heap block of its size costs the host more than
    // the rest of the gateway (the routine needs no zeros; its outputs it writes itself)
    alignas(64) double local[local_doubles];
    const bool on_stack = outputs + scratch_doubles <= local_doubles;
    auto* block =
        on_stack ? local
                 : static_cast<double*>(host_calloc(outputs + scratch_doubles, sizeof(double)));
    if (on_stack) std::memset(local, 0, sizeof(double) * outputs);
    const ambiguity_outputs out{block, block + n * M, block + n * M + M, block + n * M + M + n,
                                with_info ? block + n * M + M + 2 * n : nullptr};
    const ambiguity_result r = ambiguity_fix(ahat, Q, static_cast<std::int64_t>(n), call.core, out,
                                             block + outputs, &host_interrupt);
    if (r.status == ambiguity_status::interrupted ||
        r.status == ambiguity_status::not_positive_definite) {
        if (!on_stack) host_free(block);
        if (r.status == ambiguity_status::interrupted)
            host_error_about("interrupted", interrupted_message);
        raise_not_positive_definite("Q");
    }

    auto matrix = [](std::size_t rows, std::size_t cols, const double* v) {
        host_array* a = host_create_unset(rows, cols, 1);
        if (rows * cols != 0) std::memcpy(host_data(a), v, sizeof(double) * rows * cols);
        return a;
    };
    plhs[0] = matrix(n, many ? M : 1, out.afix);
    if (nlhs >= 2) plhs[1] = matrix(listed ? M : 1, 1, out.sqnorm);
    if (nlhs >= 3) {
        const double ratio = ambiguity_ratio(r, out.sqnorm);
        const double accepted = ambiguity_accepted(r, ratio, call.ratio) ? 1.0 : 0.0;
        const double nfixed = static_cast<double>(r.nfixed);
        const double nodes = static_cast<double>(r.nodes);
        host_array* info = host_create_struct(info_fields, 11);
        host_set_field(info, "method", host_create_string(ambiguity_method_text(call.core.method)));
        host_set_field(info, "ratio", matrix(1, 1, &ratio));
        host_set_field(info, "accepted", host_create_logical(1, 1, &accepted));
        host_set_field(info, "success_rate", matrix(1, 1, &r.success_rate));
        host_set_field(info, "nfixed", matrix(1, 1, &nfixed));
        host_set_field(info, "fixed", host_create_logical(n, 1, out.fixed));
        host_set_field(info, "fixed_success_rate", matrix(1, 1, &r.fixed_success_rate));
        host_set_field(info, "D", matrix(n, 1, out.D));
        host_set_field(info, "Z", matrix(n, n, out.Z));
        host_set_field(info, "nodes", matrix(1, 1, &nodes));
        host_set_field(info, "status", host_create_string(ambiguity_status_text(r.status)));
        plhs[2] = info;
    }
    if (!on_stack) host_free(block);
}
