// The exceptions of zelvane._rows.smooth, one per status of the smooth fit:
// zelvane.InputError for input it cannot fit, with the problem that the status
// stands for and the fields that locate it (the row for a batch, none for one
// histogram or for the centres that every row shares; the value read back from
// the row where there is one), and RuntimeError where the solver itself gave
// up ("row 3: ..." in a batch). A fit stopped by the run's cancel flag is the
// KeyboardInterrupt (or other exception) that stopped the run.
#pragma once

#include <cmath>
#include <cstring>

#include "binding/python_compat.hpp"
#include "kernels/smooth_fit.hpp"
#include "rows/input_error.hpp"
#include "rows/row_batch.hpp"

namespace zelvane::rows {

inline int raise_smooth_failure(const run_outcome& outcome, const row_batch& run,
                                bool batch) noexcept {
    using smooth_fit::status;
    const std::int64_t r = outcome.row, i = outcome.position, refine = run.parameter;
    const auto element = [](const char* data, std::int64_t k) {
        double v = 0.0;
        std::memcpy(&v, data + k * std::int64_t{sizeof(double)}, sizeof v);
        return v;
    };
    const char* edges = run.center + r * run.center_row_bytes;
    const char* masses = run.gap + r * run.masses * std::int64_t{sizeof(double)};
    // The row of a problem with the centres, where they are the row's own.
    const bool centre_row = batch && run.center_row_bytes != 0;
    const auto of_row = [&](input_error& error, bool own_row) -> input_error& {
        return own_row ? error.row(r) : error;
    };
    char where[40] = "";
    if (batch) PyOS_snprintf(where, sizeof where, "row %lld: ", static_cast<long long>(r));
    switch (static_cast<status>(outcome.code)) {
        case status::ok:
            return 0;
        case status::bad_size:
            return input_error("out_of_range").argument("refine").value(refine)
                .number("minimum", 1).number("maximum", smooth_fit::max_refine).raise();
        case status::bad_edge: {
            // Not finite, or not above the previous edge (which edge 0 has none of).
            const double edge = element(edges, i);
            if (!std::isfinite(edge) || i == 0) {
                input_error error("not_finite");
                return of_row(error.argument("center").index(i).value(edge), centre_row).raise();
            }
            input_error error("not_increasing");
            return of_row(error.argument("center").index(i).value(edge)
                              .real("previous", element(edges, i - 1)), centre_row).raise();
        }
        case status::bad_mass: {
            const double mass = element(masses, i);
            input_error error(std::isfinite(mass) ? "negative" : "not_finite");
            return of_row(error.argument("gap").index(i).value(mass), batch).raise();
        }
        case status::zero_total: {
            input_error error("all_zero");
            return of_row(error.argument("gap"), batch).raise();
        }
        case status::bad_width: {
            input_error error("too_narrow");
            return of_row(error.argument("center").index(i).number("refine", refine),
                          centre_row).raise();
        }
        case status::out_of_range: {
            input_error error("magnitude");
            return of_row(error.argument("gap"), batch).raise();
        }
        case status::infeasible: {
            input_error error("infeasible");
            return of_row(error.argument("gap").number("refine", refine), batch).raise();
        }
        case status::unreachable_mean: {
            // The open adapter leaves the means within reach after the row's values.
            const char* info = run.out + r * run.out_row_bytes +
                               smooth_fit::knot_count(run.masses, refine) * std::int64_t{sizeof(double)};
            input_error error("unreachable_mean");
            return of_row(error.argument("mean").value(run.means[r])
                              .real("lowest", element(info, info_lowest_mean))
                              .real("highest", element(info, info_highest_mean)), batch).raise();
        }
        case status::empty_beside_tail: {
            input_error error("empty_beside_tail");
            return of_row(error.argument("gap").index(i), batch).raise();
        }
        case status::interrupted:
            // The run's cancel flag, raised only when a signal handler raised
            // (Ctrl-C): that exception is the call's, never a message of its own.
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return -1;
        case status::bad_setting:
            // The Python layer checks the settings of every row before the fit.
            PyErr_Format(PyExc_RuntimeError, "%sthe smooth fit refused its settings", where);
            break;
        case status::iteration_limit:
            PyErr_Format(PyExc_RuntimeError, "%sthe smooth fit reached its bound on solves", where);
            break;
        case status::inaccurate:
            PyErr_Format(PyExc_RuntimeError,
                         "%sthe smooth fit could not confirm its answer to working precision", where);
            break;
    }
    return -1;
}

}  // namespace zelvane::rows
