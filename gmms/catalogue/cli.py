"""The ``catalogue`` command: ``python3 -m gmms catalogue MODEL --scenarios FILE ...``."""

import argparse
import os
import sys
import warnings

from gmms.models import MODELS, SIBLINGS, spoken_list

from . import security

MODEL_NAMES = tuple(MODELS)

DESCRIPTION = """\
Evaluate MODEL for every (scenario, site) pair of a catalogue. The scenario table has a row per
scenario (scenario_id and the model's scalar parameters), the pair table a row per (scenario,
site) (scenario_id, site_id and the per-site parameters); both are CSV or HDF5 files. The
results (scenario_id, site_id, mu_im, median_im, phi_im, tau_im) go to --out, a .h5 or .csv
file, which appears only when complete. By default the run uses a local cluster of one worker
process per core, or runs in this process when the catalogue is too small for a cluster to pay
for itself. A run that stops short keeps what it completed beside --out; run it again with
--resume to evaluate only the rest."""


def _positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def add_parser(subparsers):
    """Register the ``catalogue`` subcommand on an argparse ``subparsers`` object."""
    parser = subparsers.add_parser(
        "catalogue", help="evaluate a model over a catalogue of scenarios and sites",
        description=DESCRIPTION)
    add_catalogue_arguments(parser)
    parser.add_argument("--out", required=True, metavar="FILE",
                        help="where the results go (.h5 or .csv)")
    parser.add_argument("--resume", action="store_true",
                        help="continue the interrupted run of the same arguments from the "
                             "partitions it completed")
    add_run_options(parser)
    parser.set_defaults(func=handle)
    return parser


def add_catalogue_arguments(parser, scenarios_help="the scenario table (.csv or .h5)"):
    """The model and its catalogue: the arguments every command over a catalogue takes."""
    parser.add_argument("model", choices=MODEL_NAMES, metavar="MODEL",
                        help=f"one of {', '.join(MODEL_NAMES)}")
    parser.add_argument("--scenarios", required=True, metavar="FILE", help=scenarios_help)
    parser.add_argument("--pairs", required=True, metavar="FILE",
                        help="the pair table (.csv or .h5)")


def add_run_options(parser):
    """Where and how a run over a catalogue goes: the options every such command shares."""
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--scheduler", metavar="ADDRESS",
                      help="run on the Dask cluster of this scheduler (e.g. tcp://host:8786)")
    mode.add_argument("--workers", type=_positive, metavar="N",
                      help="run on a local cluster of N worker processes (default: one per core)")
    mode.add_argument("--serial", action="store_true",
                      help="run in this process, without Dask")
    parser.add_argument("--siblings", metavar="DIR",
                        help=f"directory of the sibling modules {spoken_list(SIBLINGS)}, on every "
                             "worker (default: the stand-ins shipped with gmms)")
    parser.add_argument("--batch-pairs", type=_positive, metavar="N",
                        help="target number of pairs per task (default: several tasks per "
                             "worker, none too small to be worth sending)")
    parser.add_argument("--quiet", action="store_true",
                        help="no progress bar and no closing summary")
    security.add_options(parser)


def guarded(command, call, kept=None):
    """``(0, what call() returns)``, or for a run that failed or was interrupted, its exit
    status and None, once the one line that says why is on stderr (for an interrupted run,
    also that ``kept``, the partial state's directory, holds what was complete)."""
    from .errors import CatalogueError

    try:
        with warnings.catch_warnings():
            warnings.showwarning = _one_line(command, warnings.showwarning)
            return 0, call()
    except CatalogueError as error:
        print(f"gmms {command}: error: {error}", file=sys.stderr)
        return 1, None
    except KeyboardInterrupt:
        print(f"gmms {command}: interrupted; no output written"
              + (f"; what was complete is kept in {kept} for --resume"
                 if kept is not None and os.path.isdir(kept) else ""), file=sys.stderr)
        return 130, None


def handle(args):
    """Run the ``catalogue`` command; returns the exit status."""
    from .runner import run_with_summary
    from .state import state_directory

    status, outcome = guarded("catalogue", lambda: run_with_summary(
        args.model, args.scenarios, args.pairs, out=args.out, scheduler=args.scheduler,
        workers=args.workers, serial=args.serial, siblings=args.siblings,
        batch_pairs=args.batch_pairs, progress=not args.quiet, resume=args.resume,
        tls_ca_file=args.tls_ca_file, tls_cert=args.tls_cert, tls_key=args.tls_key),
        kept=state_directory(args.out))
    if status:
        return status
    _, summary = outcome
    if not args.quiet:
        print(f"{args.model}: {summary.pairs} pairs of {summary.scenarios} scenarios in "
              f"{summary.partitions} tasks ({summary.mode}) -> {summary.destination}",
              file=sys.stderr)
        for note in summary.notes:
            print(f"  {note}", file=sys.stderr)
    return 0


def _one_line(command, show):
    """Show our warning as the command's own line, any other as before."""
    def shown(message, category, *rest):
        if issubclass(category, security.InsecureSchedulerWarning):
            print(f"gmms {command}: warning: {message}", file=sys.stderr)
        else:
            show(message, category, *rest)
    return shown
