// SPDX-License-Identifier: BSD-3-Clause
// The shared steps of the batch forms (see batch.h).
#include "gateways/batch.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
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

void require_finite_columns(const double* v, std::size_t rows, std::size_t K, const char* name) {
    for (std::size_t k = 0; k < K; ++k) {
        if (all_finite(v + k * rows, rows)) continue;
        char buffer[48];
        require_finite(v + k * rows, rows, column_name(buffer, name, k));
    }
}

void require_triangular_pages(const double* R, std::size_t n, std::size_t pages,
                              below_diagonal below, const char* name) {
    for (std::size_t p = 0; p < pages; ++p) {
        const double* page = R + p * n * n;
        if (is_triangular(page, n, below)) continue;
        char buffer[48];
        require_triangular(page, n, below, pages == 1 ? name : page_name(buffer, name, p));
    }
}

namespace {

constexpr std::size_t max_threads = 256;
// A worker that has finished its columns keeps looking for the next call this long before
// it parks: calls in a loop then start without waking anyone.
constexpr std::chrono::microseconds spin_time(200);

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

// What the threads of one call share. Columns are handed out in chunks from `next`, on a
// cache line of its own: every chunk writes it.
struct frame_run {
    const batch_work* work;
    unsigned char* scratch;  // 64-byte aligned
    std::size_t stride;      // bytes of scratch per thread, a multiple of 64
    std::size_t chunk;
    bool poll_host;  // whether the calling thread asks the host for Ctrl-C
    std::atomic<bool> stop{false};
    alignas(64) std::atomic<std::size_t> next{0};
    char after_next[64 - sizeof(std::atomic<std::size_t>)];
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

void run_columns(frame_run& run, std::size_t thread, bool calling_thread) {
    const interrupt_check check{calling_thread && run.poll_host ? host_or_flag : flag_raised, &run};
    void* scratch = run.scratch + thread * run.stride;
    const batch_work& work = *run.work;
    const std::size_t columns = work.columns;
    for (;;) {
        if (check.pending(check.context)) return;
        const std::size_t first = run.next.fetch_add(run.chunk, std::memory_order_relaxed);
        if (first >= columns) return;
        const std::size_t last = first + run.chunk < columns ? first + run.chunk : columns;
        if (!work.run(work.job, first, last, scratch, check)) {
            run.stop.store(true, std::memory_order_relaxed);
            return;
        }
    }
}

// The workers of this library (one pool per MEX file), parked between calls. Worker i
// (1-based) takes part in a call that asks for more than i threads, if it wakes before the
// calling thread has finished its own columns: the calling thread then closes the call and
// waits only for the workers that joined it, so a worker that the system schedules late
// costs nothing. The calling thread is thread 0. Everything but `generation` (a hint for
// spinning workers) and `joined` (read while spinning) changes under the mutex only.
class worker_pool {
public:
    ~worker_pool() { stop(); }

    // Offers `run` to workers 1 .. threads-1, starting those not yet running.
    void open(frame_run* run, std::size_t threads) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint64_t generation = generation_.load(std::memory_order_relaxed);
        while (count_ + 1 < threads) {
            try {
                threads_[count_] = std::thread(&worker_pool::loop, this, count_ + 1, generation);
            } catch (...) {
                break;  // no more threads to be had: the ones running take the rest
            }
            ++count_;
        }
        run_ = run;
        active_ = threads - 1;
        generation_.store(generation + 1, std::memory_order_release);
        if (parked_ > 0) wake_.notify_all();
    }

    // Closes the call to workers that have not joined it yet and waits until those that
    // did have finished; every 5 ms without that, calls poll() (which may raise the call's
    // stop flag).
    template <class Poll>
    void close(Poll poll) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            run_ = nullptr;
            if (joined_.load(std::memory_order_relaxed) == 0) return;
        }
        const auto until = std::chrono::steady_clock::now() + spin_time;
        while (joined_.load(std::memory_order_acquire) != 0 &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
        std::unique_lock<std::mutex> lock(mutex_);
        while (joined_.load(std::memory_order_acquire) != 0) {
            if (done_.wait_for(lock, std::chrono::milliseconds(5)) == std::cv_status::timeout &&
                joined_.load(std::memory_order_relaxed) != 0) {
                poll();
            }
        }
    }

    // Ends every worker (none is in a call: calls finish before they return).
    void stop() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (count_ == 0) return;
        stopping_ = true;
        generation_.fetch_add(1, std::memory_order_release);
        lock.unlock();
        wake_.notify_all();
        for (std::size_t t = 0; t < count_; ++t) threads_[t].join();
        lock.lock();
        count_ = 0;
        stopping_ = false;
    }

