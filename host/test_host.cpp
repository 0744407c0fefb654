// SPDX-License-Identifier: BSD-3-Clause
// The in-process test host: the host operations backed by plain heap memory.
#include "host/test_host.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

struct th_error_raised {
    std::string text;
    std::string identifier;
};

struct th_block {
    void* p;
    bool live;
};

// State of the call in progress (tests drive one call at a time).
struct th_context {
    std::vector<th_block> blocks;
    std::vector<std::size_t> alloc_sizes;
    std::vector<std::size_t> free_order;
    std::vector<host_array*> created;
    std::vector<std::string> warnings;
    std::size_t polls = 0;
    std::string error_prefix;  // host_set_error_prefix; empty: no identifiers
};

th_context* current = nullptr;
long interrupt_after = -1;  // for the next call only

th_context& context() {
    if (current == nullptr) {
        throw std::logic_error("host operation outside th_call");
    }
    return *current;
}

host_array* new_array(th_class cls, std::size_t m, std::size_t n) {
    auto* a = new host_array;
    a->cls = cls;
    a->rows = m;
    a->cols = n;
    std::size_t bytes = m * n * th_element_size(cls);
    // malloc(0) still gives a distinct block, so reading any element of an empty array
    // is reported by AddressSanitizer.
    a->bytes = static_cast<unsigned char*>(std::malloc(bytes));
    if (bytes != 0 && a->bytes == nullptr) throw std::bad_alloc();
    if (bytes != 0) std::memset(a->bytes, 0, bytes);
    return a;
}

void delete_array(host_array* a) {
    for (auto& f : a->fields) {
        if (f.second != nullptr) delete_array(f.second);
    }
    std::free(a->bytes);
    std::free(a->imag);
    delete a;
}

}  // namespace

std::size_t th_element_size(th_class cls) {
    switch (cls) {
        case th_class::real_double:
            return 8;
        case th_class::single:
            return 4;
        case th_class::int32:
            return 4;
        case th_class::logical:
            return 1;
        case th_class::complex_double:
            return 8;  // real part; the imaginary parts are a block of their own
        case th_class::char_string:
            return 1;
        case th_class::structure:
            return 8;
        case th_class::sparse_double:
            return 8;
    }
    return 8;
}

void th_array_deleter::operator()(host_array* a) const {
    delete_array(a);
}

th_array th_typed(th_class cls, std::size_t m, std::size_t n) {
    th_array a(new_array(cls, m, n));
    if (cls == th_class::complex_double) {
        a->imag = static_cast<unsigned char*>(std::calloc(m * n == 0 ? 1 : m * n, 8));
    }
    return a;
}

th_array th_typed_scalar(th_class cls, double v) {
    th_array a(new_array(cls, 1, 1));
    if (cls == th_class::single) {
        const auto f = static_cast<float>(v);
        std::memcpy(a->bytes, &f, sizeof f);
    } else if (cls == th_class::int32) {
        const auto i = static_cast<std::int32_t>(v);
        std::memcpy(a->bytes, &i, sizeof i);
    } else {
        std::memcpy(a->bytes, &v, sizeof v);
    }
    return a;
}

th_array th_string(const std::string& text) {
    th_array a(new_array(th_class::char_string, 1, text.size()));
    a->text = text;
    if (!text.empty()) std::memcpy(a->bytes, text.data(), text.size());
    return a;
}

th_array th_complex(std::size_t m, std::size_t n, std::size_t p, const std::vector<double>& re,
                    const std::vector<double>& im) {
    th_array a = th_typed(th_class::complex_double, m, n * p);
    const std::size_t count = m * n * p;
    const std::size_t nre = count < re.size() ? count : re.size();
    const std::size_t nim = count < im.size() ? count : im.size();
    if (nre != 0) std::memcpy(a->bytes, re.data(), nre * sizeof(double));  // (no null pointer)
    if (nim != 0) std::memcpy(a->imag, im.data(), nim * sizeof(double));
    a->pages = p;
    a->paged = p != 1;
    a->page_cols = n;
    return a;
}

th_array th_matrix(std::size_t m, std::size_t n, const std::vector<double>& values) {
    th_array a(new_array(th_class::real_double, m, n));
    std::size_t count = m * n < values.size() ? m * n : values.size();
    if (count != 0) std::memcpy(a->bytes, values.data(), count * sizeof(double));
    return a;
}

th_array th_matrix(std::size_t m, std::size_t n, std::initializer_list<double> values) {
    return th_matrix(m, n, std::vector<double>(values));
}

th_array th_pages(std::size_t m, std::size_t n, std::size_t p, const std::vector<double>& values) {
    th_array a = th_matrix(m, n * p, values);
    a->pages = p;
    a->paged = p != 1;
    a->page_cols = n;
    return a;
}

