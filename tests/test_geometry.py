"""gmms._geometry: the distances from sites to planar rectangular ruptures on a sphere.

The oracle is a dense search in numpy: points of the rupture placed by the navigation formulas
(destination and bearing on the sphere, nothing of the module's frame), their distances to the
sites by great circles and depth, and the nearest found by a grid refined around the best point
until its cells are far below a millimetre. R_x, R_y0, R_epi and R_hypo come from the standard
cross-track and haversine formulas.
"""

import gc
import math
import os
import sys
import threading

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from gmms import _geometry as geo

R = 6371.0
NAMES = geo.DISTANCES
SANITIZED = bool(os.environ.get("GMMS_SANITIZED"))
COLUMNS = {name: k for k, name in enumerate(geo.RUPTURE_COLUMNS)}

# ---------------------------------------------------------------------------------------------
# The reference


def unit(lon, lat):
    lon, lat = np.radians(lon), np.radians(lat)
    return np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], axis=-1)


def great_circle(lon1, lat1, lon2, lat2):
    p, q = unit(lon1, lat1), unit(lon2, lat2)
    return R * np.arctan2(np.linalg.norm(np.cross(p, q), axis=-1), np.sum(p * q, axis=-1))


def bearing(lon1, lat1, lon2, lat2):
    f1, f2, dl = np.radians(lat1), np.radians(lat2), np.radians(np.subtract(lon2, lon1))
    return np.degrees(np.arctan2(np.sin(dl) * np.cos(f2), np.cos(f1) * np.sin(f2) - np.sin(f1) * np.cos(f2) * np.cos(dl)))


def destination(lon, lat, azimuth, distance):
    f, lam, a, d = np.radians(lat), np.radians(lon), np.radians(azimuth), np.divide(distance, R)
    f2 = np.arcsin(np.clip(np.sin(f) * np.cos(d) + np.cos(f) * np.sin(d) * np.cos(a), -1, 1))
    lam2 = lam + np.arctan2(np.sin(a) * np.sin(d) * np.cos(f), np.cos(d) - np.sin(f) * np.sin(f2))
    return np.degrees(lam2), np.degrees(f2)


def dip_cos_sin(dip):
    return (0.0, 1.0) if dip == 90 else (math.cos(math.radians(dip)), math.sin(math.radians(dip)))


def strike_at(rupture, s):
    """The azimuth of the top edge at s km along it (towards a point far ahead on the same great
    circle, so that it is well defined at s = 0 too)."""
    lon0, lat0, strike = rupture[0], rupture[1], rupture[3]
    lon1, lat1 = destination(lon0, lat0, strike, s)
    return bearing(lon1, lat1, *destination(lon0, lat0, strike, np.add(s, 1000.0)))


def rupture_point(rupture, s, t):
    """The point s km along the top edge and t km down dip: (lon, lat, depth)."""
    lon1, lat1, azimuth = top_edge(rupture, s)
    return down_from(rupture, lon1, lat1, azimuth, t)


def top_edge(rupture, s):
    lon1, lat1 = destination(rupture[0], rupture[1], rupture[3], s)
    return lon1, lat1, strike_at(rupture, s)


def down_from(rupture, lon1, lat1, azimuth, t):
    cos_dip, sin_dip = dip_cos_sin(rupture[4])
    lon2, lat2 = destination(lon1, lat1, azimuth + 90.0, np.multiply(t, cos_dip))
    return lon2, lat2, rupture[2] + np.multiply(t, sin_dip)


def nearest(rupture, lon, lat, surface, steps=30, first=33, then=9):
    """The least distance from each site to the rupture (surface: to its surface projection), by a
    grid over (along strike, down dip) refined around its best node: the box halves at each step
    to some 1e-9 of the rupture's size."""
    length, width = rupture[5], rupture[6]
    n = len(lon)
    lo_s, hi_s, lo_t, hi_t = np.zeros(n), np.full(n, length), np.zeros(n), np.full(n, width)
    for step in range(steps):
        k = first if step == 0 else then
        u = np.linspace(0.0, 1.0, k)
        s = lo_s[:, None] + (hi_s - lo_s)[:, None] * u
        t = lo_t[:, None] + (hi_t - lo_t)[:, None] * u
        lon1, lat1, azimuth = top_edge(rupture, s)
        plon, plat, depth = down_from(rupture, lon1[:, :, None], lat1[:, :, None], azimuth[:, :, None],
                                      t[:, None, :])
        g = great_circle(lon[:, None, None], lat[:, None, None], plon, plat)
        d = (g if surface else np.hypot(g, depth)).reshape(n, -1)
        best = np.argmin(d, axis=1)
        found = d[np.arange(n), best]
        i, j = np.unravel_index(best, (k, k))
        ds, dt = (hi_s - lo_s) / (k - 1), (hi_t - lo_t) / (k - 1)
        s_best, t_best = lo_s + i * ds, lo_t + j * dt
        lo_s, hi_s = np.maximum(s_best - 2 * ds, 0.0), np.minimum(s_best + 2 * ds, length)
        lo_t, hi_t = np.maximum(t_best - 2 * dt, 0.0), np.minimum(t_best + 2 * dt, width)
    return found


