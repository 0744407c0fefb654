// SPDX-License-Identifier: BSD-3-Clause
// The shared steps of the batch forms (see batch.h).
#include "gateways/batch.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

#include "gateways/args.h"

batch_channels read_channels(const host_array* R, const char* name) {
    require_real_double(R, name);
    if (host_ndims(R) > 3) raise_about(name, "must be an n-by-n matrix or an n-by-n-by-P array");
    const std::size_t n = host_dim(R, 0);
    if (host_dim(R, 1) != n) raise_about(name, "must be square");
    const std::size_t pages = host_dim(R, 2);
    if (pages == 0) raise_about(name, "must have at least one page");
    return {host_data(R), n, pages, 0};
}

std::size_t read_frame(const host_array* Y, batch_channels& channels, const char* name) {
    require_real_double(Y, name);
    if (host_ndims(Y) != 2 || host_rows(Y) != channels.n) {
        raise_about(name, "must have as many rows as R has columns (one column per vector)");
    }
    const std::size_t K = host_cols(Y);
    if (K % channels.pages != 0) {
        raise_about(name, "must have a number of columns that is a multiple of the pages of R");
    }
    channels.columns_per_page = K / channels.pages;
    return K;
}

batch_scalars read_scalars(const host_array* a, std::size_t K, const char* name) {
    require_real_double(a, name);
    const std::size_t count = host_rows(a) * host_cols(a);
    const bool vector = host_ndims(a) == 2 && (host_rows(a) == 1 || host_cols(a) == 1);
    if (count == 1) return {host_data(a), false};
    if (vector && count == K) return {host_data(a), true};
    if (count == 0) raise_about(name, "must not be empty");
    raise_about(name, "must be a scalar or have one element per column of Y");
}

const char* column_name(char (&buffer)[48], const char* name, std::size_t k) {
    std::snprintf(buffer, sizeof buffer, "%s column %zu", name, k + 1);
    return buffer;
}

const char* page_name(char (&buffer)[48], const char* name, std::size_t p) {
    std::snprintf(buffer, sizeof buffer, "%s page %zu", name, p + 1);
    return buffer;
}

namespace {

constexpr std::size_t max_threads = 256;

std::size_t available_cpus() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
#endif
    const unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? count : 1;
}

// LATBOX_NUM_THREADS as a positive integer, or 0 when unset or not one.
std::size_t requested_threads() {
    const char* text = std::getenv("LATBOX_NUM_THREADS");
    if (text == nullptr) return 0;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < 1) return 0;
    return static_cast<std::size_t>(value);
}

// What the threads of one call share. Columns are handed out in chunks from `next`.
struct frame_run {
    const batch_work* work;
    unsigned char* scratch;
    std::size_t stride;  // bytes of scratch per thread
    std::size_t chunk;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    // workers that have finished, for the calling thread to wait on
    std::mutex mutex;
    std::condition_variable finished_cv;
    std::size_t finished = 0;
};

// Workers only look at the flag; the calling thread also asks the host and raises the flag.
bool flag_raised(const void* context) {
    return static_cast<const frame_run*>(context)->stop.load(std::memory_order_relaxed);
}

bool host_or_flag(const void* context) {
    auto* run = const_cast<frame_run*>(static_cast<const frame_run*>(context));
    if (host_interrupt_pending()) run->stop.store(true, std::memory_order_relaxed);
    return run->stop.load(std::memory_order_relaxed);
}

void run_columns(frame_run& run, std::size_t thread, bool calling_thread);

void worker(frame_run& run, std::size_t thread) {
    run_columns(run, thread, false);
    {
        std::lock_guard<std::mutex> lock(run.mutex);
        ++run.finished;
    }
    run.finished_cv.notify_one();
}

void run_columns(frame_run& run, std::size_t thread, bool calling_thread) {
    const interrupt_check check{calling_thread ? host_or_flag : flag_raised, &run};
    void* scratch = run.scratch + thread * run.stride;
    const std::size_t columns = run.work->columns;
    for (;;) {
        if (check.pending(check.context)) return;
        const std::size_t first = run.next.fetch_add(run.chunk, std::memory_order_relaxed);
        if (first >= columns) return;
        const std::size_t last = first + run.chunk < columns ? first + run.chunk : columns;
        for (std::size_t k = first; k < last; ++k) {
            if (!run.work->run(run.work->job, k, scratch, check)) {
                run.stop.store(true, std::memory_order_relaxed);
                return;
            }
        }
    }
}

}  // namespace

std::size_t batch_thread_count(std::size_t columns, double column_cost, std::size_t default_cap) {
    if (columns <= 1) return 1;
    std::size_t threads = requested_threads();
    if (threads == 0) {
        threads = available_cpus();
        // a thread is worth starting for about 100 us of work
        const double justified = static_cast<double>(columns) * column_cost / 1e5;
        if (justified < static_cast<double>(threads)) {
            threads = justified < 1.0 ? 1 : static_cast<std::size_t>(justified);
        }
        if (default_cap > 0 && threads > default_cap) threads = default_cap;
    }
    if (threads > columns) threads = columns;
    if (threads > max_threads) threads = max_threads;
    return threads;
}

bool batch_run(const batch_work& work) {
    const std::size_t threads =
        batch_thread_count(work.columns, work.column_cost, work.default_thread_cap);
    frame_run run;
    run.work = &work;
    run.stride = (work.scratch_bytes + 63) / 64 * 64;
    // chunks small enough to balance uneven columns, large enough to keep the counter cool
    std::size_t chunk = work.columns / (threads * 16);
    run.chunk = chunk < 1 ? 1 : chunk > 64 ? 64 : chunk;
    run.scratch = static_cast<unsigned char*>(host_calloc(threads * run.stride / 8 + 1, 8));

    std::thread workers[max_threads];
    std::size_t started = 0;
    for (std::size_t t = 1; t < threads; ++t) {
        try {
            workers[started] = std::thread(worker, std::ref(run), t);
            ++started;
        } catch (...) {
            break;  // no more threads to be had: the ones running take the rest
        }
    }
    run_columns(run, 0, true);
    // The workers may still be in long columns: keep asking the host for Ctrl-C meanwhile.
    {
        std::unique_lock<std::mutex> lock(run.mutex);
        while (run.finished < started) {
            run.finished_cv.wait_for(lock, std::chrono::milliseconds(5));
            if (run.finished < started && host_interrupt_pending()) {
                run.stop.store(true, std::memory_order_relaxed);
            }
        }
    }
    for (std::size_t t = 0; t < started; ++t) workers[t].join();
    host_free(run.scratch);
    return !run.stop.load();
}
