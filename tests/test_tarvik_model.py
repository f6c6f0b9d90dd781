"""Tarvik's numbers: the mean equation, phi and tau, and the backarc classification."""

import math
import pathlib
import sys

import numpy as np
import pytest

from gmms import Tarvik

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
import comparators  # noqa: E402  (the coefficients as the numpy version writes them)

BACKARC = (40.0, 135.0)  # (lat, lon) inside the backarc polygon
FOREARC = (38.0, 142.0)


def mean_of(IM, M, R_rup, hypo_depth, Vs30, *, lat_lon=FOREARC, fins=0, fint=0, fnm=0, frv=0):
    lat, lon = lat_lon
    mean, _, _ = Tarvik.Tarvik_cy(IM, M, lat, lon, hypo_depth, np.array([R_rup]), np.array([Vs30]),
                                  fins, fint, fnm, frv)
    return mean[0]


@pytest.mark.parametrize(
    "IM, M, R_rup, depth, Vs30, lat_lon, flags, expected",
    [
        (0, 5.0, 0.0, 10.0, 1100.0, FOREARC, {}, -3.942560924830803),
        (1, 5.0, 0.0, 10.0, 1100.0, FOREARC, {}, -0.18711349967248836),
        (0, 7.0, 50.0, 50.0, 400.0, FOREARC, {"frv": 1}, -1.4281403284990604),
        (0, 7.0, 50.0, 50.0, 400.0, BACKARC, {"frv": 1}, -1.6750403284990605),
        (1, 7.0, 50.0, 50.0, 400.0, FOREARC, {"frv": 1}, 1.884623458393519),
        (1, 7.0, 50.0, 50.0, 400.0, BACKARC, {"frv": 1}, 1.7757734583935187),
        (0, 6.5, 100.0, 60.0, 760.0, FOREARC, {"fins": 1, "fint": 1}, -2.2167081377395075),
        (1, 6.5, 100.0, 60.0, 760.0, FOREARC, {"fins": 1, "fint": 1}, 1.4034443814169733),
    ],
)
def test_mean_examples_exact(IM, M, R_rup, depth, Vs30, lat_lon, flags, expected):
    assert mean_of(IM, M, R_rup, depth, Vs30, lat_lon=lat_lon, **flags) == expected


@pytest.mark.parametrize("IM, phi, tau", [(0, 1.035, 0.9015), (1, 0.49, 0.4114)])
def test_phi_tau_constant_per_im(IM, phi, tau):
    R_rup = np.linspace(0.0, 300.0, 7)
    _, phis, taus = Tarvik.Tarvik_cy(IM, 6.0, 40.0, 135.0, 20.0, R_rup, np.full(7, 500.0), 0, 0, 0, 0)
    assert (phis == phi).all() and (taus == tau).all()


@pytest.mark.parametrize(
    "lon, lat, backarc",
    [
        (135, 40, True), (125, 35, True), (138, 37, True), (143, 45, True),
        (142, 38, False), (145, 42, False), (141, 36, False), (132, 31, False), (160, 40, False),
        (141.0155034, 39.56379066, False),  # a vertex: boundary, so forearc
    ],
)
def test_arc_examples(lon, lat, backarc):
    # The anelastic coefficient shows which side was chosen: c6 (backarc) or c5 (forearc).
    fore = mean_of(0, 7.0, 50.0, 50.0, 400.0, lat_lon=(142.0 - 100.0, 0.0), frv=1)
    got = mean_of(0, 7.0, 50.0, 50.0, 400.0, lat_lon=(float(lat), float(lon)), frv=1)
    assert (got != fore) == backarc


# An independent evaluation with the interpreter's floats and the C library's log and sqrt, in the
# documented order of evaluation: the module must agree bit for bit on random scenarios.
COEFFS = {
    IM: dict(zip(("c0", "c1", "c2", "c3", "h", "c4", "c5", "c6", "c7", "c8", "c9", "c10", "c11"), row))
    for IM, row in comparators.TARVIK_COEFFICIENTS.items()
}


def oracle(IM, M, depth, R_rup, Vs30, ffore, fback, fins, fint, fnm, frv):
    k = COEFFS[IM]
    # A square is the correctly rounded product (the C library's pow may differ in the last bit).
    L = math.log(math.sqrt(k["h"] * k["h"] + R_rup * R_rup))
    S = L * (k["c3"] * M + k["c2"]) + ((M - 5) * k["c1"] + k["c0"])
    D = 0.0 if math.isnan(depth) else max(depth - 30, 0.0)
    S = S + (D * k["c4"] + (fback * k["c6"] + ffore * k["c5"]) * R_rup)
    S = S + (((fint * k["c8"] + fins * k["c7"]) + frv * k["c10"]) + fnm * k["c9"])
    return math.log(Vs30 / 1100) * k["c11"] + S


@pytest.mark.parametrize("IM", [0, 1])
@pytest.mark.parametrize("backarc", [False, True])
def test_mean_matches_independent_evaluation_bit_for_bit(IM, backarc):
    rng = np.random.default_rng(IM * 2 + backarc)
    lat, lon = BACKARC if backarc else FOREARC
    for _ in range(40):
        M = float(rng.uniform(4.0, 9.0))
        depth = float(rng.uniform(0.0, 120.0))
        flags = [int(f) for f in rng.integers(-1, 3, 4)]
        R_rup = rng.uniform(0.0, 400.0, 50)
        Vs30 = rng.uniform(100.0, 2000.0, 50)
        mean, _, _ = Tarvik.Tarvik_cy(IM, M, lat, lon, depth, R_rup, Vs30, *flags)
        ffore, fback = (0, 1) if backarc else (1, 0)
        expected = [oracle(IM, M, depth, r, v, ffore, fback, *flags) for r, v in zip(R_rup, Vs30)]
        assert mean.tolist() == expected


def test_depth_term_vanishes_at_or_above_30_km_and_for_nan():
    at = [mean_of(0, 6.0, 20.0, d, 760.0) for d in (0.0, 10.0, 30.0, math.nan)]
    assert at[0] == at[1] == at[2] == at[3]
    assert mean_of(0, 6.0, 20.0, 31.0, 760.0) != at[0]


def test_site_term_is_zero_at_1100_and_nan_propagates():
    assert mean_of(0, 5.0, 0.0, 10.0, 1100.0) == -3.942560924830803
    assert math.isnan(mean_of(0, math.nan, 10.0, 10.0, 760.0))
    assert math.isnan(mean_of(0, 6.0, 10.0, 10.0, -5.0))


def test_flags_outside_zero_and_one_scale_their_term():
    base = mean_of(0, 6.0, 20.0, 40.0, 760.0)
    one = mean_of(0, 6.0, 20.0, 40.0, 760.0, fins=1)
    two = mean_of(0, 6.0, 20.0, 40.0, 760.0, fins=2)
    assert two - base == pytest.approx(2 * (one - base), rel=1e-12)


@pytest.mark.parametrize("sites", [np.array([1.0, 2.0]), np.array([]), None])
def test_im_without_coefficients(sites):
    vs = None if sites is None else np.full(len(sites), 760.0)
    if sites is not None and len(sites):
        with pytest.raises(TypeError):
            Tarvik.Tarvik_cy(2, 6.0, 40.0, 135.0, 10.0, sites, vs, 0, 0, 0, 0)
    else:
        out = Tarvik.Tarvik_cy(2, 6.0, 40.0, 135.0, 10.0, sites, vs, 0, 0, 0, 0)
        assert [a.shape for a in out] == [(0,)] * 3
