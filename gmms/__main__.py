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
        cause = missing_package(error) or f"{type(error).__name__}: {error}"
        failure = cause if missing_package(error) else f"cannot load {module}: {cause}"
        parser = subparsers.add_parser(name, help=f"{help} (unavailable: {cause})",
                                       description=f"Unavailable: {failure}.")
        # Whatever else was given is taken (see main), so that the cause is what the user
        # reads, not a usage error.
        parser.set_defaults(func=lambda args: _fail(name, failure), takes_anything=True)


def _fail(name, failure):
    print(f"python3 -m gmms {name}: error: {failure}", file=sys.stderr)
    return 1


# The packages gmms uses that are not part of Python, by import name: None for what every
# installation of gmms has, else the extra that brings it (pyproject.toml).
PACKAGES = {"numpy": None, "shapely": None, "pandas": "catalogue", "h5py": "catalogue",
            "distributed": "catalogue", "dask": "catalogue", "tqdm": "catalogue",
            "matplotlib": "plot"}


def missing_package(error):
    """For an ImportError of one of PACKAGES: one line naming the package, this interpreter and
    what to install; otherwise None."""
    name = getattr(error, "name", None) if isinstance(error, ModuleNotFoundError) else None
    top = (name or "").split(".")[0]
    if top not in PACKAGES:
        return None
    extra = PACKAGES[top]
    install = f"pip install gmms[{extra}]" if extra else f"pip install {top}"
    return f"this needs the package {top}, which the interpreter {sys.executable} does not have ({install})"


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = build_parser(argv)
    args, unknown = parser.parse_known_args(argv)
    if unknown and not getattr(args, "takes_anything", False):
        parser.parse_args(argv)  # argparse's own message for what it does not know
    try:
        return args.func(args)
    except ModuleNotFoundError as error:
        missing = missing_package(error)
        if missing is None:
            raise
        return _fail(args.command, missing)


if __name__ == "__main__":
    sys.exit(main())
