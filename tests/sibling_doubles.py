"""Recording test doubles for the sibling modules, and a runner for isolated imports.

A double is a module object whose functions append ``(function name, args)`` to a shared log and
then answer as told: a constant, or a callable that receives the arguments (and may raise). Tests
install one by rebinding the sibling's name in the model module's namespace
(``monkeypatch.setattr(Morrand, "Dovecar", double)``), exactly as a caller could.
"""

import os
import pathlib
import subprocess
import sys
import types

ROOT = pathlib.Path(__file__).resolve().parent.parent


def recording_module(name, log, **answers):
    """A module ``name`` with one recording function per keyword of ``answers``."""
    module = types.ModuleType(name)
    for function, answer in answers.items():
        setattr(module, function, _recorder(function, answer, log))
    return module


def installer(monkeypatch, log, model, sibling, **defaults):
    """A function that installs a recording double of ``sibling`` in ``model``'s namespace.

    Its keywords override the default answers; it returns the double.
    """

    def install(**answers):
        double = recording_module(sibling, log, **{**defaults, **answers})
        monkeypatch.setattr(model, sibling, double)
        return double

    return install


def _recorder(function, answer, log):
    def record(*args, **kwargs):
        assert not kwargs, "siblings are called with positional arguments only"
        log.append((function, args))
        return answer(*args) if callable(answer) else answer

    record.__name__ = record.__qualname__ = function
    return record


def raiser(error):
    """An answer that raises ``error`` (the same object every time)."""

    def answer(*args):
        raise error

    return answer


class Boom(Exception):
    """An error only a test raises."""


class BadFloat:
    """A result whose conversion to float raises `error`."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def fail_at_site_1(answer, first=None):
    """Answers 0.0, except at the second call (site 1), where `answer(*args)` decides.
    With `first` given, only calls whose first argument equals it count (the others answer 0.0)."""
    calls = []

    def respond(*args):
        if first is not None and args[0] != first:
            return 0.0
        calls.append(args)
        return answer(*args) if len(calls) == 2 else 0.0

    return respond


def arg_types(args):
    return tuple(type(a) for a in args)


def run_isolated(code):
    """Runs ``code`` in a fresh interpreter whose search path has the repository root but not
    the stand-in siblings; returns the completed process."""
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    env["PYTHONPATH"] = str(ROOT)
    return subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=env, capture_output=True,
                          text=True, timeout=60)
