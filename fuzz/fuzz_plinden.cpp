// [symb,info]=plinden(y,R,radius,lb,ub) on any call. On success: symb is n-by-1 and info
// 1-by-1 (n = columns of R), info is 1 or -1; with 1, symb holds integers in [lb, ub]
// (bounds beyond 2^51 taken at 2^51); with -1 symb is untouched (zeros).
//
// The search is exhaustive and has no node limit: badly scaled inputs (a tiny diagonal
// under a far centre, a huge radius) can ask for 2^50 candidates and more, which is the
// documented cost, not a hang. Inputs that reach the search are first searched host-free
// with a node cap; those that exceed it are not passed to the gateway.
#include <algorithm>
#include <cmath>
#include <vector>

#include "detect/sphere_search.h"
#include "detect/sphere_search_internal.h"
#include "fuzz/fuzz_input.h"
#include "gateways/gateways.h"

namespace {

constexpr std::int64_t node_cap = 1 << 14;  // a few milliseconds under the sanitizers

double first(const host_array* a) { return reinterpret_cast<const double*>(a->bytes)[0]; }

// True when the call would run a search of more than node_cap candidates.
bool search_too_long(const fuzz_call& call) {
    if (call.args.size() != 5 || call.nlhs != 2) return false;
    for (const th_array& a : call.args) {
        if (a->cls != th_class::real_double || a->rows * a->cols == 0) return false;
    }
    const host_array* R = call.args[1].get();
    const std::size_t n = R->cols;
    if (R->rows != n || call.args[0]->rows * call.args[0]->cols < n) return false;
    const double* y = reinterpret_cast<const double*>(call.args[0]->bytes);
    const double* r = reinterpret_cast<const double*>(R->bytes);
    for (std::size_t j = 0; j < n; ++j) {
        if (!std::isfinite(y[j]) || r[j + j * n] == 0.0) return false;
        for (std::size_t i = 0; i <= j; ++i) {
            if (!std::isfinite(r[i + j * n])) return false;
        }
    }
    const double radius = first(call.args[2].get());
    const double lb = first(call.args[3].get());
    const double ub = first(call.args[4].get());
    if (std::isnan(radius) || std::isnan(lb) || std::isnan(ub)) return false;
    std::vector<double> scratch(5 * n, 0.0);
    double* s = scratch.data();
    search_options options;
    options.max_nodes = node_cap;
    return find_closest_point_with(y, r, static_cast<std::int64_t>(n), radius, lb, ub, s, s + n,
                                   s + 2 * n, s + 3 * n, s + 4 * n,
                                   options) == search_status::node_limit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz_call call = fuzz_decode(data, size, {5, 2});
    if (search_too_long(call)) return 0;
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
