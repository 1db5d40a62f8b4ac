# The extension module zelvane._rows: every row of a C-contiguous float32
# batch fitted on `workers` native threads (0: one per usable core).
import numpy as np
import numpy.typing as npt

_Float32 = npt.NDArray[np.float32]

def iterative(center: _Float32, gap: _Float32, out: _Float32, workers: int, /) -> None: ...
def exact(center: _Float32, gap: _Float32, out: _Float32, workers: int, /) -> None: ...
def usable_cores() -> int: ...
