"""From the merged sums to what a user reads: exceedance rates, probabilities of exceedance,
uniform hazard and the disaggregation tables, and the ``Hazard`` object that holds them."""

from dataclasses import dataclass, field
from typing import Optional

import numpy as np


# Why a return period has no uniform-hazard level at a site (0: it has one).
REACHED = 0
ABOVE_LEVELS = 1        # the curve is still above the rate at the highest level
BELOW_LEVELS = 2        # the curve is already below the rate at the lowest level
FALLS_TO_ZERO = 3       # between two levels the curve falls to a rate of 0
STATUS = {REACHED: "reached", ABOVE_LEVELS: "above the highest level",
          BELOW_LEVELS: "below the lowest level", FALLS_TO_ZERO: "the curve falls to 0"}


def probability_of_exceedance(rates, years):
    """Poisson: at least one exceedance in ``years``."""
    return -np.expm1(-rates * years)


def uniform_hazard(levels, rates, return_periods):
    """The level of each site's curve at each return period, interpolated linearly in
    log(level) against log(rate); NaN and a status (see STATUS) where the curve does not span
    it. ``rates``: sites x levels, non-increasing along the levels."""
    n_sites, n_levels = rates.shape
    out = np.full((n_sites, len(return_periods)), np.nan)
    status = np.zeros(out.shape, dtype=np.int8)
    if n_levels == 0:
        status[:] = BELOW_LEVELS
        return out, status
    log_levels = np.log(levels)
    sites = np.arange(n_sites)
    for k, period in enumerate(return_periods):
        target = 1.0 / period
        # The first level whose rate is at or below the target, and the one before it.
        at_or_below = rates <= target
        j = np.where(at_or_below.any(axis=1), at_or_below.argmax(axis=1), n_levels)
        inside = np.minimum(j, n_levels - 1)
        before = np.maximum(j - 1, 0)
        rate_j, rate_before = rates[sites, inside], rates[sites, before]
        exact = (j < n_levels) & (rate_j == target)
        status[:, k] = np.select(
            [exact, j == n_levels, j == 0, rate_j == 0.0],
            [REACHED, ABOVE_LEVELS, BELOW_LEVELS, FALLS_TO_ZERO], REACHED)
        between = (status[:, k] == REACHED) & ~exact
        with np.errstate(divide="ignore", invalid="ignore"):
            hi, lo = np.log(rate_before), np.log(rate_j)
            slope = (log_levels[inside] - log_levels[before]) / (lo - hi)
            found = np.exp(log_levels[before] + (np.log(target) - hi) * slope)
        out[:, k] = np.where(exact, levels[inside], np.where(between, found, np.nan))
    return out, status


