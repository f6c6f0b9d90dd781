"""The ``hazard`` command: ``python3 -m gmms hazard MODEL --scenarios FILE --pairs FILE ...``
from a catalogue, or ``python3 -m gmms hazard --job JOB.ini`` from a source model and sites."""

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
for itself; the numbers are the same bits in every way of running.

With --job JOB.ini instead of MODEL and its tables: hazard from a seismic source model and
sites as a job file describes them (the field's INI keys, and a [models] section with models
per tectonic region and their weights), without a pair table: curves of every branch, the
mean and the quantiles, maps and, for chosen sites, the disaggregation. Every key of the job
file may also be given as an option below, which wins."""

USAGE = """\
%(prog)s MODEL --scenarios FILE --pairs FILE --out PATH [options]
       %(prog)s --job JOB.ini [--out PATH] [job settings] [options]"""

# Job settings that are also options of a run from a catalogue: (option's dest, job key).
SHARED_SETTINGS = {"investigation_time": "investigation_time", "disagg_sites": "disagg_sites",
                   "truncation": "truncation_level"}
# Options of a run from a catalogue only.
TABLE_ONLY = ("levels", "levels_from", "levels_to", "levels_n", "return_periods",
              "disagg_m_width", "disagg_r_width", "disagg_eps_width")


def add_parser(subparsers):
    """Register the ``hazard`` subcommand on an argparse ``subparsers`` object."""
    parser = subparsers.add_parser(
        "hazard", help="seismic hazard: curves, uniform hazard, disaggregation",
        description=DESCRIPTION, usage=USAGE)
    add_table_arguments(parser, "the scenario table (.csv or .h5), with an annual_rate "
                                    "column", required=False)
    parser.add_argument("--job", metavar="JOB.ini",
                        help="a job file: hazard from a source model and sites (instead of MODEL, "
                             "--scenarios and --pairs)")
    parser.add_argument("--out", metavar="PATH",
                        help="an .h5 file, or a directory for CSV files (with --job: default "
                             "the job's export_dir)")
    levels = parser.add_argument_group("IM levels (in the model's IM units)")
    levels.add_argument("--levels", nargs="+", metavar="X",
                        help="the levels, strictly increasing and above 0")
    levels.add_argument("--levels-from", metavar="X", help="lowest level of a log-spaced range")
    levels.add_argument("--levels-to", metavar="X", help="highest level of a log-spaced range")
    levels.add_argument("--levels-n", type=int, metavar="N",
                        help=f"number of levels in the range (default {opts.DEFAULT_LEVELS_N})")
    parser.add_argument("--truncation", metavar="N",
                        help="truncate ln IM at N standard deviations, or 'none' "
                             f"(default: {opts.DEFAULT_TRUNCATION})")
    parser.add_argument("--investigation-time", metavar="YEARS",
                        help="for the probability of exceedance "
                             f"(default: {opts.DEFAULT_INVESTIGATION_YEARS})")
    parser.add_argument("--return-periods", nargs="+", metavar="YEARS",
                        help="for the uniform hazard and the disaggregation "
                             "(default: 475 2475)")
    disagg = parser.add_argument_group("disaggregation")
    disagg.add_argument("--disagg-sites", nargs="+", metavar="SITE_ID",
                        help=f"sites to disaggregate (default: every site when there are at "
                             f"most {opts.FEW_SITES}, else none)")
    disagg.add_argument("--disagg-m-width", metavar="W",
                        help=f"magnitude bin width (default: {opts.DEFAULT_M_WIDTH})")
    disagg.add_argument("--disagg-r-width", metavar="KM",
                        help=f"rupture-distance bin width in km (default: "
                             f"{opts.DEFAULT_R_WIDTH_KM})")
    disagg.add_argument("--disagg-eps-width", metavar="W",
                        help=f"epsilon bin width (default: {opts.DEFAULT_EPS_WIDTH})")
    parser.add_argument("--plot", metavar="DIR",
                        help="draw the hazard curves and the disaggregation maps (PNG) in DIR")
    _add_job_settings(parser)
    add_run_options(parser)
    parser.set_defaults(func=handle, parser=parser)
    return parser


def _add_job_settings(parser):
    from .job import SETTINGS

    group = parser.add_argument_group(
        "job settings", "with --job, each of the job file's keys as an option, which wins over "
                        "the file (--investigation-time, --truncation and --disagg-sites above "
                        "too); --models 'REGION = MODEL WEIGHT, ...' stands for a line of the "
                        "file's [models] section")
    shared = set(SHARED_SETTINGS.values())
    for key in SETTINGS:
        if key not in shared:
            group.add_argument(f"--{key.replace('_', '-')}", dest=f"job_{key}", metavar="VALUE")
    group.add_argument("--models", dest="job_models", action="append", metavar="LINE")


def handle(args):
    """Run the ``hazard`` command; returns the exit status."""
    if args.job is not None:
        return _handle_job(args)
    job_options = [name for name, value in vars(args).items()
                   if name.startswith("job_") and value is not None]
    if job_options:
        args.parser.error(f"--{job_options[0][4:].replace('_', '-')} goes with --job")
    missing = [name for name, value in (("MODEL", args.model), ("--scenarios", args.scenarios),
                                        ("--pairs", args.pairs), ("--out", args.out))
               if value is None]
    if missing:
        args.parser.error(f"the following arguments are required: {', '.join(missing)} (or "
                          "--job JOB.ini)")
    from gmms.run.options import RunOptions

    from .runner import run_with_notes

    for name, default in (("truncation", str(opts.DEFAULT_TRUNCATION)),
                          ("investigation_time", opts.DEFAULT_INVESTIGATION_YEARS),
                          ("return_periods", list(opts.DEFAULT_RETURN_PERIODS)),
                          ("disagg_m_width", opts.DEFAULT_M_WIDTH),
                          ("disagg_r_width", opts.DEFAULT_R_WIDTH_KM),
                          ("disagg_eps_width", opts.DEFAULT_EPS_WIDTH)):
        if getattr(args, name) is None:
            setattr(args, name, default)
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


def _handle_job(args):
    given = [name for name in ("model", "scenarios", "pairs", *TABLE_ONLY)
             if getattr(args, name) is not None]
    if given:
        name = "MODEL" if given[0] == "model" else f"--{given[0].replace('_', '-')}"
        args.parser.error(f"{name} goes with a catalogue, not with --job")
    from gmms.run.options import RunOptions

    from .maps import run_job_with_notes

    settings = {key[4:]: value for key, value in vars(args).items()
                if key.startswith("job_") and key != "job_models" and value is not None}
    for dest, key in SHARED_SETTINGS.items():
        value = getattr(args, dest)
        if value is not None:
            settings[key] = " ".join(value) if isinstance(value, list) else value
    if args.job_models:
        settings["models"] = dict(_model_line(line) for line in args.job_models)
    status, outcome = guarded("hazard", lambda: run_job_with_notes(
        args.job, RunOptions.from_args(args), out=args.out, plot=args.plot, settings=settings))
    if status:
        return status
    if not args.quiet:
        result, notes = outcome
        s = result.summary
        print(f"{s['ruptures']} ruptures of {s['sources']} sources, {s['sites']} sites: "
              f"{s['pairs']} pairs within the maximum distance; {s['branches']} branches, "
              f"{s['realizations']} realizations; {s['seconds']:.1f} s"
              + (f" -> {result.path}" if result.path else ""), file=sys.stderr)
        if args.plot:
            print(f"plots in {args.plot}", file=sys.stderr)
        for note in notes:
            print(f"  {note}", file=sys.stderr)
    return 0


def _model_line(line):
    region, equals, models = line.partition("=")
    if not equals or not region.strip():
        from gmms.errors import InputError

        raise InputError(f"--models {line!r}: expected 'REGION = MODEL WEIGHT, ...'")
    return region.strip(), models.strip()
