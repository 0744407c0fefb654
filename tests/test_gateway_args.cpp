// SPDX-License-Identifier: BSD-3-Clause
// The shared argument checks, called from small gateways through the test host: the
// warm-start index set against a plain marking checker at sizes on both sides of the
// checker's 4096-variable blocks, the checks of a triangular R, and names that point into
// an argument ("R page 3"), and the per-column and per-page forms against the loop that
// names every column before checking it.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "gateways/args.h"
#include "gateways/batch.h"
#include "host/test_host.h"

namespace {

const char* const index_name = "index_set column 3";

// index_set column 3 = prhs[0]: n + 2 values.
void index_set_gateway(int, host_array*[], int, const host_array* prhs[]) {
    require_index_set(host_data(prhs[0]), host_rows(prhs[0]) - 2, index_name);
}

std::string check_index_set(const std::vector<double>& v) {
    const th_result r = th_call(index_set_gateway, 0, {th_column(v).get()});
    return r.failed ? r.message : "";
}

// The reference: one pass in element order that marks each variable as it is named.
std::string reference_message(const std::vector<double>& v) {
    const std::size_t n = v.size() - 2;
    const std::string name = index_name;
    for (std::size_t s = 1; s <= n + 1; ++s) {
        if (!std::isfinite(v[s]) || v[s] != std::trunc(v[s])) {
            return name + " must hold integer values\n";
        }
    }
    const double count = v[n + 1];
    if (count < 0) return "Too many active variables in BVLS starting solution!";
    if (count > static_cast<double>(n)) {
        return name + " count (last element) must be between 0 and n\n";
    }
    std::vector<bool> seen(n + 1, false);
    for (std::size_t s = 1; s <= n; ++s) {
        const double a = std::fabs(v[s]);
        if (a < 1 || a > static_cast<double>(n)) {
            return name + " entries must be variable numbers between -n and n, not 0\n";
        }
        if (static_cast<double>(s) > count && v[s] < 0) {
            return name + " free entries must be positive\n";
        }
        if (seen[static_cast<std::size_t>(a)]) return name + " must name each variable only once\n";
        seen[static_cast<std::size_t>(a)] = true;
    }
    return "";
}

}  // namespace

// Valid vectors pass; vectors with one to three faults (repeats near and far apart, across
// the blocks, values out of range, negative free entries, fractions) give the message
// of the first fault in element order.
TEST(gateway_args, index_set_against_a_marking_checker) {
    std::mt19937_64 gen(11);
    std::size_t rejected = 0, repeats = 0;
    for (std::size_t n : {1u, 2u, 3u, 7u, 64u, 4095u, 4096u, 4097u, 8193u, 9000u}) {
        const int trials = n > 100 ? 60 : 300;
        for (int t = 0; t < trials; ++t) {
            std::vector<double> v(n + 2, 0.0);
            std::vector<double> order(n);
            for (std::size_t j = 0; j < n; ++j) order[j] = static_cast<double>(j + 1);
            std::shuffle(order.begin(), order.end(), gen);
            const std::size_t count = std::uniform_int_distribution<std::size_t>(0, n)(gen);
            for (std::size_t s = 1; s <= n; ++s) {
                v[s] = s <= count && (gen() & 1) ? -order[s - 1] : order[s - 1];
            }
            v[n + 1] = static_cast<double>(count);
            v[0] = static_cast<double>(gen() % 5) - 2.0;  // never read
            const int faults = t % 4;                     // a quarter stay valid
            for (int f = 0; f < faults; ++f) {
                const std::size_t s = 1 + gen() % n;
                const std::size_t other = 1 + gen() % n;
                switch (gen() % 6) {
                    case 0:
                    case 1:  // a repeat of another slot's variable, either sign
                        v[s] = (gen() & 1) ? v[other] : -v[other];
                        break;
                    case 2:
                        v[s] = static_cast<double>(n + 1 + gen() % 3) * ((gen() & 1) ? 1 : -1);
                        break;
                    case 3:
                        v[s] = 0.0;
                        break;
                    case 4:
                        v[s] = -std::fabs(v[s]);
                        break;
                    default:
                        v[s] = (gen() % 8 == 0) ? 0.5 : v[s];
                        break;
                }
            }
            const std::string expected = reference_message(v);
            EXPECT_EQ(check_index_set(v), expected) << "n=" << n << " trial " << t;
            EXPECT_EQ(is_index_set(v.data(), n), expected.empty()) << "n=" << n << " trial " << t;
            if (t == 0) {  // a count out of range, either side
                for (double c : {-1.0, static_cast<double>(n) + 1.0}) {
                    std::vector<double> w = v;
                    w[n + 1] = c;
                    EXPECT_FALSE(is_index_set(w.data(), n));
                    EXPECT_NE(check_index_set(w), "");
                }
            }
            rejected += !expected.empty();
            repeats += expected.find("only once") != std::string::npos;
        }
    }
    EXPECT_GT(rejected, 400u);
    EXPECT_GT(repeats, 200u);
}

