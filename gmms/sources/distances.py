"""Distances from sites to ruptures, on the records of this package (the C++ module
``gmms._geometry`` does the work, without the interpreter lock)."""

from __future__ import annotations

from typing import Dict, TYPE_CHECKING, Union

import numpy as np

from gmms import _geometry

from .generate import Ruptures
from .sites import Sites

# Annotations only (numpy.typing's NDArray is numpy 1.21's; the package runs on older numpy too).
if TYPE_CHECKING:
    import numpy.typing as npt

    Floats = npt.NDArray[np.float64]


DISTANCES = tuple(_geometry.DISTANCES)


def distances(ruptures: Ruptures, sites: Sites) -> Dict[str, Floats]:
    """Every distance of every (rupture, site) pair.

    Returns
    -------
    dict
        ``R_rup``, ``R_JB``, ``R_x`` (positive on the hanging wall), ``R_y0``, ``R_hypo`` and
        ``R_epi``, km, each a float64 array of shape (len(ruptures), len(sites)).

    Examples
    --------
    >>> d = distances(block, sites)                      # doctest: +SKIP
    >>> d["R_rup"].shape == (len(block), len(sites))     # doctest: +SKIP
    True
    """
    return dict(_geometry.distances(ruptures.geometry(), sites.lon, sites.lat))


def within(ruptures: Ruptures, sites: Sites,
           maximum_distance: Union[float, Floats]) -> Dict[str, npt.NDArray[np.generic]]:
    """The (rupture, site) pairs with R_rup at most ``maximum_distance`` km (one number, or one
    per rupture), in order of rupture, then site.

    Returns
    -------
    dict
        ``rupture`` and ``site`` (int64 indices into ``ruptures`` and ``sites``), then the
        distances as ``distances`` names them, one value per pair.
    """
    return dict(_geometry.within(ruptures.geometry(), sites.lon, sites.lat, maximum_distance))
