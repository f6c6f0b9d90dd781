"""Pairs from a source model and sites: every rupture of the model with every site within a
maximum distance of it, the model's inputs taken from the rupture and the site.

Which input a parameter takes is the registry's (each parameter's ``source``, see
``gmms.models.RUPTURE_INPUTS`` and ``SITE_INPUTS``); the user's choices for the run (``IM``,
say) are the same for every rupture. Ruptures are made where they are used, a block at a time,
from the source model (``gmms.sources``); the distances come from ``gmms._geometry``. Rupture
``k`` of the model (sources in file order, then each source's ruptures in order) is scenario
``k``, the same on every run and in every process.

A piece is a range of the model's ruptures with a block of the sites: it holds the source model,
which is small beside the ruptures and pairs it stands for, and makes its pairs where it runs.
"""

import dataclasses
import math
from typing import Any, Dict, Tuple

import numpy as np

from gmms import _geometry, models, sources
from gmms.errors import InputError

from .block import PairBlock

# A rupture input's field of the rupture record (gmms.sources.Ruptures), and a site input's of
# the site record (gmms.sources.Sites).
RUPTURE_FIELDS = {"M": "mag", "rake": "rake", "dip": "dip", "strike": "strike", "Z_tor": "ztor",
                  "Z_hyp": "hypo_depth", "width": "width", "length": "length",
                  "hypo_lat": "hypo_lat", "hypo_lon": "hypo_lon", "hypo_depth": "hypo_depth"}
SITE_FIELDS = {"Vs30": "vs30", "Z1p0": "z1p0", "Z2p5": "z2p5", "vs30measured": "vs30measured",
               "lon": "lon", "lat": "lat"}
DEFAULT_MAXIMUM_DISTANCE_KM = 300.0
# Rupture x site combinations looked at in one go, whatever a piece holds: the distances and
# the model's inputs of at most this many pairs are in memory at once.
BLOCK_COMBINATIONS = 1 << 21