def cross_track(lon0, lat0, azimuth, lon, lat):
    """Signed distance from the great circle through (lon0, lat0) at `azimuth`: positive on its right."""
    d = great_circle(lon0, lat0, lon, lat) / R
    return R * np.arcsin(np.sin(d) * np.sin(np.radians(bearing(lon0, lat0, lon, lat) - azimuth)))


def reference(rupture, lon, lat):
    lon0, lat0, ztor, strike, dip, length, width, hypo_lon, hypo_lat, hypo_depth = rupture
    lon1, lat1 = destination(lon0, lat0, strike, length)
    # Beyond the first end: on the right of the perpendicular heading strike + 90 there; beyond the
    # second, on the left of the one there.
    beyond_first = cross_track(lon0, lat0, strike + 90.0, lon, lat)
    beyond_second = -cross_track(lon1, lat1, strike_at(rupture, length) + 90.0, lon, lat)
    epi = great_circle(hypo_lon, hypo_lat, lon, lat)
    return {"R_rup": nearest(rupture, lon, lat, False), "R_JB": nearest(rupture, lon, lat, True),
            "R_x": cross_track(lon0, lat0, strike, lon, lat),
            "R_y0": np.maximum(np.maximum(beyond_first, beyond_second), 0.0),
            "R_hypo": np.hypot(epi, hypo_depth), "R_epi": epi}


def tolerance(expected):
    """What the module promises: 0.05 km or 0.1 %, whichever is larger."""
    return np.maximum(0.05, 1e-3 * np.abs(expected))


def close_to_the_method(expected, within_km):
    """What the method achieves: its series are good to about 1e-7, far below the promise. A
    tighter bound catches a wrong term that the promise would let through near the rupture."""
    return np.where(within_km, np.maximum(1e-3, 1e-6 * np.abs(expected)), 1e-5 * np.abs(expected) + 1e-3)


def assert_matches(rupture, lon, lat, names=NAMES, tight=True):
    lon, lat = np.asarray(lon, float), np.asarray(lat, float)
    found = geo.distances(np.array([rupture], float), lon, lat)
    expected = reference(np.asarray(rupture, float), lon, lat)
    near = expected["R_JB"] <= 500.0
    for name in names:
        got, want = found[name][0], expected[name]
        bad = np.abs(got - want) > tolerance(want)
        assert not bad.any(), (name, rupture, lon[bad], lat[bad], got[bad], want[bad])
        if tight:
            bad = np.abs(got - want) > close_to_the_method(want, near)
            assert not bad.any(), (name, "beyond the method's accuracy", rupture, lon[bad], lat[bad], got[bad],
                                   want[bad])
    return found


def rupture_row(lon0=10.0, lat0=45.0, ztor=3.0, strike=30.0, dip=60.0, length=40.0, width=15.0,
                hypo=None, hypo_depth=9.0):
    hypo_lon, hypo_lat = hypo if hypo is not None else destination(lon0, lat0, strike, length / 2)
    return [lon0, lat0, ztor, strike, dip, length, width, float(hypo_lon), float(hypo_lat), hypo_depth]


