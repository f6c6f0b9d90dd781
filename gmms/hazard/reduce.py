"""What a task does where its pairs are: evaluate the model, and reduce the pairs at once to
partial sums for the task's sites. Nothing per pair leaves the process.

The partial sums are exact fixed-point accumulators of ``gmms._hazard``: adding them up in any
order, in any grouping (tasks of any size, finishing in any order, on any number of workers)
gives the same bits. The model's numbers per pair do not depend on the grouping either, as
every model evaluates each site on its own.
"""

from dataclasses import dataclass
from typing import Optional

import numpy as np

from gmms import _hazard
from gmms.errors import GmmsError
from gmms.models import DOUBLE, resolve
from gmms.pairs.evaluate import evaluate_block
from gmms.pairs.ruptures import distance_names

from .checks import RATE

EXTRA = {RATE: DOUBLE}


@dataclass(frozen=True)
class Job:
    """What every task of a pass needs beside its pairs (``gmms.pairs.block.Task``)."""
    log_levels: np.ndarray
    truncation: float
    disagg_sites: np.ndarray            # sorted site ids to disaggregate (may be empty)
    # Disaggregation only (the second pass):
    disagg_log_levels: Optional[np.ndarray] = None   # (site, return period); NaN: none
    m_edges: Optional[np.ndarray] = None
    r_edges: Optional[np.ndarray] = None
    eps_edges: Optional[np.ndarray] = None


@dataclass
class Partial:
    """A task's partial sums for its own sites (``site_id`` sorted)."""
    site_id: np.ndarray
    acc: np.ndarray
    rows: int                               # pairs the task covered
    magnitudes: tuple = (np.inf, -np.inf)   # range over the pairs at sites to disaggregate
    distances: tuple = (np.inf, -np.inf)
    moments: Optional[np.ndarray] = None    # disaggregation: sum of c, c*M, c*R, c*eps

    def add(self, other):
        """These sums and ``other``'s, over the sites of both."""
        site_id = np.union1d(self.site_id, other.site_id)
        acc = _hazard.zeros((len(site_id),) + self.acc.shape[1:-1])
        merge_rows(acc, site_id, self.site_id, self.acc)
        merge_rows(acc, site_id, other.site_id, other.acc)
        moments = None
        if self.moments is not None:
            moments = _hazard.zeros((len(site_id),) + self.moments.shape[1:-1])
            merge_rows(moments, site_id, self.site_id, self.moments)
            merge_rows(moments, site_id, other.site_id, other.moments)
        return Partial(site_id, acc, self.rows + other.rows,
                       _span(self.magnitudes, other.magnitudes),
                       _span(self.distances, other.distances), moments)


def _span(a, b):
    return min(a[0], b[0]), max(a[1], b[1])


def merge_rows(acc, site_id, partial_site_id, partial_acc):
    """Add partial sums into the rows of ``acc`` of the same sites (``site_id`` sorted)."""
    if len(partial_site_id) == 0:
        return
    rows = np.searchsorted(site_id, partial_site_id)
    block = acc[rows]
    _hazard.merge(block, partial_acc)
    acc[rows] = block


def _distribution(model_name, siblings, pairs):
    """Mean and total standard deviation of ln IM per pair."""
    mu, phi, tau = evaluate_block(model_name, siblings, pairs)
    sigma = np.sqrt(phi * phi + tau * tau)
    bad = ~(np.isfinite(mu) & np.isfinite(sigma))
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        raise GmmsError(
            f"{model_name} gave no usable distribution for scenario "
            f"{pairs.scenario_ids[pairs.codes[i]]} at site {pairs.site_id[i]} (mean ln IM "
            f"{mu[i]!r}, phi {phi[i]!r}, tau {tau[i]!r}); a hazard curve needs finite numbers")
    return mu, sigma


def _rated(pairs):
    """The pairs that can contribute (annual rate above 0), and their rates."""
    rate = pairs.values[RATE][pairs.codes]
    keep = rate > 0
    if not keep.all():
        pairs, rate = pairs.subset(keep), rate[keep]
    return pairs, rate


def _ranges(job, model, pairs):
    at = np.isin(pairs.site_id, job.disagg_sites)
    if not at.any():
        return (np.inf, -np.inf), (np.inf, -np.inf)
    m = _magnitudes(model, pairs)[at]
    r = _distances(model, pairs)[at]
    return (float(np.nanmin(m)), float(np.nanmax(m))), (float(np.nanmin(r)), float(np.nanmax(r)))


def _magnitudes(model, pairs):
    """The magnitude of each pair's scenario (0 for a model of one's own that takes none)."""
    if model.magnitude is None:
        return np.zeros(len(pairs))
    return pairs.values[model.magnitude][pairs.codes]


