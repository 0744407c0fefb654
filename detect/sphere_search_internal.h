// SPDX-License-Identifier: BSD-3-Clause
// The search of sphere_search.h with the switches that only tests and benchmarks use.
#pragma once

#include <cstdint>

#include "detect/sphere_search.h"

struct search_options {
    // false: walk every candidate of a run outside the box one by one instead of jumping
    // over the run (same result; the tests compare the two).
    bool skip_gaps = true;
    // When not null, receives the number of candidates whose distance was computed.
    std::int64_t* nodes = nullptr;
    // > 0: stop after that many candidates with node_limit (the search has no node limit
    // of its own; harnesses that must bound their time use this).
    std::int64_t max_nodes = 0;
};

search_status find_closest_point_with(const double* y, const double* R, std::int64_t n,
                                      double radius, double lb, double ub, double* symb,
                                      double* pdist, double* isum, double* step, double* cand,
                                      const search_options& options);
