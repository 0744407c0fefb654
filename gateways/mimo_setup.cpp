// SPDX-License-Identifier: BSD-3-Clause
// mimo_detect's arguments read and checked (see mimo_setup.h).
#include "gateways/mimo_setup.h"

#include <strings.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "gateways/args.h"

namespace {

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

bool all_finite_split(const split_data& d, std::size_t offset, std::size_t count) {
    return all_finite(d.re + offset, count) &&
           (d.im == nullptr || all_finite(d.im + offset, count));
}

bool is_power_of_two(std::size_t M) {
    return M != 0 && (M & (M - 1)) == 0;
}

// A numeric option's value: a real scalar of any numeric class (int32(4) as well as 4), or
// the first element of a real double array, with read_scalar's messages for anything else.
double read_number(const host_array* a, const char* name) {
    double v;
    if (host_read_real_scalar(a, &v)) return v;
    return read_scalar(a, name);
}

const char* const method_list =
    "must be 'maxlog', 'app', 'ml', 'kbest', 'mmse', 'zf', 'sic', 'lr', 'mmse-pic' or 'ep'";

}  // namespace

mimo_frame read_mimo_frame(const host_array* const* prhs) {
    mimo_frame f{};
    f.Y = read_numeric(prhs[0], "Y");
    f.H = read_numeric(prhs[1], "H");
    if (host_ndims(prhs[0]) != 2) raise_about("Y", "must be an Nr-by-K matrix");
    if (host_ndims(prhs[1]) > 3)
        raise_about("H", "must be an Nr-by-Nt matrix or Nr-by-Nt-by-P array");
    f.nr = host_rows(prhs[0]);
    f.K = host_cols(prhs[0]);
    if (host_dim(prhs[1], 0) != f.nr) raise_about("H", "must have as many rows as Y (Nr)");
    f.nt = host_dim(prhs[1], 1);
    f.pages = host_dim(prhs[1], 2);
    if (f.nt == 0) raise_about("H", "must have at least one column (transmit antenna)");
    if (f.pages == 0) raise_about("H", "must have at least one page");
    if (f.K % f.pages != 0) {
        raise_about("Y", "must have a number of columns that is a multiple of the pages of H");
    }
    f.n0 = read_scalars(prhs[2], f.K, "N0");
    char name[48];
    for (std::size_t k = 0; k < (f.n0.per_column ? f.K : 1); ++k) {
        const double v = f.n0.at(k);
        if (!std::isfinite(v) || !(v > 0.0)) {
            raise_about(f.n0.per_column ? column_name(name, "N0", k) : "N0",
                        "must be positive and finite");
        }
    }
    return f;
}

mimo_const_args check_mimo_const(const host_array* cst, const host_array* table) {
    mimo_const_args a{};
    a.points = read_numeric(cst, "const");
    a.M = host_rows(cst) * host_cols(cst);
    if (host_ndims(cst) != 2 || (host_rows(cst) != 1 && host_cols(cst) != 1)) {
        raise_about("const", "must be a vector of M points");
    }
    if (a.M < 2 || a.M > 256 || !is_power_of_two(a.M)) {
        raise_about("const", "must have M points, M a power of two from 2 to 256");
    }
    require_finite_split(a.points, 0, a.M, "const");
    while ((std::size_t{1} << a.bits) < a.M) ++a.bits;
    a.table = host_rows(table) * host_cols(table) == 0 ? nullptr : table;
    if (a.table != nullptr) {
        require_real_double(table, "bits");
        if (host_ndims(table) != 2 || host_rows(table) != a.M ||
            host_cols(table) != static_cast<std::size_t>(a.bits)) {
            raise_about("bits", "must be M-by-log2(M) (one label per point) or []");
        }
        const double* b = host_data(table);
        for (std::size_t i = 0; i < a.M * a.bits; ++i) {
            if (b[i] != 0.0 && b[i] != 1.0) raise_about("bits", "must hold only 0 and 1");
        }
    }
    return a;
}

