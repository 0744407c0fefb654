// SPDX-License-Identifier: BSD-3-Clause
// The soft-output search of soft_search.h with the switches that only tests and fuzzing use.
#pragma once

#include <cstdint>

#include "detect/soft_search.h"

struct soft_search_options {
    // > 0: stop after that many nodes with node_limit (the search has no node limit of its
    // own; harnesses that must bound their time use this). L and symb then hold no answer.
    std::int64_t max_nodes = 0;
    // Asked every search_poll_interval nodes whether to stop (interrupted), when not null.
    const interrupt_check* check = nullptr;
};

search_status find_bit_llrs_with(const double* y, const double* R, const soft_levels& levels,
                                 double n0, double clip, const double* La, double* L, double* symb,
                                 std::int64_t* nodes, double* scratch,
                                 const soft_search_options& options);
