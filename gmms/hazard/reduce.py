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


def _distribution(task, pairs):
    """Mean and total standard deviation of ln IM per pair."""
    mu, phi, tau = evaluate_block(task.model, task.siblings, pairs)
    sigma = np.sqrt(phi * phi + tau * tau)
    bad = ~(np.isfinite(mu) & np.isfinite(sigma))
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        raise GmmsError(
            f"{task.model} gave no usable distribution for scenario "
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
            mu, sigma = _distribution(task, pairs)
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
            mu, sigma = _distribution(task, pairs)
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
