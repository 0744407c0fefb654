// SPDX-License-Identifier: BSD-3-Clause
// Sphere-decoding search against fplll's closest_vector on the same random lattices.
//
// For each n, random integer bases are LLL-reduced by fplll; both solvers then get the
// same basis and the same integer target. latbox's search gets R and y = Q'*t from a
// QR factorisation of the basis (timed separately) and a box too wide to bind.
// Prints one markdown table; with an output directory argument it also writes each
// problem (n, R, y, expected distance) for the Octave-side comparison.
#include <fplll.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "detect/decision_feedback.h"
#include "detect/sphere_search.h"
#include "detect/sphere_search_internal.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

struct problem {
    int n;
    std::vector<double> B;  // n-by-n, column j = basis vector j
    std::vector<double> t;  // target
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

}  // namespace

int main(int argc, char** argv) {
    const std::string outdir = argc > 1 ? argv[1] : "";
    std::mt19937_64 rng(20261208);
    const int sizes[] = {8, 12, 16, 20, 24, 28, 32, 36, 40};
    const int per_size = 8;
    std::printf("Median over the lattices of each size, (min-max) across them. Nodes: candidates "
                "whose distance the search computed; fplll counts only those inside the radius "
                "(about half).\n\n");
    std::printf("| n | latbox search (ms) | QR (ms) | nodes | Mnodes/s | fplll enum nodes | "
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
            auto t0 = clock_type::now();
            qr_of_basis(p, R, y);
            t_qr.push_back(seconds_since(t0));

            std::vector<double> symb(n), pdist(n), isum(n), step(n), cand(n);
            std::int64_t nodes = 0;
            // repeat short searches so that each timing spans at least a few milliseconds
            int reps = 0;
            t0 = clock_type::now();
            double elapsed = 0.0;
            do {
                std::fill(pdist.begin(), pdist.end(), 0.0);
                std::fill(isum.begin(), isum.end(), 0.0);
                search_options options;
                options.nodes = &nodes;
                find_closest_point_with(y.data(), R.data(), n, INFINITY, -1e9, 1e9, symb.data(),
                                        pdist.data(), isum.data(), step.data(), cand.data(),
                                        options);
                ++reps;
                elapsed = seconds_since(t0);
            } while (elapsed < 0.005);
            const double per_search = elapsed / reps;
            t_search.push_back(per_search);
            rates.push_back(nodes / per_search);
            nodes_total += nodes;

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

            std::vector<fplll::Z_NR<mpz_t>> sol;
            reps = 0;
            t0 = clock_type::now();
            do {
                fplll::closest_vector(p.b, p.target, sol, fplll::CVPM_FAST);
                ++reps;
                elapsed = seconds_since(t0);
            } while (elapsed < 0.005);
            t_fplll.push_back(elapsed / reps);
            ratios.push_back(t_fplll.back() / t_search.back());

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
                    spread(t_search, ms, "%.4g").c_str(), ms * median(t_qr),
                    nodes_total / per_size, spread(rates, 1e-6, "%.1f").c_str(),
                    fplll_nodes_total / per_size, spread(t_fplll, ms, "%.4g").c_str(),
                    spread(ratios, 1.0, "%.2f").c_str(), same, per_size);
        std::fflush(stdout);
    }
    if (out != nullptr) std::fclose(out);
    return 0;
}
