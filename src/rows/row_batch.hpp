// Many histograms in one call: the layout of a batch of rows, the kernel
// adapters that fit one row by one method, and the run that spreads the rows
// over native threads. Interpreter-free, so that it runs with the interpreter
// lock released and is unit-tested as plain C++.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/float32_vector.hpp"

namespace zelvane::rows {

// C-contiguous float32 rows of `masses` masses each: row r of gap starts at
// gap + r * masses * 4 bytes, its centres at center + r * center_row_bytes
// (0 when every row shares one centre vector of masses + 1), its output at
// out + r * out_row_bytes.
struct row_batch {
    char* center = nullptr;
    std::int64_t center_row_bytes = 0;
    char* gap = nullptr;
    char* out = nullptr;
    std::int64_t out_row_bytes = 0;
    std::int64_t rows = 0;
    std::int64_t masses = 0;
};

// One method as the batch run sees it. The run gives every worker
// scratch_bytes(masses) bytes of its own, made once for the whole run and
// aligned to a cache line, and calls fit_row on each of the worker's rows with
// the row's out_length(masses) elements of out_item_size bytes. fit_row
// returns no_zero_width, or the first interval of zero width (then what it
// wrote to out is unspecified).
struct kernel_adapter {
    std::size_t out_item_size;
    std::int64_t (*out_length)(std::int64_t masses) noexcept;
    std::int64_t (*scratch_bytes)(std::int64_t masses) noexcept;
    std::int64_t (*fit_row)(const float32_vector& center, const float32_vector& gap, char* out,
                            char* scratch) noexcept;
};

// zelvane.bake.fitgapmass and fitgapmass_meh, row by row: float32 values at
// the masses + 1 centres.
extern const kernel_adapter iterative_adapter;
extern const kernel_adapter exact_adapter;

struct run_outcome {
    enum kind_t { done, zero_width, out_of_memory, thread_failed };
    kind_t kind = done;
    std::int64_t row = -1;       // zero_width: the lowest row that has one
    std::int64_t position = -1;  // zero_width: that row's first interval of zero width
    int error = 0;               // thread_failed: what pthread_create returned
    std::int64_t workers = 0;    // threads asked for, the calling thread included
};

// Processors this process may run on (its affinity mask), at least 1.
std::int64_t usable_cores() noexcept;

// Fits every row of `batch` with `workers` threads (0: usable_cores()), the
// calling thread being one of them; never more threads than blocks of rows.
// Rows are independent, so the result does not depend on the number of
// workers. On a zero width the remaining workers stop at their next block.
run_outcome run_rows(const kernel_adapter& adapter, const row_batch& batch,
                     std::int64_t workers) noexcept;

}  // namespace zelvane::rows
