// SPDX-License-Identifier: BSD-3-Clause
#include "fuzz/fuzz_input.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

const double fuzz_interesting[] = {0.0,
                                   -0.0,
                                   1.0,
                                   -1.0,
                                   2.0,
                                   -2.0,
                                   3.0,
                                   -3.0,
                                   0.5,
                                   -0.5,
                                   1.5,
                                   -1.5,
                                   2.5,
                                   -2.5,
                                   0.49999999999999994,
                                   7.0,
                                   -7.0,
                                   0.1,
                                   1e-300,
                                   5e-324,
                                   -5e-324,
                                   2.2250738585072014e-308,
                                   1e300,
                                   -1e300,
                                   1.7976931348623157e308,
                                   -1.7976931348623157e308,
                                   std::numeric_limits<double>::infinity(),
                                   -std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN(),
                                   -std::numeric_limits<double>::quiet_NaN(),
                                   2147483647.0,
                                   2147483648.0,
                                   -2147483648.0,
                                   -2147483649.0,
                                   4294967296.0,
                                   2251799813685248.0,
                                   -2251799813685248.0,
                                   2251799813685247.5,
                                   4503599627370496.0,
                                   9007199254740992.0,
                                   -9007199254740992.0,
                                   9007199254740993.0,
                                   9223372036854775807.0,
                                   -9223372036854775808.0,
                                   1e20,
                                   -1e20,
                                   1e-8,
                                   0.75,
                                   0.25,
                                   1.0000000000000002,
                                   0.9999999999999999,
                                   4.0,
                                   5.0,
                                   6.0,
                                   8.0,
                                   10.0,
                                   100.0};
const std::size_t fuzz_interesting_count = sizeof fuzz_interesting / sizeof fuzz_interesting[0];

namespace {

class reader {
public:
    reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    void bytes(unsigned char* out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) out[i] = byte();
    }
    bool done() const { return pos_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

std::size_t decode_dim(std::uint8_t b, std::size_t n) {
    if (b >= 0x80) {
        switch ((b - 0x80) % 4) {
            case 0:
                return n;
            case 1:
                return n + 1;
            case 2:
                return n + 2;
            default:
                return n == 0 ? 0 : n - 1;
        }
    }
    return b % 13;
}

double interesting(std::uint8_t b) {
    return fuzz_interesting[b % fuzz_interesting_count];
}
double half(std::uint8_t b) {
    return static_cast<std::int8_t>(b) / 2.0;
}

void fill(host_array* a, fill_mode mode, reader& in) {
    const std::size_t m = a->rows;
    const std::size_t count = a->rows * a->cols;
    const std::size_t page_cols = a->paged ? a->page_cols : a->cols;  // triangles per page
    const std::size_t es = th_element_size(a->cls);
    if (es != sizeof(double)) {
        // the gateways must refuse these classes before reading: any bytes will do
        if (mode != fill_mode::zeros) in.bytes(a->bytes, count * es);
        return;
    }
    auto* v = reinterpret_cast<double*>(a->bytes);
    const double c = mode == fill_mode::constant ? interesting(in.byte()) : 0.0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = k % (m == 0 ? 1 : m);
        const std::size_t j = k / (m == 0 ? 1 : m) % (page_cols == 0 ? 1 : page_cols);
        double x = 0.0;
        switch (mode) {
            case fill_mode::interesting:
                x = interesting(in.byte());
                break;
            case fill_mode::raw:
                in.bytes(reinterpret_cast<unsigned char*>(&x), sizeof x);
                break;
            case fill_mode::halves:
                x = half(in.byte());
                break;
            case fill_mode::upper:
                if (i < j) x = half(in.byte());
                if (i == j) {
                    x = half(in.byte());
                    if (x == 0.0) x = 1.0;
                }
                break;
            case fill_mode::upper_interesting:
                if (i <= j) x = interesting(in.byte());
                break;
            case fill_mode::constant:
                x = c;
                break;
            default:
                break;
        }
        std::memcpy(v + k, &x, sizeof x);
    }
}

}  // namespace

std::vector<const host_array*> fuzz_call::inputs() const {
    std::vector<const host_array*> list;
    for (const th_array& a : args) list.push_back(a.get());
    return list;
}

fuzz_call fuzz_decode(const std::uint8_t* data, std::size_t size, fuzz_profile profile) {
    reader in(data, size);
    fuzz_call call;
    if (profile.batch) call.threads = 1 + in.byte() % 3;
    const std::uint8_t b0 = in.byte();
    const std::uint8_t b1 = in.byte();
    const int nrhs = b0 >= 0xF0 ? profile.nrhs : b0 % 8;
    call.nlhs = b1 >= 0xF0 ? profile.nlhs : b1 % 6;
    const std::size_t n = in.byte() % 9;
    for (int k = 0; k < nrhs; ++k) {
        const std::uint8_t c = in.byte();
        const th_class cls = c >= 0xC0 ? th_class::real_double : static_cast<th_class>(c % 6);
        const std::size_t rows = decode_dim(in.byte(), n);
        const std::size_t cols = decode_dim(in.byte(), n);
        const std::size_t pages = profile.batch ? decode_dim(in.byte(), n) : 1;
        const auto mode = static_cast<fill_mode>(in.byte() % static_cast<int>(fill_mode::count));
        th_array a = th_typed(cls, rows, cols * pages);
        a->pages = pages;
        a->paged = pages != 1;
        a->page_cols = cols;
        fill(a.get(), mode, in);
        call.args.push_back(std::move(a));
    }
    return call;
}

