// [x,reserved,iterations,status]=kelvane(y,R,u,index_set,use_start): box-constrained
// least squares min ||y - R*x|| over -u <= x <= u, cold or warm-started from an
// index-set vector of morrit.
#include <cmath>
#include <cstdint>

#include "box/blas64.h"
#include "box/bvls.h"
#include "gateways/args.h"
#include "gateways/gateways.h"

namespace {

const char* const usage =
    "USAGE: [x,reserved,iterations,status]=kelvane(y,R,u,index_set,use_start)\n";

// Every input that passes leaves the solver nothing to divide by zero and nothing
// non-finite to propagate: finite y, finite upper-triangular R with a non-zero diagonal.
void require_solvable(const double* y, const double* R, std::size_t n) {
    require_finite(y, n, "y");
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = 0; i < n; ++i) {
            const double r = R[i + j * n];
            if (i > j) {
                if (r != 0.0)
                    raise_about("R", "must be upper triangular (zeros below the diagonal)");
            } else if (!std::isfinite(r)) {
                raise_about("R", "must not contain NaN or Inf");
            }
        }
        if (R[j + j * n] == 0.0) raise_about("R", "must not have a zero on the diagonal");
    }
}

// The warm-start vector in morrit's layout: elements 2..n+1 name each variable 1..n
// once (negative: at the lower bound, positive: at the upper bound or free), element
// n+2 counts the bound entries, which come first. Element 1 is not read. seen: n
// zero-filled doubles to mark the variables named; left zero-filled again.
void require_index_set(const double* v, std::int64_t n, double* seen) {
    for (std::int64_t s = 1; s <= n + 1; ++s) {
        if (!std::isfinite(v[s]) || v[s] != std::trunc(v[s])) {
            raise_about("index_set", "must hold integer values");
        }
    }
    const double count = v[n + 1];
    // a negative count would leave more free variables than R has rows
    if (count < 0.0) host_error("Too many active variables in BVLS starting solution!");
    if (count > static_cast<double>(n)) {
        raise_about("index_set", "count (last element) must be between 0 and n");
    }
    for (std::int64_t s = 1; s <= n; ++s) {
        const double a = std::fabs(v[s]);
        if (a < 1.0 || a > static_cast<double>(n)) {
            raise_about("index_set", "entries must be variable numbers between -n and n, not 0");
        }
        if (s > count && v[s] < 0.0) raise_about("index_set", "free entries must be positive");
        double& mark = seen[static_cast<std::int64_t>(a) - 1];
        if (mark != 0.0) raise_about("index_set", "must name each variable only once");
        mark = 1.0;
    }
    for (std::int64_t j = 0; j < n; ++j) seen[j] = 0.0;
}

}  // namespace

void kelvane_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs != 5 || nlhs > 4) host_error(usage);
    require_real_double(prhs[0], "y");
    require_real_double(prhs[1], "R");
    require_real_double(prhs[3], "index_set");
    const double* y = host_data(prhs[0]);
    const double* R = host_data(prhs[1]);
    const double u = read_scalar(prhs[2], "u");
    const double* index_set = host_data(prhs[3]);
    const double use_start = read_scalar(prhs[4], "use_start");
    const std::size_t n = host_cols(prhs[1]);
    const std::size_t m = host_rows(prhs[1]);
    if (m != n) host_error("This function assumes n==m");
    require_elements(prhs[0], n, "y", "must have at least as many elements as R has columns");
    require_elements(prhs[3], n + 2, "index_set", "must have at least n+2 elements");
    if (!(u >= 0.0) || std::isinf(u)) raise_about("u", "must be a finite number, not negative");
    if (!std::isfinite(use_start)) raise_about("use_start", "must be a finite number");
    const bool warm = std::fabs(use_start) >= 1.0;  // non-zero after truncation
    require_solvable(y, R, n);
    const auto nn = static_cast<std::int64_t>(n);

    // Outputs in order, only as many as requested (the host gives max(nlhs, 1) slots).
    // x always: the solver works in it.
    const int outputs = nlhs > 1 ? nlhs : 1;
    host_array* x_out = host_create_matrix(n, 1);
    plhs[0] = x_out;
    double* x = host_data(x_out);
    if (outputs >= 2) plhs[1] = host_create_matrix(n, 1);  // reserved: stays zero
    double* iterations = nullptr;
    double* status = nullptr;
    if (outputs >= 3) {
        plhs[2] = host_create_matrix(1, 1);
        iterations = host_data(plhs[2]);
    }
    if (outputs >= 4) {
        plhs[3] = host_create_matrix(1, 1);
        status = host_data(plhs[3]);
        *status = 1.0;
    }
    if (warm) require_index_set(index_set, nn, x);
    if (n == 0) return;  // empty problem: empty x, iterations 0, status 1
    if (!blas64_in_use()) {
        host_error("the BLAS in use does not take 64-bit integers (bound to the host's BLAS?)\n");
    }

    // Scratch, in this order, sized for every variable free.
    auto* slot = static_cast<std::int64_t*>(host_calloc(n + 2, sizeof(std::int64_t)));
    auto* dual = static_cast<double*>(host_calloc(n, sizeof(double)));
    auto* columns = static_cast<double*>(host_calloc((m + 2) * n, sizeof(double)));
    auto* z = static_cast<double*>(host_calloc(m, sizeof(double)));
    auto* work = static_cast<double*>(host_calloc(2 * n, sizeof(double)));
    auto* G = static_cast<double*>(host_calloc(n * n, sizeof(double)));

    bvls_state st{nn, R, y, u, x, slot, 0, 0, columns, z, dual, work, G};
    if (warm) {
        // slot[0] is never read and stays 0
        for (std::int64_t s = 1; s <= nn + 1; ++s)
            slot[s] = static_cast<std::int64_t>(index_set[s]);
        st.n_bound = slot[nn + 1];
        for (std::int64_t l = 1; l <= st.n_bound; ++l) {
            x[(slot[l] < 0 ? -slot[l] : slot[l]) - 1] = slot[l] < 0 ? -u : u;
        }
        // the free variables start at 0, the centre of the box (x is zero-filled)
    } else {
        st.n_bound = nn;
        for (std::int64_t j = 1; j <= nn; ++j) {
            slot[j] = -j;
            x[j - 1] = -u;
        }
    }
    st.n_free = nn - st.n_bound;

    const bvls_result result = bvls_iterate(st, warm);
    bool finite = true;
    for (std::int64_t j = 0; j < nn; ++j) finite = finite && std::isfinite(x[j]);

    host_free(dual);
    host_free(slot);
    host_free(z);
    host_free(columns);
    host_free(work);
    host_free(G);
    const char* failure = bvls_exit_message(result.exit);
    if (failure[0] != '\0') host_error(failure);
    // The checks above leave only a numerically singular free set (R too ill-conditioned
    // for the Gram matrix of its columns) to produce a non-finite x.
    if (!finite)
        host_error("the free-set Gram matrix is numerically singular (R is too ill-conditioned)\n");
    if (result.exit == bvls_exit::iteration_cap) {
        if (status != nullptr) *status = -1.0;
    } else if (iterations != nullptr) {
        *iterations = static_cast<double>(result.iter);
    }
}
