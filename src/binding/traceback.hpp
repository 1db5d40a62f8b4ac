// Traceback entries for failures inside the module: a frame named after the
// failing function, in the module's file, at a fixed line.
#pragma once

#include "binding/python_compat.hpp"

namespace zelvane {

// Adds one entry to the traceback of the pending exception. `qualified_name`
// must be a string with static storage (entries are cached by its address
// and the line). If the entry cannot be made, that failure replaces the
// pending exception.
void add_traceback_entry(const char* qualified_name, int line) noexcept;

}  // namespace zelvane