void fuzz_use_threads(const fuzz_call& call) {
    const char digits[] = "0123";
    const char value[2] = {digits[call.threads % 4], '\0'};
    setenv("LATBOX_NUM_THREADS", value, 1);
}

bool fuzz_message_ok(const std::string& message, bool newline) {
    if (message.empty()) return false;
    for (char ch : message) {
        const auto u = static_cast<unsigned char>(ch);
        if (u != '\n' && (u < 0x20 || u > 0x7e)) return false;
    }
    return !newline || message.back() == '\n';
}

bool fuzz_all_integers(const th_array& a) {
    const double* v = th_values(a);
    for (std::size_t k = 0; k < a->rows * a->cols; ++k) {
        if (!std::isfinite(v[k]) || v[k] != std::trunc(v[k])) return false;
    }
    return true;
}

void fuzz_fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", what, file, line);
    std::abort();
}

fuzz_encoder& fuzz_encoder::batch(int threads) {
    batch_ = true;
    bytes_.push_back(static_cast<std::uint8_t>(threads - 1));
    return *this;
}

fuzz_encoder& fuzz_encoder::counts(int nrhs, int nlhs) {
    bytes_.push_back(static_cast<std::uint8_t>(nrhs));
    bytes_.push_back(static_cast<std::uint8_t>(nlhs));
    return *this;
}

fuzz_encoder& fuzz_encoder::size(int n) {
    bytes_.push_back(static_cast<std::uint8_t>(n));
    return *this;
}

fuzz_encoder& fuzz_encoder::arg(th_class cls, std::uint8_t rows, std::uint8_t cols, fill_mode fill,
                                const std::vector<std::uint8_t>& elements) {
    return arg(cls, rows, cols, dim_abs(1), fill, elements);
}

fuzz_encoder& fuzz_encoder::arg(th_class cls, std::uint8_t rows, std::uint8_t cols,
                                std::uint8_t pages, fill_mode fill,
                                const std::vector<std::uint8_t>& elements) {
    bytes_.push_back(cls == th_class::real_double ? 0xC0 : static_cast<std::uint8_t>(cls));
    bytes_.push_back(rows);
    bytes_.push_back(cols);
    if (batch_) bytes_.push_back(pages);
    bytes_.push_back(static_cast<std::uint8_t>(fill));
    bytes_.insert(bytes_.end(), elements.begin(), elements.end());
    return *this;
}

fuzz_encoder& fuzz_encoder::values(std::size_t rows, std::size_t cols,
                                   const std::vector<double>& v) {
    return values(rows, cols, 1, v);
}

fuzz_encoder& fuzz_encoder::values(std::size_t rows, std::size_t cols, std::size_t pages,
                                   const std::vector<double>& v) {
    const std::size_t all = rows * cols * pages;
    std::vector<std::uint8_t> e(all * sizeof(double), 0);
    const std::size_t count = std::min(v.size(), all);
    if (count != 0) std::memcpy(e.data(), v.data(), count * sizeof(double));
    return arg(th_class::real_double, dim_abs(static_cast<int>(rows)),
               dim_abs(static_cast<int>(cols)), dim_abs(static_cast<int>(pages)), fill_mode::raw,
               e);
}

std::uint8_t fuzz_interesting_index(double v) {
    for (std::size_t k = 0; k < fuzz_interesting_count; ++k) {
        const double w = fuzz_interesting[k];
        if (std::memcmp(&w, &v, sizeof v) == 0) return static_cast<std::uint8_t>(k);
    }
    return 0;
}

void fuzz_check_result(const th_result& r, const fuzz_call& call, bool newline, bool freed_on_error,
                       std::size_t read) {
    const std::size_t slots = call.nlhs > 1 ? static_cast<std::size_t>(call.nlhs) : 1;
    FUZZ_CHECK(r.outputs.size() == slots);
    if (r.failed) {
        FUZZ_CHECK(fuzz_message_ok(r.message, newline));
        for (const th_array& o : r.outputs) FUZZ_CHECK(o == nullptr);
        if (freed_on_error) FUZZ_CHECK(r.blocks_live == 0);
        return;
    }
    FUZZ_CHECK(r.blocks_live == 0);
    FUZZ_CHECK(r.blocks_freed == r.blocks_obtained);
    FUZZ_CHECK(r.arrays_discarded == 0);
    FUZZ_CHECK(call.args.size() >= read);
    for (std::size_t k = 0; k < read; ++k) FUZZ_CHECK(call.args[k]->cls == th_class::real_double);
}

bool fuzz_shape(const th_array& a, std::size_t rows, std::size_t cols) {
    return a != nullptr && a->cls == th_class::real_double && a->rows == rows && a->cols == cols;
}

bool fuzz_shape_pages(const th_array& a, std::size_t rows, std::size_t cols, std::size_t pages) {
    return a != nullptr && a->cls == th_class::real_double &&
           host_ndims(a.get()) == (pages == 1 ? 2 : 3) && host_dim(a.get(), 0) == rows &&
           host_dim(a.get(), 1) == cols && host_dim(a.get(), 2) == pages && a->cols == cols * pages;
}
