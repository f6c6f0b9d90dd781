"""Evaluating one partition: the code that runs on Dask workers (and, serially, in the client).

It loads the model in the worker's own process, with the sibling modules it was asked for, reads
the partition's rows from the pair file when it can, and calls the entry function once per
scenario of the partition over that scenario's sites. Every model evaluates each site
independently, so how pairs are split into partitions and calls changes no result.
"""

import contextlib
import os
import socket
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from gmms.models import LoadError, load

from .errors import ScenarioRefused, SetupError
from .models import DOUBLE, INT, MODELS, SITE
from .parts import Columns, columns_of, place, write_part

_scenario_tables = {}


@dataclass(frozen=True)
class Task:
    """One partition of a catalogue and what a process needs to evaluate it.

    The partition is rows ``first_row`` to ``stop_row`` (excluded) of the pair table, number
    ``index`` in the table's order. A process that sees the input files reads those rows itself
    (``scenarios`` and ``pairs`` describe the files as the client checked them); otherwise the
    client has read them into ``partition``. ``scenario_table`` is the client's own copy of the
    scenario table, for a task evaluated in the client. With ``directory`` set, the process that
    evaluates the task writes its results there as a part file in ``file_format`` and, given a
    ``placement``, into their slots of the file being assembled too.
    """
    index: int
    first_row: int
    stop_row: int
    model: str
    siblings: Optional[str] = None
    scenarios: Optional[tuple] = None
    pairs: Optional[tuple] = None
    partition: Any = None
    scenario_table: Any = None
    directory: Optional[str] = None
    file_format: Optional[str] = None
    placement: Optional[tuple] = None

    def __len__(self):
        return self.stop_row - self.first_row


def load_entry(model_name, siblings=None):
    """The entry function of ``model_name`` in this process (see gmms.models.load)."""
    try:
        module = load(model_name, siblings)
    except LoadError as error:
        raise SetupError(f"{socket.gethostname()}, process {os.getpid()}: {error}") from None
    return getattr(module, MODELS[model_name].entry_name)


def _scalar(kind, value):
    if kind == DOUBLE:
        return float(value)
    if kind == INT:
        return int(value)
    return value.item() if isinstance(value, np.generic) else value


def evaluate_pairs(model_name, siblings, scenario_ids, scenario_values, codes, sites):
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
        # In the entry function's own order, as the registry gives it.
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


# Both evaluators return the same shape: (scenario_id, site_id, values) of the task's pairs, with
# (mean ln IM, phi, tau) as one (3, n) array. A plain tuple, which Dask sends item by item as
# arrays (a tuple subclass it would pickle whole).

def evaluate(task):
    """Evaluate a task whose rows the client read (``task.partition``)."""
    part = task.partition
    values = evaluate_pairs(task.model, task.siblings, part.scenario_ids, part.scenario_values,
                            part.codes, part.sites)
    return part.scenario_id, part.site_id, values


def evaluate_rows(task):
    """Read a task's rows of the pair file and evaluate them."""
    from .plan import pair_kinds
    from .tables import reopen

    load_entry(task.model, task.siblings)
    model = MODELS[task.model]
    table = task.scenario_table
    if table is None:
        table = scenario_table(task.model, task.scenarios)
    with contextlib.ExitStack() as stack:
        source = reopen(task.pairs, stack)
        columns = source.read(pair_kinds(model), task.first_row, task.stop_row)
    codes, ids, values = table.block(table.rows_of(columns["scenario_id"], source, task.first_row))
    sites = {name: columns[name] for name in model.site_columns}
    result = evaluate_pairs(task.model, task.siblings, ids, values, codes, sites)
    return columns["scenario_id"], columns["site_id"], result


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


def evaluate_part(task):
    """Evaluate a task and write its part file (returning the Part), or, with no directory to
    write to, return its output columns. Either way the median is computed here."""
    rows = evaluate_rows(task) if task.partition is None else evaluate(task)
    columns = columns_of(*rows)
    if task.directory is None:
        return Columns(task.index, columns)
    part = write_part(task.directory, task.index, columns, task.file_format)
    if task.placement is not None:
        place(columns, task.placement)
        part.placed = True
    return part
