"""Morrand end to end: the calls into Dovecar, the CAVdp mean and standard deviations, and how
failures of the sibling module reach the caller."""

import array
import builtins
import inspect
import math
import sys
import textwrap
import traceback
from fractions import Fraction

import numpy as np
import pytest

from gmms import Morrand
from sibling_doubles import (ROOT, BadFloat, Boom, arg_types, fail_at_site_1, installer, raiser, recording_module,
                             run_isolated)

PARAMS = ("M", "fdip", "fZtor", "R_JB", "R_rup", "R_x", "Vs30", "Z1p0", "Z2p5", "fnm", "frv",
          "CAVgmType", "PSVcheck")
SITE_ARRAYS = ("R_JB", "R_rup", "R_x", "Vs30", "Z1p0", "Z2p5")
MU_TYPES = (int,) + (float,) * 8 + (int, int)



def scenario(n=1, **changes):
    args = dict(M=6.0, fdip=45.0, fZtor=2.0, R_JB=np.full(n, 8.0), R_rup=np.full(n, 10.0),
                R_x=np.full(n, 5.0), Vs30=np.full(n, 760.0), Z1p0=np.full(n, 0.3), Z2p5=np.full(n, 1.0),
                fnm=0, frv=1, CAVgmType=1, PSVcheck=1)
    args.update(changes)
    return args


def morrand(args):
    return Morrand.Morrand_cy(*(args[name] for name in PARAMS))


@pytest.fixture
def log():
    return []


@pytest.fixture
def install(monkeypatch, log):
    """Replaces Dovecar in Morrand's namespace by a recording double; returns the double."""
    return installer(monkeypatch, log, Morrand, "Dovecar", get_mu_cy=0.0, get_alpha_cy=0.0)


def morrand_entries(error):
    return [f.name for f in traceback.extract_tb(error.__traceback__) if f.name.startswith("Morrand.")]


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


@pytest.mark.parametrize("R_JB", [np.empty(0), None])
def test_no_sites_no_calls(install, log, R_JB):
    result = morrand(scenario(R_JB=R_JB, CAVgmType=5))  # a bad CAVgmType is never looked at
    assert [r.shape for r in result] == [(0,)] * 3 and log == []


@pytest.mark.parametrize("name", SITE_ARRAYS[1:])
@pytest.mark.parametrize("short, error", [(None, TypeError), (np.ones(2), ValueError)])
def test_missing_or_short_site_array_refused_before_dovecar(install, log, name, short, error):
    with pytest.raises(error, match=name):
        morrand(scenario(3, **{name: short}))
    assert log == []


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


@pytest.mark.parametrize("y", [1, Fraction(1), np.float32(1.0), True])
def test_dovecar_results_convert_to_float(install, y):
    install(get_mu_cy=y)
    mean, _, _ = morrand(scenario(M=7.0, R_rup=np.array([10.0]), PSVcheck=0))
    assert mean[0] == 1.0613000000000001


def test_minus_one_is_an_ordinary_result(install):
    install(get_mu_cy=-1.0, get_alpha_cy=-1.0)
    mean, phi, _ = morrand(scenario(M=6.0, R_rup=np.array([0.0]), PSVcheck=1))
    assert mean[0] == -1.0 * 1.115 + 0.0072 and phi[0] == 0.439


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


# ---------------------------------------------------------------------------------------------
# Failures in Dovecar


FAILING_CALLS = [
    # (function, selector, position of the call within a site, Morrand's traceback entries)
    ("get_mu_cy", 0, 0, ["Morrand.Morrand_cy"]),
    ("get_alpha_cy", None, 1, ["Morrand.Morrand_cy"]),
    ("get_mu_cy", 1, 2, ["Morrand.Morrand_cy", "Morrand.get_mu_cy"]),
]


@pytest.mark.parametrize("function, selector, position, entries", FAILING_CALLS)
@pytest.mark.parametrize("how", ["raises", "result does not convert"])
def test_exception_propagates_unchanged(install, log, function, selector, position, entries, how):
    error = Boom("from Dovecar")
    answer = raiser(error) if how == "raises" else (lambda *args: BadFloat(error))
    install(**{function: fail_at_site_1(answer, selector)})
    with pytest.raises(Boom) as excinfo:
        morrand(scenario(3))
    assert excinfo.value is error
    assert morrand_entries(excinfo.value) == entries
    assert len(log) == 3 + position + 1  # nothing after the failing call


@pytest.mark.parametrize("function, selector, position, entries", FAILING_CALLS)
def test_unconvertible_result_is_the_interpreters_type_error(install, function, selector, position, entries):
    install(**{function: fail_at_site_1(lambda *args: "0.5", selector)})
    with pytest.raises(TypeError, match="str") as excinfo:
        morrand(scenario(3))
    assert morrand_entries(excinfo.value) == entries


def test_nothing_is_kept_after_a_call(install):
    # array.array refuses to grow while a buffer view of it is held.
    args = scenario(M=6.0, **{name: array.array("d", [1.0, 2.0, 3.0]) for name in SITE_ARRAYS})
    watched = [args[name] for name in SITE_ARRAYS] + [args["M"]]
    before = [sys.getrefcount(obj) for obj in watched]
    install()
    morrand(args)
    install(get_mu_cy=fail_at_site_1(raiser(Boom()), 1))
    with pytest.raises(Boom):
        morrand(args)
    assert [sys.getrefcount(obj) for obj in watched] == before
    for sites in watched[:-1]:
        sites.append(0.0)


