"""The model registry: everything Python knows about each model, written once.

One entry per model: its entry function's parameters in order (name, kind, unit, meaning, how a
synthetic catalogue draws it and what the trellis gives it), its intensity measures, the sibling
module it is built on, its rupture-distance parameter and the scenario of its trellis panels.
The command line, the trellis, the catalogue runner and the synthetic catalogue derive what they
need from here; tests/test_cli.py checks every entry against the built module.

``kind`` is how the entry function converts the argument: "double", "int" (32 bits), "sites"
(one float64 per site) or "object" (passed on unchanged).
"""

import importlib
import importlib.machinery
import math
import os
import pathlib
from collections import namedtuple
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Optional, Tuple

DOUBLE, INT, SITES, OBJECT = "double", "int", "sites", "object"
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

# Sellwyn's reference rock, as Sellwyn.cpp defines it: the rock motion is asked of Brisquell for
# Vs30 1100 m/s and the depth to Vs = 2.5 km/s that goes with it, exp(7.089 - 1.144 ln Vs30) km.
REFERENCE_ROCK_VS30_MPS = 1100.0
Z2P5_INTERCEPT, Z2P5_SLOPE = 7.089, 1.144


def z2p5_km(vs30_mps):
    """Depth to Vs = 2.5 km/s from Vs30, by the relation Sellwyn assigns to its reference rock."""
    return math.exp(Z2P5_INTERCEPT - math.log(vs30_mps) * Z2P5_SLOPE)


REFERENCE_ROCK_Z2P5_KM = z2p5_km(REFERENCE_ROCK_VS30_MPS)

# Every IM is in the units of the publication of the model that gives it.
IM_UNITS = "the units of the model's publication"

MEASURES = {
    "Ia": "Arias intensity",
    "CAV": "cumulative absolute velocity",
    "CAVdp": "standardized cumulative absolute velocity",
}


# ---------------------------------------------------------------------------------------------
# How a synthetic catalogue draws a parameter (gmms.catalogue.synthetic reads these)

Uniform = namedtuple("Uniform", "low high decimals", defaults=(None,))  # in [low, high), rounded
Integers = namedtuple("Integers", "low high")     # an integer in [low, high)
OneOf = namedtuple("OneOf", "values")
Flag = namedtuple("Flag", "of value")             # 1 where the scenario's class ``of`` is ``value``
RequestedIM = namedtuple("RequestedIM", "")       # the IM the catalogue is drawn for
PerSite = namedtuple("PerSite", "draw")           # once per site, the same for every scenario
Hypot = namedtuple("Hypot", "of draw")            # hypot(``of``, a value drawn as ``draw``)
Signed = namedtuple("Signed", "of")               # ``of`` with a random sign

# Classes drawn for every scenario before its parameters, so that flags agree with each other.
SCENARIO_CLASSES = (("mechanism", ("strike-slip", "normal", "reverse")), ("in_slab", ("no", "yes")))
REGIONS = ("global", "JP", "CA", "TW")

# What the trellis gives a site parameter: the plotted distance, the site class's Vs30, a
# function of that Vs30, or a constant.
DISTANCE, VS30 = "distance", "vs30"


# ---------------------------------------------------------------------------------------------
# Inputs from ruptures and sites
#
# When pairs are made from a source model and sites (gmms.sources) instead of read from tables,
# each parameter of a model takes its value from one of these inputs, which its ``source``
# names: a rupture input (one value per rupture), a site input (one value per site), or the
# user's CHOICE for the run. A model of the user's own names its parameters after them.

