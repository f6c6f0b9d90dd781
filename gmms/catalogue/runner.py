"""Running a catalogue: in this process, on an embedded local cluster, or on a Dask cluster.

A run checks its arguments and chooses its executor (gmms.catalogue.executors), or runs in
this process when a cluster would not pay for itself; a local cluster starts while both tables
are checked end to end and cut into partitions. The executor then evaluates one task per
partition not already complete, and each task writes its own part file beside the destination;
this process only accounts for them and renames the one output file, which the tasks fill in
as well and which appears only when complete.
What a run that stopped short had completed stays for ``resume`` (gmms.catalogue.state).
"""

import contextlib
import os
import pathlib
import sys
import time

from . import sizing
from .errors import CatalogueError, InputError, ScenarioRefused, SetupError
from .evaluate import Task, evaluate, evaluate_part, evaluate_rows, load_entry  # noqa: F401
from .executors import SerialExecutor, choose
from .models import MODELS
from .output import FileDestination, FrameDestination, check_destination
from .plan import CHUNK_ROWS, Catalogue
from .security import security_from
from .state import ResumeRefused, describe_input
from .tables import open_source


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
        serial=False, siblings=None, batch_pairs=None, progress=False, timeout=None,
        resume=False, security=None, tls_ca_file=None, tls_cert=None, tls_key=None):
    """Evaluate ``model`` for every (scenario, site) pair of a catalogue.

    The pairs are evaluated in tasks, in this process, on a local cluster of worker processes
    started for the run, or on a Dask cluster; the results are the same bits in every case. Both
    tables are read and checked in full before any model work.

    Where it runs: on ``client`` when given; else on the cluster of ``scheduler``; else, with
    ``serial``, in this process; else on a local cluster of ``workers`` processes (default: one
    per core) or, with no ``workers`` given, in this process when the catalogue is too small
    for a cluster to pay for itself. At most one of ``client``, ``scheduler``, ``workers`` and
    ``serial`` may be given.

    Parameters
    ----------
    model : str
        The name of a model of the registry (``gmms.models.MODELS``): "Tarvik", "Morrand" or
        "Sellwyn".
    scenarios : str, path-like or pandas.DataFrame
        One row per scenario: ``scenario_id`` and the entry function's scalar parameters, named
        as the function names them. A CSV file, an HDF5 file (one dataset per column) or a
        DataFrame.
    pairs : str, path-like or pandas.DataFrame
        One row per (scenario, site): ``scenario_id``, ``site_id`` and the per-site parameters.
        The same forms as ``scenarios``. Keep the pairs of a scenario on consecutive rows: each
        task then calls the model once per scenario.
    client : distributed.Client, optional
        Run on this client's cluster.
    out : str or path-like, optional
        Write the results to this .h5 or .csv file instead of returning them. The file appears
        only when complete; until then the partitions done are kept beside it.
    scheduler : str, optional
        Run on the Dask cluster whose scheduler listens at this address (``tcp://HOST:PORT`` or
        ``tls://HOST:PORT``).
    workers : int, optional
        Run on a local cluster of this many worker processes, started for the run.
    serial : bool, default False
        Run in this process, without Dask.
    siblings : str or path-like, optional
        The directory of the sibling modules for the models built on one (default: the
        stand-ins). On a cluster it must exist, at that path, on every worker.
    batch_pairs : int, optional
        About how many pairs a task evaluates (default: several tasks per worker, none too
        small to be worth sending).
    progress : bool, default False
        Show a progress bar on stderr.
    timeout : float, optional
        Seconds to wait for any one task's result.
    resume : bool, default False
        Continue a run of the same arguments that stopped short (killed, interrupted, a full
        disk) from the partitions it completed; with nothing to continue, just run.
    security : distributed.security.Security, optional
        How to reach a ``tls://`` scheduler.
    tls_ca_file, tls_cert, tls_key : str or path-like, optional
        Else, the PEM files to reach a ``tls://`` scheduler with: the cluster's CA, this
        client's certificate and its key. Else those of the Dask configuration
        (``distributed.comm.tls.*``).

    Returns
    -------
    pandas.DataFrame or pathlib.Path
        Without ``out``: the columns ``scenario_id``, ``site_id``, ``mu_im`` (mean of ln IM),
        ``median_im``, ``phi_im``, ``tau_im``, one row per pair in the order of the pair table,
        with the model, the IM, the gmms version and the sibling modules in ``attrs``. With
        ``out``: its path, the same table written there.

    Raises
    ------
    InputError
        A table is unusable (naming the file, line and column), before any model work.
    ScenarioRefused
        The model raised for a scenario.
    SetupError
        A process could not load the model or its sibling module.
    CatalogueError
        Any other failure (``gmms.errors.GmmsError``): the results cannot be written, a TLS file
        is unusable, the cluster cannot be reached, a resume does not fit the interrupted run.
    ValueError
        An unknown model, more than one way to run, or ``workers`` or ``batch_pairs`` below 1.

    Warns
    -----
    InsecureSchedulerWarning
        A ``tcp://`` scheduler on another host: such a connection is neither encrypted nor
        authenticated.

    See Also
    --------
    gmms.hazard.run : seismic hazard from a catalogue with annual rates.

    Examples
    --------
    >>> import pandas as pd
    >>> from gmms.catalogue import run
    >>> scenarios = pd.DataFrame({"scenario_id": [1], "IM": [1], "M": [7.0], "hypo_lat": [40.0],
    ...                           "hypo_lon": [135.0], "hypo_depth": [50.0], "fins": [1],
    ...                           "fint": [1], "fnm": [0], "frv": [0]})
    >>> pairs = pd.DataFrame({"scenario_id": [1, 1, 1], "site_id": [10, 11, 12],
    ...                       "R_rup": [10.0, 50.0, 100.0], "Vs30": [760.0, 400.0, 250.0]})
    >>> results = run("Tarvik", scenarios, pairs, serial=True)
    >>> results.round(3)
       scenario_id  site_id  mu_im  median_im  phi_im  tau_im
    0            1       10  4.345     77.123    0.49   0.411
    1            1       11  3.190     24.283    0.49   0.411
    2            1       12  2.516     12.375    0.49   0.411
    >>> results.attrs["IM"]
    'CAV'
    >>> run("Tarvik", scenarios, pairs, out="tarvik.csv", serial=True)
    PosixPath('tarvik.csv')
    """
    return run_with_summary(
        model, scenarios, pairs, client=client, out=out, scheduler=scheduler, workers=workers,
        serial=serial, siblings=siblings, batch_pairs=batch_pairs, progress=progress,
        timeout=timeout, resume=resume, security=security, tls_ca_file=tls_ca_file,
        tls_cert=tls_cert, tls_key=tls_key)[0]


