"""Sites: a site model CSV, a list of points, or a grid over a region.

The field's site model gives Z1.0 (``z1pt0``) in metres and Z2.5 (``z2pt5``) in kilometres;
gmms's models take both in kilometres (``Z1p0``, ``Z2p5``), as a ``Sites`` record holds them.
Where a depth is not given it is derived from Vs30:

- Z1.0 (m), Chiou and Youngs (2014): ln Z1 = -7.15/4 ln((Vs30^4 + 571^4) / (1360^4 + 571^4));
  for Japan, ln Z1 = -5.23/2 ln((Vs30^2 + 412^2) / (1360^2 + 412^2)).
- Z2.5 (km), Campbell and Bozorgnia (2014): ln Z2.5 = 7.089 - 1.144 ln Vs30; for Japan,
  ln Z2.5 = 5.359 - 1.102 ln Vs30. (The relation gmms's reference rock uses.)

and the record marks those values as derived.
"""

from __future__ import annotations

import csv
import math
import os
import re
from dataclasses import dataclass, fields
from typing import Any, Dict, List, NoReturn, Optional, Protocol, Sequence, TYPE_CHECKING, Tuple, Union

import numpy as np

from ..errors import InputError
from . import grid

# Annotations only (numpy.typing's NDArray is numpy 1.21's; the package runs on older numpy too).
if TYPE_CHECKING:
    import numpy.typing as npt

    Floats = npt.NDArray[np.float64]
    Ints = npt.NDArray[np.int64]
    Bools = npt.NDArray[np.bool_]

Value = Union[int, float, bool]

CORRELATIONS = ("california", "japan")
# Z2.5 from Vs30 (California): the intercept and slope of gmms.models' reference rock.
Z2P5_INTERCEPT, Z2P5_SLOPE = 7.089, 1.144
# A depth of -999 in a site model means "not known": it is derived, as an empty cell is.
MISSING = -999.0

_NUMBER = re.compile(r"\s*[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?\s*")
_INTEGER = re.compile(r"\s*[+-]?\d+\s*")
_TRUE, _FALSE = ("1", "true"), ("0", "false", "")


# The correlations take exp and log from the C library, value by value: numpy's own vectorised
# exp and log (used on processors with AVX-512) differ from it in the last bit for about a
# quarter of values, and a site's depths would then depend on the machine that read the sites.

def _each(vs30: npt.ArrayLike, relation: Any) -> Floats:
    def value(x: float) -> float:
        try:
            return float(relation(x, math.exp, math.log))
        except (OverflowError, ValueError):     # out of range: as numpy has it, inf or NaN
            with np.errstate(all="ignore"):
                return float(relation(np.float64(x), np.exp, np.log))

    v = np.asarray(vs30, dtype=np.float64)
    return np.array([value(x) for x in v.reshape(-1).tolist()], dtype=np.float64).reshape(v.shape)


def _unknown(correlation: str) -> NoReturn:
    raise ValueError(f"unknown correlation {correlation!r}: expected one of {', '.join(CORRELATIONS)}")


def z1pt0_from_vs30(vs30: npt.ArrayLike, correlation: str = "california") -> Floats:
    """Depth to Vs = 1.0 km/s, **metres**, from Vs30 (m/s): Chiou and Youngs (2014)."""
    if correlation == "california":
        return _each(vs30, lambda v, exp, log: exp(-7.15 / 4 * log(
            (v**4 + 571.0**4) / (1360.0**4 + 571.0**4))))
    if correlation == "japan":
        return _each(vs30, lambda v, exp, log: exp(-5.23 / 2 * log(
            (v**2 + 412.0**2) / (1360.0**2 + 412.0**2))))
    _unknown(correlation)


def z2pt5_from_vs30(vs30: npt.ArrayLike, correlation: str = "california") -> Floats:
    """Depth to Vs = 2.5 km/s, km, from Vs30 (m/s): Campbell and Bozorgnia (2014)."""
    if correlation == "california":
        return _each(vs30, lambda v, exp, log: exp(Z2P5_INTERCEPT - Z2P5_SLOPE * log(v)))
    if correlation == "japan":
        return _each(vs30, lambda v, exp, log: exp(5.359 - 1.102 * log(v)))
    _unknown(correlation)