namespace {

const char* const option_list = "clip, prior, output, tol, K, fill, ordering, iterations, damping";

// A word option: the index of value among the words, or raises "<name> must be <must>".
int read_word(const host_array* value, const char* name, const char* const* words, int count,
              const char* must) {
    char word[16];
    if (host_read_string(value, word, sizeof word)) {
        for (int w = 0; w < count; ++w) {
            if (strcasecmp(word, words[w]) == 0) return w;
        }
    }
    raise_about(name, must);
}

// An option the method has no use for.
[[noreturn]] void raise_unused(const char* option, const mimo_method_traits& t, const char* who) {
    char text[128];
    std::snprintf(text, sizeof text, "has no use for '%s' (%s)", t.name, who);
    raise_about(option, text);
}

}  // namespace

mimo_options read_mimo_options(int nrhs, const host_array* const* prhs) {
    mimo_options o;
    char text[16];
    if (!host_read_string(prhs[5], text, sizeof text)) raise_about("method", method_list);
    for (const mimo_method_traits& m : mimo_methods) {
        if (strcasecmp(text, m.name) == 0) o.traits = &m;
    }
    if (o.traits == nullptr) raise_about("method", method_list);
    const mimo_method_traits& t = *o.traits;
    bool given_list = false, given_fill = false, given_ordering = false, given_output = false;
    bool given_iterations = false, given_damping = false, given_tol = false;
    for (int a = 6; a < nrhs; a += 2) {
        char option[64];
        if (!host_read_string(prhs[a], option, sizeof option)) {
            char message[128];
            std::snprintf(message, sizeof message,
                          "options must be Name, Value pairs, the names among %s\n", option_list);
            host_error_about("option", message);
        }
        const host_array* value = prhs[a + 1];
        if (strcasecmp(option, "clip") == 0) {
            o.clip = read_number(value, "clip");
            if (std::isnan(o.clip) || o.clip < 0.0)
                raise_about("clip", "must be 0 or more (Inf allowed)");
        } else if (strcasecmp(option, "K") == 0) {
            o.list = read_number(value, "K");
            if (!(o.list >= 1.0 && o.list <= 1048576.0) || o.list != std::floor(o.list)) {
                raise_about("K", "must be a positive integer (at most 2^20)");
            }
            given_list = true;
        } else if (strcasecmp(option, "prior") == 0) {
            o.prior = value;
        } else if (strcasecmp(option, "ordering") == 0) {
            const char* const words[] = {"sqrd", "none"};
            o.sorted = read_word(value, "ordering", words, 2, "must be 'sqrd' or 'none'") == 0;
            given_ordering = true;
        } else if (strcasecmp(option, "output") == 0) {
            const char* const words[] = {"posterior", "extrinsic"};
            o.extrinsic =
                read_word(value, "output", words, 2, "must be 'posterior' or 'extrinsic'") == 1;
            given_output = true;
        } else if (strcasecmp(option, "fill") == 0) {
            const char* const words[] = {"flip", "clip"};
            o.fill = read_word(value, "fill", words, 2, "must be 'flip' or 'clip'") == 0;
            given_fill = true;
        } else if (strcasecmp(option, "iterations") == 0) {
            const double v = read_number(value, "iterations");
            if (!(v >= 1.0 && v <= 100.0) || v != std::floor(v)) {
                raise_about("iterations", "must be a positive integer (at most 100)");
            }
            o.iterations = static_cast<int>(v);
            given_iterations = true;
        } else if (strcasecmp(option, "tol") == 0) {
            o.tol = read_number(value, "tol");
            if (!(o.tol >= 0.0) || !std::isfinite(o.tol))
                raise_about("tol", "must be 0 or more and finite");
            given_tol = true;
        } else if (strcasecmp(option, "damping") == 0) {
            o.damping = read_number(value, "damping");
            if (!(o.damping >= 0.0 && o.damping < 1.0)) {
                raise_about("damping", "must be in [0, 1)");
            }
            given_damping = true;
        } else {
            char message[160];
            std::snprintf(message, sizeof message, "unknown option '%s' (known: %s)\n", option,
                          option_list);
            host_error_about("option", message);
        }
    }
    if (given_list && !t.takes_list) raise_unused("K", t, "'kbest' takes it");
    if (given_fill && !t.takes_list) raise_unused("fill", t, "'kbest' takes it");
    if (given_ordering && !t.uses_qr) raise_unused("ordering", t, "the QR methods take it");
    if (given_output && !t.soft) raise_unused("output", t, "the soft methods take it");
    if (given_iterations && !t.takes_iterations) {
        raise_unused("iterations", t, "'mmse-pic' and 'ep' take it");
    }
    if (given_damping && !t.takes_damping) raise_unused("damping", t, "'ep' takes it");
    if (given_tol && !t.takes_tol) raise_unused("tol", t, "'app' takes it");
    if (o.iterations == 0) o.iterations = t.method == mimo_method::ep ? 10 : 1;
    return o;
}