RUPTURE_INPUTS = {
    "M": ("", "magnitude"),
    "rake": ("deg", "rake"),
    "dip": ("deg", "dip of the rupture plane"),
    "strike": ("deg", "strike of the rupture plane"),
    "Z_tor": ("km", "depth to the top of the rupture"),
    "Z_hyp": ("km", "hypocentral depth"),
    "width": ("km", "down-dip width of the rupture"),
    "length": ("km", "length of the rupture along strike"),
    "hypo_lat": ("deg N", "hypocentre latitude"),
    "hypo_lon": ("deg E", "hypocentre longitude"),
    "hypo_depth": ("km", "hypocentral depth"),
    # Flags (1 or 0) that follow from the rake and from the rupture's tectonic region.
    "normal": ("", "1 for normal or normal-oblique faulting (-150 < rake < -30), else 0"),
    "reverse": ("", "1 for reverse or reverse-oblique faulting (30 < rake < 150), else 0"),
    "in_slab": ("", "1 for a rupture of the tectonic region Subduction IntraSlab, else 0"),
}
FLAGS = ("normal", "reverse", "in_slab")

SITE_INPUTS = {
    "R_rup": ("km", "rupture distance: to the closest point of the rupture plane"),
    "R_JB": ("km", "Joyner-Boore distance: to the surface projection of the rupture"),
    "R_x": ("km", "horizontal distance to the top edge's line, perpendicular to strike, "
                  "positive on the hanging wall"),
    "R_y0": ("km", "horizontal distance along strike beyond the nearer end of the rupture"),
    "R_hypo": ("km", "distance to the hypocentre"),
    "R_epi": ("km", "distance to the epicentre"),
    "Vs30": ("m/s", "average shear-wave velocity of the top 30 m"),
    "Z1p0": ("km", "depth to Vs = 1 km/s"),
    "Z2p5": ("km", "depth to Vs = 2.5 km/s"),
    "vs30measured": ("", "1 where Vs30 was measured, 0 where inferred"),
    "lon": ("deg E", "site longitude"),
    "lat": ("deg N", "site latitude"),
}
DISTANCES = ("R_rup", "R_JB", "R_hypo", "R_epi", "R_x", "R_y0")
CHOICE = "choice"

# Tectonic regions as source models name them, and the class each belongs to for the flags
# above. A model that takes a flag of the region refuses a rupture of a region not listed.
TECTONIC_REGIONS = {
    "Active Shallow Crust": "crust",
    "Stable Continental Crust": "crust",
    "Stable Shallow Crust": "crust",
    "Volcanic": "crust",
    "Subduction Interface": "interface",
    "Subduction IntraSlab": "in_slab",
}


# ---------------------------------------------------------------------------------------------
# The registry

@dataclass(frozen=True)
class Parameter:
    name: str
    kind: str
    unit: str
    meaning: str
    draw: Any = None       # for synthetic catalogues
    trellis: Any = None    # for a site parameter: its value in the trellis
    source: Optional[str] = None  # where its value comes from with ruptures and sites (INPUTS)

    def describe(self):
        return f"{self.meaning} ({self.unit})" if self.unit else self.meaning


@dataclass(frozen=True)
class Trellis:
    """The fixed scenario of a model's trellis panels: a caption and the source parameters."""
    caption: str
    scenario: Dict[str, Any]


@dataclass(frozen=True)
class Model:
    name: str
    parameters: Tuple[Parameter, ...]
    measures: Dict[Optional[int], str]  # IM selector -> short name; key None: no IM parameter
    trellis: Trellis
    sibling: Optional[str] = None       # the top-level module the model is built on
    rupture_distance: str = "R_rup"     # the parameter holding the rupture distance
    magnitude: Optional[str] = "M"      # the parameter holding the magnitude
    function: Optional[Callable] = field(default=None, repr=False, compare=False)  # a user's model
    by_name: Dict[str, Parameter] = field(init=False, repr=False, compare=False)

    def __post_init__(self):
        object.__setattr__(self, "by_name", {p.name: p for p in self.parameters})

    @property
    def entry(self):
        if self.function is not None:
            return self.function.__name__
        return f"{self.name}_cy"

    @property
    def choices(self):
        """The parameters whose value is the user's choice for a run (with ruptures and sites)."""
        return tuple(p for p in self.parameters if p.source == CHOICE)

    @property
    def site_parameters(self):
        return tuple(p for p in self.parameters if p.kind == SITES)

    @property
    def scenario_parameters(self):
        return tuple(p for p in self.parameters if p.kind != SITES)

    @property
    def scenario_columns(self):
        """(name, kind) of the scenario parameters: the columns of a scenario table."""
        return [(p.name, p.kind) for p in self.scenario_parameters]

    @property
    def site_columns(self):
        """Names of the site parameters: the columns of a pair table beside the ids."""
        return [p.name for p in self.site_parameters]

    def im_label(self, im_codes):
        """The IM of a set of scenarios, from their ``IM`` values (for a file's metadata)."""
        if None in self.measures:
            return self.measures[None]
        return ",".join(self.measures.get(code, f"IM {code}") for code in sorted(set(im_codes)))