def _distances(model, pairs):
    """The rupture distance of each pair (or the model's first distance; 0 without one)."""
    if model.rupture_distance is None:
        return np.zeros(len(pairs))
    return pairs.sites[model.rupture_distance]


def _over_blocks(task, partial_of):
    """The task's partial sums: ``partial_of(block)`` for each of its blocks, added up."""
    total = None
    for block in task.blocks():
        partial = partial_of(block)
        total = partial if total is None else total.add(partial)
    total.rows = len(task)
    return total


def curves(job, task):
    """Partial exceedance rates (sites x levels) of the task's pairs."""
    model = resolve(task.model)

    def partial(block):
        pairs, rate = _rated(block)
        site_id, rows = np.unique(pairs.site_id, return_inverse=True)
        acc = _hazard.zeros((len(site_id), len(job.log_levels)))
        if len(rate):
            mu, sigma = _distribution(task.model, task.siblings, pairs)
            _hazard.exceedance(acc, rows.astype(np.int64), mu, sigma, rate, job.log_levels,
                               job.truncation)
        m_range, r_range = _ranges(job, model, pairs)
        return Partial(site_id, acc, 0, m_range, r_range)

    return _over_blocks(task, partial)


def _bin(values, edges):
    """Index of the bin of ``edges`` that holds each value; outside values join the end bins."""
    return np.clip(np.searchsorted(edges, values, side="right") - 1, 0, len(edges) - 2)


def disaggregation(job, task):
    """Partial sums of the exceedance rate by (site, return period) x M bin x R bin x epsilon
    bin, at each site's uniform-hazard level, and the moments for the mean M, R and epsilon."""
    model = resolve(task.model)
    n_rp = job.disagg_log_levels.shape[1]
    n_m, n_r, n_eps = len(job.m_edges) - 1, len(job.r_edges) - 1, len(job.eps_edges) - 1

    def partial(block):
        pairs, rate = _rated(block)
        keep = np.isin(pairs.site_id, job.disagg_sites)
        pairs, rate = pairs.subset(keep), rate[keep]
        site_id, local = np.unique(pairs.site_id, return_inverse=True)
        cells = _hazard.zeros((len(site_id) * n_rp, n_m * n_r, n_eps))
        moments = _hazard.zeros((len(site_id) * n_rp, _hazard.N_MOMENTS))
        if len(rate):
            mu, sigma = _distribution(task.model, task.siblings, pairs)
            m = _magnitudes(model, pairs)
            r = _distances(model, pairs)
            bins = (_bin(m, job.m_edges) * n_r + _bin(r, job.r_edges)).astype(np.int64)
            # One level per row (site, return period); NaN: that return period has none.
            levels = job.disagg_log_levels[np.searchsorted(job.disagg_sites, site_id)].ravel()
            local = local.astype(np.int64) * n_rp
            for k in range(n_rp):
                _hazard.disaggregate(cells, moments, local + k, bins, mu, sigma, rate, m, r,
                                     levels, job.truncation, _finite(job.eps_edges))
        shape = (len(site_id), n_rp)
        return Partial(site_id, cells.reshape(shape + cells.shape[1:]), 0,
                       moments=moments.reshape(shape + moments.shape[1:]))

    return _over_blocks(task, partial)


def _finite(edges):
    # The end bins are open; the kernel puts what lies beyond its first or last edge there.
    big = np.finfo(np.float64).max
    return np.clip(edges, -big, big)


# ---------------------------------------------------------------------------------------------
# Ruptures and sites with models per tectonic region: a task's pairs are made where it runs
# (gmms.pairs.ruptures), and each branch (a model of a region) sums the terms of its region's
# ruptures into an accumulator of its own.

@dataclass(frozen=True)
class BranchJob:
    """What every task of a pass over ruptures needs: the levels and the truncation (``tails``
    "both" or "upper"; ``median_only``: sigma taken as 0), the branches as (region index,
    model, choices, weight), and the site ids to disaggregate."""
    log_levels: np.ndarray
    truncation: float
    tails: str
    median_only: bool
    branches: tuple
    disagg_sites: np.ndarray
    # Disaggregation only: a level per (site of the piece, probability); the bins.
    disagg_log_levels: Optional[np.ndarray] = None
    m_edges: Optional[np.ndarray] = None
    r_edges: Optional[np.ndarray] = None
    eps_edges: Optional[np.ndarray] = None


