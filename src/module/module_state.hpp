// Process-wide state of the module. It is written only while the module is
// created and executed at import, which the one-interpreter-per-process rule
// makes safe; calls only read it.
#pragma once

#include "binding/python_compat.hpp"

namespace zelvane::state {

// Strong references, null until execution sets them.
extern PyObject* module_object;     // also the marker of a started, unfailed execution
extern PyObject* module_namespace;  // the module's dictionary
extern PyObject* builtins_module;

}  // namespace zelvane::state

namespace zelvane {

// Value of the module global `name` as the solvers see it: the module's
// namespace first, then the builtins. New reference, or null with NameError
// (or the lookup's own error) set.
PyObject* lookup_global(PyObject* name) noexcept;

}  // namespace zelvane
