// SPDX-License-Identifier: BSD-3-Clause
// Argument checks shared by the gateways.
#include "gateways/args.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

void raise_about(const char* name, const char* text) {
    // A stack buffer: nothing that owns memory may be alive when the host error unwinds.
    char message[160];
    std::snprintf(message, sizeof message, "%s %s\n", name, text);
    // the identifier names the argument: its first word ("Y" of "Y column 17")
    char what[32];
    std::size_t w = 0;
    for (; w + 1 < sizeof what && name[w] != '\0' && name[w] != ' '; ++w) {
        const char c = name[w];
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        what[w] = plain ? c : '_';
    }
    what[w] = '\0';
    host_error_about(what, message);
}

void require_real_double(const host_array* a, const char* name) {
    if (!host_is_real_double(a)) raise_about(name, "must be a real double array");
}

double read_scalar(const host_array* a, const char* name) {
    require_real_double(a, name);
    if (host_rows(a) == 0 || host_cols(a) == 0) raise_about(name, "must not be empty");
    return host_data(a)[0];
}

void require_elements(const host_array* a, std::size_t count, const char* name, const char* text) {
    if (host_rows(a) * host_cols(a) < count) raise_about(name, text);
}

void require_rhs_length(const host_array* y, std::size_t n, const char* name) {
    require_elements(y, n, name, "must have at least as many elements as R has columns");
}

bool all_finite(const double* v, std::size_t count) {
    // eight at a time without a branch between them (|x| <= DBL_MAX fails for NaN and +-Inf)
    constexpr double largest = std::numeric_limits<double>::max();
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        bool ok = true;
        for (std::size_t j = 0; j < 8; ++j) ok &= std::fabs(v[i + j]) <= largest;
        if (!ok) return false;
    }
    for (; i < count; ++i) {
        if (!std::isfinite(v[i])) return false;
    }
    return true;
}

// eight at a time without a branch between them, as all_finite
bool any_nan(const double* v, std::size_t count) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        bool nan = false;
        for (std::size_t j = 0; j < 8; ++j) nan |= v[i + j] != v[i + j];
        if (nan) return true;
    }
    for (; i < count; ++i) {
        if (std::isnan(v[i])) return true;
    }
    return false;
}

void require_finite(const double* v, std::size_t count, const char* name) {
    if (!all_finite(v, count)) raise_about(name, "must not contain NaN or Inf");
}

bool is_triangular(const double* R, std::size_t n, below_diagonal below) {
    const bool zeros_below = below == below_diagonal::zero;
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t rows = zeros_below ? n : j + 1;
        for (std::size_t i = 0; i < rows; ++i) {
            const double r = R[i + j * n];
            if (i > j ? r != 0.0 : !std::isfinite(r)) return false;
        }
        if (R[j + j * n] == 0.0) return false;
    }
    return true;
}

void require_triangular(const double* R, std::size_t n, below_diagonal below, const char* name) {
    const bool zeros_below = below == below_diagonal::zero;
    const char* not_finite = zeros_below ? "must not contain NaN or Inf"
                                         : "must not contain NaN or Inf on or above the diagonal";
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t rows = zeros_below ? n : j + 1;  // the rows of column j to read
        for (std::size_t i = 0; i < rows; ++i) {
            const double r = R[i + j * n];
            if (i > j) {
                if (r != 0.0)
                    raise_about(name, "must be upper triangular (zeros below the diagonal)");
            } else if (!std::isfinite(r)) {
                raise_about(name, not_finite);
            }
        }
        if (R[j + j * n] == 0.0) raise_about(name, "must not have a zero on the diagonal");
    }
}

namespace {

// The first element s in 1..n of v whose magnitude, a variable number in 1..n, an earlier
// element in that range already named; n+1 if none. Elements out of that range are passed
// over. A stack bitset marks the variables of one block of 4096 at a time: one pass over v
// per block, so no scratch is needed at any n.
std::size_t first_repeat(const double* v, std::size_t n) {
    constexpr std::size_t block = 4096;
    std::uint64_t marks[block / 64];
    std::size_t first = n + 1;
    for (std::size_t base = 0; base < n; base += block) {
        const std::size_t span = n - base < block ? n - base : block;  // variables in the block
        std::memset(marks, 0, (span + 63) / 64 * sizeof marks[0]);
        for (std::size_t s = 1; s < first; ++s) {
            const double a = std::fabs(v[s]);
            if (!(a >= 1.0 && a <= static_cast<double>(n))) continue;
            const auto j = static_cast<std::size_t>(a) - 1;
            if (j < base || j >= base + block) continue;
            std::uint64_t& word = marks[(j - base) / 64];
            const std::uint64_t bit = std::uint64_t{1} << ((j - base) % 64);
            if (word & bit) {
                first = s;
                break;
            }
            word |= bit;
        }
    }
    return first;
}

}  // namespace

void require_index_set(const double* v, std::size_t n, const char* name) {
    for (std::size_t s = 1; s <= n + 1; ++s) {
        if (!std::isfinite(v[s]) || v[s] != std::trunc(v[s])) {
            raise_about(name, "must hold integer values");
        }
    }
    const double count = v[n + 1];
    // a negative count would leave more free variables than R has rows
    if (count < 0.0) host_error("Too many active variables in BVLS starting solution!");
    if (count > static_cast<double>(n)) {
        raise_about(name, "count (last element) must be between 0 and n");
    }
    const std::size_t repeat = first_repeat(v, n);
    for (std::size_t s = 1; s <= n; ++s) {
        const double a = std::fabs(v[s]);
        if (a < 1.0 || a > static_cast<double>(n)) {
            raise_about(name, "entries must be variable numbers between -n and n, not 0");
        }
        if (static_cast<double>(s) > count && v[s] < 0.0) {
            raise_about(name, "free entries must be positive");
        }
        if (s == repeat) raise_about(name, "must name each variable only once");
    }
}

bool is_index_set(const double* v, std::size_t n) {
    for (std::size_t s = 1; s <= n + 1; ++s) {
        if (!std::isfinite(v[s]) || v[s] != std::trunc(v[s])) return false;
    }
    const double count = v[n + 1];
    if (count < 0.0 || count > static_cast<double>(n)) return false;
    for (std::size_t s = 1; s <= n; ++s) {
        const double a = std::fabs(v[s]);
        if (a < 1.0 || a > static_cast<double>(n)) return false;
        if (static_cast<double>(s) > count && v[s] < 0.0) return false;
    }
    return first_repeat(v, n) == n + 1;
}

const char* const interrupted_message = "interrupted\n";

namespace {
bool ask_host(const void*) {
    return host_interrupt_pending();
}
}  // namespace

const interrupt_check host_interrupt{ask_host, nullptr};
