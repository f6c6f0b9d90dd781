"""Recording test doubles for the sibling modules, the two models that call them, and a runner
for isolated imports.

A double is a module object whose functions append ``(function name, args)`` to a shared log and
then answer as told: a constant, or a callable that receives the arguments (and may raise). Tests
install one by rebinding the sibling's name in the model module's namespace
(``monkeypatch.setattr(Morrand, "Dovecar", double)``), exactly as a caller could.
"""

import importlib
import os
import pathlib
import subprocess
import sys
import traceback
import types
from dataclasses import dataclass

import numpy as np

from conftest import PACKAGE_ROOT
from hostile import PARAMS

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
    """Runs ``code`` in a fresh interpreter whose search path has the package under test (the
    sanitized build under the sanitizers) but not the stand-in siblings; returns the completed
    process."""
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    env["PYTHONPATH"] = PACKAGE_ROOT
    return subprocess.run([sys.executable, "-c", code], cwd=PACKAGE_ROOT, env=env, capture_output=True,
                          text=True, timeout=60)


# ---------------------------------------------------------------------------------------------
# The models that call a sibling


@dataclass(frozen=True)
class SiblingModel:
    """A model whose every site calls functions of a sibling module, and a default scenario."""

    name: str
    sibling: str
    answers: dict  # the double's default answer of each sibling function
    scalars: dict  # the scenario's scalar arguments
    sites: dict  # the scenario's value of each site array at every site
    calls: tuple  # (function, first argument) of one site's calls, in order, in the scenario
    # Calls a test makes fail: (function, first argument that picks the call among the function's
    # calls or None, its position within a site, the model's frames in the traceback).
    failing_calls: tuple

    def __str__(self):
        return self.name

    @property
    def module(self):
        return importlib.import_module("gmms." + self.name)

    @property
    def params(self):
        return tuple(name for name, _ in PARAMS[self.name])

    @property
    def site_arrays(self):
        return tuple(name for name, kind in PARAMS[self.name] if kind == "sites")

    def scenario(self, n=1, **changes):
        args = {name: np.full(n, self.sites[name]) if name in self.sites else self.scalars[name]
                for name in self.params}
        args.update(changes)
        return args

    def call(self, args):
        return getattr(self.module, self.name + "_cy")(*(args[name] for name in self.params))

    def entries(self, error):
        """The model's own frames in the traceback of `error`."""
        return [f.name for f in traceback.extract_tb(error.__traceback__) if f.name.startswith(self.name + ".")]

    def installer(self, monkeypatch, log):
        return installer(monkeypatch, log, self.module, self.sibling, **self.answers)


MORRAND = SiblingModel(
    name="Morrand", sibling="Dovecar",
    answers=dict(get_mu_cy=0.0, get_alpha_cy=0.0),
    scalars=dict(M=6.0, fdip=45.0, fZtor=2.0, fnm=0, frv=1, CAVgmType=1, PSVcheck=1),
    sites=dict(R_JB=8.0, R_rup=10.0, R_x=5.0, Vs30=760.0, Z1p0=0.3, Z2p5=1.0),
    calls=(("get_mu_cy", 0), ("get_alpha_cy", 760.0), ("get_mu_cy", 1)),
    failing_calls=(
        ("get_mu_cy", 0, 0, ["Morrand.Morrand_cy"]),
        ("get_alpha_cy", None, 1, ["Morrand.Morrand_cy"]),
        ("get_mu_cy", 1, 2, ["Morrand.Morrand_cy", "Morrand.get_mu_cy"]),
    ),
)
SELLWYN = SiblingModel(
    name="Sellwyn", sibling="Brisquell",
    answers=dict(get_mu_cy=0.0, get_phi_cy=0.5, get_tau_cy=0.4),
    scalars=dict(IM=0, M=6.0, fwidth=12.0, fdip=45.0, Z_tor=2.0, Z_hyp=8.0, fnm=0, frv=1, region="JP"),
    sites=dict(R_JB=8.0, R_rup=10.0, R_x=5.0, Vs30=760.0, Z2p5=1.0),
    calls=(("get_mu_cy", 2), ("get_mu_cy", 0), ("get_phi_cy", 6.0), ("get_tau_cy", 6.0)),
    failing_calls=(
        ("get_mu_cy", 2, 0, ["Sellwyn.Sellwyn_cy"]),
        ("get_mu_cy", 0, 1, ["Sellwyn.Sellwyn_cy"]),
        ("get_phi_cy", None, 2, ["Sellwyn.Sellwyn_cy", "Sellwyn.get_phi_cy"]),
        ("get_tau_cy", None, 3, ["Sellwyn.Sellwyn_cy", "Sellwyn.get_tau_cy"]),
    ),
)
SIBLING_MODELS = (MORRAND, SELLWYN)
