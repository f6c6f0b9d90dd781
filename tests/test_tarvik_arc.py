"""The backarc test agrees with the geometry library's strict `contains` on the backarc polygon.

Points: random ones over and around the polygon's bounding box, every vertex, points on and
near every edge, and the 1-ulp neighbours of all of these in x and y; and points chosen to be
hard, on the latitudes and longitudes of the vertices, where a crossing count goes wrong first.
Both decide exactly (shapely with robust predicates), so they must agree on every point. A point
on the boundary is forearc.
"""

import math
import pathlib
import sys

import numpy as np
import pytest
from shapely.geometry import Point, Polygon

from gmms import Tarvik

# The polygon as the benchmark's numpy+shapely version writes it, independently of the module.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
from comparators import BACKARC_LAT as ARC_LAT, BACKARC_LON as ARC_LON  # noqa: E402

POLYGON = Polygon(list(zip(ARC_LON, ARC_LAT)))

# One site at R_rup 100 km: the anelastic term makes the two sides differ by (c6 - c5) * 100.
_R = np.array([100.0])
_V = np.array([760.0])


def is_backarc(lon, lat):
    mean, _, _ = Tarvik.Tarvik_cy(0, 6.0, lat, lon, 20.0, _R, _V, 0, 0, 0, 0)
    return mean[0] == _BACKARC_MEAN


_BACKARC_MEAN = Tarvik.Tarvik_cy(0, 6.0, 40.0, 135.0, 20.0, _R, _V, 0, 0, 0, 0)[0][0]
_FOREARC_MEAN = Tarvik.Tarvik_cy(0, 6.0, 38.0, 142.0, 20.0, _R, _V, 0, 0, 0, 0)[0][0]

# The side read from another scenario (M 7 at 50 km depth, frv 1, a site at 50 km on 400 m/s): the
# mean differs from that of an event far from the arc.
_R50 = np.array([50.0])
_V400 = np.array([400.0])
_FAR_MEAN = Tarvik.Tarvik_cy(0, 7.0, 0.0, 0.0, 50.0, _R50, _V400, 0, 0, 0, 1)[0][0]


def is_backarc_m7(lon, lat):
    return Tarvik.Tarvik_cy(0, 7.0, lat, lon, 50.0, _R50, _V400, 0, 0, 0, 1)[0][0] != _FAR_MEAN


def with_ulp_neighbours(points):
    out = []
    for x, y in points:
        for nx in (math.nextafter(x, -math.inf), x, math.nextafter(x, math.inf)):
            for ny in (math.nextafter(y, -math.inf), y, math.nextafter(y, math.inf)):
                out.append((nx, ny))
    return out


def edge_points(per_edge):
    rng = np.random.default_rng(7)
    points = []
    for k in range(len(ARC_LON) - 1):
        x1, y1, x2, y2 = ARC_LON[k], ARC_LAT[k], ARC_LON[k + 1], ARC_LAT[k + 1]
        for t in [0.5, 0.25, 0.75, *rng.random(per_edge)]:
            points.append((x1 + t * (x2 - x1), y1 + t * (y2 - y1)))
    return points


def vertex_aligned_points(per_vertex):
    """Points level with a vertex (the eastward ray runs through it) or straight above/below it."""
    rng = np.random.default_rng(11)
    xmin, ymin, xmax, ymax = POLYGON.bounds
    points = []
    for x, y in zip(ARC_LON, ARC_LAT):
        points += [(float(u), y) for u in rng.uniform(xmin - 1.0, xmax + 1.0, per_vertex)]
        points += [(x, float(v)) for v in rng.uniform(ymin - 1.0, ymax + 1.0, per_vertex)]
    return points


def random_points(n):
    rng = np.random.default_rng(2024)
    xmin, ymin, xmax, ymax = POLYGON.bounds
    x = rng.uniform(xmin - 5.0, xmax + 5.0, n)
    y = rng.uniform(ymin - 5.0, ymax + 5.0, n)
    return list(zip(x.tolist(), y.tolist()))


def hard_points():
    rng = np.random.default_rng(2024)
    lon, lat = np.array(ARC_LON), np.array(ARC_LAT)
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


def disagreements(points, classify=is_backarc):
    bad = []
    for x, y in points:
        expected = POLYGON.contains(Point(x, y))
        if classify(x, y) != expected:
            bad.append((x, y, expected))
    return bad


def test_sides_differ():
    assert _BACKARC_MEAN != _FOREARC_MEAN


def test_random_points_agree_with_contains():
    points = random_points(60_000)
    assert disagreements(points) == []


def test_vertices_edges_and_ulp_neighbours_agree_with_contains():
    vertices = list(zip(ARC_LON, ARC_LAT))
    points = with_ulp_neighbours(vertices + edge_points(100))
    assert len(points) > 45_000
    assert disagreements(points) == []


def test_points_level_with_vertices_agree_with_contains():
    assert disagreements(vertex_aligned_points(100)) == []


@pytest.mark.parametrize("classify", [is_backarc, is_backarc_m7], ids=["M6-at-20km", "M7-at-50km"])
def test_hard_points_agree_with_contains(classify):
    points = hard_points()
    wrong = disagreements(points, classify)
    assert wrong == [], f"{len(wrong)} of {len(points)} points classified differently, e.g. {wrong[:5]}"


@pytest.mark.parametrize("lon, lat", list(zip(ARC_LON, ARC_LAT)))
def test_vertices_are_forearc(lon, lat):
    assert not is_backarc(lon, lat)


@pytest.mark.parametrize(
    "lon, lat",
    [(math.nan, 40.0), (135.0, math.nan), (math.inf, 40.0), (-math.inf, 40.0), (135.0, math.inf),
     (1e308, 1e308), (-1e308, 40.0), (0.0, 0.0), (5e-324, 5e-324)],
)
def test_non_finite_and_far_points_are_forearc(lon, lat):
    assert not is_backarc(lon, lat)


def test_swapped_latitude_and_longitude_change_the_answer():
    assert is_backarc(135.0, 40.0)
    assert not is_backarc(40.0, 135.0)