_IM = Parameter("IM", INT, "", "intensity measure: 0 for Ia, 1 for CAV", RequestedIM(), source=CHOICE)
_M = Parameter("M", DOUBLE, "", "earthquake magnitude", Uniform(5.0, 8.0, decimals=2), source="M")
_FDIP = Parameter("fdip", DOUBLE, "deg", "fault dip", Uniform(20.0, 90.0), source="dip")
_R_JB = Parameter("R_JB", SITES, "km", "Joyner-Boore distance; the number of sites is its length",
                  Uniform(0.0, 300.0), DISTANCE, source="R_JB")
_R_RUP = Parameter("R_rup", SITES, "km", "rupture distance", Hypot("R_JB", Uniform(0.0, 20.0)), DISTANCE,
                   source="R_rup")
_R_X = Parameter("R_x", SITES, "km", "Rx distance: horizontal, perpendicular to strike from the top edge of the rupture",
                 Signed("R_JB"), DISTANCE, source="R_x")
_VS30 = Parameter("Vs30", SITES, "m/s", "average shear-wave velocity of the top 30 m",
                  PerSite(Uniform(150.0, 1500.0, decimals=1)), VS30, source="Vs30")
_Z2P5 = Parameter("Z2p5", SITES, "km", "depth to Vs = 2.5 km/s", PerSite(Uniform(0.1, 8.0)), z2p5_km,
                  source="Z2p5")
_FNM = Parameter("fnm", INT, "", "1 for normal or normal-oblique faulting, else 0", Flag("mechanism", 1),
                 source="normal")
_FRV = Parameter("frv", INT, "", "1 for reverse or reverse-oblique faulting, else 0", Flag("mechanism", 2),
                 source="reverse")

