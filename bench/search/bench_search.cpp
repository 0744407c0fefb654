// SPDX-License-Identifier: BSD-3-Clause
// Sphere-decoding search against fplll's closest_vector on the same random lattices.
//
// For each n, random integer bases are LLL-reduced by fplll; both solvers then get the
// same basis and the same integer target. latbox's search gets R and y = Q'*t from a
// QR factorisation of the basis (timed separately) and a box too wide to bind.
// Prints one markdown table; with an output directory argument it also writes each
// problem (n, R, y, expected distance) for the Octave-side comparison. With --ab it
// instead times the previous search (bench/search/previous_search.cpp) against the
// current one on the same problems, after checking that both visit the same number of
// nodes and return the same status and the same bits.
//
// Times are the processor time of this thread (other processes on a shared machine do not
// add to them), each the best of three rounds that alternate between the solvers.
#include <fplll.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "bench/search/previous_search.h"
#include "detect/decision_feedback.h"
#include "detect/sphere_search.h"
#include "detect/sphere_search_internal.h"

namespace {

double thread_seconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Seconds per call of f: repeated until a round spans at least 5 ms, best of `rounds`
// rounds; rounds of several solvers alternate when their functions are passed together.
template <class... F>
std::vector<double> best_times(int rounds, F&&... f) {
    std::vector<double> best(sizeof...(F), INFINITY);
    for (int r = 0; r < rounds; ++r) {
        std::size_t i = 0;
        auto one = [&](auto& g) {
            // batches of doubling size, so that reading the clock costs little against g
            long reps = 0;
            const double t0 = thread_seconds();
            double elapsed = 0.0;
            for (long batch = 1; elapsed < 0.005; batch *= 2) {
                for (long b = 0; b < batch; ++b) g();
                reps += batch;
                elapsed = thread_seconds() - t0;
            }
            best[i] = std::min(best[i], elapsed / reps);
            ++i;
        };
        (one(f), ...);
    }
    return best;
}

struct problem {
    int n;
    std::vector<double> B;   // n-by-n, column j = basis vector j
    std::vector<double> t;   // target
    fplll::ZZ_mat<mpz_t> b;  // rows = basis vectors
    std::vector<fplll::Z_NR<mpz_t>> target;
};

problem make_problem(int n, std::mt19937_64& rng) {
    problem p;
    p.n = n;
    std::uniform_int_distribution<int> entry(-1000, 1000);
    p.b.resize(n, n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) p.b[i][j] = entry(rng);
    fplll::lll_reduction(p.b, fplll::LLL_DEF_DELTA, fplll::LLL_DEF_ETA);
    p.B.assign(n * n, 0.0);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) p.B[j + i * n] = p.b[i][j].get_d();
    std::uniform_int_distribution<int> coord(-100000, 100000);
    p.t.resize(n);
    p.target.resize(n);
    for (int j = 0; j < n; ++j) {
        p.t[j] = coord(rng);
        p.target[j] = static_cast<long>(p.t[j]);
    }
    return p;
}

// Modified Gram-Schmidt: B = Q*R with R upper triangular; returns R and y = Q'*t.
void qr_of_basis(const problem& p, std::vector<double>& R, std::vector<double>& y) {
    const int n = p.n;
    std::vector<double> Q = p.B;
    R.assign(n * n, 0.0);
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < j; ++i) {
            double dot = 0.0;
            for (int r = 0; r < n; ++r) dot += Q[r + i * n] * Q[r + j * n];
            R[i + j * n] = dot;
            for (int r = 0; r < n; ++r) Q[r + j * n] -= dot * Q[r + i * n];
        }
        double norm = 0.0;
        for (int r = 0; r < n; ++r) norm += Q[r + j * n] * Q[r + j * n];
        norm = std::sqrt(norm);
        R[j + j * n] = norm;
        for (int r = 0; r < n; ++r) Q[r + j * n] /= norm;
    }
    y.assign(n, 0.0);
    for (int j = 0; j < n; ++j) {
        double dot = 0.0;
        for (int r = 0; r < n; ++r) dot += Q[r + j * n] * p.t[r];
        y[j] = dot;
    }
}

double distance_of_coords(const problem& p, const std::vector<double>& s) {
    double d = 0.0;
    for (int r = 0; r < p.n; ++r) {
        double e = p.t[r];
        for (int j = 0; j < p.n; ++j) e -= p.B[r + j * p.n] * s[j];
        d += e * e;
    }
    return d;
}

