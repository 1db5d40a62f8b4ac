// The module's two functions as the function type sees them.
#pragma once

#include "binding/function_type.hpp"

namespace zelvane {

extern const function_entry fitgapmass_entry;
extern const function_entry fitgapmass_meh_entry;

}  // namespace zelvane
