"""Models per tectonic region with weights: branches, realizations and their statistics, as the
field defines them.

A branch is one model of one tectonic region; its curve sums the exceedance rates of the
region's ruptures under that model. A realization picks one branch per region; its curve adds
the curves of its branches (the rates of independent Poisson sources add), and its weight is
the product of theirs. The mean curve is the weighted mean over realizations of the probability
of exceedance in the investigation time (or, with ``use_rates``, of the rates); a quantile is
read off each site and level's realizations sorted, their weights cumulated and interpolated
linearly. A map is read off a statistic's own curve: the level at which it reaches each
probability, by linear interpolation of ln level against ln probability.
"""

import dataclasses
import itertools
import math
from typing import Any, Dict, Tuple

import numpy as np

from gmms.errors import InputError

# Probabilities of exceedance below this count as this, so that their logarithm exists.
POE_FLOOR = 1e-30


@dataclasses.dataclass(frozen=True)
class Branch:
    """Model ``model`` (with ``choices``) for the ruptures of tectonic region ``region``
    (``region_index`` into the source model's regions), of weight ``weight``."""
    index: int
    region: str
    region_index: int
    model: str
    choices: Dict[str, Any]
    weight: float
    label: str


def branches_of(job, source_model):
    """The job's model branches for the regions of the source model, in the order of its
    regions; a region of the source model that the job gives no model is refused."""
    by_region = {}
    for branch in job.models:
        by_region.setdefault(branch.region, []).append(branch)
    missing = [region for region in source_model.regions if region not in by_region]
    if missing:
        raise InputError(f"{job.path or 'the job'}: [models] has no line for the tectonic region "
                         f"{missing[0]!r} of {source_model.path}")
    branches = []
    for k, region in enumerate(source_model.regions):
        for entry in by_region[region]:
            branches.append(Branch(len(branches), region, k, entry.name, entry.choices,
                                   entry.weight, entry.text))
    return branches


@dataclasses.dataclass(frozen=True)
class Realization:
    """One branch per region (indices into the branches), and the product of their weights."""
    index: int
    branches: Tuple[int, ...]
    weight: float


def realizations_of(branches):
    """Every combination of one branch per region, regions in their order, the last region's
    branch changing fastest."""
    regions = list(dict.fromkeys(branch.region_index for branch in branches))
    per_region = [[b for b in branches if b.region_index == region] for region in regions]
    out = []
    for k, combination in enumerate(itertools.product(*per_region)):
        weight = math.prod(branch.weight for branch in combination)
        out.append(Realization(k, tuple(branch.index for branch in combination), weight))
    return out


def realization_rates(branch_sums, realizations):
    """(realization, site, level) annual rates from the branches' exact sums ((branch, site,
    level) accumulators of ``gmms._hazard``): each realization's sum is exact too, rounded
    once, as if all its terms had been added in one accumulator."""
    from gmms import _hazard

    out = np.zeros((len(realizations),) + branch_sums.shape[1:-1])
    for r, realization in enumerate(realizations):
        total = _hazard.zeros(branch_sums.shape[1:-1])
        for b in realization.branches:
            _hazard.merge(total, branch_sums[b])
        out[r] = _hazard.to_double(total)
    return out


def poe(rates, years):
    """Poisson: the probability of at least one exceedance in ``years``."""
    return -np.expm1(-rates * years)


def rate_of_poe(probabilities, years):
    """The annual rate whose probability of exceedance in ``years`` is ``probabilities``."""
    return -np.log1p(-np.asarray(probabilities, dtype=np.float64)) / years


def mean_curves(rates, weights, years, use_rates=False):
    """The weighted mean over realizations ((realization, site, level) rates) as annual
    rates: of the probabilities of exceedance, or with ``use_rates``, of the rates."""
    weights = np.asarray(weights, dtype=np.float64)
    if len(weights) == 1:
        return rates[0].copy()          # one realization: its curve, to the last bit
    if use_rates:
        return np.tensordot(weights, rates, axes=1)
    return rate_of_poe(np.tensordot(weights, poe(rates, years), axes=1), years)


def quantile_curves(rates, weights, q):
    """The weighted quantile ``q`` over realizations of (realization, site, level) values: per
    site and level, the values sorted, their weights cumulated, and ``q`` interpolated linearly
    on (cumulative weight, value)."""
    weights = np.asarray(weights, dtype=np.float64)
    if len(weights) == 1:
        return rates[0].copy()
    order = np.argsort(rates, axis=0, kind="stable")
    values = np.take_along_axis(rates, order, axis=0)
    cumulative = np.cumsum(weights[order], axis=0)
    n = rates.shape[0]
    below = (cumulative <= q).sum(axis=0)           # how many cumulative weights are <= q
    lo = np.clip(below - 1, 0, n - 1)
    hi = np.clip(below, 0, n - 1)
    x0 = np.take_along_axis(cumulative, lo[None], axis=0)[0]
    x1 = np.take_along_axis(cumulative, hi[None], axis=0)[0]
    f0 = np.take_along_axis(values, lo[None], axis=0)[0]
    f1 = np.take_along_axis(values, hi[None], axis=0)[0]
    with np.errstate(invalid="ignore", divide="ignore"):
        inside = f0 + (q - x0) * (f1 - f0) / (x1 - x0)
    return np.where(below == 0, values[0], np.where(below >= n, values[-1], inside))


def hazard_maps(levels, rates, years, poes):
    """(site, probability) levels at which each site's curve ((site, level) annual rates)
    reaches each probability of exceedance in ``years``: linear in ln level against ln
    probability, probabilities floored at POE_FLOOR; 0 where the curve never reaches it, the
    highest level where it stays above it."""
    curves = np.maximum(poe(rates, years), POE_FLOOR)
    log_levels = np.log(np.asarray(levels, dtype=np.float64))
    out = np.zeros((curves.shape[0], len(poes)))
    for s, curve in enumerate(curves):
        log_curve = np.log(curve)
        for k, p in enumerate(poes):
            target = math.log(p)
            if target > log_curve[0]:
                out[s, k] = 0.0
            elif target < log_curve[-1]:
                out[s, k] = levels[-1]
            else:
                # The curve falls with the level: interpolate on it reversed.
                out[s, k] = math.exp(np.interp(target, log_curve[::-1], log_levels[::-1]))
    return out
