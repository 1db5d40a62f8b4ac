// Refusals of calls whose vector lengths do not fit together. The kernels
// index by the lengths they are given and test no index, so these checks run
// before them and keep every access inside its vector.
#pragma once

#include "binding/python_compat.hpp"
#include "binding/texts.hpp"

namespace zelvane {

inline const char* plural(std::int64_t count) noexcept { return count == 1 ? "" : "s"; }

inline int refuse_length(const char* format, const char* vector, std::int64_t has,
                         std::int64_t needs = 0, const char* rule = "") noexcept {
    PyErr_Format(PyExc_ValueError, format, vector, static_cast<long long>(has), plural(has),
                 static_cast<long long>(needs), rule);
    return -1;
}

}  // namespace zelvane
