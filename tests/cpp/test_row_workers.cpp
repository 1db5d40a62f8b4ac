// The batch run of zelvane._rows against the kernels called row by row, as
// zelvane.bake calls them: same bits for any number of workers, the lowest
// zero width reported whichever worker meets it.
#include "rows/memory_limit.hpp"
#include "rows/row_batch.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "kernels/exact_fit.hpp"
#include "kernels/iterative_fit.hpp"
#include "kernels/smooth_fit.hpp"

namespace {

using zelvane::float32_vector, zelvane::no_zero_width;
namespace rows = zelvane::rows;

float32_vector view(std::vector<float>& v, std::size_t first, std::int64_t count) {
    return {reinterpret_cast<char*>(v.data() + first), count, 4};
}

// The reference: each row through the kernels with vectors of its own.
std::int64_t fit_row_alone(bool exact, float32_vector center, float32_vector gap,
                           float32_vector prob) {
    const std::int64_t m = gap.shape;
    std::vector<float> a(static_cast<std::size_t>(m)), low(static_cast<std::size_t>(m + 1)),
        high(low);
    if (!exact) {
        const std::int64_t zero = zelvane::iterative_fit::mean_densities(center, gap, view(a, 0, m));
        if (zero == no_zero_width) zelvane::iterative_fit::relax(view(a, 0, m), prob);
        return zero;
    }
    const std::int64_t zero = zelvane::exact_fit::pair_sums(center, gap, view(a, 0, m));
    if (zero == no_zero_width) {
        zelvane::exact_fit::solve(view(a, 0, m), view(low, 0, m + 1), view(high, 0, m + 1), prob);
    }
    return zero;
}

struct batch_data {
    std::int64_t rows, m;
    bool shared;
    std::vector<float> center, gap, out;

