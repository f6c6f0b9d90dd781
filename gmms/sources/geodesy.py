"""Points on a sphere of radius 6371 km: great-circle distances, azimuths and moves.

Every function takes numpy arrays (or scalars, broadcast together) in degrees and kilometres and
returns float64 arrays. Moves are done with unit vectors, which stay accurate for steps of a few
metres as for thousands of kilometres, and for negative distances (a move backwards along the
same great circle).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Tuple

import numpy as np

# Annotations only (numpy.typing's NDArray is numpy 1.21's; the package runs on older numpy too).
if TYPE_CHECKING:
    import numpy.typing as npt

    Floats = npt.NDArray[np.float64]

EARTH_RADIUS_KM = 6371.0


def _azimuth_degrees(radians: Floats) -> Floats:
    """Degrees in [0, 360) from radians in [-pi, pi]."""
    degrees = np.degrees(radians) % 360.0
    # A tiny negative angle wraps to 360 itself once rounded.
    return np.where(degrees >= 360.0, degrees - 360.0, degrees)


def destination(lon: npt.ArrayLike, lat: npt.ArrayLike, azimuth: npt.ArrayLike,
                distance_km: npt.ArrayLike) -> Tuple[Floats, Floats, Floats]:
    """Move along great circles.

    Parameters
    ----------
    lon, lat : array_like
        Starting points, degrees.
    azimuth : array_like
        Direction of the move at the start, degrees clockwise from north.
    distance_km : array_like
        Length of the move along the great circle, km; negative moves backwards.

    Returns
    -------
    lon, lat, azimuth : ndarray
        The points reached (longitude in [-180, 180]) and the direction of travel there (degrees
        in [0, 360)): the azimuth of the same great circle, continued, at the point reached.
    """
    lam, phi = np.radians(lon), np.radians(lat)
    theta = np.radians(azimuth)
    delta = np.asarray(distance_km, dtype=np.float64) / EARTH_RADIUS_KM
    sin_lam, cos_lam = np.sin(lam), np.cos(lam)
    sin_phi, cos_phi = np.sin(phi), np.cos(phi)
    sin_theta, cos_theta = np.sin(theta), np.cos(theta)
    # The start p, and the unit tangent t of the move there (north and east components).
    p = (cos_phi * cos_lam, cos_phi * sin_lam, sin_phi)
    t = (-sin_phi * cos_lam * cos_theta - sin_lam * sin_theta,
         -sin_phi * sin_lam * cos_theta + cos_lam * sin_theta,
         cos_phi * cos_theta)
    cos_d, sin_d = np.cos(delta), np.sin(delta)
    q = tuple(pi * cos_d + ti * sin_d for pi, ti in zip(p, t))
    t_q = tuple(ti * cos_d - pi * sin_d for pi, ti in zip(p, t))
    lon2 = np.arctan2(q[1], q[0])
    lat2 = np.arctan2(q[2], np.hypot(q[0], q[1]))
    sin_lon2, cos_lon2 = np.sin(lon2), np.cos(lon2)
    east = -sin_lon2 * t_q[0] + cos_lon2 * t_q[1]
    north = -np.sin(lat2) * (cos_lon2 * t_q[0] + sin_lon2 * t_q[1]) + np.cos(lat2) * t_q[2]
    return np.degrees(lon2), np.degrees(lat2), _azimuth_degrees(np.arctan2(east, north))


def distance(lon1: npt.ArrayLike, lat1: npt.ArrayLike, lon2: npt.ArrayLike,
             lat2: npt.ArrayLike) -> Floats:
    """Great-circle distance, km, between points given in degrees (the haversine formula)."""
    phi1, phi2 = np.radians(lat1), np.radians(lat2)
    half_dphi = (phi2 - phi1) / 2
    half_dlam = np.radians(np.subtract(lon2, lon1)) / 2
    h = np.sin(half_dphi) ** 2 + np.cos(phi1) * np.cos(phi2) * np.sin(half_dlam) ** 2
    return np.asarray(2 * EARTH_RADIUS_KM * np.arcsin(np.sqrt(np.minimum(h, 1.0))), dtype=np.float64)


def azimuth(lon1: npt.ArrayLike, lat1: npt.ArrayLike, lon2: npt.ArrayLike,
            lat2: npt.ArrayLike) -> Floats:
    """Azimuth, degrees in [0, 360), at the first point of the great circle to the second."""
    phi1, phi2 = np.radians(lat1), np.radians(lat2)
    dlam = np.radians(np.subtract(lon2, lon1))
    y = np.sin(dlam) * np.cos(phi2)
    x = np.cos(phi1) * np.sin(phi2) - np.sin(phi1) * np.cos(phi2) * np.cos(dlam)
    return _azimuth_degrees(np.arctan2(y, x))
