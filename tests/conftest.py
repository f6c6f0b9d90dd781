"""Test set-up: the built modules are imported from the source tree.

The repository root goes on sys.path (for ``gmms.Tarvik``), and so does ``siblings/`` (the
stand-in ``Dovecar`` and ``Brisquell``), which ``Morrand`` and ``Sellwyn`` import at load.

``GMMS_MODULE_DIR``, when set, names a directory holding another build of the package (for
instance the sanitizer build, ``build-asan/pkg``); it goes first on sys.path so that ``import
gmms`` finds that build, and the session fails if a model module was loaded from anywhere else.

Hypothesis runs under the profile named by ``GMMS_HYPOTHESIS_PROFILE``: ``ci`` (the default, a
bounded and reproducible budget) or ``soak`` (a million examples over the fuzz tests; see
docs/develop/checks.md).
"""

import contextlib
import os
import pathlib
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, settings

ROOT = pathlib.Path(__file__).resolve().parent.parent
SIBLINGS = ROOT / "siblings"
for path in (str(SIBLINGS), str(ROOT)):
    if path not in sys.path:
        sys.path.insert(0, path)

# Dask's profiler samples the event loop of every client, scheduler and cluster in this process
# from a thread that outlives them and allocates as it goes, which the leak checks would count.
os.environ["DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED"] = "False"

MODULE_DIR = os.environ.get("GMMS_MODULE_DIR")
if MODULE_DIR:
    MODULE_DIR = str(pathlib.Path(MODULE_DIR).resolve())
    sys.path.insert(0, MODULE_DIR)
# Where ``import gmms`` finds the package under test. A child that must load the same build runs
# from there with it on its path (from the source tree, the tree's own build would come first).
PACKAGE_ROOT = MODULE_DIR or str(ROOT)

# Child processes that tests start with an environment of their own still get what this process
# was started with to load at all: under the sanitizers, the ASan runtime preloaded (or loading an
# instrumented module aborts); for an interpreter unpacked outside the system's directories (the
# CPython 3.9 check), the library path that finds its shared libraries.
_CHILD_ENV = ["LD_LIBRARY_PATH"]
if os.environ.get("GMMS_SANITIZED"):
    _CHILD_ENV += ["LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC"]
_CHILD_ENV = [key for key in _CHILD_ENV if key in os.environ]
if _CHILD_ENV:
    _popen_init = subprocess.Popen.__init__

    def _popen_init_passing_env(self, *args, env=None, **kwargs):
        if env is not None:
            env = {**env, **{key: os.environ[key] for key in _CHILD_ENV}}
        _popen_init(self, *args, env=env, **kwargs)

    subprocess.Popen.__init__ = _popen_init_passing_env

_QUIET = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
settings.register_profile("ci", max_examples=300, deadline=None, derandomize=True, database=None,
                          suppress_health_check=_QUIET)
# The fuzz tests hold eight properties: 125,000 examples each make a soak of a million.
settings.register_profile("soak", max_examples=int(os.environ.get("GMMS_SOAK_EXAMPLES", 125_000)),
                          deadline=None, database=None, suppress_health_check=_QUIET)
settings.load_profile(os.environ.get("GMMS_HYPOTHESIS_PROFILE", "ci"))


@contextlib.contextmanager
def namespaces_kept(*modules):
    """Restores the namespaces of ``modules`` as they were, order included. A name unbound and then
    bound again (as monkeypatch undoes a delattr) would otherwise move to the end, and other tests
    read the order."""
    saved = [(vars(module), dict(vars(module))) for module in modules]
    try:
        yield
    finally:
        for namespace, before in saved:
            namespace.clear()
            namespace.update(before)


@pytest.fixture
def model_namespaces_kept():
    """The namespaces of the three model modules restored after the test (see namespaces_kept).
    Unbind names with ``del``, not monkeypatch.delattr, whose undo would run after this."""
    from gmms import Morrand, Sellwyn, Tarvik

    with namespaces_kept(Tarvik, Morrand, Sellwyn):
        yield


def pytest_sessionfinish(session, exitstatus):
    """With GMMS_MODULE_DIR set, every extension module this process loaded must come from there."""
    if not MODULE_DIR:
        return
    strays = sorted(
        f"{name}: {module.__file__}"
        for name, module in list(sys.modules.items())
        if name.rsplit(".", 1)[-1] in ("Tarvik", "Morrand", "Sellwyn", "_hazard", "_geometry")
        and getattr(module, "__file__", None)
        and not os.path.realpath(module.__file__).startswith(MODULE_DIR + os.sep)
    )
    if strays:
        print("\nmodel modules loaded from outside GMMS_MODULE_DIR:\n  " + "\n  ".join(strays), file=sys.stderr)
        session.exitstatus = 1
