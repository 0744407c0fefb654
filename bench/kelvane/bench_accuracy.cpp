// SPDX-License-Identifier: BSD-3-Clause
// Accuracy of the BVLS solver against a quadruple-precision reference (tests/box_reference.h),
// and what the optimality check says about each answer; then the cost of the check. Prints
// figures only.
//
// Problems: R the triangle of U diag(s) V' (U, V random orthogonal, s spread from 1 to
// 1/cond), n = 3, 8, 32, cond = 1e2 ... 1e14, and three kinds of right-hand side y = R x0:
//   binds      x0 uniform in [-2, 2], u = 1: about half of the solution at a bound (the
//              kind of the benchmark against qp and SciPy)
//   loose      x0 uniform in [-1e8, 1e8], u = 1e9: the box does not bind
//   near-null  x0 = 1e8 v + uniform in [-1, 1], v the right singular vector of the smallest
//              singular value, u = 1e9: y lies mostly along the direction R nearly annihilates
// each solved cold and warm-started from the index set of the exact solution. For each:
// the relative error of x, the objective gap (f(x) - f*) / f(0) with f = ||y - R x||^2 / 2,
// the calls that fail with an error, the answers the check marks as inaccurate, and the
// answers that miss the minimum by more than the check's tolerance without being marked.
//   bench_accuracy [seeds per cell, default 30]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "box/bound_classification.h"
#include "box/bvls.h"
#include "box/optimality_check.h"
#include "tests/box_problems.h"
#include "tests/box_reference.h"

namespace {

using namespace box_reference;

enum class kind { binds, loose, near_null };
const char* kind_name(kind k) {
    return k == kind::binds ? "binds" : k == kind::loose ? "loose" : "near-null";
}

struct problem {
    std::int64_t n;
    vec R, y;
    double u;
};

// The right singular vector of R's smallest singular value (inverse iteration in quad).
qvec smallest_direction(std::int64_t n, const vec& R) {
    qvec v(n, 1);
    for (int it = 0; it < 8; ++it) {
        for (std::int64_t j = 0; j < n; ++j) {  // R' w = v
            for (std::int64_t i = 0; i < j; ++i) v[j] -= static_cast<quad>(R[i + j * n]) * v[i];
            v[j] /= R[j + j * n];
        }
        for (std::int64_t i = n - 1; i >= 0; --i) {  // R z = w
            for (std::int64_t p = i + 1; p < n; ++p) v[i] -= static_cast<quad>(R[i + p * n]) * v[p];
            v[i] /= R[i + i * n];
        }
        const quad norm = qnorm(v);
        for (quad& e : v) e /= norm;
    }
    return v;
}

problem make(kind k, std::int64_t n, double cond, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    problem p{n, conditioned_triangle(n, cond, gen), vec(n), k == kind::binds ? 1.0 : 1e9};
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    qvec x0(n);
    if (k == kind::near_null) {
        const qvec v = smallest_direction(n, p.R);
        for (std::int64_t j = 0; j < n; ++j) x0[j] = 1e8 * v[j] + unit(gen);
    } else {
        for (quad& e : x0) e = (k == kind::binds ? 2.0 : 1e8) * unit(gen);
    }
    qvec y(n, 0);
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i <= j; ++i) y[i] += static_cast<quad>(p.R[i + j * n]) * x0[j];
    }
    for (std::int64_t i = 0; i < n; ++i) p.y[i] = static_cast<double>(y[i]);
    return p;
}

// The solver's scratch, sized as the gateway sizes it (every variable free).
using scratch = box_test::solver_scratch;

struct answer {
    bvls_result result;
    vec x;
};
answer solve_bvls(const problem& p, const double* start) {
    scratch s(p.n);
    answer a{{}, vec(p.n)};
    a.result = bvls_solve(p.n, p.R.data(), p.y.data(), p.u, start, a.x.data(), s.blocks());
    return a;
}

bool failed(const bvls_result& r) {
    return bvls_exit_message(r.exit)[0] != '\0';
}

// Figures of one cell (kind, n, cond), cold or warm.
struct cell {
    std::vector<double> relerr;
    double gap = 0.0;
    int errors = 0, capped = 0, warned = 0, missed = 0, solved = 0;
};

std::string range(std::vector<double> v) {
    if (v.empty()) return "-";
    std::sort(v.begin(), v.end());
    char text[40];
    std::snprintf(text, sizeof text, "%.1e/%.1e", v[v.size() / 2], v.back());
    return text;
}

