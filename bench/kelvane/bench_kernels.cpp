// SPDX-License-Identifier: BSD-3-Clause
// The solver's two kernel sets side by side (blas64.h): the BLAS/LAPACK library and the
// plain loops. For each size, the time per solve (bvls_solve with its check, cold and warm)
// of each set and of the default choice, and whether both sets give the same exit, the
// same pass count and x within 1e-10 relative on the benchmark's families; every case
// where they differ is listed with what differs. Prints figures only.
//   bench_kernels [problems per family and size for the comparison, default 200]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "box/blas64.h"
#include "box/bound_classification.h"
#include "box/bvls.h"
#include "tests/box_problems.h"

namespace {

using box_test::problem;
using box_test::vec;

struct scratch {
    std::vector<std::int64_t> slot;
    vec dual, columns, z, work, G;
    explicit scratch(std::int64_t n)
        : slot(n + 2), dual(n), columns(n * (n + 2)), z(n), work(2 * n), G(n * n) {}
    bvls_scratch blocks() {
        return {slot.data(), dual.data(), columns.data(), z.data(), work.data(), G.data()};
    }
};

struct answer {
    bvls_result result;
    vec x;
};

answer solve(const problem& p, const double* start, kernel_set set, scratch& s) {
    answer a{{}, vec(p.n)};
    a.result =
        bvls_solve(p.n, p.R.data(), p.y.data(), p.u, start, a.x.data(), s.blocks(), nullptr, set);
    return a;
}

double relative_difference(const vec& a, const vec& b) {
    double d = 0.0, s = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        d = std::max(d, std::fabs(a[i] - b[i]));
        s = std::max(s, std::fabs(b[i]));
    }
    return s > 0.0 ? d / s : d;
}

const char* exit_name(bvls_exit e) {
    switch (e) {
        case bvls_exit::converged:
            return "converged";
        case bvls_exit::optimal:
            return "optimal";
        case bvls_exit::all_free:
            return "all_free";
        case bvls_exit::iteration_cap:
            return "iteration_cap";
        case bvls_exit::breakdown:
            return "breakdown";
        default:
            return "failure";
    }
}

// Seconds per solve: best of 7 batches of about 20 ms each.
template <class F>
double per_call(F f) {
    int reps = 1;
    for (;;) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < reps; ++r) f();
        const double el =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (el > 0.02) break;
        reps *= 2;
    }
    double best = 1e300;
    for (int b = 0; b < 7; ++b) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < reps; ++r) f();
        best = std::min(
            best,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / reps);
    }
    return best;
}

const double family_cond[] = {1.0, 1e6, 1e8};
const char* family_name[] = {"well", "ill", "extreme"};

void timing_table() {
    std::printf(
        "Time per solve (bvls_solve with its check; us, best of 7), library BLAS/LAPACK "
        "against the plain loops;\nthe default takes the plain loops up to n = %ld. Instance "
        "1 of each family; warm from the index set of the cold answer.\n",
        static_cast<long>(plain_kernels_up_to));
    std::printf("%-8s %4s %6s | %10s %10s %7s | %10s %10s %7s\n", "family", "n", "passes",
                "cold BLAS", "cold plain", "ratio", "warm BLAS", "warm plain", "ratio");
    for (int f = 0; f < 3; ++f) {
        for (std::int64_t n : {4, 8, 16, 24, 32, 48, 64, 96, 128, 256, 512}) {
            if (f > 0 && n != 8 && n != 32 && n != 128 && n != 512) continue;
            const problem p = box_test::make_problem(n, family_cond[f], 1000 + n);
            scratch s(n);
            const answer cold = solve(p, nullptr, kernel_set::library, s);
            vec start(n + 2, 0.0);
            classify_bounds(cold.x.data(), n, p.u, start.data());
            vec x(n);
            volatile double sink = 0.0;
            double t[2][2];
            for (int warm = 0; warm < 2; ++warm) {
                for (int plain = 0; plain < 2; ++plain) {
                    const kernel_set set = plain ? kernel_set::plain : kernel_set::library;
                    const double* st = warm ? start.data() : nullptr;
                    t[warm][plain] = per_call([&] {
                        sink = bvls_solve(n, p.R.data(), p.y.data(), p.u, st, x.data(), s.blocks(),
                                          nullptr, set)
                                   .check.decrease;
                    });
                }
            }
            std::printf("%-8s %4ld %6ld | %10.2f %10.2f %6.2fx | %10.2f %10.2f %6.2fx\n",
                        family_name[f], static_cast<long>(n), static_cast<long>(cold.result.iter),
                        1e6 * t[0][0], 1e6 * t[0][1], t[0][0] / t[0][1], 1e6 * t[1][0],
                        1e6 * t[1][1], t[1][0] / t[1][1]);
            std::fflush(stdout);
        }
    }
}

void agreement_table(int problems) {
    std::printf(
        "\nThe two sets on the same problems (%d per family and size up to n = 64, fewer "
        "above; cold, then warm\nfrom the cold answer's index set): same exit, same passes, "
        "largest relative difference of x\n",
        problems);
    int differing = 0;
    for (int f = 0; f < 3; ++f) {
        for (std::int64_t n : {1, 2, 3, 5, 8, 12, 16, 24, 32, 48, 64, 128}) {
            const int count = n <= 64 ? problems : std::max(1, problems / 20);
            scratch s(n);
            int same_exit = 0, same_iter = 0, solved = 0;
            double worst = 0.0;
            for (int seed = 0; seed < count; ++seed) {
                const problem p =
                    box_test::make_problem(n, family_cond[f], 7919u * seed + 13u * n + f);
                vec start(n + 2, 0.0);
                for (int warm = 0; warm < 2; ++warm) {
                    const double* st = warm ? start.data() : nullptr;
                    const answer a = solve(p, st, kernel_set::library, s);
                    const answer b = solve(p, st, kernel_set::plain, s);
                    if (!warm) classify_bounds(a.x.data(), n, p.u, start.data());
                    ++solved;
                    same_exit += a.result.exit == b.result.exit;
                    same_iter += a.result.iter == b.result.iter;
                    const double d = relative_difference(b.x, a.x);
                    worst = std::max(worst, d);
                    if (a.result.exit != b.result.exit || a.result.iter != b.result.iter ||
                        !(d <= 1e-10)) {
                        ++differing;
                        std::printf(
                            "  differs: %s n=%ld seed %d %s: BLAS %s after %ld passes, plain %s "
                            "after %ld, x differs by %.1e; condition number %.1e\n",
                            family_name[f], static_cast<long>(n), seed, warm ? "warm" : "cold",
                            exit_name(a.result.exit), static_cast<long>(a.result.iter),
                            exit_name(b.result.exit), static_cast<long>(b.result.iter), d,
                            box_test::condition(p));
                    }
                }
            }
            std::printf(
                "  %-8s n %4ld: %5d solves, same exit %5d, same passes %5d, largest x "
                "difference %.1e\n",
                family_name[f], static_cast<long>(n), solved, same_exit, same_iter, worst);
            std::fflush(stdout);
        }
    }
    std::printf("solves where the two sets differ (exit, passes or x beyond 1e-10): %d\n",
                differing);
}

}  // namespace

int main(int argc, char** argv) {
    if (!blas64_in_use()) {
        std::printf("not a 64-bit-integer BLAS\n");
        return 1;
    }
    const int problems = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    timing_table();
    agreement_table(problems);
    return 0;
}
