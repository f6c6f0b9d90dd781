"""Calls written as a user writes them, type-checked against the installed stubs.

mypy must accept every call here except the ones marked to be refused.
"""

import array

import numpy as np
import numpy.typing as npt

from gmms import Morrand, Sellwyn, Tarvik

R_rup = np.array([10.0, 50.0, 100.0])
Vs30 = np.full(3, 400.0)

mean, phi, tau = Tarvik.Tarvik_cy(1, 7.0, 40.0, 135.0, 50.0, R_rup, Vs30, 1, 0, 0, 0)
median: npt.NDArray[np.float64] = np.exp(mean)
Tarvik.Tarvik_cy(np.int64(0), np.float64(6), 40, 135, 50, R_rup[::-1], array.array("d", [1.0]), True, 0, 0, 0)
Tarvik.Tarvik_cy(IM=0, M=7.0, hypo_lat=40.0, hypo_lon=135.0, hypo_depth=50.0, R_rup=None, Vs30=None,
                 fins=0, fint=0, fnm=0, frv=0)
Morrand.Morrand_cy(6.5, 45.0, 3.0, R_rup, R_rup, R_rup, Vs30, Vs30, memoryview(array.array("d", [1.0])), 0, 1, 1, 1)
Sellwyn.Sellwyn_cy(0, 6.5, 15.0, 45.0, 3.0, 10.0, R_rup, R_rup, R_rup, Vs30, Vs30, 0, 1, "JP")

Tarvik.Tarvik_cy(0, "7.0", 40.0, 135.0, 50.0, R_rup, Vs30, 1, 0, 0, 0)  # type: ignore[arg-type]
Tarvik.Tarvik_cy(0, 7.0, 40.0, 135.0, 50.0, [10.0], Vs30, 1, 0, 0, 0)  # type: ignore[arg-type]
Tarvik.Tarvik_cy(0, 7.0, 40.0, 135.0, 50.0, R_rup, Vs30, 1, 0, 0)  # type: ignore[call-arg]
Morrand.Morrand_cy(6.5, 45.0, 3.0, R_rup, R_rup, R_rup, Vs30, Vs30, Vs30, 0, 1, 1, PSV_check=1)  # type: ignore[call-arg]

from gmms import _hazard  # noqa: E402

acc = _hazard.zeros((3, 2))
_hazard.exceedance(acc, np.array([0, 2]), np.zeros(2), np.ones(2), np.full(2, 0.1), np.array([-1.0, 1.0]), 3.0)
_hazard.merge(acc, _hazard.zeros([3, 2]))
curves: npt.NDArray[np.float64] = _hazard.to_double(acc)
_hazard.exceedance(acc, [0, 2], np.zeros(2), np.ones(2), np.full(2, 0.1), np.zeros(2), 3.0)  # type: ignore[arg-type]

from gmms import sources  # noqa: E402

model = sources.read_source_model("source_model.xml")
setting = sources.Discretization(rupture_mesh_spacing=1.0)
for block in sources.ruptures(model, setting, block_size=10_000):
    geometry: npt.NDArray[np.float64] = block.geometry()
    fnm, frv = sources.faulting_style(block.rake)
pieces = list(sources.rupture_ranges(model, setting, size=1000))
made: sources.Ruptures = sources.make_ruptures(model, pieces[0], setting)
count: int = sources.count_ruptures(model, 0, setting)
sites = sources.read_sites("sites.csv", correlation="japan")
z1p0_km: npt.NDArray[np.float64] = sites.z1p0
grid = sources.grid_sites([(0.0, 0.0), (1.0, 0.0), (1.0, 1.0)], 5.0, vs30=760.0)
points = sources.point_sites([0.0, 1.0], np.zeros(2), vs30=760.0, z1pt0=40.0)
sources.read_source_model(42)  # type: ignore[arg-type]
sources.grid_sites([(0.0, 0.0)], 5.0)  # type: ignore[call-arg]
sources.make_ruptures(model, [(0, 0, 10), (0, 10, 20)], setting)
sources.make_ruptures(model, (0, 0.5, 10), setting)  # type: ignore[arg-type]

from gmms import _geometry  # noqa: E402

ruptures = np.array([[10.0, 45.0, 2.0, 30.0, 60.0, 20.0, 10.0, 10.1, 45.05, 8.0]])
found = _geometry.distances(ruptures, np.array([10.2, 11.0]), np.array([45.0, 45.5]))
r_rup: npt.NDArray[np.float64] = found["R_rup"]
_geometry.distances(ruptures, R_rup, R_rup, out={"R_JB": np.empty((1, 3))})
pairs = _geometry.within(ruptures, R_rup, R_rup, 300.0)
_geometry.within(ruptures, R_rup, R_rup, np.array([300.0]), names=["R_rup", "R_JB"])
columns: tuple[str, ...] = _geometry.RUPTURE_COLUMNS + _geometry.DISTANCES
_geometry.distances(ruptures, R_rup, R_rup, out=[np.empty((1, 3))])  # type: ignore[arg-type]
_geometry.within(ruptures, R_rup, R_rup, "300")  # type: ignore[arg-type]
_hazard.exceedance(acc, np.array([0, 2]), np.zeros(2), np.ones(2), np.full(2, 0.1), np.zeros(2), 3.0, tails="upper")
_hazard.exceedance(acc, np.array([0, 2]), np.zeros(2), np.ones(2), np.full(2, 0.1), np.zeros(2), 3.0, tails="lower")  # type: ignore[arg-type]
probabilities: npt.NDArray[np.float64] = _hazard.tail(np.linspace(-3.0, 3.0, 7), 3.0, tails="both")