void accuracy_table(int seeds) {
    std::printf(
        "Accuracy against a quadruple-precision active-set solve (%d problems per row and "
        "start)\nrelerr = ||x - x*|| / ||x*|| (median/max), gap = max (f(x) - f*) / f(0), "
        "err = calls failing with an error,\nwarned = answers the check marks "
        "inaccurate, missed = gap > %.0e without a warning\n\n",
        seeds, optimality_tolerance);
    std::printf("%-9s %3s %6s | %-17s %8s %4s %6s %6s | %-17s %8s %4s %6s %6s\n", "y", "n", "cond",
                "cold relerr", "gap", "err", "warned", "missed", "warm relerr", "gap", "err",
                "warned", "missed");
    int reference_failures = 0, total_missed = 0, total_bad = 0;
    double largest_unwarned_gap = 0.0;
    for (kind k : {kind::binds, kind::loose, kind::near_null}) {
        for (std::int64_t n : {3, 8, 32}) {
            for (double cond : {1e2, 1e4, 1e6, 1e8, 1e10, 1e12, 1e14}) {
                cell cells[2];
                for (int seed = 0; seed < seeds; ++seed) {
                    const problem p = make(k, n, cond,
                                           1000003u * static_cast<unsigned>(k) + 7919u * seed +
                                               31u * n + static_cast<unsigned>(std::log10(cond)));
                    const solution ref = solve(n, p.R, p.y, p.u);
                    if (!ref.ok) {
                        ++reference_failures;
                        continue;
                    }
                    const quad f_star = objective(n, p.R, p.y, ref.x);
                    const quad f_zero = objective(n, p.R, p.y, qvec(n, 0));
                    vec exact(n), start(n + 2, 0.0);
                    for (std::int64_t j = 0; j < n; ++j) exact[j] = static_cast<double>(ref.x[j]);
                    classify_bounds(exact.data(), n, p.u, start.data());
                    for (int warm = 0; warm < 2; ++warm) {
                        cell& c = cells[warm];
                        const answer a = solve_bvls(p, warm ? start.data() : nullptr);
                        if (failed(a.result)) {
                            ++c.errors;
                            continue;
                        }
                        if (a.result.exit == bvls_exit::iteration_cap) {
                            ++c.capped;
                            continue;
                        }
                        ++c.solved;
                        qvec error(n);
                        for (std::int64_t j = 0; j < n; ++j) error[j] = a.x[j] - ref.x[j];
                        c.relerr.push_back(static_cast<double>(qnorm(error) / qnorm(ref.x)));
                        const double gap = static_cast<double>(
                            (objective(n, p.R, p.y, widen(a.x)) - f_star) / f_zero);
                        c.gap = std::max(c.gap, gap);
                        const bool warned = misses_optimum(a.result.check);
                        c.warned += warned;
                        if (gap > optimality_tolerance) {
                            ++total_bad;
                            if (!warned) ++c.missed, ++total_missed;
                        }
                        if (!warned) largest_unwarned_gap = std::max(largest_unwarned_gap, gap);
                    }
                }
                std::printf("%-9s %3ld %6.0e |", kind_name(k), static_cast<long>(n), cond);
                for (const cell& c : cells) {
                    std::printf(" %-17s %8.1e %4d %6d %6d |", range(c.relerr).c_str(), c.gap,
                                c.errors, c.warned, c.missed);
                }
                std::printf("\n");
                std::fflush(stdout);
            }
        }
    }
    std::printf(
        "\nanswers missing the minimum by more than %.0e of f(0): %d, of which without a "
        "warning: %d\nlargest gap of an answer without a warning: %.1e of f(0)\n",
        optimality_tolerance, total_bad, total_missed, largest_unwarned_gap);
    if (reference_failures > 0) {
        std::printf("(%d problems skipped: the reference did not converge)\n", reference_failures);
    }
}

// The benchmark's kind of problem (y = R x0, x0 in [-2, 2], u = 1) with R from a Gaussian
// matrix or with singular values spread to 1e-6 and 1e-8 (the benchmark's well, ill and
// extreme families), cold and warm-started from the index set of the cold answer: the largest
// gap to the minimum (up to n = 32, where the reference is quick), the answers that miss it by
// more than the tolerance, and the answers the check marks.
problem family_problem(double cond, std::int64_t n, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    problem p{n, vec(), vec(n, 0.0), 1.0};
    if (cond == 1.0) {
        std::normal_distribution<double> normal;
        qvec A(n * n), none;
        for (quad& e : A) e = normal(gen);
        householder(A, n, n, none, 0);
        p.R.assign(n * n, 0.0);
        for (std::int64_t j = 0; j < n; ++j) {
            for (std::int64_t i = 0; i <= j; ++i)
                p.R[i + j * n] = static_cast<double>(A[i + j * n]);
        }
    } else {
        p.R = conditioned_triangle(n, cond, gen);
    }
    std::uniform_real_distribution<double> unit(-2.0, 2.0);
    vec x0(n);
    for (double& e : x0) e = unit(gen);
    for (std::int64_t j = 0; j < n; ++j) {
        for (std::int64_t i = 0; i <= j; ++i) p.y[i] += p.R[i + j * n] * x0[j];
    }
    return p;
}

