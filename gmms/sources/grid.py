"""Polygons on the sphere and the regular grids of points inside them.

Both area sources (their points) and site regions (their sites) are polygons given as lon/lat
vertices. An edge is the great-circle arc between its vertices: edges longer than
``EDGE_STEP_KM`` are cut into arcs of at most that length, and the test of a point against the
polygon then takes each short arc as straight in longitude and latitude (good to a few metres).
Longitudes are unwrapped along the ring, so a polygon may cross the antimeridian; one that
encircles a pole is refused.

The grid: rows from the north edge of the polygon's bounding box southward, ``spacing`` km apart
along the meridian; along each row, points ``spacing`` km apart along the parallel from the
box's west edge eastward. The points strictly inside the polygon are kept, row by row from north
to south, west to east in each row.
"""

from __future__ import annotations

import math
from typing import Sequence, TYPE_CHECKING, Tuple

import numpy as np

from .geodesy import EARTH_RADIUS_KM, azimuth, destination, distance

# Annotations only (numpy.typing's NDArray is numpy 1.21's; the package runs on older numpy too).
if TYPE_CHECKING:
    import numpy.typing as npt

    Floats = npt.NDArray[np.float64]


EDGE_STEP_KM = 10.0


def _wrap180(degrees: Floats) -> Floats:
    return np.asarray((degrees + 180.0) % 360.0 - 180.0, dtype=np.float64)


def _segments_touch(a: Floats, b: Floats, c: Floats, d: Floats) -> npt.NDArray[np.bool_]:
    """Whether segment a-b meets segments c[k]-d[k] (points as (..., 2) arrays), ends included."""
    def orient(p: Floats, q: Floats, r: Floats) -> Floats:
        return np.asarray(np.sign((q[..., 0] - p[..., 0]) * (r[..., 1] - p[..., 1])
                                  - (q[..., 1] - p[..., 1]) * (r[..., 0] - p[..., 0])), dtype=np.float64)

    def within(p: Floats, q: Floats, r: Floats) -> npt.NDArray[np.bool_]:
        return ((np.minimum(p[..., 0], q[..., 0]) <= r[..., 0]) & (r[..., 0] <= np.maximum(p[..., 0], q[..., 0]))
                & (np.minimum(p[..., 1], q[..., 1]) <= r[..., 1]) & (r[..., 1] <= np.maximum(p[..., 1], q[..., 1])))

    o1, o2 = orient(a, b, c), orient(a, b, d)
    o3, o4 = orient(c, d, a), orient(c, d, b)
    crossing = (o1 * o2 < 0) & (o3 * o4 < 0)
    touching = (((o1 == 0) & within(a, b, c)) | ((o2 == 0) & within(a, b, d))
                | ((o3 == 0) & within(c, d, a)) | ((o4 == 0) & within(c, d, b)))
    return np.asarray(crossing | touching)


def ring(lons: Sequence[float], lats: Sequence[float]) -> Tuple[Floats, Floats]:
    """A polygon's ring, checked: vertices as given (a last vertex equal to the first is dropped),
    with longitudes unwrapped so that no edge spans more than 180 degrees.

    Raises ValueError, with the reason, for fewer than three vertices, a repeated vertex, a
    vertex outside the globe, a ring around a pole, or edges that cross or touch.
    """
    lon = np.asarray(lons, dtype=np.float64)
    lat = np.asarray(lats, dtype=np.float64)
    if len(lon) > 1 and lon[0] == lon[-1] and lat[0] == lat[-1]:
        lon, lat = lon[:-1], lat[:-1]
    if len(lon) < 3:
        raise ValueError(f"a polygon needs at least 3 vertices, not {len(lon)}")
    if np.any(np.abs(lat) > 90) or np.any(np.abs(lon) > 180) or not np.all(np.isfinite(lon + lat)):
        raise ValueError("a vertex lies outside longitudes -180..180 or latitudes -90..90")
    steps = _wrap180(np.diff(lon, append=lon[0]))
    if abs(steps.sum()) > 180.0:
        raise ValueError("the polygon encircles a pole")
    lon = lon[0] + np.concatenate([[0.0], np.cumsum(steps[:-1])])
    vertices = np.column_stack([lon, lat])
    _, first = np.unique(vertices, axis=0, return_index=True)
    if len(first) != len(vertices):
        repeated = sorted(set(range(len(vertices))) - set(first.tolist()))[0]
        raise ValueError(f"vertex {repeated + 1} ({lons[repeated]} {lats[repeated]}) repeats an earlier one")
    n = len(vertices)
    ends = np.roll(vertices, -1, axis=0)
    for i in range(n - 2):
        # Edge i against the edges that share no vertex with it.
        last = n - 1 if i > 0 else n - 2
        others = np.arange(i + 2, last + 1)
        if len(others) == 0:
            continue
        hit = _segments_touch(vertices[i], ends[i], vertices[others], ends[others])
        if hit.any():
            j = int(others[np.flatnonzero(hit)[0]])
            raise ValueError(f"the polygon's edges {i + 1} and {j + 1} cross or touch "
                             "(edge k runs from vertex k to the next)")
    return lon, lat


