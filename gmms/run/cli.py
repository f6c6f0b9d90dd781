"""The command-line form of a run over pairs: the options every such command takes, and the
one-line report of a run that failed."""

import argparse
import os
import sys
import warnings

from gmms.errors import GmmsError
from gmms.models import MODELS, SIBLINGS, is_user_model, spoken_list

from . import security

MODEL_NAMES = tuple(MODELS)


class ModelNames(tuple):
    """The models a command accepts: those of the registry, and any of the user's own named
    ``package.module:function`` (argparse lists the registry's when a name is neither)."""

    def __contains__(self, name):
        return is_user_model(name) or super().__contains__(name)


MODEL_HELP = (f"one of {', '.join(MODEL_NAMES)}, or a model of your own as "
              "package.module:function")


def positive(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def add_table_arguments(parser, scenarios_help="the scenario table (.csv or .h5)", required=True):
    """The model and its pair table: the arguments every command over a pair table takes (not
    required by argparse for a command that has another way in, which checks them itself)."""
    parser.add_argument("model", choices=ModelNames(MODEL_NAMES), metavar="MODEL",
                        help=MODEL_HELP, **({} if required else {"nargs": "?"}))
    parser.add_argument("--scenarios", required=required, metavar="FILE", help=scenarios_help)
    parser.add_argument("--pairs", required=required, metavar="FILE",
                        help="the pair table (.csv or .h5)")


def add_run_options(parser):
    """Where and how a run goes: the options every command over pairs shares (read back with
    ``gmms.run.options.RunOptions.from_args``)."""
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--scheduler", metavar="ADDRESS",
                      help="run on the Dask cluster of this scheduler (e.g. tcp://host:8786)")
    mode.add_argument("--workers", type=positive, metavar="N",
                      help="run on a local cluster of N worker processes (default: one per core)")
    mode.add_argument("--serial", action="store_true",
                      help="run in this process, without Dask")
    parser.add_argument("--siblings", metavar="DIR",
                        help=f"directory of the sibling modules {spoken_list(SIBLINGS)}, on every "
                             "worker (default: the stand-ins shipped with gmms)")
    parser.add_argument("--batch-pairs", type=positive, metavar="N",
                        help="target number of pairs per task (default: several tasks per "
                             "worker, none too small to be worth sending)")
    parser.add_argument("--quiet", action="store_true",
                        help="no progress bar and no closing summary")
    security.add_options(parser)


def guarded(command, call, kept=None):
    """``(0, what call() returns)``, or for a run that failed or was interrupted, its exit
    status and None, once the one line that says why is on stderr (for an interrupted run,
    also that ``kept``, the partial state's directory, holds what was complete)."""
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _one_line(command, warnings.showwarning)
            return 0, call()
    except GmmsError as error:
        print(f"gmms {command}: error: {error}", file=sys.stderr)
        return 1, None
    except KeyboardInterrupt:
        print(f"gmms {command}: interrupted; no output written"
              + (f"; what was complete is kept in {kept} for --resume"
                 if kept is not None and os.path.isdir(kept) else ""), file=sys.stderr)
        return 130, None


def _one_line(command, show):
    """Show our warning as the command's own line, any other as before."""
    def shown(message, category, *rest):
        if issubclass(category, security.InsecureSchedulerWarning):
            print(f"gmms {command}: warning: {message}", file=sys.stderr)
        else:
            show(message, category, *rest)
    return shown
