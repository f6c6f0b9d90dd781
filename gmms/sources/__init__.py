"""Seismic sources, ruptures and sites: from a source model (NRML) and a site model to the
ruptures and sites a hazard calculation runs over.

>>> from gmms import sources
>>> model = sources.read_source_model("source_model.xml")                  # doctest: +SKIP
>>> sites = sources.read_sites("sites.csv")                                 # doctest: +SKIP
>>> for block in sources.ruptures(model, sources.Discretization(rupture_mesh_spacing=1.0)):
...     r_rup = sources.distances(block, sites)["R_rup"]    # (ruptures, sites)  # doctest: +SKIP

Python and numpy, and the distances module gmms._geometry: nothing here imports the catalogue
or the hazard layers. See
docs/sources.md for the subset of NRML read and the rules by which sources become ruptures.
"""

from . import geodesy
from .model import (
    MFD, MSRS, AreaSource, HypoDepth, IncrementalMFD, NodalPlane, PointSource, SimpleFaultSource,
    Source, SourceModel, TruncatedGR, median_area)
from .nrml import read_source_model
from .generate import (
    DEFAULT_BLOCK_SIZE, GEOMETRY, Discretization, RuptureRange, Ruptures, area_points,
    count_ruptures, faulting_style, make_ruptures, rupture_ranges, ruptures)
from .sites import Sites, grid_sites, point_sites, read_sites, z1pt0_from_vs30, z2pt5_from_vs30
from .distances import DISTANCES, distances, within

__all__ = [
    "AreaSource", "DEFAULT_BLOCK_SIZE", "DISTANCES", "distances", "within", "Discretization", "GEOMETRY", "HypoDepth", "IncrementalMFD",
    "MFD", "MSRS", "NodalPlane", "PointSource", "RuptureRange", "Ruptures", "SimpleFaultSource",
    "Sites", "Source", "SourceModel", "TruncatedGR", "area_points", "count_ruptures",
    "faulting_style", "geodesy", "grid_sites", "make_ruptures", "median_area", "point_sites",
    "read_sites", "read_source_model", "rupture_ranges", "ruptures", "z1pt0_from_vs30",
    "z2pt5_from_vs30",
]