# ---------------------------------------------------------------------------------------------
# The name Dovecar and its attributes are looked up at every use


def test_rebinding_dovecar_mid_call_takes_effect_at_next_use(monkeypatch, log):
    later_log = []
    later = recording_module("Dovecar", later_log, get_mu_cy=0.0, get_alpha_cy=0.0)

    def switch(*args):
        monkeypatch.setattr(Morrand, "Dovecar", later)
        return 0.0

    monkeypatch.setattr(Morrand, "Dovecar", recording_module("Dovecar", log, get_mu_cy=0.0, get_alpha_cy=switch))
    morrand(scenario(2))
    assert [name for name, _ in log] == ["get_mu_cy", "get_alpha_cy"]
    assert [(name, args[0]) for name, args in later_log] == [
        ("get_mu_cy", 1), ("get_mu_cy", 0), ("get_alpha_cy", 760.0), ("get_mu_cy", 1)]


def test_replacing_a_function_mid_call_takes_effect_at_next_use(install, log):
    double = install()

    def mean_replacing_alpha(selector, *rest):
        if selector == 1:
            double.get_alpha_cy = lambda *args: log.append(("new alpha", args)) or 0.0
        return 0.0

    double.get_mu_cy = mean_replacing_alpha  # not recorded
    morrand(scenario(2))
    assert [name for name, _ in log] == ["get_alpha_cy", "new alpha"]


def test_deleted_dovecar_is_a_name_error(monkeypatch):
    monkeypatch.delattr(Morrand, "Dovecar")
    with pytest.raises(NameError, match=r"^name 'Dovecar' is not defined$") as excinfo:
        morrand(scenario(2))
    assert morrand_entries(excinfo.value) == ["Morrand.Morrand_cy"]
    assert morrand(scenario(0))[0].shape == (0,)


def test_deleted_dovecar_falls_back_to_builtins(monkeypatch, log):
    monkeypatch.delattr(Morrand, "Dovecar")
    monkeypatch.setattr(builtins, "Dovecar", recording_module("Dovecar", log, get_mu_cy=0.0, get_alpha_cy=0.0),
                        raising=False)
    morrand(scenario(1))
    assert len(log) == 3


@pytest.mark.parametrize("missing, calls_made", [("get_mu_cy", 0), ("get_alpha_cy", 1)])
def test_missing_function_is_an_attribute_error(install, log, missing, calls_made):
    double = install()
    delattr(double, missing)
    with pytest.raises(AttributeError, match=missing):
        morrand(scenario(2))
    assert len(log) == calls_made


# ---------------------------------------------------------------------------------------------
# Documentation and loading


def test_docstrings_and_signature():
    lines = ["Parameter", "=========", "M: Earthquake magnitude.", "fdip: Fault dip in deg.",
             "fZtor: Depth to top of fault rupture in km.", "R_JB: Joyner-Boore distance in km.",
             "R_rup: Rupture distance in km.", "R_x: Rx distance in km.", "Vs30: Site Vs30. ",
             "Z1p0: Depth to Vs = 1 km/s.", "Z2p5: Depth to Vs = 2.5 km/s.",
             "fnm: '1' for normal/normal-oblique fault, '0' otherwise.",
             "frv: '1' for reverse/reverse-oblique fault, '0' otherwise.",
             "CAVgm_type: 0 for recorded, and 1 for gmm-based.", "PSV_check: 0 for no check, and 1 for yes.",
             "", "Returns", "=======", "CAVdp mean, phi, tau."]
    assert Morrand.Morrand_cy.__doc__ == "\n" + "".join(f"    {line}\n" if line else "\n" for line in lines) + "    "
    assert str(inspect.signature(Morrand.Morrand_cy)) == f"({', '.join(PARAMS)})"
    assert Morrand.__doc__.startswith(" Ground motion model by ") and Morrand.__doc__.endswith(" for CAVdp. \n")


def test_import_fails_without_dovecar_on_the_path_and_succeeds_later():
    code = textwrap.dedent(f"""
        import sys, traceback
        try:
            import gmms.Morrand
        except ImportError as error:
            assert error.name == "Dovecar", error
            names = [f.name for f in traceback.extract_tb(error.__traceback__)]
            assert "init Morrand" in names, names
        else:
            raise SystemExit("Morrand loaded without Dovecar")
        assert "gmms.Morrand" not in sys.modules
        sys.path.insert(0, {str(ROOT / "siblings")!r})
        import numpy as np
        from gmms import Morrand
        ones = np.ones(2)
        mean, phi, tau = Morrand.Morrand_cy(6.0, 45.0, 2.0, ones, ones, ones, ones * 500, ones, ones, 0, 1, 1, 1)
        assert Morrand.Dovecar is sys.modules["Dovecar"] and mean.shape == (2,)
        bound = [name for name in vars(Morrand) if name in ("np", "Dovecar", "__author__", "Morrand_cy", "__test__")]
        assert bound == ["np", "Dovecar", "__author__", "Morrand_cy", "__test__"], bound
        assert Morrand.np is np and Morrand.__test__ == {{}}
        print("loaded")
    """)
    done = run_isolated(code)
    assert done.returncode == 0 and done.stdout == "loaded\n", done.stderr

