"""Distances from sites at the surface to planar rectangular ruptures, on a sphere of radius EARTH_RADIUS km.

A rupture is a row of ten float64 values, in the order of RUPTURE_COLUMNS:

- lon0, lat0 (degrees): the first corner of the top edge, the end the strike points away from;
- ztor (km, positive down): the depth of the top edge;
- strike (degrees clockwise from north): the top edge runs from (lon0, lat0) along the great
  circle leaving it at that azimuth, for `length` km;
- dip (degrees, 0 < dip <= 90): the rupture dips towards the right of the strike: each point of
  the top edge is joined to the bottom edge by `width` km down dip, width*cos(dip) horizontally
  along the great circle perpendicular to the top edge there and width*sin(dip) down;
- length, width (km, >= 0); length == width == 0 is a point rupture at (lon0, lat0, ztor);
- hypo_lon, hypo_lat (degrees), hypo_depth (km): the hypocentre.

Sites are at the surface, given by one-dimensional float64 arrays of longitudes and latitudes
(degrees). The distances (DISTANCES, km), with sqrt(g**2 + z**2) the distance between a site and a
point at depth z whose epicentre is g km from the site along a great circle:

- R_rup: to the nearest point of the rupture;
- R_JB: to the nearest point of its surface projection (0 above it);
- R_x: signed, to the top edge's great circle, perpendicular to it: positive on the side the rupture
  dips towards (for a vertical rupture, on the right of the strike), negative on the other;
- R_y0: from the great circle through the nearer end perpendicular to the top edge, for a site
  beyond the ends; 0 for a site between them;
- R_hypo: to the hypocentre; R_epi: to the epicentre (great circle).

Every argument is checked before any result is written: a value that is not finite, a latitude
outside [-90, 90], a dip outside (0, 90] or a negative length or width raises ValueError naming
it; arrays that are no float64 buffer raise TypeError, arrays of the wrong shape ValueError. The
computation runs without the interpreter lock. See docs/distances.md.
"""

from typing import Any, Dict, Optional, Sequence, SupportsFloat, Tuple, Union

import numpy as np
from numpy.typing import NDArray

# The ten columns of a rupture record, in order.
RUPTURE_COLUMNS: Tuple[str, ...]
# The distances, in the order of the result's keys: R_rup, R_JB, R_x, R_y0, R_hypo, R_epi.
DISTANCES: Tuple[str, ...]
# km
EARTH_RADIUS: float

# ruptures: float64, shape (n_ruptures, 10), any strides; sites: float64, one-dimensional, any stride.
_Ruptures = NDArray[np.float64]
_Sites = NDArray[np.float64]

def distances(
    ruptures: _Ruptures,
    site_lon: _Sites,
    site_lat: _Sites,
    *,
    out: Optional[Dict[str, NDArray[np.float64]]] = None,
) -> Dict[str, NDArray[np.float64]]:
    """Every distance of every (rupture, site) pair: a dict of float64 arrays (n_ruptures, n_sites).

    The keys are DISTANCES, in that order. With `out`, a dict from some of the distance names to
    writable C-contiguous float64 arrays of shape (n_ruptures, n_sites) sharing no memory, only those
    distances are computed, into those arrays, and the result holds them (the same objects); the
    arrays are written only once every argument has been checked.
    """

def within(
    ruptures: _Ruptures,
    site_lon: _Sites,
    site_lat: _Sites,
    maximum_distance: Union[SupportsFloat, NDArray[np.float64]],
    *,
    names: Optional[Sequence[str]] = None,
) -> Dict[str, NDArray[Any]]:
    """The (rupture, site) pairs whose R_rup is at most maximum_distance (km), ordered by rupture then site.

    maximum_distance: a number >= 0 (math.inf for every pair), or a float64 array with one per
    rupture. The result is a dict of one-dimensional arrays with one element per pair: 'rupture'
    and 'site' (int64 indices into ruptures and the site arrays), then the DISTANCES (float64), in
    that order, each bit for bit what `distances` gives for the pair; with `names`, only the
    distances it lists (fewer columns to write; without R_hypo and R_epi a fifth less to compute).
    """
