// SPDX-License-Identifier: BSD-3-Clause
// [afix,sqnorm,info]=ambiguity_fix_batch(ahat,Q,Name,Value,...): ambiguity_fix for every
// column (epoch) of ahat, with one covariance for all or one page per epoch, on every core.
#include <cstdint>
#include <cstring>

#include "ambiguity/ambiguity_fix.h"
#include "gateways/ambiguity_options.h"
#include "gateways/args.h"
#include "gateways/batch.h"
#include "gateways/gateways.h"

namespace {

const char* const usage = "USAGE: [afix,sqnorm,info]=ambiguity_fix_batch(ahat,Q,Name,Value,...)\n";

// The per-epoch numbers of info, K each, in this order.
enum epoch_value {
    v_ratio,
    v_accepted,
    v_success,
    v_nfixed,
    v_fixed_sr,
    v_nodes,
    v_status,
    v_count
};

struct batch_job {
    const double* ahat;
    const double* Q;
    std::size_t n, K, P;
    ambiguity_call call;
    std::size_t A;   // columns of afix per epoch (ncands for ils, else 1)
    std::size_t S;   // rows of sqnorm per epoch (ncands for ils and par, else 1)
    double* afix;    // n*A*K
    double* sqnorm;  // S*K
    double* fixed;   // n*K
    double* D;       // n*K
    double* Z;       // n*n*K, or null when info is not asked for (Z is not formed)
    double* values;  // v_count*K
};

// Status codes of info.status: the order of ambiguity_status.
double status_code(ambiguity_status s) {
    return static_cast<double>(static_cast<int>(s));
}

bool epoch(const void* job, std::size_t k, void* scratch, const interrupt_check& check) {
    const auto& j = *static_cast<const batch_job*>(job);
    const std::size_t n = j.n, M = static_cast<std::size_t>(j.call.core.ncands);
    auto* afix = static_cast<double*>(scratch);
    double* sq = afix + n * M;
    void* work = sq + M;
    const ambiguity_outputs out{afix, sq, j.fixed + k * n, j.D + k * n,
                                j.Z != nullptr ? j.Z + k * n * n : nullptr};
    const ambiguity_result r =
        ambiguity_fix(j.ahat + k * n, j.Q + (j.P == 1 ? 0 : k * n * n),
                      static_cast<std::int64_t>(n), j.call.core, out, work, &check);
    if (r.status == ambiguity_status::interrupted) return false;
    std::memcpy(j.afix + k * n * j.A, afix, sizeof(double) * n * j.A);
    std::memcpy(j.sqnorm + k * j.S, sq, sizeof(double) * j.S);
    const double ratio = ambiguity_ratio(r, sq);
    double* v = j.values;
    const std::size_t K = j.K;
    v[v_ratio * K + k] = ratio;
    v[v_accepted * K + k] = ambiguity_accepted(r, ratio, j.call.ratio) ? 1.0 : 0.0;
    v[v_success * K + k] = r.success_rate;
    v[v_nfixed * K + k] = static_cast<double>(r.nfixed);
    v[v_fixed_sr * K + k] = r.fixed_success_rate;
    v[v_nodes * K + k] = static_cast<double>(r.nodes);
    v[v_status * K + k] = status_code(r.status);
    return true;
}

host_array* copy_of(std::size_t rows, std::size_t cols, std::size_t pages, const double* v) {
    host_array* a = host_create_unset(rows, cols, pages);
    if (rows * cols * pages != 0)
        std::memcpy(host_data(a), v, sizeof(double) * rows * cols * pages);
    return a;
}

const char* const info_fields[] = {
    "method", "ratio", "accepted", "success_rate", "nfixed", "fixed", "fixed_success_rate",
    "D",      "Z",     "nodes",    "status"};

}  // namespace