# Morrand and Sellwyn's panels: a vertical strike-slip rupture reaching the surface, with the
# sites perpendicular to strike, so that R_JB = R_x = R_rup.
#: The registry: every model by name ("Tarvik", "Morrand", "Sellwyn"), as a ``Model``.
MODELS = {model.name: model for model in (
    Model(
        "Tarvik",
        (
            _IM,
            _M,
            Parameter("hypo_lat", DOUBLE, "deg N", "hypocentre latitude", Uniform(30.0, 46.0),
                      source="hypo_lat"),
            Parameter("hypo_lon", DOUBLE, "deg E", "hypocentre longitude", Uniform(125.0, 150.0),
                      source="hypo_lon"),
            Parameter("hypo_depth", DOUBLE, "km", "hypocentral depth", Uniform(5.0, 120.0),
                      source="hypo_depth"),
            Parameter("R_rup", SITES, "km", "rupture distance; the number of sites is its length",
                      _R_RUP.draw, DISTANCE, source="R_rup"),
            _VS30,
            Parameter("fins", INT, "", "1 for an in-slab event, else 0", Flag("in_slab", 1),
                      source="in_slab"),
            Parameter("fint", INT, "", "0 for an interface or crustal event, else 1", Flag("in_slab", 0),
                      source="in_slab"),
            _FNM,
            _FRV,
        ),
        {0: "Ia", 1: "CAV"},
        Trellis("in-slab event, hypocentre 50 km deep\nat 38.0°N 142.0°E (forearc)",
                dict(hypo_lat=38.0, hypo_lon=142.0, hypo_depth=50.0, fins=1, fint=1, fnm=0, frv=0)),
    ),
    Model(
        "Morrand",
        (
            _M,
            _FDIP,
            Parameter("fZtor", DOUBLE, "km", "depth to the top of the rupture", Uniform(0.0, 15.0),
                      source="Z_tor"),
            _R_JB,
            _R_RUP,
            _R_X,
            _VS30,
            Parameter("Z1p0", SITES, "km", "depth to Vs = 1 km/s (read, but no equation uses it)",
                      PerSite(Uniform(0.01, 1.0)), math.nan, source="Z1p0"),
            _Z2P5,
            _FNM,
            _FRV,
            Parameter("CAVgmType", INT, "", "CAV the standard deviations are for: 0 recorded, 1 model-based",
                      Integers(0, 2), source=CHOICE),
            Parameter("PSVcheck", INT, "", "1 for the coefficients with the PSV check, else those without",
                      Integers(0, 2), source=CHOICE),
        ),
        {None: "CAVdp"},
        Trellis("vertical strike-slip, top of rupture 0 km\nmodel-based CAV (CAVgmType 1), PSVcheck 1",
                dict(fdip=90.0, fZtor=0.0, fnm=0, frv=0, CAVgmType=1, PSVcheck=1)),
        sibling="Dovecar",
    ),
    Model(
        "Sellwyn",
        (
            _IM,
            _M,
            Parameter("fwidth", DOUBLE, "km", "fault width", Uniform(5.0, 50.0), source="width"),
            _FDIP,
            Parameter("Z_tor", DOUBLE, "km", "depth to the top of the rupture", Uniform(0.0, 15.0),
                      source="Z_tor"),
            Parameter("Z_hyp", DOUBLE, "km", "hypocentral depth", Uniform(5.0, 20.0), source="Z_hyp"),
            _R_JB,
            _R_RUP,
            _R_X,
            _VS30,
            _Z2P5,
            _FNM,
            _FRV,
            Parameter("region", OBJECT, "", "earthquake country, passed unchanged to Brisquell", OneOf(REGIONS),
                      source=CHOICE),
        ),
        {0: "Ia", 1: "CAV"},
        Trellis("vertical strike-slip, top of rupture 0 km,\nwidth 15 km, hypocentre 8 km deep, region JP",
                dict(fwidth=15.0, fdip=90.0, Z_tor=0.0, Z_hyp=8.0, fnm=0, frv=0, region="JP")),
        sibling="Brisquell",
    ),
)}


SIBLINGS = tuple(model.sibling for model in MODELS.values() if model.sibling is not None)


def spoken_list(names):
    """"A", "A and B", "A, B and C"."""
    names = list(names)
    return " and ".join([", ".join(names[:-1]), names[-1]] if len(names) > 1 else names)


# ---------------------------------------------------------------------------------------------
# Loading a model with its sibling module

class LoadError(ImportError):
    """A model or its sibling module could not be loaded; the message says why in one line."""


_loaded = {}


