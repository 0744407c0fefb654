// SPDX-License-Identifier: BSD-3-Clause
// The code struct and the options of conv_encode and conv_decode.
#include "gateways/conv_args.h"

#include <strings.h>

#include <cmath>
#include <cstdint>
#include <cstdio>

#include "gateways/args.h"

namespace {

// A field of the code struct as a real double array.
const host_array* field(const host_array* code, const char* name, const char* what) {
    const host_array* f = host_get_field(code, name);
    if (f == nullptr) {
        char message[96];
        std::snprintf(message, sizeof message,
                      "code must be a struct from conv_code (it has no field %s)\n", name);
        host_error_about("code", message);
    }
    require_real_double(f, what);
    return f;
}

// The binary value of a polynomial written in octal digits (133 is 0b1011011), or -1 when v
// is not a non-negative integer of octal digits (at most 6 of them: 2^18 > any K <= 9 needs).
long octal_value(double v) {
    if (!(v >= 0.0 && v < 1e6) || v != std::floor(v)) return -1;
    long d = static_cast<long>(v), value = 0, place = 1;
    while (d > 0) {
        if (d % 10 > 7) return -1;
        value += (d % 10) * place;
        place *= 8;
        d /= 10;
    }
    return value;
}

[[noreturn]] void raise_column(const char* name, std::size_t j, const char* text) {
    char where[48];
    raise_about(conv_column_name(where, name, j), text);
}

}  // namespace

const char* conv_column_name(char (&buffer)[48], const char* name, std::size_t k) {
    std::snprintf(buffer, sizeof buffer, "%s column %zu", name, k + 1);
    return buffer;
}

void read_conv_code(const host_array* code, conv_trellis* t) {
    if (host_get_field(code, "K") == nullptr && host_get_field(code, "G") == nullptr) {
        raise_about("code", "must be a struct from conv_code (fields K, G, F, next, outputs)");
    }
    // code:K
    const host_array* K = field(code, "K", "code.K");
    const double k = host_rows(K) * host_cols(K) == 1 ? host_data(K)[0] : 0.0;
    if (!(k >= conv_min_K && k <= conv_max_K) || k != std::floor(k)) {
        raise_about("code.K", "must be an integer from 2 to 9");
    }
    conv_polynomials p{};
    p.K = static_cast<int>(k);
    // code:G
    const host_array* G = field(code, "G", "code.G");
    const std::size_t count = host_rows(G) * host_cols(G);
    if (count == 0 || (host_rows(G) != 1 && host_cols(G) != 1) || host_ndims(G) != 2) {
        raise_about("code.G", "must be a vector of generator polynomials in octal");
    }
    if (count > conv_max_outputs) raise_about("code.G", "must have at most 8 generators");
    p.generators = static_cast<int>(count);
    for (std::size_t j = 0; j < count; ++j) {
        const long g = octal_value(host_data(G)[j]);
        if (g < 0) raise_column("code.G", j, "must be a polynomial in octal digits (0 to 7)");
        p.G[j] = static_cast<std::uint32_t>(g);
    }
    // code:F
    const host_array* F = field(code, "F", "code.F");
    if (host_rows(F) * host_cols(F) > 1)
        raise_about("code.F", "must be 0, [] or one polynomial in octal");
    const long f = host_rows(F) * host_cols(F) == 0 ? 0 : octal_value(host_data(F)[0]);
    if (f < 0) raise_about("code.F", "must be a polynomial in octal digits (0 to 7)");
    p.F = static_cast<std::uint32_t>(f);
    int which = 0;
    switch (conv_check_code(p, &which)) {
        case conv_fault::none:
            break;
        case conv_fault::K_range:
            raise_about("code.K", "must be an integer from 2 to 9");
        case conv_fault::outputs:
            raise_about("code.G", "must have at most 8 outputs in all (7 generators with F)");
        case conv_fault::G_zero:
            raise_column("code.G", static_cast<std::size_t>(which), "must not be 0");
        case conv_fault::G_wide:
            raise_column("code.G", static_cast<std::size_t>(which),
                         "must have no tap beyond K bits (below 2^K)");
        case conv_fault::F_wide:
            raise_about("code.F", "must have no tap beyond K bits (below 2^K)");
        case conv_fault::F_taps:
            raise_about("code.F", "must have its top and bottom taps (bits K-1 and 0)");
    }
    conv_build_trellis(p, t);
    // code:trellis
    const host_array* next = field(code, "next", "code.next");
    const host_array* outputs = field(code, "outputs", "code.outputs");
    const std::size_t S = static_cast<std::size_t>(t->states);
    if (host_ndims(next) != 2 || host_rows(next) != S || host_cols(next) != 2) {
        raise_about("code.next", "must be 2^(K-1)-by-2, as conv_code makes it");
    }
    if (host_ndims(outputs) != 2 || host_rows(outputs) != S || host_cols(outputs) != 2) {
        raise_about("code.outputs", "must be 2^(K-1)-by-2, as conv_code makes it");
    }
    for (std::size_t s = 0; s < S; ++s) {
        for (std::size_t w = 0; w < 2; ++w) {
            const std::size_t b = 2 * s + w;
            const std::size_t u = t->input[b];
            std::uint32_t value = 0;
            for (int j = 0; j < t->n; ++j) value = (value << 1) | ((t->output[b] >> j) & 1u);
            if (host_data(next)[s + u * S] != static_cast<double>(t->next[b])) {
                raise_about("code.next", "does not match code.K, code.G and code.F");
            }
            if (host_data(outputs)[s + u * S] != static_cast<double>(value)) {
                raise_about("code.outputs", "does not match code.K, code.G and code.F");
            }
        }
    }
}

conv_options read_conv_options(const char* function, int first, int nrhs,
                               const host_array* prhs[]) {
    const bool decoder = function[5] == 'd';
    const char* known = decoder ? "'terminate', 'method', 'prior' or 'output'" : "'terminate'";
    char message[160];
    conv_options o;
    for (int a = first; a < nrhs; a += 2) {
        char name[64];
        // options:name
        if (!host_read_string(prhs[a], name, sizeof name) || a + 1 >= nrhs) {
            std::snprintf(message, sizeof message, "options must be Name, Value pairs: %s\n",
                          known);
            host_error_about("option", message);
        }
        const host_array* value = prhs[a + 1];
        char text[16];
        // options:value
        if (strcasecmp(name, "terminate") == 0) {
            if (!host_read_flag(value, &o.terminate))
                raise_about("terminate", "must be true or false");
        } else if (decoder && strcasecmp(name, "method") == 0) {
            if (host_read_string(value, text, sizeof text) && strcasecmp(text, "logmap") == 0) {
                o.method = conv_method::logmap;
            } else if (host_read_string(value, text, sizeof text) &&
                       strcasecmp(text, "maxlog") == 0) {
                o.method = conv_method::maxlog;
            } else {
                raise_about("method", "must be 'logmap' or 'maxlog'");
            }
        } else if (decoder && strcasecmp(name, "output") == 0) {
            if (host_read_string(value, text, sizeof text) && strcasecmp(text, "posterior") == 0) {
                o.extrinsic = false;
            } else if (host_read_string(value, text, sizeof text) &&
                       strcasecmp(text, "extrinsic") == 0) {
                o.extrinsic = true;
            } else {
                raise_about("output", "must be 'posterior' or 'extrinsic'");
            }
        } else if (decoder && strcasecmp(name, "prior") == 0) {
            o.prior = value;
        } else {
            std::snprintf(message, sizeof message, "unknown option '%s' (known: %s)\n", name,
                          known);
            host_error_about("option", message);
        }
    }
    return o;
}
