// SPDX-License-Identifier: BSD-3-Clause
// [llr,idx,info]=mimo_detect(Y,H,N0,const,bits,method,Name,Value,...): bit LLRs and decided
// points of a frame of received vectors over complex (or real) channel pages.
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "channel/constellation.h"
#include "channel/kbest.h"
#include "channel/mimo_detector.h"
#include "gateways/args.h"
#include "gateways/batch.h"
#include "gateways/gateways.h"

namespace {

const char* const usage =
    "USAGE: [llr,idx,info]=mimo_detect(Y,H,N0,const,bits,method,Name,Value,...)\n";

// Real and imaginary parts of an input (im null: every imaginary part zero).
struct split_data {
    const double* re;
    const double* im;
};

split_data read_numeric(const host_array* a, const char* name) {
    if (host_is_real_double(a)) return {host_data(a), nullptr};
    if (host_is_complex_double(a)) return {host_data(a), host_imag_data(a)};
    raise_about(name, "must be a double array (real or complex)");
}

void require_finite_split(const split_data& d, std::size_t offset, std::size_t count,
                          const char* name) {
    require_finite(d.re + offset, count, name);
    if (d.im != nullptr) require_finite(d.im + offset, count, name);
}

struct method_name {
    const char* text;
    mimo_method method;
};
const method_name methods[] = {
    {"maxlog", mimo_method::maxlog}, {"ml", mimo_method::ml}, {"kbest", mimo_method::kbest},
    {"mmse", mimo_method::mmse},     {"zf", mimo_method::zf}, {"sic", mimo_method::sic},
    {"lr", mimo_method::lr},
};

const char* text_of(mimo_method m) {
    for (const method_name& n : methods) {
        if (n.method == m) return n.text;
    }
    return "";
}

// Tree methods report their nodes.
bool counts_nodes(mimo_method m) {
    return m == mimo_method::maxlog || m == mimo_method::ml || m == mimo_method::kbest;
}

enum unit_fault : int { unit_ok = 0, unit_rank = 1, unit_page_overflow = 2, unit_column = 3 };

struct mimo_job {
    mimo_problem problem;
    split_data Y, H;
    std::size_t nr, nt, K, pages, per_page;
    std::size_t units_per_page, columns_per_unit;
    batch_scalars n0;
    const double* prior;
    double* llr;
    double* idx;
    double* nodes;           // null unless the method counts them
    bool filter_per_column;  // mmse with one N0 per column: the filter of every column
    std::size_t page_doubles, column_doubles;
    std::int32_t* fault;      // one per unit: unit_fault
    std::uint32_t* fault_at;  // the column of a unit_column fault
};

// A unit: some columns of one page, the page prepared first.
bool mimo_unit(const void* job, std::size_t u, void* scratch, const interrupt_check& check) {
    const auto& j = *static_cast<const mimo_job*>(job);
    const mimo_problem& p = j.problem;
    const std::size_t page = u / j.units_per_page;
    const std::size_t first = page * j.per_page + (u % j.units_per_page) * j.columns_per_unit;
    const std::size_t last = std::min(first + j.columns_per_unit, (page + 1) * j.per_page);
    auto* Hc = static_cast<cplx*>(scratch);
    cplx* yc = Hc + j.nr * j.nt;
    double* block = reinterpret_cast<double*>(yc + j.nr);
    double* work = block + j.page_doubles;
    const std::size_t h0 = page * j.nr * j.nt;
    for (std::size_t i = 0; i < j.nr * j.nt; ++i) {
        Hc[i] = cplx(j.H.re[h0 + i], j.H.im != nullptr ? j.H.im[h0 + i] : 0.0);
    }
    j.fault[u] = unit_ok;
    for (std::size_t k = first; k < last; ++k) {
        if (k == first || j.filter_per_column) {
            const page_status s = mimo_prepare_page(p, Hc, j.n0.at(k), block, work, &check);
            if (s == page_status::interrupted) return false;
            if (s != page_status::ready) {
                j.fault[u] = s == page_status::rank_deficient ? unit_rank : unit_page_overflow;
                return true;
            }
        }
        for (std::size_t i = 0; i < j.nr; ++i) {
            const std::size_t e = k * j.nr + i;
            yc[i] = cplx(j.Y.re[e], j.Y.im != nullptr ? j.Y.im[e] : 0.0);
        }
        const std::size_t B = j.nt * static_cast<std::size_t>(p.bits);
        const search_status s = mimo_detect_column(
            p, block, yc, j.n0.at(k), j.prior != nullptr ? j.prior + k * B : nullptr, j.llr + k * B,
            j.idx + k * j.nt, j.nodes != nullptr ? j.nodes + k : nullptr, work, &check);
        if (s == search_status::interrupted) return false;
        if (s != search_status::found) {
            j.fault[u] = unit_column;
            j.fault_at[u] = static_cast<std::uint32_t>(k);
            return true;
        }
    }
    return true;
}

bool is_power_of_two(std::size_t M) {
    return M != 0 && (M & (M - 1)) == 0;
}

}  // namespace

