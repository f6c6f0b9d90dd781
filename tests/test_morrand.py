"""Morrand end to end: the calls into Dovecar, the CAVdp mean and standard deviations.

What Morrand shares with Sellwyn about calling a sibling (failures of Dovecar, its name looked up
at every use, loading without it) is tested over both models in test_sibling_calls.py."""

import math

import numpy as np
import pytest

from sibling_doubles import MORRAND, arg_types

scenario = MORRAND.scenario
morrand = MORRAND.call
MU_TYPES = (int,) + (float,) * 8 + (int, int)


@pytest.fixture
def log():
    return []


@pytest.fixture
def install(monkeypatch, log):
    """Replaces Dovecar in Morrand's namespace by a recording double; returns the double."""
    return MORRAND.installer(monkeypatch, log)


# ---------------------------------------------------------------------------------------------
# Calls into Dovecar


def test_three_calls_per_site_with_exact_arguments(install, log):
    R_JB = np.array([1.0, 2.0, 3.0])
    R_rup = np.array([11.0, 12.0, 13.0])
    R_x = np.array([21.0, -1.0, 22.0, -1.0, 23.0, -1.0])[::2]  # strided
    Vs30 = np.array([300.0, 400.0, 760.0, 999.0])  # longer than R_JB: the extra site is ignored
    Z1p0 = np.full(3, np.nan)  # never leaves Morrand and never reaches the mean
    Z2p5 = np.array([0.5, 0.6, 0.7])
    install(get_mu_cy=lambda selector, *rest: -0.1 * rest[3] if selector == 0 else 0.25,
            get_alpha_cy=-0.01)

    mean, phi, tau = morrand(scenario(M=7, fdip=np.float64(60.0), fZtor=3, R_JB=R_JB, R_rup=R_rup, R_x=R_x,
                                      Vs30=Vs30, Z1p0=Z1p0, Z2p5=Z2p5, fnm=True, frv=0))

    expected = []
    for i in range(3):
        site = (R_JB[i], R_rup[i], R_x[i])
        expected += [
            ("get_mu_cy", (0, 7.0, 60.0, 3.0, *site, 1100.0, Z2p5[i], 1, 0)),
            ("get_alpha_cy", (Vs30[i], math.exp(-0.1 * R_JB[i]))),
            ("get_mu_cy", (1, 7.0, 60.0, 3.0, *site, Vs30[i], Z2p5[i], 1, 0)),
        ]
    assert log == expected
    assert [arg_types(args) for _, args in log] == [MU_TYPES, (float, float), MU_TYPES] * 3
    assert mean.shape == phi.shape == tau.shape == (3,) and np.isfinite(mean).all()


# ---------------------------------------------------------------------------------------------
# The mean


@pytest.mark.parametrize(
    "y, M, R_rup, PSVcheck, expected",
    [
        (0.0, 6.5, 0.0, 0, 0.0152),  # at the hinge its term vanishes
        (0.0, 6.0, 0.0, 1, 0.0072),
        (1.0, 7.0, 10.0, 0, 1.0613000000000001),
        (2.0, 7.5, 20.0, 1, 2.1042),
    ],
)
def test_mean_examples(install, y, M, R_rup, PSVcheck, expected):
    install(get_mu_cy=lambda selector, *rest: y if selector == 1 else 123.0)
    mean, _, _ = morrand(scenario(M=M, R_rup=np.array([R_rup]), PSVcheck=PSVcheck))
    assert mean[0] == expected


def test_mean_bit_exact_over_a_grid(install):
    rng = np.random.default_rng(3)
    y = rng.normal(0.0, 2.0, 50)
    R_rup = rng.uniform(0.0, 300.0, 50)
    install(get_mu_cy=lambda selector, *rest: y[int(rest[3])] if selector == 1 else 0.0)  # rest[3] is R_JB
    for PSVcheck, (c0, c1, cM, cR) in ((1, (0.0072, 1.115, -0.067, -0.0033)),
                                       (0, (0.0152, 1.105, -0.044, -0.00369))):
        for M in (4.0, 6.0, 6.5, 6.7, 8.0):
            mean, _, _ = morrand(scenario(50, M=M, R_JB=np.arange(50.0), R_rup=R_rup, PSVcheck=PSVcheck))
            H = 1.0 if M >= 6.5 else 0.0
            expected = [(((M - 6.5) * cM) * H + (y_i * c1 + c0)) + R_i * cR for y_i, R_i in zip(y, R_rup)]
            assert mean.tolist() == expected, (PSVcheck, M)


def test_psvcheck_is_compared_with_one_only(install):
    install(get_mu_cy=lambda selector, *rest: 0.1 * rest[4], get_alpha_cy=0.2)
    sites = dict(R_rup=np.array([0.0, 10.0, 80.0]), M=7.2)
    for CAVgmType in (0, 1):
        unchecked = morrand(scenario(3, CAVgmType=CAVgmType, PSVcheck=0, **sites))
        for PSVcheck in (2, -1, -(2**31)):
            other = morrand(scenario(3, CAVgmType=CAVgmType, PSVcheck=PSVcheck, **sites))
            assert all((a == b).all() for a, b in zip(unchecked, other))


# ---------------------------------------------------------------------------------------------
# Standard deviations


@pytest.mark.parametrize("alpha", [0.0, 0.5, -3.0, 1e3])
@pytest.mark.parametrize(
    "CAVgmType, PSVcheck, phi, tau",
    [(0, 1, 0.147, 0.115), (0, 0, 0.131, 0.115), (1, 1, 0.439, 0.247), (1, 0, 0.43, 0.245)],
)
def test_standard_deviation_table(install, CAVgmType, PSVcheck, phi, tau, alpha):
    install(get_alpha_cy=alpha)
    _, phis, taus = morrand(scenario(4, CAVgmType=CAVgmType, PSVcheck=PSVcheck))
    assert (phis == phi).all() and (taus == tau).all()


@pytest.mark.parametrize("alpha", [math.nan, math.inf, -math.inf])
@pytest.mark.parametrize("PSVcheck, phi_recorded, tau_recorded, tau_model", [(1, 0.147, 0.115, 0.247),
                                                                              (0, 0.131, 0.115, 0.245)])
def test_non_finite_alpha(install, alpha, PSVcheck, phi_recorded, tau_recorded, tau_model):
    install(get_alpha_cy=alpha)
    _, phi, tau = morrand(scenario(CAVgmType=0, PSVcheck=PSVcheck))
    assert (phi[0], tau[0]) == (phi_recorded, tau_recorded)
    _, phi, tau = morrand(scenario(CAVgmType=1, PSVcheck=PSVcheck))
    assert math.isnan(phi[0]) and tau[0] == tau_model


@pytest.mark.parametrize("CAVgmType", [-1, 2, 100])
def test_bad_cavgmtype_fails_at_first_site_after_its_calls(install, log, CAVgmType):
    install()
    with pytest.raises(TypeError, match="NoneType"):
        morrand(scenario(3, CAVgmType=CAVgmType))
    assert [(name, args[0]) for name, args in log] == [("get_mu_cy", 0), ("get_alpha_cy", 760.0),
                                                        ("get_mu_cy", 1)]
