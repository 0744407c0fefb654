// SPDX-License-Identifier: BSD-3-Clause
// [symb,info]=plinden(y,R,radius,lb,ub) on any call. On success: symb is n-by-1 and info
// 1-by-1 (n = columns of R), info is 1 or -1; with 1, symb holds integers in [lb, ub]
// (bounds beyond 2^51 taken at 2^51); with -1 symb is untouched (zeros).
//
// A call whose search is too long runs cut to its last rows (see fuzz_search_cap.h).
#include <algorithm>
#include <cmath>
#include <vector>

#include "detect/sphere_search.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_search_cap.h"
#include "gateways/gateways.h"

namespace {

double first(const host_array* a) {
    return reinterpret_cast<const double*>(a->bytes)[0];
}

// fuzz_run_as_is when the call does not reach the search or its search fits; else the
// size to cut it to (see fuzz_cut_size).
long cut_size(const fuzz_call& call) {
    if (call.args.size() != 5 || call.nlhs != 2) return fuzz_run_as_is;
    for (const th_array& a : call.args) {
        if (a->cls != th_class::real_double || a->rows * a->cols == 0) return fuzz_run_as_is;
    }
    const host_array* R = call.args[1].get();
    const std::size_t n = R->cols;
    if (R->rows != n || call.args[0]->rows * call.args[0]->cols < n) return fuzz_run_as_is;
    const fuzz_search search{
        th_values(call.args[0]),   th_values(call.args[1]),   n,
        first(call.args[2].get()), first(call.args[3].get()), first(call.args[4].get())};
    if (!fuzz_searchable(search)) return fuzz_run_as_is;
    return fuzz_cut_size({search}, n);
}

// The call cut to the last m rows and columns of R and the last m of the first n
// elements of y (a column); radius, lb and ub as their first elements.
fuzz_call cut_call(const fuzz_call& call, std::size_t m) {
    const std::size_t n = call.args[1]->cols;
    const double* y = th_values(call.args[0]);
    fuzz_call cut;
    cut.nlhs = call.nlhs;
    cut.args.push_back(th_column(std::vector<double>(y + (n - m), y + n)));
    cut.args.push_back(th_matrix(m, m, fuzz_cut_square(th_values(call.args[1]), n, m)));
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