def sites_around(rupture, rng, n_near=20):
    """Sites on the surface trace, above the rupture, beyond both ends, on both sides, and far."""
    lon0, lat0, ztor, strike, dip, length, width = rupture[:7]
    cos_dip = dip_cos_sin(dip)[0]
    groups = []
    along = np.linspace(0.0, length, 9)
    groups.append(rupture_point(rupture, along, 0.0 * along)[:2])                             # the trace
    s, t = rng.uniform(0, length, n_near), rng.uniform(0, width, n_near)
    groups.append(rupture_point(rupture, s, t)[:2])                                            # above it
    lon1, lat1 = destination(lon0, lat0, strike, length)
    # Beyond an end: out along the top edge's great circle, then across it (positive: towards the
    # dip, which is on the left looking out from the first end, on the right from the second).
    for lon_e, lat_e, away, towards_dip in ((lon0, lat0, strike + 180.0, -90.0),
                                            (lon1, lat1, strike_at(rupture, length), 90.0)):
        d = rng.uniform(0.0, 300.0, n_near)
        side = rng.uniform(-60.0, 60.0 + width * cos_dip, n_near)
        elon, elat = destination(lon_e, lat_e, away, d)
        groups.append(destination(elon, elat, away + towards_dip * np.sign(side), np.abs(side)))
    mid_lon, mid_lat = destination(lon0, lat0, strike, length / 2)
    side = np.r_[-np.geomspace(0.01, 500.0, 12), np.geomspace(0.01, 500.0, 12)]
    groups.append(destination(mid_lon, mid_lat, strike_at(rupture, length / 2) + 90.0 * np.sign(side),
                              np.abs(side)))                                                   # both sides
    groups.append(destination(mid_lon, mid_lat, rng.uniform(0, 360, 12), rng.uniform(600.0, 3000.0, 12)))  # far
    return np.concatenate([g[0] for g in groups]), np.concatenate([g[1] for g in groups])


# ---------------------------------------------------------------------------------------------
# Against the reference


SHAPES = {
    "fault": dict(),
    "long reverse": dict(strike=300.0, length=250.0, width=60.0, ztor=0.0),
    "strike-slip at the surface": dict(strike=175.0, ztor=0.0, width=12.0),
    "shallow thrust": dict(strike=200.0, width=120.0, length=180.0, ztor=5.0),
    "near the pole": dict(lat0=84.0, lon0=-100.0, strike=80.0, length=150.0, width=30.0),
    "across the date line": dict(lon0=179.8, lat0=-40.0, strike=95.0, length=60.0),
    "square": dict(length=10.0, width=10.0, ztor=1.0),
    "a line along strike": dict(width=0.0, length=70.0),
    "a line down dip": dict(length=0.0, width=30.0),
}


CASES = [("fault", dip) for dip in (90.0, 75.0, 45.0, 20.0, 5.0, 0.5)] + [
    ("long reverse", 30.0), ("long reverse", 90.0), ("strike-slip at the surface", 90.0), ("shallow thrust", 8.0),
    ("near the pole", 45.0), ("near the pole", 90.0), ("across the date line", 60.0), ("square", 89.9),
    ("a line along strike", 50.0), ("a line down dip", 35.0), ("a line down dip", 90.0),
]


@pytest.mark.parametrize("shape, dip", CASES)
def test_every_distance_against_the_dense_reference(shape, dip):
    rupture = rupture_row(**{**SHAPES[shape], "dip": dip})
    rng = np.random.default_rng(CASES.index((shape, dip)))
    lon, lat = sites_around(rupture, rng)
    assert_matches(rupture, lon, lat)


def test_far_and_antipodal_sites_take_the_exact_path():
    rupture = rupture_row(length=80.0, width=25.0)
    rng = np.random.default_rng(7)
    lon, lat = destination(10.0, 45.0, rng.uniform(0, 360, 40), rng.uniform(2500.0, 19500.0, 40))
    # R_y0's great-circle formula holds within a quarter circle of the ends only.
    assert_matches(rupture, lon, lat, names=("R_rup", "R_JB", "R_x", "R_hypo", "R_epi"))
    lon, lat = destination(10.0, 45.0, rng.uniform(0, 360, 20), rng.uniform(2500.0, 8000.0, 20))
    assert_matches(rupture, lon, lat, names=("R_y0",))


def test_a_rupture_too_long_for_the_series_is_exact_everywhere():
    rupture = rupture_row(length=2500.0, width=40.0, strike=100.0, lat0=10.0)
    lon, lat = sites_around(rupture, np.random.default_rng(3), n_near=15)
    assert_matches(rupture, lon, lat)