def run_with_summary(model, scenarios, pairs, *, client=None, out=None, scheduler=None,
                     workers=None, serial=False, siblings=None, batch_pairs=None,
                     progress=False, timeout=None, resume=False, security=None,
                     tls_ca_file=None, tls_cert=None, tls_key=None):
    spec, executor = prepare(model, client=client, scheduler=scheduler, workers=workers,
                             serial=serial, batch_pairs=batch_pairs, security=security,
                             tls_ca_file=tls_ca_file, tls_cert=tls_cert, tls_key=tls_key)
    if out is not None:
        check_destination(out)
    siblings = sibling_directory(spec, siblings, executor)
    other_siblings = siblings is not None
    notes = []

    with contextlib.ExitStack() as stack:
        scenario_source = open_source(scenarios, "scenarios", stack)
        pair_source = open_source(pairs, "pairs", stack)
        n_estimate = sizing.estimate_rows(pair_source)
        if executor.mode == "local" and not sizing.cluster_pays(
                spec.name, n_estimate, executor.worker_count, other_siblings):
            notes.append(f"in process: a cluster of {executor.worker_count} workers would not "
                         f"pay for itself for about {n_estimate} pairs of {spec.name} "
                         "(--workers N forces one)")
            executor = SerialExecutor()
            executor.mode = "in process"
        destination = _destination(spec, scenarios, pairs, out, siblings, batch_pairs, resume)
        try:
            stack.enter_context(executor)           # a local cluster starts from here on
            target = (batch_pairs or destination.target or sizing.batch_pairs(
                spec.name, n_estimate, executor.worker_count, other_siblings))
            rows = getattr(pair_source, "rows", None)
            with progress_bar(progress, "checking", rows, " rows") as bar:
                catalogue = Catalogue(spec, scenario_source, pair_source, target,
                                      chunk_rows=max(CHUNK_ROWS, target), progress=bar.update)
            metadata = {"model": spec.name, "IM": catalogue.im, "gmms_version": package_version()}
            if spec.sibling is not None:
                metadata["siblings"] = siblings or "stand-ins"
            destination.plan(target, catalogue.cuts, metadata)
            if destination.resumed:
                notes.append(f"resumed: {len(destination.done)} of {len(catalogue.cuts) - 1} "
                             f"partitions were complete in {destination.directory}")
            elif resume:
                notes.append("nothing to resume: started afresh")
            if executor.in_process:
                load_entry(spec.name, siblings)     # a setup failure before any task
            tasks = catalogue_tasks(catalogue, siblings, executor, destination, notes)
            executor.ready()
            started, cpu_started = time.perf_counter(), time.process_time()
            with progress_bar(progress, spec.name, catalogue.n_pairs, " pairs") as bar:
                bar.update(sum(part.rows for part in destination.done.values()))
                for result in executor.results(evaluate_part, tasks, timeout):
                    destination.accept(result)
                    bar.update(result.rows)
            destination.commit()
            loop = (time.perf_counter() - started, time.process_time() - cpu_started)
        except BaseException as error:
            raise _stopped(destination, error) from None
    result = destination.frame if out is None else pathlib.Path(out)
    return result, Summary(catalogue, executor.mode, result if out is not None else None, notes,
                           loop)


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
    if batch_pairs is not None and batch_pairs < 1:
        raise ValueError("batch_pairs must be at least 1")
    return spec, executor


