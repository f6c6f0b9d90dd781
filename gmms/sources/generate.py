"""From sources to ruptures: each a planar rectangle with a rate, a magnitude and a hypocentre.

A source's ruptures come in a fixed order, so that rupture k of source i is the same rupture
wherever and whenever it is made: ``make_ruptures`` makes any range of them from the source
alone, and ``count_ruptures`` says how many there are without making them.

- Point and area sources: for each point (one, or the area's grid points in rows from north to
  south), each magnitude bin, each nodal plane and each hypocentral depth, in that order (the
  last varies fastest): one rupture of rate rate(M) / points x p(plane) x p(depth).
- Simple faults: for each magnitude bin, each position of the floating rupture on the fault's
  grid, rows down dip and, within a row, columns along strike: rate(M) / positions.

Bins of zero rate, and planes and depths of probability zero, give no ruptures. The
probabilities of a distribution, which the file gives summing to 1 within 1e-6, are divided by
their sum, so that a source's rates add up to its MFD's total.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, fields
from typing import (TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union,
                    cast)

import numpy as np

from ..errors import InputError
from . import geodesy, grid
from .model import AreaSource, PointSource, SimpleFaultSource, Source, SourceModel, median_area

# Annotations only (numpy.typing's NDArray is numpy 1.21's; the package runs on older numpy too).
if TYPE_CHECKING:
    import numpy.typing as npt

    Floats = npt.NDArray[np.float64]
    Ints = npt.NDArray[np.int64]
    Arrays = Dict[str, Floats]


GEOMETRY = ("lon0", "lat0", "ztor", "strike", "dip", "length", "width", "hypo_lon", "hypo_lat", "hypo_depth")
DEFAULT_BLOCK_SIZE = 100_000

# A fault's length and width are cut into ceil(x / spacing) cells; x / spacing within this of a
# whole number counts as that number (12 km / 0.1 km is 120 cells, not 121).
_CELL_TOLERANCE = 1e-9


# --- settings -------------------------------------------------------------------------------

@dataclass(frozen=True)
class Discretization:
    """How sources are cut into ruptures (the job settings of the same names).

    Attributes
    ----------
    width_of_mfd_bin : float
        Magnitude bin width of a ``truncGutenbergRichterMFD``.
    rupture_mesh_spacing : float
        Grid spacing of fault ruptures, km (shrunk to fit a whole number of cells).
    area_source_discretization : float
        Spacing of an area source's points, km, unless its ``areaGeometry`` gives one.
    """

    width_of_mfd_bin: float = 0.1
    rupture_mesh_spacing: float = 5.0
    area_source_discretization: float = 10.0

    def __post_init__(self) -> None:
        for setting in fields(self):
            value = getattr(self, setting.name)
            if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
                raise InputError(f"{setting.name}: expected a positive number, not {value!r}")


DEFAULT = Discretization()


# --- the record -----------------------------------------------------------------------------

@dataclass(eq=False)
class Ruptures:
    """Ruptures as equal-length arrays, one element per rupture.

    Attributes
    ----------
    regions : tuple of str
        The tectonic region names ``region`` indexes (the model's).
    source, index : ndarray of int64
        The rupture's id: the index of its source in the model and its index within the source.
    region : ndarray of int64
        Index into ``regions``.
    rate : ndarray
        Annual rate of occurrence.
    mag, rake : ndarray
        Magnitude, and rake in degrees.
    lon0, lat0 : ndarray
        The first corner of the top edge, degrees: the end from which the strike points.
    ztor : ndarray
        Depth of the top edge, km.
    strike : ndarray
        Degrees: the top edge runs from (lon0, lat0) along this azimuth for ``length`` km on the
        sphere of radius 6371 km.
    dip : ndarray
        Degrees, 0 < dip <= 90; the plane dips towards strike + 90.
    length, width : ndarray
        Along strike and down dip, km; the bottom edge lies at depth ztor + width sin(dip),
        width cos(dip) km from the top edge towards strike + 90. A point rupture has both 0 and
        its (lon0, lat0, ztor) is the hypocentre.
    hypo_lon, hypo_lat, hypo_depth : ndarray
        The hypocentre, degrees and km.
    """

    regions: Tuple[str, ...]
    source: Ints
    index: Ints
    region: Ints
    rate: Floats
    mag: Floats
    rake: Floats
    lon0: Floats
    lat0: Floats
    ztor: Floats
    strike: Floats
    dip: Floats
    length: Floats
    width: Floats
    hypo_lon: Floats
    hypo_lat: Floats
    hypo_depth: Floats

    COLUMNS = ("source", "index", "region", "rate", "mag", "rake", *GEOMETRY)

    def __len__(self) -> int:
        return len(self.rate)

    def geometry(self) -> Floats:
        """The geometry as one C-contiguous float64 array (n, 10), columns in the order of
        ``GEOMETRY``: lon0, lat0, ztor, strike, dip, length, width, hypo_lon, hypo_lat, hypo_depth."""
        out = np.empty((len(self), len(GEOMETRY)), dtype=np.float64)
        for column, name in enumerate(GEOMETRY):
            out[:, column] = getattr(self, name)
        return out

    def select(self, which: Union[slice, npt.NDArray[np.bool_], Ints]) -> "Ruptures":
        """The ruptures picked by a slice, a boolean mask or an array of indices."""
        return Ruptures(self.regions, **{name: getattr(self, name)[which] for name in self.COLUMNS})

    @classmethod
    def concatenate(cls, blocks: Sequence["Ruptures"], regions: Tuple[str, ...] = ()) -> "Ruptures":
        """One record of the blocks in order (``regions`` for an empty sequence)."""
        if not blocks:
            return cls.empty(regions)
        return Ruptures(blocks[0].regions, **{name: np.concatenate([getattr(b, name) for b in blocks])
                                              for name in cls.COLUMNS})

    @classmethod
    def empty(cls, regions: Tuple[str, ...] = ()) -> "Ruptures":
        columns: Dict[str, Any] = {name: np.zeros(0, dtype=np.int64 if k < 3 else np.float64)
                                   for k, name in enumerate(cls.COLUMNS)}
        return Ruptures(regions, **columns)


def faulting_style(rake: npt.ArrayLike) -> Tuple[Ints, Ints]:
    """The style-of-faulting flags of ground-motion models, from the rake.

    Normal for -150 < rake < -30, reverse for 30 < rake < 150, strike-slip otherwise (rake taken
    modulo 360).

    Returns
    -------
    fnm, frv : ndarray of int64
        1 for normal (fnm) or reverse (frv) faulting, else 0; shaped as ``rake``.
    """
    r = (np.asarray(rake, dtype=np.float64) + 180.0) % 360.0 - 180.0
    fnm = ((r > -150.0) & (r < -30.0)).astype(np.int64)
    frv = ((r > 30.0) & (r < 150.0)).astype(np.int64)
    return fnm, frv


def _azimuth(degrees: Floats) -> Floats:
    out = degrees % 360.0
    return np.asarray(np.where(out >= 360.0, out - 360.0, out), dtype=np.float64)


def _cells(extent_km: float, spacing_km: float) -> int:
    return max(1, math.ceil(extent_km / spacing_km - _CELL_TOLERANCE))


def _round_half_away(x: Floats) -> Ints:
    return np.asarray(np.floor(np.round(x, 9) + 0.5), dtype=np.int64)


# --- plans: a source ready to give any range of its ruptures --------------------------------

class _PointPlan:
    """Ruptures of a point source, or of an area source's grid points."""

    def __init__(self, source: Union[PointSource, AreaSource], lons: Floats, lats: Floats,
                 discretization: Discretization):
        try:
            mags, rates = source.mfd.bins(discretization.width_of_mfd_bin)
        except ValueError as error:
            raise source.error(str(error)) from None
        keep = rates > 0
        self.mags, bin_rates = mags[keep], rates[keep]
        planes = [p for p in source.nodal_planes if p.probability > 0]
        depths = [d for d in source.hypo_depths if d.probability > 0]
        self.lons, self.lats = lons, lats
        self.strike = np.array([p.strike for p in planes])
        self.dip = np.array([p.dip for p in planes])
        self.rake = np.array([p.rake for p in planes])
        self.depth = np.array([d.depth for d in depths])
        p_plane = np.array([p.probability for p in planes]) / math.fsum(p.probability for p in planes)
        p_depth = np.array([d.probability for d in depths]) / math.fsum(d.probability for d in depths)
        self.shape = (len(lons), len(self.mags), len(planes), len(depths))
        self.count = int(np.prod(self.shape))
        self.point = source.msr == "PointMSR"
        # Rate, size and depth of the plane for each (magnitude, plane, depth).
        self.rate = (bin_rates[:, None, None] / len(lons)) * p_plane[None, :, None] * p_depth[None, None, :]
        sin_dip = np.sin(np.radians(self.dip))
        area = median_area(source.msr, self.mags[:, None], self.rake[None, :])
        length = np.sqrt(area * source.aspect_ratio)
        width = np.divide(area, length, out=np.zeros_like(area), where=length > 0)
        width_max = (source.lower_depth - source.upper_depth) / sin_dip
        capped = width > width_max
        width = np.where(capped, width_max, width)
        length = np.divide(area, width, out=length, where=capped)
        height = width * sin_dip                                           # (M, N)
        depth = self.depth[None, None, :]
        top = depth - height[:, :, None] / 2                               # (M, N, D)
        below = top + height[:, :, None] > source.lower_depth
        top = np.where(top < source.upper_depth, source.upper_depth,
                       np.where(below, source.lower_depth - height[:, :, None], top))
        self.ztor = top
        self.length = np.broadcast_to(length[:, :, None], top.shape)
        self.width = np.broadcast_to(width[:, :, None], top.shape)
        # The first corner of the top edge, seen from the hypocentre: x km along strike, y km
        # towards strike + 90. The plane's centre lies down dip of the hypocentre by as much as
        # the plane was moved down (up dip when moved up); the corner is half the length back
        # and half the horizontal width up dip from the centre.
        shift = top + height[:, :, None] / 2 - depth
        cot_dip = (np.cos(np.radians(self.dip)) / sin_dip)[None, :, None]
        x = -self.length / 2
        y = shift * cot_dip - self.width * (np.cos(np.radians(self.dip)) / 2)[None, :, None]
        self.reach = np.hypot(x, y)
        self.turn = np.degrees(np.arctan2(y, x))

    def make(self, start: int, stop: int) -> Arrays:
        p, m, n, d = np.unravel_index(np.arange(start, stop, dtype=np.int64), self.shape)
        mnd = (m * self.shape[2] + n) * self.shape[3] + d
        lon, lat, depth = self.lons[p], self.lats[p], self.depth[d]
        strike, dip = self.strike[n], self.dip[n]
        out = {"rate": self.rate.reshape(-1)[mnd], "mag": self.mags[m], "rake": self.rake[n],
               "strike": strike, "dip": dip, "hypo_lon": lon, "hypo_lat": lat, "hypo_depth": depth}
        if self.point:
            # Arrays of their own: a caller changing one column in place changes no other.
            return {**out, "lon0": lon.copy(), "lat0": lat.copy(), "ztor": depth.copy(),
                    "length": np.zeros(len(mnd)), "width": np.zeros(len(mnd))}
        # One move to the corner, at ``turn`` degrees from the strike; the strike there is the
        # direction of arrival turned back by as much (the angle is carried along the path).
        turn = self.turn.reshape(-1)[mnd]
        lon0, lat0, az = geodesy.destination(lon, lat, strike + turn, self.reach.reshape(-1)[mnd])
        return {**out, "lon0": lon0, "lat0": lat0, "ztor": self.ztor.reshape(-1)[mnd],
                "strike": _azimuth(az - turn), "length": self.length.reshape(-1)[mnd],
                "width": self.width.reshape(-1)[mnd]}


class _FaultPlan:
    """Floating ruptures of a simple fault."""

    def __init__(self, source: SimpleFaultSource, discretization: Discretization):
        try:
            mags, rates = source.mfd.bins(discretization.width_of_mfd_bin)
        except ValueError as error:
            raise source.error(str(error)) from None
        keep = rates > 0
        mags, rates = mags[keep], rates[keep]
        (lon_a, lat_a), (lon_b, lat_b) = source.trace[0], source.trace[-1]
        fault_length = float(geodesy.distance(lon_a, lat_a, lon_b, lat_b))
        trace_strike = float(geodesy.azimuth(lon_a, lat_a, lon_b, lat_b))
        dip = math.radians(source.dip)
        self.sin_dip, self.cos_dip = math.sin(dip), math.cos(dip)
        # The top edge: the trace moved down dip to the upper seismogenic depth.
        lon0, lat0, az = geodesy.destination(lon_a, lat_a, trace_strike + 90.0,
                                             source.upper_depth * self.cos_dip / self.sin_dip)
        self.lon0, self.lat0, self.strike0 = float(lon0), float(lat0), float(az) - 90.0
        fault_width = (source.lower_depth - source.upper_depth) / self.sin_dip
        spacing = discretization.rupture_mesh_spacing
        n_along, n_down = _cells(fault_length, spacing), _cells(fault_width, spacing)
        self.ds, self.dd = fault_length / n_along, fault_width / n_down
        self.nodes = (n_along + 1, n_down + 1)
        area = median_area(source.msr, mags, source.rake)
        width = np.minimum(fault_width, np.sqrt(area / source.aspect_ratio))
        length = area / width
        cols = np.minimum(_round_half_away(length / self.ds + 1), n_along + 1)
        rows = np.minimum(_round_half_away(width / self.dd + 1), n_down + 1)
        small = (cols < 2) | (rows < 2)
        if small.any():
            k = int(np.flatnonzero(small)[0])
            raise source.error(
                f"the M {mags[k]} rupture ({length[k]:.4g} x {width[k]:.4g} km) spans less than one "
                f"cell of the fault's grid ({self.ds:.4g} x {self.dd:.4g} km): use a "
                "rupture_mesh_spacing under half its size")
        self.mags, self.upper = mags, source.upper_depth
        self.length, self.width = (cols - 1) * self.ds, (rows - 1) * self.dd
        self.along = n_along + 2 - cols                 # positions along strike, per bin
        self.down = n_down + 2 - rows                   # positions down dip, per bin
        counts = self.along * self.down
        self.rates = rates / counts
        self.offsets = np.concatenate([[0], np.cumsum(counts)])
        self.count = int(self.offsets[-1])
        self.rake, self.dip = source.rake, source.dip

    def make(self, start: int, stop: int) -> Arrays:
        i = np.arange(start, stop, dtype=np.int64)
        b = np.searchsorted(self.offsets, i, side="right") - 1
        k = i - self.offsets[b]
        row, col = np.divmod(k, self.along[b])
        n = len(i)
        a_lon, a_lat, az = geodesy.destination(np.full(n, self.lon0), np.full(n, self.lat0),
                                               np.full(n, self.strike0), col * self.ds)
        lon0, lat0, az = geodesy.destination(a_lon, a_lat, az + 90.0, row * (self.dd * self.cos_dip))
        strike = _azimuth(az - 90.0)
        ztor = self.upper + row * (self.dd * self.sin_dip)
        length, width = self.length[b], self.width[b]
        m_lon, m_lat, az = geodesy.destination(lon0, lat0, strike, length / 2)
        h_lon, h_lat, _ = geodesy.destination(m_lon, m_lat, az + 90.0, width * self.cos_dip / 2)
        return {"rate": self.rates[b], "mag": self.mags[b], "rake": np.full(n, self.rake),
                "lon0": lon0, "lat0": lat0, "ztor": ztor, "strike": strike, "dip": np.full(n, self.dip),
                "length": length, "width": width, "hypo_lon": h_lon, "hypo_lat": h_lat,
                "hypo_depth": ztor + width * (self.sin_dip / 2)}


_Plan = Union[_PointPlan, _FaultPlan]


def area_points(source: AreaSource, discretization: Discretization = DEFAULT) -> Tuple[Floats, Floats]:
    """Longitudes and latitudes of an area source's points (rows from north to south)."""
    spacing = source.discretization or discretization.area_source_discretization
    lon, lat = grid.ring([v[0] for v in source.polygon], [v[1] for v in source.polygon])
    points = grid.grid(lon, lat, spacing)
    if len(points[0]) == 0:
        raise source.error(f"no point of a {spacing} km grid falls inside the polygon: "
                           "use a finer area_source_discretization")
    return points


@functools.lru_cache(maxsize=32)
def _plan(source: Source, discretization: Discretization) -> _Plan:
    if isinstance(source, SimpleFaultSource):
        return _FaultPlan(source, discretization)
    if isinstance(source, AreaSource):
        lons, lats = area_points(source, discretization)
        return _PointPlan(source, lons, lats, discretization)
    return _PointPlan(source, np.array([source.lon]), np.array([source.lat]), discretization)


# --- the public functions -------------------------------------------------------------------

class RuptureRange(NamedTuple):
    """Ruptures ``start`` to ``stop`` (excluded) of the model's source number ``source``."""

    source: int
    start: int
    stop: int


def count_ruptures(model: SourceModel, source: int, discretization: Discretization = DEFAULT) -> int:
    """How many ruptures the model's source number ``source`` gives, without making them
    (an area source's grid is computed, and kept for the next calls)."""
    return _plan(model.sources[source], discretization).count


def rupture_ranges(model: SourceModel, discretization: Discretization = DEFAULT, *,
                   size: int = DEFAULT_BLOCK_SIZE) -> Iterator[RuptureRange]:
    """Every rupture of the model, as ranges of at most ``size`` ruptures of one source each,
    in order. A range is three integers: with the model, it is all a worker needs to make its
    ruptures (``make_ruptures``)."""
    if size < 1:
        raise ValueError(f"size must be at least 1, not {size}")
    for i in range(len(model.sources)):
        count = count_ruptures(model, i, discretization)
        for start in range(0, count, size):
            yield RuptureRange(i, start, min(start + size, count))


Range = Tuple[int, int, int]


def make_ruptures(model: SourceModel, ranges: Union[Range, Iterable[Range]],
                  discretization: Discretization = DEFAULT) -> Ruptures:
    """The ruptures of one range, or of several in order, as one record.

    A range is a ``RuptureRange`` or a plain (source, start, stop) tuple of integers.

    Examples
    --------
    >>> first_ten = make_ruptures(model, RuptureRange(0, 0, 10))      # doctest: +SKIP
    """
    one = isinstance(ranges, tuple) and len(ranges) == 3 and all(isinstance(v, int) for v in ranges)
    items = [cast(Range, ranges)] if one else cast(Iterable[Range], ranges)
    blocks: List[Ruptures] = []
    for item in items:
        piece = RuptureRange(*item)
        source = model.sources[piece.source]
        plan = _plan(source, discretization)
        if not 0 <= piece.start <= piece.stop <= plan.count:
            raise ValueError(f"ruptures {piece.start} to {piece.stop} of source {piece.source}: "
                             f"it has {plan.count}")
        arrays = plan.make(piece.start, piece.stop)
        n = piece.stop - piece.start
        blocks.append(Ruptures(
            model.regions, source=np.full(n, piece.source, dtype=np.int64),
            index=np.arange(piece.start, piece.stop, dtype=np.int64),
            region=np.full(n, model.regions.index(source.region), dtype=np.int64), **arrays))
    return blocks[0] if len(blocks) == 1 else Ruptures.concatenate(blocks, model.regions)


def ruptures(model: SourceModel, discretization: Discretization = DEFAULT, *,
             block_size: int = DEFAULT_BLOCK_SIZE, sources: Optional[Iterable[int]] = None) -> Iterator[Ruptures]:
    """Every rupture of the model, in blocks of ``block_size`` (the last may be shorter).

    A block may span several sources; the order is that of the sources, then of each source's
    ruptures, the same on every call.

    Parameters
    ----------
    model : SourceModel
        From ``read_source_model``.
    discretization : Discretization
        MFD bin width, fault mesh spacing and area grid spacing.
    block_size : int
        Ruptures per block: the memory bound of the iteration.
    sources : iterable of int, optional
        Only these sources (indices into ``model.sources``), in this order.

    Examples
    --------
    >>> for block in ruptures(model, Discretization(rupture_mesh_spacing=1.0)):   # doctest: +SKIP
    ...     print(len(block), block.rate.sum())
    """
    if block_size < 1:
        raise ValueError(f"block_size must be at least 1, not {block_size}")
    pending: List[RuptureRange] = []
    filled = 0
    for i in range(len(model.sources)) if sources is None else sources:
        count, start = count_ruptures(model, i, discretization), 0
        while start < count:
            stop = min(count, start + block_size - filled)
            pending.append(RuptureRange(i, start, stop))
            filled += stop - start
            start = stop
            if filled == block_size:
                yield make_ruptures(model, pending, discretization)
                pending, filled = [], 0
    if pending:
        yield make_ruptures(model, pending, discretization)
