// The batch run: rows are handed out in blocks from a shared counter, so a
// worker whose rows converge quickly takes more of them; every worker fits its
// rows into its own scratch, made once for the run. A long run is watched by
// the calling thread, which then fits nothing itself and can cancel it. Threads are plain POSIX
// threads: their creation reports failure as a value, which the module turns
// into an exception (a failing std::thread constructor could only abort in a
// build without exceptions).
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "rows/memory_limit.hpp"
#include "rows/row_batch.hpp"

namespace zelvane::rows {

namespace {

// Large enough that the counter is touched rarely, small enough that rows
// whose passes run long do not leave one worker finishing alone.
constexpr std::int64_t rows_per_block = 16;

// Scratch of different workers never shares a cache line.
constexpr std::int64_t scratch_alignment = 64;

struct shared_run {
    const kernel_adapter* adapter;
    const row_batch* batch;
    std::atomic<std::int64_t> next_row{0};
    std::atomic<bool> stop{false};    // a row failed: stop at the next block
    std::atomic<bool> cancel{false};  // the caller was interrupted: stop at once
    // Threads still working, for a watching caller to wait on.
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t finished = PTHREAD_COND_INITIALIZER;
    clockid_t clock = CLOCK_REALTIME;  // the clock of `finished`'s timed waits
    std::int64_t working = 0;
};

struct worker {
    shared_run* run;
    char* scratch;
    pthread_t thread;
    std::int64_t bad_row;
    row_failure failure;
};

// Blocks are taken in increasing order and a worker stops only between
// blocks or at its own failed row, so every row below the lowest failing one
// is fitted: the lowest failure any worker records is the batch's lowest. A
// cancelled run makes no such promise (it ends as interrupted): its workers
// stop between rows, and a row that a kernel gave up is not a failure.
void work(worker& self) noexcept {
    shared_run& run = *self.run;
    const row_batch& batch = *run.batch;
    const kernel_adapter& adapter = *run.adapter;
    const std::int64_t m = batch.masses;
    while (!run.stop.load(std::memory_order_relaxed)) {
        const std::int64_t first = run.next_row.fetch_add(rows_per_block, std::memory_order_relaxed);
        if (first >= batch.rows) return;
        const std::int64_t end = std::min(first + rows_per_block, batch.rows);
        for (std::int64_t r = first; r < end; ++r) {
            if (run.cancel.load(std::memory_order_relaxed)) return;
            const row_failure failure =
                adapter.fit_row(batch.center + r * batch.center_row_bytes,
                                batch.gap + r * m * batch.item_size, m, batch.parameter,
                                batch.out + r * batch.out_row_bytes, self.scratch, batch, r);
            if (failure.code != 0) {
                if (run.cancel.load(std::memory_order_relaxed)) return;
                self.bad_row = r;
                self.failure = failure;
                run.stop.store(true, std::memory_order_relaxed);
                return;
            }
        }
    }
}

void* thread_main(void* self) noexcept {
    auto& one = *static_cast<worker*>(self);
    work(one);
    shared_run& run = *one.run;
    pthread_mutex_lock(&run.lock);
    --run.working;
    pthread_cond_signal(&run.finished);
    pthread_mutex_unlock(&run.lock);
    return nullptr;
}

// Starts workers[first..count): a worker thread starts with every signal
// blocked, so that signals keep going to the interpreter's own threads.
// Returns the index after the last thread started, stopping at the first
// failure.
std::int64_t start_threads(worker* workers, std::int64_t first, std::int64_t count, int& error) noexcept {
    sigset_t all, caller;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &caller);
    shared_run& run = *workers[0].run;
    std::int64_t started = first;
    for (; started < count; ++started) {
        pthread_mutex_lock(&run.lock);
        ++run.working;
        pthread_mutex_unlock(&run.lock);
        error = pthread_create(&workers[started].thread, nullptr, thread_main, &workers[started]);
        if (error != 0) {
            pthread_mutex_lock(&run.lock);
            --run.working;
            pthread_mutex_unlock(&run.lock);
            break;
        }
    }
    pthread_sigmask(SIG_SETMASK, &caller, nullptr);
    return started;
}

// Waits for every started thread to finish, asking the watch every interval
// whether to cancel the run. Returns whether it did.
bool watch_until_finished(shared_run& run, const run_watch& watch) noexcept {
    bool cancelled = false;
    const std::int64_t interval_ns = std::max<std::int64_t>(1, watch.interval_ms) * 1000000;
    pthread_mutex_lock(&run.lock);
    while (run.working > 0) {
        timespec until{};
        clock_gettime(run.clock, &until);
        const std::int64_t ns = until.tv_nsec + interval_ns;
        until.tv_sec += static_cast<time_t>(ns / 1000000000);
        until.tv_nsec = static_cast<long>(ns % 1000000000);
        const int waited = pthread_cond_timedwait(&run.finished, &run.lock, &until);
        if (waited != ETIMEDOUT || cancelled || run.working == 0) continue;
        pthread_mutex_unlock(&run.lock);
        if (watch.interrupted(watch.context)) {
            cancelled = true;
            run.cancel.store(true, std::memory_order_relaxed);
            run.stop.store(true, std::memory_order_relaxed);
        }
        pthread_mutex_lock(&run.lock);
    }
    pthread_mutex_unlock(&run.lock);
    return cancelled;
}

// a * b, or -1 when it is negative or beyond std::int64_t.
std::int64_t checked_product(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t product = 0;
    if (a < 0 || b < 0 || __builtin_mul_overflow(a, b, &product)) return -1;
    return product;
}

}  // namespace

