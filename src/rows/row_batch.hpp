// Many histograms in one call: the layout of a batch of rows, the kernel
// adapters that fit one row by one method, and the run that spreads the rows
// over native threads. Interpreter-free, so that it runs with the interpreter
// lock released and is unit-tested as plain C++.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kernels/float32_vector.hpp"

namespace zelvane::rows {

// C-contiguous rows of `masses` masses each, elements of item_size bytes
// (the adapter's in_item_size): row r of gap starts at gap + r * masses *
// item_size bytes, its centres at center + r * center_row_bytes (0 when every
// row shares one centre vector of masses + 1), its output at out + r *
// out_row_bytes. `parameter` is the method's own setting, if it has one.
struct row_batch {
    char* center = nullptr;
    std::int64_t center_row_bytes = 0;
    char* gap = nullptr;
    char* out = nullptr;
    std::int64_t out_row_bytes = 0;
    std::int64_t rows = 0;
    std::int64_t masses = 0;
    std::int64_t item_size = sizeof(float);
    std::int64_t parameter = 0;
    // Settings of the smooth fits beyond refine: the smoothing (0 exact
    // masses, negative the criterion's choice) and the criterion's price of a
    // degree of freedom, for every row; a sample size and a known mean per row
    // (null: none for any row; 0 and NaN: none for that row).
    double smoothing = 0.0;
    double complexity = 2.0;
    const double* sample_sizes = nullptr;
    const double* means = nullptr;
    // The open method's tails: per row the parameter each end holds (null:
    // none for any row; 0 and NaN: the fit's choice for that row), and the
    // law of the right tail for every row (0: the usual choice).
    const double* held[2] = {nullptr, nullptr};
    std::int32_t right_kind = 0;
    // Raised by the run when its caller is interrupted: a kernel that spends
    // long on one row checks it and gives up (null: nothing to check). The run
    // sets it; a caller leaves it null.
    const std::atomic<bool>* cancel = nullptr;
};

// The most workers a call takes: far more threads than any machine has
// cores, and few enough that their scratch and stacks are never the problem.
inline constexpr std::int64_t max_workers = 1024;

// How many pieces a bin of the smooth fits is cut into when the caller does
// not say (the Python layer's default, read from the module).
inline constexpr std::int64_t default_refine = 4;

// What fit_row reports: code 0, or the method's code for why the row could
// not be fitted and the position (interval, centre) that the code names.
struct row_failure {
    std::int32_t code = 0;
    std::int64_t position = -1;
};

// The code of a zero width, for the methods of zelvane.bake.
inline constexpr std::int32_t zero_width_code = 1;

// One method as the batch run sees it. The run gives every worker
// scratch_bytes(masses, parameter) bytes of its own, made once for the whole
// run and aligned to a cache line, and calls fit_row on each of the worker's
// rows with the row's centres and masses (in_item_size bytes each) and its
// out_length(masses, parameter) elements of out_item_size bytes. After a
// failure what fit_row wrote to out is unspecified. out_length is negative
// for a parameter the method does not take; a method without a parameter
// has parameter_name null, one with a parameter takes 1 to parameter_max.
struct kernel_adapter {
    std::size_t in_item_size;
    std::size_t out_item_size;
    std::int64_t (*out_length)(std::int64_t masses, std::int64_t parameter) noexcept;
    std::int64_t (*scratch_bytes)(std::int64_t masses, std::int64_t parameter) noexcept;
    row_failure (*fit_row)(const char* center, const char* gap, std::int64_t masses,
                           std::int64_t parameter, char* out, char* scratch, const row_batch& batch,
                           std::int64_t row) noexcept;
    const char* parameter_name;
    std::int64_t parameter_max;
};

// zelvane.bake.fitgapmass and fitgapmass_meh, row by row: float32 values at
// the masses + 1 centres.
extern const kernel_adapter iterative_adapter;
extern const kernel_adapter exact_adapter;

// The smooth fit, row by row: float64 centres (the bin edges) and masses in,
// float64 values at the masses * refine + 1 refined knots out; the parameter
// is refine, and a failure's code is the kernel's status.
extern const kernel_adapter smooth_adapter;

// The smooth fits with open ends (the first edge may be -inf, the last +inf),
// counts or exact masses, a known mean: float64 in, and out per row the values
// at the body's knots (knot_count(masses less the open bins, refine) of them)
// followed by zeros up to knot_count(masses, refine), then the open_info
// numbers below; the parameter is refine, and a failure's code is the
// kernel's status.
extern const kernel_adapter open_adapter;

// What the open adapter writes after the values of a row.
enum open_info : std::int64_t {
    info_smoothing, info_edf, info_deviance,
    info_left_kind, info_left_joint, info_left_mass, info_left_parameter,
    info_right_kind, info_right_joint, info_right_mass, info_right_parameter,
    info_lowest_mean, info_highest_mean,
    info_length
};

struct run_outcome {
    enum kind_t { done, row_failed, out_of_memory, thread_failed, interrupted };
    kind_t kind = done;
    std::int64_t row = -1;       // row_failed: the lowest row that failed
    std::int32_t code = 0;       // row_failed: that row's failure code
    std::int64_t position = -1;  // row_failed: the position the code names
    int error = 0;               // thread_failed: what pthread_create returned
    std::int64_t workers = 0;    // threads asked for, the calling thread included
    // out_of_memory: the bytes of scratch asked for, -1 when the count itself
    // is beyond std::int64_t (nothing was allocated then).
    std::int64_t bytes = 0;
};

// How the calling thread watches a long run instead of fitting rows itself:
// it starts every worker, then every interval_ms milliseconds of the run
// calls interrupted(context); true raises the cancel flag, the workers stop
// (between rows, or inside a long row where the kernel checks the flag) and
// the run ends as interrupted.
struct run_watch {
    bool (*interrupted)(void* context) noexcept = nullptr;
    void* context = nullptr;
    std::int64_t interval_ms = 20;
};

// Output elements below which a run is too short to watch: the calling thread
// fits the rows itself (no thread to start for a small fit) and takes well
// under a tenth of a second doing it.
inline constexpr std::int64_t unwatched_elements = std::int64_t{1} << 15;
// A counts-aware fit (smoothing not 0) makes dozens of factorisations per
// lambda and tries a dozen lambdas: its output elements count this many
// times against unwatched_elements, so that a single row of it that runs
// long (a few hundred bins, or a fine refine) is watched and Ctrl-C stops it.
inline constexpr std::int64_t counts_work_per_element = 64;

// Processors this process may run on (its affinity mask), at least 1.
std::int64_t usable_cores() noexcept;

// Fits every row of `batch` with `workers` threads (0: usable_cores()); never
// more threads than blocks of rows. Without a watch, or for a run of fewer
// than unwatched_elements output elements, the calling thread is one of the
// workers; with one, it starts them all and watches (run_watch). Rows are
// independent, so the result does not depend on the number of workers. On a
// failed row the remaining workers stop at their next block. The scratch of
// every worker is counted before any is allocated: a count beyond
// std::int64_t or memory_bytes() (memory_limit.hpp), or memory that cannot be had, is
// out_of_memory with the bytes.
run_outcome run_rows(const kernel_adapter& adapter, const row_batch& batch, std::int64_t workers,
                     const run_watch* watch = nullptr) noexcept;

}  // namespace zelvane::rows
