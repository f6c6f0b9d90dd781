"""Helpers the test files share: small catalogues, exact comparisons, the hazard example and a
command line that kills itself at a chosen call (for the resume tests)."""

import numpy as np
import pandas as pd

from conftest import ROOT
from gmms.catalogue import synthetic
from gmms.run.files import to_csv

EXAMPLE = (ROOT / "examples" / "hazard" / "tarvik-scenarios.csv",
           ROOT / "examples" / "hazard" / "tarvik-pairs.csv")
LEVELS = np.geomspace(1e-3, 1e3, 25)


def small_catalogue(model, *, n_scenarios=7, n_sites=9, seed=3, shuffle=False):
    scenarios = synthetic.scenarios(model, n_scenarios, seed=seed)
    pairs = pd.concat(synthetic.pairs(model, scenarios.scenario_id.to_numpy(), n_sites, seed=seed))
    if shuffle:
        pairs = pairs.sample(frac=1.0, random_state=seed)
    return scenarios, pairs.reset_index(drop=True)


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and bool((a.view(np.int64) == b.view(np.int64)).all())


def write_csv(path, frame):
    with open(path, "w", newline="", encoding="utf-8") as file:
        to_csv(frame, file, index=False)
    return path


def rated_catalogue(model, *, n_scenarios=7, n_sites=9, seed=3, shuffle=False):
    """A small catalogue with annual rates, one of them 0."""
    scenarios, pairs = small_catalogue(model, n_scenarios=n_scenarios, n_sites=n_sites,
                                       seed=seed, shuffle=shuffle)
    rates = np.random.default_rng(seed).uniform(1e-3, 0.1, len(scenarios))
    rates[1:2] = 0.0
    return scenarios.assign(annual_rate=rates), pairs


def assert_same_hazard(a, b):
    """Every number of two results the same to the last bit."""
    for name in ("site_id", "levels", "annual_rate", "poe", "uniform_hazard", "status"):
        assert same_bits(getattr(a, name), getattr(b, name)), name
    da, db = a.disaggregation, b.disaggregation
    for name in ("site_id", "level", "rate", "shares", "m_edges", "r_edges", "eps_edges"):
        assert same_bits(getattr(da, name), getattr(db, name)), name
    for name in ("M", "R", "eps"):
        assert same_bits(da.mean[name], db.mean[name]) and same_bits(da.modal[name],
                                                                      db.modal[name]), name


def read_hdf5(path):
    import h5py

    with h5py.File(path, "r") as file:
        d = file["disaggregation"]
        return ({name: file[name][()] for name in file if name != "disaggregation"},
                {name: d[name][()] for name in d}, dict(file.attrs))


# A command line that kills its own process at the nth call of module:attribute.
KILL_AT = """
import importlib, os, signal, sys
module, attribute, nth = sys.argv[1], sys.argv[2], int(sys.argv[3])
owner = importlib.import_module(module)
*path, name = attribute.split(".")
for step in path:
    owner = getattr(owner, step)
original, calls = getattr(owner, name), []
def killing(*args, **kwargs):
    calls.append(1)
    if len(calls) == nth:
        os.kill(os.getpid(), signal.SIGKILL)
    return original(*args, **kwargs)
setattr(owner, name, killing)
from gmms.catalogue.__main__ import main
sys.exit(main(sys.argv[4:]))
"""
