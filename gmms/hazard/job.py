"""A hazard job file: the field's INI convention, read and checked before any work.

``key = value`` lines in sections of any name, keys named as the field names them, and one
section ``[models]``: a line per tectonic region, its models with their choices and weights::

    [models]
    Active Shallow Crust = Sellwyn(IM=1, region="global") 0.6, mypackage.models:my_model 0.4

Relative paths are relative to the job file. Every setting may also be given by the caller (an
option of the command line), which wins over the file. A problem is an ``InputError`` naming the
file, the line and the key, or the option.
"""

import ast
import configparser
import dataclasses
import math
import os
import re
from typing import Any, Dict, Optional, Tuple

from gmms import models
from gmms.errors import InputError

MODELS_SECTION = "models"
WEIGHT_TOLERANCE = 1e-6


@dataclasses.dataclass(frozen=True)
class ModelBranch:
    """One model of a tectonic region, with its choices for the run and its weight."""
    region: str
    name: str
    choices: Dict[str, Any]
    weight: float
    text: str                           # as written: "Sellwyn(IM=1, region='global')"

    @property
    def model(self):
        return models.resolve(self.name)


@dataclasses.dataclass(frozen=True)
class Job:
    """A checked hazard job. Paths are absolute; depths as the field gives them (Z1.0 in m,
    Z2.5 in km); ``truncation_level`` math.inf when untruncated, 0 for the median only."""
    path: Optional[str]
    description: str
    source_model_file: str
    site_model_file: Optional[str]
    sites: Optional[Tuple[Tuple[float, float], ...]]
    region: Optional[Tuple[Tuple[float, float], ...]]
    region_grid_spacing: Optional[float]
    reference_vs30_value: Optional[float]
    reference_vs30_type: str
    reference_depth_to_1pt0km_per_sec: Optional[float]
    reference_depth_to_2pt5km_per_sec: Optional[float]
    imt: str
    levels: Tuple[float, ...]
    truncation_level: float
    truncation_tails: str
    maximum_distance: Any               # km, or {tectonic region: km}
    investigation_time: float
    poes: Tuple[float, ...]
    quantiles: Tuple[float, ...]
    mean: bool
    use_rates: bool
    individual_rlzs: bool
    rupture_mesh_spacing: float
    width_of_mfd_bin: float
    area_source_discretization: float
    disagg_sites: Optional[Tuple[int, ...]]
    poes_disagg: Tuple[float, ...]
    mag_bin_width: float
    distance_bin_width: float
    epsilon_bin_width: float
    export_dir: Optional[str]
    models: Tuple[ModelBranch, ...]

    @property
    def regions(self):
        """The tectonic regions of the [models] section, in order."""
        return tuple(dict.fromkeys(branch.region for branch in self.models))


# --- values ----------------------------------------------------------------------------------

class _Bad(ValueError):
    """A value that cannot be used; the reader adds where it stands."""


