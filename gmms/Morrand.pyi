"""Morrand: standardized CAV (CAVdp), built on the CAV model of the sibling module Dovecar."""

import array
from typing import Any, SupportsFloat, SupportsIndex, Union

import numpy as np
from numpy.typing import NDArray

# One float64 per site: any writable one-dimensional buffer of doubles, any stride; None is empty.
_Sites = Union[NDArray[np.float64], array.array[float], memoryview, None]
_Result = tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]

__author__: str
__test__: dict[str, Any]

def Morrand_cy(
    M: SupportsFloat,
    fdip: SupportsFloat,
    fZtor: SupportsFloat,
    R_JB: _Sites,
    R_rup: _Sites,
    R_x: _Sites,
    Vs30: _Sites,
    Z1p0: _Sites,
    Z2p5: _Sites,
    fnm: SupportsIndex,
    frv: SupportsIndex,
    CAVgmType: SupportsIndex,
    PSVcheck: SupportsIndex,
) -> _Result:
    """(mean of ln CAVdp, phi, tau) per site for one earthquake.

    M magnitude; fdip dip in degrees; fZtor depth to the top of rupture km;
    per site: R_JB Joyner-Boore distance km (sets the number of sites), R_rup rupture distance km,
    R_x distance from the top edge's trace km, Vs30 m/s, Z1p0 and Z2p5 depths to Vs 1.0 and
    2.5 km/s in km; fnm 1 for normal faulting; frv 1 for reverse faulting;
    CAVgmType 0 for recorded CAV, 1 for model-based; PSVcheck 1 for the PSV-checked coefficients.
    """
