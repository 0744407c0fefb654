// SPDX-License-Identifier: BSD-3-Clause
// The options and input checks of ambiguity_fix and ambiguity_fix_batch.
#include "gateways/ambiguity_options.h"

#include <strings.h>

#include <cmath>
#include <cstdio>

#include "gateways/args.h"

namespace {

const char* const option_names = "'method', 'ncands', 'ratio', 'min_sr', 'delta' or 'max_nodes'";

struct method_name {
    const char* text;
    ambiguity_method method;
};
const method_name methods[] = {{"ils", ambiguity_method::ils},
                               {"bootstrap", ambiguity_method::bootstrap},
                               {"round", ambiguity_method::round},
                               {"par", ambiguity_method::par}};

ambiguity_method read_method(const host_array* v) {
    char text[16];
    if (host_read_string(v, text, sizeof text)) {
        for (const method_name& m : methods) {
            if (strcasecmp(text, m.text) == 0) return m.method;
        }
    }
    host_error_about("method", "method must be 'ils', 'bootstrap', 'round' or 'par'\n");
}

bool is_integer(double v) {
    return std::isfinite(v) && v == std::floor(v);
}

}  // namespace

ambiguity_call read_ambiguity_options(int nrhs, const host_array* prhs[], int first,
                                      std::int64_t n) {
    ambiguity_call call;
    char message[160];
    if ((nrhs - first) % 2 != 0) {
        std::snprintf(message, sizeof message, "options must be Name, Value pairs: %s\n",
                      option_names);
        host_error_about("option", message);
    }
    double ncands = 2.0;
    for (int a = first; a < nrhs; a += 2) {
        char option[64];
        if (!host_read_string(prhs[a], option, sizeof option)) {
            std::snprintf(message, sizeof message, "options must be Name, Value pairs: %s\n",
                          option_names);
            host_error_about("option", message);
        }
        const host_array* value = prhs[a + 1];
        if (strcasecmp(option, "method") == 0) {
            call.core.method = read_method(value);
        } else if (strcasecmp(option, "ncands") == 0) {
            ncands = read_scalar(value, "ncands");
            if (!(ncands >= 1.0) || !is_integer(ncands)) {
                host_error_about("ncands", "ncands must be a positive integer\n");
            }
        } else if (strcasecmp(option, "ratio") == 0) {
            call.ratio = read_scalar(value, "ratio");
            if (!(call.ratio >= 1.0))
                host_error_about("ratio", "ratio must be 1 or more (Inf allowed)\n");
        } else if (strcasecmp(option, "min_sr") == 0) {
            const double v = read_scalar(value, "min_sr");
            if (!(v > 0.0 && v < 1.0))
                host_error_about("min_sr", "min_sr must lie strictly between 0 and 1\n");
            call.core.min_sr = v;
        } else if (strcasecmp(option, "delta") == 0) {
            const double v = read_scalar(value, "delta");
            if (!(v > 0.25 && v <= 1.0)) host_error_about("delta", "delta must lie in (0.25, 1]\n");
            call.core.delta = v;
        } else if (strcasecmp(option, "max_nodes") == 0) {
            const double v = read_scalar(value, "max_nodes");
            if (v == INFINITY) {
                call.core.max_nodes = 0;
            } else if (v >= 1.0 && is_integer(v) && v < 9.0e18) {
                call.core.max_nodes = static_cast<std::int64_t>(v);
            } else {
                host_error_about("max_nodes", "max_nodes must be a positive integer or Inf\n");
            }
        } else {
            std::snprintf(message, sizeof message,
                          "unknown option '%s' (known: method, ncands, ratio, min_sr, delta, "
                          "max_nodes)\n",
                          option);
            host_error_about("option", message);
        }
    }
    const std::int64_t limit = ambiguity_max_ncands(n);
    if (ncands > static_cast<double>(limit)) {
        std::snprintf(message, sizeof message, "ncands must be at most %lld for %lld ambiguities\n",
                      static_cast<long long>(limit), static_cast<long long>(n));
        host_error_about("ncands", message);
    }
    call.core.ncands = static_cast<std::int64_t>(ncands);
    return call;
}

std::size_t read_ambiguity_frame(const host_array* ahat, bool many, std::size_t& K) {
    require_real_double(ahat, "ahat");
    const std::size_t n = host_rows(ahat);
    K = host_cols(ahat);
    const bool empty = n == 0 && K <= 1;
    if (host_ndims(ahat) != 2 || (!many && K != 1 && !empty)) {
        raise_about("ahat", many ? "must be an n-by-K matrix" : "must be an n-by-1 column vector");
    }
    if (!many && empty) K = 1;
    if (n > static_cast<std::size_t>(ambiguity_max_n)) {
        raise_about("ahat", many ? "must have at most 1000 rows (the size limit)"
                                 : "must have at most 1000 elements (the size limit)");
    }
    return n;
}

std::size_t read_ambiguity_covariance(const host_array* Q, std::size_t n, bool pages,
                                      std::size_t K) {
    require_real_double(Q, "Q");
    const std::size_t nd = host_ndims(Q);
    const std::size_t P = nd == 3 ? host_dim(Q, 2) : 1;
    const bool square = host_dim(Q, 0) == n && host_dim(Q, 1) == n;
    if (!pages) {
        if (nd != 2 || !square) raise_about("Q", "must be n-by-n, n the length of ahat");
        return 1;
    }
    if (nd > 3 || !square || (P != 1 && P != K)) {
        raise_about("Q", "must be n-by-n or n-by-n-by-K (K the columns of ahat)");
    }
    return P;
}

void require_covariance(const double* Q, std::size_t n, const char* name) {
    require_finite(Q, n * n, name);
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = j + 1; i < n; ++i) {
            const double a = Q[i + j * n], b = Q[j + i * n];
            if (!(std::fabs(a - b) <= 1e-12 * std::fmax(std::fabs(a), std::fabs(b)))) {
                raise_about(name, "must be symmetric (within a relative 1e-12)");
            }
        }
    }
}

void raise_not_positive_definite(const char* name) {
    raise_about(name, "must be positive definite");
}

const char* ambiguity_method_text(ambiguity_method m) {
    for (const method_name& t : methods) {
        if (t.method == m) return t.text;
    }
    return "";
}

const char* ambiguity_status_text(ambiguity_status s) {
    switch (s) {
        case ambiguity_status::optimal:
            return "optimal";
        case ambiguity_status::z_limit:
            return "z_limit";
        case ambiguity_status::node_limit:
            return "node_limit";
        case ambiguity_status::out_of_range:
            return "out_of_range";
        case ambiguity_status::not_positive_definite:
            return "not_positive_definite";
        case ambiguity_status::interrupted:
            return "interrupted";
    }
    return "";
}

double ambiguity_ratio(const ambiguity_result& r, const double* sqnorm) {
    if (r.found < 2) return NAN;
    return sqnorm[1] / sqnorm[0];
}

bool ambiguity_accepted(const ambiguity_result& r, double ratio, double threshold) {
    const bool complete =
        r.status == ambiguity_status::optimal || r.status == ambiguity_status::z_limit;
    return complete && ratio >= threshold;
}