def load(model, siblings=None):
    """Imports gmms.<model> (a name or a Model) with its sibling module taken from the directory
    ``siblings`` (default: the stand-ins), and returns the module.

    The sibling directory goes first on ``sys.path``. A process loads a model once, so a model
    already running with its sibling from another directory cannot switch: that, a directory
    without the sibling, and any failed import raise LoadError. Loading the same model with the
    same directory again returns the module at once.

    Parameters
    ----------
    model : str or Model
        A model of the registry, by name (``"Morrand"``) or as its entry in ``MODELS``.
    siblings : str or path-like, optional
        The directory of the sibling module the model is built on. Default: the stand-ins
        (``gmms.siblings.STANDIN_DIR``). Ignored for a model built on no sibling.

    Returns
    -------
    module
        The model's extension module, such as ``gmms.Morrand``; its entry function is
        ``getattr(module, MODELS[name].entry)``.

    Raises
    ------
    LoadError
        The model is not built, the directory does not exist or holds no sibling module, the
        model is already loaded with its sibling from another directory, or the import failed
        (the message says which, in one line).
    KeyError
        ``model`` names no model of the registry.

    See Also
    --------
    gmms.siblings.use_siblings : put a sibling directory on ``sys.path`` yourself.

    Examples
    --------
    >>> import numpy as np
    >>> from gmms import models
    >>> morrand = models.load("Morrand")            # with the stand-in Dovecar
    >>> entry = getattr(morrand, models.MODELS["Morrand"].entry)
    >>> entry.__name__
    'Morrand_cy'
    >>> models.load("Morrand", "/no/such/directory")
    Traceback (most recent call last):
      ...
    gmms.models.LoadError: sibling module directory not found: /no/such/directory
    """
    from gmms import siblings as sibling_dirs

    model = MODELS[model] if isinstance(model, str) else model
    key = (model.name, None if siblings is None else os.fspath(siblings))
    if key in _loaded:
        return _loaded[key]
    directory = None
    if model.sibling is not None:
        try:
            directory = sibling_dirs.use_siblings(siblings)
        except FileNotFoundError as error:
            raise LoadError(str(error)) from None
    name = f"gmms.{model.name}"
    try:
        module = importlib.import_module(name)
    except ModuleNotFoundError as error:
        if error.name == name:
            raise LoadError(f"{name} is not built (./dev build, or pip install .)") from None
        if error.name == model.sibling:
            raise LoadError(f"{directory} holds no {model.sibling} module (found: none)") from None
        raise LoadError(f"cannot load {name}: {error}") from None
    except ImportError as error:
        raise LoadError(f"cannot load {name}: {error}") from None
    if directory is not None:
        _check_sibling(model, module, directory)
    _loaded[key] = module
    return module


def _check_sibling(model, module, directory):
    # Without one in the named directory, a sibling found further down sys.path would do.
    sibling = getattr(module, model.sibling, None)
    found = getattr(sibling, "__file__", None)
    if sibling is not None and found is None:
        return      # an object the caller put in the model's namespace on purpose
    if found is not None and pathlib.Path(found).resolve().is_relative_to(directory):
        return
    if importlib.machinery.PathFinder.find_spec(model.sibling, [os.fspath(directory)]) is None:
        raise LoadError(f"{directory} holds no {model.sibling} module (found: {found or 'none'})")
    raise LoadError(f"gmms.{model.name} already runs with {model.sibling} from "
                    f"{pathlib.Path(found).parent}, not from {directory}; restart the workers "
                    "(Client.restart()) to change sibling modules")


# ---------------------------------------------------------------------------------------------
# Models of the user's own

# What a model of the user's own is called with once when it is loaded: one rupture and two sites.
_PROBE_RUPTURE = {"M": 6.5, "rake": 0.0, "dip": 60.0, "strike": 0.0, "Z_tor": 1.0, "Z_hyp": 8.0,
                  "width": 12.0, "length": 25.0, "hypo_lat": 38.0, "hypo_lon": -122.0,
                  "hypo_depth": 8.0, "normal": 0, "reverse": 0, "in_slab": 0}
_PROBE_SITES = {"R_rup": (5.0, 50.0), "R_JB": (4.0, 49.0), "R_x": (2.0, -30.0),
                "R_y0": (0.0, 10.0), "R_hypo": (9.0, 51.0), "R_epi": (6.0, 50.0),
                "Vs30": (760.0, 300.0), "Z1p0": (0.05, 0.3), "Z2p5": (0.6, 2.0),
                "vs30measured": (1.0, 0.0), "lon": (-122.0, -122.5), "lat": (38.1, 38.3)}

_users = {}


