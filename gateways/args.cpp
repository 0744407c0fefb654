// Argument checks shared by the gateways.
#include "gateways/args.h"

#include <cmath>
#include <cstdio>

void raise_about(const char* name, const char* text) {
    // A stack buffer: nothing that owns memory may be alive when the host error unwinds.
    char message[160];
    std::snprintf(message, sizeof message, "%s %s\n", name, text);
    host_error(message);
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

void require_finite(const double* v, std::size_t count, const char* name) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(v[i])) raise_about(name, "must not contain NaN or Inf");
    }
}

const char* const interrupted_message = "interrupted\n";

namespace {
bool ask_host(const void*) {
    return host_interrupt_pending();
}
}  // namespace

const interrupt_check host_interrupt{ask_host, nullptr};
