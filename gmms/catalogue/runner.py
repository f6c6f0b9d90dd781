"""Running a catalogue: in this process, on an embedded local cluster, or on a Dask cluster."""

import collections
import contextlib
import logging
import os
import pathlib
import sys
import uuid
import warnings

from .errors import CatalogueError
from .evaluate import evaluate, evaluate_rows, load_entry, seed_scenario_table
from .models import MODELS
from .output import check_destination, open_sink
from .plan import CHUNK_ROWS, Catalogue
from .tables import open_source, visible

DEFAULT_BATCH_PAIRS = 100_000
WORKER_WAIT_S = 60
CONNECT_S = 30


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
        timeout=None):
    """Evaluate ``model`` for every (scenario, site) pair of a catalogue.

    ``model`` is "Tarvik", "Morrand" or "Sellwyn". ``scenarios`` holds one row per scenario:
    ``scenario_id`` and the entry function's scalar parameters; ``pairs`` one row per
    (scenario, site): ``scenario_id``, ``site_id`` and the per-site parameters. Each is a CSV
    file, an HDF5 file (one dataset per column) or a pandas DataFrame.

    Where it runs: on ``client`` (a ``distributed.Client``) when given; else on the cluster
    whose scheduler listens at ``scheduler``; else, with ``serial``, in this process without
    Dask; else on a local cluster of ``workers`` processes (default: one per core) started for
    this run. ``siblings`` is the directory of the sibling modules for ``Morrand`` and
    ``Sellwyn`` (default: the stand-ins); on a cluster it must exist, at that path, on every
    worker. Pairs are evaluated in tasks of about ``batch_pairs``.

    Returns a DataFrame with the columns ``scenario_id``, ``site_id``, ``mu_im``,
    ``median_im``, ``phi_im``, ``tau_im`` in the order of the pair table (metadata in
    ``attrs``) or, with ``out`` (a .h5 or .csv path), writes them there and returns the path.
    The file appears only when complete. ``progress`` shows a progress bar on stderr;
    ``timeout`` (seconds) bounds the wait for any one task's result.

    Raises InputError for a bad table (naming the file, line and column) before any model work,
    ScenarioRefused when the model raises for a scenario, CatalogueError for other failures.
    """
    return run_with_summary(
        model, scenarios, pairs, client=client, out=out, scheduler=scheduler, workers=workers,
        serial=serial, siblings=siblings, batch_pairs=batch_pairs, progress=progress,
        timeout=timeout)[0]


def run_with_summary(model, scenarios, pairs, *, client=None, out=None, scheduler=None,
                     workers=None, serial=False, siblings=None, batch_pairs=DEFAULT_BATCH_PAIRS,
                     progress=False, timeout=None):
    spec = MODELS.get(model)
    if spec is None:
        raise ValueError(f"unknown model {model!r}; choose one of {', '.join(MODELS)}")
    chosen = [name for name, given in (("client", client is not None),
                                       ("scheduler", scheduler is not None),
                                       ("workers", workers is not None), ("serial", serial))
              if given]
    if len(chosen) > 1:
        raise ValueError(f"choose one way to run, not {' and '.join(chosen)}")
    mode = chosen[0] if chosen else "local"
    if workers is not None and workers < 1:
        raise ValueError("workers must be at least 1")
    if batch_pairs < 1:
        raise ValueError("batch_pairs must be at least 1")
    if out is not None:
        check_destination(out)
    if siblings is not None and spec.sibling is not None:
        siblings = os.path.abspath(siblings)
        # A remote cluster may see directories this machine does not; local processes must.
        if mode in ("serial", "local", "workers") and not os.path.isdir(siblings):
            raise CatalogueError(f"sibling module directory not found: {siblings}")
    if spec.sibling is None:
        siblings = None

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
            if mode not in ("serial", "client"):
                client = stack.enter_context(_connect(mode, scheduler, workers))
            with _bar(progress, spec.name, catalogue.n_pairs, " pairs") as bar:
                if mode == "serial":
                    _run_serial(catalogue, sink, bar, siblings)
                else:
                    _run_distributed(client, catalogue, sink, bar, siblings, timeout,
                                     local=mode in ("local", "workers"))
            sink.commit()
        except BaseException:
            sink.abort()
            raise
    result = sink.frame if out is None else pathlib.Path(out)
    return result, Summary(catalogue, mode, result if out is not None else None)


def _version():
    from gmms import __version__

    return __version__


def _bar(progress, description, total, unit):
    from tqdm import tqdm

    return tqdm(total=total, desc=description, unit=unit, unit_scale=True, file=sys.stderr,
                delay=1.0, disable=not progress, leave=True)


