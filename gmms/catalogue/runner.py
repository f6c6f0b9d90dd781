"""Running a catalogue: in this process, on an embedded local cluster, or on a Dask cluster."""

import concurrent.futures
import contextlib
import logging
import os
import pathlib
import sys
import time
import uuid
import warnings

from . import sizing
from .errors import CatalogueError, InputError, ScenarioRefused, SetupError
from .evaluate import (Task, evaluate, evaluate_rows, evaluate_task, load_entry,
                       seed_scenario_table)
from .models import MODELS
from .output import FileDestination, FrameDestination, check_destination
from .plan import CHUNK_ROWS, Catalogue
from .state import ResumeRefused, describe_input
from .tables import open_source, visible

WORKER_WAIT_S = 60
CONNECT_S = 30


class Summary:
    """What a run did, for the command line's closing line."""

    def __init__(self, catalogue, mode, destination, notes, loop):
        self.pairs = catalogue.n_pairs
        self.scenarios = catalogue.n_scenarios_used
        self.partitions = len(catalogue.cuts) - 1
        self.mode = mode
        self.destination = destination
        self.notes = notes                  # what the run decided for itself, one line each
        # Wall and CPU seconds (this process, all its threads) from the first task to the
        # file in place: the part of a run that the cluster is there to shorten.
        self.loop_seconds, self.loop_cpu_seconds = loop


def run(model, scenarios, pairs, *, client=None, out=None, scheduler=None, workers=None,
        serial=False, siblings=None, batch_pairs=None, progress=False,
        timeout=None, resume=False):
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
        timeout=timeout, resume=resume)[0]


def run_with_summary(model, scenarios, pairs, *, client=None, out=None, scheduler=None,
                     workers=None, serial=False, siblings=None, batch_pairs=None,
                     progress=False, timeout=None, resume=False):
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
    if batch_pairs is not None and batch_pairs < 1:
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

    notes = []
    with contextlib.ExitStack() as stack:
        scenario_source = open_source(scenarios, "scenarios", stack)
        pair_source = open_source(pairs, "pairs", stack)
        n_estimate = sizing.estimate_rows(pair_source)
        n_workers = workers or sizing.default_workers()
        other_siblings = siblings is not None
        if mode == "local" and not sizing.cluster_pays(spec.name, n_estimate, n_workers,
                                                       other_siblings):
            mode = "in process"
            notes.append(f"in process: a cluster of {n_workers} workers would not pay for "
                         f"itself for about {n_estimate} pairs of {spec.name} "
                         "(--workers N forces one)")
        destination = _destination(spec, scenarios, pairs, out, siblings, batch_pairs, resume)
        try:
            # The cluster starts while the tables are checked; a scheduler is asked for its
            # workers first, as their number sizes the tasks.
            if mode in ("local", "workers"):
                client = stack.enter_context(_started_in_background(workers))
            elif mode == "scheduler":
                client = stack.enter_context(_connect(scheduler))
            if mode in ("scheduler", "client"):
                n_workers = sum(client.nthreads().values())
            elif mode in ("serial", "in process"):
                n_workers = 1
            target = (batch_pairs or destination.target
                      or sizing.batch_pairs(spec.name, n_estimate, n_workers, other_siblings))
            with _bar(progress, "checking", getattr(pair_source, "rows", None), " rows") as bar:
                catalogue = Catalogue(spec, scenario_source, pair_source, target,
                                      chunk_rows=max(CHUNK_ROWS, target), progress=bar.update)
            if mode not in ("serial", "in process"):
                n_workers = sum(client.nthreads().values())      # the cluster is up
            started, cpu_started = time.perf_counter(), time.process_time()
            metadata = {"model": spec.name, "IM": catalogue.im, "gmms_version": _version()}
            if spec.sibling is not None:
                metadata["siblings"] = siblings or "stand-ins"
            destination.plan(target, catalogue.cuts, metadata)
            if destination.resumed:
                notes.append(f"resumed: {len(destination.done)} of {len(catalogue.cuts) - 1} "
                             f"partitions were complete in {destination.directory}")
            elif resume:
                notes.append("nothing to resume: started afresh")
            work = _Work(catalogue, siblings, _files_of(catalogue), destination)
            with _bar(progress, spec.name, catalogue.n_pairs, " pairs") as bar:
                bar.update(sum(part.rows for part in destination.done.values()))
                if mode in ("serial", "in process"):
                    _run_serial(work, destination, bar)
                else:
                    _run_distributed(client, work, destination, bar, timeout,
                                     local=mode in ("local", "workers"), notes=notes)
            destination.commit()
            loop = (time.perf_counter() - started, time.process_time() - cpu_started)
        except BaseException as error:
            raise _stopped(destination, error) from None
    result = destination.frame if out is None else pathlib.Path(out)
    return result, Summary(catalogue, mode, result if out is not None else None, notes, loop)


