// fitgapmass_meh: makes the scratch vectors of pair sums and bounds, checks
// that the lengths fit together, then runs the exact solution with the
// interpreter lock released.
#include "binding/owned_ref.hpp"
#include "binding/scratch.hpp"
#include "binding/texts.hpp"
#include "binding/traceback.hpp"
#include "kernels/exact_fit.hpp"
#include "solvers/solver_errors.hpp"
#include "solvers/solvers.hpp"

namespace zelvane {

namespace {

constexpr const char traceback_name[] = "zelvane.bake.fitgapmass_meh";

// n = len(prob) values need n - 1 gaps and, when there is a gap, n centres.
int check_lengths(const float32_vector& center, const float32_vector& gap,
                  const float32_vector& prob) noexcept {
    const std::int64_t n = prob.shape;
    if (n < 1) return refuse_length(texts::needs_at_least_one, texts::param_prob, n);
    if (gap.shape != n - 1) {
        return refuse_length(texts::needs_exactly, texts::param_gap, gap.shape, n - 1,
                             texts::len_prob_minus_one);
    }
    if (gap.shape > 0 && center.shape < gap.shape + 1) {
        return refuse_length(texts::needs_at_least, texts::param_center, center.shape,
                             gap.shape + 1, texts::len_gap_plus_one);
    }
    return 0;
}

int solve(const float32_vector& center, const float32_vector& gap,
          const float32_vector& prob) noexcept {
    float32_view gsum, low, high;
    if (make_scratch_vector(gap.shape, gsum) < 0) {
        add_traceback_entry(traceback_name, texts::line::meh_gsum);
        return -1;
    }
    if (make_scratch_vector(prob.shape, low) < 0) {
        add_traceback_entry(traceback_name, texts::line::meh_low);
        return -1;
    }
    if (make_scratch_vector(prob.shape, high) < 0) {
        add_traceback_entry(traceback_name, texts::line::meh_high);
        return -1;
    }
    if (check_lengths(center, gap, prob) < 0) return -1;

    std::int64_t zero_width;
    {
        released_interpreter_lock unlocked;
        zero_width = exact_fit::fit(center, gap, {gsum.vector(), low.vector(), high.vector()}, prob);
    }
    if (zero_width != no_zero_width) {
        return raise_zero_width(traceback_name, texts::line::meh_zero_width);
    }
    return 0;
}

}  // namespace

const function_entry fitgapmass_meh_entry = {
    "fitgapmass_meh", traceback_name, texts::doc_fitgapmass_meh, texts::line::fitgapmass_meh,
    solve,
};

}  // namespace zelvane