def is_user_model(name):
    """Whether ``name`` names a model of the user's own (``package.module:function``)."""
    return isinstance(name, str) and ":" in name


def resolve(name):
    """The registry entry of ``name``: a model of MODELS, or a model of the user's own named
    ``package.module:function``, imported, checked and kept for the process.

    A model of one's own is a function whose parameters are named after the inputs from
    ruptures and sites (RUPTURE_INPUTS, SITE_INPUTS); it takes the rupture's values as floats
    and the sites' as float64 arrays, and returns (mean ln IM, phi, tau), three arrays of one
    value per site. Its attribute ``IM`` names its intensity measure. Raises KeyError for an
    unknown name, LoadError for a function that cannot serve (one line that says why).
    """
    model = MODELS.get(name)
    if model is not None:
        return model
    if not is_user_model(name):
        raise KeyError(name)
    model = _users.get(name)
    if model is None:
        model = _users[name] = _user_model(name)
    return model


def _user_model(name):
    import inspect

    module_name, _, function_name = name.partition(":")
    if not module_name or not function_name or not all(
            part.isidentifier() for part in (*module_name.split("."), function_name)):
        raise LoadError(f"{name}: a model of your own is named package.module:function")
    try:
        module = importlib.import_module(module_name)
    except Exception as error:
        raise LoadError(f"{name}: cannot import {module_name}: {type(error).__name__}: "
                        f"{error}") from None
    function = getattr(module, function_name, None)
    if not callable(function):
        raise LoadError(f"{name}: {module_name} has no function {function_name}")
    im = getattr(function, "IM", None)
    if not isinstance(im, str) or not im:
        raise LoadError(f"{name}: the function has no IM attribute naming its intensity "
                        f"measure (for example {function_name}.IM = \"PGA\")")
    parameters = []
    for p in inspect.signature(function).parameters.values():
        if p.kind not in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY) or p.name not in {
                **RUPTURE_INPUTS, **SITE_INPUTS}:
            known = ", ".join([*RUPTURE_INPUTS, *SITE_INPUTS])
            raise LoadError(f"{name}: parameter {p.name!r} is none of the inputs from ruptures "
                            f"and sites ({known})")
        unit, meaning = {**RUPTURE_INPUTS, **SITE_INPUTS}[p.name]
        kind = SITES if p.name in SITE_INPUTS else INT if p.name in FLAGS else DOUBLE
        parameters.append(Parameter(p.name, kind, unit, meaning, source=p.name))
    if not any(p.kind == SITES for p in parameters):
        raise LoadError(f"{name}: the function takes no site input "
                        f"({', '.join(SITE_INPUTS)}), so the number of sites is unknown")
    names = [p.name for p in parameters]
    model = Model(name, tuple(parameters), {None: im}, trellis=None,
                  rupture_distance=next((d for d in DISTANCES if d in names), None),
                  magnitude="M" if "M" in names else None, function=function)
    _probe(model)
    return model


def _probe(model):
    """Calls the model once, on one rupture and two sites, to find a wrong result at once."""
    import numpy as np

    arguments = {p.name: (np.array(_PROBE_SITES[p.name]) if p.kind == SITES
                          else _PROBE_RUPTURE[p.name]) for p in model.parameters}
    try:
        user_call(model, arguments, 2)
    except LoadError:
        raise
    except Exception as error:
        raise LoadError(f"{model.name}: failed on a trial call with one rupture and two sites: "
                        f"{type(error).__name__}: {error}") from None


def user_call(model, arguments, n_sites):
    """(mean, phi, tau) of a model of the user's own for keyword ``arguments``, checked: three
    float64 arrays of ``n_sites`` values."""
    import numpy as np

    result = model.function(**arguments)
    try:
        mean, phi, tau = (np.asarray(part, dtype=np.float64) for part in result)
    except (TypeError, ValueError):
        raise LoadError(f"{model.name} returned {type(result).__name__}, not (mean ln IM, phi, "
                        "tau): three arrays of one value per site") from None
    for label, part in (("mean ln IM", mean), ("phi", phi), ("tau", tau)):
        if part.shape != (n_sites,):
            raise LoadError(f"{model.name} returned {label} of shape {part.shape} for "
                            f"{n_sites} sites; it must hold one value per site")
    return mean, phi, tau


