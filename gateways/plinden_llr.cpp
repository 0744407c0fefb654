// SPDX-License-Identifier: BSD-3-Clause
// [L,S,nodes,Le]=plinden_llr(Y,R,M,N0,clip,La): max-log bit LLRs of PAM vectors, a frame per
// call, from one tree search per column, and their extrinsic part.
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "detect/soft_search.h"
#include "gateways/args.h"
#include "gateways/batch.h"
#include "gateways/gateways.h"

namespace {

struct llr_job {
    const double* Y;
    batch_channels channels;
    soft_levels levels;
    std::size_t B;
    batch_scalars n0;
    double clip;
    const double* La;  // B-by-K or null
    double* L;
    double* S;
    double* nodes;
    double* Le;               // B-by-K or null: the extrinsic LLRs
    unsigned char* overflow;  // K: 1 where every metric of the column overflows
};

inline double clipped(double v, double clip) {
    return v > clip ? clip : v < -clip ? -clip : v;
}

// One column. With Le asked for and priors given, the search runs with the clip widened by
// the column's largest |La|: then Lw = the a-posteriori LLR clipped at w = clip + max|La| is
// exact wherever |Lw| < w, and where |Lw| = w the true |Lpost| >= w, so that
// s*(Lpost - La) >= w - |La| >= clip for the sign s of Lw: the extrinsic value is s*clip.
// L is Lw clipped at clip (exact, w >= clip), Le = clip(Lw - La) or s*clip. A column whose
// every metric overflows (y or R near the limits of double) has no answer: it is marked.
bool llr_column(const void* job, std::size_t k, void* scratch, const interrupt_check& check) {
    const auto& j = *static_cast<const llr_job*>(job);
    const std::size_t n = j.channels.n, B = j.B;
    if (n == 0) {
        j.nodes[k] = 0.0;
        return true;
    }
    const double* La = j.La == nullptr ? nullptr : j.La + k * B;
    double* L = j.L + k * B;
    double wide = j.clip;
    if (j.Le != nullptr && La != nullptr) {
        double most = 0.0;
        for (std::size_t b = 0; b < B; ++b) most = std::fmax(most, std::fabs(La[b]));
        wide = j.clip + most;
    }
    std::int64_t count = 0;
    const search_status status =
        find_bit_llrs(j.Y + k * n, channel_of(j.channels, k), j.levels, j.n0.at(k), wide, La, L,
                      j.S + k * n, &count, static_cast<double*>(scratch), &check);
    if (status == search_status::interrupted) return false;
    j.nodes[k] = static_cast<double>(count);
    if (status != search_status::found) {
        j.overflow[k] = 1;
        return true;
    }
    if (j.Le != nullptr) {
        double* Le = j.Le + k * B;
        for (std::size_t b = 0; b < B; ++b) {
            const double w = L[b];
            if (La == nullptr) {
                Le[b] = w;
            } else if (std::fabs(w) >= wide) {
                Le[b] = w > 0.0 ? j.clip : -j.clip;
            } else {
                Le[b] = clipped(w - La[b], j.clip);
            }
            L[b] = clipped(w, j.clip);
        }
    }
    return true;
}

// log2 of a power of two from 2 to 2^16, or 0.
std::int32_t pam_bits(double M) {
    int e = 0;
    const double f = std::frexp(M, &e);
    if (f != 0.5 || e < 2 || e > 17) return 0;
    return e - 1;
}

}  // namespace

