// SPDX-License-Identifier: BSD-3-Clause
// What the harnesses of the batch forms share: the frame of a call, its columns and pages
// as the arguments of single calls, and the checks that tie a batch call to single calls
// (a column of the result equals the single call's result bit for bit; a fault the batch
// call names by column or page is the single call's fault on that column or page).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_input.h"

// The frame of a batch call that passed its shape checks: Y n-by-K, R n-by-n-by-P (P >= 1,
// K a multiple of P), column k on page k / (K/P).
struct fuzz_frame {
    std::size_t n, K, P;
    std::size_t page_of(std::size_t k) const { return k / (K / P); }
    std::size_t first_column(std::size_t p) const { return p * (K / P); }
};

// Reads the frame of Y and R, checking (FUZZ_CHECK) what a call that got past the shape
// checks must have: both real double, Y a matrix, R square pages, K a multiple of P.
fuzz_frame fuzz_frame_of(const host_array* Y, const host_array* R);

// Column k of an array of m rows (m-by-1), page p of an array (a matrix; page 0 of a
// matrix is the matrix), and the value of a scalar-or-one-per-column argument for column k.
th_array fuzz_column(const host_array* a, std::size_t k);
th_array fuzz_page(const host_array* a, std::size_t p);
th_array fuzz_column_value(const host_array* a, std::size_t k);

bool fuzz_same_bits(const double* a, const double* b, std::size_t count);
bool fuzz_all_nan(const double* v, std::size_t count);

// The single call on column k of the frame (for a stack of pages: on page k).
using fuzz_single = std::function<th_result(std::size_t)>;

// For a failed batch call whose message names a column or page ("<name> column <k> <text>",
// "<name> page <p> <text>"): the single call on that column (on the first column of that
// page) must fail with "<single name> <text>", where names maps the batch form's argument
// names to the single function's ("Y" -> "y"; a name not listed stays). Messages that name
// no column or page are left alone.
using fuzz_names = std::vector<std::pair<std::string, std::string>>;
void fuzz_check_named_fault(const std::string& message, const fuzz_frame& frame,
                            const fuzz_single& single, const fuzz_names& names);

// The same for a call whose first two arguments are Y and R (the frame read from them when
// the message names a column or page: the shape checks come first).
void fuzz_check_named_fault(const std::string& message, const fuzz_call& call,
                            const fuzz_single& single, const fuzz_names& names);
