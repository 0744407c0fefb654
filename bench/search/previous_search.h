// SPDX-License-Identifier: BSD-3-Clause
// The search before the latency work, for the benchmark's side-by-side mode.
#pragma once

#include <cstdint>

#include "detect/sphere_search.h"
#include "detect/sphere_search_internal.h"

namespace previous {

search_status find_closest_point_with(const double* y, const double* R, std::int64_t n,
                                      double radius, double lb, double ub, double* symb,
                                      double* pdist, double* isum, double* step, double* cand,
                                      const search_options& options);

}  // namespace previous