void ambiguity_fix_batch_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    host_set_error_prefix("latbox:ambiguity_fix_batch");
    if (nrhs < 2 || nlhs > 3) host_error_about("usage", usage);
    std::size_t K = 0;
    const std::size_t n = read_ambiguity_frame(prhs[0], true, K);
    const std::size_t P = read_ambiguity_covariance(prhs[1], n, true, K);
    const ambiguity_call call = read_ambiguity_options(nrhs, prhs, 2, static_cast<std::int64_t>(n));
    const double* ahat = host_data(prhs[0]);
    const double* Q = host_data(prhs[1]);
    char name[48];
    require_finite_columns(ahat, n, K, "ahat");
    for (std::size_t p = 0; p < P; ++p) {
        require_covariance(Q + p * n * n, n, P == 1 ? "Q" : page_name(name, "Q", p));
    }

    const bool many = call.core.method == ambiguity_method::ils;
    const bool listed = many || call.core.method == ambiguity_method::par;
    const std::size_t M = static_cast<std::size_t>(call.core.ncands);
    const std::size_t A = many ? M : 1, S = listed ? M : 1;
    // every output of the frame in one block: afix, sqnorm, fixed, D, Z (with info only), the
    // per-epoch values
    const std::size_t nZ = nlhs >= 3 ? n * n * K : 0;
    const std::size_t total = n * A * K + S * K + 2 * n * K + nZ + v_count * K;
    auto* block = static_cast<double*>(host_calloc(total, sizeof(double)));
    batch_job job{ahat, Q, n, K, P, call, A, S, block, nullptr, nullptr, nullptr, nullptr, nullptr};
    job.sqnorm = job.afix + n * A * K;
    job.fixed = job.sqnorm + S * K;
    job.D = job.fixed + n * K;
    job.Z = job.D + n * K;
    job.values = job.Z + nZ;
    if (nZ == 0) job.Z = nullptr;
    const std::size_t scratch =
        sizeof(double) * (n * M + M) +
        ambiguity_scratch_bytes(static_cast<std::int64_t>(n), call.core.ncands);
    const double nd = static_cast<double>(n);
    const double cost = 1000.0 + 40.0 * nd * nd + 4.0 * nd * nd * nd;
    const bool finished = batch_run({batch_each<epoch>, &job, K, scratch, cost});
    // the first epoch whose Q is not positive definite
    std::size_t bad = K;
    for (std::size_t k = 0; finished && k < K && bad == K; ++k) {
        if (job.values[v_status * K + k] == status_code(ambiguity_status::not_positive_definite)) {
            bad = k;
        }
    }
    if (!finished || bad < K) {
        host_free(block);
        if (!finished) host_error_about("interrupted", interrupted_message);
        raise_not_positive_definite(P == 1 ? "Q" : page_name(name, "Q", bad));
    }

    plhs[0] = many && M > 1 ? copy_of(n, M, K, job.afix) : copy_of(n, K, 1, job.afix);
    if (nlhs >= 2) plhs[1] = copy_of(S, K, 1, job.sqnorm);
    if (nlhs >= 3) {
        const double* v = job.values;
        host_array* info = host_create_struct(info_fields, 11);
        host_set_field(info, "method", host_create_string(ambiguity_method_text(call.core.method)));
        host_set_field(info, "ratio", copy_of(1, K, 1, v + v_ratio * K));
        host_set_field(info, "accepted", host_create_logical(1, K, v + v_accepted * K));
        host_set_field(info, "success_rate", copy_of(1, K, 1, v + v_success * K));
        host_set_field(info, "nfixed", copy_of(1, K, 1, v + v_nfixed * K));
        host_set_field(info, "fixed", host_create_logical(n, K, job.fixed));
        host_set_field(info, "fixed_success_rate", copy_of(1, K, 1, v + v_fixed_sr * K));
        host_set_field(info, "D", copy_of(n, K, 1, job.D));
        host_set_field(info, "Z", copy_of(n, n, K, job.Z));
        host_set_field(info, "nodes", copy_of(1, K, 1, v + v_nodes * K));
        host_set_field(info, "status", copy_of(1, K, 1, v + v_status * K));
        plhs[2] = info;
    }
    host_free(block);
}