th_array th_column(const std::vector<double>& values) {
    return th_matrix(values.size(), 1, values);
}

th_array th_scalar(double v) {
    return th_matrix(1, 1, {v});
}

const double* th_values(const th_array& a) {
    return reinterpret_cast<const double*>(a->bytes);
}

const double* th_values(const host_array* a) {
    return reinterpret_cast<const double*>(a->bytes);
}

const host_array* th_field(const host_array* s, const std::string& name) {
    for (const auto& f : s->fields) {
        if (f.first == name) return f.second;
    }
    return nullptr;
}

th_result th_call(gateway_fn* gateway, int nlhs, const std::vector<const host_array*>& inputs) {
    th_context ctx;
    th_result result;
    int nslots = nlhs > 1 ? nlhs : 1;
    int nrhs = static_cast<int>(inputs.size());
    // Heap blocks of exactly the list sizes, so that overruns are caught.
    auto* plhs = static_cast<host_array**>(std::malloc(sizeof(host_array*) * nslots));
    auto* prhs = static_cast<const host_array**>(std::malloc(sizeof(host_array*) * nrhs));
    for (int i = 0; i < nslots; ++i) plhs[i] = nullptr;
    for (int i = 0; i < nrhs; ++i) prhs[i] = inputs[i];

    current = &ctx;
    try {
        gateway(nlhs, plhs, nrhs, prhs);
    } catch (const th_error_raised& e) {
        result.failed = true;
        result.message = e.text;
        result.identifier = e.identifier;
    }
    current = nullptr;

    // Outputs stand in the slots only on a normal return; on an error the host
    // discards everything the call created, as the real hosts do.
    for (int i = 0; i < nslots; ++i) {
        host_array* a = result.failed ? nullptr : plhs[i];
        result.outputs.emplace_back(a);
        for (auto& c : ctx.created) {
            if (c == a) c = nullptr;
        }
    }
    for (host_array* c : ctx.created) {
        if (c != nullptr) {
            ++result.arrays_discarded;
            delete_array(c);
        }
    }
    for (const th_block& b : ctx.blocks) {
        if (b.live) {
            ++result.blocks_live;
            std::free(b.p);
        }
    }
    result.blocks_obtained = ctx.blocks.size();
    result.blocks_freed = ctx.free_order.size();
    result.alloc_sizes = ctx.alloc_sizes;
    result.free_order = ctx.free_order;
    result.warnings = ctx.warnings;
    result.interrupt_polls = ctx.polls;
    interrupt_after = -1;
    std::free(plhs);
    std::free(prhs);
    return result;
}

// ---- the host operations ------------------------------------------------------------

double* host_data(const host_array* a) {
    return reinterpret_cast<double*>(a->bytes);
}
std::size_t host_rows(const host_array* a) {
    return a->rows;
}
std::size_t host_cols(const host_array* a) {
    return a->cols;
}
bool host_is_real_double(const host_array* a) {
    return a->cls == th_class::real_double;
}
bool host_is_complex_double(const host_array* a) {
    return a->cls == th_class::complex_double;
}
double* host_imag_data(const host_array* a) {
    return reinterpret_cast<double*>(a->imag);
}
std::size_t host_ndims(const host_array* a) {
    return a->paged ? 3 : 2;
}
std::size_t host_dim(const host_array* a, std::size_t k) {
    switch (k) {
        case 0:
            return a->rows;
        case 1:
            return a->paged ? a->page_cols : a->cols;
        case 2:
            return a->paged ? a->pages : 1;
        default:
            return 1;
    }
}

host_array* host_create_matrix(std::size_t m, std::size_t n) {
    host_array* a = new_array(th_class::real_double, m, n);
    context().created.push_back(a);
    return a;
}

host_array* host_create_logical(std::size_t m, std::size_t n, const double* values) {
    host_array* a = new_array(th_class::logical, m, n);
    for (std::size_t i = 0; i < m * n; ++i) a->bytes[i] = values[i] != 0.0 ? 1 : 0;
    context().created.push_back(a);
    return a;
}

host_array* host_create_pages(std::size_t m, std::size_t n, std::size_t p) {
    host_array* a = host_create_matrix(m, n * p);
    a->pages = p;
    a->paged = p != 1;
    a->page_cols = n;
    return a;
}

bool host_read_string(const host_array* a, char* buffer, std::size_t size) {
    if (a->cls != th_class::char_string || a->text.size() + 1 > size) return false;
    std::memcpy(buffer, a->text.c_str(), a->text.size() + 1);
    return true;
}

