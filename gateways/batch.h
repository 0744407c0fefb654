// SPDX-License-Identifier: BSD-3-Clause
// What the batch forms share: reading a frame of channels (R as n-by-n or n-by-n-by-P),
// choosing the thread count, and running the columns of a frame on worker threads.
//
// Every check is made and every buffer obtained on the calling thread before any worker
// starts; workers run host-free column functions only, each column writing its own part of
// the outputs, so the results do not depend on the thread count or on which thread ran a
// column. The calling thread runs columns too and asks the host between its columns whether
// the user pressed Ctrl-C; the workers see the answer through a shared flag.
#pragma once

#include <cstddef>

#include "core/interrupt_check.h"
#include "host/host.h"

// The channels of a frame of K columns: R is n-by-n (one channel for every column) or
// n-by-n-by-P with K a multiple of P, column k (0-based) using page k / (K/P).
struct batch_channels {
    const double* R;
    std::size_t n;
    std::size_t pages;
    std::size_t columns_per_page;
};

// Checks R (a real double matrix, or a three-dimensional array, of square pages) and reads
// it; columns_per_page is set by read_frame. Messages name the argument `name` ("R").
batch_channels read_channels(const host_array* R, const char* name);

// Checks that Y is a real double n-by-K matrix (K = 0 included) with K a multiple of the
// pages of R, sets channels.columns_per_page, and returns K.
std::size_t read_frame(const host_array* Y, batch_channels& channels, const char* name);

inline std::size_t channel_page(const batch_channels& c, std::size_t column) {
    return column / c.columns_per_page;
}
inline const double* channel_of(const batch_channels& c, std::size_t column) {
    return c.R + channel_page(c, column) * c.n * c.n;
}

// A per-column argument given as a scalar or a 1-by-K (or K-by-1) vector: its value for
// column k. Checks the class and the element count.
struct batch_scalars {
    const double* values;
    bool per_column;
    double at(std::size_t k) const { return values[per_column ? k : 0]; }
};
batch_scalars read_scalars(const host_array* a, std::size_t K, const char* name);

// "<name> column <k+1>" (1-based, as the user counts) into buffer, for messages.
const char* column_name(char (&buffer)[48], const char* name, std::size_t k);
const char* page_name(char (&buffer)[48], const char* name, std::size_t p);

// One column of a frame: computes column `column` with `scratch` (the calling thread's
// scratch_bytes, zero-filled when the call began and left as the thread's previous column
// left it: a column function sets up what it needs). Host-free: it runs on worker threads.
// Returns false when `check` stopped it before it finished.
typedef bool batch_column_fn(const void* job, std::size_t column, void* scratch,
                             const interrupt_check& check);

struct batch_work {
    batch_column_fn* run;
    const void* job;
    std::size_t columns;
    std::size_t scratch_bytes;  // per thread
    double column_cost;         // rough nanoseconds per column, to size the thread count
    // 0, or the most threads the default rule may choose (LATBOX_NUM_THREADS may ask for
    // more): for work that threads cannot speed up
    std::size_t default_thread_cap = 0;
};

// Threads for `columns` columns of `column_cost` ns each: the CPUs this process may run on,
// no more than the columns, and only as many as get about 100 us of work each;
// LATBOX_NUM_THREADS (a positive integer) overrides the count (1: serial).
std::size_t batch_thread_count(std::size_t columns, double column_cost,
                               std::size_t default_cap = 0);

// Runs every column. Returns false when the user interrupted the call: then some columns
// were not computed. The scratch is freed either way; the gateway raises
// interrupted_message (gateways/args.h) after freeing what it obtained itself.
bool batch_run(const batch_work& work);
