// SPDX-License-Identifier: BSD-3-Clause
// The host adapter: the only operations a gateway uses to talk to the MEX host.
//
// Two hosts implement it: host_mex.cpp forwards to the Octave/MATLAB MEX API, and
// test_host.cpp is an in-process host for C++ tests (counted scratch, exact error
// texts, output lists of the size the real host gives).
#pragma once

#include <cstddef>

// An array owned by the host. Gateways see it only through the functions below.
struct host_array;

// Pointer to the real double data (column-major). Only meaningful when
// host_is_real_double(a) holds; for other classes it points at data of another type.
double* host_data(const host_array* a);
std::size_t host_rows(const host_array* a);
// Columns, counting every page of an array of three or more dimensions (m-by-n-by-p: n*p).
std::size_t host_cols(const host_array* a);
// Number of dimensions (2 for a matrix) and the size of dimension k (0-based; 1 past the last).
std::size_t host_ndims(const host_array* a);
std::size_t host_dim(const host_array* a, std::size_t k);
// True for a real, dense array of class double: the only kind a gateway reads as doubles.
bool host_is_real_double(const host_array* a);
// True for a complex, dense array of class double. Its real parts are at host_data(a) and
// its imaginary parts at host_imag_data(a), two separate column-major blocks (the
// separate-complex layout of the MEX API that both builds use).
bool host_is_complex_double(const host_array* a);
// Pointer to the imaginary parts of a complex double array; only meaningful when
// host_is_complex_double(a) holds.
double* host_imag_data(const host_array* a);

// Copies the text of a char row vector (or an empty char array) into buffer, with its
// terminating 0, and returns true; returns false (buffer unspecified) for any other array
// or a text that does not fit in size bytes.
bool host_read_string(const host_array* a, char* buffer, std::size_t size);

// Reads a true/false argument: a logical or real double scalar (nonzero is true). Returns
// false (value unchanged) for any other array and for NaN.
bool host_read_flag(const host_array* a, bool* value);

// New real m-by-n double array, every element 0.0. Owned by the host until returned.
host_array* host_create_matrix(std::size_t m, std::size_t n);
// New real m-by-n-by-p double array (a matrix when p is 1), every element 0.0.
host_array* host_create_pages(std::size_t m, std::size_t n, std::size_t p);
// New real m-by-n-by-p double array (a matrix when p is 1) whose elements are not set: the
// gateway writes every one before it returns the array (it spares the host a pass that
// fills it with zeros).
host_array* host_create_unset(std::size_t m, std::size_t n, std::size_t p);

// New m-by-n logical array, element i true where values[i] != 0 (values: m*n doubles).
host_array* host_create_logical(std::size_t m, std::size_t n, const double* values);

// New 1-by-N char array holding text (a string for the user).
host_array* host_create_string(const char* text);
// New 1-by-1 struct with the nfields fields named, each an empty matrix until set.
host_array* host_create_struct(const char* const* fields, int nfields);
// Stores value (created by the call, not yet handed back anywhere else) in the field of a
// struct made by host_create_struct; the struct owns it from then on.
void host_set_field(host_array* s, const char* field, host_array* value);

// The value of a field of a 1-by-1 struct argument, or null when s is not a 1-by-1 struct or
// has no field of that name. The struct keeps owning it (read it, never free or return it).
const host_array* host_get_field(const host_array* s, const char* field);

// Zero-filled scratch of count elements of size bytes each; never returns null.
void* host_calloc(std::size_t count, std::size_t size);
void host_free(void* p);

// Ends the call with an error showing text. Never returns. The host reclaims the
// scratch and the arrays that the call obtained and did not hand back.
[[noreturn]] void host_error(const char* text);

// The identifiers of this call's errors: after host_set_error_prefix("latbox:mimo_detect"),
// host_error_about("Y", text) raises text with the identifier "latbox:mimo_detect:Y", which
// the user can catch by (err.identifier), and host_error(text) uses "<prefix>:error". Every
// call starts without a prefix: its errors then carry no identifier.
void host_set_error_prefix(const char* prefix);
[[noreturn]] void host_error_about(const char* what, const char* text);

// A real numeric scalar of any numeric class (double, single, the integer classes), as
// MATLAB functions accept one: stores its value and returns true; false for anything else
// (complex, logical, char, struct, not 1-by-1).
bool host_read_real_scalar(const host_array* a, double* value);

// Shows a warning with an identifier (for example "latbox:kelvane:inaccurate") and returns;
// the user can catch it with lastwarn or silence it by its identifier.
void host_warning(const char* id, const char* text);

// True when the user has asked to interrupt the call (Ctrl-C at the prompt). Only the
// thread that called the gateway may ask; the gateway then frees its scratch and raises.
bool host_interrupt_pending();

// Asks the host to call fn before it unloads this MEX file (when the function is cleared or
// the host exits). One function per MEX file: a later call replaces it. Calling thread only.
void host_at_unload(void (*fn)());

// The signature every gateway has: counts and slots exactly as the host passes them.
typedef void gateway_fn(int nlhs, host_array* plhs[], int nrhs, const host_array* prhs[]);
