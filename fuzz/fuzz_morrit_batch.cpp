// SPDX-License-Identifier: BSD-3-Clause
// I=morrit_batch(X,bound) on any call, on 1 to 3 threads. On success: X is a matrix, I is
// (n+2)-by-K for X n-by-K, and each column of I is, bit for bit, what morrit gives on that
// column of X.
#include "fuzz/fuzz_batch.h"
#include "gateways/gateways.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz_call call = fuzz_decode(data, size, {2, 1, true});
    fuzz_use_threads(call);
    const th_result r = th_call(morrit_batch_gateway, call.nlhs, call.inputs());
    fuzz_check_result(r, call, true, true, 2);
    if (r.failed) return 0;
    FUZZ_CHECK(call.args.size() >= 2 && call.nlhs <= 1);
    const host_array* X = call.args[0].get();
    FUZZ_CHECK(!X->paged);
    const std::size_t n = X->rows;
    FUZZ_CHECK(fuzz_shape(r.outputs[0], n + 2, X->cols));
    for (std::size_t k = 0; k < X->cols; ++k) {
        const th_array x = fuzz_column(X, k);
        const th_result single = th_call(morrit_gateway, 1, {x.get(), call.args[1].get()});
        FUZZ_CHECK(!single.failed);
        FUZZ_CHECK(fuzz_same_bits(th_values(r.outputs[0]) + k * (n + 2),
                                  th_values(single.outputs[0]), n + 2));
    }
    return 0;
}