@dataclass(eq=False)
class Sites:
    """Sites as equal-length arrays, one element per site.

    Attributes
    ----------
    site_id : ndarray of int64
    lon, lat : ndarray
        Degrees.
    vs30 : ndarray
        m/s.
    vs30measured : ndarray of bool
        Vs30 measured (True) or inferred.
    z1p0, z2p5 : ndarray
        Depths to Vs = 1.0 and 2.5 km/s, **km** both (the models' ``Z1p0`` and ``Z2p5``).
    z1p0_derived, z2p5_derived : ndarray of bool
        Whether the depth was derived from Vs30 rather than given.
    """

    site_id: Ints
    lon: Floats
    lat: Floats
    vs30: Floats
    vs30measured: Bools
    z1p0: Floats
    z2p5: Floats
    z1p0_derived: Bools
    z2p5_derived: Bools

    def __len__(self) -> int:
        return len(self.site_id)

    def select(self, which: Union[slice, Bools, Ints]) -> "Sites":
        """The sites picked by a slice, a boolean mask or an array of indices."""
        return Sites(**{f.name: getattr(self, f.name)[which] for f in fields(self)})


def _complete(site_id: Ints, lon: Floats, lat: Floats, vs30: Floats, measured: Bools,
              z1pt0_m: Floats, z2pt5_km: Floats, correlation: str) -> Sites:
    """A record from given values, NaN standing for a depth to derive."""
    if correlation not in CORRELATIONS:
        raise InputError(f"unknown Z1.0/Z2.5 correlation {correlation!r}: expected one of "
                         f"{', '.join(CORRELATIONS)}")
    z1_derived, z2_derived = np.isnan(z1pt0_m), np.isnan(z2pt5_km)
    z1 = np.where(z1_derived, z1pt0_from_vs30(vs30, correlation), z1pt0_m) / 1000.0
    z2 = np.where(z2_derived, z2pt5_from_vs30(vs30, correlation), z2pt5_km)
    return Sites(site_id, lon, lat, vs30, measured, z1, z2, z1_derived, z2_derived)


class _Table:
    """The rows of a site model CSV, checked value by value as the catalogue's tables are."""

    REQUIRED = ("lon", "lat", "vs30")
    OPTIONAL = ("site_id", "vs30measured", "z1pt0", "z2pt5")

    def __init__(self, path: str):
        self.path = path

    def fail(self, line: int, column: str, reason: str) -> NoReturn:
        raise InputError(f"{self.path}, line {line}, column '{column}': {reason}")

    def number(self, line: int, column: str, text: str) -> float:
        if not _NUMBER.fullmatch(text):
            self.fail(line, column, "empty value" if not text.strip() else f"{text.strip()!r} is not a number")
        return float(text)

    def depth(self, line: int, column: str, text: str) -> float:
        """A depth, or NaN where it is to be derived (an empty cell or -999)."""
        if not text.strip():
            return math.nan
        value = self.number(line, column, text)
        if value == MISSING:
            return math.nan
        if not value > 0 or not math.isfinite(value):
            self.fail(line, column, f"{text.strip()} is not a depth > 0 (leave it empty, or -999, "
                                    "to derive it from vs30)")
        return value

    def read(self) -> Tuple[Dict[str, List[Value]], List[int]]:
        try:
            file = open(self.path, newline="", encoding="utf-8-sig")
        except FileNotFoundError:
            raise InputError(f"{self.path}: no such file (site model)") from None
        except OSError as error:
            raise InputError(f"{self.path}: cannot read it ({error.strerror or error})") from None
        with file:
            reader = csv.reader(file, strict=True)
            try:
                return self._rows(reader)
            except UnicodeDecodeError as error:
                raise InputError(f"{self.path}: not UTF-8 text ({error.reason})") from None
            except csv.Error as error:
                raise InputError(f"{self.path}, line {reader.line_num}: {error}") from None

    def _rows(self, reader: Any) -> Tuple[Dict[str, List[Value]], List[int]]:
        header = next(reader, None)
        if not header or not any(name.strip() for name in header):
            raise InputError(f"{self.path}: empty file, expected a header line")
        names = [name.strip() for name in header]
        for k, name in enumerate(names):
            if name in names[:k]:
                raise InputError(f"{self.path}, line 1: column '{name}' appears twice")
        for name in self.REQUIRED:
            if name not in names:
                raise InputError(f"{self.path}: missing column '{name}'; the columns are {', '.join(names)}")
        wanted = {name: names.index(name) for name in (*self.REQUIRED, *self.OPTIONAL) if name in names}
        values: Dict[str, List[Value]] = {name: [] for name in wanted}
        lines: List[int] = []
        for row in reader:
            line = reader.line_num
            if len(row) != len(names):
                what = "an empty line" if not row else f"{len(row)} fields"
                raise InputError(f"{self.path}, line {line}: {what}, the header line has {len(names)} columns")
            for name, k in wanted.items():
                values[name].append(self._value(line, name, row[k]))
            lines.append(line)
        if not lines:
            raise InputError(f"{self.path}: no site (a header line only)")
        return values, lines

    def _value(self, line: int, name: str, text: str) -> Value:
        if name == "site_id":
            if not _INTEGER.fullmatch(text):
                self.fail(line, name, "empty value" if not text.strip() else f"{text.strip()!r} is not an integer")
            number = int(text)
            if not -(2**63) <= number < 2**63:
                self.fail(line, name, f"{text.strip()} does not fit a 64-bit integer")
            return number
        if name == "vs30measured":
            flag = text.strip().lower()
            if flag not in _TRUE + _FALSE:
                self.fail(line, name, f"{text.strip()!r} is not 0, 1, true or false")
            return flag in _TRUE
        if name in ("z1pt0", "z2pt5"):
            return self.depth(line, name, text)
        value = self.number(line, name, text)
        bounds = {"lon": (-180.0, 180.0), "lat": (-90.0, 90.0)}.get(name)
        if bounds and not bounds[0] <= value <= bounds[1]:
            self.fail(line, name, f"{text.strip()} is outside {bounds[0]:g} to {bounds[1]:g} degrees")
        if name == "vs30" and not (value > 0 and math.isfinite(value)):
            self.fail(line, name, f"{text.strip()} is not a velocity > 0 m/s")
        return value


