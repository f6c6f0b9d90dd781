"""Running a catalogue: in this process, on an embedded local cluster, or on a Dask cluster.

A run checks its arguments and chooses its executor (gmms.run), or runs in this process when a
cluster would not pay for itself; a local cluster starts while both tables are checked end to
end and cut into pieces. The executor then evaluates one task per piece not already complete,
and each task writes its own part file beside the destination; this process only accounts for
them and renames the one output file, which the tasks fill in as well and which appears only
when complete.
What a run that stopped short had completed stays for ``resume`` (gmms.catalogue.state).
"""

import contextlib
import os
import pathlib
import time

from gmms.errors import GmmsError, InputError, ScenarioRefused, SetupError
from gmms.pairs.block import tasks
from gmms.run.options import Run, RunOptions, package_version

from .evaluate import Slot, evaluate_part
from .output import FileDestination, FrameDestination, check_destination
from .state import ResumeRefused, describe_input


class Summary:
    """What a run did, for the command line's closing line."""

    def __init__(self, table, mode, destination, notes, loop):
        self.pairs = table.n_pairs
        self.scenarios = table.n_scenarios_used
        self.partitions = len(table.cuts) - 1
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
        "Sellwyn"; or a model of one's own, "package.module:function".
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
    GmmsError
        Any other failure (``CatalogueError`` is its older name): the results cannot be
        written, a TLS file is unusable, the cluster cannot be reached, a resume does not fit the
        interrupted run.
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
        model, scenarios, pairs,
        RunOptions(client=client, scheduler=scheduler, workers=workers, serial=serial,
                   siblings=siblings, batch_pairs=batch_pairs, progress=progress,
                   timeout=timeout, security=security, tls_ca_file=tls_ca_file,
                   tls_cert=tls_cert, tls_key=tls_key),
        out=out, resume=resume)[0]


def run_with_summary(model, scenarios, pairs, options=RunOptions(), *, out=None, resume=False):
    """``run`` with its options as a ``RunOptions``; returns (what ``run`` returns, Summary)."""
    run = Run(model, options)
    if out is not None:
        check_destination(out)
    siblings = run.locate_siblings()

    with contextlib.ExitStack() as stack:
        sources = run.open_tables(scenarios, pairs, stack)
        destination = _destination(run.spec, scenarios, pairs, out, siblings,
                                   options.batch_pairs, resume)
        try:
            table = run.check_tables(stack, sources, destination.target)
            destination.plan(run.target, table.cuts, run.metadata(table.im))
            if destination.resumed:
                run.notes.append(f"resumed: {len(destination.done)} of {len(table.cuts) - 1} "
                                 f"partitions were complete in {destination.directory}")
            elif resume:
                run.notes.append("nothing to resume: started afresh")
            run.load_here()
            part_tasks = _tasks(run, table, destination)
            run.executor.ready()
            started, cpu_started = time.perf_counter(), time.process_time()
            with run.progress_bar(run.spec.name, table.n_pairs, " pairs") as bar:
                bar.update(sum(part.rows for part in destination.done.values()))
                for result in run.results(evaluate_part, part_tasks):
                    destination.accept(result)
                    bar.update(result.rows)
            destination.commit()
            loop = (time.perf_counter() - started, time.process_time() - cpu_started)
        except BaseException as error:
            raise _stopped(destination, error) from None
    result = destination.frame if out is None else pathlib.Path(out)
    return result, Summary(table, run.executor.mode, result if out is not None else None,
                           run.notes, loop)


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
        raise GmmsError(f"{os.fspath(out)}: cannot write beside it: {error}") from None


def _tasks(run, table, destination):
    """The tasks of a run, in order, leaving out the pieces already complete. Each writes its
    part into the destination's directory when the evaluating process sees that too, else sends
    its results back to be written here (with no destination: always sent back)."""
    directory = destination.directory
    if directory is not None and not run.executor.writes_to(directory):
        run.notes.append(f"the workers do not see {directory}: their results were sent here "
                         "and written by this process")
        directory = None
    slot = None
    if directory is not None:
        def slot(index):
            return Slot(directory, destination.format, destination.placement(index))
    pieces = table.pieces(run.executor, done=destination.done)
    return tasks(pieces, run.spec.name, run.siblings, slot)


# Failures that the same run would meet again: what they leave is of no use to --resume.
_FINAL = (InputError, ScenarioRefused, ResumeRefused)


def _stopped(destination, error):
    """The error a run that stopped short ends with, once its destination is dealt with."""
    kept = destination.abort(keep=not isinstance(error, _FINAL))
    if isinstance(error, OSError):
        error = GmmsError(f"cannot write the results: {error}")
    if kept and isinstance(error, GmmsError):
        text = (f"{error}; the {kept} complete partitions are kept in {destination.directory}: "
                "run again with --resume to continue")
        error = SetupError(text) if isinstance(error, SetupError) else GmmsError(text)
    return error
