// SPDX-License-Identifier: BSD-3-Clause
// What a batch call obtains besides its outputs: every batch gateway is called through the
// test host, which records each scratch block it obtains, for two frame sizes and several
// thread counts. The scratch depends on n and the thread count, never on K; the outputs
// are the only part that grows with K. Prints a markdown table.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "gateways/gateways.h"
#include "host/test_host.h"
#include "tests/random_pages.h"

namespace {

using vec = std::vector<double>;

// Y = R*A + noise for K columns with A integer in [0, 3]: near lattice points, so that the
// searches are short.
vec observations(std::mt19937_64& rng, const vec& R, std::size_t n, std::size_t K) {
    std::uniform_int_distribution<int> symbol(0, 3);
    std::normal_distribution<double> noise(0.0, 0.05);
    vec a(n), Y(n * K);
    for (std::size_t k = 0; k < K; ++k) {
        for (double& v : a) v = symbol(rng);
        for (std::size_t i = 0; i < n; ++i) {
            double sum = noise(rng);
            for (std::size_t j = i; j < n; ++j) sum += R[i + j * n] * a[j];
            Y[i + k * n] = sum;
        }
    }
    return Y;
}

struct measured {
    std::size_t scratch = 0;  // elements of every block obtained, summed
    std::size_t blocks = 0;
    std::size_t live = 0;     // blocks not freed when the call ended
    std::size_t outputs = 0;  // doubles in the outputs
    bool failed = false;
};

measured call(const char* function, std::size_t n, std::size_t K, const char* threads) {
    std::mt19937_64 rng(7);
    if (threads[0] == '\0') {
        unsetenv("LATBOX_NUM_THREADS");
    } else {
        setenv("LATBOX_NUM_THREADS", threads, 1);
    }
    const std::string f = function;
    th_result result;
    if (f == "quorvin") {  // K pages of n-by-n
        vec Q(n * n * K, 0.0);
        for (std::size_t p = 0; p < K; ++p)
            for (std::size_t i = 0; i < n; ++i) Q[p * n * n + i + i * n] = 1.0;
        const th_array q = th_pages(n, n, K, Q), r = th_pages(n, n, K, random_pages(rng, n, K));
        const th_array delta = th_scalar(0.75);
        result = th_call(quorvin_batch_gateway, 3, {q.get(), r.get(), delta.get()});
    } else {
        const vec Rv = random_pages(rng, n, 1);
        const th_array R = th_matrix(n, n, Rv), Y = th_matrix(n, K, observations(rng, Rv, n, K));
        const th_array u = th_scalar(3.0), zero = th_scalar(0.0), infinite = th_scalar(1.0 / 0.0);
        const th_array starts = th_matrix(n + 2, 1);
        if (f == "zarrow") result = th_call(zarrow_batch_gateway, 1, {Y.get(), R.get()});
        if (f == "tessaly") result = th_call(tessaly_batch_gateway, 1, {Y.get(), R.get(), u.get()});
        if (f == "morrit") result = th_call(morrit_batch_gateway, 1, {Y.get(), u.get()});
        if (f == "plinden") {
            result = th_call(plinden_batch_gateway, 2,
                             {Y.get(), R.get(), infinite.get(), zero.get(), u.get()});
        }
        if (f == "kelvane") {
            result = th_call(kelvane_batch_gateway, 3,
                             {Y.get(), R.get(), u.get(), starts.get(), zero.get()});
        }
    }
    unsetenv("LATBOX_NUM_THREADS");
    measured m;
    m.failed = result.failed;
    if (m.failed) std::fprintf(stderr, "%s: %s", function, result.message.c_str());
    for (std::size_t s : result.alloc_sizes) m.scratch += s;
    m.blocks = result.alloc_sizes.size();
    m.live = result.blocks_live;
    for (const th_array& o : result.outputs)
        if (o) m.outputs += o->rows * o->cols;
    return m;
}

}  // namespace

int main() {
    const char* functions[] = {"zarrow", "tessaly", "plinden", "kelvane", "morrit", "quorvin"};
    struct setting {
        std::size_t K;
        const char* threads;
    };
    const setting settings[] = {{1000, "1"}, {10000, "1"}, {10000, "2"}, {10000, "4"}, {10000, ""}};
    bool failed = false;
    std::printf(
        "Scratch a batch call obtains (elements of 8 bytes, all blocks of the call summed;\n"
        "blocks in brackets), against its outputs. K columns (quorvin: K pages of n-by-n),\n"
        "one channel; T threads (LATBOX_NUM_THREADS; \"default\": unset, the thread rule).\n\n");
    std::printf(
        "| call | n | outputs at K = 10^4 (doubles) | K = 10^3, T = 1 | K = 10^4, T = 1 |"
        " K = 10^4, T = 2 | K = 10^4, T = 4 | K = 10^4, default | blocks left |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const char* function : functions) {
        for (std::size_t n : {8, 16}) {
            std::string cells;
            std::size_t outputs = 0, live = 0;
            for (const setting& s : settings) {
                const measured m = call(function, n, s.K, s.threads);
                failed = failed || m.failed;
                if (s.K == 10000) outputs = m.outputs;
                live += m.live;
                char cell[64];
                std::snprintf(cell, sizeof cell, " %zu [%zu] |", m.scratch, m.blocks);
                cells += cell;
            }
            std::printf("| %s_batch | %zu | %zu |%s %zu |\n", function, n, outputs, cells.c_str(),
                        live);
        }
    }
    return failed ? 1 : 0;
}
