// The module's two functions as the function type sees them.
#pragma once

#include "binding/function_type.hpp"

namespace zelvane {

extern const function_spec fitgapmass_spec;
extern const function_spec fitgapmass_meh_spec;

}  // namespace zelvane