// Nodes of fplll's enumeration core for the same closest-vector problem, started from the
// radius that latbox's first point (Babai's) gives, slightly enlarged.
double fplll_nodes(problem& p, const std::vector<double>& R, const std::vector<double>& y,
                   double radius) {
    const int n = p.n;
    fplll::ZZ_mat<mpz_t> u, uinv;
    fplll::MatGSO<fplll::Z_NR<mpz_t>, fplll::FP_NR<double>> gso(p.b, u, uinv, fplll::GSO_DEFAULT);
    gso.update_gso();
    // coordinates of the target along the Gram-Schmidt vectors: y(i) / R(i,i)
    std::vector<fplll::FP_NR<double>> coords(n);
    for (int i = 0; i < n; ++i) coords[i] = y[i] / R[i + i * n];
    fplll::FastEvaluator<fplll::FP_NR<double>> evaluator;
    fplll::Enumeration<fplll::Z_NR<mpz_t>, fplll::FP_NR<double>> enumeration(gso, evaluator);
    fplll::FP_NR<double> max_dist = radius * (1.0 + 1e-9);
    enumeration.enumerate(0, n, max_dist, 0, coords);
    return static_cast<double>(enumeration.get_nodes());
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// "median (min-max)" of v scaled by factor.
std::string spread(const std::vector<double>& v, double factor, const char* format) {
    char buf[128], m[32], lo[32], hi[32];
    std::snprintf(m, sizeof m, format, factor * median(v));
    std::snprintf(lo, sizeof lo, format, factor * *std::min_element(v.begin(), v.end()));
    std::snprintf(hi, sizeof hi, format, factor * *std::max_element(v.begin(), v.end()));
    std::snprintf(buf, sizeof buf, "%s (%s-%s)", m, lo, hi);
    return buf;
}

// One search of the current code as plinden runs it (which = 0) or of the previous one
// (which = 1), timed by the caller; nodes() counts the nodes of the same search untimed.
struct search_run {
    std::vector<double> symb, scratch, pdist, isum, step, cand;
    search_status status = search_status::none;
    explicit search_run(int n)
        : symb(n), scratch(search_scratch_size(n)), pdist(n), isum(n), step(n), cand(n) {}
    void operator()(const std::vector<double>& y, const std::vector<double>& R, int which) {
        const auto n = static_cast<std::int64_t>(y.size());
        if (which == 0) {
            status = find_closest_point(y.data(), R.data(), n, INFINITY, -1e9, 1e9, symb.data(),
                                        scratch.data());
        } else {
            std::fill(pdist.begin(), pdist.end(), 0.0);
            std::fill(isum.begin(), isum.end(), 0.0);
            status = previous::find_closest_point_with(y.data(), R.data(), n, INFINITY, -1e9, 1e9,
                                                       symb.data(), pdist.data(), isum.data(),
                                                       step.data(), cand.data(), search_options{});
        }
    }
    std::int64_t nodes(const std::vector<double>& y, const std::vector<double>& R, int which) {
        const auto n = static_cast<std::int64_t>(y.size());
        std::vector<double> s(n);
        std::fill(pdist.begin(), pdist.end(), 0.0);
        std::fill(isum.begin(), isum.end(), 0.0);
        std::int64_t count = 0;
        search_options options;
        options.nodes = &count;
        auto* search = which == 0 ? &find_closest_point_with : &previous::find_closest_point_with;
        search(y.data(), R.data(), n, INFINITY, -1e9, 1e9, s.data(), pdist.data(), isum.data(),
               step.data(), cand.data(), options);
        return count;
    }
};

const int sizes[] = {8, 12, 16, 20, 24, 28, 32, 36, 40};
const int per_size = 8;
const int rounds = 3;

// The previous search against the current one; returns 1 when any result differs.
int compare_with_previous(std::mt19937_64& rng) {
    std::printf(
        "Previous search against the current one on the same problems: median over the "
        "lattices of each size, (min-max) across them.\n\n");
    std::printf(
        "| n | nodes | previous Mnodes/s | current Mnodes/s | previous / current time | "
        "same nodes, status and bits |\n");
    std::printf("|---|---|---|---|---|---|\n");
    int failures = 0;
    for (int n : sizes) {
        std::vector<double> old_rates, new_rates, ratios;
        double nodes_total = 0;
        int same = 0;
        for (int k = 0; k < per_size; ++k) {
            problem p = make_problem(n, rng);
            std::vector<double> R, y;
            qr_of_basis(p, R, y);
            search_run current(n), before(n);
            const std::vector<double> t = best_times(
                rounds, [&] { current(y, R, 0); }, [&] { before(y, R, 1); });
            const std::int64_t new_nodes = current.nodes(y, R, 0);
            const std::int64_t old_nodes = before.nodes(y, R, 1);
            if (new_nodes == old_nodes && current.status == before.status &&
                std::memcmp(current.symb.data(), before.symb.data(), n * sizeof(double)) == 0) {
                ++same;
            }
            nodes_total += new_nodes;
            new_rates.push_back(new_nodes / t[0]);
            old_rates.push_back(old_nodes / t[1]);
            ratios.push_back(t[1] / t[0]);
        }
        std::printf("| %d | %.0f | %s | %s | %s | %d/%d |\n", n, nodes_total / per_size,
                    spread(old_rates, 1e-6, "%.1f").c_str(),
                    spread(new_rates, 1e-6, "%.1f").c_str(), spread(ratios, 1.0, "%.2f").c_str(),
                    same, per_size);
        std::fflush(stdout);
        failures += per_size - same;
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::mt19937_64 rng(20261208);
    if (argc > 1 && std::strcmp(argv[1], "--ab") == 0) return compare_with_previous(rng);
    const std::string outdir = argc > 1 ? argv[1] : "";
    std::printf(
        "Median over the lattices of each size, (min-max) across them. Nodes: candidates "
        "whose distance the search computed; fplll counts only those inside the radius "
        "(about half). Times: processor time of the benchmark thread, best of %d rounds.\n\n",
        rounds);
    std::printf(
        "| n | latbox search (ms) | QR (ms) | nodes | Mnodes/s | fplll enum nodes | "
        "fplll closest_vector (ms) | fplll / latbox | same distance |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    FILE* out = nullptr;
    if (!outdir.empty()) out = std::fopen((outdir + "/search_problems.txt").c_str(), "w");
    for (int n : sizes) {
        std::vector<double> t_search, t_qr, t_fplll, rates, ratios;
        double nodes_total = 0, fplll_nodes_total = 0;
        int same = 0;
        for (int k = 0; k < per_size; ++k) {
            problem p = make_problem(n, rng);
            std::vector<double> R, y;
            const double t0 = thread_seconds();
            qr_of_basis(p, R, y);
            t_qr.push_back(thread_seconds() - t0);

            search_run search(n);
            std::vector<fplll::Z_NR<mpz_t>> sol;
            const std::vector<double> t = best_times(
                rounds, [&] { search(y, R, 0); },
                [&] { fplll::closest_vector(p.b, p.target, sol, fplll::CVPM_FAST); });
            const std::int64_t nodes = search.nodes(y, R, 0);
            t_search.push_back(t[0]);
            t_fplll.push_back(t[1]);
            rates.push_back(nodes / t[0]);
            ratios.push_back(t[1] / t[0]);
            nodes_total += nodes;
            const std::vector<double>& symb = search.symb;

            // Babai's point, latbox's first leaf, as fplll's starting radius
            std::vector<double> babai(n);
            round_feedback(y.data(), R.data(), n, babai.data());
            double d_babai = 0.0;
            for (int i = 0; i < n; ++i) {
                double e = y[i];
                for (int j = i; j < n; ++j) e -= R[i + j * n] * babai[j];
                d_babai += e * e;
            }
            fplll_nodes_total += fplll_nodes(p, R, y, d_babai);

            std::vector<double> coords(n);
            for (int j = 0; j < n; ++j) coords[j] = sol[j].get_d();
            const double d_fplll = distance_of_coords(p, coords);
            const double d_latbox = distance_of_coords(p, symb);
            if (std::fabs(d_fplll - d_latbox) <= 1e-9 * std::max(1.0, d_fplll)) ++same;
            if (out != nullptr) {
                std::fprintf(out, "%d %.17g\n", n, d_latbox);
                for (double v : R) std::fprintf(out, "%.17g ", v);
                std::fprintf(out, "\n");
                for (double v : y) std::fprintf(out, "%.17g ", v);
                std::fprintf(out, "\n");
            }
        }
        const double ms = 1e3;
        std::printf("| %d | %s | %.4f | %.0f | %s | %.0f | %s | %s | %d/%d |\n", n,
                    spread(t_search, ms, "%.4g").c_str(), ms * median(t_qr), nodes_total / per_size,
                    spread(rates, 1e-6, "%.1f").c_str(), fplll_nodes_total / per_size,
                    spread(t_fplll, ms, "%.4g").c_str(), spread(ratios, 1.0, "%.2f").c_str(), same,
                    per_size);
        std::fflush(stdout);
    }
    if (out != nullptr) std::fclose(out);
    return 0;
}
