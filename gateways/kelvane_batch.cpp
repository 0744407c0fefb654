// SPDX-License-Identifier: BSD-3-Clause
// [X,iterations,status]=kelvane_batch(Y,R,u,index_sets,use_start): box-constrained least
// squares for every column of a frame, each cold or warm-started from its index-set vector.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "box/bvls.h"
#include "gateways/args.h"
#include "gateways/batch.h"
#include "gateways/gateways.h"

namespace {

struct kelvane_job {
    const double* Y;
    batch_channels channels;
    double u;
    const double* starts;  // (n+2)-by-K, or (n+2)-by-1 for every column
    bool start_per_column;
    batch_scalars use_start;
    double* X;
    double* iterations;        // null when not requested
    double* status;            // null when not requested
    optimality_check* checks;  // K: each column's check of its x, written by that column
};

bool is_warm(double use_start) {
    return std::fabs(use_start) >= 1.0;
}  // non-zero truncated

// The scratch of one thread: the solver's six blocks, carved from one.
bvls_scratch carve(void* block, std::size_t n) {
    bvls_scratch s;
    s.slot = static_cast<std::int64_t*>(block);
    s.dual = reinterpret_cast<double*>(s.slot + n + 2);
    s.columns = s.dual + n;
    s.z = s.columns + n * (n + 2);
    s.work = s.z + n;
    s.G = s.work + 2 * n;
    return s;
}
std::size_t scratch_bytes(std::size_t n) {
    return (n + 2) * sizeof(std::int64_t) + (n + n * (n + 2) + n + 2 * n + n * n) * sizeof(double);
}

// status as kelvane reports it: 1, or -1 at the pass cap (iterations 0); a column whose
// free-set Gram matrix cannot be formed or breaks down (an error for kelvane) gets -2, a
// NaN column and iterations 0.
bool kelvane_column(const void* job, std::size_t k, void* scratch, const interrupt_check& check) {
    const auto& j = *static_cast<const kelvane_job*>(job);
    const std::size_t n = j.channels.n;
    double* x = j.X + k * n;
    if (n == 0) {
        if (j.status != nullptr) j.status[k] = 1.0;
        return true;
    }
    const double* start = nullptr;
    if (is_warm(j.use_start.at(k))) start = j.starts + (j.start_per_column ? k * (n + 2) : 0);
    const bvls_result result = bvls_solve(static_cast<std::int64_t>(n), channel_of(j.channels, k),
                                          j.Y + k * n, j.u, start, x, carve(scratch, n), &check);
    double status = 1.0, iterations = static_cast<double>(result.iter);
    switch (result.exit) {
        case bvls_exit::interrupted:
            return false;
        case bvls_exit::converged:
        case bvls_exit::optimal:
        case bvls_exit::all_free:
            break;
        case bvls_exit::iteration_cap:
            status = -1.0, iterations = 0.0;
            break;
        default:
            std::fill(x, x + n, std::numeric_limits<double>::quiet_NaN());
            status = -2.0, iterations = 0.0;
    }
    if (j.status != nullptr) j.status[k] = status;
    if (j.iterations != nullptr) j.iterations[k] = iterations;
    j.checks[k] = result.check;
    return true;
}

// What the call checks column by column: use_start finite, Y finite, every page of R
// triangular, the index set of every warm column when each column has its own.
struct kelvane_inputs {
    const double* Y;
    batch_channels channels;
    const double* starts;
    bool start_per_column;
    batch_scalars use_start;
    std::size_t K;
};

// The checks' items in their order: the use_start values (one when it is a scalar), the
// columns of Y, the pages of R, and the index sets of the columns when each has its own.
std::size_t input_items(const kelvane_inputs& in) {
    return (in.use_start.per_column ? in.K : 1) + in.K + in.channels.pages +
           (in.start_per_column ? in.K : 0);
}

bool kelvane_inputs_valid(const void* job, std::size_t begin, std::size_t end) {
    const auto& j = *static_cast<const kelvane_inputs*>(job);
    const std::size_t n = j.channels.n, K = j.K, P = j.channels.pages;
    const std::size_t U = j.use_start.per_column ? K : 1;
    for (std::size_t i = begin; i < end; ++i) {
        bool ok;
        if (i < U) {
            ok = std::isfinite(j.use_start.at(i));
        } else if (i < U + K) {
            ok = all_finite(j.Y + (i - U) * n, n);
        } else if (i < U + K + P) {
            ok = is_triangular(j.channels.R + (i - U - K) * n * n, n, below_diagonal::zero);
        } else {
            const std::size_t k = i - U - K - P;
            ok = !is_warm(j.use_start.at(k)) || is_index_set(j.starts + k * (n + 2), n);
        }
        if (!ok) return false;
    }
    return true;
}

// The same checks, raising the first fault.
void check_inputs(const kelvane_inputs& in) {
    const std::size_t n = in.channels.n, K = in.K;
    char name[48];
    for (std::size_t k = 0; k < (in.use_start.per_column ? K : 1); ++k) {
        if (!std::isfinite(in.use_start.at(k))) {
            raise_about(in.use_start.per_column ? column_name(name, "use_start", k) : "use_start",
                        "must be a finite number");
        }
    }
    require_finite_columns(in.Y, n, K, "Y");
    require_triangular_pages(in.channels.R, n, in.channels.pages, below_diagonal::zero, "R");
    if (!in.start_per_column) return;
    for (std::size_t k = 0; k < K; ++k) {
        const double* set = in.starts + k * (n + 2);
        if (is_warm(in.use_start.at(k)) && !is_index_set(set, n)) {
            require_index_set(set, n, column_name(name, "index_sets", k));
        }
    }
}

// The text of the one warning for every column whose x failed its check: how many, the first,
// and the worst finding (a point outside the box before any decrease). False when none failed.
bool inaccurate_columns(const optimality_check* checks, std::size_t K, char (&text)[256]) {
    std::size_t count = 0, first = 0, worst = 0;
    for (std::size_t k = 0; k < K; ++k) {
        if (!misses_optimum(checks[k])) continue;
        if (count++ == 0) first = worst = k;
        const optimality_check &c = checks[k], &w = checks[worst];
        if (c.outside > w.outside || (w.outside == 0.0 && c.decrease > w.decrease)) worst = k;
    }
    if (count == 0) return false;
    char found[96];
    describe_optimality(checks[worst], found, sizeof found);
    std::snprintf(text, sizeof text,
                  "X is inaccurate in %zu of %zu columns, the first column %zu; in column %zu, %s "
                  "(R is too ill-conditioned for this solver)",
                  count, K, first + 1, worst + 1, found);
    return true;
}

}  // namespace

