"""The calls of Morrand and Sellwyn into their sibling modules (Dovecar and Brisquell): which calls
are made, how failures of the sibling reach the caller, that the sibling's name and functions are
looked up at every use, and how the models load without and then with their sibling.

Every test runs over both models (SIBLING_MODELS); where the models differ, the case says how."""

import array
import builtins
import inspect
import sys
import textwrap
import types
from fractions import Fraction

import numpy as np
import pytest

from conftest import PACKAGE_ROOT
from sibling_doubles import (ROOT, SIBLING_MODELS, BadFloat, Boom, fail_at_site_1, raiser, recording_module,
                             run_isolated)

BY_NAME = {str(model): model for model in SIBLING_MODELS}


def per_model(table):
    """Parameters from {model name: [row, ...]}: each row with its model in front."""
    return [pytest.param(BY_NAME[name], *row, id=name if len(rows) == 1 else f"{name}-{row[0]}-{row[1]}")
            for name, rows in table.items() for row in rows]


@pytest.fixture
def log():
    return []


@pytest.fixture
def install(model, monkeypatch, log):
    """Replaces the sibling in the model's namespace by a recording double; returns the double."""
    return model.installer(monkeypatch, log)


each_model = pytest.mark.parametrize("model", SIBLING_MODELS, ids=str)


class Region:
    pass


# ---------------------------------------------------------------------------------------------
# Calls into the sibling


# Arguments that are never looked at when there are no sites.
NEVER_READ_WITHOUT_SITES = {"Morrand": dict(CAVgmType=5), "Sellwyn": {}}


@pytest.mark.parametrize("R_JB", [np.empty(0), None])
@each_model
def test_no_sites_no_calls(model, install, log, R_JB):
    result = model.call(model.scenario(R_JB=R_JB, **NEVER_READ_WITHOUT_SITES[model.name]))
    assert [r.shape for r in result] == [(0,)] * 3 and log == []


@pytest.mark.parametrize("short, error", [(None, TypeError), (np.ones(2), ValueError)])
@pytest.mark.parametrize("model, name", [(model, name) for model in SIBLING_MODELS for name in model.site_arrays[1:]],
                         ids=str)
def test_missing_or_short_site_array_refused_before_the_sibling(model, install, log, name, short, error):
    with pytest.raises(error, match=name):
        model.call(model.scenario(3, **{name: short}))
    assert log == []


# The mean of one site when every sibling function answers 1 (as an int, a fraction, ...).
MEAN_OF_ONE = {"Morrand": (dict(M=7.0, R_rup=np.array([10.0]), PSVcheck=0), 1.0613000000000001),
               "Sellwyn": ({}, 1.0)}


@pytest.mark.parametrize("y", [1, Fraction(1), np.float32(1.0), True], ids=repr)
@each_model
def test_sibling_results_convert_to_float(model, install, y):
    changes, expected = MEAN_OF_ONE[model.name]
    install(get_mu_cy=y)
    mean, _, _ = model.call(model.scenario(**changes))
    assert mean[0] == expected


# What one site gives when every sibling function answers -1: the scenario, and results by index.
MINUS_ONE = {
    "Morrand": (dict(M=6.0, R_rup=np.array([0.0]), PSVcheck=1), {0: -1.0 * 1.115 + 0.0072, 1: 0.439}),
    "Sellwyn": (dict(Vs30=np.array([760.0])), {0: -1.0, 2: 0.435}),
}


@each_model
def test_minus_one_is_an_ordinary_result(model, install):
    changes, expected = MINUS_ONE[model.name]
    install(**{function: -1.0 for function in model.answers})
    result = model.call(model.scenario(**changes))
    assert {index: result[index][0] for index in expected} == expected


# ---------------------------------------------------------------------------------------------
# Failures in the sibling


@pytest.mark.parametrize("how", ["raises", "result does not convert"])
@pytest.mark.parametrize("model, function, first, position, entries",
                         per_model({str(m): m.failing_calls for m in SIBLING_MODELS}))
def test_exception_propagates_unchanged(model, install, log, function, first, position, entries, how):
    error = Boom("from " + model.sibling)
    answer = raiser(error) if how == "raises" else (lambda *args: BadFloat(error))
    install(**{function: fail_at_site_1(answer, first)})
    with pytest.raises(Boom) as excinfo:
        model.call(model.scenario(3))
    assert excinfo.value is error
    assert model.entries(excinfo.value) == entries
    assert len(log) == len(model.calls) + position + 1  # nothing after the failing call


# A result that does not convert to float, and the type the interpreter's error names.
UNCONVERTIBLE = {"Morrand": ("0.5", "str"), "Sellwyn": (None, "NoneType")}


@pytest.mark.parametrize("model, function, first, position, entries",
                         per_model({str(m): m.failing_calls for m in SIBLING_MODELS}))
