"""The PEER PSHA verification cases, Set 1 (tests/data/peer, its README.md for the rules): each
case runs from its job file (tests/data/peer/<case>/job.ini, the Sadigh et al. (1997) model as
``peer_models``) and its curves are compared with the expected annual rates.

Faults at their own grid within 1 % at rates above 1e-6; areas at a 1 km grid (the expected
values took one of 0.01 or 0.02 degrees) within 3.5 % above 1e-4, but where the grid decides:
at case 11's Site 3 numpy shows the expected values to be the rules on the degree grid and the
product's curves the same rules on its km grid. The suite runs the fast
variants and the full cases that are quick; the full cases 5 to 7 and case 10 take a minute or
so and run with GMMS_PEER_FULL=1 (tools/checks/72-peer.sh), case 11 (4.7 million point ruptures
at each of six depths) with GMMS_PEER_FULL=all only.
"""

import math
import os

import numpy as np
import pandas as pd
import pytest

from conftest import ROOT
from gmms.hazard import maps
from gmms.run.options import RunOptions
from gmms.sources import Discretization, area_points, geodesy, read_source_model

DATA = ROOT / "tests" / "data" / "peer"
TESTS = str(ROOT / "tests")
FULL = pytest.mark.skipif(os.environ.get("GMMS_PEER_FULL") not in ("1", "all"),
                          reason="a full-size PEER case: GMMS_PEER_FULL=1 (tools/checks/72-peer.sh)")
LONGEST = pytest.mark.skipif(os.environ.get("GMMS_PEER_FULL") != "all",
                             reason="minutes of work: GMMS_PEER_FULL=all")


@pytest.fixture(autouse=True)
def importable(monkeypatch):
    monkeypatch.syspath_prepend(TESTS)


def run_case(case, **settings):
    return maps.run_job(DATA / case / "job.ini", RunOptions(serial=True), settings=settings)


def expected(case, site_id):
    """The expected annual rates, (site, level), in the order of ``site_id``."""
    table = pd.read_csv(DATA / case / "expected.csv", float_precision="round_trip")
    return table.pivot(index="site_id", columns="level", values="annual_rate").loc[site_id]


def relative(result, case):
    """|computed - expected| / expected, (site, level), and the expected rates."""
    want = expected(case, result.site_id)
    assert np.array_equal(want.columns.to_numpy(), result.levels)
    want = want.to_numpy()
    return np.abs(result.annual_rate - want) / np.where(want > 0, want, 1.0), want


def worst(rel, want, floor, keep=None):
    """The largest relative difference where the expected rate is above ``floor``."""
    at = want > floor
    if keep is not None:
        at &= keep
    return float(rel[at].max())


# (case, what it exercises); faults at their own grid, rates above 1e-6 within 1 %.
FAULTS = [
    ("Set1-Case1", "one rupture of the whole plane"),
    ("Set1-Case2", "floating ruptures, 0.02 km grid"),
    ("Set1-Case2-fast", "floating ruptures, 0.1 km grid"),
    ("Set1-Case4", "a dipping reverse fault"),
    ("Set1-Case4-fast", "a dipping reverse fault, 0.2 km grid"),
    ("Set1-Case8a", "sigma untruncated"),
    ("Set1-Case8b", "sigma truncated at 2, upper tail"),
    ("Set1-Case8c", "sigma truncated at 3, upper tail"),
]


@pytest.mark.parametrize("case, exercises", FAULTS, ids=[case for case, _ in FAULTS])
def test_fault_cases_agree_at_their_own_grid(case, exercises):
    rel, want = relative(run_case(case), case)
    assert worst(rel, want, 1e-6) < 0.01, exercises


# --- cases 5 to 7: the magnitude-frequency distributions -------------------------------------

def _half_away(x):
    return math.floor(abs(x) + 0.5) * math.copysign(1.0, x)


