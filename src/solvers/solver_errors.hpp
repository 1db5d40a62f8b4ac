// The errors that the solvers raise themselves: refusals of calls whose
// vector lengths do not fit together (the kernels index by the lengths they
// are given and test no index, so these checks run before them and keep every
// access inside its vector), and the zero interval width that a kernel reports.
#pragma once

#include "binding/python_compat.hpp"
#include "binding/texts.hpp"
#include "binding/traceback.hpp"

namespace zelvane {

inline const char* plural(std::int64_t count) noexcept { return count == 1 ? "" : "s"; }

inline int refuse_length(const char* format, const char* vector, std::int64_t has,
                         std::int64_t needs = 0, const char* rule = "") noexcept {
    PyErr_Format(PyExc_ValueError, format, vector, static_cast<long long>(has), plural(has),
                 static_cast<long long>(needs), rule);
    return -1;
}

// Called with the interpreter lock held again after a kernel stopped at a zero
// width: raises ZeroDivisionError with an entry at the dividing statement.
inline int raise_zero_width(const char* traceback_name, int line) noexcept {
    PyErr_SetString(PyExc_ZeroDivisionError, texts::float_division);
    add_traceback_entry(traceback_name, line);
    return -1;
}

}  // namespace zelvane
