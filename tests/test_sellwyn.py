"""Sellwyn end to end: the two-stage mean from Brisquell, the standard deviations with their
magnitude taper and nonlinear site term, and how failures of the sibling module reach the caller."""

import array
import inspect
import math
import sys
import textwrap
import traceback
import types

import numpy as np
import pytest

from gmms import Sellwyn
from gmms.models import REFERENCE_ROCK_Z2P5_KM
from sibling_doubles import (ROOT, BadFloat, Boom, arg_types, fail_at_site_1, installer, raiser, recording_module,
                             run_isolated)

PARAMS = ("IM", "M", "fwidth", "fdip", "Z_tor", "Z_hyp", "R_JB", "R_rup", "R_x", "Vs30", "Z2p5", "fnm", "frv",
          "region")
SITE_ARRAYS = ("R_JB", "R_rup", "R_x", "Vs30", "Z2p5")
Z2P5_ROCK = REFERENCE_ROCK_Z2P5_KM



def scenario(n=1, **changes):
    args = dict(IM=0, M=6.0, fwidth=12.0, fdip=45.0, Z_tor=2.0, Z_hyp=8.0, R_JB=np.full(n, 8.0),
                R_rup=np.full(n, 10.0), R_x=np.full(n, 5.0), Vs30=np.full(n, 760.0), Z2p5=np.full(n, 1.0),
                fnm=0, frv=1, region="JP")
    args.update(changes)
    return args


def sellwyn(args):
    return Sellwyn.Sellwyn_cy(*(args[name] for name in PARAMS))


@pytest.fixture
def log():
    return []


@pytest.fixture
def install(monkeypatch, log):
    """Replaces Brisquell in Sellwyn's namespace by a recording double; returns the double."""
    return installer(monkeypatch, log, Sellwyn, "Brisquell", get_mu_cy=0.0, get_phi_cy=0.5, get_tau_cy=0.4)


def rock_pga(A_1100, site_mean=0.0):
    """A get_mu_cy answer: ln A_1100 for the rock call (IM 2), `site_mean` for the site call."""
    ln_A = math.log(A_1100) if A_1100 > 0 else -math.inf
    return lambda IM, *rest: ln_A if IM == 2 else site_mean


def sellwyn_entries(error):
    return [f.name for f in traceback.extract_tb(error.__traceback__) if f.name.startswith("Sellwyn.")]


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


@pytest.mark.parametrize("R_JB", [np.empty(0), None])
def test_no_sites_no_calls(install, log, R_JB):
    result = sellwyn(scenario(R_JB=R_JB))
    assert [r.shape for r in result] == [(0,)] * 3 and log == []


@pytest.mark.parametrize("name", SITE_ARRAYS[1:])
@pytest.mark.parametrize("short, error", [(None, TypeError), (np.ones(2), ValueError)])
def test_missing_or_short_site_array_refused_before_brisquell(install, log, name, short, error):
    with pytest.raises(error, match=name):
        sellwyn(scenario(3, **{name: short}))
    assert log == []


@pytest.mark.parametrize("IM", [2, -1, 3, 2**31 - 1])
@pytest.mark.parametrize("n", [0, 1, 3])
def test_im_other_than_ia_or_cav_refused_before_brisquell(install, log, IM, n):
    with pytest.raises(ValueError, match=r"'IM' must be 0 \(Ia\) or 1 \(CAV\)") as excinfo:
        sellwyn(scenario(n, IM=IM))
    assert log == [] and sellwyn_entries(excinfo.value) == ["Sellwyn.Sellwyn_cy"]


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


# ---------------------------------------------------------------------------------------------
# Failures in Brisquell


FAILING_CALLS = [
    # (function, IM of a get_mu_cy call, position of the call within a site, Sellwyn's entries)
    ("get_mu_cy", 2, 0, ["Sellwyn.Sellwyn_cy"]),
    ("get_mu_cy", 0, 1, ["Sellwyn.Sellwyn_cy"]),
    ("get_phi_cy", None, 2, ["Sellwyn.Sellwyn_cy", "Sellwyn.get_phi_cy"]),
    ("get_tau_cy", None, 3, ["Sellwyn.Sellwyn_cy", "Sellwyn.get_tau_cy"]),
]


