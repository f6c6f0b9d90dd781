"""The ``ruptures`` command: ``python3 -m gmms ruptures --sources MODEL.xml --sites SITES.csv
--model NAME --scenarios FILE --pairs FILE``."""

import sys

from gmms.run.cli import guarded

DESCRIPTION = """\
Make every rupture of a seismic source model (NRML 0.4 or 0.5: point, area and simple-fault
sources) and find the sites within the maximum distance of each; write the two tables of a
catalogue for MODEL: the scenario table (a row per rupture: scenario_id, annual_rate, the
model's scenario parameters and the rupture's geometry) and the pair table (a row per rupture
and site within the distance: scenario_id, site_id and the model's site parameters), each a
.csv or .h5 file, which 'catalogue' and 'hazard' read as they are. The sites are a site model
CSV (lon, lat, vs30, and optionally site_id, vs30measured, z1pt0 in m, z2pt5 in km) or a grid
over a region; Z1.0 and Z2.5 not given are derived from Vs30."""

DEFAULT_MAXIMUM_DISTANCE_KM = 300.0     # as gmms.pairs.ruptures, without importing it here
MODEL_HELP = ("the model and its choices for the run, as NAME(choice=value, ...): "
              "Tarvik(IM='CAV'), Morrand(CAVgmType=1, PSVcheck=1), Sellwyn(IM=1, "
              "region='global'), or a model of your own, package.module:function")


def add_parser(subparsers):
    """Register the ``ruptures`` subcommand on an argparse ``subparsers`` object."""
    parser = subparsers.add_parser(
        "ruptures", help="scenario and pair tables from a seismic source model and sites",
        description=DESCRIPTION)
    parser.add_argument("--sources", required=True, metavar="MODEL.xml",
                        help="the source model (NRML)")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--sites", metavar="SITES.csv", help="a site model CSV")
    where.add_argument("--region", metavar="'LON LAT, LON LAT, ...'",
                       help="a polygon to cover with a grid of sites (write --region=... when "
                            "the first longitude is negative)")
    grid = parser.add_argument_group("a grid of sites (with --region)")
    grid.add_argument("--spacing", type=float, metavar="KM", help="the grid's spacing, km")
    grid.add_argument("--vs30", type=float, metavar="M/S", help="Vs30 of every site, m/s")
    grid.add_argument("--z1pt0", type=float, metavar="M",
                      help="depth to Vs = 1 km/s of every site, m (default: from Vs30)")
    grid.add_argument("--z2pt5", type=float, metavar="KM",
                      help="depth to Vs = 2.5 km/s of every site, km (default: from Vs30)")
    parser.add_argument("--model", required=True, metavar="NAME", help=MODEL_HELP)
    parser.add_argument("--scenarios", required=True, metavar="FILE",
                        help="where the scenario table goes (.csv or .h5)")
    parser.add_argument("--pairs", required=True, metavar="FILE",
                        help="where the pair table goes (.csv or .h5)")
    parser.add_argument("--maximum-distance", type=float, default=DEFAULT_MAXIMUM_DISTANCE_KM,
                        metavar="KM", help="sites farther from a rupture (R_rup) are left out "
                                           "(default: %(default)s)")
    cut = parser.add_argument_group("how sources become ruptures")
    cut.add_argument("--rupture-mesh-spacing", type=float, default=5.0, metavar="KM",
                     help="spacing of the fault grid ruptures float on (default: %(default)s)")
    cut.add_argument("--area-source-discretization", type=float, default=10.0, metavar="KM",
                     help="spacing of an area source's points (default: %(default)s)")
    cut.add_argument("--width-of-mfd-bin", type=float, default=0.1, metavar="M",
                     help="magnitude bin width of Gutenberg-Richter MFDs (default: %(default)s)")
    parser.add_argument("--quiet", action="store_true",
                        help="no progress bar and no closing summary")
    parser.set_defaults(func=handle)
    return parser


def handle(args):
    """Run the ``ruptures`` command; returns the exit status."""
    status, summary = guarded("ruptures", lambda: _run(args))
    if status:
        return status
    if not args.quiet:
        print(f"{summary.ruptures} ruptures of {summary.sources} sources, {summary.sites} sites: "
              f"{summary.pairs} pairs within {args.maximum_distance:g} km -> {summary.scenarios}, "
              f"{summary.pairs_path}", file=sys.stderr)
        for note in summary.notes:
            print(f"  {note}", file=sys.stderr)
    return 0


def _run(args):
    from gmms import sources
    from gmms.errors import InputError

    from .writer import run

    if args.region is not None:
        if args.spacing is None or args.vs30 is None:
            raise InputError("--region: a grid of sites needs --spacing and --vs30")
        sites = sources.grid_sites(_polygon(args.region), args.spacing, vs30=args.vs30,
                                   z1pt0=args.z1pt0, z2pt5=args.z2pt5)
    else:
        for option in ("spacing", "vs30", "z1pt0", "z2pt5"):
            if getattr(args, option) is not None:
                raise InputError(f"--{option}: goes with --region, not --sites (a site model "
                                 "gives every site its own)")
        sites = args.sites
    discretization = sources.Discretization(
        width_of_mfd_bin=args.width_of_mfd_bin, rupture_mesh_spacing=args.rupture_mesh_spacing,
        area_source_discretization=args.area_source_discretization)
    return run(args.model, args.sources, sites, args.scenarios, args.pairs,
               maximum_distance=args.maximum_distance, discretization=discretization,
               progress=not args.quiet)


def _polygon(text):
    """[(lon, lat), ...] of 'LON LAT, LON LAT, ...'."""
    from gmms.errors import InputError

    points = []
    for k, pair in enumerate(text.split(","), start=1):
        values = pair.split()
        try:
            lon, lat = (float(value) for value in values)
        except ValueError:
            raise InputError(f"--region: point {k} ({pair.strip()!r}) is not 'LON LAT'") from None
        points.append((lon, lat))
    if len(points) < 3:
        raise InputError(f"--region: a polygon needs at least 3 points, not {len(points)}")
    return points
