"""A seismic source model as read from NRML: its sources, their MFDs and distributions.

Plain frozen records of floats and tuples, so that a model pickles small and compares and
hashes by value. ``nrml.read_source_model`` makes them and checks every value; ``ruptures``
turns them into ruptures.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Optional, TYPE_CHECKING, Tuple, Union

import numpy as np

from ..errors import InputError

# Annotations only (numpy.typing's NDArray is numpy 1.21's; the package runs on older numpy too).
if TYPE_CHECKING:
    import numpy.typing as npt

    Floats = npt.NDArray[np.float64]


def round_half_away(x: float) -> int:
    """The nearest integer, halves away from zero; ``x`` is first rounded to 9 decimals so that
    5.05 / 0.1 = 50.499999... counts as the half it stands for."""
    x = round(x, 9)
    return int(math.floor(abs(x) + 0.5)) * (1 if x >= 0 else -1)


# --- magnitude-frequency distributions ------------------------------------------------------

@dataclass(frozen=True)
class TruncatedGR:
    """``truncGutenbergRichterMFD``: log10 N(M >= m) = a - b m, between ``min_mag`` and ``max_mag``."""

    a_value: float
    b_value: float
    min_mag: float
    max_mag: float

    def bins(self, width_of_mfd_bin: float) -> Tuple[Floats, Floats]:
        """Magnitudes and annual rates of the bins of width ``width_of_mfd_bin``.

        Both limits are rounded to multiples of the width (halves away from zero); bin k spans
        [k w, (k + 1) w] with rate 10^(a - b k w) - 10^(a - b (k + 1) w), and its magnitude is
        (k + 1/2) w, rounded to 10 decimals. Raises ValueError when the rounded limits coincide.
        """
        w = width_of_mfd_bin
        first, last = round_half_away(self.min_mag / w), round_half_away(self.max_mag / w)
        if last <= first:
            raise ValueError(f"minMag {self.min_mag} and maxMag {self.max_mag} round to the same "
                             f"multiple of the bin width {w}")
        k = np.arange(first, last, dtype=np.float64)
        rates = 10.0 ** (self.a_value - self.b_value * k * w) - 10.0 ** (self.a_value - self.b_value * (k + 1) * w)
        return np.round((k + 0.5) * w, 10), rates

    def total_rate(self, width_of_mfd_bin: float) -> float:
        """The annual rate of M between the rounded limits, as the MFD states it."""
        w = width_of_mfd_bin
        first, last = round_half_away(self.min_mag / w), round_half_away(self.max_mag / w)
        return float(10.0 ** (self.a_value - self.b_value * first * w) - 10.0 ** (self.a_value - self.b_value * last * w))


@dataclass(frozen=True)
class IncrementalMFD:
    """``incrementalMFD``: the annual rate of each bin, bin i at ``min_mag + i bin_width``."""

    min_mag: float
    bin_width: float
    rates: Tuple[float, ...]

    def bins(self, width_of_mfd_bin: float) -> Tuple[Floats, Floats]:
        """Magnitudes (rounded to 10 decimals) and annual rates of the bins as given; the job's
        bin width plays no part."""
        k = np.arange(len(self.rates), dtype=np.float64)
        return np.round(self.min_mag + k * self.bin_width, 10), np.array(self.rates, dtype=np.float64)

    def total_rate(self, width_of_mfd_bin: float) -> float:
        return float(np.sum(self.rates))


MFD = Union[TruncatedGR, IncrementalMFD]


# --- magnitude-scaling relations ------------------------------------------------------------

MSRS = ("WC1994", "PeerMSR", "PointMSR")


def median_area(msr: str, mag: npt.ArrayLike, rake: npt.ArrayLike) -> Floats:
    """Median rupture area, km^2, of a magnitude-scaling relation.

    WC1994 (Wells and Coppersmith 1994) by the style of faulting of ``rake``: strike-slip within
    45 degrees of 0 or 180 (bounds included), reverse for 45 < rake < 135, normal for
    -135 < rake < -45. PeerMSR: 10^(M - 4). PointMSR: 0 (point ruptures).
    """
    m = np.asarray(mag, dtype=np.float64)
    if msr == "PeerMSR":
        return np.asarray(10.0 ** (m - 4.0), dtype=np.float64)
    if msr == "PointMSR":
        return np.zeros(np.broadcast(m, np.asarray(rake)).shape)
    if msr != "WC1994":
        raise ValueError(f"unknown magnitude-scaling relation {msr!r}")
    r = np.asarray(rake, dtype=np.float64)
    reverse = (r > 45) & (r < 135)
    normal = (r > -135) & (r < -45)
    log_area = np.where(reverse, -3.99 + 0.98 * m, np.where(normal, -2.87 + 0.82 * m, -3.42 + 0.90 * m))
    return np.asarray(10.0 ** log_area, dtype=np.float64)


# --- sources --------------------------------------------------------------------------------

@dataclass(frozen=True)
class NodalPlane:
    probability: float
    strike: float
    dip: float
    rake: float


@dataclass(frozen=True)
class HypoDepth:
    probability: float
    depth: float


@dataclass(frozen=True)
class PointSource:
    """``pointSource``: ruptures centred on one point, over magnitudes, nodal planes and depths."""

    id: str
    name: str
    region: str
    lon: float
    lat: float
    upper_depth: float
    lower_depth: float
    msr: str
    aspect_ratio: float
    mfd: MFD
    nodal_planes: Tuple[NodalPlane, ...]
    hypo_depths: Tuple[HypoDepth, ...]
    where: str = ""        # "FILE, line N", for messages

    kind = "pointSource"

    def error(self, reason: str) -> InputError:
        return InputError(f"{self.where}: {self.kind} \"{self.id}\": {reason}")


@dataclass(frozen=True)
class AreaSource:
    """``areaSource``: a point source at each point of a grid over a polygon, the rate shared
    equally. ``discretization`` (km), when the file gives it, overrides the job's."""

    id: str
    name: str
    region: str
    polygon: Tuple[Tuple[float, float], ...]
    discretization: Optional[float]
    upper_depth: float
    lower_depth: float
    msr: str
    aspect_ratio: float
    mfd: MFD
    nodal_planes: Tuple[NodalPlane, ...]
    hypo_depths: Tuple[HypoDepth, ...]
    where: str = ""

    kind = "areaSource"

    def error(self, reason: str) -> InputError:
        return InputError(f"{self.where}: {self.kind} \"{self.id}\": {reason}")


@dataclass(frozen=True)
class SimpleFaultSource:
    """``simpleFaultSource``: a planar fault under a straight surface trace, dipping to the
    right of the trace's direction; ruptures float over it."""

    id: str
    name: str
    region: str
    trace: Tuple[Tuple[float, float], ...]
    dip: float
    upper_depth: float
    lower_depth: float
    msr: str
    aspect_ratio: float
    mfd: MFD
    rake: float
    where: str = ""

    kind = "simpleFaultSource"

    def error(self, reason: str) -> InputError:
        return InputError(f"{self.where}: {self.kind} \"{self.id}\": {reason}")


Source = Union[PointSource, AreaSource, SimpleFaultSource]


@dataclass(frozen=True)
class SourceModel:
    """A source model: its sources in file order and the tectonic regions they name.

    ``regions`` lists each region once, in the order of first appearance; a rupture's
    ``region`` is an index into it.
    """

    path: str
    name: str
    version: str
    sources: Tuple[Source, ...]
    regions: Tuple[str, ...]

    def __len__(self) -> int:
        return len(self.sources)
