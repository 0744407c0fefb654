// SPDX-License-Identifier: BSD-3-Clause
// A MEX file that returns at once: the cost of the call itself.
#include "mex.h"

extern "C" __attribute__((visibility("default"))) void mexFunction(int, mxArray*[], int,
                                                                   const mxArray*[]) {}
