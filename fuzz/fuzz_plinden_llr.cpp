// SPDX-License-Identifier: BSD-3-Clause
// [L,S,nodes,Le]=plinden_llr(Y,R,M,N0,clip,La) on any call, on 1 to 3 threads. On success L
// is B-by-K, S n-by-K and nodes 1-by-K, and each column k is
//   - bit for bit find_bit_llrs on that column (the routine called directly; with Le and
//     priors the search runs with a wider clip, and L is compared within rounding), and
//   - equal to the exhaustive enumeration of every point: L within rounding of the max-log
//     values clipped to clip, |L| <= clip, S a point of the alphabet with the least metric;
//   - Le the unclipped a-posteriori LLR minus La, clipped (L itself without La).
// A column whose every metric overflows fails the call.
// Calls whose trees hold more than 2^16 points, or whose enumeration would take more than
// about 2^25 operations, are not made (the search is exhaustive in the worst case).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "detect/soft_search.h"
#include "fuzz/fuzz_batch.h"
#include "gateways/gateways.h"

namespace {

const double inf = std::numeric_limits<double>::infinity();

std::int32_t bits_of(double M) {
    int e = 0;
    const double f = std::frexp(M, &e);
    return (f == 0.5 && e >= 2 && e <= 17) ? e - 1 : 0;
}

// The bits of every level when M is a valid scalar or n-vector, else empty.
std::vector<std::int32_t> levels_of(const host_array* M, std::size_t n) {
    if (M->cls != th_class::real_double || M->paged) return {};
    const std::size_t count = M->rows * M->cols;
    if (count != 1 && count != n) return {};
    std::vector<std::int32_t> bits(n);
    for (std::size_t i = 0; i < n; ++i) {
        bits[i] = bits_of(reinterpret_cast<const double*>(M->bytes)[count == 1 ? 0 : i]);
        if (bits[i] == 0) return {};
    }
    return bits;
}

// True when the call may run: it fails before searching, or every tree is small.
bool cheap(const fuzz_call& call) {
    if (call.args.size() < 5 || call.args.size() > 6) return true;
    const host_array* R = call.args[1].get();
    if (R->cls != th_class::real_double) return true;
    const std::size_t n = host_dim(R, 0);
    const std::vector<std::int32_t> bits = levels_of(call.args[2].get(), n);
    std::int64_t B = 0;
    for (std::int32_t m : bits) B += m;
    if (B > 16) return false;
    // the enumeration of every column: 2^B points of n^2 + B operations each
    const double K = static_cast<double>(host_dim(call.args[0].get(), 1));
    const double work = std::ldexp(K, static_cast<int>(B)) * static_cast<double>(n * n + B);
    return work <= std::ldexp(1.0, 25);
}

// Metric d/n0 + sum La*bit of every point, and the clipped max-log LLRs; false when a
// metric is not finite (then only the shape of the answer is checked).
bool enumerate(const double* y, const double* R, const std::vector<std::int32_t>& bits, double n0,
               double clip, const double* La, std::vector<double>& L, double& best, double& scale,
               std::vector<double>& best_point) {
    const std::size_t n = bits.size();
    std::int64_t B = 0;
    for (std::int32_t m : bits) B += m;
    std::vector<double> best0(B, inf), best1(B, inf);
    std::vector<std::uint32_t> a(n, 0);
    std::vector<double> s(n);
    best = inf;
    for (;;) {
        for (std::size_t k = 0; k < n; ++k) s[k] = 2.0 * a[k] - ((1 << bits[k]) - 1);
        double d = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            double e = y[i];
            for (std::size_t j = i; j < n; ++j) e -= R[i + j * n] * s[j];
            d += e * e;
        }
        double m = d / n0;
        std::int64_t b = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t lab = a[k] ^ (a[k] >> 1);
            for (std::int32_t j = 0; j < bits[k]; ++j, ++b) {
                if (La != nullptr && ((lab >> (bits[k] - 1 - j)) & 1u)) m += La[b];
            }
        }
        if (!std::isfinite(m)) return false;
        if (m < best) {
            best = m;
            best_point = s;
        }
        b = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t lab = a[k] ^ (a[k] >> 1);
            for (std::int32_t j = 0; j < bits[k]; ++j, ++b) {
                double& slot = ((lab >> (bits[k] - 1 - j)) & 1u) ? best1[b] : best0[b];
                slot = std::min(slot, m);
            }
        }
        std::size_t k = 0;
        while (k < n && a[k] == (1u << bits[k]) - 1) a[k++] = 0;
        if (k == n) break;
        ++a[k];
    }
    L.resize(B);
    for (std::int64_t b = 0; b < B; ++b) {
        const double v = best1[b] - best0[b];
        L[b] = std::copysign(std::min(std::fabs(v), clip), v);
    }
    double size = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double t = std::fabs(y[i]);
        for (std::size_t j = i; j < n; ++j) t += std::fabs(R[i + j * n]) * ((1 << bits[j]) - 1);
        size += t * t;
    }
    double prior = 0.0;
    for (std::int64_t b = 0; La != nullptr && b < B; ++b) prior += std::fabs(La[b]);
    scale = size / n0 + prior + 1.0;
    return std::isfinite(scale);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz_call call = fuzz_decode(data, size, {6, 3, true});
    if (!cheap(call)) return 0;
    fuzz_use_threads(call);
    const th_result r = th_call(plinden_llr_gateway, call.nlhs, call.inputs());
    fuzz_check_result(r, call, true, true, 5);
    if (r.failed) return 0;
    FUZZ_CHECK(call.args.size() == 5 || call.args.size() == 6);
    FUZZ_CHECK(call.nlhs <= 4);
    const fuzz_frame f = fuzz_frame_of(call.args[0].get(), call.args[1].get());
    const std::vector<std::int32_t> bits = levels_of(call.args[2].get(), f.n);
    FUZZ_CHECK(bits.size() == f.n);
    std::int64_t B = 0;
    for (std::int32_t m : bits) B += m;
    FUZZ_CHECK(fuzz_shape(r.outputs[0], B, f.K));
    if (call.nlhs < 3 || f.n == 0 || f.K == 0) return 0;
    FUZZ_CHECK(fuzz_shape(r.outputs[1], f.n, f.K));
    FUZZ_CHECK(fuzz_shape(r.outputs[2], 1, f.K));
    const host_array* N0 = call.args[3].get();
    const double clip = th_values(call.args[4])[0];
    const double* La = nullptr;
    if (call.args.size() == 6 && call.args[5]->rows * call.args[5]->cols != 0) {
        La = th_values(call.args[5]);
    }
    const soft_levels levels{static_cast<std::int64_t>(f.n), bits.data(), nullptr};
    std::vector<double> scratch(soft_scratch_size(static_cast<std::int64_t>(f.n), B));
    const bool wide = call.nlhs == 4 && La != nullptr;  // L from a search with a wider clip
    if (call.nlhs == 4) FUZZ_CHECK(fuzz_shape(r.outputs[3], B, f.K));
    std::vector<double> L1(B), S1(f.n), Lref, best_point, Lfull(B);
    for (std::size_t k = 0; k < f.K; ++k) {
        const double* y = th_values(call.args[0]) + k * f.n;
        const double* R = th_values(call.args[1]) + f.page_of(k) * f.n * f.n;
        const double n0 = th_values(call.args[3])[N0->rows * N0->cols == 1 ? 0 : k];
        const double* La_k = La == nullptr ? nullptr : La + k * B;
        const double* L = th_values(r.outputs[0]) + k * B;
        const double* S = th_values(r.outputs[1]) + k * f.n;
        std::int64_t nodes = 0;
        const search_status status = find_bit_llrs(y, R, levels, n0, clip, La_k, L1.data(),
                                                   S1.data(), &nodes, scratch.data());
        FUZZ_CHECK(status == search_status::found);  // an overflowing column fails the call
        if (!wide) {
            FUZZ_CHECK(th_values(r.outputs[2])[k] == static_cast<double>(nodes));
            FUZZ_CHECK(fuzz_same_bits(L, L1.data(), B));
            FUZZ_CHECK(fuzz_same_bits(S, S1.data(), f.n));
        }
        double best = 0.0, scale = 0.0;
        if (!enumerate(y, R, bits, n0, clip, La_k, Lref, best, scale, best_point)) continue;
        const double tol = 1e-11 * scale;
        if (call.nlhs == 4) {
            const double* Le = th_values(r.outputs[3]) + k * B;
            FUZZ_CHECK(find_bit_llrs(y, R, levels, n0, inf, La_k, Lfull.data(), S1.data(), nullptr,
                                     scratch.data()) == search_status::found);
            for (std::int64_t b = 0; b < B; ++b) {
                FUZZ_CHECK(std::fabs(Le[b]) <= clip);
                if (La_k == nullptr) {
                    FUZZ_CHECK(fuzz_same_bits(Le + b, L + b, 1));
                } else {
                    const double e = Lfull[b] - La_k[b];
                    const double want = e > clip ? clip : e < -clip ? -clip : e;
                    FUZZ_CHECK(std::fabs(Le[b] - want) <= tol);
                }
            }
        }
        for (std::int64_t b = 0; b < B; ++b) {
            FUZZ_CHECK(std::fabs(L[b]) <= clip);
            FUZZ_CHECK(std::fabs(L[b] - Lref[b]) <= tol);
        }
        for (std::size_t i = 0; i < f.n; ++i) {
            const double top = (1 << bits[i]) - 1;
            FUZZ_CHECK(std::fabs(S[i]) <= top && std::fmod(S[i] + top, 2.0) == 0.0);
        }
        double d = 0.0;
        for (std::size_t i = 0; i < f.n; ++i) {
            double e = y[i];
            for (std::size_t j = i; j < f.n; ++j) e -= R[i + j * f.n] * S[j];
            d += e * e;
        }
        double m = d / n0;
        std::int64_t b = 0;
        for (std::size_t i = 0; i < f.n; ++i) {
            const auto a = static_cast<std::uint32_t>((S[i] + ((1 << bits[i]) - 1)) / 2);
            const std::uint32_t lab = a ^ (a >> 1);
            for (std::int32_t j = 0; j < bits[i]; ++j, ++b) {
                if (La_k != nullptr && ((lab >> (bits[i] - 1 - j)) & 1u)) m += La_k[b];
            }
        }
        FUZZ_CHECK(m <= best + tol);
    }
    return 0;
}
