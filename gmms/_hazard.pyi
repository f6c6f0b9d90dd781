"""The exceedance kernel of seismic hazard and its exact, order-independent accumulator."""

from typing import Sequence, SupportsFloat, SupportsIndex, Union

import numpy as np
from numpy.typing import NDArray

# An accumulator: int64, C-contiguous, shape (..., LIMBS).
_Acc = NDArray[np.int64]
# One value per pair (or per level, per row, per edge): one-dimensional, any stride.
_Floats = NDArray[np.float64]
_Ints = NDArray[np.int64]

LIMBS: int
LSB_EXPONENT: int
MAX_EXPONENT: int
N_MOMENTS: int
MOMENT_RATE: int
MOMENT_M: int
MOMENT_R: int
MOMENT_EPS: int

def zeros(shape: Union[SupportsIndex, Sequence[SupportsIndex]]) -> _Acc:
    """A zero accumulator: numpy.zeros(shape + (LIMBS,), int64)."""

def merge(dst: _Acc, src: _Acc) -> None:
    """dst += src exactly, elementwise (same shapes). On OverflowError dst is unchanged."""

def to_double(acc: _Acc) -> NDArray[np.float64]:
    """The accumulator's values as float64, shape acc.shape[:-1], correctly rounded (ties to even)."""

def exceedance(
    acc: _Acc, rows: _Ints, mu: _Floats, sigma: _Floats, rate: _Floats, log_levels: _Floats, truncation: SupportsFloat
) -> None:
    """acc[rows[i], k] += rate[i] * P(ln IM > log_levels[k]) for every pair i and level k.

    ln IM is normal with mean mu[i] and standard deviation sigma[i], truncated at +-truncation
    sigmas and renormalised (math.inf: untruncated). acc has shape (n_rows, n_levels, LIMBS).
    """

def disaggregate(
    cells: _Acc,
    moments: _Acc,
    rows: _Ints,
    bins: _Ints,
    mu: _Floats,
    sigma: _Floats,
    rate: _Floats,
    mag: _Floats,
    dist: _Floats,
    log_levels: _Floats,
    truncation: SupportsFloat,
    eps_edges: _Floats,
) -> None:
    """Splits each pair's c = rate * P(ln IM > log_levels[row]) by bin and epsilon.

    cells[row, bin, j] += c, with j the bin of eps = (log_levels[row] - mu) / sigma in eps_edges
    (clamped to the outer bins); moments[row] += (c, c*mag, c*dist, c*eps). A NaN level skips its row.
    """