def _destination(spec, scenarios, pairs, out, siblings, batch_pairs, resume):
    if out is None:
        return FrameDestination()
    tables = {"scenarios": scenarios, "pairs": pairs}
    files = {role: os.path.abspath(table) if isinstance(table, (str, os.PathLike)) else None
             for role, table in tables.items()}
    arguments = {"model": spec.name, **{role: path or "a DataFrame" for role, path in files.items()},
                 "out": os.path.abspath(out), "siblings": siblings or "stand-ins",
                 "batch_pairs": batch_pairs or "automatic", "gmms_version": _version()}
    inputs = {role: describe_input(path) for role, path in files.items()}
    try:
        return FileDestination(out, arguments, inputs, resume)
    except OSError as error:
        raise CatalogueError(f"{os.fspath(out)}: cannot write beside it: {error}") from None


# Failures that the same run would meet again: what they leave is of no use to --resume.
_FINAL = (InputError, ScenarioRefused, ResumeRefused)


def _stopped(destination, error):
    """The error a run that stopped short ends with, once its destination is dealt with."""
    kept = destination.abort(keep=not isinstance(error, _FINAL))
    if isinstance(error, OSError):
        error = CatalogueError(f"cannot write the results: {error}")
    if kept and isinstance(error, CatalogueError):
        text = (f"{error}; the {kept} complete partitions are kept in {destination.directory}: "
                "run again with --resume to continue")
        error = SetupError(text) if isinstance(error, SetupError) else CatalogueError(text)
    return error


def _version():
    from gmms import __version__

    return __version__


def _bar(progress, description, total, unit):
    from tqdm import tqdm

    return tqdm(total=total, desc=description, unit=unit, unit_scale=True, file=sys.stderr,
                delay=1.0, disable=not progress, leave=True)


class _Work:
    """The tasks of a run: row ranges that a process reads from the files itself, or
    partitions read by the client when a table is not a file (or not one the workers see).
    Partitions an interrupted run completed are left out."""

    def __init__(self, catalogue, siblings, from_files, destination):
        self.catalogue = catalogue
        self.model = catalogue.model.name
        self.siblings = siblings
        self.from_files = from_files
        self.done = destination.done
        self.directory = destination.directory
        self.file_format = getattr(destination, "format", None)
        if from_files:
            self.scenarios = catalogue.scenarios.source.descriptor()
            self.pairs = catalogue.pairs.descriptor()

    def tasks(self, write=True):
        """Yield the Tasks in order; with ``write``, each writes its part itself."""
        directory = self.directory if write else None
        if self.from_files:
            for index, first, stop in self.catalogue.ranges():
                if index not in self.done:
                    yield Task(index, first, stop, None, (
                        evaluate_rows, self.model, self.siblings, self.scenarios, self.pairs,
                        first, stop), directory, self.file_format)
            return
        for part in self.catalogue.partitions():
            if part.index not in self.done:
                yield Task(part.index, part.first_row, part.first_row + len(part),
                           (part.scenario_id, part.site_id), (
                               evaluate, self.model, self.siblings, part.scenario_ids,
                               part.scenario_values, part.codes, part.sites),
                           directory, self.file_format)


def _files_of(catalogue):
    return (catalogue.scenarios.source.descriptor() is not None
            and catalogue.pairs.descriptor() is not None)


def _run_serial(work, destination, bar):
    load_entry(work.model, work.siblings)
    if work.from_files:
        seed_scenario_table(work.model, work.scenarios, work.catalogue.scenarios)
    try:
        for task in work.tasks():
            destination.accept(task.index, evaluate_task(task))
            bar.update(len(task))
    finally:
        seed_scenario_table(None, None, None)


@contextlib.contextmanager
def _connect(scheduler):
    from distributed import Client

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


@contextlib.contextmanager
def _started_in_background(workers):
    """A local cluster and its client, started in a thread of its own from now on; the client
    is waited for when first used, and everything is closed on the way out."""
    from distributed import Client

    def start():
        cluster = local_cluster(workers)
        try:
            return cluster, Client(cluster)
        except BaseException:
            cluster.close()
            raise

    with concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="gmms-cluster") as pool:
        starting = pool.submit(start)
        try:
            yield _Deferred(starting)
        finally:
            try:
                cluster, client = starting.result()
            except Exception:
                pass
            else:
                try:
                    client.close()
                finally:
                    cluster.close()


class _Deferred:
    """A client still being made: any use waits for it."""

    def __init__(self, future):
        self._future = future

    def __getattr__(self, name):
        return getattr(self._future.result()[1], name)