const double* read_mimo_prior(const mimo_options& o, std::size_t B, std::size_t K) {
    const host_array* a = o.prior;
    if (a == nullptr || host_rows(a) * host_cols(a) == 0) return nullptr;
    if (!o.traits->takes_prior) {
        raise_about("prior",
                    "is taken by the soft methods only ('maxlog', 'app', 'kbest', 'mmse', 'zf', "
                    "'mmse-pic', 'ep')");
    }
    require_real_double(a, "prior");
    if (host_ndims(a) != 2 || host_rows(a) != B || host_cols(a) != K) {
        raise_about("prior", "must be (Nt*log2(M))-by-K, like llr");
    }
    const double* prior = host_data(a);
    if (!any_nan(prior, B * K)) return prior;
    char name[48];
    for (std::size_t k = 0; k < K; ++k) {
        for (std::size_t b = 0; b < B; ++b) {
            // +-Inf is a known bit; NaN says nothing
            if (std::isnan(prior[k * B + b])) {
                raise_about(column_name(name, "prior", k), "must not contain NaN");
            }
        }
    }
    return prior;
}

void check_mimo_values(const mimo_frame& f, const mimo_options& o) {
    if (o.traits->needs_tall && f.nr < f.nt) {
        char message[96];
        std::snprintf(message, sizeof message,
                      "H must have at least as many rows as columns (Nr >= Nt) for '%s'\n",
                      o.traits->name);
        host_error_about("H", message);
    }
    // the names only for a message: these checks cost what the values do
    // the whole of each at once; column by column (for the message) only after a fault
    char name[48];
    if (!all_finite_split(f.Y, 0, f.K * f.nr)) {
        for (std::size_t k = 0; k < f.K; ++k) {
            if (all_finite_split(f.Y, k * f.nr, f.nr)) continue;
            require_finite_split(f.Y, k * f.nr, f.nr, column_name(name, "Y", k));
        }
    }
    const std::size_t page = f.nr * f.nt;
    if (!all_finite_split(f.H, 0, f.pages * page)) {
        for (std::size_t p = 0; p < f.pages; ++p) {
            if (all_finite_split(f.H, p * page, page)) continue;
            require_finite_split(f.H, p * page, page, f.pages == 1 ? "H" : page_name(name, "H", p));
        }
    }
}

void mimo_free_constellation(mimo_constellation& c) {
    host_free(c.block);
    c = mimo_constellation{};
}

