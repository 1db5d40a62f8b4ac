// Placeholder: the import-time compatibility checks succeed unconditionally.
#include "module/compat_checks.hpp"

namespace zelvane {

int check_interpreter_version() noexcept { return 0; }
int attach_numpy_array_api() noexcept { return 0; }
int check_type_sizes() noexcept { return 0; }

}  // namespace zelvane
