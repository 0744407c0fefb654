// SPDX-License-Identifier: BSD-3-Clause
// S=zarrow_batch(Y,R) on any call, on 1 to 3 threads. On success: S is n-by-K for Y n-by-K
// and R n-by-n-by-P, and each column of S is, bit for bit, what zarrow gives on that column
// of Y and its page of R.
#include "fuzz/fuzz_batch.h"
#include "gateways/gateways.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz_call call = fuzz_decode(data, size, {2, 1, true});
    fuzz_use_threads(call);
    const th_result r = th_call(zarrow_batch_gateway, call.nlhs, call.inputs());
    fuzz_check_result(r, call, true, true, 2);
    if (r.failed) return 0;
    FUZZ_CHECK(call.args.size() == 2 && call.nlhs == 1);
    const fuzz_frame f = fuzz_frame_of(call.args[0].get(), call.args[1].get());
    FUZZ_CHECK(fuzz_shape(r.outputs[0], f.n, f.K));
    for (std::size_t k = 0; k < f.K; ++k) {
        const th_array y = fuzz_column(call.args[0].get(), k);
        const th_array R = fuzz_page(call.args[1].get(), f.page_of(k));
        const th_result single = th_call(zarrow_gateway, 1, {y.get(), R.get()});
        FUZZ_CHECK(!single.failed);
        FUZZ_CHECK(
            fuzz_same_bits(th_values(r.outputs[0]) + k * f.n, th_values(single.outputs[0]), f.n));
    }
    return 0;
}
