"""Sellwyn end to end: the two-stage mean from Brisquell, the standard deviations with their
magnitude taper and nonlinear site term.

What Sellwyn shares with Morrand about calling a sibling (failures of Brisquell, its name looked up
at every use, loading without it) is tested over both models in test_sibling_calls.py."""

import array
import math

import numpy as np
import pytest

from gmms.models import REFERENCE_ROCK_Z2P5_KM
from sibling_doubles import SELLWYN, arg_types

scenario = SELLWYN.scenario
sellwyn = SELLWYN.call
Z2P5_ROCK = REFERENCE_ROCK_Z2P5_KM


@pytest.fixture
def log():
    return []


@pytest.fixture
def install(monkeypatch, log):
    """Replaces Brisquell in Sellwyn's namespace by a recording double; returns the double."""
    return SELLWYN.installer(monkeypatch, log)


def rock_pga(A_1100, site_mean=0.0):
    """A get_mu_cy answer: ln A_1100 for the rock call (IM 2), `site_mean` for the site call."""
    ln_A = math.log(A_1100) if A_1100 > 0 else -math.inf
    return lambda IM, *rest: ln_A if IM == 2 else site_mean


# ---------------------------------------------------------------------------------------------
# Calls into Brisquell


class Region:
    pass


@pytest.mark.parametrize("region", ["JP", 3, None, Region()])
def test_four_calls_per_site_with_exact_arguments(install, log, region):
    R_JB = np.array([1.0, 2.0, 3.0])
    R_rup = np.array([11.0, 12.0, 13.0])[::-1]  # reversed view
    R_x = np.array([21.0, -1.0, 22.0, -1.0, 23.0, -1.0])[::2]  # strided
    Vs30 = np.array([300.0, 400.0, 760.0, 999.0])  # longer than R_JB: the extra site is ignored
    Z2p5 = array.array("d", [0.5, 0.6, 0.7])
    install(get_mu_cy=lambda IM, *rest: -0.1 * rest[5] if IM == 2 else -2.0)

    mean, phi, tau = sellwyn(scenario(IM=1, M=7, fwidth=np.float64(15.0), fdip=60, Z_tor=3, Z_hyp=9, R_JB=R_JB,
                                      R_rup=R_rup, R_x=R_x, Vs30=Vs30, Z2p5=Z2p5, fnm=True, frv=0, region=region))

    expected = []
    for i in range(3):
        source = (7.0, 15.0, 60.0, 3.0, 9.0)  # Z_tor before Z_hyp
        site = (R_JB[i], R_rup[i], R_x[i])
        expected += [
            ("get_mu_cy", (2, *source, *site, 1100.0, Z2P5_ROCK, 0.0, 1, 0, region)),
            ("get_mu_cy", (1, *source, *site, Vs30[i], Z2p5[i], math.exp(-0.1 * R_JB[i]), 1, 0, region)),
            ("get_phi_cy", (7.0,)),
            ("get_tau_cy", (7.0,)),
        ]
    assert log == expected
    mu_types = (int,) + (float,) * 11 + (int, int, type(region))
    assert [arg_types(args) for _, args in log] == [mu_types, mu_types, (float,), (float,)] * 3
    assert all(args[14] is region for name, args in log if name == "get_mu_cy")
    assert (mean == -2.0).all() and mean.shape == phi.shape == tau.shape == (3,)


@pytest.mark.parametrize("IM", [2, -1, 3, 2**31 - 1])
@pytest.mark.parametrize("n", [0, 1, 3])
def test_im_other_than_ia_or_cav_refused_before_brisquell(install, log, IM, n):
    with pytest.raises(ValueError, match=r"'IM' must be 0 \(Ia\) or 1 \(CAV\)") as excinfo:
        sellwyn(scenario(n, IM=IM))
    assert log == [] and SELLWYN.entries(excinfo.value) == ["Sellwyn.Sellwyn_cy"]


# ---------------------------------------------------------------------------------------------
# Standard deviations


@pytest.mark.parametrize(
    "IM, M, Vs30, A_1100, phi_pga, tau_pga, phi, tau, digits",
    [
        (0, 6.0, 760.0, 0.3, 9.0, 9.0, 0.809, 0.435, 15),  # alpha 0 whatever Brisquell says
        (1, 4.0, 1100.0, 0.3, 9.0, 9.0, 0.514, 0.276, 15),
        (0, 5.0, 760.0, 0.3, 9.0, 9.0, 0.9915, 0.5245, 15),  # mid-taper
        (0, 5.0, 200.0, 0.1, 0.5, 0.4, 0.951110, 0.482746, 6),
        (1, 6.5, 300.0, 0.2, 0.4, 0.4, None, 0.243422, 6),
    ],
)
def test_standard_deviation_examples(install, IM, M, Vs30, A_1100, phi_pga, tau_pga, phi, tau, digits):
    install(get_mu_cy=rock_pga(A_1100), get_phi_cy=phi_pga, get_tau_cy=tau_pga)
    _, phis, taus = sellwyn(scenario(IM=IM, M=M, Vs30=np.array([Vs30])))
    if phi is not None:
        assert phis[0] == pytest.approx(phi, abs=0.5 * 10.0**-digits)
    assert taus[0] == pytest.approx(tau, abs=0.5 * 10.0**-digits)


