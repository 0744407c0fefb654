// SPDX-License-Identifier: BSD-3-Clause
// [Qo,Ro,Uo]=quorvin_batch(Q,R,delta) on any call, on 1 to 3 threads. On success: Q is
// m-by-n-by-P with m >= n and R n-by-n-by-P, Qo is m-by-n-by-P, Ro and Uo n-by-n-by-P, and
// each page of the three is, bit for bit, what quorvin gives on that page of Q and R.
#include "fuzz/fuzz_batch.h"
#include "gateways/gateways.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz_call call = fuzz_decode(data, size, {3, 3, true});
    fuzz_use_threads(call);
    const th_result r = th_call(quorvin_batch_gateway, call.nlhs, call.inputs());
    fuzz_check_result(r, call, true, true, 3);
    if (r.failed) return 0;
    FUZZ_CHECK(call.args.size() == 3 && call.nlhs == 3);
    const host_array* Q = call.args[0].get();
    const host_array* R = call.args[1].get();
    const std::size_t m = host_dim(Q, 0), n = host_dim(Q, 1), P = host_dim(Q, 2);
    FUZZ_CHECK(m >= n && host_dim(R, 0) == n && host_dim(R, 1) == n && host_dim(R, 2) == P);
    const std::size_t rows[3] = {m, n, n};  // of Qo, Ro, Uo
    for (int o = 0; o < 3; ++o) FUZZ_CHECK(fuzz_shape_pages(r.outputs[o], rows[o], n, P));
    for (std::size_t p = 0; p < P; ++p) {
        const th_array q = fuzz_page(Q, p);
        const th_array rp = fuzz_page(R, p);
        const th_result single =
            th_call(quorvin_gateway, 3, {q.get(), rp.get(), call.args[2].get()});
        FUZZ_CHECK(!single.failed);
        for (int o = 0; o < 3; ++o) {
            const std::size_t count = rows[o] * n;
            FUZZ_CHECK(fuzz_same_bits(th_values(r.outputs[o]) + p * count,
                                      th_values(single.outputs[o]), count));
        }
    }
    return 0;
}
