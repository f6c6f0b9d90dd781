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

    ``model`` is the name of a model of the registry (gmms.models.MODELS). ``scenarios`` holds
    one row per scenario: ``scenario_id`` and the entry function's scalar parameters; ``pairs``
    one row per (scenario, site): ``scenario_id``, ``site_id`` and the per-site parameters. Each
    is a CSV file, an HDF5 file (one dataset per column) or a pandas DataFrame.

    Where it runs: on ``client`` (a ``distributed.Client``) when given; else on the cluster
    whose scheduler listens at ``scheduler``; else, with ``serial``, in this process without
    Dask; else on a local cluster of ``workers`` processes (default: one per core) started for
    this run, or, with no ``workers`` given, in this process when the catalogue is too small
    for a cluster to pay for itself. ``siblings`` is the directory of the sibling modules for
    the models built on one (default: the stand-ins); on a cluster it must exist, at that path,
    on every worker. Pairs are evaluated in tasks of about ``batch_pairs`` (default: several
    tasks per worker, none too small to be worth sending).

    Returns a DataFrame with the columns ``scenario_id``, ``site_id``, ``mu_im``,
    ``median_im``, ``phi_im``, ``tau_im`` in the order of the pair table (metadata in
    ``attrs``) or, with ``out`` (a .h5 or .csv path), writes them there and returns the path.
    The file appears only when complete; until then the partitions done are kept beside it,
    and a run stopped short (killed, interrupted, a full disk) is continued by the same call
    with ``resume`` true. ``progress`` shows a progress bar on stderr; ``timeout`` (seconds)
    bounds the wait for any one task's result.

    A ``tls://`` scheduler is reached with ``security`` (a ``distributed.security.Security``),
    else with the PEM files ``tls_ca_file``, ``tls_cert`` and ``tls_key``, else with those of the
    Dask configuration (``distributed.comm.tls.*``). A ``tcp://`` scheduler on another host
    gets an InsecureSchedulerWarning: such a connection is neither encrypted nor authenticated.

    Raises InputError for a bad table (naming the file, line and column) before any model work,
    ScenarioRefused when the model raises for a scenario, GmmsError for other failures.
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
