// SPDX-License-Identifier: BSD-3-Clause
// Bound classification into the index-set vector.
#include "box/bound_classification.h"

void classify_bounds(const double* x, std::int64_t n, double a, double* index_set) {
    std::int64_t next_bound = 1;  // next bound slot, moving up
    std::int64_t next_free = n;   // next free slot, moving down
    for (std::int64_t j = 1; j <= n; ++j) {
        const double xj = x[j - 1];
        if (xj <= -a) {
            index_set[next_bound] = static_cast<double>(-j);
            ++next_bound;
        } else if (xj >= a) {
            index_set[next_bound] = static_cast<double>(j);
            ++next_bound;
        } else {
            index_set[next_free] = static_cast<double>(j);
            --next_free;
        }
    }
    index_set[n + 1] = static_cast<double>(next_bound - 1);
}