def site1_rates(case, spacing, nearest_node):
    """Case 5, 6 or 7 at Site 1 (on Fault 1's trace) by the README's rules in numpy, with Rrup
    to the rupture plane, or (``nearest_node``) to the rupture's grid node nearest the site."""
    import peer_models

    fault = read_source_model(DATA / case / "source_model.xml").sources[0]
    (lon_a, lat_a), (lon_b, lat_b) = fault.trace[0], fault.trace[-1]
    length = float(geodesy.distance(lon_a, lat_a, lon_b, lat_b))
    width = fault.lower_depth - fault.upper_depth
    n_along, n_down = math.ceil(length / spacing - 1e-9), math.ceil(width / spacing - 1e-9)
    ds, dd = length / n_along, width / n_down
    y = float(geodesy.distance(lon_a, lat_a, -122.0, 38.113))     # Site 1, along the strike
    log_levels = np.log(expected(case, [1]).columns.to_numpy())
    total = np.zeros(len(log_levels))
    for mag, rate in zip(*fault.mfd.bins(0.1)):
        area = 10.0 ** (mag - 4.0)
        w = min(width, math.sqrt(area / 2.0))
        cols = int(min(_half_away(area / w / ds + 1), n_along + 1))
        rows = int(min(_half_away(w / dd + 1), n_down + 1))
        first = np.arange(n_along + 2 - cols)[:, None]         # a rupture's first node column
        top = np.arange(n_down + 2 - rows)[None, :] * dd       # and its top edge's depth
        if nearest_node:
            along = y - np.clip(np.rint(y / ds), first, first + cols - 1) * ds
        else:
            along = np.maximum(0.0, np.maximum(first * ds - y, y - (first + cols - 1) * ds))
        r_rup = np.hypot(along, top).ravel()
        mu = peer_models.sadigh_median(mag, fault.rake, r_rup)[0]
        total += rate / len(r_rup) * (mu[:, None] > log_levels).sum(axis=0)
    return total


MFDS = [("Set1-Case5-fast", 0.5, "truncated exponential MFD"),
        ("Set1-Case6-fast", 0.5, "truncated normal MFD"),
        ("Set1-Case7-fast", 0.5, "characteristic MFD")]


@pytest.mark.parametrize("case, spacing, exercises", MFDS, ids=[case for case, _, _ in MFDS])
def test_mfd_cases_agree_but_at_site_1_where_the_expected_values_measure_to_a_node(
        case, spacing, exercises):
    """Every site but Site 1 within 1 %. At Site 1 (on the fault) the expected values took Rrup
    to the rupture's nearest grid node, not to its plane, and that rule alone explains the
    difference at 0.4-0.7 g (9-14 % at 0.7 g on the 0.5 km grid): with it, numpy reproduces the
    expected values; with the plane, numpy reproduces ours."""
    result = run_case(case)
    rel, want = relative(result, case)
    others = (result.site_id != 1)[:, None]
    assert worst(rel, want, 1e-6, others) < 0.01, exercises
    site1 = np.flatnonzero(result.site_id == 1)[0]
    np.testing.assert_allclose(result.annual_rate[site1], site1_rates(case, spacing, False),
                               rtol=1e-9)
    np.testing.assert_allclose(want[site1], site1_rates(case, spacing, True), rtol=1e-8)


@FULL
@pytest.mark.parametrize("case, exercises", [
    ("Set1-Case5", "truncated exponential MFD, 0.1 km grid"),
    ("Set1-Case6", "truncated normal MFD, 0.1 km grid"),
    ("Set1-Case7", "characteristic MFD, 0.1 km grid"),
])
def test_full_size_mfd_cases_agree_at_every_site(case, exercises):
    rel, want = relative(run_case(case), case)
    assert worst(rel, want, 1e-6) < 0.01, exercises


# --- truncation: the upper tail only ----------------------------------------------------------

