"""What the command line knows about each model: its parameters, their units and meanings.

The parameters are listed in the entry function's order. ``kind`` is how the entry function
converts the argument: "double", "int", "sites" (one float64 per site) or "object" (passed on
unchanged).
"""

from dataclasses import dataclass
from typing import Dict, Optional, Tuple


@dataclass(frozen=True)
class Parameter:
    name: str
    kind: str
    unit: str
    meaning: str

    def describe(self):
        return f"{self.meaning} ({self.unit})" if self.unit else self.meaning


@dataclass(frozen=True)
class Model:
    name: str
    parameters: Tuple[Parameter, ...]
    measures: Dict[Optional[int], str]  # IM selector -> short name; key None: no IM parameter
    sibling: Optional[str] = None  # the top-level module the model is built on

    @property
    def entry(self):
        return f"{self.name}_cy"

    @property
    def site_parameters(self):
        return tuple(p for p in self.parameters if p.kind == "sites")

    @property
    def scenario_parameters(self):
        return tuple(p for p in self.parameters if p.kind != "sites")


MEASURES = {
    "Ia": "Arias intensity",
    "CAV": "cumulative absolute velocity",
    "CAVdp": "standardized cumulative absolute velocity",
}

_IM = Parameter("IM", "int", "", "intensity measure: 0 for Ia, 1 for CAV")
_M = Parameter("M", "double", "", "earthquake magnitude")
_FDIP = Parameter("fdip", "double", "deg", "fault dip")
_R_JB = Parameter("R_JB", "sites", "km", "Joyner-Boore distance; the number of sites is its length")
_R_RUP = Parameter("R_rup", "sites", "km", "rupture distance")
_R_X = Parameter("R_x", "sites", "km", "Rx distance: horizontal, perpendicular to strike from the top edge of the rupture")
_VS30 = Parameter("Vs30", "sites", "m/s", "average shear-wave velocity of the top 30 m")
_Z2P5 = Parameter("Z2p5", "sites", "km", "depth to Vs = 2.5 km/s")
_FNM = Parameter("fnm", "int", "", "1 for normal or normal-oblique faulting, else 0")
_FRV = Parameter("frv", "int", "", "1 for reverse or reverse-oblique faulting, else 0")

MODELS = {
    "Tarvik": Model(
        "Tarvik",
        (
            _IM,
            _M,
            Parameter("hypo_lat", "double", "deg N", "hypocentre latitude"),
            Parameter("hypo_lon", "double", "deg E", "hypocentre longitude"),
            Parameter("hypo_depth", "double", "km", "hypocentral depth"),
            Parameter("R_rup", "sites", "km", "rupture distance; the number of sites is its length"),
            _VS30,
            Parameter("fins", "int", "", "1 for an in-slab event, else 0"),
            Parameter("fint", "int", "", "0 for an interface or crustal event, else 1"),
            _FNM,
            _FRV,
        ),
        {0: "Ia", 1: "CAV"},
    ),
    "Morrand": Model(
        "Morrand",
        (
            _M,
            _FDIP,
            Parameter("fZtor", "double", "km", "depth to the top of the rupture"),
            _R_JB,
            _R_RUP,
            _R_X,
            _VS30,
            Parameter("Z1p0", "sites", "km", "depth to Vs = 1 km/s (read, but no equation uses it)"),
            _Z2P5,
            _FNM,
            _FRV,
            Parameter("CAVgmType", "int", "", "CAV the standard deviations are for: 0 recorded, 1 model-based"),
            Parameter("PSVcheck", "int", "", "1 for the coefficients with the PSV check, else those without"),
        ),
        {None: "CAVdp"},
        sibling="Dovecar",
    ),
    "Sellwyn": Model(
        "Sellwyn",
        (
            _IM,
            _M,
            Parameter("fwidth", "double", "km", "fault width"),
            _FDIP,
            Parameter("Z_tor", "double", "km", "depth to the top of the rupture"),
            Parameter("Z_hyp", "double", "km", "hypocentral depth"),
            _R_JB,
            _R_RUP,
            _R_X,
            _VS30,
            _Z2P5,
            _FNM,
            _FRV,
            Parameter("region", "object", "", "earthquake country, passed unchanged to Brisquell"),
        ),
        {0: "Ia", 1: "CAV"},
        sibling="Brisquell",
    ),
}
