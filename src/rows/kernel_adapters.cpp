// The kernel adapters: how each method lays out its scratch and hands one row
// to the kernels that zelvane.bake uses, in the same order and with the same
// vector lengths as zelvane.bake's own solvers, so every row gets the same bits.
#include "kernels/exact_fit.hpp"
#include "kernels/iterative_fit.hpp"
#include "rows/row_batch.hpp"

namespace zelvane::rows {

namespace {

constexpr std::int64_t float_size = sizeof(float);

float32_vector floats(char* data, std::int64_t count) noexcept {
    return float32_vector{data, count, float_size};
}

std::int64_t value_per_centre(std::int64_t masses) noexcept { return masses + 1; }

// Scratch: the mean density of every interval.
std::int64_t iterative_scratch(std::int64_t masses) noexcept { return masses * float_size; }

std::int64_t iterative_row(const float32_vector& center, const float32_vector& gap, char* out,
                           char* scratch) noexcept {
    const float32_vector average = floats(scratch, gap.shape);
    const std::int64_t zero_width = iterative_fit::mean_densities(center, gap, average);
    if (zero_width == no_zero_width) iterative_fit::relax(average, floats(out, gap.shape + 1));
    return zero_width;
}

// Scratch: the pair sums, then the lower and the upper bounds of every value.
std::int64_t exact_scratch(std::int64_t masses) noexcept {
    return (masses + 2 * (masses + 1)) * float_size;
}

std::int64_t exact_row(const float32_vector& center, const float32_vector& gap, char* out,
                       char* scratch) noexcept {
    const std::int64_t m = gap.shape;
    const float32_vector gsum = floats(scratch, m);
    const float32_vector low = floats(scratch + m * float_size, m + 1);
    const float32_vector high = floats(scratch + (2 * m + 1) * float_size, m + 1);
    const std::int64_t zero_width = exact_fit::pair_sums(center, gap, gsum);
    if (zero_width == no_zero_width) exact_fit::solve(gsum, low, high, floats(out, m + 1));
    return zero_width;
}

}  // namespace

const kernel_adapter iterative_adapter = {sizeof(float), value_per_centre, iterative_scratch,
                                          iterative_row};
const kernel_adapter exact_adapter = {sizeof(float), value_per_centre, exact_scratch, exact_row};

}  // namespace zelvane::rows