void mimo_detect_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    if (nrhs < 6 || nlhs > 3 || nrhs % 2 != 0) host_error(usage);
    char name[48];
    // Y, H: the frame and the channel pages
    const split_data Y = read_numeric(prhs[0], "Y");
    const split_data H = read_numeric(prhs[1], "H");
    if (host_ndims(prhs[0]) != 2) raise_about("Y", "must be an Nr-by-K matrix");
    if (host_ndims(prhs[1]) > 3)
        raise_about("H", "must be an Nr-by-Nt matrix or Nr-by-Nt-by-P array");
    const bool complex_model = Y.im != nullptr || H.im != nullptr;
    const std::size_t nr = host_rows(prhs[0]);
    const std::size_t K = host_cols(prhs[0]);
    if (host_dim(prhs[1], 0) != nr) raise_about("H", "must have as many rows as Y (Nr)");
    const std::size_t nt = host_dim(prhs[1], 1);
    const std::size_t pages = host_dim(prhs[1], 2);
    if (nt == 0) raise_about("H", "must have at least one column (transmit antenna)");
    if (pages == 0) raise_about("H", "must have at least one page");
    if (K % pages != 0) {
        raise_about("Y", "must have a number of columns that is a multiple of the pages of H");
    }
    const batch_scalars n0 = read_scalars(prhs[2], K, "N0");
    for (std::size_t k = 0; k < (n0.per_column ? K : 1); ++k) {
        const double v = n0.at(k);
        if (!std::isfinite(v) || !(v > 0.0)) {
            raise_about(n0.per_column ? column_name(name, "N0", k) : "N0",
                        "must be positive and finite");
        }
    }
    // const, bits
    const split_data cst = read_numeric(prhs[3], "const");
    const std::size_t M = host_rows(prhs[3]) * host_cols(prhs[3]);
    if (host_ndims(prhs[3]) != 2 || (host_rows(prhs[3]) != 1 && host_cols(prhs[3]) != 1)) {
        raise_about("const", "must be a vector of M points");
    }
    if (M < 2 || M > 256 || !is_power_of_two(M)) {
        raise_about("const", "must have M points, M a power of two from 2 to 256");
    }
    require_finite_split(cst, 0, M, "const");
    if (!complex_model && cst.im != nullptr) {
        raise_about("const", "must be real (PAM) when Y and H are real");
    }
    int bits = 0;
    while ((std::size_t{1} << bits) < M) ++bits;
    const host_array* table = prhs[4];
    const bool natural = host_rows(table) * host_cols(table) == 0;
    if (!natural) {
        require_real_double(table, "bits");
        if (host_ndims(table) != 2 || host_rows(table) != M ||
            host_cols(table) != static_cast<std::size_t>(bits)) {
            raise_about("bits", "must be M-by-log2(M) (one label per point) or []");
        }
        const double* b = host_data(table);
        for (std::size_t i = 0; i < M * bits; ++i) {
            if (b[i] != 0.0 && b[i] != 1.0) raise_about("bits", "must hold only 0 and 1");
        }
    }
    // method and options
    char text[16];
    if (!host_read_string(prhs[5], text, sizeof text)) {
        raise_about("method", "must be 'maxlog', 'ml', 'kbest', 'mmse', 'zf', 'sic' or 'lr'");
    }
    const method_name* found = nullptr;
    for (const method_name& m : methods) {
        if (strcasecmp(text, m.text) == 0) found = &m;
    }
    if (found == nullptr) {
        raise_about("method", "must be 'maxlog', 'ml', 'kbest', 'mmse', 'zf', 'sic' or 'lr'");
    }
    const mimo_method method = found->method;
    double clip = 20.0;
    double list = 16.0;
    bool sorted = true;
    const host_array* prior_arg = nullptr;
    for (int a = 6; a < nrhs; a += 2) {
        char option[16];
        if (!host_read_string(prhs[a], option, sizeof option)) {
            host_error(
                "mimo_detect options must be Name, Value pairs: 'clip', 'prior', 'K' "
                "or 'ordering'\n");
        }
        const host_array* value = prhs[a + 1];
        if (strcasecmp(option, "clip") == 0) {
            clip = read_scalar(value, "clip");
            if (std::isnan(clip) || clip < 0.0)
                raise_about("clip", "must be 0 or more (Inf allowed)");
        } else if (strcasecmp(option, "K") == 0) {
            list = read_scalar(value, "K");
            if (!(list >= 1.0 && list <= 1048576.0) || list != std::floor(list)) {
                raise_about("K", "must be a positive integer (at most 2^20)");
            }
        } else if (strcasecmp(option, "prior") == 0) {
            prior_arg = value;
        } else if (strcasecmp(option, "ordering") == 0) {
            char order[8];
            if (host_read_string(value, order, sizeof order) && strcasecmp(order, "sqrd") == 0) {
                sorted = true;
            } else if (host_read_string(value, order, sizeof order) &&
                       strcasecmp(order, "none") == 0) {
                sorted = false;
            } else {
                raise_about("ordering", "must be 'sqrd' or 'none'");
            }
        } else {
            char message[80];
            std::snprintf(message, sizeof message,
                          "mimo_detect has no option '%s' (known: clip, prior, K, ordering)\n",
                          option);
            host_error(message);
        }
    }
    const std::size_t B = nt * static_cast<std::size_t>(bits);
    const double* prior = nullptr;
    if (prior_arg != nullptr && host_rows(prior_arg) * host_cols(prior_arg) != 0) {
        if (method != mimo_method::maxlog && method != mimo_method::kbest) {
            raise_about("prior", "is taken by 'maxlog' and 'kbest' only");
        }
        require_real_double(prior_arg, "prior");
        if (host_ndims(prior_arg) != 2 || host_rows(prior_arg) != B || host_cols(prior_arg) != K) {
            raise_about("prior", "must be (Nt*log2(M))-by-K, like llr");
        }
        prior = host_data(prior_arg);
        for (std::size_t k = 0; k < K; ++k)
            require_finite(prior + k * B, B, column_name(name, "prior", k));
    }
    if ((mimo_method_uses_qr(method) || method == mimo_method::zf) && nr < nt) {
        char message[96];
        std::snprintf(message, sizeof message,
                      "H must have at least as many rows as columns (Nr >= Nt) for '%s'\n",
                      text_of(method));
        host_error(message);
    }
    for (std::size_t k = 0; k < K; ++k) {
        require_finite_split(Y, k * nr, nr, column_name(name, "Y", k));
    }
    for (std::size_t p = 0; p < pages; ++p) {
        require_finite_split(H, p * nr * nt, nr * nt, pages == 1 ? "H" : page_name(name, "H", p));
    }

    // The constellation: points, labels, and whether the real-valued search applies.
    auto* points = static_cast<cplx*>(host_calloc(M, sizeof(cplx)));
    auto* labels = static_cast<std::uint32_t*>(host_calloc(M, sizeof(std::uint32_t)));
    double es = 0.0;
    for (std::size_t m = 0; m < M; ++m) {
        points[m] = cplx(cst.re[m], cst.im != nullptr ? cst.im[m] : 0.0);
        es = es + cabs2(points[m]);
        std::uint32_t l = static_cast<std::uint32_t>(m);
        if (!natural) {
            l = 0;
            for (int c = 0; c < bits; ++c) l = (l << 1) | (host_data(table)[m + c * M] != 0.0);
        }
        labels[m] = l;
    }
    es = es / static_cast<double>(M);
    {
        // labels must be a bijection onto the 2^bits patterns: a mark per pattern
        bool seen[256] = {};
        for (std::size_t m = 0; m < M; ++m) {
            if (seen[labels[m]]) {
                host_free(labels);
                host_free(points);
                raise_about("bits", "must give every point a different label (distinct rows)");
            }
            seen[labels[m]] = true;
        }
        // and the points distinct: a point given twice would carry two labels
        for (std::size_t m = 1; m < M; ++m) {
            for (std::size_t j = 0; j < m; ++j) {
                if (points[m] == points[j]) {
                    host_free(labels);
                    host_free(points);
                    raise_about("const", "must have M distinct points");
                }
            }
        }
    }
    auto* grid = static_cast<constellation_grid*>(host_calloc(1, sizeof(constellation_grid)));
    analyse_constellation(reinterpret_cast<const double*>(points), static_cast<int>(M), labels,
                          bits, complex_model, grid);
    if (method == mimo_method::lr && !grid->grid) {
        host_free(grid);
        host_free(labels);
        host_free(points);
        raise_about("const", "must be square QAM or PAM on a uniform grid for 'lr'");
    }
    const bool real_path = (method == mimo_method::maxlog && grid->separable) ||
                           ((method == mimo_method::ml || method == mimo_method::lr) && grid->grid);
    const std::size_t levels = complex_model ? 2 * nt : nt;
    auto* level_bits = static_cast<std::int32_t*>(host_calloc(levels, sizeof(std::int32_t)));
    auto* level_labels =
        static_cast<std::uint32_t*>(host_calloc(levels * 16, sizeof(std::uint32_t)));
    mimo_problem problem{method,
                         complex_model,
                         static_cast<std::int64_t>(nr),
                         static_cast<std::int64_t>(nt),
                         sorted,
                         static_cast<int>(M),
                         bits,
                         points,
                         labels,
                         grid,
                         real_path,
                         es,
                         clip,
                         static_cast<std::int64_t>(list),
                         level_bits,
                         level_labels};
    if (real_path) mimo_build_levels(problem, level_bits, level_labels);

    // outputs
    host_array* llr = host_create_matrix(B, K);
    plhs[0] = llr;
    host_array* idx = host_create_matrix(nt, K);
    if (nlhs >= 2) plhs[1] = idx;
    host_array* nodes =
        host_create_matrix(counts_nodes(method) ? 1 : 0, counts_nodes(method) ? K : 0);
    const char* fields[] = {"method", "nodes", "search", "ordering"};
    host_array* info = host_create_struct(fields, 4);
    if (nlhs >= 3) plhs[2] = info;

    const std::size_t per_page = K / pages;
    const std::size_t columns_per_unit =
        std::max<std::size_t>(1, std::min<std::size_t>(per_page, 64));
    const std::size_t units_per_page =
        per_page == 0 ? 0 : (per_page + columns_per_unit - 1) / columns_per_unit;
    const std::size_t units = units_per_page * pages;
    auto* fault = static_cast<std::int32_t*>(host_calloc(units, sizeof(std::int32_t)));
    auto* fault_at = static_cast<std::uint32_t*>(host_calloc(units, sizeof(std::uint32_t)));
    mimo_job job{problem,
                 Y,
                 H,
                 nr,
                 nt,
                 K,
                 pages,
                 per_page,
                 units_per_page,
                 columns_per_unit,
                 n0,
                 prior,
                 host_data(llr),
                 host_data(idx),
                 counts_nodes(method) ? host_data(nodes) : nullptr,
                 method == mimo_method::mmse && n0.per_column,
                 static_cast<std::size_t>(mimo_page_size(problem)),
                 static_cast<std::size_t>(mimo_column_scratch(problem)),
                 fault,
                 fault_at};
    const std::size_t scratch_bytes =
        sizeof(cplx) * (nr * nt + nr) + sizeof(double) * (job.page_doubles + job.column_doubles);
    const double n_levels = static_cast<double>(levels);
    const double cost =
        200.0 + 30.0 * n_levels * n_levels * (real_path ? 4.0 : static_cast<double>(M) / 4.0);
    const bool ended =
        batch_run({batch_each<mimo_unit>, &job, units, scratch_bytes, cost * columns_per_unit});
    // the first fault in column order
    int kind = unit_ok;
    std::size_t where = 0;
    for (std::size_t u = 0; ended && u < units && kind == unit_ok; ++u) {
        kind = fault[u];
        where = kind == unit_column ? fault_at[u] : u / units_per_page;
    }
    host_free(fault_at);
    host_free(fault);
    host_free(level_labels);
    host_free(level_bits);
    host_free(grid);
    host_free(labels);
    host_free(points);
    if (!ended) host_error(interrupted_message);
    const char* page = pages == 1 ? "H" : page_name(name, "H", where);
    if (kind == unit_rank) {
        raise_about(page, method == mimo_method::mmse ? "gives a singular MMSE filter"
                                                      : "must have full column rank");
    }
    if (kind == unit_page_overflow) raise_about(page, "is too large: its factors overflow");
    if (kind == unit_column)
        raise_about(column_name(name, "Y", where), "is too large for H: it overflows");
    host_set_field(info, "method", host_create_string(text_of(method)));
    host_set_field(info, "nodes", nodes);
    host_set_field(info, "search",
                   host_create_string(!mimo_method_uses_qr(method) ? "linear"
                                      : real_path                  ? "real"
                                                                   : "complex"));
    host_set_field(info, "ordering", host_create_string(sorted ? "sqrd" : "none"));
}
