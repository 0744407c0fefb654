// SPDX-License-Identifier: BSD-3-Clause
#include "fuzz/fuzz_search_cap.h"

#include <cmath>
#include <cstdint>

#include "detect/sphere_search.h"
#include "detect/sphere_search_internal.h"

namespace {

constexpr std::int64_t node_cap = 1 << 8;  // tens of microseconds under the sanitizers

// True when the search of the last m rows and columns visits more than node_cap candidates.
bool too_long(const fuzz_search& p, std::size_t m) {
    std::vector<double> cut(m + 5 * m, 0.0);
    double* yc = cut.data();
    double* s = yc + m;
    for (std::size_t j = 0; j < m; ++j) yc[j] = p.y[p.n - m + j];
    const std::vector<double> Rc = fuzz_cut_square(p.R, p.n, m);
    search_options options;
    options.max_nodes = node_cap;
    return find_closest_point_with(yc, Rc.data(), static_cast<std::int64_t>(m), p.radius, p.lb,
                                   p.ub, s, s + m, s + 2 * m, s + 3 * m, s + 4 * m,
                                   options) == search_status::node_limit;
}

bool any_too_long(const std::vector<fuzz_search>& searches, std::size_t m) {
    for (const fuzz_search& s : searches) {
        if (too_long(s, m)) return true;
    }
    return false;
}

}  // namespace

bool fuzz_searchable(const fuzz_search& s) {
    for (std::size_t j = 0; j < s.n; ++j) {
        if (!std::isfinite(s.y[j]) || s.R[j + j * s.n] == 0.0) return false;
        for (std::size_t i = 0; i <= j; ++i) {
            if (!std::isfinite(s.R[i + j * s.n])) return false;
        }
    }
    return !std::isnan(s.radius) && !std::isnan(s.lb) && !std::isnan(s.ub);
}

long fuzz_cut_size(const std::vector<fuzz_search>& searches, std::size_t n) {
    if (!any_too_long(searches, n)) return fuzz_run_as_is;
    long m = 0;  // smaller shapes first: the largest m such that 1..m all fit
    while (static_cast<std::size_t>(m + 1) < n &&
           !any_too_long(searches, static_cast<std::size_t>(m + 1))) {
        ++m;
    }
    return m;
}

std::vector<double> fuzz_cut_square(const double* R, std::size_t n, std::size_t m) {
    std::vector<double> cut(m * m);
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t i = 0; i < m; ++i) cut[i + j * m] = R[(n - m + i) + (n - m + j) * n];
    }
    return cut;
}
