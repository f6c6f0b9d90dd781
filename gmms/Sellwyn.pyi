"""Sellwyn: Arias intensity (IM 0) and CAV (IM 1), built on the sibling module Brisquell."""

import array
from typing import Any, SupportsFloat, SupportsIndex, Union

import numpy as np
from numpy.typing import NDArray

# One float64 per site: any writable one-dimensional buffer of doubles, any stride; None is empty.
_Sites = Union[NDArray[np.float64], array.array[float], memoryview, None]
_Result = tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]

__author__: str
__test__: dict[str, Any]

def Sellwyn_cy(
    IM: SupportsIndex,
    M: SupportsFloat,
    fwidth: SupportsFloat,
    fdip: SupportsFloat,
    Z_tor: SupportsFloat,
    Z_hyp: SupportsFloat,
    R_JB: _Sites,
    R_rup: _Sites,
    R_x: _Sites,
    Vs30: _Sites,
    Z2p5: _Sites,
    fnm: SupportsIndex,
    frv: SupportsIndex,
    region: object,
) -> _Result:
    """(mean of ln IM, phi, tau) per site for one earthquake; IM 0 is Ia, 1 is CAV.

    M magnitude; fwidth fault width km; fdip dip in degrees; Z_tor depth to the top of rupture km;
    Z_hyp hypocentral depth km; per site: R_JB Joyner-Boore distance km (sets the number of
    sites), R_rup rupture distance km, R_x distance from the top edge's trace km, Vs30 m/s,
    Z2p5 depth to Vs 2.5 km/s in km; fnm 1 for normal faulting; frv 1 for reverse faulting;
    region passed unchanged to Brisquell.
    """
