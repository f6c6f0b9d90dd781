"""Evaluating a model over a block of pairs: the code that runs where a task runs.

The model is loaded in the evaluating process, with the sibling modules it was asked for, and
its entry function is called once per scenario of the block over that scenario's sites. Every
model evaluates each site independently, so how pairs are split into blocks and calls changes no
result.
"""

import os
import socket

import numpy as np

from gmms.errors import ScenarioRefused, SetupError
from gmms.models import DOUBLE, INT, SITES, LoadError, entry_function, resolve


def load_entry(model_name, siblings=None):
    """What evaluates ``model_name`` in this process (see gmms.models.entry_function)."""
    try:
        return entry_function(model_name, siblings)
    except LoadError as error:
        raise SetupError(f"{socket.gethostname()}, process {os.getpid()}: {error}") from None


def _scalar(kind, value):
    if kind == DOUBLE:
        return float(value)
    if kind == INT:
        return int(value)
    return value.item() if isinstance(value, np.generic) else value


def evaluate_block(model_name, siblings, block):
    """(mean ln IM, phi, tau) of each pair of a ``PairBlock``, as one float64 array of shape
    (3, n).

    A block whose scenarios come in runs (sorted codes) is evaluated in place, run by run; any
    other is sorted by scenario first and its results put back in the block's order.
    """
    entry = load_entry(model_name, siblings)
    model = resolve(model_name)
    codes, sites = block.codes, block.sites
    n = len(codes)
    result = np.empty((3, n), dtype=np.float64)
    grouped = n < 2 or bool((codes[1:] >= codes[:-1]).all())
    order = None
    if not grouped:
        order = np.argsort(codes, kind="stable")
        codes = codes[order]
        sites = {name: values[order] for name, values in sites.items()}
    starts = np.flatnonzero(np.diff(codes)) + 1
    los = np.concatenate(([0], starts)).tolist() if n else []
    his = np.concatenate((starts, [n])).tolist() if n else []
    run_codes = codes[los] if n else codes[:0]
    # Each run's scalar arguments as Python numbers, converted for the whole block at once, and
    # each run's sites as slices: a call then takes its arguments as they are, in the entry
    # function's own order (the registry's).
    columns = [None if p.kind == SITES else
               [_scalar(p.kind, value) for value in block.values[p.name][run_codes].tolist()]
               for p in model.parameters]
    for k, (lo, hi) in enumerate(zip(los, his)):
        args = [sites[p.name][lo:hi] if column is None else column[k]
                for p, column in zip(model.parameters, columns)]
        try:
            mean, phi, tau = entry(*args)
        except Exception as error:
            raise ScenarioRefused(model_name, int(block.scenario_ids[run_codes[k]]),
                                  type(error).__name__, str(error)) from None
        result[0, lo:hi] = mean
        result[1, lo:hi] = phi
        result[2, lo:hi] = tau
    if order is not None:
        unsorted = np.empty_like(result)
        unsorted[:, order] = result
        result = unsorted
    return result
