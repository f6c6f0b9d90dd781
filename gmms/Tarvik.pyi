"""Tarvik: Arias intensity (IM 0) and CAV (IM 1) of subduction-zone and crustal earthquakes."""

import array
from typing import Any, SupportsFloat, SupportsIndex, Union

import numpy as np
from numpy.typing import NDArray

# One float64 per site: any writable one-dimensional buffer of doubles, any stride; None is empty.
_Sites = Union[NDArray[np.float64], array.array[float], memoryview, None]
_Result = tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]

__author__: str
__test__: dict[str, Any]

def Tarvik_cy(
    IM: SupportsIndex,
    M: SupportsFloat,
    hypo_lat: SupportsFloat,
    hypo_lon: SupportsFloat,
    hypo_depth: SupportsFloat,
    R_rup: _Sites,
    Vs30: _Sites,
    fins: SupportsIndex,
    fint: SupportsIndex,
    fnm: SupportsIndex,
    frv: SupportsIndex,
) -> _Result:
    """(mean of ln IM, phi, tau) per site for one earthquake; IM 0 is Ia, 1 is CAV.

    M magnitude; hypo_lat, hypo_lon hypocentre in decimal degrees (north, east); hypo_depth km;
    R_rup rupture distance km and Vs30 m/s per site (R_rup sets the number of sites);
    fins 1 for an in-slab event; fint 0 for an interface or crustal event, else 1;
    fnm 1 for normal faulting; frv 1 for reverse faulting.
    """
