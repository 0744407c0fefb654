// SPDX-License-Identifier: BSD-3-Clause
// [x,reserved,iterations,status]=kelvane(y,R,u,index_set,use_start): box-constrained
// least squares min ||y - R*x|| over -u <= x <= u, cold or warm-started from an
// index-set vector of morrit.
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "box/bvls.h"
#include "gateways/args.h"
#include "gateways/gateways.h"

void kelvane_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs != 5 || nlhs > 4) {
        host_error("USAGE: [x,reserved,iterations,status]=kelvane(y,R,u,index_set,use_start)\n");
    }
    require_real_double(prhs[0], "y");
    require_real_double(prhs[1], "R");
    require_real_double(prhs[3], "index_set");
    const double* y = host_data(prhs[0]);
    const double* R = host_data(prhs[1]);
    const double u = read_scalar(prhs[2], "u");
    const double* index_set = host_data(prhs[3]);
    const double use_start = read_scalar(prhs[4], "use_start");
    const std::size_t n = host_cols(prhs[1]);
    if (host_rows(prhs[1]) != n) host_error("This function assumes n==m");
    require_rhs_length(prhs[0], n, "y");
    require_elements(prhs[3], n + 2, "index_set", "must have at least n+2 elements");
    if (!(u >= 0.0) || std::isinf(u)) raise_about("u", "must be a finite number, not negative");
    if (!std::isfinite(use_start)) raise_about("use_start", "must be a finite number");
    const bool warm = std::fabs(use_start) >= 1.0;  // non-zero after truncation
    // Every input that passes leaves the solver nothing to divide by zero and nothing
    // non-finite to propagate.
    require_finite(y, n, "y");
    require_triangular(R, n, below_diagonal::zero, "R");
    if (warm) require_index_set(index_set, n, "index_set");
    if (n > 0 && !bvls_blas_usable()) {
        host_error("The BLAS in use does not take 64-bit integers (bound to the host's BLAS?)\n");
    }

    // Outputs in order, only as many as requested (the host gives max(nlhs, 1) slots).
    const int outputs = nlhs > 1 ? nlhs : 1;
    plhs[0] = host_create_matrix(n, 1);
    if (outputs >= 2) plhs[1] = host_create_matrix(n, 1);  // reserved: stays zero
    if (outputs >= 3) plhs[2] = host_create_matrix(1, 1);  // iterations: 0 at the pass cap
    if (outputs >= 4) {
        plhs[3] = host_create_matrix(1, 1);  // status: 1, or -1 at the pass cap
        host_data(plhs[3])[0] = 1.0;
    }
    if (n == 0) return;  // empty problem: empty x, iterations 0, status 1

    bvls_scratch scratch;  // sized for every variable free
    scratch.slot = static_cast<std::int64_t*>(host_calloc(n + 2, sizeof(std::int64_t)));
    scratch.dual = static_cast<double*>(host_calloc(n, sizeof(double)));
    scratch.columns = static_cast<double*>(host_calloc((n + 2) * n, sizeof(double)));
    scratch.z = static_cast<double*>(host_calloc(n, sizeof(double)));
    scratch.work = static_cast<double*>(host_calloc(2 * n, sizeof(double)));
    scratch.G = static_cast<double*>(host_calloc(n * n, sizeof(double)));
    const bvls_result result =
        bvls_solve(static_cast<std::int64_t>(n), R, y, u, warm ? index_set : nullptr,
                   host_data(plhs[0]), scratch, &host_interrupt);
    host_free(scratch.dual);
    host_free(scratch.slot);
    host_free(scratch.z);
    host_free(scratch.columns);
    host_free(scratch.work);
    host_free(scratch.G);
    if (result.exit == bvls_exit::interrupted) host_error(interrupted_message);
    const char* failure = bvls_exit_message(result.exit);
    if (failure[0] != '\0') host_error(failure);
    if (result.exit == bvls_exit::iteration_cap) {
        if (outputs >= 4) host_data(plhs[3])[0] = -1.0;
    } else if (outputs >= 3) {
        host_data(plhs[2])[0] = static_cast<double>(result.iter);
    }
    if (misses_optimum(result.check)) {  // the outputs stay as they are
        char found[96], text[192];
        describe_optimality(result.check, found, sizeof found);
        std::snprintf(text, sizeof text,
                      "x is inaccurate: %s (R is too ill-conditioned for this solver)", found);
        host_warning("latbox:kelvane:inaccurate", text);
    }
}
