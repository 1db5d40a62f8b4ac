// Scratch vectors of the solvers: numpy.empty(k, dtype=numpy.float32), looked
// up through the module global `numpy` on every call, held as float32 views.
#pragma once

#include "binding/float32_view.hpp"

namespace zelvane {

// The interned names and the keyword-name tuple used to make scratch vectors.
int prepare_scratch_names() noexcept;

// Makes a scratch vector of `length` elements into `view` (empty on entry).
// Returns 0, or -1 with the exception of the lookup, the call or the
// conversion set. The view keeps the array alive until it is released.
int make_scratch_vector(std::int64_t length, float32_view& view) noexcept;

}  // namespace zelvane
