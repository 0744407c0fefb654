// SPDX-License-Identifier: BSD-3-Clause
#include "fuzz/fuzz_batch.h"

#include <cmath>
#include <cstring>

namespace {

const double* data_of(const host_array* a) {
    return reinterpret_cast<const double*>(a->bytes);
}

// "<name> column <k> <text>" or "<name> page <p> <text>", k and p 1-based.
struct named_part {
    bool found = false;
    std::string name;
    bool page = false;
    std::size_t index = 0;  // 0-based
    std::string text;
};

named_part parse_part(const std::string& message) {
    named_part part;
    const std::size_t space = message.find(' ');
    if (space == std::string::npos || space == 0) return part;
    std::size_t at = space + 1;
    for (const char* word : {"column ", "page "}) {
        if (message.compare(at, std::strlen(word), word) == 0) {
            part.page = word[0] == 'p';
            at += std::strlen(word);
            break;
        }
    }
    if (at == space + 1) return part;
    const std::size_t digits = message.find_first_not_of("0123456789", at);
    if (digits == at || digits == std::string::npos || message[digits] != ' ') return part;
    const std::size_t one_based = std::stoul(message.substr(at, digits - at));
    if (one_based == 0) return part;
    part.found = true;
    part.name = message.substr(0, space);
    part.index = one_based - 1;
    part.text = message.substr(digits + 1);
    return part;
}

}  // namespace

fuzz_frame fuzz_frame_of(const host_array* Y, const host_array* R) {
    FUZZ_CHECK(Y->cls == th_class::real_double && R->cls == th_class::real_double);
    FUZZ_CHECK(!Y->paged);
    const std::size_t n = host_dim(R, 0);
    const std::size_t P = host_dim(R, 2);
    FUZZ_CHECK(host_dim(R, 1) == n && P >= 1 && Y->rows == n);
    FUZZ_CHECK(Y->cols % P == 0);
    return {n, Y->cols, P};
}

th_array fuzz_column(const host_array* a, std::size_t k) {
    const double* v = data_of(a) + k * a->rows;
    return th_column(std::vector<double>(v, v + a->rows));
}

th_array fuzz_page(const host_array* a, std::size_t p) {
    const std::size_t m = host_dim(a, 0);
    const std::size_t n = host_dim(a, 1);
    const double* v = data_of(a) + p * m * n;
    return th_matrix(m, n, std::vector<double>(v, v + m * n));
}

th_array fuzz_column_value(const host_array* a, std::size_t k) {
    return th_scalar(data_of(a)[a->rows * a->cols == 1 ? 0 : k]);
}

bool fuzz_same_bits(const double* a, const double* b, std::size_t count) {
    return count == 0 || std::memcmp(a, b, count * sizeof(double)) == 0;
}

bool fuzz_all_nan(const double* v, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isnan(v[i])) return false;
    }
    return true;
}

void fuzz_check_named_fault(const std::string& message, const fuzz_frame& frame,
                            const fuzz_single& single, const fuzz_names& names) {
    const named_part part = parse_part(message);
    if (!part.found) return;
    FUZZ_CHECK(part.index < (part.page ? frame.P : frame.K));
    if (frame.K == 0) return;  // a fault in a page that no column uses: no single call
    const std::size_t k = part.page ? frame.first_column(part.index) : part.index;
    std::string name = part.name;
    for (const auto& alias : names) {
        if (alias.first == name) name = alias.second;
    }
    const th_result r = single(k);
    FUZZ_CHECK(r.failed && r.message == name + " " + part.text);
}

void fuzz_check_named_fault(const std::string& message, const fuzz_call& call,
                            const fuzz_single& single, const fuzz_names& names) {
    if (!parse_part(message).found) return;
    FUZZ_CHECK(call.args.size() >= 2);
    fuzz_check_named_fault(message, fuzz_frame_of(call.args[0].get(), call.args[1].get()), single,
                           names);
}
