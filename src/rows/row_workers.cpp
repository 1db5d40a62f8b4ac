// The batch run: rows are handed out in blocks from a shared counter, so a
// worker whose rows converge quickly takes more of them; every worker fits its
// rows into its own scratch, made once for the run. Threads are plain POSIX
// threads: their creation reports failure as a value, which the module turns
// into an exception (a failing std::thread constructor could only abort in a
// build without exceptions).
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

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
    std::atomic<bool> stop{false};
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
// is fitted: the lowest failure any worker records is the batch's lowest.
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
            const row_failure failure =
                adapter.fit_row(batch.center + r * batch.center_row_bytes,
                                batch.gap + r * m * batch.item_size, m, batch.parameter,
                                batch.out + r * batch.out_row_bytes, self.scratch, batch, r);
            if (failure.code != 0) {
                self.bad_row = r;
                self.failure = failure;
                run.stop.store(true, std::memory_order_relaxed);
                return;
            }
        }
    }
}

void* thread_main(void* self) noexcept {
    work(*static_cast<worker*>(self));
    return nullptr;
}

// Starts workers[1..count): a worker thread starts with every signal blocked,
// so that signals keep going to the interpreter's own threads. Returns how many
// threads run (the caller's counted), stopping at the first failure.
std::int64_t start_threads(worker* workers, std::int64_t count, int& error) noexcept {
    sigset_t all, caller;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &caller);
    std::int64_t started = 1;
    for (; started < count; ++started) {
        error = pthread_create(&workers[started].thread, nullptr, thread_main, &workers[started]);
        if (error != 0) break;
    }
    pthread_sigmask(SIG_SETMASK, &caller, nullptr);
    return started;
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

run_outcome run_rows(const kernel_adapter& adapter, const row_batch& batch,
                     std::int64_t workers) noexcept {
    run_outcome outcome;
    if (batch.rows <= 0) return outcome;
    const std::int64_t blocks = (batch.rows - 1) / rows_per_block + 1;
    const std::int64_t count = std::min(workers > 0 ? workers : usable_cores(), blocks);
    outcome.workers = count;

    const std::int64_t scratch_bytes = adapter.scratch_bytes(batch.masses, batch.parameter);
    const std::int64_t slice =
        std::max<std::int64_t>(1, (scratch_bytes + scratch_alignment - 1) / scratch_alignment) *
        scratch_alignment;
    auto* team = static_cast<worker*>(std::calloc(static_cast<std::size_t>(count), sizeof(worker)));
    auto* scratch = static_cast<char*>(
        std::aligned_alloc(scratch_alignment, static_cast<std::size_t>(slice * count)));
    if (team == nullptr || scratch == nullptr) {
        std::free(team);
        std::free(scratch);
        outcome.kind = run_outcome::out_of_memory;
        return outcome;
    }

    shared_run run{&adapter, &batch};
    for (std::int64_t k = 0; k < count; ++k) {
        team[k] = worker{&run, scratch + k * slice, pthread_t{}, -1, {}};
    }
    int error = 0;
    const std::int64_t started = start_threads(team, count, error);
    if (started < count) {
        run.stop.store(true, std::memory_order_relaxed);
    } else {
        work(team[0]);
    }
    for (std::int64_t k = 1; k < started; ++k) pthread_join(team[k].thread, nullptr);

    if (started < count) {
        outcome.kind = run_outcome::thread_failed;
        outcome.error = error;
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
    std::free(scratch);
    std::free(team);
    return outcome;
}

}  // namespace zelvane::rows
