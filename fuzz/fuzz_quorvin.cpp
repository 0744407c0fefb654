// SPDX-License-Identifier: BSD-3-Clause
// [Qo,Ro,Uo]=quorvin(Q,R,delta) on any call. On success: Q is m-by-n with m >= n, R is
// n-by-n, Qo is m-by-n, Ro and Uo n-by-n, and every finite element of Uo is an integer
// (the unimodular transform is built from integer column operations).
#include <cmath>

#include "fuzz/fuzz_input.h"
#include "gateways/gateways.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz_call call = fuzz_decode(data, size, {3, 3});
    const th_result r = th_call(quorvin_gateway, call.nlhs, call.inputs());
    fuzz_check_result(r, call, true, true, 3);
    if (r.failed) return 0;
    FUZZ_CHECK(call.args.size() == 3 && call.nlhs == 3);
    const host_array* Q = call.args[0].get();
    const host_array* R = call.args[1].get();
    const std::size_t m = Q->rows;
    const std::size_t n = Q->cols;
    FUZZ_CHECK(m >= n && R->rows == n && R->cols == n);
    FUZZ_CHECK(fuzz_shape(r.outputs[0], m, n));
    FUZZ_CHECK(fuzz_shape(r.outputs[1], n, n));
    FUZZ_CHECK(fuzz_shape(r.outputs[2], n, n));
    const double* U = th_values(r.outputs[2]);
    for (std::size_t k = 0; k < n * n; ++k)
        FUZZ_CHECK(!std::isfinite(U[k]) || U[k] == std::trunc(U[k]));
    return 0;
}