@st.composite
def ruptures_and_sites(draw):
    dip = draw(st.one_of(st.just(90.0), st.floats(0.05, 90.0)))
    length = draw(st.one_of(st.just(0.0), st.floats(0.0, 400.0)))
    width = draw(st.one_of(st.just(0.0), st.floats(0.0, 100.0)))
    lon0, lat0 = draw(st.floats(-180.0, 180.0)), draw(st.floats(-88.0, 88.0))
    strike, ztor = draw(st.floats(0.0, 360.0)), draw(st.floats(0.0, 25.0))
    hypo = destination(lon0, lat0, draw(st.floats(0.0, 360.0)), draw(st.floats(0.0, 100.0)))
    rupture = rupture_row(lon0, lat0, ztor, strike, dip, length, width, hypo, draw(st.floats(0.0, 40.0)))
    # Sites within 500 km of random points of the rupture's projection.
    n = draw(st.integers(1, 8))
    s = np.array(draw(st.lists(st.floats(0.0, 1.0), min_size=n, max_size=n))) * length
    t = np.array(draw(st.lists(st.floats(0.0, 1.0), min_size=n, max_size=n))) * width
    azimuth = np.array(draw(st.lists(st.floats(0.0, 360.0), min_size=n, max_size=n)))
    distance = np.array(draw(st.lists(st.sampled_from([0.0, 0.5, 5.0, 50.0, 450.0]) | st.floats(0.0, 450.0),
                                      min_size=n, max_size=n)))
    plon, plat, _ = rupture_point(rupture, s, t)
    return rupture, *destination(plon, plat, azimuth, distance)


@given(ruptures_and_sites())
def test_random_ruptures_against_the_dense_reference(case):
    rupture, lon, lat = case
    found = assert_matches(rupture, lon, lat)
    d = {name: found[name][0] for name in NAMES}
    assert (d["R_JB"] <= d["R_rup"] + 1e-9).all() and (d["R_epi"] <= d["R_hypo"]).all()
    assert (d["R_y0"] <= d["R_JB"] + 1e-9).all()


# ---------------------------------------------------------------------------------------------
# Signs and zeros


@pytest.mark.parametrize("strike", [0.0, 137.0, 270.0])
@pytest.mark.parametrize("dip", [90.0, 50.0, 10.0])
def test_r_x_is_positive_towards_the_dip_and_r_jb_zero_above(strike, dip):
    rupture = rupture_row(strike=strike, dip=dip, width=20.0, ztor=2.0)
    mid, across = destination(10.0, 45.0, strike, 20.0), strike_at(rupture, 20.0) + 90.0
    width_h = 20.0 * dip_cos_sin(dip)[0]
    offsets = np.array([0.3, 0.5 * width_h + 0.1, width_h + 5.0])
    right = destination(*mid, across, offsets)
    left = destination(*mid, across + 180.0, offsets)
    d_right = geo.distances(np.array([rupture]), *map(np.asarray, right))
    d_left = geo.distances(np.array([rupture]), *map(np.asarray, left))
    np.testing.assert_allclose(d_right["R_x"][0], offsets, rtol=1e-9)
    np.testing.assert_allclose(d_left["R_x"][0], -offsets, rtol=1e-9)
    np.testing.assert_allclose(d_left["R_JB"][0], offsets, rtol=1e-9)
    above = offsets < width_h
    assert (d_right["R_JB"][0][above] == 0).all() and (d_right["R_JB"][0][~above] > 0).all()
    # The hanging wall is nearer the plane than the mirror site on the footwall, unless vertical
    # (or so near the top edge that the edge is the nearest point on both sides).
    if dip < 90:
        assert (d_right["R_rup"][0] < d_left["R_rup"][0])[1:].all()
    else:
        np.testing.assert_allclose(d_right["R_rup"][0], d_left["R_rup"][0], rtol=1e-12)


def test_r_y0_is_zero_along_the_length_and_the_distance_beyond_the_ends():
    rupture = rupture_row(strike=60.0, length=50.0)
    along = np.linspace(0.0, 50.0, 11)
    for side in (-40.0, 0.0, 25.0):
        lon, lat = destination(*rupture_point(rupture, along, 0 * along)[:2],
                               strike_at(rupture, along) + 90.0 * np.sign(side), abs(side))
        r_y0 = geo.distances(np.array([rupture]), lon, lat)["R_y0"][0]
        assert (r_y0[1:-1] == 0).all() and (r_y0 < 1e-9).all()  # rounding may put an end's sites a hair beyond
    beyond = np.array([0.5, 10.0, 100.0])
    lon, lat = destination(10.0, 45.0, 240.0, beyond)
    np.testing.assert_allclose(geo.distances(np.array([rupture]), lon, lat)["R_y0"][0], beyond, rtol=1e-9)
    lon, lat = destination(*destination(10.0, 45.0, 60.0, 50.0), strike_at(rupture, 50.0), beyond)
    np.testing.assert_allclose(geo.distances(np.array([rupture]), lon, lat)["R_y0"][0], beyond, rtol=1e-9)


