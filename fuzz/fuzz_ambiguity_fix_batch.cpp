// SPDX-License-Identifier: BSD-3-Clause
// [afix,sqnorm,info]=ambiguity_fix_batch(ahat,Q,'max_nodes',20000) on any ahat and Q, on 1 to
// 3 threads. Each epoch k is checked against ambiguity_fix(ahat(:,k), Q page, 'max_nodes',
// 20000): afix(:,:,k), sqnorm(:,k) and every field of info at k equal the single call's bit
// for bit. A call that fails naming a column or page ("ahat column 3 ...", "Q page 2 ...")
// fails in ambiguity_fix on that column with the same text.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_batch.h"
#include "gateways/gateways.h"

namespace {

const char* const status_texts[] = {"optimal", "z_limit", "node_limit", "out_of_range"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz_call call = fuzz_decode(data, size, {2, 3, true});
    fuzz_use_threads(call);
    const th_array name = th_string("max_nodes"), budget = th_scalar(20000);
    std::vector<const host_array*> in = call.inputs();
    const bool two = in.size() == 2;
    if (two) {
        in.push_back(name.get());
        in.push_back(budget.get());
    }
    const th_result r = th_call(ambiguity_fix_batch_gateway, call.nlhs, in);
    fuzz_check_result(r, call, true, true, two ? 2 : 0);
    if (!two) return 0;
    const fuzz_single single = [&](std::size_t k) {
        const host_array* Q = call.args[1].get();
        const th_array a = fuzz_column(call.args[0].get(), k);
        const th_array q = fuzz_page(Q, host_dim(Q, 2) == 1 ? 0 : k);
        return th_call(ambiguity_fix_gateway, 3, {a.get(), q.get(), name.get(), budget.get()});
    };
    if (r.failed) {
        if (r.message.find(" column ") != std::string::npos ||
            r.message.find(" page ") != std::string::npos) {
            fuzz_check_named_fault(r.message, call, single, {});
        }
        return 0;
    }
    if (call.nlhs < 3) return 0;
    const std::size_t n = call.args[0]->rows, K = call.args[0]->cols;
    FUZZ_CHECK(fuzz_shape_pages(r.outputs[0], n, K, 1) || fuzz_shape_pages(r.outputs[0], n, 2, K));
    const host_array* info = r.outputs[2].get();
    for (std::size_t k = 0; k < K; ++k) {
        const th_result one = single(k);
        FUZZ_CHECK(!one.failed);
        const host_array* i1 = one.outputs[2].get();
        FUZZ_CHECK(
            fuzz_same_bits(th_values(r.outputs[0]) + 2 * n * k, th_values(one.outputs[0]), 2 * n));
        FUZZ_CHECK(fuzz_same_bits(th_values(r.outputs[1]) + 2 * k, th_values(one.outputs[1]), 2));
        for (const char* f : {"ratio", "success_rate", "nfixed", "fixed_success_rate", "nodes"}) {
            FUZZ_CHECK(
                fuzz_same_bits(th_values(th_field(info, f)) + k, th_values(th_field(i1, f)), 1));
        }
        FUZZ_CHECK(fuzz_same_bits(th_values(th_field(info, "D")) + n * k,
                                  th_values(th_field(i1, "D")), n));
        FUZZ_CHECK(fuzz_same_bits(th_values(th_field(info, "Z")) + n * n * k,
                                  th_values(th_field(i1, "Z")), n * n));
        FUZZ_CHECK(th_field(info, "accepted")->bytes[k] == th_field(i1, "accepted")->bytes[0]);
        FUZZ_CHECK(std::memcmp(th_field(info, "fixed")->bytes + n * k, th_field(i1, "fixed")->bytes,
                               n) == 0);
        const double code = th_values(th_field(info, "status"))[k];
        FUZZ_CHECK(code >= 0 && code <= 3 &&
                   th_field(i1, "status")->text == status_texts[static_cast<int>(code)]);
    }
    return 0;
}
