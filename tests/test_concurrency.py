"""Several threads calling the three models at once.

The siblings and numpy are replaced by equivalent wrappers that give up the interpreter lock
(time.sleep(0)) on every call, rebind the sibling's name in the model's namespace to another
equivalent wrapper in the middle of calls, and call back into the entry functions. None of that
changes a value, so every result must equal the serial one for the same inputs; a thread that
rewrites its own site arrays while its calls run must still get valid results.
"""

import importlib
import itertools
import sys
import threading
import time
import types

import numpy as np
import pytest

import hostile
from hostile import PARAMS

MODULES = {name: importlib.import_module("gmms." + name) for name in PARAMS}
SIBLINGS = {"Morrand": ("Dovecar", ("get_mu_cy", "get_alpha_cy")),
            "Sellwyn": ("Brisquell", ("get_mu_cy", "get_phi_cy", "get_tau_cy"))}
THREADS = 4
ROUNDS = 15


def _jobs():
    """(model, args) of varied calls; the arrays are never written, so results stay comparable."""
    jobs = []
    for model in PARAMS:
        for n_sites in (0, 1, 3, 7):
            args = hostile.typical_args(model, n_sites)
            for arg in args:
                if isinstance(arg, np.ndarray):
                    arg.flags.writeable = False  # what the frame needs is refused, so copy per call below
            jobs.append((model, args))
    return jobs


def _call(model, args):
    writable = [np.array(a) if isinstance(a, np.ndarray) else a for a in args]
    return hostile.entry(MODULES[model])(*writable)


class Chaos:
    """Shared by the wrappers: counts calls, and decides when to rebind and when to re-enter."""

    def __init__(self, jobs, expected):
        self.counter = itertools.count()
        self.jobs, self.expected = jobs, expected
        self.local = threading.local()
        self.rebinds = self.reentries = 0
        self.errors = []

    def on_call(self, model_name, sibling_name, alternates):
        step = next(self.counter)
        time.sleep(0)
        if sibling_name and step % 5 == 0:
            MODULES[model_name].__dict__[sibling_name] = alternates[(step // 5) % len(alternates)]
            self.rebinds += 1
        depth = getattr(self.local, "depth", 0)
        if step % 11 == 0 and depth < 2:
            k = (step // 11) % len(self.jobs)
            self.local.depth = depth + 1
            try:
                self.reentries += 1
                result = _call(*self.jobs[k])
                for got, want in zip(result, self.expected[k]):
                    if got.tobytes() != want.tobytes():
                        self.errors.append(f"re-entrant call of job {k} differs")
            finally:
                self.local.depth = depth


def _sibling_wrapper(name, functions, real, chaos, model_name, alternates):
    module = types.ModuleType(name)
    for fname in functions:
        def function(*args, _fname=fname):
            chaos.on_call(model_name, name, alternates)
            return getattr(real, _fname)(*args)

        setattr(module, fname, function)
    return module


def _numpy_wrapper(chaos, model_name):
    module = types.ModuleType("numpy_wrapper")

    def zeros(*args, **kwargs):
        chaos.on_call(model_name, None, ())
        return np.zeros(*args, **kwargs)

    def asarray(*args, **kwargs):
        chaos.on_call(model_name, None, ())
        return np.asarray(*args, **kwargs)

    module.zeros, module.asarray = zeros, asarray
    return module


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_threads_with_yielding_rebinding_reentrant_siblings(fast_switching, monkeypatch):
    jobs = _jobs()
    expected = [_call(model, args) for model, args in jobs]
    chaos = Chaos(jobs, expected)
    for model_name, module in MODULES.items():
        monkeypatch.setattr(module, "np", _numpy_wrapper(chaos, model_name))
        if model_name in SIBLINGS:
            name, functions = SIBLINGS[model_name]
            alternates = []
            alternates.extend(_sibling_wrapper(name, functions, sys.modules[name], chaos, model_name, alternates)
                              for _ in range(3))
            monkeypatch.setattr(module, name, alternates[0])

    # One more thread rewrites its own site arrays while its calls run: any values, valid shape.
    def scribbler():
        args = hostile.typical_args("Morrand", 5)
        for _ in range(ROUNDS * 2):
            for arg in args:
                if isinstance(arg, np.ndarray):
                    arg[:] = np.random.default_rng().uniform(1.0, 1000.0, arg.size)
            hostile.check_result(hostile.entry(MODULES["Morrand"])(*args), 5)

    def worker(offset):
        for round_ in range(ROUNDS):
            for k in range(len(jobs)):
                j = (k + offset + round_) % len(jobs)
                result = _call(*jobs[j])
                if any(got.tobytes() != want.tobytes() for got, want in zip(result, expected[j])):
                    chaos.errors.append(f"job {j} differs from its serial result")

    failures = []

    def guarded(target, *args):
        try:
            target(*args)
        except BaseException as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    threads = [threading.Thread(target=guarded, args=(worker, t)) for t in range(THREADS)]
    threads.append(threading.Thread(target=guarded, args=(scribbler,)))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert not failures, failures
    assert not chaos.errors, chaos.errors[:5]
    assert chaos.rebinds > 50 and chaos.reentries > 20  # the chaos did happen
