// SPDX-License-Identifier: BSD-3-Clause
// What the batch forms share: reading a frame of channels (R as n-by-n or n-by-n-by-P),
// choosing the thread count, and running the columns of a frame on worker threads.
//
// Every buffer is obtained on the calling thread before any worker starts, and every check
// made there or, through batch_all_valid, on the workers with any fault raised by the
// calling thread; workers run host-free column functions only, each column writing its own
// part of the outputs, so the results do not depend on the thread count or on which thread
// ran a column. The calling thread runs columns too and asks the host between its chunks of
// columns whether the user pressed Ctrl-C; the workers see the answer through a shared flag.
// The workers persist between calls (parked), one set per library, that is per MEX file.
#pragma once

#include <cstddef>

#include "core/interrupt_check.h"
#include "gateways/args.h"
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

// require_finite on each of the K columns of a rows-by-K matrix, the first fault named
// "<name> column <k>"; require_triangular on each of `pages` n-by-n pages, named "<name>"
// when there is one page and "<name> page <p>" otherwise. A name is formatted only for its
// message: the checks cost what the values do, on calls of any size.
void require_finite_columns(const double* v, std::size_t rows, std::size_t K, const char* name);
void require_triangular_pages(const double* R, std::size_t n, std::size_t pages,
                              below_diagonal below, const char* name);

// Columns [begin, end) of a frame: computes each with `scratch` (the calling thread's
// scratch_bytes, zero-filled when the call began and left as the thread's previous columns
// left it: a column function sets up what it needs). Host-free: it runs on worker threads.
// Returns false when `check` stopped it before it finished.
typedef bool batch_columns_fn(const void* job, std::size_t begin, std::size_t end, void* scratch,
                              const interrupt_check& check);

// One column, for gateways that write their work column by column: batch_each<f> runs f
// on each column of the range in turn (f is inlined into the loop).
typedef bool batch_column_fn(const void* job, std::size_t column, void* scratch,
                             const interrupt_check& check);
template <batch_column_fn* column>
bool batch_each(const void* job, std::size_t begin, std::size_t end, void* scratch,
                const interrupt_check& check) {
    for (std::size_t k = begin; k < end; ++k) {
        if (!column(job, k, scratch, check)) return false;
    }
    return true;
}

struct batch_work {
    batch_columns_fn* run;
    const void* job;
    std::size_t columns;
    std::size_t scratch_bytes;  // per thread
    double column_cost;         // rough nanoseconds per column, to size the thread count
    // 0, or the most threads the default rule may choose (LATBOX_NUM_THREADS may ask for
    // more): for work that threads cannot speed up
    std::size_t default_thread_cap = 0;
};

// Threads for `columns` columns of `column_cost` ns each: the CPUs this process may run on,
// no more than the columns, and only as many as get about 20 us of work each (waking a
// parked worker costs a few microseconds); LATBOX_NUM_THREADS (a positive integer)
// overrides the count (1: serial).
std::size_t batch_thread_count(std::size_t columns, double column_cost,
                               std::size_t default_cap = 0);

// Runs every column. Returns false when the user interrupted the call: then some columns
// were not computed. The scratch is freed either way; the gateway raises
// interrupted_message (gateways/args.h) after freeing what it obtained itself.
bool batch_run(const batch_work& work);

// Checks on the workers. `valid` answers whether items [begin, end) all pass a check (an
// item is whatever the gateway counts: a column of Y, a page of R, ...); host-free, it runs
// on worker threads. batch_all_valid runs it over items [0, items) like batch_run and
// returns true when every item passed. On false the gateway runs its own checks on the
// calling thread, which raise the message of the first fault in their order: the workers
// only spare the calling thread that pass when nothing is wrong, so `valid` must fail on
// exactly the inputs that those checks reject.
typedef bool batch_valid_fn(const void* job, std::size_t begin, std::size_t end);
bool batch_all_valid(batch_valid_fn* valid, const void* job, std::size_t items, double item_cost);

// The workers are started when a call first needs them and then wait, parked, for the
// next call. batch_stop_workers ends them (they start again when needed); it runs when
// the MEX file is cleared or the host exits (and at unload of the library).
void batch_stop_workers();

// For benchmarks: the seconds this library's calls have spent in their parallel parts
// (from the start of the calling thread's first columns to the end of the last column on
// any thread), summed over every call so far.
double batch_parallel_seconds();