def entry_function(model, siblings=None):
    """What evaluates ``model`` (a name or a Model) in this process, called with its parameters
    in order: the entry function of a model module (loaded with its sibling module from
    ``siblings``), or a checked call of a model of the user's own."""
    model = resolve(model) if isinstance(model, str) else model
    if model.function is None:
        return getattr(load(model, siblings), model.entry)
    names = [p.name for p in model.parameters]
    sites = next(i for i, p in enumerate(model.parameters) if p.kind == SITES)

    def call(*args):
        return user_call(model, dict(zip(names, args)), len(args[sites]))
    return call


# ---------------------------------------------------------------------------------------------
# A model with the user's choices for a run: "Sellwyn(IM=1, region='global')"

def parse_model(text):
    """(name, {choice: value}) of a model as a command line or a job file gives it: a name, or
    a name with its choices as keyword arguments of Python literals
    (``Sellwyn(IM="CAV", region="global")``). Raises ValueError naming what cannot be read."""
    import ast

    text = text.strip()
    name, parenthesis, rest = text.partition("(")
    name = name.strip()
    if not name:
        raise ValueError(f"{text!r}: no model name")
    if not parenthesis:
        return name, {}
    if not rest.rstrip().endswith(")"):
        raise ValueError(f"{text!r}: the choices end with ')'")
    try:
        call = ast.parse(f"f({rest}", mode="eval").body
    except SyntaxError:
        raise ValueError(f"{text!r}: the choices are not name=value, name=value, ...") from None
    if call.args or any(keyword.arg is None for keyword in call.keywords):
        raise ValueError(f"{text!r}: choices are given by name (IM=1), not by position")
    choices = {}
    for keyword in call.keywords:
        try:
            choices[keyword.arg] = ast.literal_eval(keyword.value)
        except ValueError:
            raise ValueError(f"{text!r}: the value of {keyword.arg} is not a number or a "
                             "quoted text") from None
    return name, choices


def check_choices(model, given):
    """The values of ``model``'s choices for a run, of the kinds its entry function takes, from
    ``given`` ({name: value}); ``IM`` also by the measure's name. Raises ValueError for a
    choice missing, unknown or of no use."""
    known = {p.name: p for p in model.choices}
    unknown = sorted(set(given) - set(known))
    if unknown:
        offered = f"its choices are {spoken_list(known)}" if known else "it takes none"
        raise ValueError(f"{model.name} has no choice {unknown[0]!r}: {offered}")
    missing = [name for name in known if name not in given]
    if missing:
        raise ValueError(f"{model.name} needs the choice {missing[0]} "
                         f"({known[missing[0]].describe()}): {model.name}({missing[0]}=...)")
    values = {}
    for name, p in known.items():
        value = given[name]
        if name == "IM" and isinstance(value, str):
            codes = {short: code for code, short in model.measures.items()}
            if value not in codes:
                raise ValueError(f"{model.name}: IM {value!r} is none of "
                                 f"{spoken_list(map(repr, codes))}")
            value = codes[value]
        if p.kind == INT:
            if isinstance(value, bool) or not isinstance(value, int) or not \
                    INT32_MIN <= value <= INT32_MAX:
                raise ValueError(f"{model.name}: {name} must be a whole number, not {value!r}")
        elif p.kind == DOUBLE:
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise ValueError(f"{model.name}: {name} must be a number, not {value!r}")
            value = float(value)
        if name == "IM" and value not in model.measures:
            raise ValueError(f"{model.name}: IM {value} is none of "
                             f"{spoken_list(str(code) for code in model.measures)}")
        values[name] = value
    return values
