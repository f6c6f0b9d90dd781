"""The ``catalogue`` command: ``python3 -m gmms catalogue MODEL --scenarios FILE ...``."""

import sys

from gmms.run.cli import MODEL_NAMES, add_run_options, add_table_arguments, guarded
from gmms.run.cli import add_table_arguments as add_catalogue_arguments  # noqa: F401 (older name)

DESCRIPTION = """\
Evaluate MODEL for every (scenario, site) pair of a catalogue. The scenario table has a row per
scenario (scenario_id and the model's scalar parameters), the pair table a row per (scenario,
site) (scenario_id, site_id and the per-site parameters); both are CSV or HDF5 files. The
results (scenario_id, site_id, mu_im, median_im, phi_im, tau_im) go to --out, a .h5 or .csv
file, which appears only when complete. By default the run uses a local cluster of one worker
process per core, or runs in this process when the catalogue is too small for a cluster to pay
for itself. A run that stops short keeps what it completed beside --out; run it again with
--resume to evaluate only the rest."""


def add_parser(subparsers):
    """Register the ``catalogue`` subcommand on an argparse ``subparsers`` object."""
    parser = subparsers.add_parser(
        "catalogue", help="evaluate a model over a catalogue of scenarios and sites",
        description=DESCRIPTION)
    add_table_arguments(parser)
    parser.add_argument("--out", required=True, metavar="FILE",
                        help="where the results go (.h5 or .csv)")
    parser.add_argument("--resume", action="store_true",
                        help="continue the interrupted run of the same arguments from the "
                             "partitions it completed")
    add_run_options(parser)
    parser.set_defaults(func=handle)
    return parser


def handle(args):
    """Run the ``catalogue`` command; returns the exit status."""
    from gmms.run.options import RunOptions

    from .runner import run_with_summary
    from .state import state_directory

    status, outcome = guarded("catalogue", lambda: run_with_summary(
        args.model, args.scenarios, args.pairs, RunOptions.from_args(args), out=args.out,
        resume=args.resume), kept=state_directory(args.out))
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
