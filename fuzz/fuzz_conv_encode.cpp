// SPDX-License-Identifier: BSD-3-Clause
// C=conv_encode(U,code,'terminate',tf) on any U and a code struct valid or edited (see
// fuzz/fuzz_conv.h). A call with an edited or invalid struct fails; on success C has
// n*(k+K-1) (terminated) or n*k rows and each column is the polynomial convolution of U's.
#include <cmath>

#include "fuzz/fuzz_conv.h"
#include "gateways/gateways.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz_conv_code c = fuzz_code_of(data, size);
    const std::size_t skip = size < 8 ? size : 8;
    const fuzz_call call = fuzz_decode(data + skip, size - skip, {1, 1});
    std::vector<const host_array*> in = call.inputs();
    if (in.empty()) return 0;
    in.insert(in.begin() + 1, c.code.get());
    const bool terminate = (c.options & 1u) != 0;
    const th_array name = th_string("terminate"), flag = th_scalar(terminate ? 1.0 : 0.0);
    if (c.options & 16u) {
        in.push_back(name.get());
        in.push_back(flag.get());
    }
    const th_array bogus = th_string("method");
    if (c.options & 32u) {
        in.push_back(bogus.get());
        in.push_back(flag.get());
    }
    const th_result r = th_call(conv_encode_gateway, 1, in);
    FUZZ_CHECK(!r.failed || fuzz_message_ok(r.message, true));
    FUZZ_CHECK(r.blocks_live == 0);
    if (r.failed) return 0;
    FUZZ_CHECK(c.valid && (c.options & 32u) == 0);
    const host_array* U = in[0];
    FUZZ_CHECK(U->cls == th_class::real_double);
    const bool term = (c.options & 16u) ? terminate : true;
    const std::size_t k = host_rows(U), frames = host_cols(U);
    const double* u = th_values(U);
    for (std::size_t f = 0; f < frames; ++f) {
        std::vector<int> bits(k);
        for (std::size_t i = 0; i < k; ++i) {
            FUZZ_CHECK(u[f * k + i] == 0.0 || u[f * k + i] == 1.0);
            bits[i] = u[f * k + i] != 0.0;
        }
        const std::vector<int> want = reference_encode(c.reference, bits, term);
        FUZZ_CHECK(fuzz_shape(r.outputs[0], want.size(), frames));
        const double* C = th_values(r.outputs[0]) + f * want.size();
        for (std::size_t j = 0; j < want.size(); ++j) FUZZ_CHECK(C[j] == want[j]);
    }
    return 0;
}