@dataclass
class Disaggregation:
    """Shares of the exceedance rate at each site's uniform-hazard level, per return period.

    ``shares[s, k, i, j, e]``: site ``site_id[s]``, return period ``k``, magnitude bin ``i``
    (``m_edges``), rupture-distance bin ``j`` (``r_edges``, km) and epsilon bin ``e``
    (``eps_edges``; the outer two are open). NaN where the return period has no level.
    """
    site_id: np.ndarray
    return_periods: tuple
    level: np.ndarray           # (site, return period)
    rate: np.ndarray            # the exceedance rate that was split, (site, return period)
    shares: np.ndarray
    m_edges: np.ndarray
    r_edges: np.ndarray
    eps_edges: np.ndarray
    mean: dict                  # "M", "R", "eps" -> (site, return period)
    modal: dict

    @classmethod
    def unreached(cls, site_id, return_periods, level, eps_edges):
        """For sites none of whose return periods has a level to split (or for no sites)."""
        nan = np.full((len(site_id), len(return_periods)), np.nan)
        return cls(site_id, tuple(return_periods), level, nan,
                   np.zeros(nan.shape + (0, 0, len(eps_edges) - 1)), np.zeros(0), np.zeros(0),
                   eps_edges, {k: nan for k in ("M", "R", "eps")},
                   {k: nan for k in ("M", "R", "eps")})

    @classmethod
    def from_sums(cls, site_id, return_periods, level, cells, moments, m_edges, r_edges,
                  eps_edges):
        """From the merged sums, as doubles: ``cells`` (site, return period, M x R bin,
        epsilon bin) and ``moments`` (site, return period, moment) as ``gmms._hazard`` lays
        them out."""
        from gmms import _hazard

        n_m, n_r, n_eps = len(m_edges) - 1, len(r_edges) - 1, len(eps_edges) - 1
        total = moments[..., _hazard.MOMENT_RATE]
        with np.errstate(invalid="ignore", divide="ignore"):
            shares = cells / total[..., None, None]
            mean = {name: moments[..., slot] / total for name, slot in (
                ("M", _hazard.MOMENT_M), ("R", _hazard.MOMENT_R), ("eps", _hazard.MOMENT_EPS))}
        shares = shares.reshape(total.shape + (n_m, n_r, n_eps))
        shares[~(total > 0)] = np.nan
        centres = {"M": _centres(m_edges), "R": _centres(r_edges), "eps": _centres(eps_edges)}
        modal = {name: np.full(total.shape, np.nan) for name in centres}
        for s, k in zip(*np.nonzero(total > 0)):
            # The joint mode: the M x R x epsilon bin with the largest share (the first of equals).
            i, j, e = np.unravel_index(int(np.argmax(shares[s, k])), shares.shape[2:])
            for name, index in zip(("M", "R", "eps"), (i, j, e)):
                modal[name][s, k] = centres[name][index]
        return cls(site_id, tuple(return_periods), level, total, shares, m_edges, r_edges,
                   eps_edges, mean, modal)

    def table(self):
        """Every non-zero share as a row: site, return period, the bin's edges, share."""
        import pandas as pd

        s, k, i, j, e = np.nonzero(np.nan_to_num(self.shares) > 0)
        return pd.DataFrame({
            "site_id": self.site_id[s], "return_period": np.asarray(self.return_periods)[k],
            "level": self.level[s, k],
            "m_low": self.m_edges[i], "m_high": self.m_edges[i + 1],
            "r_low_km": self.r_edges[j], "r_high_km": self.r_edges[j + 1],
            "eps_low": self.eps_edges[e], "eps_high": self.eps_edges[e + 1],
            "share": self.shares[s, k, i, j, e]})

    def summary(self):
        """One row per site and return period: level, rate, mean and modal M, R, epsilon."""
        import pandas as pd

        n_rp = len(self.return_periods)
        columns = {"site_id": np.repeat(self.site_id, n_rp),
                   "return_period": np.tile(np.asarray(self.return_periods), len(self.site_id)),
                   "level": self.level.ravel(), "rate": self.rate.ravel()}
        for name in ("M", "R", "eps"):
            columns[f"mean_{name}"] = self.mean[name].ravel()
        for name in ("M", "R", "eps"):
            columns[f"modal_{name}"] = self.modal[name].ravel()
        return pd.DataFrame(columns)


def _centres(edges):
    """Bin centres; an open end bin is given one width beyond its finite edge."""
    edges = np.asarray(edges, dtype=np.float64)
    if len(edges) < 2:
        return edges[:0]
    finite = edges[np.isfinite(edges)]
    width = float(np.diff(finite).min()) if len(finite) > 1 else 1.0
    low = np.where(np.isfinite(edges[:-1]), edges[:-1], edges[1:] - width)
    high = np.where(np.isfinite(edges[1:]), edges[1:], edges[:-1] + width)
    return 0.5 * (low + high)


