// SPDX-License-Identifier: BSD-3-Clause
// [seconds, out1, out2] = batch_routine_loop(name, reps, <the inputs of name_batch>):
// the host-free routine alone, called in a plain loop over the columns (pages for
// quorvin) of a batch call's inputs, on the calling thread, with its scratch obtained
// once beforehand. seconds (reps-by-1) times each pass of the loop and nothing else;
// out1 (and out2: plinden's info) is what the last pass computed, for the caller to
// compare with the batch call. A benchmark tool: it trusts its inputs.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "box/bound_classification.h"
#include "box/bvls.h"
#include "detect/decision_feedback.h"
#include "detect/sphere_search.h"
#include "host/host.h"
#include "reduce/reduce_qr_factors.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Times `reps` passes of pass() into seconds[0..reps-1].
template <class Pass>
void time_passes(double* seconds, std::size_t reps, Pass pass) {
    for (std::size_t r = 0; r < reps; ++r) {
        const auto t0 = clock_type::now();
        pass();
        seconds[r] = std::chrono::duration<double>(clock_type::now() - t0).count();
    }
}

// The channel of column k when R holds P pages for K columns.
const double* page_for(const double* R, std::size_t n, std::size_t P, std::size_t K,
                       std::size_t k) {
    return R + (k / (K / P)) * n * n;
}

}  // namespace