@pytest.mark.parametrize("case, both", [("Set1-Case8b", 0.02), ("Set1-Case8c", 0.001)])
def test_cutting_both_tails_misses_the_upper_tail_cases(case, both):
    """8b and 8c cut the upper tail only (truncation_tails = upper in their job files); cutting
    both tails, as the product does by default, sends Site 1's highest levels off by 2.4 % (8b)
    and 0.16 % (8c)."""
    rel, want = relative(run_case(case, truncation_tails="both"), case)
    assert worst(rel, want, 1e-6) > both


# --- area sources -----------------------------------------------------------------------------

def degree_grid(case, step):
    """The expected values' area grid: nodes at every multiple of ``step`` degrees in longitude
    and latitude (anchored at (0, 0)) inside the border, its edges straight in lon/lat. A node
    on the border (two vertices of case 10-fast's) counts where the inside lies east of it."""
    border = np.array(read_source_model(DATA / case / "source_model.xml").sources[0].polygon)
    lon, lat = border[:, 0], border[:, 1]
    k = np.arange(math.floor(lon.min() / step), math.ceil(lon.max() / step) + 1)
    j = np.arange(math.floor(lat.min() / step), math.ceil(lat.max() / step) + 1)
    x, y = (np.round(a.ravel(), 10) for a in np.meshgrid(k * step, j * step))
    lon_b, lat_b = np.roll(lon, -1), np.roll(lat, -1)
    crosses = (lat > y[:, None]) != (lat_b > y[:, None])
    with np.errstate(divide="ignore", invalid="ignore"):
        at = lon + (y[:, None] - lat) * (lon_b - lon) / (lat_b - lat)
    inside = (crosses & (x[:, None] < at)).sum(axis=1) % 2 == 1
    return x[inside], y[inside]


def km_grid(case, spacing):
    """The product's own points of the case's area source on a grid of ``spacing`` km."""
    source = read_source_model(DATA / case / "source_model.xml").sources[0]
    return area_points(source, Discretization(area_source_discretization=spacing))


def area_rates(case, nodes, site_id, levels=None):
    """Annual rates of an area case, (site, level), in numpy by the README's rules for the given
    grid ``nodes`` (lons, lats): each node a point rupture per magnitude bin and depth with
    rate(M) * weight(depth) / N, Rrup = sqrt(Repi^2 + depth^2), untruncated sigma."""
    import peer_models
    from scipy.special import ndtr

    source = read_source_model(DATA / case / "source_model.xml").sources[0]
    sites = pd.read_csv(DATA / case / "sites.csv").set_index("site_id").loc[site_id]
    if levels is None:
        levels = expected(case, site_id).columns.to_numpy()
    log_levels = np.log(levels)[:, None]
    weights = np.array([d.probability for d in source.hypo_depths])
    weights /= math.fsum(weights)
    mags, rates = source.mfd.bins(0.1)
    total = np.zeros((len(sites), len(levels)))
    for s, (lon, lat) in enumerate(zip(sites.lon, sites.lat)):
        r_epi = geodesy.distance(lon, lat, *nodes)
        for hypo, weight in zip(source.hypo_depths, weights):
            r_rup = np.sqrt(r_epi ** 2 + hypo.depth ** 2)
            for mag, rate in zip(mags, rates):
                mu, sigma, _ = peer_models.sadigh(mag, 0.0, r_rup)
                q = ndtr((mu - log_levels) / sigma[0]).sum(axis=1)
                total[s] += rate * weight / len(r_rup) * q
    return total


# (case, its grid in degrees, nodes inside the border, sites computed, how close)
DEGREE_GRIDS = [
    ("Set1-Case11", 0.02, 8049, [3], 1e-3),
    ("Set1-Case10-fast", 0.05, 1280, [1, 2, 3, 4], 1e-2),
    ("Set1-Case11-fast", 0.1, 325, [1, 2, 3, 4], 1e-2),
]


