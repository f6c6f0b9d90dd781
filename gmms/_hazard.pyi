"""The exceedance kernel of seismic hazard and its exact, order-independent accumulator."""

from typing import Literal, Sequence, SupportsFloat, SupportsIndex, Union

import numpy as np
from numpy.typing import NDArray

# An accumulator: int64, C-contiguous, shape (..., LIMBS).
_Acc = NDArray[np.int64]
# One value per pair (or per level, per row, per edge): one-dimensional, any stride.
_Floats = NDArray[np.float64]
_Ints = NDArray[np.int64]
# How the normal of ln IM is truncated: both tails cut off and the rest renormalised, or the upper
# tail only.
_Tails = Literal["both", "upper"]

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
    acc: _Acc,
    rows: _Ints,
    mu: _Floats,
    sigma: _Floats,
    rate: _Floats,
    log_levels: _Floats,
    truncation: SupportsFloat,
    *,
    tails: _Tails = "both",
) -> None:
    """acc[rows[i], k] += rate[i] * P(ln IM > log_levels[k]) for every pair i and level k.

    ln IM is normal with mean mu[i] and standard deviation sigma[i] (0: a step, exceeded below the
    mean), truncated at truncation sigmas (math.inf: untruncated): tails='both' cuts off both tails
    and renormalises, tails='upper' the upper one only. acc has shape (n_rows, n_levels, LIMBS).
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
    *,
    tails: _Tails = "both",
) -> None:
    """Splits each pair's c = rate * P(ln IM > log_levels[row]) by bin and epsilon.

    cells[row, bin, j] += c, with j the bin of eps = (log_levels[row] - mu) / sigma in eps_edges
    (clamped to the outer bins); moments[row] += (c, c*mag, c*dist, c*eps). A NaN level skips its row.
    truncation and tails as for exceedance.
    """

def tail(z: _Floats, truncation: SupportsFloat, *, tails: _Tails = "both") -> NDArray[np.float64]:
    """P(Z > z) for each z, Z standard normal truncated as in exceedance: the kernels' own numbers.

    Untruncated, Q(z) = erfc(z / sqrt 2) / 2 within 1 ulp of its correctly rounded value.
    """
