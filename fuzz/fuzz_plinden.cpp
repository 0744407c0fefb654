// SPDX-License-Identifier: BSD-3-Clause
// [symb,info]=plinden(y,R,radius,lb,ub) on any call. On success: symb is n-by-1 and info
// 1-by-1 (n = columns of R), info is 1 or -1; with 1, symb holds integers in [lb, ub]
// (bounds beyond 2^51 taken at 2^51); with -1 symb is untouched (zeros).
//
// The search is exhaustive and has no node limit: badly scaled inputs (a tiny diagonal
// under a far centre, a huge radius) can ask for 2^50 candidates and more, which is the
// documented cost, not a hang. So that every input is cheap, a call that reaches the
// search is first searched host-free with a small node cap. When it exceeds the cap, the
// call is not dropped: the gateway gets the same problem cut to its last m rows and
// columns (y to its last m elements), for the largest m, tried from 1 upwards, whose
// search fits. The search starts at the last row, so the cut problem is the top of the
// same tree, and the fuzzer keeps exercising the gateway on it.
#include <algorithm>
#include <cmath>
#include <vector>

#include "detect/sphere_search.h"
#include "detect/sphere_search_internal.h"
#include "fuzz/fuzz_input.h"
#include "gateways/gateways.h"

namespace {

constexpr std::int64_t node_cap = 1 << 8;  // tens of microseconds under the sanitizers

double first(const host_array* a) {
    return reinterpret_cast<const double*>(a->bytes)[0];
}

// True when the search of the last m rows and columns of the problem visits more than
// node_cap candidates. y and R are the call's data, R n-by-n.
bool search_too_long(const double* y, const double* R, std::size_t n, std::size_t m, double radius,
                     double lb, double ub) {
    std::vector<double> cut(m + m * m + 5 * m, 0.0);
    double* yc = cut.data();
    double* Rc = yc + m;
    double* s = Rc + m * m;
    const std::size_t off = n - m;
    for (std::size_t j = 0; j < m; ++j) {
        yc[j] = y[off + j];
        for (std::size_t i = 0; i < m; ++i) Rc[i + j * m] = R[(off + i) + (off + j) * n];
    }
    search_options options;
    options.max_nodes = node_cap;
    return find_closest_point_with(yc, Rc, static_cast<std::int64_t>(m), radius, lb, ub, s, s + m,
                                   s + 2 * m, s + 3 * m, s + 4 * m,
                                   options) == search_status::node_limit;
}

// What the harness does with a call: run_as_is (it does not reach the search, or its
// search fits), or cut it to the last m rows and columns for the returned m > 0 (0 when
// not even one row fits, which the zig-zag on one level rules out; the call is dropped).
constexpr long run_as_is = -1;
long cut_size(const fuzz_call& call) {
    if (call.args.size() != 5 || call.nlhs != 2) return run_as_is;
    for (const th_array& a : call.args) {
        if (a->cls != th_class::real_double || a->rows * a->cols == 0) return run_as_is;
    }
    const host_array* R = call.args[1].get();
    const std::size_t n = R->cols;
    if (R->rows != n || call.args[0]->rows * call.args[0]->cols < n) return run_as_is;
    const double* y = reinterpret_cast<const double*>(call.args[0]->bytes);
    const double* r = reinterpret_cast<const double*>(R->bytes);
    for (std::size_t j = 0; j < n; ++j) {
        if (!std::isfinite(y[j]) || r[j + j * n] == 0.0) return run_as_is;
        for (std::size_t i = 0; i <= j; ++i) {
            if (!std::isfinite(r[i + j * n])) return run_as_is;
        }
    }
    const double radius = first(call.args[2].get());
    const double lb = first(call.args[3].get());
    const double ub = first(call.args[4].get());
    if (std::isnan(radius) || std::isnan(lb) || std::isnan(ub)) return run_as_is;
    if (!search_too_long(y, r, n, n, radius, lb, ub)) return run_as_is;
    long m = 0;  // smaller shapes first: the largest m such that 1..m all fit
    while (static_cast<std::size_t>(m + 1) < n &&
           !search_too_long(y, r, n, m + 1, radius, lb, ub)) {
        ++m;
    }
    return m;
}

// The call cut to the last m rows and columns of R and the last m of the first n
// elements of y (a column); radius, lb and ub as their first elements.
fuzz_call cut_call(const fuzz_call& call, std::size_t m) {
    const std::size_t n = call.args[1]->cols;
    const double* y = reinterpret_cast<const double*>(call.args[0]->bytes);
    const double* r = reinterpret_cast<const double*>(call.args[1]->bytes);
    std::vector<double> yc(y + (n - m), y + n);
    std::vector<double> Rc(m * m);
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t i = 0; i < m; ++i) Rc[i + j * m] = r[(n - m + i) + (n - m + j) * n];
    }
    fuzz_call cut;
    cut.nlhs = call.nlhs;
    cut.args.push_back(th_column(yc));
    cut.args.push_back(th_matrix(m, m, Rc));
    for (int k = 2; k < 5; ++k) cut.args.push_back(th_scalar(first(call.args[k].get())));
    return cut;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_call call = fuzz_decode(data, size, {5, 2});
    const long m = cut_size(call);
    if (m == 0) return 0;
    if (m > 0) call = cut_call(call, static_cast<std::size_t>(m));
    const th_result r = th_call(plinden_gateway, call.nlhs, call.inputs());
    // the scratch is freed before the one error raised after the search
    fuzz_check_result(r, call, true, true, 5);
    if (r.failed) return 0;
    FUZZ_CHECK(call.args.size() == 5 && call.nlhs == 2);
    const host_array* y = call.args[0].get();
    const host_array* R = call.args[1].get();
    const std::size_t n = R->cols;
    FUZZ_CHECK(R->rows == n && y->rows * y->cols >= n);
    for (int k = 2; k < 5; ++k) FUZZ_CHECK(call.args[k]->rows * call.args[k]->cols >= 1);
    FUZZ_CHECK(fuzz_shape(r.outputs[0], n, 1));
    FUZZ_CHECK(fuzz_shape(r.outputs[1], 1, 1));
    const double info = th_values(r.outputs[1])[0];
    FUZZ_CHECK(info == 1.0 || info == -1.0);
    const double* symb = th_values(r.outputs[0]);
    const double lb = std::max(th_values(call.args[3])[0], -search_limit);
    const double ub = std::min(th_values(call.args[4])[0], search_limit);
    for (std::size_t i = 0; i < n; ++i) {
        if (info == 1.0) {
            FUZZ_CHECK(std::isfinite(symb[i]) && symb[i] == std::trunc(symb[i]));
            FUZZ_CHECK(symb[i] >= lb && symb[i] <= ub);
        } else {
            FUZZ_CHECK(symb[i] == 0.0);
        }
    }
    return 0;
}