// Repeats that only a block-by-block marking must still see: the same variable at the two
// ends of the vector, in the last block, and at its first variable.
TEST(gateway_args, index_set_repeats_across_blocks) {
    const std::size_t n = 8200;
    std::vector<double> v(n + 2, 0.0);
    for (std::size_t s = 1; s <= n; ++s) v[s] = static_cast<double>(s);
    EXPECT_EQ(check_index_set(v), "");
    const std::string once = std::string(index_name) + " must name each variable only once\n";
    for (const auto& pair : std::vector<std::pair<std::size_t, std::size_t>>{
             {1, n}, {n - 1, n}, {4096, 4097}, {4097, 8193}, {8193, 8200}, {1, 4097}}) {
        std::vector<double> w = v;
        w[pair.second] = w[pair.first];
        EXPECT_EQ(check_index_set(w), once) << pair.first << " " << pair.second;
        EXPECT_EQ(check_index_set(w), reference_message(w));
    }
}

namespace {

// R page 3 = prhs[0], checked with zeros demanded below the diagonal when prhs[1] is 1.
void triangular_gateway(int, host_array*[], int, const host_array* prhs[]) {
    const below_diagonal below =
        host_data(prhs[1])[0] == 1.0 ? below_diagonal::zero : below_diagonal::ignored;
    require_triangular(host_data(prhs[0]), host_cols(prhs[0]), below, "R page 3");
}

}  // namespace

TEST(gateway_args, triangular_r) {
    const double nan = std::nan(""), inf = INFINITY;
    struct row {
        std::vector<double> R;  // 2-by-2, column-major
        std::string ignored, zero;
    };
    const std::string p = "R page 3 ";
    const std::vector<row> rows = {
        {{1, 0, 2, 3}, "", ""},
        {{1, 5, 2, 3}, "", p + "must be upper triangular (zeros below the diagonal)\n"},
        {{1, nan, 2, 3}, "", p + "must be upper triangular (zeros below the diagonal)\n"},
        {{1, 0, inf, 3},
         p + "must not contain NaN or Inf on or above the diagonal\n",
         p + "must not contain NaN or Inf\n"},
        {{1, 0, 2, 0},
         p + "must not have a zero on the diagonal\n",
         p + "must not have a zero on the diagonal\n"},
        // column by column: column 1's faults come first
        {{0, 1, nan, 3},
         p + "must not have a zero on the diagonal\n",
         p + "must be upper triangular (zeros below the diagonal)\n"},
        {{nan, 1, 2, 0},
         p + "must not contain NaN or Inf on or above the diagonal\n",
         p + "must not contain NaN or Inf\n"},
        {{1, 0, 2, -0.0},
         p + "must not have a zero on the diagonal\n",
         p + "must not have a zero on the diagonal\n"},
    };
    for (const row& r : rows) {
        for (double rule : {0.0, 1.0}) {
            const th_result res =
                th_call(triangular_gateway, 0, {th_matrix(2, 2, r.R).get(), th_scalar(rule).get()});
            EXPECT_EQ(res.failed ? res.message : "", rule == 1.0 ? r.zero : r.ignored)
                << r.R[0] << " " << r.R[1] << " " << r.R[2] << " " << r.R[3] << " rule " << rule;
            // the host-free form passes exactly what the check passes
            EXPECT_EQ(is_triangular(r.R.data(), 2,
                                    rule == 1.0 ? below_diagonal::zero : below_diagonal::ignored),
                      !res.failed);
        }
    }
}