def _densified(lon: Floats, lat: Floats) -> Tuple[Floats, Floats]:
    """The ring with points added along each great-circle edge, at most EDGE_STEP_KM apart."""
    lon_next, lat_next = np.roll(lon, -1), np.roll(lat, -1)
    lengths = distance(lon, lat, lon_next, lat_next)
    pieces = np.maximum(1, np.ceil(lengths / EDGE_STEP_KM)).astype(np.int64)
    edge = np.repeat(np.arange(len(lon)), pieces)
    step = np.arange(len(edge)) - np.repeat(np.cumsum(pieces) - pieces, pieces)
    directions = azimuth(lon, lat, lon_next, lat_next)
    out_lon, out_lat, _ = destination(lon[edge], lat[edge], directions[edge],
                                      lengths[edge] * step / pieces[edge])
    # Unwrap as the vertices were: each point within 180 degrees of its edge's first vertex.
    out_lon = lon[edge] + _wrap180(out_lon - lon[edge])
    return out_lon, out_lat


def grid(lon: Floats, lat: Floats, spacing_km: float) -> Tuple[Floats, Floats]:
    """Points of the regular grid of ``spacing_km`` strictly inside the polygon of a ``ring``.

    Returns longitudes (in [-180, 180]) and latitudes, rows from north to south.
    """
    if not (spacing_km > 0 and math.isfinite(spacing_km)):
        raise ValueError(f"the grid spacing must be a positive number of km, not {spacing_km}")
    x, y = _densified(lon, lat)
    x_next, y_next = np.roll(x, -1), np.roll(y, -1)
    west, east = float(x.min()), float(x.max())
    north, south = float(y.max()), float(y.min())
    lat_step = math.degrees(spacing_km / EARTH_RADIUS_KM)
    rows = north - lat_step * np.arange(int(math.floor((north - south) / lat_step)) + 1)
    out_lon, out_lat = [], []
    for row_lat in rows:
        cos_lat = math.cos(math.radians(row_lat))
        if cos_lat <= 0.0:
            continue
        lon_step = math.degrees(spacing_km / (EARTH_RADIUS_KM * cos_lat))
        lons = west + lon_step * np.arange(int(math.floor((east - west) / lon_step)) + 1)
        # Even-odd rule along the row: the edges it crosses, half-open at their ends.
        crosses = (y > row_lat) != (y_next > row_lat)
        if not crosses.any():
            continue
        x0, y0, x1, y1 = x[crosses], y[crosses], x_next[crosses], y_next[crosses]
        at = np.sort(x0 + (row_lat - y0) * (x1 - x0) / (y1 - y0))
        before = np.searchsorted(at, lons, side="left")
        on_edge = np.searchsorted(at, lons, side="right") != before
        inside = (before % 2 == 1) & ~on_edge
        out_lon.append(lons[inside])
        out_lat.append(np.full(int(inside.sum()), row_lat))
    if not out_lon:
        return np.zeros(0), np.zeros(0)
    lon_all = np.concatenate(out_lon)
    lon_all = np.where(np.abs(lon_all) > 180.0, _wrap180(lon_all), lon_all)
    return lon_all, np.concatenate(out_lat)