# The C library's allocator of the workers keeps what a task frees for the next one: without
# these, every task's arrays are fresh mappings of zeroed pages (Dask's nanny even asks for
# memory to be handed back at once), which costs more than a fast model's own work.
WORKER_ENVIRONMENT = {"MALLOC_TRIM_THRESHOLD_": str(1 << 30),
                      "MALLOC_MMAP_THRESHOLD_": str(32 << 20)}


# The scheduler of a local cluster runs in this process: its diagnostics, which measure the
# event loop every 20 ms and the machine every 500 ms by default, cost the client half its CPU
# while it waits for tasks.
CLUSTER_CONFIG = {"distributed.admin.tick.interval": "500ms",
                  "distributed.admin.system-monitor.interval": "2s"}


def local_cluster(workers=None):
    """The local cluster a run starts when given no other: ``workers`` processes (default: one
    per core) with one thread each, listening on 127.0.0.1 only, their allocator set up to keep
    freed memory (WORKER_ENVIRONMENT).

    Processes, not threads: an entry call holds the interpreter lock from start to end, so
    threads in one process would take turns, not run side by side.
    """
    import dask
    from distributed import LocalCluster

    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", default={}))
    environ.update(WORKER_ENVIRONMENT)
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ, **CLUSTER_CONFIG}):
        return LocalCluster(n_workers=workers or sizing.default_workers(), threads_per_worker=1,
                            processes=True, host="127.0.0.1", dashboard_address=None,
                            silence_logs=logging.ERROR)


def _sees(directory, name):
    """Whether this process sees the file ``name`` the client put in ``directory``, and may
    write there."""
    try:
        with open(os.path.join(directory, name), encoding="utf-8") as file:
            return file.read() == name and os.access(directory, os.W_OK)
    except OSError:
        return False


def _workers_see(client, directory):
    name = f".probe-{uuid.uuid4().hex}"
    path = os.path.join(directory, name)
    with open(path, "w", encoding="utf-8") as file:
        file.write(name)
    try:
        seen = client.run(_sees, directory, name)
    finally:
        os.unlink(path)
    return bool(seen) and all(seen.values())


def _run_distributed(client, work, destination, bar, timeout, local, notes):
    if work.from_files and not local:
        # Workers elsewhere read the files only if they see them as this process does.
        seen = client.run(visible, work.scenarios, work.pairs)
        work.from_files = bool(seen) and all(seen.values())
    write = work.directory is not None and (local or _workers_see(client, work.directory))
    if work.directory is not None and not write:
        notes.append(f"the workers do not see {work.directory}: their results were sent here "
                     "and written by this process")
    threads = sum(client.nthreads().values())
    # Tasks carrying rows, or bringing results back, are held in memory while they run: keep
    # few of them in flight. Tasks that read and write files themselves are small either way.
    window = 2 * max(1, threads) if (not work.from_files or not write) else 8 * max(1, threads)
    for task, result in _as_completed(client, work.tasks(write), timeout, window):
        destination.accept(task.index, result)
        bar.update(len(task))


def _as_completed(client, tasks, timeout, window):
    """Yield (task, result) as the tasks finish, with at most ``window`` of them submitted at
    a time; they are submitted in batches by ``client.map``, the function sent once a batch."""
    from distributed import TimeoutError as DaskTimeout
    from distributed import wait
    from distributed.scheduler import KilledWorker

    prefix = f"gmms-catalogue-{uuid.uuid4().hex[:8]}"
    tasks = iter(tasks)
    running = {}

    def submit():
        batch = []
        while len(running) + len(batch) < window:
            task = next(tasks, None)
            if task is None:
                break
            batch.append(task)
        if batch:
            with warnings.catch_warnings():
                # Rows sent along by the client are large by design.
                warnings.filterwarnings("ignore", message="Large object of size")
                futures = client.map(evaluate_task, batch, pure=False,
                                     key=[f"{prefix}-{task.index}" for task in batch])
            running.update(zip(futures, batch))

    try:
        submit()
        while running:
            try:
                done, _ = wait(list(running), timeout=timeout, return_when="FIRST_COMPLETED")
            except (DaskTimeout, TimeoutError):
                raise CatalogueError(f"no task finished within {timeout} s") from None
            for future in sorted(done, key=lambda f: running[f].index):
                task = running.pop(future)
                try:
                    result = future.result()
                except (KilledWorker, DaskTimeout, TimeoutError) as error:
                    raise CatalogueError(
                        f"task {task.index} (pairs from row {task.first_row}) was not "
                        f"evaluated: {type(error).__name__}: {error}") from None
                yield task, result
            if len(running) <= window // 2:
                submit()
    except BaseException:
        if running:
            client.cancel(list(running))
        raise
