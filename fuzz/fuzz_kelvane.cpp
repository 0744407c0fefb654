// SPDX-License-Identifier: BSD-3-Clause
// [x,reserved,iterations,status]=kelvane(y,R,u,index_set,use_start) on any call. Its own
// messages need not end in a newline, and an error raised inside the solver may leave the
// scratch to the host. On success: R is n-by-n, exactly the requested outputs exist (at
// least x): x n-by-1, finite and inside [-u, u]; reserved n-by-1 zeros; iterations 1-by-1,
// a whole number >= 0; status 1-by-1, 1 or -1 (and then iterations 0).
#include <cmath>

#include "fuzz/fuzz_input.h"
#include "gateways/gateways.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz_call call = fuzz_decode(data, size, {5, 4});
    const th_result r = th_call(kelvane_gateway, call.nlhs, call.inputs());
    fuzz_check_result(r, call, false, false, 5);
    if (r.failed) return 0;
    FUZZ_CHECK(call.args.size() == 5 && call.nlhs <= 4);
    const host_array* R = call.args[1].get();
    const std::size_t n = R->cols;
    FUZZ_CHECK(R->rows == n);
    const double u = th_values(call.args[2])[0];
    const std::size_t slots = r.outputs.size();
    FUZZ_CHECK(fuzz_shape(r.outputs[0], n, 1));
    const double* x = th_values(r.outputs[0]);
    for (std::size_t j = 0; j < n; ++j) FUZZ_CHECK(std::isfinite(x[j]) && std::fabs(x[j]) <= u);
    if (slots >= 2) {
        FUZZ_CHECK(fuzz_shape(r.outputs[1], n, 1));
        for (std::size_t j = 0; j < n; ++j) FUZZ_CHECK(th_values(r.outputs[1])[j] == 0.0);
    }
    if (slots >= 3) {
        FUZZ_CHECK(fuzz_shape(r.outputs[2], 1, 1));
        const double it = th_values(r.outputs[2])[0];
        FUZZ_CHECK(it >= 0.0 && it == std::trunc(it));
    }
    if (slots >= 4) {
        FUZZ_CHECK(fuzz_shape(r.outputs[3], 1, 1));
        const double status = th_values(r.outputs[3])[0];
        FUZZ_CHECK(status == 1.0 || status == -1.0);
        if (status == -1.0) FUZZ_CHECK(th_values(r.outputs[2])[0] == 0.0);
    }
    return 0;
}
