// SPDX-License-Identifier: BSD-3-Clause
// [X,iterations,status]=kelvane_batch(Y,R,u,index_sets,use_start) on any call, on 1 to 3
// threads. Each column k is checked against kelvane(Y(:,k), R page, u, its index set,
// use_start(k)) with every output:
//   - status 1 or -1: X(:,k), iterations(k) and status(k) are kelvane's, bit for bit;
//   - status -2: kelvane failed with one of the solver's messages for a free-set Gram
//     matrix that cannot be formed or breaks down, X(:,k) is NaN and iterations(k) 0.
// Exactly the requested outputs exist: X n-by-K, iterations and status 1-by-K. A call that
// fails naming a column or page ("Y column 3 ...") fails in kelvane on that column with
// the same text.
#include <string>

#include "box/bvls.h"
#include "fuzz/fuzz_batch.h"
#include "gateways/gateways.h"

namespace {

const fuzz_names single_names = {{"Y", "y"}, {"index_sets", "index_set"}};

// True when kelvane's message is the solver's for a column the batch form marks with -2.
bool gram_failure(const std::string& message) {
    for (bvls_exit e : {bvls_exit::too_many_free, bvls_exit::chol_failed, bvls_exit::inverse_failed,
                        bvls_exit::breakdown}) {
        if (message == bvls_exit_message(e)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz_call call = fuzz_decode(data, size, {5, 3, true});
    fuzz_use_threads(call);
    const th_result r = th_call(kelvane_batch_gateway, call.nlhs, call.inputs());
    // kelvane's own message for a negative count in a warm start has no newline
    fuzz_check_result(r, call, false, true, 5);
    const fuzz_single single = [&call](std::size_t k) {
        const host_array* Y = call.args[0].get();
        const host_array* starts = call.args[3].get();
        const fuzz_frame f = fuzz_frame_of(Y, call.args[1].get());
        const bool per_column = starts->cols == f.K && f.K != 1;
        const th_array y = fuzz_column(Y, k);
        const th_array R = fuzz_page(call.args[1].get(), f.page_of(k));
        const th_array start = fuzz_column(starts, per_column ? k : 0);
        const th_array use = fuzz_column_value(call.args[4].get(), k);
        return th_call(kelvane_gateway, 4,
                       {y.get(), R.get(), call.args[2].get(), start.get(), use.get()});
    };
    if (r.failed) {
        fuzz_check_named_fault(r.message, call, single, single_names);
        return 0;
    }
    FUZZ_CHECK(call.args.size() == 5 && call.nlhs <= 3);
    const fuzz_frame f = fuzz_frame_of(call.args[0].get(), call.args[1].get());
    const std::size_t outputs = r.outputs.size();
    FUZZ_CHECK(fuzz_shape(r.outputs[0], f.n, f.K));
    for (std::size_t o = 1; o < outputs; ++o) FUZZ_CHECK(fuzz_shape(r.outputs[o], 1, f.K));
    for (std::size_t k = 0; k < f.K; ++k) {
        const th_result one = single(k);
        const double* x = th_values(r.outputs[0]) + k * f.n;
        const double iterations = outputs >= 2 ? th_values(r.outputs[1])[k] : 0.0;
        const double status = outputs >= 3 ? th_values(r.outputs[2])[k] : 0.0;
        if (one.failed) {
            FUZZ_CHECK(gram_failure(one.message));
            FUZZ_CHECK(fuzz_all_nan(x, f.n) && iterations == 0.0);
            FUZZ_CHECK(outputs < 3 || status == -2.0);
            continue;
        }
        FUZZ_CHECK(fuzz_same_bits(x, th_values(one.outputs[0]), f.n));
        if (outputs >= 2) FUZZ_CHECK(fuzz_same_bits(&iterations, th_values(one.outputs[2]), 1));
        if (outputs >= 3) FUZZ_CHECK(fuzz_same_bits(&status, th_values(one.outputs[3]), 1));
    }
    return 0;
}