// prhs: values (rows-by-K, or n-by-n-by-pages read as n-by-(n*pages)), which check (0:
// columns, 1: pages with zeros below, 2: pages with the lower part ignored), and whether
// to run the loop that names every column or page first.
void per_column_gateway(int, host_array*[], int, const host_array* prhs[]) {
    const double* v = host_data(prhs[0]);
    const std::size_t rows = host_rows(prhs[0]), cols = host_cols(prhs[0]);
    const int which = static_cast<int>(host_data(prhs[1])[0]);
    const bool eager = host_data(prhs[2])[0] == 1.0;
    char name[48];
    if (which == 0) {
        if (!eager) return require_finite_columns(v, rows, cols, "Y");
        for (std::size_t k = 0; k < cols; ++k)
            require_finite(v + k * rows, rows, column_name(name, "Y", k));
        return;
    }
    const below_diagonal below = which == 1 ? below_diagonal::zero : below_diagonal::ignored;
    const std::size_t pages = cols / rows;
    if (!eager) return require_triangular_pages(v, rows, pages, below, "R");
    for (std::size_t p = 0; p < pages; ++p) {
        require_triangular(v + p * rows * rows, rows, below,
                           pages == 1 ? "R" : page_name(name, "R", p));
    }
}

TEST(gateway_args, per_column_checks_name_the_first_fault_as_the_plain_loop) {
    std::mt19937_64 rng(11);
    const double faults[] = {std::nan(""), INFINITY, -INFINITY, 0.0, 3.0};
    std::uniform_int_distribution<int> pick_fault(0, 4);
    int failures = 0;
    for (int trial = 0; trial < 600; ++trial) {
        const int which = trial % 3;
        const std::size_t rows = 1 + trial % 4, groups = 1 + (trial / 3) % 5;
        const std::size_t cols = which == 0 ? groups : rows * groups;
        std::vector<double> v(rows * cols);
        std::uniform_real_distribution<double> value(0.5, 2.0);
        for (std::size_t p = 0; p < cols / (which == 0 ? 1 : rows); ++p) {
            for (std::size_t e = 0; e < (which == 0 ? rows : rows * rows); ++e) {
                const std::size_t i = e % rows, j = e / rows;
                const std::size_t at = which == 0 ? p * rows + e : p * rows * rows + e;
                v[at] = which != 0 && i > j ? 0.0 : value(rng);
            }
        }
        // none, one or a few faults anywhere
        for (int f = trial % 4; f > 0; --f) {
            v[std::uniform_int_distribution<std::size_t>(0, v.size() - 1)(rng)] =
                faults[pick_fault(rng)];
        }
        const th_array a = th_matrix(rows, cols, v);
        const th_result lazy =
            th_call(per_column_gateway, 0, {a.get(), th_scalar(which).get(), th_scalar(0).get()});
        const th_result eager =
            th_call(per_column_gateway, 0, {a.get(), th_scalar(which).get(), th_scalar(1).get()});
        EXPECT_EQ(lazy.failed, eager.failed) << "trial " << trial;
        EXPECT_EQ(lazy.message, eager.message) << "trial " << trial;
        failures += lazy.failed;
    }
    EXPECT_GT(failures, 200);  // the table reaches the messages, not only the passes
}

// all_finite and any_nan take their values eight at a time: a fault at every position of
// every length around the blocks, each kind of fault and the extremes that are finite.
TEST(gateway_args, all_finite_and_any_nan_at_every_position) {
    const double faults[] = {std::nan(""), -std::nan(""), INFINITY, -INFINITY};
    const double finite[] = {0.0, -0.0, 1.0, DBL_MAX, -DBL_MAX, DBL_TRUE_MIN, 1e-310};
    for (std::size_t count = 0; count <= 35; ++count) {
        for (double base : finite) {
            std::vector<double> v(count + 1, base);  // one past the end: never read
            v[count] = std::nan("");
            EXPECT_TRUE(all_finite(v.data(), count)) << count << " " << base;
            EXPECT_FALSE(any_nan(v.data(), count)) << count << " " << base;
            for (std::size_t at = 0; at < count; ++at) {
                for (double f : faults) {
                    v[at] = f;
                    EXPECT_FALSE(all_finite(v.data(), count)) << count << " " << at << " " << f;
                    EXPECT_EQ(any_nan(v.data(), count), std::isnan(f)) << count << " " << at;
                    v[at] = base;
                }
            }
        }
    }
}
