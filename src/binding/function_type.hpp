// The type of the module's function objects: plain-function-like objects
// (name, qualified name, docstring, code object, globals, attribute
// dictionary) whose call binds (center, gap, prob), converts them into
// float32 views and hands them to a solver.
#pragma once

#include "binding/python_compat.hpp"
#include "kernels/float32_vector.hpp"

namespace zelvane {

// An entry of the module's function table: what distinguishes one function
// from the other.
struct function_entry {
    const char* name;            // used in binding messages
    const char* traceback_name;  // "zelvane.bake.<name>", names its traceback entries
    const char* doc;
    int first_line;
    // Runs the solver on the converted arguments with the interpreter lock
    // held on entry and exit. Returns 0, or -1 with an exception set (having
    // added its own traceback entry for the failing statement).
    int (*solve)(const float32_vector& center, const float32_vector& gap,
                 const float32_vector& prob) noexcept;
};

// Readies the function type; 0, or -1 with an exception set.
int prepare_function_type() noexcept;

// The function's code object: 3 positional-or-keyword arguments named center,
// gap and prob, in the module's file at the function's first line.
PyObject* new_function_code(const function_entry& entry) noexcept;

// A new function object for `entry`, with its qualified name, module name,
// globals and code object.
PyObject* new_function(const function_entry& entry, PyObject* qualname, PyObject* module_name,
                       PyObject* globals, PyObject* code) noexcept;

}  // namespace zelvane
