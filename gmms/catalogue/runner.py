"""Running a catalogue: in this process, on an embedded local cluster, or on a Dask cluster.

A run checks its arguments and chooses its executor (gmms.catalogue.executors), checks both
tables end to end and plans the partitions, then has the executor evaluate one task per
partition and writes the results in order. The output appears only when complete.
"""

import contextlib
import os
import pathlib
import sys

from .errors import CatalogueError
from .evaluate import Task, evaluate, evaluate_rows, load_entry
from .executors import choose
from .models import MODELS
from .output import check_destination, open_sink
from .plan import CHUNK_ROWS, Catalogue
from .security import security_from
from .tables import open_source

DEFAULT_BATCH_PAIRS = 100_000


class Summary:
    """What a run did, for the command line's closing line."""

    def __init__(self, catalogue, mode, destination):
        self.pairs = catalogue.n_pairs
        self.scenarios = catalogue.n_scenarios_used
        self.partitions = len(catalogue.cuts) - 1
        self.mode = mode
        self.destination = destination


def run(model, scenarios, pairs, *, client=None, out=None, scheduler=None, workers=None,
        serial=False, siblings=None, batch_pairs=DEFAULT_BATCH_PAIRS, progress=False,
        timeout=None, security=None, tls_ca_file=None, tls_cert=None, tls_key=None):
    """Evaluate ``model`` for every (scenario, site) pair of a catalogue.

    ``model`` is the name of a model of the registry (gmms.models.MODELS). ``scenarios`` holds
    one row per scenario: ``scenario_id`` and the entry function's scalar parameters; ``pairs``
    one row per (scenario, site): ``scenario_id``, ``site_id`` and the per-site parameters. Each
    is a CSV file, an HDF5 file (one dataset per column) or a pandas DataFrame.

    Where it runs: on ``client`` (a ``distributed.Client``) when given; else on the cluster
    whose scheduler listens at ``scheduler``; else, with ``serial``, in this process without
    Dask; else on a local cluster of ``workers`` processes (default: one per core) started for
    this run. ``siblings`` is the directory of the sibling modules for the models built on one
    (default: the stand-ins); on a cluster it must exist, at that path, on every worker. Pairs
    are evaluated in tasks of about ``batch_pairs``.

    Returns a DataFrame with the columns ``scenario_id``, ``site_id``, ``mu_im``,
    ``median_im``, ``phi_im``, ``tau_im`` in the order of the pair table (metadata in
    ``attrs``) or, with ``out`` (a .h5 or .csv path), writes them there and returns the path.
    The file appears only when complete. ``progress`` shows a progress bar on stderr;
    ``timeout`` (seconds) bounds the wait for any one task's result.

    A ``tls://`` scheduler is reached with ``security`` (a ``distributed.security.Security``),
    else with the PEM files ``tls_ca_file``, ``tls_cert`` and ``tls_key``, else with those of the
    Dask configuration (``distributed.comm.tls.*``). A ``tcp://`` scheduler on another host
    gets an InsecureSchedulerWarning: such a connection is neither encrypted nor authenticated.

    Raises InputError for a bad table (naming the file, line and column) before any model work,
    ScenarioRefused when the model raises for a scenario, CatalogueError for other failures.
    """
    return run_with_summary(
        model, scenarios, pairs, client=client, out=out, scheduler=scheduler, workers=workers,
        serial=serial, siblings=siblings, batch_pairs=batch_pairs, progress=progress,
        timeout=timeout, security=security, tls_ca_file=tls_ca_file, tls_cert=tls_cert,
        tls_key=tls_key)[0]


