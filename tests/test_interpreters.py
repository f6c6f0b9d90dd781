"""A module file serves one interpreter per process.

A second interpreter of the process must be refused with the fixed ImportError, and the main
interpreter's module must go on working; in the main interpreter, a re-import after removal from
sys.modules yields the same module object.
"""

import importlib
import sys
import textwrap

import pytest

import hostile
from hostile import PARAMS

MODULES = {name: importlib.import_module("gmms." + name) for name in PARAMS}  # loaded here first
REFUSAL = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def run_in_subinterpreter(code):
    """Runs code in a new interpreter of this process."""
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        interpreters = None
    if interpreters is not None:
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, code)
        finally:
            interpreters.destroy(interp)
        return
    try:
        import _testcapi
    except ImportError:
        pytest.skip("no way to start a second interpreter")
    assert _testcapi.run_in_subinterp(code) == 0


@pytest.mark.parametrize("model", PARAMS)
def test_second_interpreter_is_refused_and_the_first_keeps_working(model, tmp_path):
    outcome = tmp_path / "outcome.txt"
    run_in_subinterpreter(textwrap.dedent(f"""
        import sys
        sys.path[:0] = {sys.path!r}
        try:
            import gmms.{model}
        except BaseException as exc:
            text = type(exc).__name__ + ": " + str(exc)
        else:
            text = "imported"
        with open({str(outcome)!r}, "w") as out:
            out.write(text)
    """))
    assert outcome.read_text() == "ImportError: " + REFUSAL

    module = MODULES[model]
    assert sys.modules["gmms." + model] is module
    args = hostile.typical_args(model, 3)
    hostile.check_result(hostile.entry(module)(*args), 3)


@pytest.mark.parametrize("model", ["Morrand", "Sellwyn"])  # Tarvik's is among the frame's tests
def test_reimport_after_removal_yields_the_same_module_and_test_dict(model):
    module = MODULES[model]
    test_dict = module.__test__
    del sys.modules["gmms." + model]
    try:
        again = importlib.import_module("gmms." + model)
        assert again is module and again.__test__ is test_dict
        assert hostile.entry(again)(*hostile.typical_args(model, 2))[0].shape == (2,)
    finally:
        sys.modules["gmms." + model] = module
