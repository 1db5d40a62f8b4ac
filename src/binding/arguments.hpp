// Binding of a call's arguments to the parameters (center, gap, prob), by
// position or by keyword, under the vector calling convention.
#pragma once

#include "binding/python_compat.hpp"

namespace zelvane {

inline constexpr Py_ssize_t parameter_count = 3;

// The interned parameter names, made once at module execution.
int prepare_parameter_names() noexcept;

// Binds `nargs` positional values and the keyword values named by `kwnames`
// (a tuple or null; the values follow the positional ones in `args`) into
// `bound` (borrowed references). `function_name` appears in the messages.
// Returns 0, or -1 with TypeError (or a comparison's exception) set.
int bind_arguments(const char* function_name, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject* bound[parameter_count]) noexcept;

}  // namespace zelvane