void plinden_llr_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    host_set_error_prefix("latbox:plinden_llr");
    if ((nrhs != 5 && nrhs != 6) || nlhs > 4) {
        host_error_about("usage", "USAGE: [L,S,nodes,Le]=plinden_llr(Y,R,M,N0,clip,La)\n");
    }
    batch_channels channels = read_channels(prhs[1], "R");
    const std::size_t K = read_frame(prhs[0], channels, "Y");
    const std::size_t n = channels.n;
    require_real_double(prhs[2], "M");
    const std::size_t m_count = host_rows(prhs[2]) * host_cols(prhs[2]);
    const bool m_vector =
        host_ndims(prhs[2]) == 2 && (host_rows(prhs[2]) == 1 || host_cols(prhs[2]) == 1);
    if (m_count != 1 && !(m_vector && m_count == n)) {
        raise_about("M", "must be a scalar or have one element per row of R");
    }
    const batch_scalars n0 = read_scalars(prhs[3], K, "N0");
    const double clip = read_scalar(prhs[4], "clip");
    const host_array* La_array = nrhs == 6 ? prhs[5] : nullptr;
    if (La_array != nullptr) {
        require_real_double(La_array, "La");
        if (host_rows(La_array) * host_cols(La_array) == 0 && host_ndims(La_array) == 2) {
            La_array = nullptr;  // []: no priors
        }
    }

    const double* M = host_data(prhs[2]);
    char name[48];
    std::size_t B = 0;
    for (std::size_t i = 0; i < m_count; ++i) {
        const std::int32_t m = pam_bits(M[i]);
        if (m == 0) {
            raise_about(m_count == 1
                            ? "M"
                            : (std::snprintf(name, sizeof name, "M element %zu", i + 1), name),
                        "must be a power of two from 2 to 65536");
        }
        B += static_cast<std::size_t>(m);
    }
    if (m_count == 1) B *= n;
    const double* Y = host_data(prhs[0]);
    require_finite_columns(Y, n, K, "Y");
    require_triangular_pages(channels.R, n, channels.pages, below_diagonal::ignored, "R");
    for (std::size_t k = 0; k < (n0.per_column ? K : 1); ++k) {
        const double v = n0.at(k);
        if (!(v > 0.0) || !std::isfinite(v)) {
            raise_about(n0.per_column ? column_name(name, "N0", k) : "N0",
                        "must be positive and finite");
        }
    }
    if (std::isnan(clip) || clip < 0.0) raise_about("clip", "must be non-negative (Inf allowed)");
    const double* La = nullptr;
    if (La_array != nullptr) {
        if (host_ndims(La_array) != 2 || host_rows(La_array) != B || host_cols(La_array) != K) {
            raise_about("La",
                        "must be empty or have one row per bit and one column per column of Y");
        }
        La = host_data(La_array);
        require_finite_columns(La, B, K, "La");
    }

    // Outputs in order, only as many as requested (the host gives max(nlhs, 1) slots); the
    // search writes S and nodes anyway, into scratch when they are not asked for.
    const int outputs = nlhs > 1 ? nlhs : 1;
    plhs[0] = host_create_matrix(B, K);
    double* S = nullptr;
    double* nodes = nullptr;
    if (outputs >= 2) {
        plhs[1] = host_create_matrix(n, K);
        S = host_data(plhs[1]);
    } else {
        S = static_cast<double*>(host_calloc(n * K + 1, sizeof(double)));
    }
    if (outputs >= 3) {
        plhs[2] = host_create_matrix(1, K);
        nodes = host_data(plhs[2]);
    } else {
        nodes = static_cast<double*>(host_calloc(K + 1, sizeof(double)));
    }
    double* Le = nullptr;
    if (outputs >= 4) {
        plhs[3] = host_create_matrix(B, K);
        Le = host_data(plhs[3]);
    }
    auto* bits = static_cast<std::int32_t*>(host_calloc(n + 1, sizeof(std::int32_t)));
    for (std::size_t i = 0; i < n; ++i) bits[i] = pam_bits(M[m_count == 1 ? 0 : i]);
    auto* overflow = static_cast<unsigned char*>(host_calloc(K + 1, 1));
    const soft_levels levels{static_cast<std::int64_t>(n), bits, nullptr};
    const llr_job job{Y,  channels,           levels, B,     n0, clip,
                      La, host_data(plhs[0]), S,      nodes, Le, overflow};
    // about the hard search's cost when clipped, many times it unclipped
    const double per_node = 15.0 * static_cast<double>(n * n) + 20.0 * static_cast<double>(B);
    const double cost = (clip <= 20.0 ? 2.0 : 50.0) * per_node + 200.0;
    const std::size_t scratch =
        sizeof(double) * static_cast<std::size_t>(soft_scratch_size(static_cast<std::int64_t>(n),
                                                                    static_cast<std::int64_t>(B)));
    const bool finished =
        batch_run({batch_each<llr_column>, &job, K, scratch == 0 ? 8 : scratch, cost});
    std::size_t first = K;
    for (std::size_t k = 0; finished && k < K && first == K; ++k) {
        if (overflow[k] != 0) first = k;
    }
    host_free(overflow);
    host_free(bits);
    if (outputs < 2) host_free(S);
    if (outputs < 3) host_free(nodes);
    if (!finished) host_error_about("interrupted", interrupted_message);
    if (first < K) {
        char message[96];
        std::snprintf(message, sizeof message, "%s is too large for R: it overflows\n",
                      column_name(name, "Y", first));
        host_error_about("overflow", message);
    }
}
