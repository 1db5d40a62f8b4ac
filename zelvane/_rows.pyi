# The extension module zelvane._rows: every row of a C-contiguous batch
# (float32; float64 for smooth), or one 1-D histogram, fitted on `workers`
# native threads (0: one per usable core; at most MAX_WORKERS). A signal
# (Ctrl-C) stops a long call: its handler's exception is raised.
from typing import Optional

import numpy as np
import numpy.typing as npt

# The smooth fit's largest and default refine, and the most workers a call takes.
MAX_REFINE: int
DEFAULT_REFINE: int
MAX_WORKERS: int

_Float32 = npt.NDArray[np.float32]
_Float64 = npt.NDArray[np.float64]

def iterative(center: _Float32, gap: _Float32, out: _Float32, workers: int, /) -> None: ...
def exact(center: _Float32, gap: _Float32, out: _Float32, workers: int, /) -> None: ...
def smooth(center: _Float64, gap: _Float64, out: _Float64, refine: int, workers: int, /) -> None: ...
def smooth_knots(center: _Float64, out: _Float64, refine: int, /) -> None: ...
def open(center: _Float64, gap: _Float64, out: _Float64, refine: int, smoothing: float,
         complexity: float, sample_size: Optional[_Float64], mean: Optional[_Float64],
         workers: int, /) -> None: ...
def usable_cores() -> int: ...
def memory_bytes() -> int: ...
