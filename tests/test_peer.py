"""The PEER PSHA verification cases, Set 1 (tests/data/peer, its README.md for the rules): each
case runs from its job file (tests/data/peer/<case>/job.ini, the Sadigh et al. (1997) model as
``peer_models``) and its curves are compared with the expected annual rates.

Faults at their own grid within 1 % at rates above 1e-6; areas at a 1 km grid (the expected
values took one of 0.01 or 0.02 degrees) within 3.5 % above 1e-4. The suite runs the fast
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
from gmms.sources import geodesy, read_source_model

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

@pytest.mark.parametrize("case, exercises", [
    pytest.param("Set1-Case10", "an area source, point ruptures at 5 km", marks=FULL),
    pytest.param("Set1-Case11", "an area source, point ruptures at 5 to 10 km", marks=LONGEST),
])
def test_area_cases_agree_at_a_1km_grid(case, exercises):
    """The expected values put the points on a grid of 0.01 (case 10) or 0.02 (case 11)
    degrees anchored at (0, 0); the job's is of 1 km from the circle's bounding box. Both give
    each point an equal share of the rate; they differ most at Site 3 (on the border)."""
    rel, want = relative(run_case(case), case)
    assert worst(rel, want, 1e-4) < 0.035, exercises
