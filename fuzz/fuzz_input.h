// SPDX-License-Identifier: BSD-3-Clause
// Turns fuzz bytes into one gateway call: argument count, output count and arguments of
// every class the test host models, with shapes and values chosen to reach the edges.
//
// The format is read front to back, one decision per byte (bytes past the end read as 0),
// so that a seed can be written by hand or with fuzz_encoder below:
//   byte 0        nrhs = b % 8, or the harness's own count when b >= 0xF0
//   byte 1        nlhs = b % 6, or the harness's own count when b >= 0xF0
//   byte 2        N = b % 9: the problem size that relative dimensions refer to
//   per argument:
//     class       b % 6 (th_class order); b >= 0xC0 forces real double
//     rows, cols  dimension code (see decode_dim)
//     pages       (batch profiles only) dimension code of the third dimension: 1 makes a
//                 matrix, any other count an m-by-n-by-p array
//     fill        how the elements are made (see fill_mode)
//     elements    as the fill needs them
// A batch profile reads one byte more in front of all these: the worker threads the call
// runs with, 1 + b % 3 (see fuzz_use_threads).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/test_host.h"

// Values that sit on the edges of double arithmetic and of the gateways' checks.
extern const double fuzz_interesting[];
extern const std::size_t fuzz_interesting_count;

enum class fill_mode : std::uint8_t {
    interesting = 0,  // one byte per element: index into fuzz_interesting
    raw = 1,          // eight bytes per element, taken as they are
    halves = 2,       // one byte per element: (int8) b / 2
    upper = 3,        // upper triangular: diagonal and above as halves, never 0 on the diagonal
    zeros = 4,        // every element 0
    constant = 5,     // one interesting value everywhere
    upper_interesting = 6,  // upper triangular with interesting values (diagonal may be 0)
    count = 7,
};

struct fuzz_call {
    int nlhs = 0;
    std::vector<th_array> args;
    int threads = 1;  // batch profiles: LATBOX_NUM_THREADS for the call
    std::vector<const host_array*> inputs() const;
};

// The number of inputs and outputs that the gateway itself calls for: when the first two
// bytes ask for it, the decoder uses these counts (so mutations keep a well-formed call).
// A batch profile adds the thread byte and a pages code per argument.
struct fuzz_profile {
    int nrhs;
    int nlhs;
    bool batch = false;
};

fuzz_call fuzz_decode(const std::uint8_t* data, std::size_t size, fuzz_profile profile);

// Sets LATBOX_NUM_THREADS to the call's thread count, so that the batch forms run the
// decoded call on that many threads (at most one per column).
void fuzz_use_threads(const fuzz_call& call);

// True when a failed call's text is well formed: not empty, printable, and (when
// newline is set) ending in "\n".
bool fuzz_message_ok(const std::string& message, bool newline);

// True when every element of the output is an integer value (finite, no fraction).
bool fuzz_all_integers(const th_array& a);

// Checks a condition inside a harness; a violation stops the run so that libFuzzer
// reports it with the input.
#define FUZZ_CHECK(cond)                                   \
    do {                                                   \
        if (!(cond)) fuzz_fail(#cond, __FILE__, __LINE__); \
    } while (0)
[[noreturn]] void fuzz_fail(const char* what, const char* file, int line);

// Checks that hold for every call: a failed call leaves no outputs and a well-formed
// message (newline: the message ends in "\n"; freed_on_error: no scratch is live after an
// error either); a successful one fills every slot, frees every scratch block and discards
// no array. Then, on success, that the first `read` inputs are real double arrays.
void fuzz_check_result(const th_result& r, const fuzz_call& call, bool newline, bool freed_on_error,
                       std::size_t read);

// True when the output is a real double array of the given shape.
bool fuzz_shape(const th_array& a, std::size_t rows, std::size_t cols);
// True when the output is a real double rows-by-cols-by-pages array (a matrix when pages
// is 1), as host_dim reports it.
bool fuzz_shape_pages(const th_array& a, std::size_t rows, std::size_t cols, std::size_t pages);

// Writes the byte format above, for the seed corpus.
class fuzz_encoder {
public:
    // For a batch profile: the thread count (1..3), before anything else; every argument
    // after it carries a pages code (1 unless given).
    fuzz_encoder& batch(int threads);
    fuzz_encoder& counts(int nrhs, int nlhs);  // 0xF0 for "the harness's own"
    fuzz_encoder& size(int n);
    // An argument: class, dimension codes, fill mode and element bytes.
    fuzz_encoder& arg(th_class cls, std::uint8_t rows, std::uint8_t cols, fill_mode fill,
                      const std::vector<std::uint8_t>& elements = {});
    fuzz_encoder& arg(th_class cls, std::uint8_t rows, std::uint8_t cols, std::uint8_t pages,
                      fill_mode fill, const std::vector<std::uint8_t>& elements = {});
    // A real double argument with exact values (raw fill, absolute dimensions), page after
    // page.
    fuzz_encoder& values(std::size_t rows, std::size_t cols, const std::vector<double>& v);
    fuzz_encoder& values(std::size_t rows, std::size_t cols, std::size_t pages,
                         const std::vector<double>& v);
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
    bool batch_ = false;
};

// Dimension codes: 0..12 absolute; 0x80 + k relative to N: N, N+1, N+2, N-1 (k = 0..3).
constexpr std::uint8_t dim_abs(int d) {
    return static_cast<std::uint8_t>(d);
}
constexpr std::uint8_t dim_n(int plus) {
    return static_cast<std::uint8_t>(0x80 + (plus < 0 ? 3 : plus));
}

// Index of a value in fuzz_interesting (for seeds); the table's first entry if absent.
std::uint8_t fuzz_interesting_index(double v);