    batch_data(std::int64_t rows_, std::int64_t m_, bool shared_, unsigned seed)
        : rows(rows_), m(m_), shared(shared_) {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> width(0.01f, 3.0f), mass(-0.5f, 4.0f);
        center.resize(static_cast<std::size_t>((shared ? 1 : rows) * (m + 1)));
        for (std::size_t i = 0; i < center.size(); ++i) {
            center[i] = i % static_cast<std::size_t>(m + 1) == 0 ? -1.0f : center[i - 1] + width(rng);
        }
        gap.resize(static_cast<std::size_t>(rows * m));
        for (float& g : gap) g = mass(rng);
        out.assign(static_cast<std::size_t>(rows * (m + 1)), -7.0f);
    }
    rows::row_batch batch() {
        return {reinterpret_cast<char*>(center.data()), shared ? 0 : (m + 1) * 4,
                reinterpret_cast<char*>(gap.data()), reinterpret_cast<char*>(out.data()),
                (m + 1) * 4, rows, m};
    }
    std::vector<float> expected(bool exact) {
        std::vector<float> want(out.size(), -7.0f);
        for (std::int64_t r = 0; r < rows; ++r) {
            const auto row = static_cast<std::size_t>(r);
            fit_row_alone(exact, view(center, shared ? 0 : row * static_cast<std::size_t>(m + 1), m + 1),
                          view(gap, row * static_cast<std::size_t>(m), m),
                          view(want, row * static_cast<std::size_t>(m + 1), m + 1));
        }
        return want;
    }
};

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

struct method_case {
    bool exact;
    const rows::kernel_adapter* adapter;
};

class RowWorkers : public ::testing::TestWithParam<method_case> {};

TEST_P(RowWorkers, SameBitsAsRowByRowForAnyWorkers) {
    const auto [exact, adapter] = GetParam();
    for (const bool shared : {true, false}) {
        for (const std::int64_t m : {1, 2, 7, 32}) {
            batch_data data(333, m, shared, static_cast<unsigned>(m * 2 + shared));
            const std::vector<float> want = data.expected(exact);
            for (const std::int64_t workers : {1, 2, 3, 0, 50}) {
                std::fill(data.out.begin(), data.out.end(), -7.0f);
                const rows::run_outcome outcome = rows::run_rows(*adapter, data.batch(), workers);
                EXPECT_EQ(outcome.kind, rows::run_outcome::done);
                EXPECT_TRUE(same_bits(data.out, want))
                    << "m " << m << " shared " << shared << " workers " << workers;
            }
        }
    }
}

TEST_P(RowWorkers, ReportsTheLowestZeroWidth) {
    const auto [exact, adapter] = GetParam();
    batch_data data(500, 6, false, 11);
    // Zero widths in rows 70 (at interval 4) and 400 (at 1), and a later one in row 70.
    for (const auto& [row, i] : {std::pair{400, 1}, {70, 4}, {70, 5}}) {
        data.center[static_cast<std::size_t>(row * 7 + i + 1)] = data.center[static_cast<std::size_t>(row * 7 + i)];
    }
    for (const std::int64_t workers : {1, 2, 4}) {
        const rows::run_outcome outcome = rows::run_rows(*adapter, data.batch(), workers);
        EXPECT_EQ(outcome.kind, rows::run_outcome::row_failed);
        EXPECT_EQ(outcome.code, rows::zero_width_code);
        EXPECT_EQ(outcome.row, 70);
        EXPECT_EQ(outcome.position, 4);
    }
    // The rows before it are fitted whatever the number of workers.
    const std::vector<float> want = data.expected(exact);
    EXPECT_EQ(std::memcmp(data.out.data(), want.data(), 70 * 7 * sizeof(float)), 0);
}

INSTANTIATE_TEST_SUITE_P(Methods, RowWorkers,
                         ::testing::Values(method_case{false, &rows::iterative_adapter},
                                           method_case{true, &rows::exact_adapter}),
                         [](const auto& param_info) { return param_info.param.exact ? "exact" : "iterative"; });

TEST(RowWorkers, WorkersAreBoundedByBlocksOfRows) {
    batch_data data(20, 3, true, 5);
    EXPECT_EQ(rows::run_rows(rows::iterative_adapter, data.batch(), 8).workers, 2);
    EXPECT_EQ(rows::run_rows(rows::iterative_adapter, data.batch(), 1).workers, 1);
    data.rows = 0;
    const rows::run_outcome none = rows::run_rows(rows::exact_adapter, data.batch(), 0);
    EXPECT_EQ(none.kind, rows::run_outcome::done);
    EXPECT_EQ(none.workers, 0);
    EXPECT_GE(rows::usable_cores(), 1);
}

// The smooth method: float64 rows, a parameter, failures with the kernel's
// status; every row the bits of the kernel called alone.
TEST(RowWorkers, SmoothRowsAsAlone) {
    namespace sf = zelvane::smooth_fit;
    const std::int64_t n_rows = 203, m = 9;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> width(0.1, 2.0), mass(0.0, 1.0);
    std::vector<double> center(static_cast<std::size_t>(n_rows * (m + 1))), gap(static_cast<std::size_t>(n_rows * m));
    for (std::size_t i = 0; i < center.size(); ++i) center[i] = i % (m + 1) == 0 ? 0.0 : center[i - 1] + width(rng);
    for (double& g : gap) g = mass(rng) < 0.2 ? 0.0 : mass(rng);
    for (const std::int64_t refine : {1, 4}) {
        for (const bool shared : {true, false}) {
            const std::int64_t knots = m * refine + 1;
            std::vector<double> want(static_cast<std::size_t>(n_rows * knots), -7.0), out(want.size());
            std::vector<double> scratch(static_cast<std::size_t>(sf::scratch_size(m, refine)));
            std::int64_t first_bad = -1;
            for (std::int64_t r = 0; r < n_rows; ++r) {
                const sf::outcome o = sf::fit(center.data() + (shared ? 0 : r * (m + 1)), gap.data() + r * m, m,
                                              refine, want.data() + r * knots, scratch.data());
                if (o.code != sf::status::ok && first_bad < 0) first_bad = r;
            }
            EXPECT_EQ(first_bad >= 0, refine == 1);  // some rows admit no fit on the edges alone
            for (const std::int64_t workers : {1, 2, 0}) {
                std::fill(out.begin(), out.end(), -7.0);
                const rows::row_batch batch{reinterpret_cast<char*>(center.data()), shared ? 0 : (m + 1) * 8,
                                            reinterpret_cast<char*>(gap.data()), reinterpret_cast<char*>(out.data()),
                                            knots * 8, n_rows, m, 8, refine};
                const rows::run_outcome outcome = rows::run_rows(rows::smooth_adapter, batch, workers);
                if (first_bad < 0) {
                    EXPECT_EQ(outcome.kind, rows::run_outcome::done);
                    EXPECT_EQ(std::memcmp(out.data(), want.data(), out.size() * 8), 0) << "workers " << workers;
                } else {
                    EXPECT_EQ(outcome.kind, rows::run_outcome::row_failed);
                    EXPECT_EQ(outcome.row, first_bad);
                    EXPECT_EQ(outcome.code, static_cast<std::int32_t>(sf::status::infeasible));
                    EXPECT_EQ(std::memcmp(out.data(), want.data(), static_cast<std::size_t>(first_bad * knots * 8)), 0);
                }
            }
        }
    }
}

// ---- Watched runs: cancelled by the caller's watch, and scratch counted first ----

// A method whose rows take as long as a large kernel call: each waits (at most
// ten seconds) for the run's cancel flag, as a kernel checks it before each
// factorisation, and then gives up with code 9. It claims enough output that
// every run of it is watched, and writes none.
std::atomic<int> rows_begun{0};
std::int64_t scratch_asked = 0;

rows::row_failure waiting_row(const char*, const char*, std::int64_t, std::int64_t, char*, char*,
                          const rows::row_batch& batch, std::int64_t) noexcept {
    ++rows_begun;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        if (batch.cancel != nullptr && batch.cancel->load()) return {9, 0};
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return {};
}

const rows::kernel_adapter waiting_adapter = {
    1, 1, [](std::int64_t, std::int64_t) noexcept { return rows::unwatched_elements; },
    [](std::int64_t, std::int64_t) noexcept { return scratch_asked; }, waiting_row, nullptr, 0};

// Rows that the waiting adapter never reads: a masses buffer of the batch's
// size (the workers compute each row's address in it), centres and output
// shared by every row.
rows::row_batch empty_rows(std::int64_t count) {
    static std::vector<char> memory;
    rows::row_batch batch;
    batch.rows = count;
    batch.masses = 1;
    memory.assign(static_cast<std::size_t>(count * batch.item_size) + 64, 0);
    batch.center = batch.gap = batch.out = memory.data();
    return batch;
}

// Counts its calls; cancels the run at the first call from `cancel_at` on (0:
// never) once a worker has begun a row (threads start late on a loaded
// machine), and records which call that was.
struct counting_watch {
    int calls = 0, cancel_at = 0, cancelled_at = 0;
    rows::run_watch watch() {
        return {[](void* self) noexcept {
                    auto& w = *static_cast<counting_watch*>(self);
                    ++w.calls;
                    if (w.cancel_at == 0 || w.cancelled_at != 0 || w.calls < w.cancel_at || rows_begun.load() < 1) {
                        return false;
                    }
                    w.cancelled_at = w.calls;
                    return true;
                },
                this, 1};
    }
};

TEST(WatchedRun, CancelStopsEveryWorkerAndIsNoRowFailure) {
    for (const std::int64_t workers : {1, 2}) {
        rows_begun = 0;
        scratch_asked = 8;
        counting_watch counter{0, 3};
        const rows::run_watch watch = counter.watch();
        const rows::run_outcome outcome = rows::run_rows(waiting_adapter, empty_rows(40), workers, &watch);
        EXPECT_EQ(outcome.kind, rows::run_outcome::interrupted) << "workers " << workers;
        EXPECT_GE(counter.cancelled_at, 3);
        EXPECT_EQ(counter.calls, counter.cancelled_at);  // asked until it cancelled, never after
        // Each worker gave up its row and began no other.
        EXPECT_GE(rows_begun.load(), 1);
        EXPECT_LE(rows_begun.load(), workers);
    }
}

TEST(WatchedRun, SameBitsWhenNotCancelledAndSmallRunsAreNotWatched) {
    // 5000 rows of 8 values: watched, every worker a thread of its own.
    batch_data large(5000, 7, false, 21);
    const std::vector<float> want = large.expected(false);
    counting_watch never{0, 0};
    const rows::run_watch watch = never.watch();
    for (const std::int64_t workers : {1, 2}) {
        std::fill(large.out.begin(), large.out.end(), -7.0f);
        const rows::run_outcome outcome = rows::run_rows(rows::iterative_adapter, large.batch(), workers, &watch);
        EXPECT_EQ(outcome.kind, rows::run_outcome::done);
        EXPECT_TRUE(same_bits(large.out, want)) << "workers " << workers;
    }
    // A small run is fitted by the calling thread alone: a watch that would
    // cancel at once is never asked.
    batch_data small(20, 7, true, 22);
    counting_watch eager{0, 1};
    const rows::run_watch at_once = eager.watch();
    EXPECT_EQ(rows::run_rows(rows::exact_adapter, small.batch(), 2, &at_once).kind, rows::run_outcome::done);
    EXPECT_EQ(eager.calls, 0);
    EXPECT_TRUE(same_bits(small.out, small.expected(true)));
}

TEST(WatchedRun, ScratchBeyondInt64OrTheMachineIsRefusedBeforeAnyRow) {
    constexpr std::int64_t most = INT64_MAX;
    struct example { std::int64_t scratch, rows, workers, bytes; };
    const std::int64_t machine = rows::memory_bytes();
    ASSERT_GT(machine, 0);
    const example examples[] = {
        {-1, 16, 1, -1},                  // the method's own count overflowed
        {most - 10, 16, 1, -1},           // rounding up to whole cache lines overflows
        {most / 3, 64, 4, -1},            // four workers' worth overflows
        {machine / 2 + 64, 32, 2, -2},    // two workers' worth is more than the machine
        {machine + 1, 1, 1, -2},          // one worker's worth is
    };
    for (const example& e : examples) {
        SCOPED_TRACE(testing::Message() << "example " << &e - examples);
        rows_begun = 0;
        scratch_asked = e.scratch;
        for (const bool watched : {false, true}) {
            counting_watch never{0, 0};
            const rows::run_watch watch = never.watch();
            const rows::run_outcome outcome =
                rows::run_rows(waiting_adapter, empty_rows(e.rows), e.workers, watched ? &watch : nullptr);
            EXPECT_EQ(outcome.kind, rows::run_outcome::out_of_memory);
            EXPECT_EQ(outcome.workers, e.workers);
            if (e.bytes == -1) {
                EXPECT_EQ(outcome.bytes, -1);
            } else {
                // The bytes asked: every worker's scratch rounded up to whole cache lines.
                EXPECT_GT(outcome.bytes, machine);
                EXPECT_EQ(outcome.bytes % (64 * e.workers), 0);
                EXPECT_GE(outcome.bytes, e.scratch * e.workers);
                EXPECT_LT(outcome.bytes, (e.scratch + 64) * e.workers);
            }
        }
        EXPECT_EQ(rows_begun.load(), 0);
    }
}

}  // namespace