def sibling_directory(spec, siblings, executor):
    """The sibling directory as the tasks get it: absolute, or None for the stand-ins."""
    if spec.sibling is None or siblings is None:
        return None
    siblings = os.path.abspath(siblings)
    # A remote cluster may see directories this machine does not; local processes must.
    if executor.local and not os.path.isdir(siblings):
        raise CatalogueError(f"sibling module directory not found: {siblings}")
    return siblings


def _destination(spec, scenarios, pairs, out, siblings, batch_pairs, resume):
    if out is None:
        return FrameDestination()
    tables = {"scenarios": scenarios, "pairs": pairs}
    files = {role: os.path.abspath(table) if isinstance(table, (str, os.PathLike)) else None
             for role, table in tables.items()}
    arguments = {"model": spec.name, **{role: path or "a DataFrame" for role, path in files.items()},
                 "out": os.path.abspath(out), "siblings": siblings or "stand-ins",
                 "batch_pairs": batch_pairs or "automatic", "gmms_version": package_version()}
    inputs = {role: describe_input(path) for role, path in files.items()}
    try:
        return FileDestination(out, arguments, inputs, resume)
    except OSError as error:
        raise CatalogueError(f"{os.fspath(out)}: cannot write beside it: {error}") from None


def catalogue_tasks(catalogue, siblings, executor, destination=None, notes=None):
    """The tasks of a run, in order, leaving out the partitions already complete: row ranges
    that the evaluating process reads from the files itself when it sees them, else partitions
    read by the client. Each writes its part into the destination's directory when the
    evaluating process sees that too, else sends its results back to be written here (with no
    destination: always sent back)."""
    model = catalogue.model.name
    directory = getattr(destination, "directory", None)
    if directory is not None and not executor.writes_to(directory):
        notes.append(f"the workers do not see {directory}: their results were sent here and "
                     "written by this process")
        directory = None
    file_format = getattr(destination, "format", None)

    def where(index):
        return dict(directory=directory, file_format=file_format,
                    placement=destination.placement(index) if directory else None)

    done = destination.done if destination is not None else {}
    scenarios = catalogue.scenarios.source.descriptor()
    pairs = catalogue.pairs.descriptor()
    if scenarios is not None and pairs is not None and executor.sees(scenarios, pairs):
        table = catalogue.scenarios if executor.in_process else None
        return (Task(index, first, stop, model, siblings, scenarios, pairs,
                     scenario_table=table, **where(index))
                for index, first, stop in catalogue.ranges() if index not in done)
    return (Task(part.index, part.first_row, part.first_row + len(part), model, siblings,
                 partition=part, **where(part.index))
            for part in catalogue.partitions() if part.index not in done)


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


def package_version():
    from gmms import __version__

    return __version__


def progress_bar(progress, description, total, unit):
    """A progress bar on stderr, shown only with ``progress`` and after the first second."""
    from tqdm import tqdm

    return tqdm(total=total, desc=description, unit=unit, unit_scale=True, file=sys.stderr,
                delay=1.0, disable=not progress, leave=True)
