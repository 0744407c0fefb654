// SPDX-License-Identifier: BSD-3-Clause
// [afix,sqnorm,info]=ambiguity_fix(ahat,Q,...) on any ahat and Q, with options chosen by the
// first byte (method, ncands, min_sr, delta, whether a node budget). Without a budget (up to
// n = 12 only) a search that does not end is a timeout of the run: an LLL-reduced R bounds
// the nodes by a function of n alone, so none should come. On success:
//   - afix is n-by-ncands (ils) or n-by-1, sqnorm ncands-by-1 (ils, par) or 1-by-1;
//   - info.Z and info.U-free identities: Z is integer, and z = Z'*afix is integer for the
//     columns of an ils or bootstrap answer (exact: entries below 2^53 and a check in 128 bits
//     is not needed for the small sizes here; the products are summed in long double);
//   - sqnorm is non-decreasing and not negative where found; afix integer where info.fixed;
//   - success_rate = prod erf(1/sqrt(8*D(i))) over i = n..1 bit for bit, in [0, 1];
//   - status is one of the documented texts, and accepted only with optimal or z_limit.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "ambiguity/ambiguity_fix.h"
#include "fuzz/fuzz_input.h"
#include "gateways/gateways.h"

namespace {

const char* const methods[] = {"ils", "bootstrap", "round", "par"};

bool is_integer(double v) {
    return std::isfinite(v) && v == std::floor(v);
}

std::string text_of(const host_array* a) {
    return a != nullptr && a->cls == th_class::char_string ? a->text : std::string();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t sel = data[0];
    fuzz_call call = fuzz_decode(data + 1, size - 1, {2, 3});
    const int method = sel & 3;
    const double ncands = 1.0 + ((sel >> 2) & 3);
    std::vector<th_array> options;
    options.push_back(th_string("method"));
    options.push_back(th_string(methods[method]));
    options.push_back(th_string("ncands"));
    options.push_back(th_scalar(ncands));
    const bool small = call.args.size() >= 1 && call.args[0]->rows <= 12;
    if (!(sel & 0x40) || !small) {
        options.push_back(th_string("max_nodes"));
        options.push_back(th_scalar(20000));
    }
    if (sel & 0x10) {
        options.push_back(th_string("min_sr"));
        options.push_back(th_scalar(0.9));
    }
    if (sel & 0x20) {
        options.push_back(th_string("delta"));
        options.push_back(th_scalar(1.0));
    }
    std::vector<const host_array*> in = call.inputs();
    if (in.size() == 2) {
        for (const th_array& o : options) in.push_back(o.get());
    }
    const th_result r = th_call(ambiguity_fix_gateway, call.nlhs, in);
    fuzz_call checked;
    checked.nlhs = call.nlhs;
    fuzz_check_result(r, call, true, true, in.size() == 2 ? 2 : 0);
    if (r.failed || call.nlhs < 3 || in.size() == 2) return 0;
    const std::size_t n = call.args[0]->rows;
    const bool ils = method == 0, listed = method == 0 || method == 3;
    const std::size_t A = ils ? static_cast<std::size_t>(ncands) : 1;
    const std::size_t S = listed ? static_cast<std::size_t>(ncands) : 1;
    FUZZ_CHECK(fuzz_shape(r.outputs[0], n, A));
    FUZZ_CHECK(fuzz_shape(r.outputs[1], S, 1));
    const host_array* info = r.outputs[2].get();
    const std::string status = text_of(th_field(info, "status"));
    FUZZ_CHECK(status == "optimal" || status == "z_limit" || status == "node_limit" ||
               status == "out_of_range");
    const double* afix = th_values(r.outputs[0]);
    const double* sq = th_values(r.outputs[1]);
    const double* Z = th_values(th_field(info, "Z"));
    const double* D = th_values(th_field(info, "D"));
    const host_array* fixed = th_field(info, "fixed");
    FUZZ_CHECK(fixed->cls == th_class::logical && fixed->rows == n);
    for (std::size_t i = 0; i < n * n; ++i) FUZZ_CHECK(is_integer(Z[i]));
    FUZZ_CHECK(th_values(th_field(info, "success_rate"))[0] == bootstrap_success_rate(D, 0, n));
    const double sr = th_values(th_field(info, "success_rate"))[0];
    FUZZ_CHECK(sr >= 0.0 && sr <= 1.0);
    const bool accepted = th_field(info, "accepted")->bytes[0] != 0;
    if (accepted) FUZZ_CHECK(status == "optimal" || status == "z_limit");
    if (status == "out_of_range") return 0;
    for (std::size_t c = 1; c < S; ++c) {
        if (!std::isnan(sq[c])) FUZZ_CHECK(sq[c] >= sq[c - 1]);
    }
    for (std::size_t c = 0; c < S; ++c) FUZZ_CHECK(std::isnan(sq[c]) || sq[c] >= 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (fixed->bytes[i] != 0 && method != 3)
            FUZZ_CHECK(is_integer(afix[i]) || std::fabs(afix[i]) >= 4503599627370496.0);
    }
    return 0;
}
