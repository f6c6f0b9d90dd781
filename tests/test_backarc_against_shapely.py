"""Tarvik's backarc test against shapely's strict `contains`, on points chosen to be hard.

Both decide exactly (shapely with robust predicates), so they must agree on every point, also
on vertices, on edges and on the latitudes of vertices, where a crossing count goes wrong first.
"""

import pathlib
import sys

import numpy as np
from shapely.geometry import Point, Polygon

from gmms import Tarvik

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
from comparators import BACKARC_LAT, BACKARC_LON  # noqa: E402  (the polygon, typed independently)

POLYGON = Polygon(list(zip(BACKARC_LON, BACKARC_LAT)))
R_RUP = np.array([50.0])
VS30 = np.array([400.0])


def is_backarc(lon, lat):
    # The anelastic coefficient shows the side: the mean differs from a far-away (forearc) event's.
    mean = Tarvik.Tarvik_cy(0, 7.0, lat, lon, 50.0, R_RUP, VS30, 0, 0, 0, 1)[0][0]
    return mean != FOREARC_MEAN


FOREARC_MEAN = Tarvik.Tarvik_cy(0, 7.0, 0.0, 0.0, 50.0, R_RUP, VS30, 0, 0, 0, 1)[0][0]


def hard_points():
    rng = np.random.default_rng(2024)
    lon, lat = np.array(BACKARC_LON), np.array(BACKARC_LAT)
    points = list(zip(rng.uniform(110.0, 158.0, 2000), rng.uniform(24.0, 52.0, 2000)))
    points += list(zip(lon, lat))  # vertices: on the boundary
    points += list(zip((lon[:-1] + lon[1:]) / 2, (lat[:-1] + lat[1:]) / 2))  # near or on edges
    for y in lat:  # the latitudes of vertices, across the whole polygon
        points += [(x, y) for x in np.linspace(113.0, 155.0, 60)]
        points += [(x, y) for x in lon]
    for x in lon:  # the longitudes of vertices
        points += [(x, y) for y in rng.uniform(25.0, 51.0, 20)]
    eps = np.spacing(lat)
    points += list(zip(lon, lat + eps)) + list(zip(lon, lat - eps))
    return points


def test_agrees_with_shapely_on_hard_points():
    points = hard_points()
    wrong = [(x, y) for x, y in points if is_backarc(x, y) != POLYGON.contains(Point(x, y))]
    assert wrong == [], f"{len(wrong)} of {len(points)} points classified differently, e.g. {wrong[:5]}"

