"""Prints a digest of the three models' results over a fixed set of scenarios and sites, of the
hazard kernel's accumulators over a fixed set of pairs, and of the distances of a fixed set of
ruptures and sites.

Two builds of the modules give the same digest only if they compute the same bits: run it once
against each (whichever gmms is first on sys.path) and compare the output.
"""

import hashlib

import numpy as np

import gmms.siblings

gmms.siblings.use_siblings()
from gmms import Morrand, Sellwyn, Tarvik, _geometry, _hazard  # noqa: E402

rng = np.random.default_rng(20240607)
N = 500


def sites(low, high):
    return rng.uniform(low, high, N)


def digest(results):
    h = hashlib.sha256()
    for result in results:
        for array in result:
            h.update(np.ascontiguousarray(array, dtype="<f8").tobytes())
    return h.hexdigest()


tarvik = []
for im in (0, 1):
    for lat, lon in ((40.0, 135.0), (38.0, 142.0)):
        for flags in ((0, 0, 0, 0), (1, 1, 0, 1), (0, 1, 1, 0)):
            tarvik.append(Tarvik.Tarvik_cy(im, rng.uniform(4.0, 9.0), lat, lon, rng.uniform(0.0, 120.0),
                                           sites(0.0, 400.0), sites(150.0, 1500.0), *flags))
print("Tarvik ", digest(tarvik))

morrand = []
for gm_type in (0, 1):
    for psv in (0, 1):
        r_jb = sites(0.0, 300.0)
        morrand.append(Morrand.Morrand_cy(rng.uniform(4.0, 8.5), 60.0, 2.0, r_jb, r_jb + 1.0, r_jb,
                                          sites(150.0, 1500.0), sites(0.0, 1.0), sites(0.1, 6.0), 0, 1,
                                          gm_type, psv))
print("Morrand", digest(morrand))

sellwyn = []
for im in (0, 1):
    for magnitude in (4.2, 5.0, 6.7):
        r_jb = sites(0.0, 300.0)
        sellwyn.append(Sellwyn.Sellwyn_cy(im, magnitude, 12.0, 70.0, 1.0, 8.0, r_jb, r_jb + 0.5, -r_jb,
                                          sites(150.0, 1500.0), sites(0.1, 6.0), 1, 0, "JP"))
print("Sellwyn", digest(sellwyn))

hazard = []
rows, mu = rng.integers(0, 50, N), rng.normal(-2.0, 1.5, N)
sigma, rate = rng.uniform(0.4, 0.9, N), rng.uniform(0.0, 1e-2, N)
for tails in ("both", "upper"):
    for truncation in (2.0, 3.0, float("inf")):
        acc = _hazard.zeros((50, 40))
        _hazard.exceedance(acc, rows, mu, sigma, rate, np.linspace(-7.0, 3.0, 40), truncation, tails=tails)
        cells, moments = _hazard.zeros((50, 3, 4)), _hazard.zeros((50, _hazard.N_MOMENTS))
        _hazard.disaggregate(cells, moments, rows, rows % 3, mu, sigma, rate, sites(4.0, 8.0), sites(0.0, 300.0),
                             rng.uniform(-5.0, 0.0, 50), truncation, np.array([-2.0, -1.0, 0.0, 1.0, 2.0]),
                             tails=tails)
        hazard.append((acc.view(np.float64), cells.view(np.float64), moments.view(np.float64), _hazard.to_double(acc)))
hazard.append(_hazard.tail(np.linspace(-40.0, 40.0, 8001), float("inf")))
print("_hazard", digest(hazard))

n_ruptures = 40
ruptures = np.column_stack([rng.uniform(5.0, 15.0, n_ruptures), rng.uniform(35.0, 50.0, n_ruptures),
                            rng.uniform(0.0, 15.0, n_ruptures), rng.uniform(0.0, 360.0, n_ruptures),
                            np.r_[90.0, rng.uniform(1.0, 90.0, n_ruptures - 1)],
                            np.r_[0.0, rng.uniform(0.0, 400.0, n_ruptures - 1)], rng.uniform(0.0, 60.0, n_ruptures),
                            rng.uniform(5.0, 15.0, n_ruptures), rng.uniform(35.0, 50.0, n_ruptures),
                            rng.uniform(0.0, 20.0, n_ruptures)])
lon, lat = sites(-30.0, 50.0), sites(0.0, 80.0)  # near and far: both the fast and the exact path
found = _geometry.distances(ruptures, lon, lat)
pairs = _geometry.within(ruptures, lon, lat, 500.0)
print("_geometry", digest([list(found.values()), [pairs[name].astype(np.float64) for name in pairs]]))