def test_unconvertible_result_is_the_interpreters_type_error(model, install, function, first, position, entries):
    result, type_name = UNCONVERTIBLE[model.name]
    install(**{function: fail_at_site_1(lambda *args: result, first)})
    with pytest.raises(TypeError, match=type_name) as excinfo:
        model.call(model.scenario(3))
    assert model.entries(excinfo.value) == entries


@pytest.mark.parametrize("sibling", ["module", "namespace"])
@each_model
def test_nothing_is_kept_after_a_call(model, install, log, monkeypatch, sibling):
    # Objects of this test's own, whose counts nothing else changes: the site arrays (array.array
    # refuses to grow while a buffer view of it is held), fresh floats, and a region of the caller's
    # own class.
    own = {name: array.array("d", [1.0, 2.0, 3.0]) for name in model.site_arrays}
    own.update({name: float(repr(value)) for name, value in model.scalars.items() if type(value) is float})
    if "region" in model.params:
        own["region"] = Region()
    args = model.scenario(**own)
    watched = list(own.values())
    before = [sys.getrefcount(obj) for obj in watched]
    function, first, _, _ = model.failing_calls[-1]
    failing = fail_at_site_1(raiser(Boom()), first)
    if sibling == "module":
        install()
        model.call(args)
        install(**{function: failing})
    else:  # any object with the functions as attributes will do
        forgetful = types.SimpleNamespace(**{name: (lambda *_, answer=answer: answer)
                                             for name, answer in model.answers.items()})
        monkeypatch.setattr(model.module, model.sibling, forgetful)
        model.call(args)
        setattr(forgetful, function, failing)
    with pytest.raises(Boom):
        model.call(args)
    log.clear()  # the recording double keeps the arguments it was given
    assert [sys.getrefcount(obj) for obj in watched] == before
    for sites in (args[name] for name in model.site_arrays):
        sites.append(0.0)


# ---------------------------------------------------------------------------------------------
# The sibling's name and its attributes are looked up at every use


@pytest.mark.parametrize(
    "model, switch_at",
    [(model, position) for model in SIBLING_MODELS for position, (function, _) in enumerate(model.calls)
     if [f for f, _ in model.calls].count(function) == 1],  # functions called once a site
    ids=str)
def test_rebinding_the_sibling_mid_call_takes_effect_at_next_use(model, monkeypatch, log, switch_at):
    later_log = []
    later = recording_module(model.sibling, later_log, **model.answers)
    function = model.calls[switch_at][0]

    def switch(*args):
        monkeypatch.setattr(model.module, model.sibling, later)
        return model.answers[function]

    first = recording_module(model.sibling, log, **{**model.answers, function: switch})
    monkeypatch.setattr(model.module, model.sibling, first)
    model.call(model.scenario(2))
    assert [(name, args[0]) for name, args in log] == list(model.calls[:switch_at + 1])
    assert [(name, args[0]) for name, args in later_log] == list(model.calls[switch_at + 1:] + model.calls)


# (function that replaces another, the first argument of the call that does, the function replaced,
#  sites, the log: the replacing function is not recorded, the new function is logged as "new")
REPLACING = {
    "Morrand": [("get_mu_cy", 1, "get_alpha_cy", 2, ["get_alpha_cy", "new"])],
    "Sellwyn": [("get_phi_cy", 6.0, "get_tau_cy", 1, ["get_mu_cy", "get_mu_cy", "new"])],
}


@pytest.mark.parametrize("model, replacing, first, replaced, n_sites, expected", per_model(REPLACING))
def test_replacing_a_function_mid_call_takes_effect_at_next_use(model, install, log, replacing, first, replaced,
                                                                n_sites, expected):
    double = install()

    def replace(*args):
        if args[0] == first:
            setattr(double, replaced, lambda *args: log.append(("new", args)) or model.answers[replaced])
        return model.answers[replacing]

    setattr(double, replacing, replace)  # not recorded
    model.call(model.scenario(n_sites))
    assert [name for name, _ in log] == expected


@each_model
def test_deleted_sibling_is_a_name_error(model, model_namespaces_kept):
    delattr(model.module, model.sibling)
    with pytest.raises(NameError, match=rf"^name '{model.sibling}' is not defined$") as excinfo:
        model.call(model.scenario(2))
    assert model.entries(excinfo.value) == [f"{model}.{model}_cy"]
    assert model.call(model.scenario(0))[0].shape == (0,)


@each_model
def test_deleted_sibling_falls_back_to_builtins(model, model_namespaces_kept, monkeypatch, log):
    delattr(model.module, model.sibling)
    monkeypatch.setattr(builtins, model.sibling, recording_module(model.sibling, log, **model.answers),
                        raising=False)
    model.call(model.scenario(1))
    assert len(log) == len(model.calls)


