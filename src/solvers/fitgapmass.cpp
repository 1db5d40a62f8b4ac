// fitgapmass: makes the scratch vector of mean densities, checks that the
// lengths fit together, then runs the relaxation with the interpreter lock
// released.
#include "binding/owned_ref.hpp"
#include "binding/scratch.hpp"
#include "binding/texts.hpp"
#include "binding/traceback.hpp"
#include "kernels/iterative_fit.hpp"
#include "solvers/solver_errors.hpp"
#include "solvers/solvers.hpp"

namespace zelvane {

namespace {

constexpr const char traceback_name[] = "zelvane.bake.fitgapmass";

// n = len(gap) intervals need n + 1 centres and n + 1 values.
int check_lengths(const float32_vector& center, const float32_vector& gap,
                  const float32_vector& prob) noexcept {
    const std::int64_t n = gap.shape;
    if (n < 1) return refuse_length(texts::needs_at_least_one, texts::param_gap, n);
    if (center.shape < n + 1) {
        return refuse_length(texts::needs_at_least, texts::param_center, center.shape, n + 1,
                             texts::len_gap_plus_one);
    }
    if (prob.shape < n + 1) {
        return refuse_length(texts::needs_at_least, texts::param_prob, prob.shape, n + 1,
                             texts::len_gap_plus_one);
    }
    return 0;
}

int solve(const float32_vector& center, const float32_vector& gap,
          const float32_vector& prob) noexcept {
    float32_view average;
    if (make_scratch_vector(gap.shape, average) < 0) {
        add_traceback_entry(traceback_name, texts::line::fitgapmass_scratch);
        return -1;
    }
    if (check_lengths(center, gap, prob) < 0) return -1;

    std::int64_t zero_width;
    {
        released_interpreter_lock unlocked;
        zero_width = iterative_fit::fit(center, gap, average.vector(), prob);
    }
    if (zero_width != no_zero_width) {
        return raise_zero_width(traceback_name, texts::line::fitgapmass_zero_width);
    }
    return 0;
}

}  // namespace

const function_entry fitgapmass_entry = {
    "fitgapmass", traceback_name, texts::doc_fitgapmass, texts::line::fitgapmass, solve,
};

}  // namespace zelvane