private:
    void loop(std::size_t index, std::uint64_t seen) {
        for (;;) {
            // look for the next call a while, then park
            const auto until = std::chrono::steady_clock::now() + spin_time;
            while (generation_.load(std::memory_order_relaxed) == seen &&
                   std::chrono::steady_clock::now() < until) {
                std::this_thread::yield();
            }
            frame_run* run = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ++parked_;
                wake_.wait(lock, [&] {
                    return stopping_ || generation_.load(std::memory_order_relaxed) != seen;
                });
                --parked_;
                if (stopping_) return;
                seen = generation_.load(std::memory_order_relaxed);
                if (run_ == nullptr || index > active_) continue;
                run = run_;
                joined_.store(joined_.load(std::memory_order_relaxed) + 1,
                              std::memory_order_relaxed);
            }
            run_columns(*run, index, false);
            std::lock_guard<std::mutex> lock(mutex_);
            const std::size_t left = joined_.load(std::memory_order_relaxed) - 1;
            joined_.store(left, std::memory_order_release);  // its columns are written
            if (left == 0) done_.notify_one();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::thread threads_[max_threads - 1];
    std::size_t count_ = 0;
    std::size_t parked_ = 0;
    bool stopping_ = false;
    frame_run* run_ = nullptr;
    std::size_t active_ = 0;
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<std::size_t> joined_{0};
};

worker_pool pool;
std::atomic<double> parallel_seconds{0.0};

// Runs every column of `work` on `threads` threads; false when it was stopped.
bool run_parallel(const batch_work& work, std::size_t threads, bool poll_host) {
    frame_run run;
    run.work = &work;
    run.poll_host = poll_host;
    run.stride = (work.scratch_bytes + 63) / 64 * 64;
    // chunks small enough to balance uneven columns (16 a thread), large enough (about
    // 20 us, 64 columns at least) that handing them out costs nothing
    const double cost = work.column_cost > 1.0 ? work.column_cost : 1.0;
    const double big = 2e4 / cost;
    const std::size_t most = big > 64.0 ? static_cast<std::size_t>(big) : 64;
    const std::size_t chunk = work.columns / (threads * 16);
    run.chunk = chunk < 1 ? 1 : chunk > most ? most : chunk;
    // the threads' parts on cache lines of their own
    void* block = nullptr;
    run.scratch = nullptr;
    if (run.stride > 0) {
        block = host_calloc(threads * run.stride / 8 + 8, 8);
        const auto address = reinterpret_cast<std::uintptr_t>(block);
        run.scratch = static_cast<unsigned char*>(block) + (64 - address % 64) % 64;
    }
    // (asked on every call: a host that unloaded nothing may have forgotten it)
    if (threads > 1) host_at_unload(batch_stop_workers);
    const auto t0 = std::chrono::steady_clock::now();
    if (threads > 1) pool.open(&run, threads);
    run_columns(run, 0, true);
    // Workers that joined may still be in long columns: keep asking the host for Ctrl-C.
    if (threads > 1) {
        pool.close([&] {
            if (poll_host && host_interrupt_pending()) {
                run.stop.store(true, std::memory_order_relaxed);
            }
        });
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    parallel_seconds.store(parallel_seconds.load(std::memory_order_relaxed) + seconds,
                           std::memory_order_relaxed);
    if (block != nullptr) host_free(block);
    return !run.stop.load();
}

struct valid_job {
    batch_valid_fn* valid;
    const void* job;
};

bool run_valid(const void* job, std::size_t begin, std::size_t end, void*, const interrupt_check&) {
    const auto& j = *static_cast<const valid_job*>(job);
    return j.valid(j.job, begin, end);
}

}  // namespace

std::size_t batch_thread_count(std::size_t columns, double column_cost, std::size_t default_cap) {
    if (columns <= 1) return 1;
    std::size_t threads = requested_threads();
    if (threads == 0) {
        threads = available_cpus();
        // a thread is worth waking for about 20 us of work
        const double justified = static_cast<double>(columns) * column_cost / 2e4;
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
    return run_parallel(work, threads, true);
}

bool batch_all_valid(batch_valid_fn* valid, const void* job, std::size_t items, double item_cost) {
    const valid_job j{valid, job};
    const batch_work work{run_valid, &j, items, 0, item_cost};
    return run_parallel(work, batch_thread_count(items, item_cost), false);
}

void batch_stop_workers() {
    pool.stop();
}

double batch_parallel_seconds() {
    return parallel_seconds.load(std::memory_order_relaxed);
}
