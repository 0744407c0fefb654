// SPDX-License-Identifier: BSD-3-Clause
// zarrow(y,R) on any call. On success: s is n-by-1 (n = columns of R, R square, y of at
// least n elements) and every element is an integer or not finite (floor of the centre).
#include <cmath>

#include "fuzz/fuzz_input.h"
#include "gateways/gateways.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz_call call = fuzz_decode(data, size, {2, 1});
    const th_result r = th_call(zarrow_gateway, call.nlhs, call.inputs());
    fuzz_check_result(r, call, true, true, 2);
    if (r.failed) return 0;
    FUZZ_CHECK(call.args.size() == 2 && call.nlhs == 1);
    const host_array* y = call.args[0].get();
    const host_array* R = call.args[1].get();
    const std::size_t n = R->cols;
    FUZZ_CHECK(R->rows == n && y->rows * y->cols >= n);
    FUZZ_CHECK(fuzz_shape(r.outputs[0], n, 1));
    const double* s = th_values(r.outputs[0]);
    for (std::size_t i = 0; i < n; ++i)
        FUZZ_CHECK(!std::isfinite(s[i]) || s[i] == std::trunc(s[i]));
    return 0;
}