@pytest.mark.parametrize("function, IM, position, entries", FAILING_CALLS)
@pytest.mark.parametrize("how", ["raises", "result does not convert"])
def test_exception_propagates_unchanged(install, log, function, IM, position, entries, how):
    error = Boom("from Brisquell")
    answer = raiser(error) if how == "raises" else (lambda *args: BadFloat(error))
    install(**{function: fail_at_site_1(answer, IM)})
    with pytest.raises(Boom) as excinfo:
        sellwyn(scenario(3, IM=0))
    assert excinfo.value is error
    assert sellwyn_entries(excinfo.value) == entries
    assert len(log) == 4 + position + 1  # nothing after the failing call


@pytest.mark.parametrize("function, IM, position, entries", FAILING_CALLS)
def test_unconvertible_result_is_the_interpreters_type_error(install, function, IM, position, entries):
    install(**{function: fail_at_site_1(lambda *args: None, IM)})
    with pytest.raises(TypeError, match="NoneType") as excinfo:
        sellwyn(scenario(3, IM=0))
    assert sellwyn_entries(excinfo.value) == entries


def test_minus_one_is_an_ordinary_result(install):
    install(get_mu_cy=-1.0, get_phi_cy=-1.0, get_tau_cy=-1.0)
    mean, _, tau = sellwyn(scenario(Vs30=np.array([760.0])))
    assert mean[0] == -1.0 and tau[0] == 0.435


def test_nothing_is_kept_after_a_call(monkeypatch):
    # array.array refuses to grow while a buffer view of it is held.
    region = Region()
    args = scenario(M=6.0, region=region, **{name: array.array("d", [1.0, 2.0, 3.0]) for name in SITE_ARRAYS})
    watched = [args[name] for name in SITE_ARRAYS] + [region]
    before = [sys.getrefcount(obj) for obj in watched]
    forgetful = types.SimpleNamespace(get_mu_cy=lambda *args: 0.0, get_phi_cy=lambda M: 0.5, get_tau_cy=lambda M: 0.4)
    monkeypatch.setattr(Sellwyn, "Brisquell", forgetful)
    sellwyn(args)
    forgetful.get_tau_cy = fail_at_site_1(raiser(Boom()))
    with pytest.raises(Boom):
        sellwyn(args)
    assert [sys.getrefcount(obj) for obj in watched] == before
    for sites in watched[:-1]:
        sites.append(0.0)


# ---------------------------------------------------------------------------------------------
# The name Brisquell and its attributes are looked up at every use


def test_rebinding_brisquell_mid_call_takes_effect_at_next_use(monkeypatch, log):
    later_log = []
    later = recording_module("Brisquell", later_log, get_mu_cy=0.0, get_phi_cy=0.5, get_tau_cy=0.4)

    def switch(M):
        monkeypatch.setattr(Sellwyn, "Brisquell", later)
        return 0.5

    first = recording_module("Brisquell", log, get_mu_cy=0.0, get_phi_cy=switch, get_tau_cy=0.4)
    monkeypatch.setattr(Sellwyn, "Brisquell", first)
    sellwyn(scenario(2))
    assert [name for name, _ in log] == ["get_mu_cy", "get_mu_cy", "get_phi_cy"]
    assert [name for name, _ in later_log] == ["get_tau_cy", "get_mu_cy", "get_mu_cy", "get_phi_cy", "get_tau_cy"]


def test_replacing_a_function_mid_call_takes_effect_at_next_use(install, log):
    double = install()

    def phi_replacing_tau(M):
        double.get_tau_cy = lambda *args: log.append(("new tau", args)) or 0.4
        return 0.5

    double.get_phi_cy = phi_replacing_tau  # not recorded
    sellwyn(scenario(1))
    assert [name for name, _ in log] == ["get_mu_cy", "get_mu_cy", "new tau"]