def sq(x):
    return x * x  # the correctly rounded square; libm's pow(x, 2.0) may differ in the last bit


def recip(x):
    return 1.0 / x  # likewise for pow(x, -1.0)


def reference(IM, M, Vs30, A_1100, phi_pga, tau_pga):
    """phi and tau evaluated directly from the model's equations, in their written order."""
    phi_1, phi_2, tau_1, tau_2, rho_1, rho_2, phi_af, k2 = {
        0: (1.174, 0.809, 0.614, 0.435, 0.948, 0.911, 0.616, -1.982),
        1: (0.514, 0.394, 0.276, 0.257, 0.842, 0.78, 0.3, -1.311)}[IM]

    def taper(p, q):
        return p if M <= 4.5 else (p - q) * (5.5 - M) + q if M <= 5.5 else q

    alpha = 0.0
    if Vs30 < 400.0:
        alpha = (recip(A_1100 + 1.88 * (Vs30 / 400.0) ** 1.18) - recip(A_1100 + 1.88)) * (k2 * A_1100)
    rho = taper(rho_1, rho_2)
    phi_b = math.sqrt(sq(taper(phi_1, phi_2)) - sq(phi_af))
    tau_m = taper(tau_1, tau_2)
    phi = math.sqrt(sq(phi_b) + sq(phi_af) + sq(alpha) * sq(phi_pga) + 2 * alpha * rho * phi_b * phi_pga)
    tau = math.sqrt(sq(tau_m) + sq(alpha) * sq(tau_pga) + 2 * alpha * rho * tau_m * tau_pga)
    return phi, tau


def test_standard_deviations_bit_exact_over_a_grid(install):
    rng = np.random.default_rng(7)
    Vs30 = np.concatenate([rng.uniform(100.0, 399.9, 40), [150.0, 250.0, 399.0, 400.0, 600.0]])
    A = rng.uniform(0.001, 2.0, Vs30.size)
    install(get_mu_cy=lambda IM, *rest: math.log(A[int(rest[5])]) if IM == 2 else 0.0,
            get_phi_cy=0.55, get_tau_cy=0.35)
    for IM in (0, 1):
        for M in (3.0, 4.5, 4.75, 5.0, 5.3, 5.5, 6.0, 8.0):
            _, phi, tau = sellwyn(scenario(Vs30.size, IM=IM, M=M, R_JB=np.arange(Vs30.size, dtype=float),
                                           Vs30=Vs30))
            expected = [reference(IM, M, v, math.exp(math.log(a)), 0.55, 0.35) for v, a in zip(Vs30, A)]
            assert list(zip(phi, tau)) == expected, (IM, M)


@pytest.mark.parametrize("IM", [0, 1])
def test_taper_is_flat_outside_its_bounds(install, IM):
    install(get_mu_cy=rock_pga(0.3))
    Vs30 = np.array([200.0, 760.0])
    at = {M: sellwyn(scenario(2, IM=IM, M=M, Vs30=Vs30))[1:] for M in (3.0, 4.5, 5.5, 7.5, 5.0)}
    low, high = (0.614, 0.435) if IM == 0 else (0.276, 0.257)
    assert at[4.5][1][1] == low and at[5.5][1][1] == high  # tau_1 and tau_2 at the bounds exactly
    for a, b in ((at[3.0], at[4.5]), (at[7.5], at[5.5])):
        assert (a[0] == b[0]).all() and (a[1] == b[1]).all()  # rho and phi flat as well
    assert not (at[5.0][0] == at[4.5][0]).any() and not (at[5.0][0] == at[5.5][0]).any()


@pytest.mark.parametrize("ln_A_1100", [math.log(0.5), math.nan, 1000.0])
@pytest.mark.parametrize("IM, phi_m, tau_m", [(0, 0.809, 0.435), (1, 0.394, 0.257)])
def test_nonlinear_site_term_acts_strictly_below_400(install, IM, phi_m, tau_m, ln_A_1100):
    # From 400 m/s up the site term is absent, even for a NaN or infinite rock PGA.
    install(get_mu_cy=lambda im, *rest: ln_A_1100 if im == 2 else 0.0, get_phi_cy=7.0, get_tau_cy=7.0)
    Vs30 = np.array([400.0, 760.0, np.nan, 399.0, 250.0])
    _, phi, tau = sellwyn(scenario(5, IM=IM, Vs30=Vs30))
    assert (tau[:3] == tau_m).all() and phi[:3] == pytest.approx([phi_m] * 3, abs=1e-15)
    assert not (tau[3:] == tau_m).any() and not (phi[3:] == phi[0]).any()


def test_zero_rock_pga_gives_no_site_term(install):
    install(get_mu_cy=rock_pga(0.0), get_phi_cy=7.0, get_tau_cy=7.0)
    _, _, tau = sellwyn(scenario(IM=0, Vs30=np.array([250.0])))
    assert tau[0] == 0.435
