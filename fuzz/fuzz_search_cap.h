// SPDX-License-Identifier: BSD-3-Clause
// What the plinden harnesses share to keep every input cheap.
//
// The search is exhaustive and has no node limit: badly scaled inputs (a tiny diagonal
// under a far centre, a huge radius) can ask for 2^50 candidates and more, which is the
// documented cost, not a hang. So a call whose searches would run is first searched
// host-free with a small node cap. When a search exceeds the cap, the call is not dropped:
// the gateway gets the same problem cut to its last m rows and columns (each y to its
// last m of n elements), for the largest m, tried from 1 upwards, whose searches all fit.
// The search starts at the last row, so the cut problem is the top of the same tree.
#pragma once

#include <cstddef>
#include <vector>

// One search: y n values, R n-by-n column-major.
struct fuzz_search {
    const double* y;
    const double* R;
    std::size_t n;
    double radius, lb, ub;
};

// True when the gateway would search: y and the upper triangle of R finite, no zero on the
// diagonal, radius, lb and ub not NaN.
bool fuzz_searchable(const fuzz_search& s);

// What a harness does with a call whose searches are all searchable: run it as it is
// (every search fits), or cut it to the last m rows and columns for the returned m > 0 (0
// when not even one row fits, which the zig-zag on one level rules out; the call is then
// dropped).
constexpr long fuzz_run_as_is = -1;
long fuzz_cut_size(const std::vector<fuzz_search>& searches, std::size_t n);

// The last m rows and columns of the n-by-n R.
std::vector<double> fuzz_cut_square(const double* R, std::size_t n, std::size_t m);