def _first_repeat(keys: npt.NDArray[Any]) -> Optional[Tuple[int, int]]:
    """The first row whose key repeats an earlier row's, and that earlier row."""
    order = np.argsort(keys, kind="stable")
    sorted_keys = keys[order]
    same = np.flatnonzero(sorted_keys[1:] == sorted_keys[:-1])
    if len(same) == 0:
        return None
    later = order[same + 1]
    k = int(np.argmin(later))
    return int(order[same[k]]), int(later[k])


class _Where(Protocol):
    """Names row ``row`` in a message: in full, or in short after a first mention."""

    def __call__(self, row: int, short: bool = False) -> str: ...


def _check_unique(site_id: Ints, lon: Floats, lat: Floats, where: _Where) -> None:
    repeat = _first_repeat(site_id)
    if repeat is not None:
        raise InputError(f"{where(repeat[1])}, column 'site_id': {site_id[repeat[1]]} repeats the id "
                         f"of {where(repeat[0], short=True)}")
    keys = np.rec.fromarrays([lon, lat]) if len(lon) else np.zeros(0)
    repeat = _first_repeat(np.asarray(keys))
    if repeat is not None:
        raise InputError(f"{where(repeat[1])}: the site ({lon[repeat[1]]} {lat[repeat[1]]}) repeats "
                         f"that of {where(repeat[0], short=True)}")


def read_sites(path: Union[str, "os.PathLike[str]"], *, correlation: str = "california") -> Sites:
    """Read a site model CSV.

    Columns: ``lon``, ``lat`` (degrees), ``vs30`` (m/s), and optionally ``site_id`` (integers,
    unique; else 0, 1, ...), ``vs30measured`` (0/1 or true/false; else 0), ``z1pt0`` (m) and
    ``z2pt5`` (km). A depth left empty or -999 (or a column left out) is derived from Vs30.
    Other columns (a name, say) are ignored.

    Parameters
    ----------
    path : str or path-like
        The CSV file, with a header line.
    correlation : {"california", "japan"}
        The Vs30 correlations for missing depths.

    Returns
    -------
    Sites
        Z1.0 and Z2.5 in km.

    Raises
    ------
    gmms.errors.InputError
        Naming the file, line and column of the first bad value, or the two lines of a repeated
        site id or location.

    Examples
    --------
    >>> sites = read_sites("sites.csv")        # doctest: +SKIP
    >>> sites.z1p0[sites.z1p0_derived]          # doctest: +SKIP
    """
    table = _Table(os.fspath(path))
    values, lines = table.read()
    n = len(lines)
    site_id = np.array(values["site_id"], dtype=np.int64) if "site_id" in values else np.arange(n, dtype=np.int64)
    lon, lat = np.array(values["lon"], dtype=np.float64), np.array(values["lat"], dtype=np.float64)

    def where(row: int, short: bool = False) -> str:
        return f"line {lines[row]}" if short else f"{table.path}, line {lines[row]}"

    _check_unique(site_id, lon, lat, where)
    vs30 = np.array(values["vs30"], dtype=np.float64)
    measured = np.array(values.get("vs30measured", [False] * n), dtype=np.bool_)
    z1 = np.array(values.get("z1pt0", [math.nan] * n), dtype=np.float64)
    z2 = np.array(values.get("z2pt5", [math.nan] * n), dtype=np.float64)
    return _complete(site_id, lon, lat, vs30, measured, z1, z2, correlation)


