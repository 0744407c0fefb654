// SPDX-License-Identifier: BSD-3-Clause
// index_set=morrit(x,bound) on any call. On success: x and bound are real double arrays,
// index_set is (n+2)-by-1 with n = rows of x; slot 0 is 0, the count c in slot n+1 is an
// integer in [0, n], slots 1..n name every variable 1..n once, the first c signed by their
// bound and in increasing order, the free ones positive.
#include <cmath>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "gateways/gateways.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz_call call = fuzz_decode(data, size, {2, 1});
    const th_result r = th_call(morrit_gateway, call.nlhs, call.inputs());
    fuzz_check_result(r, call, true, true, 2);
    if (r.failed) return 0;
    FUZZ_CHECK(call.args.size() >= 2 && call.nlhs <= 1);
    const std::size_t n = call.args[0]->rows;
    FUZZ_CHECK(call.args[0]->cols >= 1 || n == 0);
    FUZZ_CHECK(call.args[1]->rows * call.args[1]->cols >= 1);
    FUZZ_CHECK(fuzz_shape(r.outputs[0], n + 2, 1));
    const double* v = th_values(r.outputs[0]);
    FUZZ_CHECK(v[0] == 0.0);
    const double c = v[n + 1];
    FUZZ_CHECK(c == std::trunc(c) && c >= 0.0 && c <= static_cast<double>(n));
    std::vector<bool> seen(n + 1, false);
    double previous = 0.0;
    for (std::size_t s = 1; s <= n; ++s) {
        const double a = std::fabs(v[s]);
        FUZZ_CHECK(a == std::trunc(a) && a >= 1.0 && a <= static_cast<double>(n));
        FUZZ_CHECK(!seen[static_cast<std::size_t>(a)]);
        seen[static_cast<std::size_t>(a)] = true;
        if (static_cast<double>(s) <= c) {
            FUZZ_CHECK(a > previous);
            previous = a;
        } else {
            FUZZ_CHECK(v[s] > 0.0);
        }
    }
    return 0;
}