def run_with_summary(model, scenarios, pairs, *, client=None, out=None, scheduler=None,
                     workers=None, serial=False, siblings=None, batch_pairs=DEFAULT_BATCH_PAIRS,
                     progress=False, timeout=None, security=None, tls_ca_file=None,
                     tls_cert=None, tls_key=None):
    spec, executor = prepare(model, client=client, scheduler=scheduler, workers=workers,
                             serial=serial, batch_pairs=batch_pairs, security=security,
                             tls_ca_file=tls_ca_file, tls_cert=tls_cert, tls_key=tls_key)
    if out is not None:
        check_destination(out)
    siblings = _sibling_directory(spec, siblings, executor)

    with contextlib.ExitStack() as stack:
        scenario_source = open_source(scenarios, "scenarios", stack)
        pair_source = open_source(pairs, "pairs", stack)
        with _bar(progress, "checking", getattr(pair_source, "rows", None), " rows") as bar:
            catalogue = Catalogue(spec, scenario_source, pair_source, batch_pairs,
                                  chunk_rows=max(CHUNK_ROWS, batch_pairs), progress=bar.update)
        metadata = {"model": spec.name, "IM": catalogue.im, "gmms_version": _version()}
        if spec.sibling is not None:
            metadata["siblings"] = siblings or "stand-ins"
        sink = open_sink(out, metadata, batch_pairs)
        try:
            stack.enter_context(executor)
            if executor.in_process:
                load_entry(spec.name, siblings)     # a setup failure before any task
            evaluator, tasks = _tasks(catalogue, siblings, executor)
            with _bar(progress, spec.name, catalogue.n_pairs, " pairs") as bar:
                for scenario_id, site_id, values in executor.results(evaluator, tasks, timeout):
                    sink.write(scenario_id, site_id, values)
                    bar.update(len(site_id))
            sink.commit()
        except BaseException:
            sink.abort()
            raise
    result = sink.frame if out is None else pathlib.Path(out)
    return result, Summary(catalogue, executor.mode, result if out is not None else None)


def prepare(model, *, client, scheduler, workers, serial, batch_pairs, security=None,
            tls_ca_file=None, tls_cert=None, tls_key=None):
    """The model's registry entry and the executor of a run over a catalogue, or ValueError
    for a model, a way to run or a batch size that cannot be."""
    spec = MODELS.get(model)
    if spec is None:
        raise ValueError(f"unknown model {model!r}; choose one of {', '.join(MODELS)}")
    security = security_from(scheduler, security, tls_ca_file, tls_cert, tls_key)
    executor = choose(client=client, scheduler=scheduler, workers=workers, serial=serial,
                      security=security)
    if batch_pairs < 1:
        raise ValueError("batch_pairs must be at least 1")
    return spec, executor


def _sibling_directory(spec, siblings, executor):
    """The sibling directory as the tasks get it: absolute, or None for the stand-ins."""
    if spec.sibling is None or siblings is None:
        return None
    siblings = os.path.abspath(siblings)
    # A remote cluster may see directories this machine does not; local processes must.
    if executor.local and not os.path.isdir(siblings):
        raise CatalogueError(f"sibling module directory not found: {siblings}")
    return siblings


def _tasks(catalogue, siblings, executor):
    """The evaluator and the tasks of a run, in order: row ranges that the evaluating process
    reads from the files itself when it sees them, else partitions read by the client."""
    model = catalogue.model.name
    scenarios = catalogue.scenarios.source.descriptor()
    pairs = catalogue.pairs.descriptor()
    if scenarios is not None and pairs is not None and executor.sees(scenarios, pairs):
        table = catalogue.scenarios if executor.in_process else None
        return evaluate_rows, (
            Task(index, first, stop, model, siblings, scenarios, pairs, scenario_table=table)
            for index, first, stop in catalogue.ranges())
    return evaluate, (
        Task(part.index, part.first_row, part.first_row + len(part), model, siblings,
             partition=part)
        for part in catalogue.partitions())


def _version():
    from gmms import __version__

    return __version__


def _bar(progress, description, total, unit):
    from tqdm import tqdm

    return tqdm(total=total, desc=description, unit=unit, unit_scale=True, file=sys.stderr,
                delay=1.0, disable=not progress, leave=True)
