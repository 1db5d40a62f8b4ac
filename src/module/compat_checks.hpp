// The three checks that module execution runs at import to make sure that the
// interpreter and the NumPy it meets are the ones the module was built for.
// Each returns 0 on success and -1 with an exception set.
#pragma once

namespace zelvane {

// Warns (RuntimeWarning) when the running interpreter's major.minor differs
// from the one the module was compiled against.
int check_interpreter_version() noexcept;

// Attaches NumPy's array interface table and tests its versions and byte order.
int attach_numpy_array_api() noexcept;

// Tests the sizes of the interpreter and NumPy type objects the module knows.
int check_type_sizes() noexcept;

}  // namespace zelvane