mimo_constellation read_mimo_constellation(const mimo_const_args& a, bool complex_model,
                                           const mimo_options& o, std::size_t nt) {
    mimo_constellation c;
    c.M = a.M;
    c.bits = a.bits;
    c.complex_model = complex_model;
    const std::size_t levels = complex_model ? 2 * nt : nt;
    // one block: points, the grid, labels, level labels (at most 256 values a level), bits
    const std::size_t bytes = sizeof(cplx) * a.M + sizeof(constellation_grid) +
                              sizeof(std::uint32_t) * (a.M + levels * 256) +
                              sizeof(std::int32_t) * levels;
    auto* base = static_cast<unsigned char*>(host_calloc(bytes, 1));
    c.block = base;
    c.points = reinterpret_cast<cplx*>(base);
    c.grid = reinterpret_cast<constellation_grid*>(base + sizeof(cplx) * a.M);
    c.labels =
        reinterpret_cast<std::uint32_t*>(base + sizeof(cplx) * a.M + sizeof(constellation_grid));
    c.level_labels = c.labels + a.M;
    c.level_bits = reinterpret_cast<std::int32_t*>(c.level_labels + levels * 256);
    double es = 0.0;
    const double* table = a.table != nullptr ? host_data(a.table) : nullptr;
    for (std::size_t m = 0; m < a.M; ++m) {
        c.points[m] = cplx(a.points.re[m], a.points.im != nullptr ? a.points.im[m] : 0.0);
        es = es + cabs2(c.points[m]);
        std::uint32_t l = static_cast<std::uint32_t>(m);
        if (table != nullptr) {
            l = 0;
            for (int b = 0; b < a.bits; ++b) l = (l << 1) | (table[m + b * a.M] != 0.0);
        }
        c.labels[m] = l;
    }
    c.es = es / static_cast<double>(a.M);
    // labels must be a bijection onto the 2^bits patterns: a mark per pattern
    bool seen[256] = {};
    for (std::size_t m = 0; m < a.M; ++m) {
        if (seen[c.labels[m]]) {
            mimo_free_constellation(c);
            raise_about("bits", "must give every point a different label (distinct rows)");
        }
        seen[c.labels[m]] = true;
    }
    // and the points distinct: a point given twice would carry two labels
    for (std::size_t m = 1; m < a.M; ++m) {
        for (std::size_t j = 0; j < m; ++j) {
            if (c.points[m] == c.points[j]) {
                mimo_free_constellation(c);
                raise_about("const", "must have M distinct points");
            }
        }
    }
    analyse_constellation(reinterpret_cast<const double*>(c.points), static_cast<int>(a.M),
                          c.labels, a.bits, complex_model, c.grid);
    if (o.traits->needs_separable && !c.grid->separable) {
        mimo_free_constellation(c);
        raise_about("const",
                    "must be square QAM or PAM on a uniform grid, its labels split into bits of "
                    "the real and of the imaginary part, for 'ep'");
    }
    if (o.traits->needs_grid && !c.grid->grid) {
        mimo_free_constellation(c);
        raise_about("const", "must be square QAM or PAM on a uniform grid for 'lr'");
    }
    return c;
}

mimo_problem mimo_problem_of(const mimo_frame& f, const mimo_options& o,
                             const mimo_constellation& c) {
    const bool real_path = mimo_uses_real_form(o.traits->method, *c.grid);
    mimo_problem p{o.traits->method,
                   c.complex_model,
                   static_cast<std::int64_t>(f.nr),
                   static_cast<std::int64_t>(f.nt),
                   o.sorted,
                   static_cast<int>(c.M),
                   c.bits,
                   c.points,
                   c.labels,
                   c.grid,
                   real_path,
                   c.es,
                   o.clip,
                   static_cast<std::int64_t>(o.list),
                   c.level_bits,
                   c.level_labels};
    p.extrinsic = o.extrinsic;
    p.fill = o.fill;
    p.iterations = o.iterations;
    p.damping = o.damping;
    p.tol = o.tol;
    if (real_path) mimo_build_levels(p, c.level_bits, c.level_labels);
    return p;
}
