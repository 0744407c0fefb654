// SPDX-License-Identifier: BSD-3-Clause
// [llr,idx,info]=mimo_detect(Y,H,N0,const,bits,method,Name,Value,...): bit LLRs and decided
// points of a frame of received vectors over complex (or real) channel pages.
#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "channel/mimo_detector.h"
#include "gateways/args.h"
#include "gateways/batch.h"
#include "gateways/gateways.h"
#include "gateways/mimo_setup.h"

namespace {

const char* const usage =
    "USAGE: [llr,idx,info]=mimo_detect(Y,H,N0,const,bits,method,Name,Value,...)\n";

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
    double* filled;          // kbest: the filled bits of every column, else null
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
            j.idx + k * j.nt, j.nodes != nullptr ? j.nodes + k : nullptr, work, &check,
            j.filled != nullptr ? j.filled + k : nullptr);
        if (s == search_status::interrupted) return false;
        if (s != search_status::found) {
            j.fault[u] = unit_column;
            j.fault_at[u] = static_cast<std::uint32_t>(k);
            return true;
        }
    }
    return true;
}

struct mimo_fault {
    int kind = unit_ok;
    std::size_t where = 0;  // the page, or the column of a unit_column fault
};

// The first fault in column order (units are in column order).
mimo_fault first_fault(const mimo_job& j, std::size_t units) {
    mimo_fault f;
    for (std::size_t u = 0; u < units && f.kind == unit_ok; ++u) {
        f.kind = j.fault[u];
        f.where = f.kind == unit_column ? j.fault_at[u] : u / j.units_per_page;
    }
    return f;
}

// Raises the fault's message; returns when there is none.
void raise_fault(const mimo_fault& f, std::size_t pages, mimo_method method) {
    char name[48];
    const char* page = pages == 1 ? "H" : page_name(name, "H", f.where);
    if (f.kind == unit_rank) {
        raise_about(page, method == mimo_method::mmse ? "gives a singular MMSE filter"
                                                      : "must have full column rank");
    }
    if (f.kind == unit_page_overflow) raise_about(page, "is too large: its factors overflow");
    if (f.kind == unit_column) {
        char message[96];
        std::snprintf(message, sizeof message, "%s is too large for H: it overflows\n",
                      column_name(name, "Y", f.where));
        host_error_about("overflow", message);
    }
}

host_array* info_struct(const mimo_problem& p, host_array* nodes, host_array* filled) {
    const char* fields[] = {"method", "nodes", "search", "ordering", "output", "filled"};
    host_array* info = host_create_struct(fields, 6);
    const mimo_method_traits& t = mimo_traits(p.method);
    host_set_field(info, "method", host_create_string(t.name));
    host_set_field(info, "nodes", nodes);
    host_set_field(info, "search", host_create_string(p.real_path ? "real" : t.search));
    host_set_field(info, "ordering", host_create_string(p.sorted ? "sqrd" : "none"));
    host_set_field(info, "output", host_create_string(p.extrinsic ? "extrinsic" : "posterior"));
    host_set_field(info, "filled", filled);
    return info;
}

}  // namespace

void mimo_detect_gateway(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]) {
    host_set_error_prefix("latbox:mimo_detect");
    if (nrhs < 6 || nlhs > 3 || nrhs % 2 != 0) host_error_about("usage", usage);
    const mimo_frame f = read_mimo_frame(prhs);
    const mimo_const_args cst = check_mimo_const(prhs[3], prhs[4]);
    // a complex constellation means the complex model, whatever Y and H are stored as
    const bool complex_model = f.Y.im != nullptr || f.H.im != nullptr || cst.points.im != nullptr;
    const mimo_options options = read_mimo_options(nrhs, prhs);
    const mimo_method_traits& traits = *options.traits;
    const std::size_t B = f.nt * static_cast<std::size_t>(cst.bits);
    const double* prior = read_mimo_prior(options, B, f.K);
    check_mimo_values(f, options);
    mimo_constellation c = read_mimo_constellation(cst, complex_model, options, f.nt);
    const mimo_problem problem = mimo_problem_of(f, options, c);

    // outputs (every column writes its LLRs and points: no zeros first, and the pages of
    // memory are first touched by the workers, on every core)
    host_array* llr = host_create_unset(B, f.K, 1);
    plhs[0] = llr;
    host_array* idx = host_create_unset(f.nt, f.K, 1);
    if (nlhs >= 2) plhs[1] = idx;
    host_array* nodes =
        host_create_matrix(traits.counts_nodes ? 1 : 0, traits.counts_nodes ? f.K : 0);
    host_array* filled = host_create_matrix(traits.takes_list ? 1 : 0, traits.takes_list ? f.K : 0);

    const std::size_t per_page = f.K / f.pages;
    const std::size_t columns_per_unit =
        std::max<std::size_t>(1, std::min<std::size_t>(per_page, 64));
    const std::size_t units_per_page =
        per_page == 0 ? 0 : (per_page + columns_per_unit - 1) / columns_per_unit;
    const std::size_t units = units_per_page * f.pages;
    auto* fault = static_cast<std::int32_t*>(host_calloc(units, sizeof(std::int32_t)));
    auto* fault_at = static_cast<std::uint32_t*>(host_calloc(units, sizeof(std::uint32_t)));
    mimo_job job{problem,
                 f.Y,
                 f.H,
                 f.nr,
                 f.nt,
                 f.K,
                 f.pages,
                 per_page,
                 units_per_page,
                 columns_per_unit,
                 f.n0,
                 prior,
                 host_data(llr),
                 host_data(idx),
                 traits.counts_nodes ? host_data(nodes) : nullptr,
                 traits.takes_list ? host_data(filled) : nullptr,
                 problem.method == mimo_method::mmse && f.n0.per_column,
                 static_cast<std::size_t>(mimo_page_size(problem)),
                 static_cast<std::size_t>(mimo_column_scratch(problem)),
                 fault,
                 fault_at};
    const std::size_t scratch_bytes = sizeof(cplx) * (f.nr * f.nt + f.nr) +
                                      sizeof(double) * (job.page_doubles + job.column_doubles);
    const double levels = static_cast<double>(mimo_real_levels(problem));
    const double cost =
        200.0 + 30.0 * levels * levels * (problem.real_path ? 4.0 : static_cast<double>(c.M) / 4.0);
    const bool ended =
        batch_run({batch_each<mimo_unit>, &job, units, scratch_bytes, cost * columns_per_unit});
    // the faults are read before the scratch goes; the messages need none of it
    mimo_fault first = ended ? first_fault(job, units) : mimo_fault{};
    host_free(fault_at);
    host_free(fault);
    mimo_free_constellation(c);
    if (!ended) host_error_about("interrupted", interrupted_message);
    raise_fault(first, f.pages, problem.method);
    host_array* info = info_struct(problem, nodes, filled);
    if (nlhs >= 3) plhs[2] = info;
}
