"""Distances: gmms._geometry against the same distances in vectorised numpy, on one core.

A block of ruptures (faults of every dip, 0-200 km long, a few point ruptures) in a region some
400 km across, and a grid of sites over it and 150 km around, row by row as a site model gives
them. Each implementation computes R_rup, R_JB and R_x of every (rupture, site) pair:

- ``ours``: ``_geometry.distances`` with ``out=`` the three arrays, reused;
- ``ours, fresh``: the same into new arrays (the first writes to new memory are part of its time);
- ``ours, all six``: every distance, into reused arrays;
- ``within 300 km``: ``_geometry.within``, every distance of the pairs with R_rup <= 300 km,
  and only R_rup, R_JB and R_x (``names``);
- ``numpy``: the same geometry written in numpy as a careful user would: the sites' unit vectors
  once, the ruptures' frames once, then per block of ruptures the dot products by matrix products
  and the distances by arcsin and the right spherical triangle in its haversine form, into reused
  arrays; no Python loop over ruptures or sites.

Prints pairs per second and the ratios, measured side by side (interleaved repeats, the best of
each, in CPU time, which other processes on the machine disturb less than wall-clock time), and
the largest differences between the two, in km.
Run: /usr/bin/python3 bench/geometry.py [--ruptures N] [--sites N] [--repeats R]
"""

import os

# One core: numpy's matrix products would take every core (set before numpy is imported).
for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import argparse  # noqa: E402
import math  # noqa: E402
import sys  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
if __name__ == "__main__":
    sys.path.insert(0, str(ROOT))
from gmms import _geometry  # noqa: E402
from timing import best_cpu_seconds  # noqa: E402

R = _geometry.EARTH_RADIUS
THREE = ("R_rup", "R_JB", "R_x")


def ruptures_in_region(n, rng):
    """Faults and point ruptures around 10 E 45 N, as rows of RUPTURE_COLUMNS."""
    lon0, lat0 = rng.uniform(8.0, 12.0, n), rng.uniform(43.5, 46.5, n)
    length = np.where(rng.random(n) < 0.1, 0.0, rng.uniform(5.0, 200.0, n))
    width = np.where(length == 0, 0.0, np.minimum(length, rng.uniform(5.0, 40.0, n)))
    dip = np.where(rng.random(n) < 0.3, 90.0, rng.uniform(10.0, 89.0, n))
    return np.column_stack([lon0, lat0, rng.uniform(0.0, 10.0, n), rng.uniform(0.0, 360.0, n), dip, length, width,
                            lon0 + rng.uniform(-0.2, 0.2, n), lat0 + rng.uniform(-0.2, 0.2, n),
                            rng.uniform(5.0, 20.0, n)])


def site_grid(n):
    """About n sites on a regular lon/lat grid over 6-14 E, 42-48 N, row by row."""
    cols = int(math.sqrt(n * 8 / 6))
    rows = max(1, n // cols)
    lon, lat = np.meshgrid(np.linspace(6.0, 14.0, cols), np.linspace(48.0, 42.0, rows))
    return lon.ravel(), lat.ravel()


def unit(lon, lat):
    lon, lat = np.radians(lon), np.radians(lat)
    return np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], axis=-1)


