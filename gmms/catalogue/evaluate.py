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
from .parts import columns_of, write_part

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


def _scenario_table(model_name, descriptor):
    """The scenario table of a file, read once per process (the last one used is kept)."""
    from .plan import ScenarioTable
    from .tables import reopen

    key = (model_name, descriptor)
    table = _scenario_tables.get(key)
    if table is None:
        with contextlib.ExitStack() as stack:
            table = ScenarioTable(MODELS[model_name], reopen(descriptor, stack))
        _scenario_tables.clear()
        _scenario_tables[key] = table
    return table


def seed_scenario_table(model_name, descriptor, table):
    """Hand this process a scenario table already read (the client's, in a serial run), or
    with None, forget it."""
    _scenario_tables.clear()
    if table is not None:
        _scenario_tables[(model_name, descriptor)] = table


def evaluate_rows(model_name, siblings, scenarios, pairs, first, stop):
    """Read rows ``first`` to ``stop`` of the pair file and evaluate them.

    ``scenarios`` and ``pairs`` describe the two files as the client checked them. Returns
    (scenario_id, site_id, results) of those rows, results as from ``evaluate``.
    """
    from .plan import pair_kinds
    from .tables import reopen

    load_entry(model_name, siblings)
    model = MODELS[model_name]
    table = _scenario_table(model_name, scenarios)
    with contextlib.ExitStack() as stack:
        source = reopen(pairs, stack)
        columns = source.read(pair_kinds(model), first, stop)
    codes, ids, values = table.block(table.rows_of(columns["scenario_id"], source, first))
    sites = {name: columns[name] for name in model.site_columns}
    result = evaluate(model_name, siblings, ids, values, codes, sites)
    return columns["scenario_id"], columns["site_id"], result


class Task:
    """One partition to evaluate: rows ``first_row`` to ``stop_row`` of the pair table, number
    ``index``. ``call`` is the evaluator and its arguments. With ``directory`` set, the process
    that evaluates it writes the results there, as a part file in ``file_format``, and returns
    only the Part; otherwise it returns the output columns themselves."""

    __slots__ = ("index", "first_row", "stop_row", "ids", "call", "directory", "file_format")

    def __init__(self, index, first_row, stop_row, ids, call, directory=None, file_format=None):
        self.index, self.first_row, self.stop_row = index, first_row, stop_row
        self.ids, self.call = ids, call
        self.directory, self.file_format = directory, file_format

    def __len__(self):
        return self.stop_row - self.first_row

    def __getstate__(self):
        return {name: getattr(self, name) for name in self.__slots__}

    def __setstate__(self, state):
        for name, value in state.items():
            setattr(self, name, value)


def evaluate_task(task):
    """Evaluate a task and write its part (returning the Part) or return its columns."""
    function, *arguments = task.call
    value = function(*arguments)
    scenario_id, site_id, result = (*task.ids, value) if task.ids is not None else value
    columns = columns_of(scenario_id, site_id, result)
    if task.directory is None:
        return columns
    return write_part(task.directory, task.index, columns, task.file_format)
