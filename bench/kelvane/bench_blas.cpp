// SPDX-License-Identifier: BSD-3-Clause
// Time per solve of the BVLS iteration (no host, no checks) with whichever BLAS/LAPACK
// this executable was linked to; the build makes one executable per candidate library
// so that they can be compared side by side. Prints figures only.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "box/blas64.h"
#include "tests/box_problems.h"

int main(int argc, char** argv) {
    const char* label = argc > 1 ? argv[1] : "blas";
    if (!blas64_in_use()) {
        std::printf("%s: not a 64-bit-integer BLAS\n", label);
        return 1;
    }
    for (std::int64_t n : {8, 32, 128, 512}) {
        for (double cond : {1.0, 1e6}) {
            const box_test::problem p = box_test::make_problem(n, cond, 1000 + n);
            int reps = 0;
            double seconds = 0.0;
            box_test::run r{};
            const auto start = std::chrono::steady_clock::now();
            do {
                r = box_test::solve(p);
                ++reps;
                seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            } while (seconds < 0.3 || reps < 3);
            std::printf("%-18s n=%4ld cond=%-6g passes=%4ld  %10.1f us/solve\n", label,
                        static_cast<long>(n), cond, static_cast<long>(r.result.iter),
                        1e6 * seconds / reps);
        }
    }
    return 0;
}
