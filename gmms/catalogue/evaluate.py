"""Evaluating one partition: the code that runs on Dask workers (and, serially, in the client).

It loads the model in the worker's own process, with the sibling modules it was asked for, reads
the partition's rows from the pair file when it can, and calls the entry function once per
scenario of the partition over that scenario's sites. Every model evaluates each site
independently, so how pairs are split into partitions and calls changes no result.
"""

import contextlib
import importlib
import os
import pathlib
import socket

import numpy as np

from .errors import ScenarioRefused, SetupError
from .models import DOUBLE, INT, MODELS, SITE

_entries = {}
_scenario_tables = {}


def load_entry(model_name, siblings=None):
    """The entry function of ``model_name`` in this process, loaded once.

    ``siblings`` is the directory of the sibling modules (None: the stand-ins shipped with
    gmms); it goes on this process's ``sys.path`` before the model is imported. A model is
    loaded once per process, so a process that already runs it with sibling modules from
    another directory cannot switch: that is reported rather than ignored.
    """
    key = (model_name, siblings)
    entry = _entries.get(key)
    if entry is not None:
        return entry
    model = MODELS[model_name]
    where = f"{socket.gethostname()} (process {os.getpid()})"
    try:
        directory = None
        if model.sibling is not None:
            from gmms.siblings import use_siblings

            directory = use_siblings(siblings)
        module = importlib.import_module(f"gmms.{model_name}")
    except (ImportError, OSError) as error:
        raise SetupError(f"cannot load {model_name} on {where}: {error}") from None
    if model.sibling is not None:
        loaded = getattr(getattr(module, model.sibling, None), "__file__", None)
        if loaded is not None and pathlib.Path(loaded).resolve().parent != directory:
            raise SetupError(
                f"{model_name} on {where} already runs with {model.sibling} from "
                f"{pathlib.Path(loaded).parent}, not from {directory}; restart the workers "
                "(Client.restart()) to change sibling modules")
    entry = getattr(module, model.entry_name)
    _entries[key] = entry
    return entry


def _scalar(kind, value):
    if kind == DOUBLE:
        return float(value)
    if kind == INT:
        return int(value)
    return value.item() if isinstance(value, np.generic) else value


def evaluate(model_name, siblings, scenario_ids, scenario_values, codes, sites):
    """(mean ln IM, phi, tau) of each pair of a partition, as one float64 array of shape (3, n).

    ``codes`` gives each pair's scenario, numbered by first appearance, so a partition whose
    scenarios come in runs has them sorted and is evaluated in place, run by run.
    """
    entry = load_entry(model_name, siblings)
    model = MODELS[model_name]
    n = len(codes)
    result = np.empty((3, n), dtype=np.float64)
    grouped = n < 2 or bool((codes[1:] >= codes[:-1]).all())
    order = None
    if not grouped:
        order = np.argsort(codes, kind="stable")
        codes = codes[order]
        sites = {name: values[order] for name, values in sites.items()}
    starts = np.flatnonzero(np.diff(codes)) + 1
    bounds = zip(np.concatenate(([0], starts)), np.concatenate((starts, [n])))
    for lo, hi in bounds if n else ():
        code = codes[lo]
        args = [sites[name][lo:hi] if kind == SITE else _scalar(kind, scenario_values[name][code])
                for name, kind in model.parameters]
        try:
            mean, phi, tau = entry(*args)
        except Exception as error:
            raise ScenarioRefused(model_name, int(scenario_ids[code]), type(error).__name__,
                                  str(error)) from None
        result[0, lo:hi] = mean
        result[1, lo:hi] = phi
        result[2, lo:hi] = tau
    if order is not None:
        unsorted = np.empty_like(result)
        unsorted[:, order] = result
        result = unsorted
    return result


def scenario_table(model_name, descriptor, extra=None):
    """The scenario table of a file, read once per process (the last one used is kept), with
    the ``extra`` columns ({column: kind}) beside the model's."""
    from .plan import ScenarioTable
    from .tables import reopen

    key = (model_name, descriptor, tuple(sorted((extra or {}).items())))
    table = _scenario_tables.get(key)
    if table is None:
        with contextlib.ExitStack() as stack:
            table = ScenarioTable(MODELS[model_name], reopen(descriptor, stack), extra=extra)
        _scenario_tables.clear()
        _scenario_tables[key] = table
    return table


def seed_scenario_table(model_name, descriptor, table, extra=None):
    """Hand this process a scenario table already read (the client's, in a serial run), or
    with None, forget it."""
    _scenario_tables.clear()
    if table is not None:
        _scenario_tables[(model_name, descriptor, tuple(sorted((extra or {}).items())))] = table


def evaluate_rows(model_name, siblings, scenarios, pairs, first, stop):
    """Read rows ``first`` to ``stop`` of the pair file and evaluate them.

    ``scenarios`` and ``pairs`` describe the two files as the client checked them. Returns
    (scenario_id, site_id, results) of those rows, results as from ``evaluate``.
    """
    from .plan import pair_kinds
    from .tables import reopen

    load_entry(model_name, siblings)
    model = MODELS[model_name]
    table = scenario_table(model_name, scenarios)
    with contextlib.ExitStack() as stack:
        source = reopen(pairs, stack)
        columns = source.read(pair_kinds(model), first, stop)
    codes, ids, values = table.block(table.rows_of(columns["scenario_id"], source, first))
    sites = {name: columns[name] for name in model.site_columns}
    result = evaluate(model_name, siblings, ids, values, codes, sites)
    return columns["scenario_id"], columns["site_id"], result