def _number(text):
    try:
        value = float(text)
    except (TypeError, ValueError):
        raise _Bad(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise _Bad(f"{text!r} is not a finite number")
    return value


def _positive(text):
    value = _number(text)
    if value <= 0:
        raise _Bad(f"must be above 0, not {text!r}")
    return value


def _numbers(text):
    """Numbers separated by spaces or commas; a Python list literal too."""
    text = str(text).strip()
    if text.startswith("["):
        try:
            values = ast.literal_eval(text)
        except (ValueError, SyntaxError):
            raise _Bad(f"{text!r} is not a list of numbers") from None
    else:
        values = [value for value in re.split(r"[\s,]+", text) if value]
    return tuple(_number(value) for value in values)


def _probabilities(text):
    values = _numbers(text)
    for value in values:
        if not 0 < value < 1:
            raise _Bad(f"{value:g} is not a probability strictly between 0 and 1")
    return values


def _boolean(text):
    lowered = str(text).strip().lower()
    if lowered in ("true", "yes", "on", "1"):
        return True
    if lowered in ("false", "no", "off", "0"):
        return False
    raise _Bad(f"{text!r} is neither true nor false")


def _points(text):
    """'lon lat, lon lat, ...'."""
    points = []
    for k, pair in enumerate(str(text).split(","), start=1):
        values = pair.split()
        if len(values) != 2:
            raise _Bad(f"point {k} ({pair.strip()!r}) is not 'lon lat'")
        lon, lat = (_number(value) for value in values)
        if not (-180 <= lon <= 180 and -90 <= lat <= 90):
            raise _Bad(f"point {k} ({pair.strip()!r}) is not a longitude and a latitude")
        points.append((lon, lat))
    return tuple(points)


def _truncation(text):
    if str(text).strip().lower() in ("none", "inf", "infinity"):
        return math.inf
    value = _number(text)
    if value < 0:
        raise _Bad(f"must be 0 (the median only), above 0 sigmas, or none, not {text!r}")
    return value


def _tails(text):
    value = str(text).strip().lower()
    if value not in ("both", "upper"):
        raise _Bad(f"{text!r} is neither both nor upper")
    return value


def _levels(text):
    """{"IMT": [levels]} (a Python dict literal; logscale(a, b, n) for a log-spaced list)."""
    text = str(text).strip()
    expanded = re.sub(r"logscale\(([^)]*)\)", lambda m: repr(_logscale(m.group(1))), text)
    try:
        value = ast.literal_eval(expanded)
    except (ValueError, SyntaxError):
        raise _Bad(f"{text!r} is not a dict of IMT and levels, such as {{\"PGA\": [0.01, 0.1, "
                   "1.0]}") from None
    if not isinstance(value, dict) or len(value) != 1:
        raise _Bad("one IMT per run: a dict with one IMT and its levels")
    (imt, levels), = value.items()
    levels = tuple(_positive(level) for level in (levels if isinstance(levels, (list, tuple))
                                                   else [levels]))
    if not levels:
        raise _Bad(f"no levels for {imt}")
    for low, high in zip(levels, levels[1:]):
        if not high > low:
            raise _Bad(f"the levels must be strictly increasing: {low:g} is followed by {high:g}")
    return str(imt), levels


def _logscale(arguments):
    try:
        low, high, n = (float(value) for value in arguments.split(","))
    except ValueError:
        raise _Bad(f"logscale({arguments}): expected logscale(low, high, n)") from None
    if not (0 < low < high) or n < 2 or n != int(n):
        raise _Bad(f"logscale({arguments}): needs 0 < low < high and n >= 2 levels")
    n = int(n)
    return [math.exp(math.log(low) + (math.log(high) - math.log(low)) * k / (n - 1))
            for k in range(n)]


def _distance(text):
    """A number, or {tectonic region: km, 'default': km}."""
    text = str(text).strip()
    if not text.startswith("{"):
        return _positive(text)
    try:
        value = ast.literal_eval(text)
    except (ValueError, SyntaxError):
        raise _Bad(f"{text!r} is neither a number nor a dict of tectonic region and km") from None
    if not isinstance(value, dict):
        raise _Bad(f"{text!r} is neither a number nor a dict of tectonic region and km")
    return {str(region): _positive(km) for region, km in value.items()}


def _site_ids(text):
    ids = []
    for value in re.split(r"[\s,]+", str(text).strip()):
        if value:
            try:
                ids.append(int(value))
            except ValueError:
                raise _Bad(f"{value!r} is not a site_id (an integer)") from None
    return tuple(dict.fromkeys(ids))


def _text(text):
    return str(text).strip()


def _vs30_type(text):
    value = str(text).strip().lower()
    if value not in ("inferred", "measured"):
        raise _Bad(f"{text!r} is neither inferred nor measured")
    return value


def _calculation_mode(text):
    if str(text).strip() != "classical":
        raise _Bad(f"{text!r}: gmms runs classical hazard only")
    return "classical"


# key: (convert, default; REQUIRED: no default, PATH: a path relative to the job file)
REQUIRED = object()
PATH = "path"
SETTINGS = {
    "description": (_text, ""),
    "calculation_mode": (_calculation_mode, "classical"),
    "source_model_file": (PATH, REQUIRED),
    "site_model_file": (PATH, None),
    "sites": (_points, None),
    "region": (_points, None),
    "region_grid_spacing": (_positive, None),
    "reference_vs30_value": (_positive, None),
    "reference_vs30_type": (_vs30_type, "inferred"),
    "reference_depth_to_1pt0km_per_sec": (_positive, None),
    "reference_depth_to_2pt5km_per_sec": (_positive, None),
    "intensity_measure_types_and_levels": (_levels, REQUIRED),
    "truncation_level": (_truncation, REQUIRED),
    "truncation_tails": (_tails, "both"),
    "maximum_distance": (_distance, REQUIRED),
    "investigation_time": (_positive, REQUIRED),
    "poes": (_probabilities, ()),
    "quantiles": (_probabilities, ()),
    "mean": (_boolean, True),
    "use_rates": (_boolean, False),
    "individual_rlzs": (_boolean, False),
    "rupture_mesh_spacing": (_positive, 5.0),
    "width_of_mfd_bin": (_positive, 0.1),
    "area_source_discretization": (_positive, 10.0),
    "disagg_sites": (_site_ids, None),
    "poes_disagg": (_probabilities, ()),
    "mag_bin_width": (_positive, 0.5),
    "distance_bin_width": (_positive, 10.0),
    "epsilon_bin_width": (_positive, 1.0),
    "export_dir": (PATH, None),
    # Accepted as the field writes them, with no effect here.
    "hazard_maps": (_boolean, True),
    "uniform_hazard_spectra": (_boolean, True),
}
# Older spellings of the field's keys.
ALIASES = {"individual_curves": "individual_rlzs"}


# --- the [models] section --------------------------------------------------------------------

def _split_top(text, separator=","):
    """``text`` split at ``separator`` outside parentheses and quotes."""
    parts, depth, quote, start = [], 0, None, 0
    for i, c in enumerate(text):
        if quote:
            if c == quote:
                quote = None
        elif c in "'\"":
            quote = c
        elif c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
        elif c == separator and depth == 0:
            parts.append(text[start:i])
            start = i + 1
    parts.append(text[start:])
    return parts


def parse_branches(region, text):
    """The ModelBranches of a [models] line: 'MODEL(choices) WEIGHT, MODEL WEIGHT, ...' (one
    model alone may leave out its weight, 1). Raises _Bad."""
    items = [item.strip() for item in _split_top(text)]
    if not any(items):
        raise _Bad("no models")
    branches = []
    for item in items:
        if not item:
            raise _Bad("an empty entry between commas")
        spec, weight = item, None
        match = re.fullmatch(r"(.*?)\s+([0-9.eE+-]+)", item, re.S)
        if match and not match.group(1).rstrip().endswith(("=", ",")):
            spec, weight = match.group(1).strip(), match.group(2)
        if weight is None:
            if len(items) > 1:
                raise _Bad(f"{item!r}: a weight is needed after each of several models")
            weight = "1"
        try:
            name, choices = models.parse_model(spec)
            model = models.resolve(name)
            choices = models.check_choices(model, choices)
        except KeyError:
            raise _Bad(f"unknown model {spec!r}: one of {', '.join(models.MODELS)}, or a model "
                       "of your own as package.module:function") from None
        except (ValueError, models.LoadError) as error:
            raise _Bad(str(error)) from None
        branches.append(ModelBranch(region, name, choices, _positive(weight), spec))
    total = math.fsum(branch.weight for branch in branches)
    if abs(total - 1.0) > WEIGHT_TOLERANCE:
        raise _Bad(f"the weights add up to {total:.12g}, not 1")
    return branches


# --- reading ---------------------------------------------------------------------------------

class _Lines:
    """Where each key stands in the file."""

    def __init__(self, path, text):
        self.path = path
        self.at = {}
        section = None
        for number, line in enumerate(text.splitlines(), start=1):
            stripped = line.strip()
            heading = re.fullmatch(r"\[([^\]]*)\]", stripped)
            if heading:
                section = heading.group(1).strip()
            elif stripped and not stripped.startswith(("#", ";")) and not line[:1].isspace():
                key = re.split(r"[=:]", stripped, maxsplit=1)[0].strip()
                self.at.setdefault((section, key), number)

    def where(self, section, key):
        number = self.at.get((section, key))
        return f"{self.path}, line {number}, {key}" if number else f"{self.path}, {key}"


def read_job(path=None, options=None):
    """The checked ``Job`` of the file ``path`` with ``options`` ({key: value}, values as
    text or as numbers; a ``models`` option is {region: text of its line}) over it; with no
    file, the options alone. Raises InputError naming the file, the line and the key (or the
    option) of the first problem."""
    options = {ALIASES.get(key, key): value for key, value in (options or {}).items()
               if value is not None}
    raw, lines, base = {}, None, os.getcwd()
    if path is not None:
        path = os.path.abspath(os.fspath(path))
        base = os.path.dirname(path)
        try:
            with open(path, encoding="utf-8") as file:
                text = file.read()
        except (OSError, UnicodeDecodeError) as error:
            raise InputError(f"{path}: cannot read the job file ({error})") from None
        lines = _Lines(path, text)
        raw = _parse(path, text, lines)
    values, where = {}, {}
    file_models = raw.pop(MODELS_SECTION, {})
    for key, (value, section) in raw.items():
        key = ALIASES.get(key, key)
        if key not in SETTINGS:
            raise InputError(f"{lines.where(section, key)}: unknown key (gmms reads "
                             f"{', '.join(SETTINGS)})")
        values[key], where[key] = value, lines.where(section, key)
    for key, value in options.items():
        if key == MODELS_SECTION:
            continue
        if key not in SETTINGS:
            raise InputError(f"--{key.replace('_', '-')}: unknown setting")
        values[key], where[key] = value, f"--{key.replace('_', '-')}"
    settings = {}
    for key, (convert, default) in SETTINGS.items():
        if key not in values:
            if default is REQUIRED:
                raise InputError(f"{path or 'the job'}: {key} is needed")
            settings[key] = default
            continue
        value = values[key]
        try:
            if convert == PATH:
                settings[key] = os.path.normpath(os.path.join(base, os.path.expanduser(str(value).strip())))
            else:
                settings[key] = convert(value)
        except _Bad as error:
            raise InputError(f"{where[key]}: {error}") from None
    branches = _branches(file_models, options.get(MODELS_SECTION), lines, path)
    return _checked(path, settings, branches, where)


def _parse(path, text, lines):
    parser = configparser.ConfigParser(interpolation=None, strict=True,
                                       inline_comment_prefixes=None, default_section="\0")
    parser.optionxform = str                        # keys and tectonic regions keep their case
    try:
        parser.read_string(text, source=path)
    except configparser.MissingSectionHeaderError as error:
        raise InputError(f"{path}, line {error.lineno}: a section heading such as [general] "
                         "comes before the first key") from None
    except configparser.DuplicateOptionError as error:
        first = lines.at.get((error.section, error.option))
        raise InputError(f"{path}, line {error.lineno}, {error.option}: given twice (first at "
                         f"line {first})") from None
    except configparser.DuplicateSectionError as error:
        raise InputError(f"{path}, line {error.lineno}: section [{error.section}] is given "
                         "twice") from None
    except configparser.Error as error:
        raise InputError(f"{path}: {error.message.splitlines()[0]}") from None
    raw, seen = {}, {}
    for section in parser.sections():
        if section.strip().lower() == MODELS_SECTION:
            raw.setdefault(MODELS_SECTION, {}).update(
                {region: (value, section) for region, value in parser.items(section)})
            continue
        for key, value in parser.items(section):
            if key in seen:
                raise InputError(f"{lines.where(section, key)}: given twice (first at "
                                 f"{seen[key]})")
            seen[key] = lines.where(section, key)
            raw[key] = (value, section)
    return raw


def _branches(file_models, option_models, lines, path):
    lines_of = {}
    for region, (text, section) in file_models.items():
        lines_of[region] = (text, lines.where(section, region))
    for region, text in (option_models or {}).items():
        lines_of[region] = (text, f"--models {region!r}")
    if not lines_of:
        raise InputError(f"{path or 'the job'}: no [models] section: a line per tectonic region, "
                         "such as Active Shallow Crust = Tarvik(IM=\"CAV\") 1.0")
    branches = []
    for region, (text, where) in lines_of.items():
        try:
            branches.extend(parse_branches(region, text))
        except _Bad as error:
            raise InputError(f"{where}: {error}") from None
    return tuple(branches)


def _checked(path, s, branches, where):
    """The combinations of settings that must agree."""
    name = path or "the job"
    given = [key for key in ("site_model_file", "sites", "region") if s[key] is not None]
    if not given:
        raise InputError(f"{name}: the sites are needed: site_model_file, sites, or region "
                         "with region_grid_spacing")
    if len(given) > 1:
        raise InputError(f"{where[given[1]]}: give one of site_model_file, sites and region, "
                         f"not {given[0]} too")
    if s["region"] is not None and s["region_grid_spacing"] is None:
        raise InputError(f"{where['region']}: a region needs region_grid_spacing (km)")
    if s["region"] is not None and len(s["region"]) < 3:
        raise InputError(f"{where['region']}: a polygon needs at least 3 points")
    if s["site_model_file"] is None and s["reference_vs30_value"] is None:
        raise InputError(f"{where[given[0]]}: sites without a site model need "
                         "reference_vs30_value")
    if s["poes_disagg"] and not s["disagg_sites"]:
        raise InputError(f"{where['poes_disagg']}: goes with disagg_sites (the site ids to "
                         "disaggregate)")
    if s["truncation_tails"] == "upper" and math.isinf(s["truncation_level"]):
        raise InputError(f"{where['truncation_tails']}: an untruncated distribution has no tail "
                         "to cut")
    imt, levels = s.pop("intensity_measure_types_and_levels")
    for branch in branches:
        produced = branch.model.im_label([branch.choices["IM"]] if "IM" in branch.choices else ())
        if produced != imt:
            raise InputError(f"{name}: {branch.text} gives {produced}, not the job's IMT {imt}")
    s.pop("calculation_mode")
    s.pop("hazard_maps")
    s.pop("uniform_hazard_spectra")
    return Job(path=path, imt=imt, levels=levels, models=branches, **s)