host_array* host_create_string(const char* text) {
    const std::string t(text);
    host_array* a = new_array(th_class::char_string, 1, t.size());
    a->text = t;
    if (!t.empty()) std::memcpy(a->bytes, t.data(), t.size());
    context().created.push_back(a);
    return a;
}

host_array* host_create_struct(const char* const* fields, int nfields) {
    host_array* a = new_array(th_class::structure, 1, 1);
    for (int i = 0; i < nfields; ++i) a->fields.emplace_back(fields[i], nullptr);
    context().created.push_back(a);
    return a;
}

void host_set_field(host_array* s, const char* field, host_array* value) {
    th_context& ctx = context();
    for (auto& f : s->fields) {
        if (f.first == field) {
            if (f.second != nullptr) delete_array(f.second);
            f.second = value;
            // the struct owns it now: it is no longer a loose array of the call
            for (auto& c : ctx.created) {
                if (c == value) c = nullptr;
            }
            return;
        }
    }
    throw std::logic_error("host_set_field of a field the struct does not have");
}

bool host_read_flag(const host_array* a, bool* value) {
    if (a->rows * a->cols != 1) return false;
    if (a->cls == th_class::logical) {
        *value = a->bytes[0] != 0;
        return true;
    }
    if (a->cls != th_class::real_double) return false;
    double v = 0.0;
    std::memcpy(&v, a->bytes, sizeof v);
    if (v != v) return false;  // NaN
    *value = v != 0.0;
    return true;
}

const host_array* host_get_field(const host_array* s, const char* field) {
    if (s->cls != th_class::structure || s->rows != 1 || s->cols != 1) return nullptr;
    for (const auto& f : s->fields) {
        if (f.first == field) return f.second;
    }
    return nullptr;
}

th_array th_struct(std::vector<std::pair<std::string, th_array>> fields) {
    th_array a(new_array(th_class::structure, 1, 1));
    for (auto& f : fields) a->fields.emplace_back(f.first, f.second.release());
    return a;
}

host_array* host_create_unset(std::size_t m, std::size_t n, std::size_t p) {
    host_array* a = host_create_pages(m, n, p);
    // a NaN no computation makes, so that an element left unset shows in any comparison
    const std::uint64_t unset = 0x7ff4dead0000beefULL;
    for (std::size_t i = 0; i < m * n * p; ++i) std::memcpy(a->bytes + 8 * i, &unset, 8);
    return a;
}

void* host_calloc(std::size_t count, std::size_t size) {
    th_context& ctx = context();
    void* p = std::calloc(count == 0 ? 1 : count, size);
    if (p == nullptr) throw std::bad_alloc();
    ctx.blocks.push_back({p, true});
    ctx.alloc_sizes.push_back(count);
    return p;
}

void host_free(void* p) {
    th_context& ctx = context();
    for (std::size_t i = 0; i < ctx.blocks.size(); ++i) {
        if (ctx.blocks[i].p == p && ctx.blocks[i].live) {
            ctx.blocks[i].live = false;
            ctx.free_order.push_back(i);
            std::free(p);
            return;
        }
    }
    throw std::logic_error("host_free of a block that is not live");
}

void host_set_error_prefix(const char* prefix) {
    context().error_prefix = prefix != nullptr ? prefix : "";
}

void host_error_about(const char* what, const char* text) {
    const th_context& ctx = context();
    throw th_error_raised{text, ctx.error_prefix.empty() ? "" : ctx.error_prefix + ":" + what};
}

void host_error(const char* text) {
    host_error_about("error", text);
}

bool host_read_real_scalar(const host_array* a, double* value) {
    if (a->rows * a->cols != 1) return false;
    switch (a->cls) {
        case th_class::real_double: {
            double v;
            std::memcpy(&v, a->bytes, sizeof v);
            *value = v;
            return true;
        }
        case th_class::single: {
            float v;
            std::memcpy(&v, a->bytes, sizeof v);
            *value = v;
            return true;
        }
        case th_class::int32: {
            std::int32_t v;
            std::memcpy(&v, a->bytes, sizeof v);
            *value = v;
            return true;
        }
        default:
            return false;
    }
}

void host_warning(const char* id, const char* text) {
    context().warnings.push_back(std::string(id) + ": " + text);
}

bool host_interrupt_pending() {
    th_context& ctx = context();
    const std::size_t asked = ctx.polls++;
    return interrupt_after >= 0 && asked >= static_cast<std::size_t>(interrupt_after);
}

void th_interrupt_after(long polls) {
    interrupt_after = polls;
}

namespace {
void (*unload_fn)() = nullptr;
}

void host_at_unload(void (*fn)()) {
    unload_fn = fn;
}

void th_unload() {
    if (unload_fn != nullptr) unload_fn();
    unload_fn = nullptr;
}
