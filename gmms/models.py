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
from typing import Any, Dict, Optional, Tuple

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
# The registry

@dataclass(frozen=True)
class Parameter:
    name: str
    kind: str
    unit: str
    meaning: str
    draw: Any = None       # for synthetic catalogues
    trellis: Any = None    # for a site parameter: its value in the trellis

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
    by_name: Dict[str, Parameter] = field(init=False, repr=False, compare=False)

    def __post_init__(self):
        object.__setattr__(self, "by_name", {p.name: p for p in self.parameters})

    @property
    def entry(self):
        return f"{self.name}_cy"

    @property
    def site_parameters(self):
        return tuple(p for p in self.parameters if p.kind == SITES)

    @property
    def scenario_parameters(self):
        return tuple(p for p in self.parameters if p.kind != SITES)

    def im_label(self, im_codes):
        """The IM of a set of scenarios, from their ``IM`` values (for a file's metadata)."""
        if None in self.measures:
            return self.measures[None]
        return ",".join(self.measures.get(code, f"IM {code}") for code in sorted(set(im_codes)))


_IM = Parameter("IM", INT, "", "intensity measure: 0 for Ia, 1 for CAV", RequestedIM())
_M = Parameter("M", DOUBLE, "", "earthquake magnitude", Uniform(5.0, 8.0, decimals=2))
_FDIP = Parameter("fdip", DOUBLE, "deg", "fault dip", Uniform(20.0, 90.0))
_R_JB = Parameter("R_JB", SITES, "km", "Joyner-Boore distance; the number of sites is its length",
                  Uniform(0.0, 300.0), DISTANCE)
_R_RUP = Parameter("R_rup", SITES, "km", "rupture distance", Hypot("R_JB", Uniform(0.0, 20.0)), DISTANCE)
_R_X = Parameter("R_x", SITES, "km", "Rx distance: horizontal, perpendicular to strike from the top edge of the rupture",
                 Signed("R_JB"), DISTANCE)
_VS30 = Parameter("Vs30", SITES, "m/s", "average shear-wave velocity of the top 30 m",
                  PerSite(Uniform(150.0, 1500.0, decimals=1)), VS30)
_Z2P5 = Parameter("Z2p5", SITES, "km", "depth to Vs = 2.5 km/s", PerSite(Uniform(0.1, 8.0)), z2p5_km)
_FNM = Parameter("fnm", INT, "", "1 for normal or normal-oblique faulting, else 0", Flag("mechanism", 1))
_FRV = Parameter("frv", INT, "", "1 for reverse or reverse-oblique faulting, else 0", Flag("mechanism", 2))

# Morrand and Sellwyn's panels: a vertical strike-slip rupture reaching the surface, with the
# sites perpendicular to strike, so that R_JB = R_x = R_rup.
#: The registry: every model by name ("Tarvik", "Morrand", "Sellwyn"), as a ``Model``.
MODELS = {model.name: model for model in (
    Model(
        "Tarvik",
        (
            _IM,
            _M,
            Parameter("hypo_lat", DOUBLE, "deg N", "hypocentre latitude", Uniform(30.0, 46.0)),
            Parameter("hypo_lon", DOUBLE, "deg E", "hypocentre longitude", Uniform(125.0, 150.0)),
            Parameter("hypo_depth", DOUBLE, "km", "hypocentral depth", Uniform(5.0, 120.0)),
            Parameter("R_rup", SITES, "km", "rupture distance; the number of sites is its length",
                      _R_RUP.draw, DISTANCE),
            _VS30,
            Parameter("fins", INT, "", "1 for an in-slab event, else 0", Flag("in_slab", 1)),
            Parameter("fint", INT, "", "0 for an interface or crustal event, else 1", Flag("in_slab", 0)),
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
            Parameter("fZtor", DOUBLE, "km", "depth to the top of the rupture", Uniform(0.0, 15.0)),
            _R_JB,
            _R_RUP,
            _R_X,
            _VS30,
            Parameter("Z1p0", SITES, "km", "depth to Vs = 1 km/s (read, but no equation uses it)",
                      PerSite(Uniform(0.01, 1.0)), math.nan),
            _Z2P5,
            _FNM,
            _FRV,
            Parameter("CAVgmType", INT, "", "CAV the standard deviations are for: 0 recorded, 1 model-based",
                      Integers(0, 2)),
            Parameter("PSVcheck", INT, "", "1 for the coefficients with the PSV check, else those without",
                      Integers(0, 2)),
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
            Parameter("fwidth", DOUBLE, "km", "fault width", Uniform(5.0, 50.0)),
            _FDIP,
            Parameter("Z_tor", DOUBLE, "km", "depth to the top of the rupture", Uniform(0.0, 15.0)),
            Parameter("Z_hyp", DOUBLE, "km", "hypocentral depth", Uniform(5.0, 20.0)),
            _R_JB,
            _R_RUP,
            _R_X,
            _VS30,
            _Z2P5,
            _FNM,
            _FRV,
            Parameter("region", OBJECT, "", "earthquake country, passed unchanged to Brisquell", OneOf(REGIONS)),
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