@pytest.mark.parametrize("depth", [0.0, 8.0])
def test_a_point_rupture_is_its_hypocentre_like_corner(depth):
    rupture = rupture_row(length=0.0, width=0.0, ztor=depth, hypo=(10.0, 45.0), hypo_depth=depth)
    rng = np.random.default_rng(11)
    lon, lat = destination(10.0, 45.0, rng.uniform(0, 360, 50), np.r_[0.0, rng.uniform(0, 3000, 49)])
    found = assert_matches(rupture, lon, lat)
    epi = great_circle(10.0, 45.0, lon, lat)
    np.testing.assert_allclose(found["R_JB"][0], epi, rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(found["R_rup"][0], np.hypot(epi, depth), rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(found["R_rup"][0], found["R_hypo"][0], rtol=1e-7, atol=1e-9)


# ---------------------------------------------------------------------------------------------
# Calls: blocks, tiles, out, within


def block(n_ruptures, rng, spread=2.0):
    return np.column_stack([
        rng.uniform(10 - spread, 10 + spread, n_ruptures), rng.uniform(45 - spread, 45 + spread, n_ruptures),
        rng.uniform(0, 15, n_ruptures), rng.uniform(0, 360, n_ruptures), np.r_[90.0, rng.uniform(1, 90, n_ruptures - 1)],
        np.r_[0.0, rng.uniform(0, 300, n_ruptures - 1)], rng.uniform(0, 60, n_ruptures),
        rng.uniform(10 - spread, 10 + spread, n_ruptures), rng.uniform(45 - spread, 45 + spread, n_ruptures),
        rng.uniform(0, 25, n_ruptures)])


def test_a_site_gets_the_same_bits_whatever_its_neighbours():
    # Tiles of near sites take the vectorised loop, tiles with far sites the per-site one; sorted
    # and shuffled, each site lands in tiles of both kinds.
    rng = np.random.default_rng(5)
    ruptures = block(7, rng)
    lon, lat = np.r_[rng.uniform(8, 12, 700), rng.uniform(-170, 170, 300)], np.r_[rng.uniform(43, 47, 700),
                                                                                  rng.uniform(-80, 80, 300)]
    order = np.argsort(lon)
    shuffled = rng.permutation(len(lon))
    a = geo.distances(ruptures, lon[order], lat[order])
    b = geo.distances(ruptures, lon[shuffled], lat[shuffled])
    c = geo.distances(ruptures[::-1], lon, lat)
    for name in NAMES:
        assert a[name][:, np.argsort(order)].tobytes() == b[name][:, np.argsort(shuffled)].tobytes()
        assert a[name][:, np.argsort(order)].tobytes() == c[name][::-1].tobytes()
        one = np.array([geo.distances(ruptures[k:k + 1], lon, lat)[name][0] for k in range(len(ruptures))])
        assert one.tobytes() == c[name][::-1].tobytes()


def test_out_computes_the_named_distances_into_the_given_arrays():
    rng = np.random.default_rng(6)
    ruptures, lon, lat = block(5, rng), rng.uniform(8, 12, 300), rng.uniform(43, 47, 300)
    full = geo.distances(ruptures, lon, lat)
    assert list(full) == list(NAMES)
    assert all(a.shape == (5, 300) and a.dtype == np.float64 and a.flags.c_contiguous for a in full.values())
    for subset in (["R_rup", "R_JB", "R_x"], ["R_hypo"], list(NAMES), []):
        out = {name: np.full((5, 300), np.nan) for name in subset}
        result = geo.distances(ruptures, lon, lat, out=out)
        assert list(result) == subset and all(result[name] is out[name] for name in subset)
        for name in subset:
            assert out[name].tobytes() == full[name].tobytes()


def test_strided_and_read_only_inputs_give_the_same_bits():
    rng = np.random.default_rng(8)
    ruptures, lon, lat = block(4, rng), rng.uniform(8, 12, 50), rng.uniform(43, 47, 50)
    expected = geo.distances(ruptures, lon, lat)
    wide = np.zeros((8, 20))
    wide[::2, ::2] = ruptures
    frozen = [np.repeat(a, 2)[::2] for a in (lon, lat)]
    for a in frozen:
        a.flags.writeable = False
    found = geo.distances(wide[::2, ::2], *frozen)
    assert all(found[name].tobytes() == expected[name].tobytes() for name in NAMES)


@pytest.mark.parametrize("limit", [0.0, 30.0, 300.0, 2000.0, math.inf, "per rupture"])
def test_within_is_distances_filtered_on_r_rup(limit):
    rng = np.random.default_rng(9)
    ruptures = block(12, rng)
    lon, lat = np.r_[np.sort(rng.uniform(6, 14, 900)), rng.uniform(-60, 80, 200)], np.r_[rng.uniform(41, 49, 900),
                                                                                        rng.uniform(-30, 80, 200)]
    limits = rng.uniform(0.0, 400.0, 12) if limit == "per rupture" else np.full(12, limit)
    found = geo.within(ruptures, lon, lat, limits if limit == "per rupture" else limit)
    full = geo.distances(ruptures, lon, lat)
    rows, cols = np.nonzero(full["R_rup"] <= limits[:, None])
    assert list(found) == ["rupture", "site", *NAMES]
    assert found["rupture"].dtype == found["site"].dtype == np.int64
    assert np.array_equal(found["rupture"], rows) and np.array_equal(found["site"], cols)
    for name in NAMES:
        assert found[name].tobytes() == full[name][rows, cols].tobytes()


@pytest.mark.parametrize("names", [["R_rup", "R_JB", "R_x"], ("R_epi", "R_y0"), [], list(NAMES)])
def test_within_gives_the_distances_it_is_asked_for(names):
    rng = np.random.default_rng(10)
    args = (block(6, rng), rng.uniform(6, 14, 700), rng.uniform(41, 49, 700), 150.0)
    every = geo.within(*args)
    found = geo.within(*args, names=names)
    assert list(found) == ["rupture", "site", *[name for name in NAMES if name in names]]
    for name in found:
        assert found[name].tobytes() == every[name].tobytes()


@pytest.mark.parametrize("names, error, message", [
    (["R_rup", "R_foo"], ValueError, "names: unknown distance 'R_foo'"),
    ("R_rup", TypeError, "not one str"),
    (3, TypeError, "names: expected a sequence"),
])
def test_within_refuses_names(names, error, message):
    with pytest.raises(error, match=message):
        geo.within(**good_args(), maximum_distance=10.0, names=names)


@pytest.mark.parametrize("n_ruptures, n_sites", [(0, 5), (3, 0), (0, 0)])
def test_no_ruptures_or_no_sites(n_ruptures, n_sites):
    ruptures = block(max(n_ruptures, 1), np.random.default_rng(1))[:n_ruptures]
    lon, lat = np.full(n_sites, 10.0), np.full(n_sites, 45.0)
    found = geo.distances(ruptures, lon, lat)
    assert all(found[name].shape == (n_ruptures, n_sites) for name in NAMES)
    pairs = geo.within(ruptures, lon, lat, 100.0)
    assert all(len(a) == 0 for a in pairs.values()) and pairs["site"].dtype == np.int64


# ---------------------------------------------------------------------------------------------
# Refusals


def good_args():
    rng = np.random.default_rng(2)
    return {"ruptures": block(3, rng), "site_lon": rng.uniform(8, 12, 4), "site_lat": rng.uniform(43, 47, 4)}


def with_value(column, value):
    args = good_args()
    args["ruptures"][1, COLUMNS[column]] = value
    return args


def with_site(name, index, value):
    args = good_args()
    args[name][index] = value
    return args


def replaced(**changes):
    return {**good_args(), **changes}


REFUSED = [
    (replaced(ruptures=[[0.0] * 10]), TypeError, "ruptures: expected a buffer of float64"),
    (replaced(ruptures=np.zeros((2, 10), np.float32)), TypeError, "expected float64 elements"),
    (replaced(ruptures=np.zeros((2, 10), ">f8")), TypeError, "expected float64 elements"),
    (replaced(ruptures=np.zeros(10)), ValueError, r"expected shape \(n_ruptures, 10\).*got \(10,\)"),
    (replaced(ruptures=np.zeros((2, 9))), ValueError, r"got \(2, 9\)"),
    (replaced(ruptures=np.zeros((2, 10, 1))), ValueError, "expected shape"),
    (replaced(site_lon=[10.0] * 4), TypeError, "site_lon: expected a buffer of float64"),
    (replaced(site_lat=np.zeros(4, np.float32)), TypeError, "site_lat"),
    (replaced(site_lon=np.zeros((4, 1))), ValueError, "site_lon: expected a one-dimensional array"),
    (replaced(site_lat=np.zeros(5)), ValueError, r"site_lat: expected shape \(4,\)"),
    (replaced(site_lat=None), TypeError, "site_lat"),
    (with_value("lat0", np.nan), ValueError, r"ruptures\[1, 1\] \(lat0\) = nan: must be finite"),
    (with_value("hypo_depth", np.inf), ValueError, r"ruptures\[1, 9\] \(hypo_depth\) = inf: must be finite"),
    (with_value("lon0", -np.inf), ValueError, "lon0"),
    (with_value("lat0", 90.5), ValueError, r"\(lat0\) = 90.5: must be within \[-90, 90\]"),
    (with_value("hypo_lat", -91.0), ValueError, "hypo_lat"),
    (with_value("dip", 0.0), ValueError, r"\(dip\) = 0.0: must be in \(0, 90\]"),
    (with_value("dip", 90.001), ValueError, "dip"),
    (with_value("length", -1.0), ValueError, r"\(length\) = -1.0: must be >= 0"),
    (with_value("width", -1e-9), ValueError, "width"),
    (with_value("strike", np.nan), ValueError, "strike"),
    (with_site("site_lon", 2, np.nan), ValueError, r"site_lon\[2\] = nan: must be finite"),
    (with_site("site_lat", 3, 95.0), ValueError, r"site_lat\[3\] = 95.0: must be within \[-90, 90\]"),
]


@pytest.mark.parametrize("args, error, message", REFUSED)
def test_distances_and_within_refuse(args, error, message):
    with pytest.raises(error, match=message):
        geo.distances(**args)
    with pytest.raises(error, match=message):
        geo.within(**args, maximum_distance=100.0)


def test_a_refused_call_leaves_out_untouched():
    args = with_site("site_lat", 3, np.nan)
    out = {"R_rup": np.full((3, 4), -1.0)}
    with pytest.raises(ValueError):
        geo.distances(**args, out=out)
    assert (out["R_rup"] == -1.0).all()


def out_refusals():
    shape = (3, 4)
    base = np.zeros((3, 8))
    read_only = np.zeros(shape)
    read_only.flags.writeable = False
    return [
        ([np.zeros(shape)], TypeError, "out: expected a dict"),
        ({"R_foo": np.zeros(shape)}, ValueError, "out: unknown distance 'R_foo'"),
        ({1: np.zeros(shape)}, ValueError, "unknown distance 1"),
        ({"R_rup": np.zeros((4, 3))}, ValueError, r"out\['R_rup'\]: expected shape \(3, 4\)"),
        ({"R_rup": np.zeros(12)}, ValueError, "expected shape"),
        ({"R_JB": np.zeros((3, 8))[:, ::2]}, ValueError, "C-contiguous"),
        ({"R_x": read_only}, ValueError, "must be writable"),
        ({"R_x": np.zeros(shape, np.float32)}, TypeError, "expected float64 elements"),
        ({"R_x": [[0.0] * 4] * 3}, TypeError, "expected a buffer of float64"),
        ({"R_rup": base.ravel()[:12].reshape(shape), "R_JB": base.ravel()[11:23].reshape(shape)}, ValueError,
         "must not share memory"),
        ({"R_rup": base.ravel()[:12].reshape(shape), "R_JB": base.ravel()[:12].reshape(shape)}, ValueError,
         "must not share memory"),
    ]


@pytest.mark.parametrize("out, error, message", out_refusals())
def test_distances_refuses_out(out, error, message):
    with pytest.raises(error, match=message):
        geo.distances(**good_args(), out=out)


@pytest.mark.parametrize("limit, error, message", [
    (-1.0, ValueError, r"maximum_distance = -1.0: must be >= 0"),
    (math.nan, ValueError, "maximum_distance = nan"),
    (np.array([1.0, -2.0, 3.0]), ValueError, r"maximum_distance\[1\] = -2.0"),
    (np.array([1.0, 2.0]), ValueError, r"expected a number or shape \(3,\)"),
    (np.zeros(3, np.float32), TypeError, "maximum_distance: expected float64 elements"),
    ("100", TypeError, "must be real number"),
    (None, TypeError, "must be real number"),
])
def test_within_refuses_maximum_distance(limit, error, message):
    with pytest.raises(error, match=message):
        geo.within(**good_args(), maximum_distance=limit)


def test_within_takes_a_zero_dimensional_array_and_numpy_scalars():
    args = good_args()
    expected = geo.within(**args, maximum_distance=200.0)
    for limit in (np.array(200.0), np.float64(200.0), 200):
        found = geo.within(**args, maximum_distance=limit)
        assert all(found[k].tobytes() == expected[k].tobytes() for k in expected)


@pytest.mark.parametrize("call", [
    lambda: geo.distances(np.zeros((1, 10)), np.zeros(1)),
    lambda: geo.distances(np.zeros((1, 10)), np.zeros(1), np.zeros(1), {}),
    lambda: geo.within(np.zeros((1, 10)), np.zeros(1), np.zeros(1)),
    lambda: geo.distances(ruptures=np.zeros((1, 10)), site_lon=np.zeros(1), lat=np.zeros(1)),
])
def test_argument_matching(call):
    with pytest.raises(TypeError):
        call()


# ---------------------------------------------------------------------------------------------
# The interpreter lock, and references


def test_the_interpreter_lock_is_released_during_the_computation():
    # The main thread watches a long call fill its output: it can see it half written only if it
    # runs while the call does. A call holding the lock would be seen before it or after it.
    rng = np.random.default_rng(4)
    ruptures, lon, lat = block(400, rng), rng.uniform(8, 12, 20_000), rng.uniform(43, 47, 20_000)
    out = {"R_rup": np.full((400, 20_000), np.nan)}
    worker = threading.Thread(target=geo.distances, args=(ruptures, lon, lat), kwargs={"out": out})
    first, last = out["R_rup"][0, :1], out["R_rup"][-1, -1:]  # written by the first and the last step
    seen_halfway = False
    worker.start()
    while worker.is_alive() and not seen_halfway:
        seen_halfway = not np.isnan(first[0]) and np.isnan(last[0])
    worker.join()
    assert seen_halfway
    assert not np.isnan(out["R_rup"]).any()


def assert_flat(paths, warmup=20, calls=50 if SANITIZED else 500, attempts=3):
    """As tests/test_leaks.py checks the models: after a warm-up, many calls of each path change
    the reference count of no argument, nor (but under the sanitizers, whose allocator replaces the
    interpreter's) the interpreter's allocated blocks by more than a few. Threads left by earlier
    tests may allocate meanwhile: a path is measured again before it counts as leaking, as a leak
    of one object a call grows the blocks by `calls` every time."""
    for name, (call, objects) in paths.items():
        for _ in range(warmup):
            call()
        growth = []
        for _ in range(attempts):
            gc.collect()
            refs, blocks = [sys.getrefcount(obj) for obj in objects], sys.getallocatedblocks()
            for _ in range(calls):
                call()
            gc.collect()
            assert [sys.getrefcount(obj) for obj in objects] == refs, name
            growth.append(sys.getallocatedblocks() - blocks)
            if SANITIZED or growth[-1] <= 32:
                break
        else:
            raise AssertionError(f"{name}: allocated blocks grew by {growth} in {calls} calls, each time")


def test_calls_leak_no_references_or_memory():
    args = good_args()
    nan_args = with_value("dip", np.nan)
    out = {"R_rup": np.zeros((3, 4)), "R_x": np.zeros((3, 4))}
    limits = np.array([10.0, 200.0, 1000.0])
    names, bad_names = ["R_x", "R_rup"], ["R_x", "R_nope"]

    def refused(function, *a, **k):
        def call():
            try:
                function(*a, **k)
            except (TypeError, ValueError):
                return
            raise AssertionError("expected a refusal")
        return call

    plain = list(args.values())
    assert_flat({
        "distances": (lambda: geo.distances(**args), plain),
        "distances out": (lambda: geo.distances(**args, out=out), [*plain, *out.values()]),
        "within": (lambda: geo.within(**args, maximum_distance=300.0), plain),
        "within per rupture": (lambda: geo.within(**args, maximum_distance=limits), [*plain, limits]),
        "within names": (lambda: geo.within(**args, maximum_distance=300.0, names=names), [*plain, names]),
        "refused names": (refused(geo.within, **args, maximum_distance=1.0, names=bad_names), [*plain, bad_names]),
        "refused value": (refused(geo.distances, **nan_args), list(nan_args.values())),
        "refused out": (refused(geo.distances, **args, out={"R_rup": out["R_rup"], "bad": out["R_x"]}),
                        [*plain, *out.values()]),
        "refused limit": (refused(geo.within, **args, maximum_distance=limits[:2]), [*plain, limits]),
        "refused shape": (refused(geo.distances, args["ruptures"][0], args["site_lon"], args["site_lat"]), plain),
    })