void families_table(int seeds) {
    std::printf(
        "\nThe benchmark's families (y = R x0, x0 in [-2, 2], u = 1), cold and warm from "
        "the cold answer's index set:\nlargest gap (f(x) - f*) / f(0), answers with a gap "
        "above %.0e, answers marked inaccurate\n",
        optimality_tolerance);
    for (double cond : {1.0, 1e6, 1e8}) {
        for (std::int64_t n : {5, 8, 16, 32, 64}) {
            double largest = 0.0;
            int warned = 0, count = 0, above = 0;
            const bool reference = n <= 32;
            const int problems = n <= 16 ? seeds * 20 : n <= 32 ? seeds : seeds / 3 + 1;
            for (int seed = 0; seed < problems; ++seed) {
                const problem p =
                    family_problem(cond, n, 104729u * seed + 7u * n + static_cast<unsigned>(cond));
                const answer cold = solve_bvls(p, nullptr);
                vec start(n + 2, 0.0);
                classify_bounds(cold.x.data(), n, p.u, start.data());
                const answer warm = solve_bvls(p, start.data());
                solution best{{}, false, 0};
                if (reference) best = solve(n, p.R, p.y, p.u);
                for (const answer* a : {&cold, &warm}) {
                    if (failed(a->result) || a->result.exit == bvls_exit::iteration_cap) continue;
                    ++count;
                    warned += misses_optimum(a->result.check);
                    if (!reference || !best.ok) continue;
                    const double gap = static_cast<double>(
                        (objective(n, p.R, p.y, widen(a->x)) - objective(n, p.R, p.y, best.x)) /
                        objective(n, p.R, p.y, qvec(n, 0)));
                    largest = std::max(largest, gap);
                    above += gap > optimality_tolerance;
                }
            }
            if (reference) {
                std::printf(
                    "  cond %-5.0e n %3ld: %5d answers, largest gap %.1e, above %d, "
                    "warned %d\n",
                    cond, static_cast<long>(n), count, largest, above, warned);
            } else {
                std::printf("  cond %-5.0e n %3ld: %5d answers, (no reference), warned %d\n", cond,
                            static_cast<long>(n), count, warned);
            }
        }
    }
}

// Time of a solve (with its check) and of the check alone, on the benchmark's well-conditioned
// kind of problem.
void cost_table() {
    std::printf(
        "\nCost of the check (the benchmark's well and extreme families; best of 5 "
        "batches)\n");
    for (double cond : {1.0, 1e8}) {
        for (std::int64_t n : {8, 32, 128, 512}) {
            const problem p = family_problem(cond, n, 77 + n);
            const answer a = solve_bvls(p, nullptr);
            vec work(4 * n);
            const int reps = n <= 8 ? 20000 : n <= 32 ? 2000 : n <= 128 ? 100 : 5;
            auto seconds = [](auto f, int count) {
                double best = 1e300;
                for (int batch = 0; batch < 5; ++batch) {
                    const auto t0 = std::chrono::steady_clock::now();
                    for (int r = 0; r < count; ++r) f();
                    best = std::min(
                        best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
                                      .count() /
                                  count);
                }
                return best;
            };
            volatile double sink = 0.0;
            scratch blocks(n);
            vec x(n);
            const double t_solve = seconds(
                [&] {
                    sink = bvls_solve(n, p.R.data(), p.y.data(), p.u, nullptr, x.data(),
                                      blocks.blocks())
                               .check.decrease;
                },
                reps);
            const double t_check = seconds(
                [&] {
                    sink = check_optimality(n, p.R.data(), p.y.data(), p.u, a.x.data(), work.data())
                               .decrease;
                },
                reps * 4);
            std::printf(
                "  cond %-5.0e n %4ld: solve with check %10.2f us, check alone %9.2f us "
                "(%4.1f %% of the solve), %ld passes\n",
                cond, static_cast<long>(n), 1e6 * t_solve, 1e6 * t_check, 100.0 * t_check / t_solve,
                static_cast<long>(a.result.iter));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int seeds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    accuracy_table(seeds);
    families_table(seeds);
    cost_table();
    return 0;
}
