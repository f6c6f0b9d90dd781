"""The backarc test agrees with the geometry library's strict `contains` on the backarc polygon.

Points: random ones over and around the polygon's bounding box, every vertex, points on and
near every edge, and the 1-ulp neighbours of all of these in x and y. A point on the boundary
is forearc.
"""

import math

import numpy as np
import pytest
from shapely.geometry import Point, Polygon

from gmms import Tarvik

ARC_LON = [
    147.0777923, 150.1155649, 153.715191, 149.8283212, 114.0231292, 121.3748207, 125.7824353,
    127.1678612, 129.7868373, 129.8424854, 130.5254764, 130.9213526, 130.9667855, 131.5974992,
    131.7631234, 132.0491377, 137.2849268, 138.1554838, 138.3532866, 138.9145833, 139.5017784,
    139.7139014, 139.9509957, 140.3328265, 140.4766196, 140.8062929, 140.8994366, 140.9138458,
    140.9319158, 141.0155034, 141.0471475, 141.0655764, 141.164649, 141.1113146, 141.2269001,
    141.4874362, 141.7938255, 142.097868, 142.3806856, 142.7870678, 143.0922912, 143.5186725,
    143.9243411, 144.1509098, 144.3736708, 145.2255306, 145.8458331, 146.5058656, 147.0804238,
    147.0777923,
]
ARC_LAT = [
    44.54928084, 45.94757299, 48.41645565, 50.1970842, 44.06079242, 26.99925918, 26.15702014,
    27.20073396, 29.87585092, 29.9897597, 30.96859286, 31.977676, 32.7566247, 33.26338696,
    33.40597398, 34.64826527, 35.90546185, 36.30798631, 36.4376539, 36.45663279, 36.58422099,
    36.7567189, 37.0497487, 37.53364026, 37.91648909, 38.74967624, 39.03135054, 39.20718386,
    39.29564995, 39.56379066, 39.89703578, 40.37143077, 40.59907844, 40.73468826, 41.45114975,
    43.03663806, 43.02558574, 43.0232214, 43.10818802, 43.13640394, 43.18293361, 43.24243307,
    43.33814962, 43.37320904, 43.49759091, 43.73033601, 43.93993635, 44.25417222, 44.55763457,
    44.54928084,
]
POLYGON = Polygon(list(zip(ARC_LON, ARC_LAT)))

# One site at R_rup 100 km: the anelastic term makes the two sides differ by (c6 - c5) * 100.
_R = np.array([100.0])
_V = np.array([760.0])


def is_backarc(lon, lat):
    mean, _, _ = Tarvik.Tarvik_cy(0, 6.0, lat, lon, 20.0, _R, _V, 0, 0, 0, 0)
    return mean[0] == _BACKARC_MEAN


_BACKARC_MEAN = Tarvik.Tarvik_cy(0, 6.0, 40.0, 135.0, 20.0, _R, _V, 0, 0, 0, 0)[0][0]
_FOREARC_MEAN = Tarvik.Tarvik_cy(0, 6.0, 38.0, 142.0, 20.0, _R, _V, 0, 0, 0, 0)[0][0]


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


def disagreements(points):
    bad = []
    for x, y in points:
        expected = POLYGON.contains(Point(x, y))
        if is_backarc(x, y) != expected:
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
