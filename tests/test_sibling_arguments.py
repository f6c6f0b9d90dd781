"""What the siblings receive, call by call: exact types and values, also where objects are shared.

Argument objects may be reused between calls when the value is the same, so these tests check the
cases where "the same" is easy to get wrong: 0.0 and -0.0, NaN, ints from bools, values that
change from one site to the next and slots whose value alternates between the two calls of a site.
"""

import math
import types

import numpy as np
import pytest

from gmms import Morrand, Sellwyn
from gmms.models import REFERENCE_ROCK_Z2P5_KM


def recorder(log, functions):
    module = types.ModuleType("recorder")
    for name, result in functions.items():
        def function(*args, _name=name, _result=result):
            log.append((_name, args))
            return _result
        setattr(module, name, function)
    return module


def same(a, b):
    """Equal in type and value, with 0.0 and -0.0 told apart and NaN equal to NaN."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return math.copysign(1.0, a) == math.copysign(1.0, b) and (a == b or (a != a and b != b))
    return a == b


def assert_calls(log, expected):
    assert [name for name, _ in log] == [name for name, _ in expected]
    for (name, got), (_, want) in zip(log, expected):
        assert len(got) == len(want) and all(same(g, w) for g, w in zip(got, want)), (name, got, want)


@pytest.fixture
def restore():
    saved = Morrand.Dovecar, Sellwyn.Brisquell
    yield
    Morrand.Dovecar, Sellwyn.Brisquell = saved


# Site values that a shared object would get wrong: a signed zero after a zero, NaN twice, a repeat.
R_JB = np.array([0.0, -0.0, math.nan, math.nan, 5.0, 5.0])
R_RUP = np.array([1.0, 2.0, 3.0, 3.0, -0.0, 0.0])
R_X = np.array([-1.0, -1.0, 0.0, -0.0, 2.5, 2.5])
VS30 = np.array([1100.0, 300.0, 300.0, 1100.0, 760.0, 760.0])
Z2P5 = np.array([0.5, 0.5, 1.0, 1.0, math.inf, -math.inf])


@pytest.mark.usefixtures("restore")
def test_morrand_sends_each_call_its_own_values():
    log = []
    Morrand.Dovecar = recorder(log, {"get_mu_cy": 0.0, "get_alpha_cy": 0.5})
    Morrand.Morrand_cy(7, 45, 3.0, R_JB, R_RUP, R_X, VS30, np.zeros(6), Z2P5, True, False, 1, 1)
    expected = []
    for i in range(6):
        site = (float(R_JB[i]), float(R_RUP[i]), float(R_X[i]))
        expected += [("get_mu_cy", (0, 7.0, 45.0, 3.0) + site + (1100.0, float(Z2P5[i]), 1, 0)),
                     ("get_alpha_cy", (float(VS30[i]), 1.0)),
                     ("get_mu_cy", (1, 7.0, 45.0, 3.0) + site + (float(VS30[i]), float(Z2P5[i]), 1, 0))]
    assert_calls(log, expected)


@pytest.mark.usefixtures("restore")
def test_sellwyn_sends_each_call_its_own_values():
    log = []
    region = object()
    Sellwyn.Brisquell = recorder(log, {"get_mu_cy": 0.0, "get_phi_cy": 0.5, "get_tau_cy": 0.4})
    Sellwyn.Sellwyn_cy(1, 6, 15, 45, -0.0, 10, R_JB, R_RUP, R_X, VS30, Z2P5, False, True, region)
    z2p5_rock = REFERENCE_ROCK_Z2P5_KM
    expected = []
    for i in range(6):
        head = (6.0, 15.0, 45.0, -0.0, 10.0, float(R_JB[i]), float(R_RUP[i]), float(R_X[i]))
        expected += [("get_mu_cy", (2,) + head + (1100.0, z2p5_rock, 0.0, 0, 1, region)),
                     ("get_mu_cy", (1,) + head + (float(VS30[i]), float(Z2P5[i]), 1.0, 0, 1, region)),
                     ("get_phi_cy", (6.0,)), ("get_tau_cy", (6.0,))]
    assert_calls(log, expected)
    assert all(args[-1] is region for name, args in log if name == "get_mu_cy")


@pytest.mark.usefixtures("restore")
def test_objects_kept_by_a_sibling_keep_their_values():
    kept = []
    module = types.ModuleType("Dovecar")
    module.get_mu_cy = lambda *args: (kept.append(args), 0.0)[1]
    module.get_alpha_cy = lambda *args: 0.0
    Morrand.Dovecar = module
    Morrand.Morrand_cy(6.5, 45.0, 3.0, R_JB, R_RUP, R_X, VS30, np.zeros(6), Z2P5, 0, 1, 1, 1)
    assert [args[4] for args in kept[::2]][:2] == [0.0, -0.0]
    assert math.copysign(1.0, kept[2][4]) == -1.0 and math.copysign(1.0, kept[0][4]) == 1.0
    assert [args[7] for args in kept[:4]] == [1100.0, 1100.0, 1100.0, 300.0]