class _Work:
    """The tasks of a run: row ranges that a process reads from the files itself, or
    partitions read by the client when a table is not a file (or not one the workers see)."""

    def __init__(self, catalogue, siblings, from_files):
        self.catalogue = catalogue
        self.model = catalogue.model.name
        self.siblings = siblings
        self.from_files = from_files
        if from_files:
            self.scenarios = catalogue.scenarios.source.descriptor()
            self.pairs = catalogue.pairs.descriptor()

    def tasks(self):
        """Yield (index, first row, ids or None, function, arguments) in order."""
        if self.from_files:
            for index, first, stop in self.catalogue.ranges():
                yield index, first, None, evaluate_rows, (
                    self.model, self.siblings, self.scenarios, self.pairs, first, stop)
        else:
            for part in self.catalogue.partitions():
                yield part.index, part.first_row, (part.scenario_id, part.site_id), evaluate, (
                    self.model, self.siblings, part.scenario_ids, part.scenario_values,
                    part.codes, part.sites)

    @staticmethod
    def outcome(ids, value):
        return (*ids, value) if ids is not None else value


def _files_of(catalogue):
    return (catalogue.scenarios.source.descriptor() is not None
            and catalogue.pairs.descriptor() is not None)


def _run_serial(catalogue, sink, bar, siblings):
    load_entry(catalogue.model.name, siblings)
    work = _Work(catalogue, siblings, _files_of(catalogue))
    if work.from_files:
        seed_scenario_table(catalogue.model.name, work.scenarios, catalogue.scenarios)
    try:
        for _, _, ids, function, arguments in work.tasks():
            scenario_id, site_id, result = work.outcome(ids, function(*arguments))
            sink.write(scenario_id, site_id, result)
            bar.update(len(site_id))
    finally:
        seed_scenario_table(None, None, None)


@contextlib.contextmanager
def _connect(mode, scheduler, workers):
    from distributed import Client

    if mode == "scheduler":
        try:
            client = Client(scheduler, timeout=CONNECT_S)
        except (OSError, ValueError) as error:
            raise CatalogueError(f"cannot reach the Dask scheduler at {scheduler}: {error}") \
                from None
        with client:
            try:
                client.wait_for_workers(1, timeout=WORKER_WAIT_S)
            except Exception:
                raise CatalogueError(f"no Dask worker joined the scheduler at {scheduler} "
                                     f"within {WORKER_WAIT_S} s") from None
            yield client
        return
    with local_cluster(workers) as cluster, Client(cluster) as client:
        yield client


def local_cluster(workers=None):
    """The local cluster a run starts when given no other: ``workers`` processes (default: one
    per core) with one thread each, listening on 127.0.0.1 only.

    Processes, not threads: an entry call holds the interpreter lock from start to end, so
    threads in one process would take turns, not run side by side. The workers keep the C
    library's own memory allocation settings: Dask's nanny sets MALLOC_TRIM_THRESHOLD_ by
    default, which hands freed memory back to the system at once and so makes every large
    array a fresh mapping of zeroed pages, several times slower on some machines than the
    partition's model work itself.
    """
    import dask
    from distributed import LocalCluster

    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", default={}))
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        return LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                            processes=True, host="127.0.0.1", dashboard_address=None,
                            silence_logs=logging.ERROR)


def _run_distributed(client, catalogue, sink, bar, siblings, timeout, local):
    from distributed import TimeoutError as DaskTimeout
    from distributed import wait
    from distributed.scheduler import KilledWorker

    work = _Work(catalogue, siblings, _files_of(catalogue))
    if work.from_files and not local:
        # Workers elsewhere read the files only if they see them as this process does.
        seen = client.run(visible, work.scenarios, work.pairs)
        work.from_files = bool(seen) and all(seen.values())
    prefix = f"gmms-catalogue-{work.model}-{uuid.uuid4().hex[:8]}"
    # Enough tasks running to keep every worker busy; results are written in order, and those
    # that finish early wait, up to a bound that keeps memory in check.
    running_max = max(2, 2 * sum(client.nthreads().values()))
    held_max = 4 * running_max
    tasks = iter(work.tasks())
    pending = collections.deque()

    def result(item):
        index, first, _, future = item
        try:
            return future.result(timeout=timeout)
        except (KilledWorker, DaskTimeout, TimeoutError) as error:
            raise CatalogueError(f"task {index} (pairs from row {first}) was not evaluated: "
                                 f"{type(error).__name__}: {error}") from None

    try:
        while True:
            running = [item[-1] for item in pending if not item[-1].done()]
            while len(running) < running_max and len(pending) < held_max:
                task = next(tasks, None)
                if task is None:
                    break
                index, first, ids, function, arguments = task
                with warnings.catch_warnings():
                    # Rows sent along by the client are large by design.
                    warnings.filterwarnings("ignore", message="Large object of size")
                    future = client.submit(function, *arguments, key=f"{prefix}-{index}")
                pending.append((index, first, ids, future))
                running.append(future)
            if not pending:
                return
            failed = next((item for item in pending if item[-1].status == "error"), None)
            if failed is not None:
                result(failed)                          # raises the task's error now
            if pending[0][-1].done():
                item = pending.popleft()
                scenario_id, site_id, values = work.outcome(item[2], result(item))
                sink.write(scenario_id, site_id, values)
                bar.update(len(site_id))
            else:
                try:
                    wait(running, timeout=timeout, return_when="FIRST_COMPLETED")
                except (DaskTimeout, TimeoutError):
                    raise CatalogueError(f"no task finished within {timeout} s") from None
    except BaseException:
        if pending:
            client.cancel([item[-1] for item in pending])
        raise
