"""``python3 -m gmms``: the models from the command line.

Subcommands: ``evaluate`` and ``trellis`` (gmms.cli), and ``catalogue``, ``hazard`` and
``ruptures`` when gmms.catalogue, gmms.hazard and gmms.ruptures are there. Each subcommand module offers
``add_parser(subparsers)``, which registers its subcommands with ``set_defaults(func=handler)``;
a handler takes the parsed arguments and returns the exit code.
"""

import argparse
import importlib
import importlib.util
import sys

from gmms import __version__, cli

CATALOGUE = "gmms.catalogue"
HAZARD = "gmms.hazard"
RUPTURES = "gmms.ruptures"


def build_parser(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m gmms",
        description="Earthquake ground-motion models from the command line.")
    parser.add_argument("--version", action="version", version=f"gmms {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    cli.add_parser(subparsers)
    command = _command(argv)
    _add_optional(subparsers, command, "catalogue", CATALOGUE, "scenario catalogues")
    _add_optional(subparsers, command, "hazard", HAZARD, "seismic hazard: curves, uniform hazard, disaggregation")
    _add_optional(subparsers, command, "ruptures", RUPTURES, "scenario and pair tables from a seismic source model and sites")
    return parser


def _command(argv):
    """The subcommand named in ``argv``, or None (help, or nothing named)."""
    return next((arg for arg in argv if not arg.startswith("-")), None)


def _add_optional(subparsers, command, name, module, help):
    # Imported only when it is asked for (or for help), so that a slow or broken optional
    # module can neither slow down nor break the other subcommands.
    if importlib.util.find_spec(module) is None:
        return
    if command not in (None, name):
        subparsers.add_parser(name, help=help)
        return
    try:
        importlib.import_module(module).add_parser(subparsers)
    except Exception as error:
        failure = f"{type(error).__name__}: {error}"
        parser = subparsers.add_parser(name, help=f"{help} (unavailable: {failure})")
        parser.set_defaults(func=lambda args: _unavailable(name, module, failure))


def _unavailable(name, module, failure):
    print(f"python3 -m gmms {name}: error: cannot load {module}: {failure}", file=sys.stderr)
    return 1


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    args = build_parser(argv).parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