class NumpyDistances:
    """R_rup, R_JB and R_x in numpy: frames per rupture, then blocks of ruptures x all sites."""

    def __init__(self, ruptures, lon, lat, block=8):
        self.sites = unit(lon, lat).T.copy()  # (3, n_sites)
        lon0, lat0, strike = (np.radians(ruptures[:, k]) for k in (0, 1, 3))
        a = unit(ruptures[:, 0], ruptures[:, 1])
        east = np.stack([-np.sin(lon0), np.cos(lon0), np.zeros_like(lon0)], axis=-1)
        north = np.stack([-np.sin(lat0) * np.cos(lon0), -np.sin(lat0) * np.sin(lon0), np.cos(lat0)], axis=-1)
        u = np.sin(strike)[:, None] * east + np.cos(strike)[:, None] * north
        self.r = np.cos(strike)[:, None] * east - np.sin(strike)[:, None] * north
        sigma = ruptures[:, 5] / R
        self.u = u
        self.u_end = -np.sin(sigma)[:, None] * a + np.cos(sigma)[:, None] * u
        dip = np.radians(ruptures[:, 4])
        self.cos_dip = np.where(ruptures[:, 4] == 90, 0.0, np.cos(dip))[:, None]
        self.sin_dip = np.where(ruptures[:, 4] == 90, 1.0, np.sin(dip))[:, None]
        self.ztor, self.width = ruptures[:, 2:3], ruptures[:, 6:7]
        self.width_h = self.width * self.cos_dip
        self.block = block
        n = min(block, len(ruptures))
        self.scratch = [np.empty((n, self.sites.shape[1])) for _ in range(6)]

    def __call__(self, out):
        for start in range(0, len(self.u), self.block):
            part = slice(start, start + self.block)
            n = len(self.u[part])
            b, c, b_end, x, y, t = (s[:n] for s in self.scratch)
            np.matmul(self.u[part], self.sites, out=b)
            np.matmul(self.r[part], self.sites, out=c)
            np.matmul(self.u_end[part], self.sites, out=b_end)
            # The sine of the angle beyond the nearer end (0 between the ends), and the site's foot
            # on that end's perpendicular great circle: its arc from the top edge.
            np.negative(b, out=b)
            np.maximum(b, b_end, out=y)
            np.maximum(y, 0.0, out=y)
            np.multiply(y, y, out=x)
            np.subtract(1.0, x, out=x)
            np.sqrt(x, out=x)
            np.divide(c, x, out=x)
            np.arcsin(x, out=x)                       # the foot's arc, radians
            np.arcsin(y, out=y)                       # the angle beyond the end, radians
            np.arcsin(c, out=c)
            np.multiply(c, R, out=out["R_x"][part])
            # Legs y and d of a right spherical triangle: sin^2(h/2) = s + e - 2 s e, with
            # s = sin^2(y/2), e = sin^2(d/2) (cos h = cos y cos d, without arccos's loss near 0).
            np.multiply(y, 0.5, out=y)
            np.sin(y, out=y)
            np.multiply(y, y, out=y)                  # y is sin^2(y/2) from here
            np.clip(x, 0.0, self.width_h[part] / R, out=t)
            np.subtract(x, t, out=t)
            self._hypotenuse(y, t, b)
            np.multiply(t, R, out=out["R_JB"][part])
            # R_rup: the nearest point down dip of the cross-section, then the same triangle and depth.
            cos_dip, sin_dip, ztor = self.cos_dip[part], self.sin_dip[part], self.ztor[part]
            np.multiply(x, R * cos_dip, out=t)
            np.subtract(t, ztor * sin_dip, out=t)
            np.clip(t, 0.0, self.width[part], out=t)  # km down dip
            np.multiply(t, cos_dip / R, out=b_end)
            np.subtract(x, b_end, out=b_end)
            self._hypotenuse(y, b_end, b)
            np.multiply(b_end, R, out=b_end)
            np.multiply(t, sin_dip, out=t)
            np.add(t, ztor, out=t)
            np.hypot(b_end, t, out=out["R_rup"][part])
        return out

    @staticmethod
    def _hypotenuse(leg_sin2, other, scratch):
        """other := the hypotenuse (radians) with the legs whose sin^2(leg/2) is leg_sin2 and other."""
        np.multiply(other, 0.5, out=other)
        np.sin(other, out=other)
        np.multiply(other, other, out=other)
        np.multiply(other, leg_sin2, out=scratch)
        np.add(other, leg_sin2, out=other)
        np.subtract(other, scratch, out=other)
        np.subtract(other, scratch, out=other)
        np.sqrt(other, out=other)
        np.arcsin(other, out=other)
        np.multiply(other, 2.0, out=other)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ruptures", type=int, default=200)
    parser.add_argument("--sites", type=int, default=50_000)
    parser.add_argument("--repeats", type=int, default=5)
    options = parser.parse_args()
    rng = np.random.default_rng(21)
    ruptures = ruptures_in_region(options.ruptures, rng)
    lon, lat = site_grid(options.sites)
    n_pairs = len(ruptures) * len(lon)
    shape = (len(ruptures), len(lon))
    ours_out = {name: np.zeros(shape) for name in THREE}
    all_out = {name: np.zeros(shape) for name in _geometry.DISTANCES}
    numpy_out = {name: np.zeros(shape) for name in THREE}
    numpy_distances = NumpyDistances(ruptures, lon, lat)
    counted = {}

    def within(names=None):
        counted["within"] = len(_geometry.within(ruptures, lon, lat, 300.0, names=names)["site"])

    runs = {
        "ours": lambda: _geometry.distances(ruptures, lon, lat, out=ours_out),
        "ours, fresh": lambda: _geometry.distances(ruptures, lon, lat,
                                                   out={name: np.empty(shape) for name in THREE}),
        "ours, all six": lambda: _geometry.distances(ruptures, lon, lat, out=all_out),
        "within 300 km": within,
        "within, three": lambda: within(THREE),
        "numpy": lambda: numpy_distances(numpy_out),
    }
    print(f"{len(ruptures)} ruptures x {len(lon)} sites = {n_pairs / 1e6:.1f} M pairs, R_rup, R_JB and R_x; "
          f"best of {options.repeats} in CPU time")
    best = best_cpu_seconds(runs, options.repeats)
    for label, seconds in best.items():
        print(f"  {label:14s} {n_pairs / seconds / 1e6:8.1f} M pairs/s  ({seconds * 1e3:8.1f} ms)  "
              f"numpy / this: {best['numpy'] / seconds:5.1f}")
    print(f"  within 300 km kept {counted['within']} pairs ({counted['within'] / n_pairs:.1%})")
    for name in THREE:
        print(f"  {name}: largest difference ours - numpy {np.max(np.abs(ours_out[name] - numpy_out[name])):.1e} km")


if __name__ == "__main__":
    main()
