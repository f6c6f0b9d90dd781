"""Hazard from a source model and sites, as a job file describes it: no pair table.

Each task takes a chunk of the ruptures and a block of the sites, makes the ruptures where it
runs, finds the pairs within the maximum distance, evaluates each model of the ruptures'
tectonic region over them and adds the exceedance rates into exact sums per (branch, site,
level) (``reduce.branch_curves``). The client merges the sums as they come; from the branches'
curves come the realizations, the mean and quantile curves, maps and, for chosen sites, the
disaggregation of the mean. The sums are exact, so the numbers are the same bits whatever the
way of running, the number of workers, the block sizes and the order the tasks finish in, and
the same as ``ruptures`` then ``hazard`` on the same sources, sites and settings.
"""

import contextlib
import dataclasses
import functools
import math
import os
import time
from typing import Dict, List, Optional, Tuple

import numpy as np

from gmms import _geometry, _hazard, models, sources
from gmms.errors import InputError
from gmms.models import IM_UNITS
from gmms.pairs.block import tasks
from gmms.pairs.ruptures import BLOCK_COMBINATIONS, RuptureSource, choose_blocks
from gmms.run.options import Run, RunOptions, package_version

from . import logictree, options as opts, reduce
from .job import Job, read_job
from .results import Disaggregation

# Rupture x site combinations per task, when nothing else decides: a second or so of work.
TASK_COMBINATIONS = 20_000_000
# The sample of ruptures from which the number of pairs within the maximum distance is
# estimated before a run (to choose between a cluster and this process).
SAMPLE_RUPTURES = 2000


@dataclasses.dataclass
class SourceHazard:
    """The result of a hazard job.

    ``annual_rate[s, l]``: the mean curve, the annual rate at which site ``site_id[s]`` (at
    ``lon[s]``, ``lat[s]``) sees ``imt`` exceed ``levels[l]``; ``poe``: its probability in
    ``investigation_time`` years. ``branches`` (region, model as written, weight) with their
    curves ``branch_rates[b, s, l]``; ``realizations`` (the branch of each region, weight) with
    ``realization_rates``; ``quantile_rates[q]``. ``maps[statistic][s, k]``: the level whose
    probability of exceedance in the investigation time is ``poes[k]``, for "mean",
    "quantile-Q" and (with ``individual_rlzs``) "rlz-NNN". ``disaggregation``: of the mean
    rate at chosen sites, at the levels of the mean map for ``poes_disagg``.
    """
    site_id: np.ndarray
    lon: np.ndarray
    lat: np.ndarray
    imt: str
    levels: np.ndarray
    investigation_time: float
    annual_rate: np.ndarray
    poe: np.ndarray
    branches: List[Tuple[str, str, float]]
    branch_rates: np.ndarray
    realizations: List[Tuple[Tuple[int, ...], float]]
    realization_rates: Optional[np.ndarray]
    quantile_rates: Dict[float, np.ndarray]
    poes: Tuple[float, ...]
    maps: Dict[str, np.ndarray]
    disaggregation: Disaggregation
    metadata: dict
    summary: dict
    individual_rlzs: bool = False
    path: Optional[str] = None

    def statistics(self):
        """(name, annual rates (site, level)) of the mean, the quantiles and, with
        ``individual_rlzs``, every realization: the curves a user reads."""
        out = [("mean", self.annual_rate)]
        out += [(f"quantile-{q:g}", rates) for q, rates in self.quantile_rates.items()]
        if self.individual_rlzs and self.realization_rates is not None:
            out += [(f"rlz-{k:03d}", rates) for k, rates in enumerate(self.realization_rates)]
        return out


def run_job(job, options=None, *, out=None, plot=None, settings=None):
    """Seismic hazard as the job file ``job`` describes it (a path, or a ``Job``), with the
    settings ``settings`` ({key: value}) over the file's.

    Runs in this process, on a local cluster, on ``options.client`` or a scheduler, as the
    catalogue does (``options``: a ``gmms.run.options.RunOptions``). With ``out`` (an .h5
    file, or any other path for a directory of CSV files; the job's ``export_dir`` when not
    given) the result is also written there; with ``plot`` (a directory), the maps, curves and
    disaggregation are drawn there.

    Returns a ``SourceHazard``. Raises InputError (naming the file, the line and the key, or
    the option) before any model work.
    """
    return run_job_with_notes(job, options, out=out, plot=plot, settings=settings)[0]