void batch_routine_loop(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs < 4 || nlhs < 2)
        host_error("USAGE: [seconds,out1,out2]=batch_routine_loop(name,reps,...)\n");
    char name[16] = {0};
    const double* text = host_data(prhs[0]);  // the name as a double array of character codes
    for (std::size_t i = 0; i < host_cols(prhs[0]) && i + 1 < sizeof name; ++i) {
        name[i] = static_cast<char>(text[i]);
    }
    const auto reps = static_cast<std::size_t>(host_data(prhs[1])[0]);
    const host_array* const* in = prhs + 2;
    plhs[0] = host_create_matrix(reps, 1);
    if (nlhs >= 3) plhs[2] = host_create_matrix(0, 0);  // plinden's info replaces it
    double* seconds = host_data(plhs[0]);
    const double* first = host_data(in[0]);

    if (std::strcmp(name, "morrit") == 0) {
        const std::size_t n = host_rows(in[0]), K = host_cols(in[0]);
        const double bound = host_data(in[1])[0];
        plhs[1] = host_create_matrix(n + 2, K);
        double* I = host_data(plhs[1]);
        time_passes(seconds, reps, [&] {
            for (std::size_t k = 0; k < K; ++k) {
                classify_bounds(first + k * n, static_cast<std::int64_t>(n), bound,
                                I + k * (n + 2));
            }
        });
        return;
    }
    if (std::strcmp(name, "quorvin") == 0) {
        const std::size_t m = host_dim(in[0], 0), n = host_dim(in[0], 1), P = host_dim(in[0], 2);
        const double* R = host_data(in[1]);
        const double delta = host_data(in[2])[0];
        // Every page's outputs in one block, Q then R then U, as the batch call fills them.
        plhs[1] = host_create_matrix(m * n + 2 * n * n, P);
        double* out = host_data(plhs[1]);
        const auto nn = static_cast<std::int64_t>(n);
        auto* scratch =
            static_cast<double*>(host_calloc(reduce_qr_scratch_size(nn), sizeof(double)));
        const std::size_t stride = m * n + 2 * n * n;
        time_passes(seconds, reps, [&] {
            for (std::size_t p = 0; p < P; ++p) {
                double* q = out + p * stride;
                double* r = q + m * n;
                double* u = r + n * n;
                std::copy_n(first + p * m * n, m * n, q);
                std::copy_n(R + p * n * n, n * n, r);
                std::fill_n(u, n * n, 0.0);
                for (std::size_t i = 0; i < n; ++i) u[i + i * n] = 1.0;
                reduce_qr_factors(q, r, u, static_cast<std::int64_t>(m), nn, delta, scratch);
            }
        });
        host_free(scratch);
        return;
    }

    // The functions of a frame: Y n-by-K, R n-by-n-by-P.
    const std::size_t n = host_rows(in[0]), K = host_cols(in[0]);
    const std::size_t P = host_dim(in[1], 2);
    const double* R = host_data(in[1]);
    plhs[1] = host_create_matrix(n, K);
    double* S = host_data(plhs[1]);
    const auto nn = static_cast<std::int64_t>(n);

    if (std::strcmp(name, "zarrow") == 0) {
        time_passes(seconds, reps, [&] {
            for (std::size_t k = 0; k < K; ++k) {
                round_feedback(first + k * n, page_for(R, n, P, K, k), nn, S + k * n);
            }
        });
    } else if (std::strcmp(name, "tessaly") == 0) {
        const auto u = static_cast<std::int32_t>(host_data(in[2])[0]);
        time_passes(seconds, reps, [&] {
            for (std::size_t k = 0; k < K; ++k) {
                odd_clamp_feedback(first + k * n, page_for(R, n, P, K, k), nn, u, S + k * n);
            }
        });
    } else if (std::strcmp(name, "plinden") == 0) {
        const double* radius = host_data(in[2]);
        const bool per_column = host_rows(in[2]) * host_cols(in[2]) == K && K > 1;
        const double lb = host_data(in[3])[0], ub = host_data(in[4])[0];
        plhs[2] = host_create_matrix(1, K);
        double* info = host_data(plhs[2]);
        auto* scratch = static_cast<double*>(host_calloc(search_scratch_size(nn), sizeof(double)));
        time_passes(seconds, reps, [&] {
            for (std::size_t k = 0; k < K; ++k) {
                const search_status status =
                    find_closest_point(first + k * n, page_for(R, n, P, K, k), nn,
                                       radius[per_column ? k : 0], lb, ub, S + k * n, scratch);
                info[k] = status == search_status::found  ? 1.0
                          : status == search_status::none ? -1.0
                                                          : 0.0;
            }
        });
        host_free(scratch);
    } else if (std::strcmp(name, "kelvane") == 0) {
        const double u = host_data(in[2])[0];
        const double* starts = host_data(in[3]);
        const bool start_per_column = host_cols(in[3]) == K && K != 1;
        const double* use_start = host_data(in[4]);
        const bool use_per_column = host_rows(in[4]) * host_cols(in[4]) == K && K > 1;
        bvls_scratch s;
        s.slot = static_cast<std::int64_t*>(host_calloc(n + 2, sizeof(std::int64_t)));
        s.dual = static_cast<double*>(host_calloc(n, sizeof(double)));
        s.columns = static_cast<double*>(host_calloc(n * (n + 2), sizeof(double)));
        s.z = static_cast<double*>(host_calloc(n, sizeof(double)));
        s.work = static_cast<double*>(host_calloc(2 * n, sizeof(double)));
        s.G = static_cast<double*>(host_calloc(n * n, sizeof(double)));
        time_passes(seconds, reps, [&] {
            for (std::size_t k = 0; k < K; ++k) {
                const bool warm = std::fabs(use_start[use_per_column ? k : 0]) >= 1.0;
                const double* start =
                    warm ? starts + (start_per_column ? k * (n + 2) : 0) : nullptr;
                double* x = S + k * n;
                const bvls_result result =
                    bvls_solve(nn, page_for(R, n, P, K, k), first + k * n, u, start, x, s);
                if (result.exit != bvls_exit::converged && result.exit != bvls_exit::optimal &&
                    result.exit != bvls_exit::all_free && result.exit != bvls_exit::iteration_cap) {
                    std::fill_n(x, n, std::numeric_limits<double>::quiet_NaN());
                }
            }
        });
        host_free(s.slot);
        host_free(s.dual);
        host_free(s.columns);
        host_free(s.z);
        host_free(s.work);
        host_free(s.G);
    } else {
        host_error("unknown function name\n");
    }
}
