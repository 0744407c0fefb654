// SPDX-License-Identifier: BSD-3-Clause
// C=conv_encode(U,code,'terminate',tf): the codewords of the columns of U (one frame each).
#include <cstdio>

#include "code/trellis.h"
#include "gateways/args.h"
#include "gateways/conv_args.h"
#include "gateways/gateways.h"

void conv_encode_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    host_set_error_prefix("latbox:conv_encode");
    if (nrhs < 2 || nlhs > 1 || nrhs % 2 != 0) {
        host_error_about("usage", "USAGE: C=conv_encode(U,code,'terminate',tf)\n");
    }
    // check: U:class, code, options, U:bits (latbox:conv_encode:<what>)
    require_real_double(prhs[0], "U");
    if (host_ndims(prhs[0]) != 2)
        raise_about("U", "must be a k-by-F matrix (one frame per column)");
    conv_trellis t;
    read_conv_code(prhs[1], &t);
    const conv_options o = read_conv_options("conv_encode", 2, nrhs, prhs);
    const std::size_t k = host_rows(prhs[0]), frames = host_cols(prhs[0]);
    const double* U = host_data(prhs[0]);
    char name[48];
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::size_t i = 0; i < k; ++i) {
            const double b = U[f * k + i];
            if (b != 0.0 && b != 1.0)
                raise_about(conv_column_name(name, "U", f), "must hold only 0 and 1");
        }
    }
    const std::size_t bits = conv_frame_bits(t, k, o.terminate);
    if (bits == 0 && conv_steps(t, k, o.terminate) != 0)
        raise_about("U", "is too long: its codeword has too many bits");
    // create, compute
    plhs[0] = host_create_unset(bits, frames, 1);
    double* C = host_data(plhs[0]);
    for (std::size_t f = 0; f < frames; ++f)
        conv_encode_frame(t, U + f * k, k, o.terminate, C + f * bits);
}