@dataclasses.dataclass(frozen=True)
class RuptureSet:
    """What makes the pairs: the source model, how it is cut into ruptures, the sites, the
    maximum distance (km, on R_rup; one for every rupture, or per tectonic region), further
    scenario columns a consumer needs ({column: kind}; ``annual_rate`` is the rupture's rate),
    and the offset of each source's first rupture among the model's."""
    source_model: sources.SourceModel
    discretization: sources.Discretization
    sites: sources.Sites
    maximum_distance: Any
    extra: Tuple[Tuple[str, str], ...]
    offsets: Tuple[int, ...]

    def ruptures(self, ranges):
        return sources.make_ruptures(self.source_model, ranges, self.discretization)

    def ids(self, ruptures):
        """The scenario id of each rupture: its number among the model's."""
        return np.asarray(self.offsets, dtype=np.int64)[ruptures.source] + ruptures.index

    def distance_of(self, ruptures):
        """The maximum distance of each rupture (a number when it is the same for all)."""
        if not isinstance(self.maximum_distance, dict):
            return self.maximum_distance
        by_region = np.array([self.maximum_distance[region]
                              for region in self.source_model.regions], dtype=np.float64)
        return by_region[ruptures.region] if len(by_region) else np.zeros(len(ruptures))

    def found(self, ranges, site_start=0, site_stop=None, names=None):
        """(ruptures, sites, pairs within the maximum distance) of the ruptures of ``ranges``
        with sites ``site_start`` to ``site_stop``, a bounded number of combinations at a
        time; the pairs as ``gmms._geometry.within`` gives them (indices into the ruptures and
        the sites, and the distances: those ``names`` lists, or every one)."""
        sites = self.sites.select(slice(site_start, site_stop))
        per_block = max(1, BLOCK_COMBINATIONS // max(1, len(sites)))
        for part in split_ranges(ranges, per_block):
            ruptures = self.ruptures(part)
            yield ruptures, sites, _geometry.within(ruptures.geometry(), sites.lon, sites.lat,
                                                    self.distance_of(ruptures), names=names)

    def scenario_values(self, model, choices, ruptures):
        """The model's scenario parameters (and the extra columns) of each rupture."""
        n = len(ruptures)
        values = {}
        for p in model.scenario_parameters:
            if p.source == models.CHOICE:
                column = np.empty(n, dtype=object) if p.kind == models.OBJECT else np.empty(
                    n, dtype=np.int64 if p.kind == models.INT else np.float64)
                column[:] = choices[p.name]
            else:
                column = rupture_input(p.source, ruptures)
            values[p.name] = column
        for name, _ in self.extra:
            values[name] = ruptures.rate
        return values

    def block(self, model, choices, ruptures, sites, found, keep=None):
        """The PairBlock of ``model`` for the pairs ``found`` of ``ruptures`` and ``sites``
        (only those of the ruptures where ``keep``, a mask, is true)."""
        if keep is not None and not keep.all():
            at = keep[found["rupture"]]
            found = {name: values[at] for name, values in found.items()}
        site = found["site"]
        return PairBlock(self.ids(ruptures), self.scenario_values(model, choices, ruptures),
                         found["rupture"], sites.site_id[site],
                         {p.name: site_input(p.source, sites, site, found)
                          for p in model.site_parameters}, site_index=site)

    def pairs(self, model, choices, ranges, site_start=0, site_stop=None):
        """The pairs of the ruptures of ``ranges`` with sites ``site_start`` to ``site_stop``,
        as PairBlocks of ``model`` in order (ruptures, then sites); ``site_index`` counts from
        ``site_start``."""
        for ruptures, sites, found in self.found(ranges, site_start, site_stop):
            yield self.block(model, choices, ruptures, sites, found)


def rupture_input(name, ruptures):
    """A rupture input (gmms.models.RUPTURE_INPUTS) of each rupture."""
    if name in RUPTURE_FIELDS:
        return getattr(ruptures, RUPTURE_FIELDS[name])
    if name in ("normal", "reverse"):
        normal, reverse = sources.faulting_style(ruptures.rake)
        return normal if name == "normal" else reverse
    if name == "in_slab":
        in_slab = np.array([models.TECTONIC_REGIONS.get(region) == "in_slab"
                            for region in ruptures.regions], dtype=np.int64)
        return in_slab[ruptures.region] if len(in_slab) else np.zeros(len(ruptures), np.int64)
    raise KeyError(name)


def distance_names(model_list):
    """The distances the models of ``model_list`` (registry entries) take, and R_rup."""
    wanted = {"R_rup"} | {p.source for model in model_list for p in model.site_parameters}
    return tuple(name for name in _geometry.DISTANCES if name in wanted)


def site_input(name, sites, site, distances):
    """A site input (gmms.models.SITE_INPUTS) of each pair: its distance, or its site's value."""
    if name in distances:
        return distances[name]
    values = getattr(sites, SITE_FIELDS[name])[site]
    return values.astype(np.float64) if values.dtype != np.float64 else values


def split_ranges(ranges, size):
    """The rupture ranges cut into consecutive parts of at most ``size`` ruptures."""
    part, filled = [], 0
    for source, start, stop in ranges:
        while start < stop:
            end = min(stop, start + size - filled)
            part.append(sources.RuptureRange(source, start, end))
            filled += end - start
            start = end
            if filled == size:
                yield part
                part, filled = [], 0
    if part:
        yield part


class RuptureSource:
    """The ruptures of a source model with the sites within ``maximum_distance`` km of each
    (R_rup; or {tectonic region: km}), as pairs for ``model`` (a registry entry; None for a
    consumer that builds the pairs of several models itself) with the user's ``choices`` (checked);
    ``extra`` further scenario columns a consumer needs ({column: kind}: the rupture's annual
    rate). ``watch_sites``: site ids whose pieces a consumer will ask for alone
    (``pieces(watched_only=True)``).

    Raises InputError for a model that takes the tectonic region's flags and a rupture of a
    region it does not know."""

    def __init__(self, model, source_model, sites, *, discretization=None,
                 maximum_distance=DEFAULT_MAXIMUM_DISTANCE_KM, choices=None, extra=None,
                 watch_sites=None):
        self.model = model
        discretization = discretization or sources.Discretization()
        if model is not None and any(p.source == "in_slab" for p in model.parameters):
            unknown = [region for region in source_model.regions
                       if region not in models.TECTONIC_REGIONS]
            if unknown:
                raise InputError(
                    f"{source_model.path}: {model.name} takes its flags from the tectonic region, "
                    f"and knows no region {unknown[0]!r} (only "
                    f"{models.spoken_list(map(repr, models.TECTONIC_REGIONS))})")
        counts = [sources.count_ruptures(source_model, i, discretization)
                  for i in range(len(source_model.sources))]
        offsets = tuple(int(x) for x in np.concatenate(([0], np.cumsum(counts, dtype=np.int64))))
        self.choices = dict(choices or {})
        self.rupture_set = RuptureSet(source_model, discretization, sites,
                                      maximum_distance_of(maximum_distance, source_model),
                                      tuple((extra or {}).items()), offsets)
        self.counts = counts
        self.n_ruptures = offsets[-1]
        self.sites = sites
        self.im = (None if model is None
                   else model.im_label([self.choices["IM"]] if "IM" in self.choices else ()))
        self._watched = (None if watch_sites is None
                         else np.isin(sites.site_id, np.asarray(list(watch_sites), np.int64)))
        self.rupture_chunk, self.site_block = max(1, self.n_ruptures), max(1, len(sites))

    @property
    def site_ids(self):
        return self.sites.site_id

    def plan(self, rupture_chunk, site_block):
        """Pieces of at most ``rupture_chunk`` ruptures and ``site_block`` sites."""
        self.rupture_chunk, self.site_block = max(1, rupture_chunk), max(1, site_block)

    def _site_blocks(self, watched_only):
        n = len(self.sites)
        if watched_only:
            if self._watched is None:
                raise ValueError("no sites were watched")
            at = np.flatnonzero(self._watched)
            return [(int(at[0]), int(at[-1]) + 1)] if len(at) else []
        return [(start, min(n, start + self.site_block)) for start in range(0, n, self.site_block)]

    def _rupture_chunks(self):
        chunk = []
        for part in split_ranges([sources.RuptureRange(i, 0, count)
                            for i, count in enumerate(self.counts)], self.rupture_chunk):
            chunk.append(tuple(part))
        return chunk

    def pieces(self, executor=None, done=(), watched_only=False):
        """The pieces in order: each chunk of ruptures with each block of sites (with
        ``watched_only``, with the span of the watched sites only)."""
        index = 0
        for site_start, site_stop in self._site_blocks(watched_only):
            for ranges in self._rupture_chunks():
                if index not in done:
                    yield RupturePiece(index, ranges, site_start, site_stop, self.rupture_set,
                                       self.choices)
                index += 1

    def pair_count(self, watched_only=False):
        """The rupture x site combinations the pieces look at (an upper bound of the pairs)."""
        return sum((stop - start) * self.n_ruptures
                   for start, stop in self._site_blocks(watched_only))

    def blocks(self, model=None, site_start=0, site_stop=None):
        """Every pair, as PairBlocks in order, in this process."""
        ranges = [sources.RuptureRange(i, 0, count) for i, count in enumerate(self.counts)]
        return self.rupture_set.pairs(model or self.model, self.choices, ranges, site_start,
                                      site_stop)


@dataclasses.dataclass(frozen=True)
class RupturePiece:
    """Ruptures ``ranges`` (of their sources) with sites ``site_start`` to ``site_stop`` of the
    rupture set; the pairs are made where the piece is evaluated."""
    index: int
    ranges: Tuple[Any, ...]
    site_start: int
    site_stop: int
    rupture_set: RuptureSet = dataclasses.field(repr=False)
    choices: Dict[str, Any] = dataclasses.field(default_factory=dict)

    def __len__(self):
        return sum(stop - start for _, start, stop in self.ranges) * (self.site_stop
                                                                       - self.site_start)

    @property
    def site_ids(self):
        return self.rupture_set.sites.site_id[self.site_start:self.site_stop]

    def where(self):
        model = self.rupture_set.source_model
        (first, start, _), (last, _, stop) = self.ranges[0], self.ranges[-1]
        what = (f"ruptures {start}-{stop - 1} of source {model.sources[first].id!r}"
                if first == last else f"ruptures of sources {model.sources[first].id!r} to "
                                      f"{model.sources[last].id!r}")
        return f"{what} at sites {self.site_start}-{self.site_stop - 1}"

    def blocks(self, model):
        return self.rupture_set.pairs(model, self.choices, self.ranges, self.site_start,
                                      self.site_stop)


def maximum_distance_of(maximum_distance, source_model):
    """The maximum distance, km: a number, or {tectonic region: km} covering every region of
    the source model. Raises InputError for one that cannot be."""
    if isinstance(maximum_distance, dict):
        missing = [region for region in source_model.regions if region not in maximum_distance]
        if missing:
            raise InputError(f"maximum distance: none given for the tectonic region "
                             f"{missing[0]!r} of {source_model.path}")
        return {region: maximum_distance_of(km, source_model)
                for region, km in maximum_distance.items()}
    try:
        km = float(maximum_distance)
    except (TypeError, ValueError):
        raise InputError(f"maximum distance: {maximum_distance!r} is not a number") from None
    if not km > 0:
        raise InputError(f"maximum distance: must be above 0 km, not {maximum_distance!r}")
    return km


def choose_blocks(n_ruptures, n_sites, workers, combinations):
    """(ruptures per piece, sites per piece): pieces of about ``combinations`` rupture x site
    combinations each, site blocks as large as that allows (a task sends back sums for its sites
    only, so fewer, larger site blocks mean less to merge), at least a few pieces per worker."""
    n_ruptures, n_sites = max(1, n_ruptures), max(1, n_sites)
    wanted = max(1, 4 * workers, math.ceil(n_ruptures * n_sites / combinations))
    site_block = max(1, math.ceil(n_sites / min(wanted, max(1, n_sites // 256) or 1)))
    per_site_block = math.ceil(wanted / math.ceil(n_sites / site_block))
    return max(1, math.ceil(n_ruptures / per_site_block)), site_block