def test_deleted_brisquell_is_a_name_error(monkeypatch):
    monkeypatch.delattr(Sellwyn, "Brisquell")
    with pytest.raises(NameError, match=r"^name 'Brisquell' is not defined$") as excinfo:
        sellwyn(scenario(2))
    assert sellwyn_entries(excinfo.value) == ["Sellwyn.Sellwyn_cy"]
    assert sellwyn(scenario(0))[0].shape == (0,)


@pytest.mark.parametrize("missing, calls_made, entries", [
    ("get_mu_cy", 0, ["Sellwyn.Sellwyn_cy"]),
    ("get_phi_cy", 2, ["Sellwyn.Sellwyn_cy", "Sellwyn.get_phi_cy"]),
    ("get_tau_cy", 3, ["Sellwyn.Sellwyn_cy", "Sellwyn.get_tau_cy"]),
])
def test_missing_function_is_an_attribute_error(install, log, missing, calls_made, entries):
    double = install()
    delattr(double, missing)
    with pytest.raises(AttributeError, match=missing) as excinfo:
        sellwyn(scenario(2))
    assert len(log) == calls_made and sellwyn_entries(excinfo.value) == entries


# ---------------------------------------------------------------------------------------------
# Documentation and loading


def test_docstrings_and_signature():
    lines = ["Parameter", "=========", "IM: 0 for Ia, and 1 for CAV.", "M: Earthquake magnitude.",
             "fwidth: Fault width in km.", "fdip: Fault dip in deg.", "Z_hyp: Hypocentral depth in km.",
             "Z_tor: Depth to top of fault rupture in km.", "R_JB: Joyner-Boore distance in km.",
             "R_rup: Rupture distance in km.", "R_x: Rx distance in km.", "Vs30: Site Vs30. ",
             "Z2p5: Depth to Vs = 2.5 km/s.", "fnm: 1 for normal/normal-oblique fault, 0 otherwise.",
             "frv: 1 for reverse/reverse-oblique fault, 0 otherwise.", "region: Earthquake country.",
             "", "Returns", "=======", "mean, phi, tau for the selected IM."]
    assert Sellwyn.Sellwyn_cy.__doc__ == "\n" + "".join(f"    {line}\n" if line else "\n" for line in lines) + "    "
    assert str(inspect.signature(Sellwyn.Sellwyn_cy)) == f"({', '.join(PARAMS)})"
    assert Sellwyn.__doc__.startswith(" Ground motion model by ")
    assert Sellwyn.__doc__.endswith(" for Ia and CAV . \n")


def test_import_fails_without_brisquell_on_the_path_and_succeeds_later():
    code = textwrap.dedent(f"""
        import sys, traceback
        try:
            import gmms.Sellwyn
        except ImportError as error:
            assert error.name == "Brisquell", error
            names = [f.name for f in traceback.extract_tb(error.__traceback__)]
            assert "init Sellwyn" in names, names
        else:
            raise SystemExit("Sellwyn loaded without Brisquell")
        assert "gmms.Sellwyn" not in sys.modules
        sys.path.insert(0, {str(ROOT / "siblings")!r})
        import numpy as np
        from gmms import Sellwyn
        ones = np.ones(2)
        mean, phi, tau = Sellwyn.Sellwyn_cy(1, 6.0, 10.0, 45.0, 2.0, 8.0, ones, ones, ones, ones * 300, ones,
                                            0, 1, "JP")
        assert Sellwyn.Brisquell is sys.modules["Brisquell"] and mean.shape == (2,)
        bound = [name for name in vars(Sellwyn) if name in ("np", "Brisquell", "__author__", "Sellwyn_cy", "__test__")]
        assert bound == ["np", "Brisquell", "__author__", "Sellwyn_cy", "__test__"], bound
        assert Sellwyn.np is np and Sellwyn.__test__ == {{}}
        print("loaded")
    """)
    done = run_isolated(code)
    assert done.returncode == 0 and done.stdout == "loaded\n", done.stderr

