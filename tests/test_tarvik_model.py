"""Tarvik's numbers: the mean equation, phi and tau, and the backarc classification."""

import numpy as np
import pytest

from gmms import Tarvik

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
