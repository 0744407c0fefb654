// SPDX-License-Identifier: BSD-3-Clause
// Where the time of a batch call goes, and what two threads give on plain arithmetic:
//   [t, out...] = batch_profile(name, <the inputs of name>)
//     calls the batch gateway `name` (for example 'zarrow_batch', as character codes in a
//     double row) built into this file; t = [seconds in the gateway, seconds in its
//     parallel parts], out its outputs. The caller times the whole call around it.
//   t = batch_profile('arithmetic', iterations, threads)
//     a plain compute loop: `iterations` steps of a dependent multiply-add chain shared out
//     among `threads` new std::threads (threads started and joined inside the timing), as a
//     reference for what two threads can give on this machine; t = seconds.
// A benchmark tool: it trusts its inputs.
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "gateways/batch.h"
#include "gateways/gateways.h"
#include "host/host.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct named_gateway {
    const char* name;
    gateway_fn* gateway;
};

const named_gateway gateways[] = {
    {"zarrow_batch", zarrow_batch_gateway},   {"tessaly_batch", tessaly_batch_gateway},
    {"plinden_batch", plinden_batch_gateway}, {"quorvin_batch", quorvin_batch_gateway},
    {"morrit_batch", morrit_batch_gateway},   {"kelvane_batch", kelvane_batch_gateway},
};

// iterations of x = x * a + b (no two iterations overlap: a chain) from x = *out, into *out.
void chain(std::size_t iterations, double* out) {
    double x = *out;
    const double a = 0.999999, b = 1e-6 * x;
    for (std::size_t i = 0; i < iterations; ++i) x = x * a + b;
    *out = x;
}

}  // namespace

void batch_profile(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs < 1 || nlhs < 1) host_error("USAGE: [t,out...]=batch_profile(name,...)\n");
    char name[32] = {0};
    const double* text = host_data(prhs[0]);
    for (std::size_t i = 0; i < host_cols(prhs[0]) && i + 1 < sizeof name; ++i) {
        name[i] = static_cast<char>(text[i]);
    }
    if (std::strcmp(name, "arithmetic") == 0) {
        const auto iterations = static_cast<std::size_t>(host_data(prhs[1])[0]);
        const auto threads = static_cast<std::size_t>(host_data(prhs[2])[0]);
        std::vector<double> results(threads * 8, 1.5);  // a cache line each
        const auto t0 = clock_type::now();
        std::vector<std::thread> started;
        for (std::size_t t = 1; t < threads; ++t) {
            started.emplace_back(chain, iterations / threads, &results[t * 8]);
        }
        chain(iterations / threads, &results[0]);
        for (std::thread& t : started) t.join();
        plhs[0] = host_create_matrix(1, 1);
        host_data(plhs[0])[0] = std::chrono::duration<double>(clock_type::now() - t0).count();
        if (results[0] == 0.0) host_error("the chain vanished\n");  // keeps the loop alive
        return;
    }
    for (const named_gateway& g : gateways) {
        if (std::strcmp(name, g.name) != 0) continue;
        const double parallel0 = batch_parallel_seconds();
        const auto t0 = clock_type::now();
        g.gateway(nlhs - 1, plhs + 1, nrhs - 1, prhs + 1);
        const double seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
        plhs[0] = host_create_matrix(1, 2);
        host_data(plhs[0])[0] = seconds;
        host_data(plhs[0])[1] = batch_parallel_seconds() - parallel0;
        return;
    }
    host_error("unknown function name\n");
}
