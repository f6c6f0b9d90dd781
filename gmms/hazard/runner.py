"""A hazard run: check everything, then two passes over the catalogue's pairs.

The first pass adds up every site's exceedance rates at every level; from those come the
probabilities of exceedance and the uniform-hazard levels. The second pass, only for the sites
to disaggregate, splits the rate at each of their uniform-hazard levels by magnitude, distance
and epsilon. In both, each task evaluates the model for its own pairs and returns only sums
per site (see ``reduce``), which the client merges as they come.
"""

import contextlib
import functools
import os

import numpy as np

from gmms import _hazard
from gmms.catalogue.evaluate import load_entry
from gmms.catalogue import sizing
from gmms.catalogue.plan import CHUNK_ROWS, Catalogue
from gmms.catalogue.runner import (catalogue_tasks, package_version, prepare, progress_bar,
                                   sibling_directory)
from gmms.catalogue.tables import open_source

from . import options as opts
from . import output, reduce
from .results import Disaggregation, Hazard, probability_of_exceedance, uniform_hazard

# Rows of the pair table are noted in buckets of this many, to know which tasks hold pairs of
# the sites to disaggregate without keeping every such row.
BUCKET_SHIFT = 10
IM_UNITS = "the units of the model's publication"


def run(model, scenarios, pairs, levels=None, *, levels_from=None, levels_to=None,
        levels_n=None, truncation=opts.DEFAULT_TRUNCATION,
        investigation_time=opts.DEFAULT_INVESTIGATION_YEARS,
        return_periods=opts.DEFAULT_RETURN_PERIODS, disagg_sites=None,
        disagg_m_width=opts.DEFAULT_M_WIDTH, disagg_r_width=opts.DEFAULT_R_WIDTH_KM,
        disagg_eps_width=opts.DEFAULT_EPS_WIDTH, out=None, plot=None, client=None,
        scheduler=None, workers=None, serial=False, siblings=None,
        batch_pairs=None, progress=False, timeout=None, security=None,
        tls_ca_file=None, tls_cert=None, tls_key=None):
    """Seismic hazard at every site of a catalogue of ``model`` ("Tarvik", "Morrand",
    "Sellwyn").

    For every site: the annual rate at which the IM exceeds each level (the hazard curve), the
    probability of that in ``investigation_time`` years, the level at each return period
    (uniform hazard) and, for a few sites, the shares of the magnitudes, distances and
    epsilons behind it (disaggregation). ln IM is normal with the model's mean and total sigma
    sqrt(phi^2 + tau^2), truncated at ``truncation`` sigmas and renormalised. Tasks reduce their
    pairs to exact sums per site where they run, so the numbers are the same bits in this
    process, on any Dask cluster and for every ``batch_pairs``.

    Parameters
    ----------
    model : str
        The name of a model of the registry (``gmms.models.MODELS``).
    scenarios : str, path-like or pandas.DataFrame
        The scenario table of ``gmms.catalogue.run`` (a CSV or HDF5 file, or a DataFrame) with
        one more column, ``annual_rate``: occurrences per year, finite and at least 0. One run
        is for one IM: ``IM`` may not mix 0 and 1.
    pairs : str, path-like or pandas.DataFrame
        The pair table of ``gmms.catalogue.run``.
    levels : sequence of float, optional
        The IM levels, in the model's IM units, strictly increasing and above 0. Give these or
        a range.
    levels_from, levels_to : float, optional
        A range of levels instead, log-spaced from ``levels_from`` to ``levels_to``.
    levels_n : int, optional
        The number of levels of the range (default 20).
    truncation : float or None, default 3
        Truncate ln IM at this many standard deviations; None: untruncated.
    investigation_time : float, default 50
        Years, for the probability of exceedance 1 - exp(-rate T) (Poisson).
    return_periods : sequence of float, default (475, 2475)
        Years, for the uniform hazard and the disaggregation.
    disagg_sites : sequence of int, optional
        The sites to disaggregate (default: every site of a catalogue of at most five sites,
        else none).
    disagg_m_width, disagg_r_width, disagg_eps_width : float, default 0.5, 10, 1
        The disaggregation's bin widths: magnitude, rupture distance (km) and epsilon.
    out : str or path-like, optional
        Also write the result there: an .h5 file, or any other path for a directory of CSV
        files; complete or not at all.
    plot : str or path-like, optional
        Draw the hazard curves and the disaggregation maps into this directory, as PNG files.
    client, scheduler, workers, serial, siblings, batch_pairs, progress, timeout
        Where and how to run, as for ``gmms.catalogue.run``.
    security, tls_ca_file, tls_cert, tls_key : optional
        How to reach a ``tls://`` scheduler, as for ``gmms.catalogue.run``.

    Returns
    -------
    Hazard
        The curves, probabilities of exceedance, uniform hazard and disaggregation, as numpy
        arrays with DataFrame views (``gmms.hazard.results.Hazard``); its ``path`` is ``out``.

    Raises
    ------
    OptionError
        An option that cannot be used (naming it as the command line spells it), before any
        table is read.
    InputError
        A table is unusable (naming the file, line and column), before any model work; also a
        pair whose mean or sigma the model gives as NaN or infinite.
    ScenarioRefused
        The model raised for a scenario.
    CatalogueError
        Any other failure (``gmms.errors.GmmsError``), as for ``gmms.catalogue.run``.
    ValueError
        An unknown model, more than one way to run, or ``workers`` or ``batch_pairs`` below 1.

    See Also
    --------
    gmms.catalogue.run : the same catalogue, evaluated pair by pair.

    Examples
    --------
    Two scenarios at two sites, with their annual rates:

    >>> import pandas as pd
    >>> from gmms import hazard
    >>> scenarios = pd.DataFrame({
    ...     "scenario_id": [1, 2], "IM": [1, 1], "M": [6.0, 7.0], "hypo_lat": [38.0, 38.0],
    ...     "hypo_lon": [142.0, 142.0], "hypo_depth": [30.0, 30.0], "fins": [0, 0],
    ...     "fint": [0, 0], "fnm": [0, 0], "frv": [1, 1], "annual_rate": [0.01, 0.002]})
    >>> pairs = pd.DataFrame({"scenario_id": [1, 1, 2, 2], "site_id": [10, 11, 10, 11],
    ...                       "R_rup": [20.0, 60.0, 40.0, 80.0],
    ...                       "Vs30": [760.0, 400.0, 760.0, 400.0]})
    >>> result = hazard.run("Tarvik", scenarios, pairs, levels_from=1.0, levels_to=100.0,
    ...                     levels_n=5, serial=True)
    >>> result.levels.round(2)
    array([  1.  ,   3.16,  10.  ,  31.62, 100.  ])
    >>> result.uniform_hazard_table()
       site_id  return_period      level   status
    0       10          475.0   5.081491  reached
    1       10         2475.0  10.504955  reached
    2       11          475.0   2.958067  reached
    3       11         2475.0   5.673218  reached
    """
    choice = opts.options(
        levels, levels_from=levels_from, levels_to=levels_to, levels_n=levels_n,
        truncation=truncation, investigation_time=investigation_time,
        return_periods=return_periods, disagg_sites=disagg_sites,
        disagg_m_width=disagg_m_width, disagg_r_width=disagg_r_width,
        disagg_eps_width=disagg_eps_width)
    spec, executor = prepare(model, client=client, scheduler=scheduler, workers=workers,
                             serial=serial, batch_pairs=batch_pairs, security=security,
                             tls_ca_file=tls_ca_file, tls_cert=tls_cert, tls_key=tls_key)
    if out is not None:
        output.check_destination(out)
    if plot is not None:
        output.check_plot_directory(plot)
    siblings = sibling_directory(spec, siblings, executor)

    with contextlib.ExitStack() as stack:
        scenario_source = open_source(scenarios, "scenarios", stack)
        pair_source = open_source(pairs, "pairs", stack)
        check = SiteCheck(choice)
        stack.enter_context(executor)           # a local cluster starts from here on
        if batch_pairs is None:
            batch_pairs = sizing.batch_pairs(spec.name, sizing.estimate_rows(pair_source),
                                             executor.worker_count, siblings is not None)
        rows = getattr(pair_source, "rows", None)
        with progress_bar(progress, "checking", rows, " rows") as bar:
            catalogue = Catalogue(spec, scenario_source, pair_source, batch_pairs,
                                  chunk_rows=max(CHUNK_ROWS, batch_pairs), progress=bar.update,
                                  extra=reduce.EXTRA, check=check)
        disagg = check.finish(pair_source.label)
        metadata = _metadata(spec, catalogue, choice, siblings)
        if executor.in_process:
            load_entry(spec.name, siblings)             # a setup failure before any task
        runner = _Runner(catalogue, siblings, executor, timeout, progress)
        hazard = runner.hazard(choice, check, disagg, metadata)
    if out is not None:
        output.write(hazard, out)
        hazard.path = os.fspath(out)
    if plot is not None:
        from . import plots

        plots.draw(hazard, plot)
    return hazard