@dataclass
class BranchPartial:
    """A task's sums for sites ``site_start`` on (branch, site, level), or for the
    disaggregation, (site, probability, bin, epsilon) and moments."""
    site_start: int
    acc: np.ndarray
    rows: int                               # rupture x site combinations looked at
    pairs: int                              # pairs within the maximum distance
    magnitudes: tuple = (np.inf, -np.inf)   # over the pairs at sites to disaggregate
    distances: tuple = (np.inf, -np.inf)
    moments: Optional[np.ndarray] = None


def _branch_blocks(job, task):
    """For each block of the task's pairs: its ruptures, the pairs found within the maximum
    distance, and for each branch with pairs in it (branch index, weight, the PairBlock of its
    model, the rupture distance of those pairs)."""
    piece = task.piece
    rupture_set = piece.rupture_set
    names = distance_names([resolve(branch[1]) for branch in job.branches])
    for ruptures, sites, found in rupture_set.found(piece.ranges, piece.site_start,
                                                     piece.site_stop, names):
        branches = []
        for b, (region, model_name, choices, weight) in enumerate(job.branches):
            keep = ruptures.region == region
            if keep.all():
                keep, r_rup = None, found["R_rup"]
            else:
                at = keep[found["rupture"]]
                if not at.any():
                    continue
                r_rup = found["R_rup"][at]
            block = rupture_set.block(resolve(model_name), choices, ruptures, sites, found, keep)
            branches.append((b, weight, block, r_rup))
        yield ruptures, found, branches


def _branch_distribution(job, task, model_name, block):
    mu, sigma = _distribution(model_name, task.siblings, block)
    if job.median_only:
        sigma = np.zeros_like(sigma)
    return mu, sigma


def branch_curves(job, task):
    """Partial exceedance rates (branch, site, level) of the task's sites."""
    piece = task.piece
    n_sites = piece.site_stop - piece.site_start
    acc = _hazard.zeros((len(job.branches), n_sites, len(job.log_levels)))
    pairs, m_range, r_range = 0, (np.inf, -np.inf), (np.inf, -np.inf)
    site_ids = piece.site_ids
    for ruptures, found, branches in _branch_blocks(job, task):
        pairs += len(found["site"])
        at = np.isin(site_ids[found["site"]], job.disagg_sites)
        if at.any():
            m, r = ruptures.mag[found["rupture"][at]], found["R_rup"][at]
            m_range = (min(m_range[0], float(m.min())), max(m_range[1], float(m.max())))
            r_range = (min(r_range[0], float(r.min())), max(r_range[1], float(r.max())))
        for b, _, block, _ in branches:
            model_name = job.branches[b][1]
            rate = block.values[RATE][block.codes]
            mu, sigma = _branch_distribution(job, task, model_name, block)
            _hazard.exceedance(acc[b], block.site_index.astype(np.int64), mu, sigma, rate,
                               job.log_levels, job.truncation, tails=job.tails)
    return BranchPartial(piece.site_start, acc, len(piece), pairs, m_range, r_range)


def branch_disaggregation(job, task):
    """Partial sums of the weighted mean exceedance rate (the branches' rates times their
    weights) by (site, probability) x M bin x R bin x epsilon bin, at each site's level for each
    probability, and the moments for the mean M, R and epsilon."""
    piece = task.piece
    n_sites = piece.site_stop - piece.site_start
    n_p = job.disagg_log_levels.shape[1]
    n_m, n_r, n_eps = len(job.m_edges) - 1, len(job.r_edges) - 1, len(job.eps_edges) - 1
    cells = _hazard.zeros((n_sites * n_p, n_m * n_r, n_eps))
    moments = _hazard.zeros((n_sites * n_p, _hazard.N_MOMENTS))
    levels = job.disagg_log_levels[piece.site_start:piece.site_stop].ravel()
    edges = _finite(job.eps_edges)
    for ruptures, _, branches in _branch_blocks(job, task):
        for b, weight, block, r in branches:
            model_name = job.branches[b][1]
            rate = block.values[RATE][block.codes] * weight
            mu, sigma = _branch_distribution(job, task, model_name, block)
            m = ruptures.mag[block.codes]
            bins = (_bin(m, job.m_edges) * n_r + _bin(r, job.r_edges)).astype(np.int64)
            local = block.site_index.astype(np.int64) * n_p
            for k in range(n_p):
                _hazard.disaggregate(cells, moments, local + k, bins, mu, sigma, rate, m, r,
                                     levels, job.truncation, edges, tails=job.tails)
    shape = (n_sites, n_p)
    return BranchPartial(piece.site_start, cells.reshape(shape + cells.shape[1:]), len(piece),
                         0, moments=moments.reshape(shape + moments.shape[1:]))
