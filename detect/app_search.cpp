// SPDX-License-Identifier: BSD-3-Clause
// The PAM front of the APP tree search (detect/app_tree.h): level k's children are its M_k
// values s = 2a - (M_k - 1), a = 0 .. M_k-1, with the distances of soft_search.cpp,
//   d = pd + e^2,  e = (y[k] - isum[k]) - s*R(k,k),  isum[k] = sum_{j>k} R(k,j)*s_j
// in ascending columns (no isum for k = n-1).
#include "detect/app_search.h"

#include <cmath>

namespace {

struct pam_front {
    const double* y;
    const double* R;
    std::int64_t n;
    const std::int32_t* bits;
    const std::uint32_t* labels;  // null: Gray
    const double* label_off;      // n: first label of level k
    double* value;                // n: the path's value on each level

    std::int32_t bits_of(std::int64_t k) const { return bits[k]; }

    std::uint32_t label(std::int64_t k, std::int64_t a) const {
        const auto i = static_cast<std::uint32_t>(a);
        if (labels == nullptr) return i ^ (i >> 1);
        return labels[static_cast<std::int64_t>(label_off[k]) + i];
    }

    // ln of a bound on sum_a e^{-(dist[a] - pd)/n0} for any centre: the values are spaced
    // 2|R(k,k)| apart, so the i-th nearest (from 0) is at least i*|R(k,k)| from the centre
    // (i+1 values span 2i|R(k,k)|).
    double log_child_bound(std::int64_t k, double n0) const {
        const double h = std::fabs(R[k + k * n]) * (1.0 - app_tree::spacing_margin);
        return std::log(app_tree::spaced_mass(h * h / n0, std::int64_t{1} << bits[k]));
    }

    // dist[a] for the children of the path's node on level k+1 (px: its indices above k).
    void expand(std::int64_t k, double pd, const double* px, double* dist) {
        if (k + 1 < n) {
            const double top = static_cast<double>((std::int64_t{1} << bits[k + 1]) - 1);
            value[k + 1] = 2.0 * px[k + 1] - top;
        }
        double isum = 0.0;
        for (std::int64_t j = k + 1; j < n; ++j) isum = isum + R[k + j * n] * value[j];
        const double u = y[k] - isum;
        const double r = R[k + k * n];
        const std::int64_t M = std::int64_t{1} << bits[k];
        const double top = static_cast<double>(M - 1);
        for (std::int64_t a = 0; a < M; ++a) {
            const double e = u - (2.0 * static_cast<double>(a) - top) * r;
            dist[a] = pd + e * e;
        }
    }

    // One dimension a level: the leaves' weights are their exponentials (app_tree.h).
    bool leaf_weights(double, double*) const { return false; }
};

// The max-log pass of a finite clip: its LLRs, its point, its scratch.
std::int64_t maxlog_size(std::int64_t n, std::int64_t B) {
    return B + n + soft_scratch_size(n, B);
}

}  // namespace

std::int64_t app_scratch_size(const soft_levels& levels) {
    const std::int64_t n = levels.n;
    if (n <= 0) return 0;
    std::int64_t sum_M = 0;
    for (std::int64_t k = 0; k < n; ++k) sum_M += std::int64_t{1} << levels.bits[k];
    const std::int64_t B = soft_bit_count(levels);
    return 2 * n + app_tree::scratch_size(n, sum_M, B) + maxlog_size(n, B);
}

search_status find_app_llrs(const double* y, const double* R, const soft_levels& levels, double n0,
                            double clip, double tol, app_output output, const double* La, double* L,
                            std::int64_t* nodes, double* scratch, const interrupt_check* check) {
    if (nodes != nullptr) *nodes = 0;
    const std::int64_t n = levels.n;
    if (n <= 0) return search_status::none;
    // the front's arrays, then the level sizes, then the search's own
    double* const value = scratch;
    double* const label_off = scratch + n;
    double off = 0.0;
    for (std::int64_t k = 0; k < n; ++k) {
        label_off[k] = off;
        off += static_cast<double>(std::int64_t{1} << levels.bits[k]);
        value[k] = 0.0;
    }
    pam_front front{y, R, n, levels.bits, levels.labels, label_off, value};
    const app_tree::problem p{n, La, n0, clip, tol, output};
    const std::int64_t B = soft_bit_count(levels);
    app_tree::search<pam_front> s(p, front, scratch + 2 * n);
    // With a finite clip, the bits that the max-log LLRs show beyond it (app_tree.h)
    const double cm = s.maxlog_clip();
    if (cm < app_tree::inf) {
        double* const lm = scratch + (app_scratch_size(levels) - maxlog_size(n, B));
        const search_status st =
            find_bit_llrs(y, R, levels, n0, cm, La, lm, lm + B, nullptr, lm + B + n, check);
        if (st == search_status::interrupted) return st;
        if (st == search_status::found) s.saturate(lm);
    }
    return s.run(L, nodes, check);
}
