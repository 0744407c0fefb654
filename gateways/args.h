// Argument checks shared by the gateways: one message per fault, raised through the host.
//
// Every message names the argument and ends in a newline, like the gateways' own.
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

// "<name> must not contain NaN or Inf\n" unless the first count elements are finite.
void require_finite(const double* v, std::size_t count, const char* name);

// Raises "<name> <text>\n".
[[noreturn]] void raise_about(const char* name, const char* text);

// The message of a call that the user interrupted (Ctrl-C), raised after freeing the scratch.
extern const char* const interrupted_message;

// A check that asks the host whether the user pressed Ctrl-C (the calling thread only).
extern const interrupt_check host_interrupt;
