// The kernel adapters: how each method hands one row and its scratch to the
// kernels. The float32 methods call the same whole fits as zelvane.bake's own
// solvers (iterative_fit::fit, exact_fit::fit), so every row gets the same bits.
#include <algorithm>
#include <atomic>
#include <cmath>

#include "kernels/exact_fit.hpp"
#include "kernels/fit_outcome.hpp"
#include "kernels/iterative_fit.hpp"
#include "kernels/open_fit.hpp"
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

std::int64_t iterative_scratch(std::int64_t masses, std::int64_t) noexcept {
    return iterative_fit::scratch_floats(masses) * float_size;
}

row_failure iterative_row(const char* center_data, const char* gap_data, std::int64_t m,
                          std::int64_t, char* out, char* scratch, const row_batch&, std::int64_t) noexcept {
    return zero_width_at(iterative_fit::fit(floats(center_data, m + 1), floats(gap_data, m),
                                            floats(scratch, m), floats(out, m + 1)));
}

std::int64_t exact_scratch(std::int64_t masses, std::int64_t) noexcept {
    return exact_fit::scratch_floats(masses) * float_size;
}

row_failure exact_row(const char* center_data, const char* gap_data, std::int64_t m,
                      std::int64_t, char* out, char* scratch, const row_batch&, std::int64_t) noexcept {
    return zero_width_at(exact_fit::fit(floats(center_data, m + 1), floats(gap_data, m),
                                        exact_fit::scratch_in(scratch, m), floats(out, m + 1)));
}

// The smooth fit reads and writes aligned float64 (the module refuses
// unaligned buffers; scratch is aligned to a cache line).
std::int64_t smooth_length(std::int64_t masses, std::int64_t refine) noexcept {
    return smooth_fit::knot_count(masses, refine);
}

// Bytes of `doubles` float64 elements; -1 for a count that is -1 or whose
// bytes are beyond std::int64_t.
std::int64_t double_bytes(std::int64_t doubles) noexcept {
    std::int64_t bytes = 0;
    if (doubles < 0 || __builtin_mul_overflow(doubles, std::int64_t{sizeof(double)}, &bytes)) return -1;
    return bytes;
}

std::int64_t smooth_scratch(std::int64_t masses, std::int64_t refine) noexcept {
    return double_bytes(smooth_fit::scratch_size(masses, refine));
}

row_failure smooth_row(const char* center, const char* gap, std::int64_t m, std::int64_t refine,
                       char* out, char* scratch, const row_batch& batch, std::int64_t) noexcept {
    smooth_fit::limits bounds;
    bounds.stop = batch.cancel;
    const fits::outcome o = smooth_fit::fit(
        reinterpret_cast<const double*>(center), reinterpret_cast<const double*>(gap), m, refine,
        reinterpret_cast<double*>(out), reinterpret_cast<double*>(scratch), bounds);
    if (o.code == fits::status::ok) return {};
    return {static_cast<std::int32_t>(o.code), o.index};
}

// Open ends, counts and known means: the values, zeros, then the numbers
// that tell how the row was fitted (open_info).
std::int64_t open_length(std::int64_t masses, std::int64_t refine) noexcept {
    const std::int64_t knots = smooth_fit::knot_count(masses, refine);
    return knots < 0 || knots > INT64_MAX - info_length ? -1 : knots + info_length;
}

std::int64_t open_scratch(std::int64_t masses, std::int64_t refine) noexcept {
    return double_bytes(open_fit::scratch_size(masses, refine));
}

row_failure open_row(const char* center, const char* gap, std::int64_t m, std::int64_t refine, char* out,
                     char* scratch, const row_batch& batch, std::int64_t row) noexcept {
    const auto* edges = reinterpret_cast<const double*>(center);
    auto* values = reinterpret_cast<double*>(out);
    open_fit::settings setting;
    setting.smoothing = batch.smoothing;
    setting.complexity = batch.complexity;
    setting.sample_size = batch.sample_sizes != nullptr ? batch.sample_sizes[row] : 0.0;
    setting.stop = batch.cancel;  // checked before each fit it makes
    for (int k = 0; k < 2; ++k) {
        if (batch.held[k] != nullptr) setting.held[k] = batch.held[k][row];
    }
    setting.right_kind = static_cast<fits::tail_kind>(batch.right_kind);
    if (batch.means != nullptr && !std::isnan(batch.means[row])) {
        setting.has_mean = true;
        setting.mean = batch.means[row];
    }
    const fits::outcome o = open_fit::fit(edges, reinterpret_cast<const double*>(gap), m, refine, setting,
                                              values, reinterpret_cast<double*>(scratch));
    const std::int64_t all = smooth_fit::knot_count(m, refine);
    double* const info = values + all;
    info[info_lowest_mean] = o.lowest_mean;
    info[info_highest_mean] = o.highest_mean;
    if (o.code != fits::status::ok) return {static_cast<std::int32_t>(o.code), o.index};
    const open_fit::body part = open_fit::finite_part(edges, m);
    std::fill(values + smooth_fit::knot_count(part.bins, refine), values + all, 0.0);
    info[info_smoothing] = o.smoothing;
    info[info_edf] = o.edf;
    info[info_deviance] = o.deviance;
    const fits::tail_shape* const tails[2] = {&o.left, &o.right};
    for (int k = 0; k < 2; ++k) {
        double* const t = info + (k == 0 ? info_left_kind : info_right_kind);
        t[0] = static_cast<double>(tails[k]->kind);
        t[1] = tails[k]->joint;
        t[2] = tails[k]->mass;
        t[3] = tails[k]->parameter;
    }
    return {};
}

}  // namespace

const kernel_adapter iterative_adapter = {sizeof(float), sizeof(float), value_per_centre,
                                          iterative_scratch, iterative_row, nullptr, 0};
const kernel_adapter exact_adapter = {sizeof(float), sizeof(float), value_per_centre,
                                      exact_scratch, exact_row, nullptr, 0};
const kernel_adapter smooth_adapter = {sizeof(double), sizeof(double), smooth_length,
                                       smooth_scratch, smooth_row, "refine",
                                       smooth_fit::max_refine};
const kernel_adapter open_adapter = {sizeof(double), sizeof(double), open_length, open_scratch, open_row,
                                     "refine", smooth_fit::max_refine};

}  // namespace zelvane::rows
