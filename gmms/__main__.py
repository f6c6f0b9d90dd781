"""``python3 -m gmms``: the models from the command line.

Subcommands: ``evaluate`` and ``trellis`` (gmms.cli), and ``catalogue`` when gmms.catalogue is
there. Each subcommand module offers ``add_parser(subparsers)``, which registers its subcommands
with ``set_defaults(func=handler)``; a handler takes the parsed arguments and returns the exit code.
"""

import argparse
import importlib
import importlib.util
import sys

from gmms import __version__, cli

CATALOGUE = "gmms.catalogue"


def build_parser(argv):
    parser = argparse.ArgumentParser(
        prog="python3 -m gmms",
        description="Earthquake ground-motion models from the command line.")
    parser.add_argument("--version", action="version", version=f"gmms {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    cli.add_parser(subparsers)
    _add_catalogue(subparsers, _command(argv))
    return parser


def _command(argv):
    """The subcommand named in ``argv``, or None (help, or nothing named)."""
    return next((arg for arg in argv if not arg.startswith("-")), None)


def _add_catalogue(subparsers, command):
    # Imported only when it is asked for (or for help), so that a slow or broken catalogue
    # module can neither slow down nor break the other subcommands.
    if importlib.util.find_spec(CATALOGUE) is None:
        return
    if command not in (None, "catalogue"):
        subparsers.add_parser("catalogue", help="scenario catalogues")
        return
    try:
        importlib.import_module(CATALOGUE).add_parser(subparsers)
    except Exception as error:
        failure = f"{type(error).__name__}: {error}"
        parser = subparsers.add_parser("catalogue", help=f"scenario catalogues (unavailable: {failure})")
        parser.set_defaults(func=lambda args: _unavailable(failure))


def _unavailable(failure):
    print(f"python3 -m gmms catalogue: error: cannot load {CATALOGUE}: {failure}", file=sys.stderr)
    return 1


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    args = build_parser(argv).parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