@dataclass
class Hazard:
    """The result of a hazard run.

    ``annual_rate[s, l]``: the annual rate at which site ``site_id[s]`` sees the IM exceed
    ``levels[l]``; ``poe``: the probability of that in ``investigation_time`` years (Poisson);
    ``uniform_hazard[s, k]``: the level at ``return_periods[k]`` (NaN where ``status`` is not
    0, see ``results.STATUS``); ``disaggregation``: a ``Disaggregation``; ``metadata``: model,
    IM, units, truncation and the like.

    ``gmms.hazard.run`` makes it; the DataFrame views ``curves()`` and
    ``uniform_hazard_table()`` lay its arrays out as long tables, as the CSV output has them.

    Parameters
    ----------
    site_id : numpy.ndarray of int64
        The sites, in increasing order.
    levels : numpy.ndarray
        The IM levels, increasing.
    annual_rate, poe : numpy.ndarray
        Sites x levels: the annual rate of exceedance, and its probability in
        ``investigation_time`` years.
    investigation_time : float
        Years.
    return_periods : tuple of float
        Years.
    uniform_hazard : numpy.ndarray
        Sites x return periods: the level at each return period, NaN where there is none.
    status : numpy.ndarray of int8
        Sites x return periods: 0 where the level was found, else why not (``results.STATUS``
        gives the words: above the highest level, below the lowest level, the curve falls to
        0).
    disaggregation : Disaggregation
        The shares of magnitude, distance and epsilon for the disaggregated sites.
    metadata : dict
        ``model``, ``IM``, ``IM_units``, ``truncation``, ``investigation_time``,
        ``gmms_version`` and, for a model built on a sibling, ``siblings``.
    path : str, optional
        Where the run wrote it, if it did.

    Examples
    --------
    >>> import pandas as pd
    >>> from gmms import hazard
    >>> scenarios = pd.DataFrame({
    ...     "scenario_id": [1], "IM": [1], "M": [7.0], "hypo_lat": [38.0], "hypo_lon": [142.0],
    ...     "hypo_depth": [30.0], "fins": [0], "fint": [0], "fnm": [0], "frv": [1],
    ...     "annual_rate": [0.01]})
    >>> pairs = pd.DataFrame({"scenario_id": [1], "site_id": [10], "R_rup": [20.0],
    ...                       "Vs30": [760.0]})
    >>> result = hazard.run("Tarvik", scenarios, pairs, levels=[1.0, 10.0, 100.0],
    ...                     serial=True)
    >>> result.annual_rate.shape, result.uniform_hazard.shape
    ((1, 3), (1, 2))
    >>> result.curves().round(6)
       site_id  level  annual_rate       poe
    0       10    1.0     0.010000  0.393469
    1       10   10.0     0.005524  0.241341
    2       10  100.0     0.000000  0.000000
    >>> result.metadata["IM"], result.metadata["truncation"]
    ('CAV', 3.0)
    """
    site_id: np.ndarray
    levels: np.ndarray
    annual_rate: np.ndarray
    poe: np.ndarray
    investigation_time: float
    return_periods: tuple
    uniform_hazard: np.ndarray
    status: np.ndarray
    disaggregation: Disaggregation
    metadata: dict = field(default_factory=dict)
    path: Optional[str] = None          # where the run wrote it, if it did

    def curves(self):
        """The curves as a long table: site_id, level, annual_rate, poe."""
        import pandas as pd

        n_levels = len(self.levels)
        return pd.DataFrame({"site_id": np.repeat(self.site_id, n_levels),
                             "level": np.tile(self.levels, len(self.site_id)),
                             "annual_rate": self.annual_rate.ravel(), "poe": self.poe.ravel()})

    def uniform_hazard_table(self):
        """site_id, return_period, level, status (text)."""
        import pandas as pd

        n_rp = len(self.return_periods)
        return pd.DataFrame({
            "site_id": np.repeat(self.site_id, n_rp),
            "return_period": np.tile(np.asarray(self.return_periods), len(self.site_id)),
            "level": self.uniform_hazard.ravel(),
            "status": [STATUS[int(code)] for code in self.status.ravel()]})

