// SPDX-License-Identifier: BSD-3-Clause
// [S,info]=plinden_batch(Y,R,radius,lb,ub) on any call, on 1 to 3 threads. Each column k
// is checked against plinden(Y(:,k), R page, radius(k), lb, ub):
//   - info(k) 1 or -1: S(:,k) and info(k) are plinden's, bit for bit;
//   - info(k) 0: plinden failed because the search would need integers beyond 2^51, and
//     S(:,k) is NaN.
// S is n-by-K and info 1-by-K. A call that fails naming a column or page ("Y column 3 ...")
// fails in plinden on that column with the same text. A call whose searches are too long
// runs cut to the last rows of every column and page (see fuzz_search_cap.h).
#include <string>
#include <vector>

#include "fuzz/fuzz_batch.h"
#include "fuzz/fuzz_search_cap.h"
#include "gateways/gateways.h"

namespace {

const char* const too_large = "y is too large for R: the search would need integers beyond 2^51\n";

// The frame of a call that reaches the searches, or K = 0 pages = 0 when it does not.
fuzz_frame searched_frame(const fuzz_call& call) {
    const fuzz_frame none{0, 0, 0};
    if (call.args.size() != 5 || call.nlhs != 2) return none;
    for (const th_array& a : call.args) {
        if (a->cls != th_class::real_double || a->rows * a->cols == 0) return none;
    }
    const host_array* Y = call.args[0].get();
    const host_array* R = call.args[1].get();
    const std::size_t n = host_dim(R, 0), P = host_dim(R, 2), K = Y->cols;
    if (Y->paged || host_dim(R, 1) != n || Y->rows != n || P == 0 || K % P != 0) return none;
    const host_array* radius = call.args[2].get();
    const std::size_t count = radius->rows * radius->cols;
    if (count != 1 && (count != K || radius->paged || (radius->rows != 1 && radius->cols != 1))) {
        return none;
    }
    return {n, K, P};
}

// Column k's search.
fuzz_search search_of(const fuzz_call& call, const fuzz_frame& f, std::size_t k) {
    const host_array* radius = call.args[2].get();
    return {th_values(call.args[0]) + k * f.n,
            th_values(call.args[1]) + f.page_of(k) * f.n * f.n,
            f.n,
            th_values(call.args[2])[radius->rows * radius->cols == 1 ? 0 : k],
            th_values(call.args[3])[0],
            th_values(call.args[4])[0]};
}

// fuzz_run_as_is, or the size to cut every column and page to.
long cut_size(const fuzz_call& call) {
    const fuzz_frame f = searched_frame(call);
    if (f.P == 0 || f.K == 0) return fuzz_run_as_is;
    std::vector<fuzz_search> searches;
    for (std::size_t k = 0; k < f.K; ++k) {
        searches.push_back(search_of(call, f, k));
        if (!fuzz_searchable(searches.back())) return fuzz_run_as_is;
    }
    return fuzz_cut_size(searches, f.n);
}

// The call with Y cut to its last m rows and every page of R to its last m rows and columns.
fuzz_call cut_call(fuzz_call call, std::size_t m) {
    const fuzz_frame f = searched_frame(call);
    std::vector<double> Y, R;
    for (std::size_t k = 0; k < f.K; ++k) {
        const double* y = th_values(call.args[0]) + k * f.n;
        Y.insert(Y.end(), y + (f.n - m), y + f.n);
    }
    for (std::size_t p = 0; p < f.P; ++p) {
        const std::vector<double> page =
            fuzz_cut_square(th_values(call.args[1]) + p * f.n * f.n, f.n, m);
        R.insert(R.end(), page.begin(), page.end());
    }
    call.args[0] = th_matrix(m, f.K, Y);
    call.args[1] = th_pages(m, m, f.P, R);
    return call;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_call call = fuzz_decode(data, size, {5, 2, true});
    const long m = cut_size(call);
    if (m == 0) return 0;
    if (m > 0) call = cut_call(std::move(call), static_cast<std::size_t>(m));
    fuzz_use_threads(call);
    const th_result r = th_call(plinden_batch_gateway, call.nlhs, call.inputs());
    fuzz_check_result(r, call, true, true, 5);
    const fuzz_single single = [&call](std::size_t k) {
        const fuzz_frame f = fuzz_frame_of(call.args[0].get(), call.args[1].get());
        const th_array y = fuzz_column(call.args[0].get(), k);
        const th_array R = fuzz_page(call.args[1].get(), f.page_of(k));
        const th_array radius = fuzz_column_value(call.args[2].get(), k);
        return th_call(plinden_gateway, 2,
                       {y.get(), R.get(), radius.get(), call.args[3].get(), call.args[4].get()});
    };
    if (r.failed) {
        fuzz_check_named_fault(r.message, call, single, {{"Y", "y"}});
        return 0;
    }
    FUZZ_CHECK(call.args.size() == 5 && call.nlhs == 2);
    const fuzz_frame f = fuzz_frame_of(call.args[0].get(), call.args[1].get());
    FUZZ_CHECK(fuzz_shape(r.outputs[0], f.n, f.K));
    FUZZ_CHECK(fuzz_shape(r.outputs[1], 1, f.K));
    for (std::size_t k = 0; k < f.K; ++k) {
        const th_result one = single(k);
        const double* s = th_values(r.outputs[0]) + k * f.n;
        const double info = th_values(r.outputs[1])[k];
        if (one.failed) {
            FUZZ_CHECK(one.message == too_large);
            FUZZ_CHECK(info == 0.0 && fuzz_all_nan(s, f.n));
            continue;
        }
        FUZZ_CHECK(fuzz_same_bits(s, th_values(one.outputs[0]), f.n));
        FUZZ_CHECK(fuzz_same_bits(&info, th_values(one.outputs[1]), 1));
    }
    return 0;
}
