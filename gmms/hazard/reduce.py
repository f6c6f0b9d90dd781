"""What a task does where its pairs are: evaluate the model, and reduce the pairs at once to
partial sums for the task's sites. Nothing per pair leaves the process.

The partial sums are exact fixed-point accumulators of ``gmms._hazard``: adding them up in any
order, in any grouping (tasks of any size, finishing in any order, on any number of workers)
gives the same bits. The model's numbers per pair do not depend on the grouping either, as
every model evaluates each site on its own.
"""

import contextlib
from dataclasses import dataclass
from typing import Optional

import numpy as np

from gmms import _hazard
from gmms.catalogue.errors import CatalogueError
from gmms.catalogue.evaluate import evaluate_pairs, scenario_table
from gmms.catalogue.models import DOUBLE, MODELS

RATE = "annual_rate"
EXTRA = {RATE: DOUBLE}
MAGNITUDE = "M"             # every model's magnitude parameter


@dataclass(frozen=True)
class Job:
    """What every task of a pass needs beside its rows (``gmms.catalogue.evaluate.Task``)."""
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
    rows: int                               # rows of the pair table the task covered
    magnitudes: tuple = (np.inf, -np.inf)   # range over the pairs at sites to disaggregate
    distances: tuple = (np.inf, -np.inf)
    moments: Optional[np.ndarray] = None    # disaggregation: sum of c, c*M, c*R, c*eps


@dataclass
class _Pairs:
    scenario_ids: np.ndarray            # per scenario code
    values: dict                        # scenario parameters per code
    codes: np.ndarray                   # per pair
    site_id: np.ndarray
    sites: dict                         # site parameters per pair

    def subset(self, keep):
        return _Pairs(self.scenario_ids, self.values, self.codes[keep], self.site_id[keep],
                      {name: values[keep] for name, values in self.sites.items()})


def _read(task):
    if task.partition is not None:
        part = task.partition
        return _Pairs(part.scenario_ids, part.scenario_values, part.codes, part.site_id,
                      part.sites)
    from gmms.catalogue.plan import pair_kinds
    from gmms.catalogue.tables import reopen

    model = MODELS[task.model]
    table = task.scenario_table or scenario_table(task.model, task.scenarios, EXTRA)
    with contextlib.ExitStack() as stack:
        source = reopen(task.pairs, stack)
        columns = source.read(pair_kinds(model), task.first_row, task.stop_row)
    codes, ids, values = table.block(table.rows_of(columns["scenario_id"], source,
                                                   task.first_row))
    return _Pairs(ids, values, codes, columns["site_id"],
                  {name: columns[name] for name in model.site_columns})


def _distribution(task, pairs):
    """Mean and total standard deviation of ln IM per pair."""
    result = evaluate_pairs(task.model, task.siblings, pairs.scenario_ids, pairs.values,
                            pairs.codes, pairs.sites)
    mu, phi, tau = result
    sigma = np.sqrt(phi * phi + tau * tau)
    bad = ~(np.isfinite(mu) & np.isfinite(sigma))
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        raise CatalogueError(
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


def _distance(task):
    return MODELS[task.model].spec.rupture_distance


def _ranges(job, task, pairs):
    at = np.isin(pairs.site_id, job.disagg_sites)
    if not at.any():
        return (np.inf, -np.inf), (np.inf, -np.inf)
    m = pairs.values[MAGNITUDE][pairs.codes[at]]
    r = pairs.sites[_distance(task)][at]
    return (float(np.nanmin(m)), float(np.nanmax(m))), (float(np.nanmin(r)), float(np.nanmax(r)))


def curves(job, task):
    """Partial exceedance rates (sites x levels) of the task's pairs."""
    pairs, rate = _rated(_read(task))
    site_id, rows = np.unique(pairs.site_id, return_inverse=True)
    acc = _hazard.zeros((len(site_id), len(job.log_levels)))
    if len(rate):
        mu, sigma = _distribution(task, pairs)
        _hazard.exceedance(acc, rows.astype(np.int64), mu, sigma, rate, job.log_levels,
                           job.truncation)
    m_range, r_range = _ranges(job, task, pairs)
    return Partial(site_id, acc, len(task), m_range, r_range)


def _bin(values, edges):
    """Index of the bin of ``edges`` that holds each value; outside values join the end bins."""
    return np.clip(np.searchsorted(edges, values, side="right") - 1, 0, len(edges) - 2)


def disaggregation(job, task):
    """Partial sums of the exceedance rate by (site, return period) x M bin x R bin x epsilon
    bin, at each site's uniform-hazard level, and the moments for the mean M, R and epsilon."""
    pairs, rate = _rated(_read(task))
    keep = np.isin(pairs.site_id, job.disagg_sites)
    pairs, rate = pairs.subset(keep), rate[keep]
    site_id, local = np.unique(pairs.site_id, return_inverse=True)
    n_rp = job.disagg_log_levels.shape[1]
    n_m, n_r, n_eps = len(job.m_edges) - 1, len(job.r_edges) - 1, len(job.eps_edges) - 1
    cells = _hazard.zeros((len(site_id) * n_rp, n_m * n_r, n_eps))
    moments = _hazard.zeros((len(site_id) * n_rp, _hazard.N_MOMENTS))
    if len(rate):
        mu, sigma = _distribution(task, pairs)
        m = pairs.values[MAGNITUDE][pairs.codes]
        r = pairs.sites[_distance(task)]
        bins = (_bin(m, job.m_edges) * n_r + _bin(r, job.r_edges)).astype(np.int64)
        # One level per row (site, return period); NaN: that return period has none.
        levels = job.disagg_log_levels[np.searchsorted(job.disagg_sites, site_id)].ravel()
        local = local.astype(np.int64) * n_rp
        for k in range(n_rp):
            _hazard.disaggregate(cells, moments, local + k, bins, mu, sigma, rate, m, r, levels,
                                 job.truncation, _finite(job.eps_edges))
    shape = (len(site_id), n_rp)
    return Partial(site_id, cells.reshape(shape + cells.shape[1:]), len(task),
                   moments=moments.reshape(shape + moments.shape[1:]))


def _finite(edges):
    # The end bins are open; the kernel puts what lies beyond its first or last edge there.
    big = np.finfo(np.float64).max
    return np.clip(edges, -big, big)