@pytest.mark.parametrize("case, step, count, site_id, close", DEGREE_GRIDS,
                         ids=[case for case, *_ in DEGREE_GRIDS])
def test_area_expected_values_follow_a_grid_in_degrees(case, step, count, site_id, close):
    """The expected values of the area cases come from nodes at multiples of 0.01 to 0.1
    degrees, equal rate per node: in numpy that grid reproduces them, within 0.1 % for the full
    case (the fast variants within 1 %: their expected values floored Repi at 0.5 km, which
    shows at Site 3, 1.0 g). Case 10's 0.01 degree grid takes longer and runs in the check."""
    nodes = degree_grid(case, step)
    assert len(nodes[0]) == count
    want = expected(case, site_id).to_numpy()
    np.testing.assert_allclose(area_rates(case, nodes, site_id), want, rtol=close)


def test_area_cases_follow_the_km_grid_of_the_product():
    """The product's curves of case 11 are the README's rules on its own grid of points (here a
    20 km grid, quick to run): the numpy of these tests with the product's points reproduces
    them, so it gives the product's curves on any grid, 1 km included."""
    result = run_case("Set1-Case11", area_source_discretization=20.0)
    computed = area_rates("Set1-Case11", km_grid("Set1-Case11", 20.0), result.site_id)
    np.testing.assert_allclose(result.annual_rate, computed, rtol=1e-9)


def test_case11_site3_misses_by_the_degree_grid_of_its_expected_values():
    """Case 11's expected values took a 0.02 degree grid, twice case 10's. Its rows lie sparser
    against the circle's southern border, where Site 3 lies: within 5 to 15 km of Site 3, which
    give half of its rate at 0.15-0.2 g, the 0.02 degree grid has fewer nodes than the area, and
    cells that grow with 1/cos(latitude) take another 1.1 %. The product's 1 km grid lands 3.9 %
    (0.15 g) and 4.6 % (0.2 g) above the expected values; with the same rules on case 10's 0.01
    degree grid it lies within 3.5 % of that (2.2 % and 2.6 %)."""
    levels = np.array([0.15, 0.2])
    want = expected("Set1-Case11", [3])[levels].to_numpy()[0]
    km = area_rates("Set1-Case11", km_grid("Set1-Case11", 1.0), [3], levels)[0]
    np.testing.assert_allclose(km / want - 1, [0.0386, 0.0461], atol=5e-4)
    finer = area_rates("Set1-Case11", degree_grid("Set1-Case11", 0.01), [3], levels)[0]
    assert np.all(np.abs(km / finer - 1) < 0.03)


@pytest.mark.parametrize("case, step", [
    pytest.param("Set1-Case10", 0.01, marks=FULL),
    pytest.param("Set1-Case11", 0.02, marks=LONGEST),
])
def test_area_cases_agree_at_a_1km_grid_but_where_the_degree_grid_decides(case, step):
    """At a 1 km grid the product lies within 3.5 % of the expected values above 1e-4, but at
    case 11's Site 3 (4.6 % at 0.2 g). There the rule is the grid: the expected values are the
    rules on the degree grid (numpy, within 0.1 % above 1e-6), and the product's curves are the
    same rules on its 1 km grid (numpy, to 1e-9), at every site."""
    result = run_case(case)
    rel, want = relative(result, case)
    np.testing.assert_allclose(
        result.annual_rate, area_rates(case, km_grid(case, 1.0), result.site_id), rtol=1e-9)
    degrees = area_rates(case, degree_grid(case, step), result.site_id)
    assert worst(np.abs(degrees - want) / np.where(want > 0, want, 1.0), want, 1e-6) < 1e-3
    misses = (case == "Set1-Case11") & (result.site_id == 3)[:, None]
    assert worst(rel, want, 1e-4, ~misses) < 0.035
    if misses.any():
        assert 0.035 < worst(rel, want, 1e-4, misses) < 0.05
