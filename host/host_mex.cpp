// SPDX-License-Identifier: BSD-3-Clause
// The host adapter over the MEX API of GNU Octave (and of MATLAB, built with -R2017b).
#include <cstdio>
#include <cstdlib>

#include "host/host.h"
#include "mex.h"

// The complex inputs are read as two blocks (mxGetPr, mxGetPi): the separate-complex API,
// which Octave's MEX interface gives by default and MATLAB with -R2017b. An interleaved
// build would have no mxGetPi.
#if defined(MX_HAS_INTERLEAVED_COMPLEX) && MX_HAS_INTERLEAVED_COMPLEX
#error "latbox's MEX files use the separate-complex API (MATLAB: mex -R2017b)"
#endif

#if defined(MATLAB_MEX_FILE)
// MATLAB's (undocumented, long-standing) test for a pending Ctrl-C.
extern "C" bool utIsInterruptPending(void);
#else
#include <octave/quit.h>  // octave_interrupt_state, set by Octave's SIGINT handler
#endif

static const mxArray* mx(const host_array* a) {
    return reinterpret_cast<const mxArray*>(a);
}

double* host_data(const host_array* a) {
    return mxGetPr(mx(a));
}
std::size_t host_rows(const host_array* a) {
    return mxGetM(mx(a));
}
std::size_t host_cols(const host_array* a) {
    return mxGetN(mx(a));
}
std::size_t host_ndims(const host_array* a) {
    return mxGetNumberOfDimensions(mx(a));
}
std::size_t host_dim(const host_array* a, std::size_t k) {
    return k < host_ndims(a) ? mxGetDimensions(mx(a))[k] : 1;
}

bool host_is_real_double(const host_array* a) {
    return mxIsDouble(mx(a)) && !mxIsComplex(mx(a)) && !mxIsSparse(mx(a));
}

bool host_is_complex_double(const host_array* a) {
    return mxIsDouble(mx(a)) && mxIsComplex(mx(a)) && !mxIsSparse(mx(a));
}

double* host_imag_data(const host_array* a) {
    return mxGetPi(mx(a));
}

bool host_read_string(const host_array* a, char* buffer, std::size_t size) {
    const mxArray* m = mx(a);
    if (!mxIsChar(m) || mxGetNumberOfDimensions(m) != 2) return false;
    if (mxGetM(m) > 1 || mxGetN(m) + 1 > size) return false;
    return mxGetString(m, buffer, static_cast<mwSize>(size)) == 0;
}

bool host_read_flag(const host_array* a, bool* value) {
    const mxArray* m = mx(a);
    if (mxGetNumberOfElements(m) != 1 || mxIsSparse(m) || mxIsComplex(m)) return false;
    if (mxIsLogical(m)) {
        *value = mxIsLogicalScalarTrue(m);
        return true;
    }
    if (!mxIsDouble(m)) return false;
    const double v = *mxGetPr(m);
    if (v != v) return false;  // NaN
    *value = v != 0.0;
    return true;
}

host_array* host_create_string(const char* text) {
    return reinterpret_cast<host_array*>(mxCreateString(text));
}

host_array* host_create_struct(const char* const* fields, int nfields) {
    return reinterpret_cast<host_array*>(
        mxCreateStructMatrix(1, 1, nfields, const_cast<const char**>(fields)));
}

void host_set_field(host_array* s, const char* field, host_array* value) {
    mxSetField(reinterpret_cast<mxArray*>(s), 0, field, reinterpret_cast<mxArray*>(value));
}

const host_array* host_get_field(const host_array* s, const char* field) {
    const mxArray* m = mx(s);
    if (!mxIsStruct(m) || mxGetNumberOfElements(m) != 1) return nullptr;
    return reinterpret_cast<const host_array*>(mxGetField(m, 0, field));
}

host_array* host_create_matrix(std::size_t m, std::size_t n) {
    return reinterpret_cast<host_array*>(mxCreateDoubleMatrix(m, n, mxREAL));
}

host_array* host_create_logical(std::size_t m, std::size_t n, const double* values) {
    mxArray* a = mxCreateLogicalMatrix(m, n);
    mxLogical* data = mxGetLogicals(a);
    for (std::size_t i = 0; i < m * n; ++i) data[i] = values[i] != 0.0;
    return reinterpret_cast<host_array*>(a);
}

host_array* host_create_pages(std::size_t m, std::size_t n, std::size_t p) {
    const mwSize dims[3] = {static_cast<mwSize>(m), static_cast<mwSize>(n), static_cast<mwSize>(p)};
    return reinterpret_cast<host_array*>(
        mxCreateNumericArray(p == 1 ? 2 : 3, dims, mxDOUBLE_CLASS, mxREAL));
}

host_array* host_create_unset(std::size_t m, std::size_t n, std::size_t p) {
    const mwSize dims[3] = {static_cast<mwSize>(m), static_cast<mwSize>(n), static_cast<mwSize>(p)};
    return reinterpret_cast<host_array*>(
        mxCreateUninitNumericArray(p == 1 ? 2 : 3, dims, mxDOUBLE_CLASS, mxREAL));
}

void* host_calloc(std::size_t count, std::size_t size) {
    // Both hosts return a valid pointer for zero bytes only sometimes; ask for one element
    // at least so that the pointer is always usable and always freeable.
    return mxCalloc(count == 0 ? 1 : count, size);
}

void host_free(void* p) {
    mxFree(p);
}

// The prefix of this call's error identifiers (host_set_error_prefix); mexFunction resets
// it at the start of every call.
static const char* error_prefix = nullptr;

void host_set_error_prefix(const char* prefix) {
    error_prefix = prefix;
}

void host_error_about(const char* what, const char* text) {
    if (error_prefix == nullptr) {
        mexErrMsgTxt(text);
    } else {
        char id[96];
        std::snprintf(id, sizeof id, "%s:%s", error_prefix, what);
        mexErrMsgIdAndTxt(id, "%s", text);
    }
    std::abort();  // neither returns; this only satisfies [[noreturn]]
}

void host_error(const char* text) {
    host_error_about("error", text);
}

bool host_read_real_scalar(const host_array* a, double* value) {
    const mxArray* m = mx(a);
    if (!mxIsNumeric(m) || mxIsComplex(m) || mxIsSparse(m) || mxGetNumberOfElements(m) != 1) {
        return false;
    }
    *value = mxGetScalar(m);
    return true;
}

void host_warning(const char* id, const char* text) {
    mexWarnMsgIdAndTxt(id, "%s", text);
}

bool host_interrupt_pending() {
#if defined(MATLAB_MEX_FILE)
    return utIsInterruptPending();
#else
    return octave_interrupt_state != 0;
#endif
}

void host_at_unload(void (*fn)()) {
    mexAtExit(fn);
}