def _reference(n: int, vs30: float, vs30measured: bool, z1pt0: Optional[float], z2pt5: Optional[float],
               correlation: str) -> Tuple[Floats, Bools, Floats, Floats]:
    """Arrays of the reference values for ``n`` sites, checked."""
    if not (isinstance(vs30, (int, float)) and vs30 > 0 and math.isfinite(vs30)):
        raise InputError(f"reference vs30: expected a velocity > 0 m/s, not {vs30!r}")
    for name, value in (("z1pt0", z1pt0), ("z2pt5", z2pt5)):
        if value is not None and not (isinstance(value, (int, float)) and value > 0 and math.isfinite(value)):
            raise InputError(f"reference {name}: expected a depth > 0, not {value!r}")
    return (np.full(n, float(vs30)), np.full(n, bool(vs30measured)),
            np.full(n, math.nan if z1pt0 is None else float(z1pt0)),
            np.full(n, math.nan if z2pt5 is None else float(z2pt5)))


def point_sites(lon: npt.ArrayLike, lat: npt.ArrayLike, *, vs30: float, vs30measured: bool = False,
                z1pt0: Optional[float] = None, z2pt5: Optional[float] = None,
                site_id: Optional[npt.ArrayLike] = None, correlation: str = "california") -> Sites:
    """Sites at given points, all with the same reference values.

    Parameters
    ----------
    lon, lat : array_like
        Degrees.
    vs30 : float
        m/s.
    vs30measured : bool
    z1pt0 : float, optional
        Depth to Vs = 1.0 km/s, **metres** (as in a site model); derived from Vs30 if None.
    z2pt5 : float, optional
        Depth to Vs = 2.5 km/s, km; derived from Vs30 if None.
    site_id : array_like of int, optional
        Unique ids; 0, 1, ... if None.
    correlation : {"california", "japan"}

    Examples
    --------
    >>> sites = point_sites([-122.0, -121.5], [38.0, 38.1], vs30=760.0)
    >>> sites.z1p0_derived.all()
    True
    """
    lons = np.atleast_1d(np.asarray(lon, dtype=np.float64))
    lats = np.atleast_1d(np.asarray(lat, dtype=np.float64))
    if lons.ndim != 1 or lons.shape != lats.shape:
        raise InputError(f"sites: {lons.size} longitudes and {lats.size} latitudes")
    bad = ~((np.abs(lons) <= 180) & (np.abs(lats) <= 90))
    if bad.any():
        k = int(np.flatnonzero(bad)[0])
        raise InputError(f"site {k}: ({lons[k]} {lats[k]}) is not a longitude in -180..180 and a "
                         "latitude in -90..90")
    n = len(lons)
    ids = np.arange(n, dtype=np.int64) if site_id is None else np.asarray(site_id)
    if ids.shape != (n,) or ids.dtype.kind not in "iu":
        raise InputError(f"sites: site_id must be {n} integers")
    ids = ids.astype(np.int64)

    def where(row: int, short: bool = False) -> str:
        return f"site {row}"

    _check_unique(ids, lons, lats, where)
    v, measured, z1, z2 = _reference(n, vs30, vs30measured, z1pt0, z2pt5, correlation)
    return _complete(ids, lons, lats, v, measured, z1, z2, correlation)


def grid_sites(region: Sequence[Tuple[float, float]], spacing_km: float, *, vs30: float,
               vs30measured: bool = False, z1pt0: Optional[float] = None, z2pt5: Optional[float] = None,
               correlation: str = "california") -> Sites:
    """Sites on a regular grid inside a region, all with the same reference values.

    The grid: rows ``spacing_km`` apart from the north edge of the region's bounding box
    southward, points ``spacing_km`` apart along each row from its west edge, those strictly
    inside the polygon kept; site ids 0, 1, ... in that order.

    Parameters
    ----------
    region : sequence of (lon, lat)
        The polygon's vertices, degrees (the ring need not be closed).
    spacing_km : float
    vs30, vs30measured, z1pt0, z2pt5, correlation
        As for ``point_sites``: z1pt0 in metres, z2pt5 in km, derived from Vs30 if None.

    Examples
    --------
    >>> box = [(-122.5, 37.5), (-121.5, 37.5), (-121.5, 38.5), (-122.5, 38.5)]
    >>> len(grid_sites(box, 10.0, vs30=400.0)) > 0
    True
    """
    vertices = list(region)
    if any(len(v) != 2 for v in vertices):
        raise InputError("region: expected (lon, lat) pairs")
    try:
        ring_lon, ring_lat = grid.ring([float(v[0]) for v in vertices], [float(v[1]) for v in vertices])
        lon, lat = grid.grid(ring_lon, ring_lat, float(spacing_km))
    except ValueError as error:
        raise InputError(f"region: {error}") from None
    if len(lon) == 0:
        raise InputError(f"region: no point of a {spacing_km} km grid falls inside it")
    n = len(lon)
    v, measured, z1, z2 = _reference(n, vs30, vs30measured, z1pt0, z2pt5, correlation)
    return _complete(np.arange(n, dtype=np.int64), lon, lat, v, measured, z1, z2, correlation)
