// SPDX-License-Identifier: BSD-3-Clause
// The one export of a MEX file. Compiled once per function with LATBOX_GATEWAY set
// to that function's gateway (for example -DLATBOX_GATEWAY=zarrow_gateway).
#include "host/host.h"
#include "mex.h"

#ifndef LATBOX_GATEWAY
#error "define LATBOX_GATEWAY as the gateway this MEX file exports"
#endif

// The gateway is defined in the function's own source file.
gateway_fn LATBOX_GATEWAY;

#if defined(__GNUC__)
#define LATBOX_EXPORT __attribute__((visibility("default")))
#else
#define LATBOX_EXPORT
#endif

extern "C" LATBOX_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs,
                                          const mxArray* prhs[]) {
    host_set_error_prefix(nullptr);
    LATBOX_GATEWAY(nlhs, reinterpret_cast<host_array**>(plhs), nrhs,
                   reinterpret_cast<const host_array**>(prhs));
}
