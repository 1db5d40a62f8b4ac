// The kernel adapters: how each method lays out its scratch and hands one row
// to the kernels that zelvane.bake uses, in the same order and with the same
// vector lengths as zelvane.bake's own solvers, so every row gets the same bits.
#include "kernels/exact_fit.hpp"
#include "kernels/iterative_fit.hpp"
#include "kernels/smooth_fit.hpp"
#include "rows/row_batch.hpp"

namespace zelvane::rows {

namespace {

constexpr std::int64_t float_size = sizeof(float);

float32_vector floats(const char* data, std::int64_t count) noexcept {
    // The kernels take the one view type for input and output; they only read input.
    return float32_vector{const_cast<char*>(data), count, float_size};
}

row_failure zero_width_at(std::int64_t position) noexcept {
    return position == no_zero_width ? row_failure{} : row_failure{zero_width_code, position};
}

std::int64_t value_per_centre(std::int64_t masses, std::int64_t) noexcept { return masses + 1; }

// Scratch: the mean density of every interval.
std::int64_t iterative_scratch(std::int64_t masses, std::int64_t) noexcept {
    return masses * float_size;
}

row_failure iterative_row(const char* center_data, const char* gap_data, std::int64_t m,
                          std::int64_t, char* out, char* scratch) noexcept {
    const float32_vector center = floats(center_data, m + 1), gap = floats(gap_data, m);
    const float32_vector average = floats(scratch, m);
    const std::int64_t zero_width = iterative_fit::mean_densities(center, gap, average);
    if (zero_width == no_zero_width) iterative_fit::relax(average, floats(out, m + 1));
    return zero_width_at(zero_width);
}

// Scratch: the pair sums, then the lower and the upper bounds of every value.
std::int64_t exact_scratch(std::int64_t masses, std::int64_t) noexcept {
    return (masses + 2 * (masses + 1)) * float_size;
}

row_failure exact_row(const char* center_data, const char* gap_data, std::int64_t m,
                      std::int64_t, char* out, char* scratch) noexcept {
    const float32_vector center = floats(center_data, m + 1), gap = floats(gap_data, m);
    const float32_vector gsum = floats(scratch, m);
    const float32_vector low = floats(scratch + m * float_size, m + 1);
    const float32_vector high = floats(scratch + (2 * m + 1) * float_size, m + 1);
    const std::int64_t zero_width = exact_fit::pair_sums(center, gap, gsum);
    if (zero_width == no_zero_width) exact_fit::solve(gsum, low, high, floats(out, m + 1));
    return zero_width_at(zero_width);
}

// The smooth fit reads and writes aligned float64 (the module refuses
// unaligned buffers; scratch is aligned to a cache line).
std::int64_t smooth_length(std::int64_t masses, std::int64_t refine) noexcept {
    return smooth_fit::knot_count(masses, refine);
}

std::int64_t smooth_scratch(std::int64_t masses, std::int64_t refine) noexcept {
    return smooth_fit::scratch_size(masses, refine) * std::int64_t{sizeof(double)};
}

row_failure smooth_row(const char* center, const char* gap, std::int64_t m, std::int64_t refine,
                       char* out, char* scratch) noexcept {
    const smooth_fit::outcome o = smooth_fit::fit(
        reinterpret_cast<const double*>(center), reinterpret_cast<const double*>(gap), m, refine,
        reinterpret_cast<double*>(out), reinterpret_cast<double*>(scratch));
    if (o.code == smooth_fit::status::ok) return {};
    return {static_cast<std::int32_t>(o.code), o.index};
}

}  // namespace

const kernel_adapter iterative_adapter = {sizeof(float), sizeof(float), value_per_centre,
                                          iterative_scratch, iterative_row, nullptr, 0};
const kernel_adapter exact_adapter = {sizeof(float), sizeof(float), value_per_centre,
                                      exact_scratch, exact_row, nullptr, 0};
const kernel_adapter smooth_adapter = {sizeof(double), sizeof(double), smooth_length,
                                       smooth_scratch, smooth_row, "refine",
                                       smooth_fit::max_refine};

}  // namespace zelvane::rows