std::int64_t usable_cores() noexcept {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? online : 1;
}

run_outcome run_rows(const kernel_adapter& adapter, const row_batch& batch, std::int64_t workers,
                     const run_watch* watch) noexcept {
    run_outcome outcome;
    if (batch.rows <= 0) return outcome;
    const std::int64_t blocks = (batch.rows - 1) / rows_per_block + 1;
    const std::int64_t count = std::min(workers > 0 ? workers : usable_cores(), blocks);
    outcome.workers = count;
    const std::int64_t elements = checked_product(
        checked_product(batch.rows, std::max<std::int64_t>(1, adapter.out_length(batch.masses, batch.parameter))),
        batch.smoothing != 0.0 ? counts_work_per_element : 1);
    if (watch != nullptr && watch->interrupted != nullptr && elements >= 0 &&
        elements < unwatched_elements) {
        watch = nullptr;
    }

    // Every worker's scratch rounded up to whole cache lines, all of it
    // counted before any is allocated.
    const std::int64_t scratch_bytes = adapter.scratch_bytes(batch.masses, batch.parameter);
    const std::int64_t lines =
        scratch_bytes < 0 ? -1
                          : std::max<std::int64_t>(1, scratch_bytes / scratch_alignment +
                                                          (scratch_bytes % scratch_alignment != 0));
    const std::int64_t slice = lines < 0 ? -1 : checked_product(lines, scratch_alignment);
    const std::int64_t total = slice < 0 ? -1 : checked_product(slice, count);
    if (total < 0 || total > memory_bytes()) {
        // Beyond std::int64_t, or more than this process may have: refused before
        // anything is allocated (an overcommitting system would hand it out
        // and kill the process as the fit touched it).
        outcome.kind = run_outcome::out_of_memory;
        outcome.bytes = total;
        return outcome;
    }
    auto* scratch = static_cast<char*>(std::aligned_alloc(scratch_alignment, static_cast<std::size_t>(total)));
    auto* team = scratch == nullptr
                     ? nullptr
                     : static_cast<worker*>(std::calloc(static_cast<std::size_t>(count), sizeof(worker)));
    if (team == nullptr) {
        std::free(scratch);
        outcome.kind = run_outcome::out_of_memory;
        outcome.bytes = total;
        return outcome;
    }

    // The workers see the batch with the run's cancel flag.
    shared_run run{&adapter, nullptr};
    // The watch's waits are timed on the monotonic clock: a change of the
    // wall clock neither stalls nor hurries them.
    pthread_condattr_t monotonic;
    bool own_condition = false;
    if (pthread_condattr_init(&monotonic) == 0) {
        own_condition = pthread_condattr_setclock(&monotonic, CLOCK_MONOTONIC) == 0 &&
                        pthread_cond_init(&run.finished, &monotonic) == 0;
        pthread_condattr_destroy(&monotonic);
    }
    if (own_condition) run.clock = CLOCK_MONOTONIC;
    row_batch seen = batch;
    seen.cancel = &run.cancel;
    run.batch = &seen;
    for (std::int64_t k = 0; k < count; ++k) {
        team[k] = worker{&run, scratch + k * slice, pthread_t{}, -1, {}};
    }
    int error = 0;
    const std::int64_t first = watch != nullptr ? 0 : 1;
    const std::int64_t started = start_threads(team, first, count, error);
    bool cancelled = false;
    if (started < count) {
        run.stop.store(true, std::memory_order_relaxed);
    } else if (watch != nullptr) {
        cancelled = watch_until_finished(run, *watch);
    } else {
        work(team[0]);
    }
    for (std::int64_t k = first; k < started; ++k) pthread_join(team[k].thread, nullptr);

    if (started < count) {
        outcome.kind = run_outcome::thread_failed;
        outcome.error = error;
    } else if (cancelled) {
        outcome.kind = run_outcome::interrupted;
    } else {
        for (std::int64_t k = 0; k < count; ++k) {
            if (team[k].bad_row >= 0 && (outcome.row < 0 || team[k].bad_row < outcome.row)) {
                outcome.kind = run_outcome::row_failed;
                outcome.row = team[k].bad_row;
                outcome.code = team[k].failure.code;
                outcome.position = team[k].failure.position;
            }
        }
    }
    if (own_condition) pthread_cond_destroy(&run.finished);
    std::free(scratch);
    std::free(team);
    return outcome;
}

}  // namespace zelvane::rows
