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
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "box/blas64.h"
#include "box/bound_classification.h"
#include "box/bvls.h"
#include "tests/box_problems.h"

namespace {

using box_test::exit_name;
using box_test::problem;
using box_test::vec;
using scratch = box_test::solver_scratch;

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
        for (std::int64_t n : {4, 8, 16, 24, 32, 48, 64, 96, 128, 160, 192, 256, 512}) {
            if (f > 0 && n != 8 && n != 32 && n != 128 && n != 192 && n != 512) continue;
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

// K solves on one thread and split over two, with each set: the library's calls contend
// for its internal lock, the plain loops share nothing.
void threads_table() {
    std::printf(
        "\nK cold solves on 1 thread and on 2 (each half of them; us per solve, best of 5), "
        "for each set;\ncpu = processor time of 2 threads over 1 (1.00: nothing lost to "
        "contention, whatever else runs on the machine)\n");
    std::printf("%4s %6s | %10s %10s %7s %6s | %10s %10s %7s %6s\n", "n", "K", "BLAS 1", "BLAS 2",
                "speed-up", "cpu", "plain 1", "plain 2", "speed-up", "cpu");
    for (std::int64_t n : {8, 16, 32, 64, 128}) {
        const int K = n <= 8 ? 20000 : n <= 32 ? 2000 : n <= 64 ? 400 : 100;
        std::vector<problem> problems;
        for (int k = 0; k < 16; ++k) problems.push_back(box_test::make_problem(n, 1.0, 50 + k));
        double t[2][2], cpu[2][2];
        for (int plain = 0; plain < 2; ++plain) {
            const kernel_set set = plain ? kernel_set::plain : kernel_set::library;
            for (int threads = 1; threads <= 2; ++threads) {
                double best = 1e300, best_cpu = 1e300;
                for (int round = 0; round < 5; ++round) {
                    auto work = [&](int first, int step) {
                        scratch s(n);
                        vec x(n);
                        for (int k = first; k < K; k += step) {
                            const problem& p = problems[k % 16];
                            bvls_solve(n, p.R.data(), p.y.data(), p.u, nullptr, x.data(),
                                       s.blocks(), nullptr, set);
                        }
                    };
                    const std::clock_t c0 = std::clock();
                    const auto t0 = std::chrono::steady_clock::now();
                    if (threads == 1) {
                        work(0, 1);
                    } else {
                        std::thread other(work, 1, 2);
                        work(0, 2);
                        other.join();
                    }
                    best = std::min(
                        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
                                  .count());
                    best_cpu =
                        std::min(best_cpu, static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC);
                }
                t[plain][threads - 1] = best / K;
                cpu[plain][threads - 1] = best_cpu / K;
            }
        }
        std::printf("%4ld %6d | %10.2f %10.2f %6.2fx %6.2f | %10.2f %10.2f %6.2fx %6.2f\n",
                    static_cast<long>(n), K, 1e6 * t[0][0], 1e6 * t[0][1], t[0][0] / t[0][1],
                    cpu[0][1] / cpu[0][0], 1e6 * t[1][0], 1e6 * t[1][1], t[1][0] / t[1][1],
                    cpu[1][1] / cpu[1][0]);
        std::fflush(stdout);
    }
}

void agreement_table(int problems, bool verbose) {
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
            int same_exit = 0, same_iter = 0, solved = 0, cell_differing = 0, explained = 0;
            int within_bound = 0, plain_better = 0;
            double worst = 0.0, worst_gap = 0.0, largest_moved = 0.0;
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
                        // the cause: how far the library path itself moves x when every
                        // entry of y moves by one unit in the last place
                        problem q = p;
                        for (double& v : q.y) v = std::nextafter(v, 2.0 * v);
                        const answer c = solve(q, st, kernel_set::library, s);
                        const double moved = relative_difference(c.x, a.x);
                        largest_moved = std::max(largest_moved, moved);
                        const double yy = static_cast<double>(box_test::objective(p, vec(n, 0.0)));
                        const double gap = static_cast<double>(box_test::objective(p, b.x) -
                                                               box_test::objective(p, a.x)) /
                                           yy;
                        if (verbose) {
                            std::printf(
                                "  differs: %s n=%ld seed %d %s, cond %.0e: BLAS %s after %ld "
                                "passes, plain %s after %ld; x differs by %.1e, BLAS on y moved "
                                "by one ulp by %.1e; objective plain - BLAS %+.1e of ||y||^2\n",
                                family_name[f], static_cast<long>(n), seed, warm ? "warm" : "cold",
                                box_test::condition(p), exit_name(a.result.exit),
                                static_cast<long>(a.result.iter), exit_name(b.result.exit),
                                static_cast<long>(b.result.iter), d, moved, gap);
                        }
                        worst_gap = std::max(worst_gap, std::fabs(gap));
                        ++cell_differing;
                        if (moved > 1e-10) ++explained;
                        // the forward error the solve through the inverse Gram matrix can
                        // have: n eps cond^2
                        const double cond = box_test::condition(p);
                        if (d <= static_cast<double>(n) * 2.2e-16 * cond * cond) ++within_bound;
                        if (gap < 0.0) ++plain_better;
                    }
                }
            }
            std::printf(
                "  %-8s n %4ld: %5d solves, same exit %5d, same passes %5d, largest x "
                "difference %.1e",
                family_name[f], static_cast<long>(n), solved, same_exit, same_iter, worst);
            if (cell_differing > 0) {
                std::printf(
                    "\n      %d differ: all but %d within n eps cond(R)^2 of x; %d where a "
                    "one-ulp change of y moves the library's x by more than 1e-10 too (up to "
                    "%.1e); plain objective lower in %d; largest objective difference %.1e of "
                    "||y||^2",
                    cell_differing, cell_differing - within_bound, explained, largest_moved,
                    plain_better, worst_gap);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    std::printf(
        "solves where the two sets differ (exit, passes or x beyond 1e-10): %d (every one "
        "listed with bench_kernels N --list)\n",
        differing);
}

}  // namespace

int main(int argc, char** argv) {
    if (!blas64_in_use()) {
        std::printf("not a 64-bit-integer BLAS\n");
        return 1;
    }
    const int problems = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const bool verbose = argc > 2 && std::string(argv[2]) == "--list";
    timing_table();
    threads_table();
    agreement_table(problems, verbose);
    return 0;
}
