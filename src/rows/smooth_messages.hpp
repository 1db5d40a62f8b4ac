// The exceptions of zelvane._rows.smooth, one per status of the smooth fit:
// ValueError for input it cannot fit, RuntimeError where the solver itself
// gave up. A batch names the row ("row 3: ..."); one histogram does not.
#pragma once

#include "binding/python_compat.hpp"
#include "kernels/smooth_fit.hpp"
#include "rows/row_batch.hpp"

namespace zelvane::rows {

inline int raise_smooth_failure(const run_outcome& outcome, bool batch, std::int64_t refine) noexcept {
    using smooth_fit::status;
    const auto i = static_cast<long long>(outcome.position), r = static_cast<long long>(refine);
    char where[40] = "";
    if (batch) PyOS_snprintf(where, sizeof where, "row %lld: ", static_cast<long long>(outcome.row));
    switch (static_cast<status>(outcome.code)) {
        case status::ok:
            return 0;
        case status::bad_size:
            PyErr_Format(PyExc_ValueError, "%srefine must be from 1 to %lld, not %lld", where,
                         static_cast<long long>(smooth_fit::max_refine), r);
            break;
        case status::bad_edge:
            if (i == 0) {
                PyErr_Format(PyExc_ValueError, "%scenter[0] must be finite", where);
            } else {
                PyErr_Format(PyExc_ValueError, "%scenter[%lld] must be finite and above center[%lld]",
                             where, i, i - 1);
            }
            break;
        case status::bad_mass:
            PyErr_Format(PyExc_ValueError, "%sgap[%lld] must be finite and not negative", where, i);
            break;
        case status::zero_total:
            PyErr_Format(PyExc_ValueError, "%sgap has no positive mass", where);
            break;
        case status::bad_width:
            PyErr_Format(PyExc_ValueError,
                         "%sthe interval from center[%lld] to center[%lld] cannot be cut into %lld "
                         "sub-intervals of positive finite width",
                         where, i, i + 1, r);
            break;
        case status::out_of_range:
            PyErr_Format(PyExc_ValueError,
                         "%sthe smooth fit is beyond float64's range: the total width, the total "
                         "mass, the mean density or the ratio of the widths is too extreme",
                         where);
            break;
        case status::infeasible:
            PyErr_Format(PyExc_ValueError,
                         "%sno non-negative density that is linear between the centres has these "
                         "masses; refine=2 or more always has one",
                         where);
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