def _metadata(spec, catalogue, choice, siblings):
    metadata = {"model": spec.name, "IM": catalogue.im, "IM_units": IM_UNITS,
                "truncation": ("none" if np.isinf(choice.truncation)
                               else float(choice.truncation)),
                "investigation_time": choice.investigation_time, "gmms_version": package_version()}
    if spec.sibling is not None:
        metadata["siblings"] = siblings or "stand-ins"
    return metadata


class SiteCheck:
    """The hazard's own checks, made while the catalogue is checked: the annual rates, one IM,
    the sites and their total rates, the sites to disaggregate, the return periods."""

    def __init__(self, choice):
        self.choice = choice
        self.site_id = np.zeros(0, np.int64)
        self.total_rate = np.zeros(0)
        self.buckets = set()
        self._rates = None

    def scenarios(self, table):
        rates = table.values[reduce.RATE]
        bad = ~np.isfinite(rates) | (rates < 0)
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            raise table.source.error(row, reduce.RATE, f"{rates[row]!r} is not an annual rate "
                                                       "(a finite number, at least 0)")
        ims = table.values.get("IM")
        if ims is not None and len(ims):
            other = np.flatnonzero(ims != ims[0])
            if len(other):
                row = int(other[0])
                raise table.source.error(row, "IM", f"IM {ims[row]}, while {table.source.where(0)} "
                                                    f"has IM {ims[0]}: a hazard curve is for one IM")
        self._rates = rates

    def pairs(self, first_row, columns, codes):
        site_id = columns["site_id"]
        rates = self._rates[codes]
        # Most sites come back scenario after scenario: look them up among those already seen
        # (cheaper than sorting every chunk), and sort only the new ones in.
        at = np.searchsorted(self.site_id, site_id)
        seen = at < len(self.site_id)
        seen[seen] = self.site_id[at[seen]] == site_id[seen]
        self.total_rate += np.bincount(at[seen], weights=rates[seen],
                                       minlength=len(self.site_id))
        if not seen.all():
            new, inverse = np.unique(site_id[~seen], return_inverse=True)
            totals = np.bincount(inverse, weights=rates[~seen], minlength=len(new))
            merged, back = np.unique(np.concatenate((self.site_id, new)), return_inverse=True)
            self.total_rate = np.bincount(
                back, weights=np.concatenate((self.total_rate, totals)), minlength=len(merged))
            self.site_id = merged
        if self.choice.disagg_sites:
            rows = first_row + np.flatnonzero(np.isin(site_id, self.choice.disagg_sites))
            self.buckets.update((rows >> BUCKET_SHIFT).tolist())

    def finish(self, pairs_label):
        """The sites to disaggregate (sorted), once every pair has been seen."""
        choice = self.choice
        if choice.disagg_sites is None:
            disagg = self.site_id if len(self.site_id) <= opts.FEW_SITES else self.site_id[:0]
        else:
            disagg = np.array(sorted(choice.disagg_sites), dtype=np.int64)
            missing = disagg[~np.isin(disagg, self.site_id)]
            if len(missing):
                raise opts.OptionError("disagg_sites", f"site {missing[0]} is not in "
                                                       f"{pairs_label}")
        most = float(self.total_rate.max()) if len(self.total_rate) else 0.0
        for period in choice.return_periods:
            if 1.0 / period > most:
                raise opts.OptionError(
                    "return_periods",
                    f"no curve reaches {period:g} years: the scenarios of the busiest site add "
                    f"up to {most:.6g} per year, less than 1/{period:g}")
        return disagg


