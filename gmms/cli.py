"""The subcommands ``evaluate`` and ``trellis`` of ``python3 -m gmms``.

``evaluate MODEL SITES``: one scenario, its source parameters given as options named as the entry
function's parameters, the sites read from a CSV file whose columns are named as the site
parameters. The results (mean of ln IM, median IM, phi, tau per site) go to a CSV file or, as a
table, to stdout.

``trellis``: a PNG of median IM against rupture distance for every model and IM (gmms.trellis).

Morrand and Sellwyn run on the stand-in sibling modules unless ``--siblings DIR`` names the
directory of the real ones.
"""

import argparse
import csv
import difflib
import io
import math
import pathlib
import sys

from gmms import models
from gmms.errors import InputError  # a problem with the input: one line, no traceback


def add_parser(subparsers):
    """Registers ``evaluate`` and ``trellis``."""
    _add_evaluate(subparsers)
    _add_trellis(subparsers)


# ---------------------------------------------------------------------------------------------
# Loading a model

def load(model, siblings=None):
    """gmms.<model> with its sibling module from ``siblings`` (default: the stand-ins, noted on
    stderr)."""
    from gmms.siblings import STANDIN_DIR

    if model.sibling is not None and siblings is None and STANDIN_DIR.is_dir():
        print(f"note: {model.name} runs on the STAND-IN {model.sibling} from {STANDIN_DIR}: made-up "
              f"numbers, not for hazard work; name the real module's directory with --siblings DIR",
              file=sys.stderr)
    try:
        return models.load(model, siblings)
    except models.LoadError as error:
        raise InputError(str(error)) from None


def call(model, module, arguments):
    """Calls the model's entry function with keyword ``arguments``; returns (mean, phi, tau)."""
    try:
        return getattr(module, model.entry)(**arguments)
    except Exception as error:  # the model's or a sibling's: report it, it is about the input
        raise InputError(f"{model.entry}: {type(error).__name__}: {error}") from None


# ---------------------------------------------------------------------------------------------
# Sites from CSV

class Sites:
    """The rows of a sites file: the header, the cells as text, and the model's columns as float64."""

    def __init__(self, header, rows, columns):
        self.header = header
        self.rows = rows
        self.columns = columns


def read_sites(path, names):
    """Reads the sites file ``path``; ``names`` are the columns that must be there, as numbers.

    Blank lines are skipped; other columns are kept as text. Errors name the file, the line and
    the column.
    """
    import numpy as np

    try:
        data = pathlib.Path(path).read_bytes()
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise InputError(f"{path}, line {line}: not UTF-8 text") from None

    reader = csv.reader(io.StringIO(text, newline=""), strict=True)
    header = None
    rows = []
    try:
        for row in reader:
            if not any(cell.strip() for cell in row):
                continue
            if header is None:
                header = [cell.strip() for cell in row]
                _check_header(path, reader.line_num, header, names)
                positions = [header.index(name) for name in names]
                values = [[] for _ in names]
                continue
            if len(row) != len(header):
                raise InputError(f"{path}, line {reader.line_num}: {len(row)} fields, "
                                 f"but the header has {len(header)}")
            for value, name, position in zip(values, names, positions):
                value.append(_number(path, reader.line_num, position, name, row[position]))
            rows.append(row)
    except csv.Error as error:
        raise InputError(f"{path}, line {reader.line_num}: {error}") from None
    if header is None:
        raise InputError(f"{path}: empty file; expected a header line naming the columns {', '.join(names)}")
    columns = {name: np.array(value, dtype=np.float64) for name, value in zip(names, values)}
    return Sites(header, rows, columns)


def _check_header(path, line, header, names):
    for column, name in enumerate(header, 1):
        if name in header[:column - 1]:
            raise InputError(f"{path}, line {line}, column {column}: column {name!r} appears twice")
    for name in names:
        if name not in header:
            hint = difflib.get_close_matches(name, header, n=1, cutoff=0.6)
            hint = f"; did you mean {hint[0]!r}?" if hint else ""
            raise InputError(f"{path}, line {line}: no column {name!r} (the header has: "
                             f"{', '.join(header)}){hint}")


def _number(path, line, position, name, text):
    try:
        return float(text)
    except ValueError:
        what = "the cell is empty" if not text.strip() else f"{text!r} is not a number"
        raise InputError(f"{path}, line {line}, column {position + 1} ({name}): {what}") from None


# ---------------------------------------------------------------------------------------------
# evaluate

def _add_evaluate(subparsers):
    parser = subparsers.add_parser(
        "evaluate", help="evaluate one model for one scenario at the sites of a CSV file",
        description="Evaluate one model for one earthquake scenario at the sites of a CSV file.")
    per_model = parser.add_subparsers(dest="model", metavar="MODEL", required=True)
    for model in models.MODELS.values():
        _add_model_parser(per_model, model)


