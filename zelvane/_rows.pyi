# The extension module zelvane._rows: every row of a C-contiguous batch
# (float32; float64 for smooth), or one 1-D histogram, fitted on `workers`
# native threads (0: one per usable core; at most MAX_WORKERS). A signal
# (Ctrl-C) stops a long call: its handler's exception is raised. A fit returns
# None, or (row, status, position) for the lowest row it could not fit.
# zelvane._native is the package's one caller.
from typing import Mapping, Optional, Tuple

import numpy as np
import numpy.typing as npt

# The smooth fit's largest and default refine, and the most workers a call takes.
MAX_REFINE: int
DEFAULT_REFINE: int
MAX_WORKERS: int
# The smoothing that asks for the information criterion's choice.
AUTO_SMOOTHING: float
# The status of a zero width (iterative, exact), and of a smooth fit's row by name.
ZERO_WIDTH: int
STATUS: Mapping[str, int]
# The open fit's numbers after each row's values, by name: their offsets and count.
OPEN_INFO: Mapping[str, int]
OPEN_INFO_LENGTH: int
# The kinds of tail by name, as OPEN_INFO's "left_kind" and "right_kind" give them.
TAIL_KINDS: Mapping[str, int]

_Float32 = npt.NDArray[np.float32]
_Float64 = npt.NDArray[np.float64]
_Failure = Optional[Tuple[int, int, int]]

def iterative(center: _Float32, gap: _Float32, out: _Float32, workers: int, /) -> _Failure: ...
def exact(center: _Float32, gap: _Float32, out: _Float32, workers: int, /) -> _Failure: ...
def smooth(center: _Float64, gap: _Float64, out: _Float64, refine: int, workers: int, /
           ) -> _Failure: ...
def smooth_knots(center: _Float64, out: _Float64, refine: int, /) -> None: ...
def open(center: _Float64, gap: _Float64, out: _Float64, refine: int, smoothing: float,
         complexity: float, sample_size: Optional[_Float64], mean: Optional[_Float64],
         workers: int, /) -> _Failure: ...
def usable_cores() -> int: ...
def memory_bytes() -> int: ...
