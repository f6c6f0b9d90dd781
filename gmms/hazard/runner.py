"""A hazard run: check everything, then two passes over the pairs.

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
from gmms.models import IM_UNITS
from gmms.pairs.block import tasks
from gmms.run.options import Run, RunOptions

from . import options as opts
from . import output, reduce
from .checks import SiteCheck
from .results import Disaggregation, Hazard, probability_of_exceedance, uniform_hazard


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
        The name of a model of the registry (``gmms.models.MODELS``), or a model of one's own,
        "package.module:function".
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
    GmmsError
        Any other failure (``CatalogueError`` is its older name), as for ``gmms.catalogue.run``.
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
    options = RunOptions(client=client, scheduler=scheduler, workers=workers, serial=serial,
                         siblings=siblings, batch_pairs=batch_pairs, progress=progress,
                         timeout=timeout, security=security, tls_ca_file=tls_ca_file,
                         tls_cert=tls_cert, tls_key=tls_key)
    return run_with_notes(model, scenarios, pairs, choice, options, out=out, plot=plot)[0]


def run_with_notes(model, scenarios, pairs, choice, options=RunOptions(), *, out=None,
                   plot=None):
    """``run`` with checked ``choice`` (``options.options``) and a ``RunOptions``; returns the
    ``Hazard`` and what the run decided for itself (lines for the command's summary)."""
    run = Run(model, options)
    if out is not None:
        output.check_destination(out)
    if plot is not None:
        output.check_plot_directory(plot)
    run.locate_siblings()

    with contextlib.ExitStack() as stack:
        sources = run.open_tables(scenarios, pairs, stack)
        check = SiteCheck(choice)
        table = run.check_tables(stack, sources, extra=reduce.EXTRA, check=check,
                                 watch_sites=choice.disagg_sites)
        disagg = check.finish(table.pairs.label)
        metadata = run.metadata(
            table.im, IM_units=IM_UNITS,
            truncation="none" if np.isinf(choice.truncation) else float(choice.truncation),
            investigation_time=choice.investigation_time)
        run.load_here()                     # a setup failure before any task
        hazard = _Passes(run, table).hazard(choice, check, disagg, metadata)
    if out is not None:
        output.write(hazard, out)
        hazard.path = os.fspath(out)
    if plot is not None:
        from . import plots

        plots.draw(hazard, plot)
    return hazard, run.notes


class _Passes:
    """The two passes of a run over the table's tasks, on the run's executor."""

    def __init__(self, run, table):
        self.run = run
        self.table = table

    def hazard(self, choice, check, disagg, metadata):
        site_id = check.site_id
        n_levels = len(choice.levels)
        job = reduce.Job(choice.log_levels, choice.truncation, disagg)
        acc = _hazard.zeros((len(site_id), n_levels))
        ranges = [[np.inf, -np.inf], [np.inf, -np.inf]]

        def merge(partial):
            reduce.merge_rows(acc, site_id, partial.site_id, partial.acc)
            for bounds, (low, high) in zip(ranges, (partial.magnitudes, partial.distances)):
                bounds[0], bounds[1] = min(bounds[0], low), max(bounds[1], high)

        self._map(reduce.curves, job, False, merge, "hazard")
        rates = _hazard.to_double(acc)
        del acc
        levels, status = uniform_hazard(choice.levels, rates, choice.return_periods)
        disaggregation = self._disaggregate(choice, site_id, disagg, levels, ranges)
        return Hazard(site_id=site_id, levels=choice.levels, annual_rate=rates,
                      poe=probability_of_exceedance(rates, choice.investigation_time),
                      investigation_time=choice.investigation_time,
                      return_periods=choice.return_periods, uniform_hazard=levels,
                      status=status, disaggregation=disaggregation, metadata=metadata)

    def _disaggregate(self, choice, site_id, disagg, levels, ranges):
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
        # Only the pieces that hold the sites named to disaggregate (every piece when the sites
        # are all those of a small table).
        self._map(reduce.disaggregation, job, choice.disagg_sites is not None,
                  lambda partial: sums.merge(disagg, partial), "disaggregation")
        return Disaggregation.from_sums(disagg, choice.return_periods, disagg_levels,
                                        _hazard.to_double(sums.cells),
                                        _hazard.to_double(sums.moments), m_edges, r_edges,
                                        eps_edges)

    def _map(self, function, job, watched_only, merge, description):
        """Run ``function(job, task)`` for the table's tasks (with ``watched_only``, those that
        hold sites to disaggregate), and merge each partial result as it comes."""
        run, table = self.run, self.table
        pieces = table.pieces(run.executor, watched_only=watched_only)
        total = table.pair_count(watched_only=watched_only)
        with run.progress_bar(description, total, " pairs") as bar:
            for partial in run.results(functools.partial(function, job),
                                       tasks(pieces, run.spec.name, run.siblings)):
                merge(partial)
                bar.update(partial.rows)


class Sums:
    """The disaggregation's accumulators: the bins, and the moments for the means."""

    def __init__(self, cells, moments):
        self.cells = cells
        self.moments = moments

    def merge(self, site_id, partial):
        reduce.merge_rows(self.cells, site_id, partial.site_id, partial.acc)
        reduce.merge_rows(self.moments, site_id, partial.site_id, partial.moments)