MISSING = {
    # (function, calls made before it is missed, the model's frames in the traceback)
    "Morrand": [("get_mu_cy", 0, ["Morrand.Morrand_cy"]),
                ("get_alpha_cy", 1, ["Morrand.Morrand_cy"])],
    "Sellwyn": [("get_mu_cy", 0, ["Sellwyn.Sellwyn_cy"]),
                ("get_phi_cy", 2, ["Sellwyn.Sellwyn_cy", "Sellwyn.get_phi_cy"]),
                ("get_tau_cy", 3, ["Sellwyn.Sellwyn_cy", "Sellwyn.get_tau_cy"])],
}


@pytest.mark.parametrize("model, missing, calls_made, entries", per_model(MISSING))
def test_missing_function_is_an_attribute_error(model, install, log, missing, calls_made, entries):
    double = install()
    delattr(double, missing)
    with pytest.raises(AttributeError, match=missing) as excinfo:
        model.call(model.scenario(2))
    assert len(log) == calls_made and model.entries(excinfo.value) == entries


# ---------------------------------------------------------------------------------------------
# Documentation and loading


DOCS = {
    "Morrand": [(
        ["M: Earthquake magnitude.", "fdip: Fault dip in deg.", "fZtor: Depth to top of fault rupture in km.",
         "R_JB: Joyner-Boore distance in km.", "R_rup: Rupture distance in km.", "R_x: Rx distance in km.",
         "Vs30: Site Vs30. ", "Z1p0: Depth to Vs = 1 km/s.", "Z2p5: Depth to Vs = 2.5 km/s.",
         "fnm: '1' for normal/normal-oblique fault, '0' otherwise.",
         "frv: '1' for reverse/reverse-oblique fault, '0' otherwise.",
         "CAVgm_type: 0 for recorded, and 1 for gmm-based.", "PSV_check: 0 for no check, and 1 for yes."],
        "CAVdp mean, phi, tau.", " for CAVdp. \n")],
    "Sellwyn": [(
        ["IM: 0 for Ia, and 1 for CAV.", "M: Earthquake magnitude.", "fwidth: Fault width in km.",
         "fdip: Fault dip in deg.", "Z_hyp: Hypocentral depth in km.",
         "Z_tor: Depth to top of fault rupture in km.", "R_JB: Joyner-Boore distance in km.",
         "R_rup: Rupture distance in km.", "R_x: Rx distance in km.", "Vs30: Site Vs30. ",
         "Z2p5: Depth to Vs = 2.5 km/s.", "fnm: 1 for normal/normal-oblique fault, 0 otherwise.",
         "frv: 1 for reverse/reverse-oblique fault, 0 otherwise.", "region: Earthquake country."],
        "mean, phi, tau for the selected IM.", " for Ia and CAV . \n")],
}


@pytest.mark.parametrize("model, parameters, returns, module_doc_end", per_model(DOCS))
def test_docstrings_and_signature(model, parameters, returns, module_doc_end):
    lines = ["Parameter", "=========", *parameters, "", "Returns", "=======", returns]
    entry = getattr(model.module, f"{model}_cy")
    assert entry.__doc__ == "\n" + "".join(f"    {line}\n" if line else "\n" for line in lines) + "    "
    assert str(inspect.signature(entry)) == f"({', '.join(model.params)})"
    assert model.module.__doc__.startswith(" Ground motion model by ")
    assert model.module.__doc__.endswith(module_doc_end)


# A call with two sites, in the source of the isolated interpreter (`ones` is np.ones(2)).
TWO_SITES = {"Morrand": "6.0, 45.0, 2.0, ones, ones, ones, ones * 500, ones, ones, 0, 1, 1, 1",
             "Sellwyn": '1, 6.0, 10.0, 45.0, 2.0, 8.0, ones, ones, ones, ones * 300, ones, 0, 1, "JP"'}


@each_model
def test_import_fails_without_the_sibling_on_the_path_and_succeeds_later(model):
    name, sibling = model.name, model.sibling
    code = textwrap.dedent(f"""
        import sys, traceback
        try:
            import gmms.{name}
        except ImportError as error:
            assert error.name == "{sibling}", error
            names = [f.name for f in traceback.extract_tb(error.__traceback__)]
            assert "init {name}" in names, names
        else:
            raise SystemExit("{name} loaded without {sibling}")
        assert "gmms.{name}" not in sys.modules
        sys.path.insert(0, {str(ROOT / "siblings")!r})
        import numpy as np
        from gmms import {name}
        ones = np.ones(2)
        mean, phi, tau = {name}.{name}_cy({TWO_SITES[name]})
        assert {name}.{sibling} is sys.modules["{sibling}"] and mean.shape == (2,)
        assert {name}.__file__.startswith({PACKAGE_ROOT + "/"!r}), {name}.__file__  # the build under test
        bound = [name for name in vars({name}) if name in ("np", "{sibling}", "__author__", "{name}_cy", "__test__")]
        assert bound == ["np", "{sibling}", "__author__", "{name}_cy", "__test__"], bound
        assert {name}.np is np and {name}.__test__ == {{}}
        print("loaded")
    """)
    done = run_isolated(code)
    assert done.returncode == 0 and done.stdout == "loaded\n", done.stderr