def run_job_with_notes(job, options=None, *, out=None, plot=None, settings=None):
    """``run_job``, and what the run decided for itself (lines for the command's summary)."""
    from . import map_output

    started = time.perf_counter()
    options = options or RunOptions()
    if not isinstance(job, Job):
        job = read_job(job, settings)
    out = out if out is not None else job.export_dir
    source_model = sources.read_source_model(job.source_model_file)
    sites = sites_of(job)
    branches = logictree.branches_of(job, source_model)
    for branch in branches:
        _check_regions(branch, source_model)
    realizations = logictree.realizations_of(branches)
    run = Run([branch.model for branch in branches], options)
    if out is not None:
        map_output.check_destination(out)
    if plot is not None:
        map_output.check_plot_directory(plot)
    run.locate_siblings()
    discretization = sources.Discretization(
        width_of_mfd_bin=job.width_of_mfd_bin, rupture_mesh_spacing=job.rupture_mesh_spacing,
        area_source_discretization=job.area_source_discretization)
    maximum_distance = job.maximum_distance
    if isinstance(maximum_distance, dict):
        default = maximum_distance.get("default")
        maximum_distance = {region: maximum_distance.get(region, default)
                            for region in source_model.regions}
        missing = [region for region, km in maximum_distance.items() if km is None]
        if missing:
            raise InputError(f"{job.path or 'the job'}: maximum_distance gives no distance for "
                             f"the tectonic region {missing[0]!r} (nor a 'default')")
    source = RuptureSource(None, source_model, sites, discretization=discretization,
                           maximum_distance=maximum_distance, extra={reduce.RATE: models.DOUBLE})
    disagg_sites = _disagg_sites(job, sites)
    passes = _Passes(run, source, job, branches, disagg_sites)
    with contextlib.ExitStack() as stack:
        run.decide_cluster(passes.estimate_pairs())
        stack.enter_context(run.executor)
        run.load_here()
        branch_sums = passes.curves()
        result = _result(job, sites, branches, realizations, branch_sums, run, source,
                         passes, source_model)
        result.disaggregation = passes.disaggregation(result)
    result.summary["seconds"] = time.perf_counter() - started
    if out is not None:
        map_output.write(result, out)
        result.path = os.fspath(out)
    if plot is not None:
        from . import map_plots

        map_plots.draw(result, plot, source_model)
    return result, run.notes


def _check_regions(branch, source_model):
    model = models.resolve(branch.model)
    if any(p.source == "in_slab" for p in model.parameters) and \
            branch.region not in models.TECTONIC_REGIONS:
        raise InputError(f"{branch.label} takes its flags from the tectonic region, and knows no "
                         f"region {branch.region!r} (only "
                         f"{models.spoken_list(map(repr, models.TECTONIC_REGIONS))})")


def sites_of(job):
    """The job's sites: its site model, its list of points or a grid over its region."""
    if job.site_model_file is not None:
        return sources.read_sites(job.site_model_file)
    reference = dict(vs30=job.reference_vs30_value,
                     vs30measured=job.reference_vs30_type == "measured",
                     z1pt0=job.reference_depth_to_1pt0km_per_sec,
                     z2pt5=job.reference_depth_to_2pt5km_per_sec)
    if job.sites is not None:
        lon, lat = zip(*job.sites)
        return sources.point_sites(lon, lat, **reference)
    return sources.grid_sites(job.region, job.region_grid_spacing, **reference)


def _disagg_sites(job, sites):
    if not job.disagg_sites:
        return np.zeros(0, np.int64)
    wanted = np.array(sorted(job.disagg_sites), dtype=np.int64)
    missing = wanted[~np.isin(wanted, sites.site_id)]
    if len(missing):
        raise opts.OptionError("disagg_sites", f"site {missing[0]} is not among the job's sites")
    return wanted


def _truncation(job):
    """(truncation for the kernel, median only)."""
    if job.truncation_level == 0:
        return math.inf, True
    return job.truncation_level, False


