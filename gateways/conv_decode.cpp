// SPDX-License-Identifier: BSD-3-Clause
// [Lu,Lc]=conv_decode(L,code,Name,Value,...): BCJR decoding of a frame of codewords (one per
// column of L), the frames on every core.
#include <cmath>
#include <cstdio>

#include "code/bcjr.h"
#include "gateways/args.h"
#include "gateways/batch.h"
#include "gateways/conv_args.h"
#include "gateways/gateways.h"

namespace {

struct decode_job {
    const conv_trellis* trellis;
    std::size_t k, bits;
    conv_options options;
    const double* L;
    const double* La;  // k-by-F or null
    double* Lu;
    double* Lc;  // null when not asked for
};

bool decode_column(const void* job, std::size_t f, void* scratch, const interrupt_check& check) {
    const auto& j = *static_cast<const decode_job*>(job);
    const conv_frame frame{j.trellis,
                           j.k,
                           j.options.terminate,
                           j.options.method,
                           j.options.extrinsic,
                           j.L + f * j.bits,
                           j.La == nullptr ? nullptr : j.La + f * j.k,
                           j.Lu + f * j.k,
                           j.Lc == nullptr ? nullptr : j.Lc + f * j.bits};
    return conv_decode_frame(frame, static_cast<double*>(scratch), &check);
}

// "<name> column <f+1> must not contain NaN" for the first NaN (+-Inf are allowed).
void require_no_nan(const double* v, std::size_t rows, std::size_t cols, const char* name) {
    char where[48];
    for (std::size_t f = 0; f < cols; ++f) {
        for (std::size_t i = 0; i < rows; ++i) {
            if (std::isnan(v[f * rows + i])) {
                raise_about(column_name(where, name, f),
                            "must not contain NaN (+-Inf: a known bit)");
            }
        }
    }
}

}  // namespace

void conv_decode_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    host_set_error_prefix("latbox:conv_decode");
    if (nrhs < 2 || nlhs > 2 || nrhs % 2 != 0) {
        host_error_about("usage", "USAGE: [Lu,Lc]=conv_decode(L,code,Name,Value,...)\n");
    }
    // check (identifiers latbox:conv_decode:<what>): L:class, code, options, L:length,
    // prior:size, L:nan, prior:nan
    require_real_double(prhs[0], "L");
    if (host_ndims(prhs[0]) != 2) raise_about("L", "must be a matrix (one frame per column)");
    conv_trellis t;
    read_conv_code(prhs[1], &t);
    const conv_options o = read_conv_options("conv_decode", 2, nrhs, prhs);
    const std::size_t bits = host_rows(prhs[0]), frames = host_cols(prhs[0]);
    const std::size_t n = static_cast<std::size_t>(t.n), tail = o.terminate ? t.K - 1 : 0;
    if (bits % n != 0 || bits / n < tail) {
        char text[128];
        std::snprintf(
            text, sizeof text,
            "must have n*(k+%zu) rows for a %s frame of k info bits of this code (n = %zu)", tail,
            o.terminate ? "terminated" : "unterminated", n);
        raise_about("L", text);
    }
    const std::size_t k = bits / n - tail;
    const double* La = nullptr;
    if (o.prior != nullptr && host_rows(o.prior) * host_cols(o.prior) != 0) {
        require_real_double(o.prior, "prior");
        if (host_ndims(o.prior) != 2 || host_rows(o.prior) != k || host_cols(o.prior) != frames) {
            raise_about("prior",
                        "must be k-by-F: one row per info bit, one column per column of L");
        }
        La = host_data(o.prior);
    }
    const std::size_t doubles = conv_decode_scratch(t, k, o.terminate);
    if (doubles == 0)
        raise_about("L", "is too long: the decoder's metrics would not fit in memory");
    require_no_nan(host_data(prhs[0]), bits, frames, "L");
    if (La != nullptr) require_no_nan(La, k, frames, "prior");

    // create, compute
    plhs[0] = host_create_unset(k, frames, 1);
    double* Lc = nullptr;
    if (nlhs >= 2) {
        plhs[1] = host_create_unset(bits, frames, 1);
        Lc = host_data(plhs[1]);
    }
    const decode_job job{&t, k, bits, o, host_data(prhs[0]), La, host_data(plhs[0]), Lc};
    const double per_branch = o.method == conv_method::maxlog ? 1.5 : 4.0;
    const double cost = 200.0 + per_branch * 6.0 * static_cast<double>(t.states) *
                                    static_cast<double>(bits / n + 1);
    const bool finished =
        batch_run({batch_each<decode_column>, &job, frames, doubles * sizeof(double), cost});
    if (!finished) host_error_about("interrupted", interrupted_message);
}