void kelvane_batch_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs != 5 || nlhs > 3) {
        host_error("USAGE: [X,iterations,status]=kelvane_batch(Y,R,u,index_sets,use_start)\n");
    }
    batch_channels channels = read_channels(prhs[1], "R");
    const std::size_t K = read_frame(prhs[0], channels, "Y");
    const std::size_t n = channels.n;
    const double u = read_scalar(prhs[2], "u");
    require_real_double(prhs[3], "index_sets");
    const host_array* starts = prhs[3];
    const bool per_column = host_cols(starts) == K && K != 1;
    if (host_ndims(starts) != 2 || host_rows(starts) != n + 2 ||
        !(per_column || host_cols(starts) == 1)) {
        raise_about("index_sets", "must be (n+2)-by-K, or (n+2)-by-1 for every column");
    }
    const batch_scalars use_start = read_scalars(prhs[4], K, "use_start");
    if (!(u >= 0.0) || std::isinf(u)) raise_about("u", "must be a finite number, not negative");
    const double* Y = host_data(prhs[0]);
    const double* start = host_data(starts);
    // the workers look for a fault; if there is one, the checks here raise the first
    const kelvane_inputs inputs{Y, channels, start, per_column, use_start, K};
    if (!batch_all_valid(kelvane_inputs_valid, &inputs, input_items(inputs),
                         static_cast<double>(n) + 2.0)) {
        check_inputs(inputs);
    }
    if (!per_column) {
        bool any_warm = false;
        for (std::size_t k = 0; k < K; ++k) any_warm = any_warm || is_warm(use_start.at(k));
        if (any_warm) require_index_set(start, n, "index_sets");
    }
    if (n > 0 && K > 0 && !bvls_blas_usable()) {
        host_error("The BLAS in use does not take 64-bit integers (bound to the host's BLAS?)\n");
    }

    // Outputs in order, only as many as requested (the host gives max(nlhs, 1) slots).
    const int outputs = nlhs > 1 ? nlhs : 1;
    plhs[0] = host_create_matrix(n, K);
    if (outputs >= 2) plhs[1] = host_create_matrix(1, K);
    if (outputs >= 3) plhs[2] = host_create_matrix(1, K);
    auto* checks = static_cast<optimality_check*>(host_calloc(K, sizeof(optimality_check)));
    const kelvane_job job{Y,
                          channels,
                          u,
                          start,
                          per_column,
                          use_start,
                          host_data(plhs[0]),
                          outputs >= 2 ? host_data(plhs[1]) : nullptr,
                          outputs >= 3 ? host_data(plhs[2]) : nullptr,
                          checks};
    const double nd = static_cast<double>(n);
    const double cost = 30.0 * nd * nd * nd / 8.0 + 500.0;
    // Up to plain_kernels_up_to variables the solver runs on plain loops that share nothing
    // between threads. Above it the solves take turns on the library (box/blas64.h), so the
    // default is one thread; more (LATBOX_NUM_THREADS) give the same bits, not more speed.
    const std::size_t cap = n > static_cast<std::size_t>(plain_kernels_up_to) ? 1 : 0;
    const bool finished =
        batch_run({batch_each<kelvane_column>, &job, K, scratch_bytes(n), cost, cap});
    char text[256];
    const bool inaccurate = finished && inaccurate_columns(checks, K, text);
    host_free(checks);
    if (!finished) host_error(interrupted_message);
    if (inaccurate) host_warning("latbox:kelvane:inaccurate", text);  // the outputs stay
}
