"""The ``hazard`` command: ``python3 -m gmms hazard MODEL --scenarios FILE --pairs FILE ...``."""

import sys

from gmms.run.cli import add_run_options, add_table_arguments, guarded

from . import options as opts

DESCRIPTION = """\
Seismic hazard at every site of a catalogue of MODEL: how often per year the IM exceeds each
level, the probability of that in the investigation time, the level at each return period
(uniform hazard) and, for a few sites, which magnitudes, distances and epsilons drive it
(disaggregation). The catalogue is that of 'catalogue', with one more scenario column,
annual_rate (occurrences per year). By default the run uses a local cluster of one worker
process per core, or runs in this process when the catalogue is too small for a cluster to pay
for itself; the numbers are the same bits in every way of running."""


def add_parser(subparsers):
    """Register the ``hazard`` subcommand on an argparse ``subparsers`` object."""
    parser = subparsers.add_parser(
        "hazard", help="seismic hazard: curves, uniform hazard, disaggregation",
        description=DESCRIPTION)
    add_table_arguments(parser, "the scenario table (.csv or .h5), with an annual_rate "
                                    "column")
    parser.add_argument("--out", required=True, metavar="PATH",
                        help="an .h5 file, or a directory for CSV files")
    levels = parser.add_argument_group("IM levels (in the model's IM units)")
    levels.add_argument("--levels", nargs="+", metavar="X",
                        help="the levels, strictly increasing and above 0")
    levels.add_argument("--levels-from", metavar="X", help="lowest level of a log-spaced range")
    levels.add_argument("--levels-to", metavar="X", help="highest level of a log-spaced range")
    levels.add_argument("--levels-n", type=int, metavar="N",
                        help=f"number of levels in the range (default {opts.DEFAULT_LEVELS_N})")
    parser.add_argument("--truncation", default=str(opts.DEFAULT_TRUNCATION), metavar="N",
                        help="truncate ln IM at N standard deviations, or 'none' "
                             "(default: %(default)s)")
    parser.add_argument("--investigation-time", default=opts.DEFAULT_INVESTIGATION_YEARS,
                        metavar="YEARS", help="for the probability of exceedance "
                                              "(default: %(default)s)")
    parser.add_argument("--return-periods", nargs="+", metavar="YEARS",
                        default=list(opts.DEFAULT_RETURN_PERIODS),
                        help="for the uniform hazard and the disaggregation "
                             "(default: 475 2475)")
    disagg = parser.add_argument_group("disaggregation")
    disagg.add_argument("--disagg-sites", nargs="+", metavar="SITE_ID",
                        help=f"sites to disaggregate (default: every site when there are at "
                             f"most {opts.FEW_SITES}, else none)")
    disagg.add_argument("--disagg-m-width", default=opts.DEFAULT_M_WIDTH, metavar="W",
                        help="magnitude bin width (default: %(default)s)")
    disagg.add_argument("--disagg-r-width", default=opts.DEFAULT_R_WIDTH_KM, metavar="KM",
                        help="rupture-distance bin width in km (default: %(default)s)")
    disagg.add_argument("--disagg-eps-width", default=opts.DEFAULT_EPS_WIDTH, metavar="W",
                        help="epsilon bin width (default: %(default)s)")
    parser.add_argument("--plot", metavar="DIR",
                        help="draw the hazard curves and the disaggregation maps (PNG) in DIR")
    add_run_options(parser)
    parser.set_defaults(func=handle)
    return parser


def handle(args):
    """Run the ``hazard`` command; returns the exit status."""
    from gmms.run.options import RunOptions

    from .runner import run_with_notes

    status, outcome = guarded("hazard", lambda: run_with_notes(
        args.model, args.scenarios, args.pairs, opts.options(
            args.levels, levels_from=args.levels_from, levels_to=args.levels_to,
            levels_n=args.levels_n, truncation=args.truncation,
            investigation_time=args.investigation_time, return_periods=args.return_periods,
            disagg_sites=args.disagg_sites, disagg_m_width=args.disagg_m_width,
            disagg_r_width=args.disagg_r_width, disagg_eps_width=args.disagg_eps_width),
        RunOptions.from_args(args), out=args.out, plot=args.plot))
    if status:
        return status
    if not args.quiet:
        hazard, notes = outcome
        print(_summary(hazard, args), file=sys.stderr)
        for note in notes:
            print(f"  {note}", file=sys.stderr)
    return 0


def _summary(hazard, args):
    reached = (hazard.status == 0).sum()
    lines = [f"{args.model}: {len(hazard.site_id)} sites x {len(hazard.levels)} levels; "
             f"uniform hazard reached for {reached} of {hazard.status.size} site x return "
             f"period; {len(hazard.disaggregation.site_id)} sites disaggregated -> {args.out}"]
    if args.plot:
        lines.append(f"plots in {args.plot}")
    return "\n".join(lines)
