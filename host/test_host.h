// SPDX-License-Identifier: BSD-3-Clause
// An in-process MEX host for C++ tests and fuzzers.
//
// It makes arrays of several classes from test data, calls a gateway with exactly the
// input list and max(nlhs, 1) output slots that Octave gives a MEX file (each list a heap
// block of its own size, so that a gateway reading or writing past it is caught under
// AddressSanitizer), turns host_error into a result carrying the exact text, and counts
// the scratch blocks obtained and freed.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/host.h"

enum class th_class {
    real_double,
    single,
    int32,
    logical,
    complex_double,
    sparse_double,
    char_string,
    structure
};

// Element size in bytes of the data block that an array of the class carries.
std::size_t th_element_size(th_class cls);

struct host_array {
    th_class cls;
    std::size_t rows;
    std::size_t cols;           // every page's columns, as the MEX host counts them (n*pages)
    unsigned char* bytes;       // rows*cols elements of th_element_size(cls) bytes, heap-allocated
    std::size_t pages = 1;      // third dimension; 1 for a matrix
    bool paged = false;         // created with three dimensions (m-by-n-by-p, p != 1)
    std::size_t page_cols = 0;  // n of an m-by-n-by-p array
    // complex_double: the imaginary parts, rows*cols doubles beside the real ones in bytes
    unsigned char* imag = nullptr;
    std::string text;  // char_string: the characters (1-by-text.size())
    // structure (1-by-1): the fields in order, each value owned by the struct (may be null)
    std::vector<std::pair<std::string, host_array*>> fields;
};

struct th_array_deleter {
    void operator()(host_array* a) const;
};
using th_array = std::unique_ptr<host_array, th_array_deleter>;

// Real double m-by-n array filled column-major from values (missing values are 0).
th_array th_matrix(std::size_t m, std::size_t n, std::initializer_list<double> values = {});
th_array th_matrix(std::size_t m, std::size_t n, const std::vector<double>& values);
th_array th_column(const std::vector<double>& values);
th_array th_scalar(double v);
// Real double m-by-n-by-p array filled column-major, page after page (a matrix when p is 1).
th_array th_pages(std::size_t m, std::size_t n, std::size_t p, const std::vector<double>& values);
// Complex double m-by-n-by-p array (a matrix when p is 1) from its real and imaginary parts.
th_array th_complex(std::size_t m, std::size_t n, std::size_t p, const std::vector<double>& re,
                    const std::vector<double>& im);
// A 1-by-N char array (a string argument such as a method name).
th_array th_string(const std::string& text);
// A 1-by-1 struct input whose fields (in order) take over the arrays given.
th_array th_struct(std::vector<std::pair<std::string, th_array>> fields);
// An array of any class whose data bytes are zero.
th_array th_typed(th_class cls, std::size_t m, std::size_t n);
// A 1-by-1 array of a numeric class (real_double, single, int32) holding v.
th_array th_typed_scalar(th_class cls, double v);

struct th_result {
    bool failed = false;
    std::string message;            // the error text, exactly as raised
    std::string identifier;         // its identifier ("" for none: host_error_about)
    std::vector<th_array> outputs;  // max(nlhs, 1) slots; a slot left empty is null
    std::size_t blocks_obtained = 0;
    std::size_t blocks_freed = 0;
    std::size_t blocks_live = 0;           // obtained and not freed when the call ended
    std::size_t arrays_discarded = 0;      // created but not handed back in a slot
    std::vector<std::size_t> alloc_sizes;  // element count of each block, in order obtained
    std::vector<std::size_t> free_order;   // indices (into alloc_sizes) in the order freed
    std::vector<std::string> warnings;     // "<id>: <text>" of each warning, in order
    std::size_t interrupt_polls = 0;       // times the gateway asked whether to stop
};

// Makes host_interrupt_pending() answer true from its (polls+1)-th question on, in the next
// th_call only (as if the user pressed Ctrl-C during that call); a negative value never.
void th_interrupt_after(long polls);

// Runs what the gateways asked to run at unload (host_at_unload), as a MEX host does when the
// function is cleared, and forgets it.
void th_unload();

// Calls the gateway with the given inputs (not owned) and nlhs outputs.
th_result th_call(gateway_fn* gateway, int nlhs, const std::vector<const host_array*>& inputs);

// Data of an output as doubles (the test host creates real double outputs, strings and structs).
const double* th_values(const th_array& a);
const double* th_values(const host_array* a);
// The value of a field of a struct output, or null if it has no such field.
const host_array* th_field(const host_array* s, const std::string& name);