class _Runner:
    """The two passes of a run over the catalogue's tasks, on the executor chosen."""

    def __init__(self, catalogue, siblings, executor, timeout, progress):
        self.catalogue = catalogue
        self.siblings = siblings
        self.executor = executor
        self.timeout = timeout
        self.progress = progress

    def hazard(self, choice, check, disagg, metadata):
        site_id = check.site_id
        n_levels = len(choice.levels)
        job = reduce.Job(choice.log_levels, choice.truncation, disagg)
        acc = _hazard.zeros((len(site_id), n_levels))
        ranges = [[np.inf, -np.inf], [np.inf, -np.inf]]

        def merge(partial):
            _merge_rows(acc, site_id, partial.site_id, partial.acc)
            for bounds, (low, high) in zip(ranges, (partial.magnitudes, partial.distances)):
                bounds[0], bounds[1] = min(bounds[0], low), max(bounds[1], high)

        self._map(reduce.curves, job, None, merge, "hazard")
        rates = _hazard.to_double(acc)
        del acc
        levels, status = uniform_hazard(choice.levels, rates, choice.return_periods)
        disaggregation = self._disaggregate(choice, site_id, disagg, levels, ranges,
                                            check.buckets)
        return Hazard(site_id=site_id, levels=choice.levels, annual_rate=rates,
                      poe=probability_of_exceedance(rates, choice.investigation_time),
                      investigation_time=choice.investigation_time,
                      return_periods=choice.return_periods, uniform_hazard=levels,
                      status=status, disaggregation=disaggregation, metadata=metadata)

    def _disaggregate(self, choice, site_id, disagg, levels, ranges, buckets):
        eps_edges = choice.eps_edges
        at = np.searchsorted(site_id, disagg)
        disagg_levels = levels[at] if len(disagg) else np.zeros((0, len(choice.return_periods)))
        if not np.isfinite(disagg_levels).any() or not np.isfinite(ranges[0][0]):
            return Disaggregation.unreached(disagg, choice.return_periods, disagg_levels,
                                            eps_edges)
        m_edges = opts.bin_edges(*ranges[0], choice.m_width)
        r_edges = opts.bin_edges(*ranges[1], choice.r_width_km)
        job = reduce.Job(choice.log_levels, choice.truncation, disagg,
                         disagg_log_levels=np.log(disagg_levels), m_edges=m_edges,
                         r_edges=r_edges, eps_edges=eps_edges)
        rows = (len(disagg), len(choice.return_periods))
        sums = Sums(_hazard.zeros(rows + ((len(m_edges) - 1) * (len(r_edges) - 1),
                                          len(eps_edges) - 1)),
                    _hazard.zeros(rows + (_hazard.N_MOMENTS,)))
        wanted = None
        if choice.disagg_sites is not None:
            buckets = np.array(sorted(buckets), dtype=np.int64)

            def wanted(first, stop):
                lo = np.searchsorted(buckets, first >> BUCKET_SHIFT)
                return lo < len(buckets) and buckets[lo] <= (stop - 1) >> BUCKET_SHIFT

        self._map(reduce.disaggregation, job, wanted,
                  lambda partial: sums.merge(disagg, partial), "disaggregation")
        return Disaggregation.from_sums(disagg, choice.return_periods, disagg_levels,
                                        _hazard.to_double(sums.cells),
                                        _hazard.to_double(sums.moments), m_edges, r_edges,
                                        eps_edges)

    def _map(self, function, job, wanted, merge, description):
        """Run ``function(job, task)`` for the tasks whose rows ``wanted(first, stop)`` (all
        when None), and merge each partial result as it comes."""
        catalogue = self.catalogue
        tasks = catalogue_tasks(catalogue, self.siblings, self.executor)
        total = catalogue.n_pairs
        if wanted is not None:
            tasks = (task for task in tasks if wanted(task.first_row, task.stop_row))
            total = sum(stop - first for _, first, stop in catalogue.ranges()
                        if wanted(first, stop))
        with progress_bar(self.progress, description, total, " pairs") as bar:
            for partial in self.executor.results(functools.partial(function, job), tasks,
                                                 self.timeout):
                merge(partial)
                bar.update(partial.rows)


def _merge_rows(acc, site_id, partial_site_id, partial_acc):
    """Add a task's partial sums into the rows of ``acc`` of the same sites."""
    if len(partial_site_id) == 0:
        return
    rows = np.searchsorted(site_id, partial_site_id)
    block = acc[rows]
    _hazard.merge(block, partial_acc)
    acc[rows] = block


class Sums:
    """The disaggregation's accumulators: the bins, and the moments for the means."""

    def __init__(self, cells, moments):
        self.cells = cells
        self.moments = moments

    def merge(self, site_id, partial):
        _merge_rows(self.cells, site_id, partial.site_id, partial.acc)
        _merge_rows(self.moments, site_id, partial.site_id, partial.moments)

