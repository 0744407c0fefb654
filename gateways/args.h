// SPDX-License-Identifier: BSD-3-Clause
// Argument checks shared by the gateways: one message per fault, raised through the host.
//
// Every message names the argument and ends in a newline, like the gateways' own. The
// name may say which part of an argument is meant ("Y column 17", "R page 3").
#pragma once

#include <cstddef>

#include "core/interrupt_check.h"
#include "host/host.h"

// "<name> must be a real double array\n" unless a is real, dense and of class double.
void require_real_double(const host_array* a, const char* name);

// The first element of a real double array; "<name> must not be empty\n" if it has none.
double read_scalar(const host_array* a, const char* name);

// "<name> <text>\n" if a holds fewer than count elements.
void require_elements(const host_array* a, std::size_t count, const char* name, const char* text);

// "<name> must have at least as many elements as R has columns\n" if the right-hand
// side y holds fewer than n elements.
void require_rhs_length(const host_array* y, std::size_t n, const char* name);

// "<name> must not contain NaN or Inf\n" unless the first count elements are finite.
void require_finite(const double* v, std::size_t count, const char* name);

// Whether the first count elements are finite: the condition require_finite checks, without
// raising (host-free, for checks on worker threads).
bool all_finite(const double* v, std::size_t count);

// Whether v[0 .. count-1] holds a NaN (+-Inf allowed).
bool any_nan(const double* v, std::size_t count);

// What a check of a triangular R demands of the entries below its diagonal.
enum class below_diagonal { ignored, zero };

// The n-by-n column-major R of a triangular solve: finite on and above the diagonal, no
// zero on the diagonal, and (below_diagonal::zero) exact zeros below it. Column by
// column, the first fault raises, one of
//   "<name> must not contain NaN or Inf on or above the diagonal\n"  (ignored)
//   "<name> must not contain NaN or Inf\n"                           (zero)
//   "<name> must be upper triangular (zeros below the diagonal)\n"   (zero)
//   "<name> must not have a zero on the diagonal\n"
void require_triangular(const double* R, std::size_t n, below_diagonal below, const char* name);
// Whether require_triangular would pass R: host-free, it raises nothing.
bool is_triangular(const double* R, std::size_t n, below_diagonal below);

// A warm-start index-set vector of n variables in morrit's layout: elements 2..n+1 name
// each variable 1..n once (negative: at the lower bound, positive: at the upper bound or
// free), element n+2 counts the bound entries, which come first. Element 1 is not read.
// Raises "Too many active variables in BVLS starting solution!" for a negative count
// and "<name> ...\n" for any other fault: the first one in element order, as a reader
// marking each variable as it goes would meet it. Needs no scratch.
void require_index_set(const double* v, std::size_t n, const char* name);
// Whether require_index_set would pass v: host-free, it raises nothing.
bool is_index_set(const double* v, std::size_t n);

// Raises "<name> <text>\n", with the identifier "<prefix>:<first word of name>" when the
// gateway set an error prefix (host_set_error_prefix).
[[noreturn]] void raise_about(const char* name, const char* text);

// The message of a call that the user interrupted (Ctrl-C), raised after freeing the scratch.
extern const char* const interrupted_message;

// A check that asks the host whether the user pressed Ctrl-C (the calling thread only).
extern const interrupt_check host_interrupt;
