# The extension module zelvane.bake, as type checkers see it. Each argument is
# a writable one-dimensional buffer of native or little-endian float32 (a
# NumPy array, array.array('f'), a memoryview of one, ...) or None, which
# stands for an empty vector; the answer is written into prob.
import array
from typing import Any, Dict, Union

import numpy as numpy
import numpy.typing as npt

_Vector = Union[npt.NDArray[numpy.float32], "array.array[float]", memoryview, None]

__test__: Dict[str, Any]

def fitgapmass(center: _Vector, gap: _Vector, prob: _Vector) -> None: ...
def fitgapmass_meh(center: _Vector, gap: _Vector, prob: _Vector) -> None: ...