class _Passes:
    """The passes of a job over the ruptures and sites, on the run's executor."""

    def __init__(self, run, source, job, branches, disagg_sites):
        self.run = run
        self.source = source
        self.job = job
        self.branch_specs = tuple((b.region_index, b.model, b.choices, b.weight)
                                  for b in branches)
        self.disagg_sites = disagg_sites
        self.pairs = 0
        self.ranges = [[np.inf, -np.inf], [np.inf, -np.inf]]

    def estimate_pairs(self):
        """About how many pairs lie within the maximum distance: the share of a sample of the
        ruptures (evenly spread), times every rupture."""
        source = self.source
        n = source.n_ruptures
        if n == 0 or len(source.sites) == 0:
            return 0
        picks = np.unique(np.linspace(0, n - 1, min(n, SAMPLE_RUPTURES)).astype(np.int64))
        offsets = np.asarray(source.rupture_set.offsets)
        which = np.searchsorted(offsets, picks, side="right") - 1
        ranges = [sources.RuptureRange(int(s), int(k - offsets[s]), int(k - offsets[s] + 1))
                  for s, k in zip(which, picks)]
        ruptures = source.rupture_set.ruptures(ranges)
        geometry, distance = ruptures.geometry(), source.rupture_set.distance_of(ruptures)
        # A bounded number of combinations at a time, R_rup alone: the sample's pairs are
        # only counted (all of them at once were some 0.8 GB for 10^4 sites).
        step = max(1, BLOCK_COMBINATIONS // len(source.sites))
        found = 0
        for start in range(0, len(picks), step):
            part = slice(start, start + step)
            found += len(_geometry.within(geometry[part], source.sites.lon, source.sites.lat,
                                          distance if np.isscalar(distance) else distance[part],
                                          names=("R_rup",))["site"])
        return int(round(found / len(picks) * n))

    def _job(self, **disaggregation):
        truncation, median_only = _truncation(self.job)
        return reduce.BranchJob(np.log(np.asarray(self.job.levels)), truncation,
                                self.job.truncation_tails, median_only, self.branch_specs,
                                self.disagg_sites, **disaggregation)

    def _plan(self, n_sites):
        run = self.run
        combinations = TASK_COMBINATIONS
        if run.options.batch_pairs is not None:
            combinations = run.options.batch_pairs
        rupture_chunk, site_block = choose_blocks(self.source.n_ruptures, n_sites,
                                                  run.executor.worker_count, combinations)
        self.source.plan(rupture_chunk, site_block)

    def curves(self):
        """(branch, site, level) annual rates, as exact sums (``gmms._hazard``)."""
        source, run = self.source, self.run
        self._plan(len(source.sites))
        # One accumulator per branch, so that a task's block of sites is a contiguous slice.
        accs = [_hazard.zeros((len(source.sites), len(self.job.levels)))
                for _ in self.branch_specs]
        job = self._job()
        model = self.branch_specs[0][1]
        with run.progress_bar("hazard", source.pair_count(), " rupture-site") as bar:
            for partial in run.results(functools.partial(reduce.branch_curves, job),
                                       tasks(source.pieces(run.executor), model, run.siblings)):
                stop = partial.site_start + partial.acc.shape[1]
                for total, part in zip(accs, partial.acc):
                    _hazard.merge(total[partial.site_start:stop], part)
                self.pairs += partial.pairs
                for bounds, (low, high) in zip(self.ranges, (partial.magnitudes,
                                                             partial.distances)):
                    bounds[0], bounds[1] = min(bounds[0], low), max(bounds[1], high)
                bar.update(partial.rows)
        return np.stack(accs)

    def disaggregation(self, result):
        """The disaggregation of the mean rate at the chosen sites, at the mean map's levels
        for ``poes_disagg`` (or ``poes``)."""
        job = self.job
        poes = job.poes_disagg or job.poes
        at = np.searchsorted(result.site_id, self.disagg_sites) if _sorted(result.site_id) \
            else np.array([int(np.flatnonzero(result.site_id == s)[0]) for s in self.disagg_sites],
                          dtype=np.int64)
        eps_edges = opts.epsilon_edges(_truncation(job)[0], job.epsilon_bin_width)
        if not len(at) or not poes:
            return Disaggregation.unreached(self.disagg_sites, tuple(poes),
                                            np.zeros((len(at), len(poes))), eps_edges)
        levels = logictree.hazard_maps(job.levels, result.annual_rate[at],
                                       job.investigation_time, poes)
        levels = np.where(levels > 0, levels, np.nan)
        if not np.isfinite(levels).any() or not np.isfinite(self.ranges[0][0]):
            return Disaggregation.unreached(self.disagg_sites, tuple(poes), levels, eps_edges)
        m_edges = opts.bin_edges(*self.ranges[0], job.mag_bin_width)
        r_edges = opts.bin_edges(*self.ranges[1], job.distance_bin_width)
        sites = self.source.sites.select(at)
        disagg_source = RuptureSource(None, self.source.rupture_set.source_model, sites,
                                      discretization=self.source.rupture_set.discretization,
                                      maximum_distance=self.source.rupture_set.maximum_distance,
                                      extra={reduce.RATE: models.DOUBLE})
        disagg_source.plan(self.source.rupture_chunk, len(sites))
        bjob = self._job(disagg_log_levels=np.log(levels), m_edges=m_edges, r_edges=r_edges,
                         eps_edges=eps_edges)
        n_bins = (len(m_edges) - 1) * (len(r_edges) - 1)
        cells = _hazard.zeros((len(at), len(poes), n_bins, len(eps_edges) - 1))
        moments = _hazard.zeros((len(at), len(poes), _hazard.N_MOMENTS))
        run, model = self.run, self.branch_specs[0][1]
        with run.progress_bar("disaggregation", disagg_source.pair_count(), " rupture-site") as bar:
            for partial in run.results(functools.partial(reduce.branch_disaggregation, bjob),
                                       tasks(disagg_source.pieces(run.executor), model,
                                             run.siblings)):
                stop = partial.site_start + partial.acc.shape[0]
                for total, part in ((cells, partial.acc), (moments, partial.moments)):
                    block = total[partial.site_start:stop]
                    _hazard.merge(block, part)
                    total[partial.site_start:stop] = block
                bar.update(partial.rows)
        return Disaggregation.from_sums(self.disagg_sites, tuple(poes), levels,
                                        _hazard.to_double(cells), _hazard.to_double(moments),
                                        m_edges, r_edges, eps_edges)


def _sorted(values):
    return len(values) < 2 or bool((values[1:] > values[:-1]).all())


def _result(job, sites, branches, realizations, branch_sums, run, source, passes,
            source_model):
    years = job.investigation_time
    weights = [r.weight for r in realizations]
    branch_rates = _hazard.to_double(branch_sums)
    rates = logictree.realization_rates(branch_sums, realizations)
    mean = logictree.mean_curves(rates, weights, years, job.use_rates)
    quantiles = {q: logictree.quantile_curves(rates, weights, q) for q in job.quantiles}
    maps = {}
    if job.poes:
        maps["mean"] = logictree.hazard_maps(job.levels, mean, years, job.poes)
        for q, curve in quantiles.items():
            maps[f"quantile-{q:g}"] = logictree.hazard_maps(job.levels, curve, years, job.poes)
        if job.individual_rlzs:
            for k, curve in enumerate(rates):
                maps[f"rlz-{k:03d}"] = logictree.hazard_maps(job.levels, curve, years, job.poes)
    truncation = ("none" if math.isinf(job.truncation_level) else float(job.truncation_level))
    metadata = {"model": "; ".join(f"{b.region}: {b.label} {b.weight:g}" for b in branches),
                "IM": job.imt, "IM_units": IM_UNITS, "truncation": truncation,
                "truncation_tails": job.truncation_tails, "investigation_time": years,
                "mean": "rates" if job.use_rates else "probabilities of exceedance",
                "source_model": source_model.path, "gmms_version": package_version()}
    if any(models.resolve(b.model).sibling for b in branches):
        metadata["siblings"] = run.siblings or "stand-ins"
    summary = {"ruptures": source.n_ruptures, "sources": len(source_model.sources),
               "sites": len(sites), "pairs": passes.pairs, "branches": len(branches),
               "realizations": len(realizations)}
    return SourceHazard(
        site_id=sites.site_id, lon=sites.lon, lat=sites.lat, imt=job.imt,
        levels=np.asarray(job.levels), investigation_time=years, annual_rate=mean,
        poe=logictree.poe(mean, years),
        branches=[(b.region, b.label, b.weight) for b in branches], branch_rates=branch_rates,
        realizations=[(r.branches, r.weight) for r in realizations],
        realization_rates=rates if job.individual_rlzs or len(realizations) > 1 else None,
        quantile_rates=quantiles, poes=tuple(job.poes), maps=maps, disaggregation=None,
        metadata=metadata, summary=summary, individual_rlzs=job.individual_rlzs)