def _add_model_parser(subparsers, model):
    measures = ", ".join(f"{name} ({models.MEASURES[name]})" for name in model.measures.values())
    sites = ", ".join(p.name for p in model.site_parameters)
    parser = subparsers.add_parser(
        model.name, help=f"{measures}",
        description=f"{model.name}: {measures}. The scenario's source parameters are options; the "
                    f"sites come from a CSV file with the columns {sites}.",
        epilog="The results, per site: the mean of ln IM, the median IM (its exponential), phi and "
               "tau (the within- and between-event standard deviations of ln IM). Other columns of "
               "the sites file are copied to the output.")
    parser.add_argument("sites", metavar="SITES", type=pathlib.Path,
                        help=f"CSV file, one row per site, with a header naming the columns {sites}")
    scenario = parser.add_argument_group("scenario (all required)")
    for p in model.scenario_parameters:
        if p.name == "IM":
            scenario.add_argument("--IM", required=True, type=_im_type(model), metavar="{0,1,Ia,CAV}",
                                  help=p.describe())
        else:
            kinds = {"double": float, "int": int, "object": str}
            scenario.add_argument(f"--{p.name}", required=True, type=kinds[p.kind], help=p.describe())
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write the results as CSV to FILE ('-': stdout); default: a table on stdout")
    if model.sibling is not None:
        parser.add_argument("--siblings", metavar="DIR",
                            help=f"directory holding the real {model.sibling} module "
                                 f"(default: the stand-in, made-up numbers)")
    parser.set_defaults(func=_evaluate, siblings=None)


def _im_type(model):
    by_name = {name.lower(): number for number, name in model.measures.items()}

    def im(text):
        key = text.strip().lower()
        if key in by_name:
            return by_name[key]
        if key in {str(number) for number in model.measures}:
            return int(key)
        raise argparse.ArgumentTypeError(f"{text!r}: expected 0 or Ia, 1 or CAV")

    return im


def _evaluate(args):
    model = models.MODELS[args.model]
    try:
        sites = read_sites(args.sites, [p.name for p in model.site_parameters])
        measure = model.measures[getattr(args, "IM", None)]
        result_names = [f"mean_ln_{measure}", f"median_{measure}", "phi", "tau"]
        for name in result_names:
            if name in sites.header:
                raise InputError(f"{args.sites}, line 1: column {name!r} has the name of a result column")
        module = load(model, args.siblings)
        arguments = {p.name: getattr(args, p.name) for p in model.scenario_parameters}
        arguments.update(sites.columns)
        mean, phi, tau = call(model, module, arguments)
    except InputError as error:
        return _fail("evaluate", error)

    import numpy as np

    header = sites.header + result_names
    results = zip(mean, np.exp(mean), phi, tau)
    if args.output is None:
        rows = [row + [f"{v:.6g}" for v in values] for row, values in zip(sites.rows, results)]
        _print_table(header, rows)
        return 0
    rows = [row + [repr(float(v)) for v in values] for row, values in zip(sites.rows, results)]
    try:
        if args.output == "-":
            _write_csv(sys.stdout, header, rows)
        else:
            with open(args.output, "w", newline="", encoding="utf-8") as stream:
                _write_csv(stream, header, rows)
    except OSError as error:
        return _fail("evaluate", f"{args.output}: {error.strerror or error}")
    return 0


def _write_csv(stream, header, rows):
    writer = csv.writer(stream, lineterminator="\n")
    writer.writerow(header)
    writer.writerows(rows)


def _print_table(header, rows):
    widths = [max([len(name)] + [len(row[i]) for row in rows]) for i, name in enumerate(header)]
    print("  ".join(name.rjust(width) for name, width in zip(header, widths)))
    for row in rows:
        print("  ".join(cell.rjust(width) for cell, width in zip(row, widths)))


def _fail(command, error):
    print(f"python3 -m gmms {command}: error: {error}", file=sys.stderr)
    return 1


# ---------------------------------------------------------------------------------------------
# trellis

def _add_trellis(subparsers):
    parser = subparsers.add_parser(
        "trellis", help="plot median IM against rupture distance for every model (PNG)",
        description="Plot the median IM of every model against rupture distance, on log-log axes, "
                    "for several magnitudes and site classes: one panel per model and IM.")
    parser.add_argument("-o", "--output", metavar="FILE", default="trellis.png",
                        help="PNG file to write (default: trellis.png)")
    parser.add_argument("--magnitudes", metavar="M", type=float, nargs="+", default=[5.0, 6.0, 7.0, 8.0],
                        help="magnitudes, one line colour each (default: 5 6 7 8)")
    parser.add_argument("--vs30", metavar="M/S", type=float, nargs="+", default=[760.0, 360.0, 180.0],
                        help="site classes by Vs30 in m/s, one line style each (default: 760 360 180)")
    parser.add_argument("--siblings", metavar="DIR",
                        help=f"directory holding the real {models.spoken_list(models.SIBLINGS)} modules "
                             "(default: the stand-ins, made-up numbers)")
    parser.set_defaults(func=_trellis)


def _trellis(args):
    from gmms import trellis  # without matplotlib, python3 -m gmms says which extra to install
    if not all(math.isfinite(m) for m in args.magnitudes):
        return _fail("trellis", "--magnitudes: every magnitude must be a finite number")
    if not all(math.isfinite(v) and v > 0 for v in args.vs30):
        return _fail("trellis", "--vs30: every Vs30 must be a positive number")
    try:
        modules = {name: load(model, args.siblings) for name, model in models.MODELS.items()}
        figure = trellis.plot(modules, args.magnitudes, args.vs30, standins=args.siblings is None)
    except InputError as error:
        return _fail("trellis", error)
    except Exception as error:  # raised by a model or a sibling
        return _fail("trellis", f"{type(error).__name__}: {error}")
    try:
        figure.savefig(args.output, format="png")
    except OSError as error:
        return _fail("trellis", f"{args.output}: {error.strerror or error}")
    print(f"wrote {args.output}")
    return 0
