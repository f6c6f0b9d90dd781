"""Pictures of a hazard job's result (PNG, matplotlib's Agg): the hazard map of each statistic
on lon/lat axes (one panel per probability of exceedance, a colour bar in the IM's units, the
sources drawn over it), the curves of chosen sites, and the disaggregation of the mean as a
hazard from a catalogue draws it."""

import math
import os

import numpy as np

from . import plots

# Fewer sites than this, or sites on a line, are drawn as coloured points, not filled contours.
MIN_CONTOUR_SITES = 30
CONTOUR_BANDS = 12


def draw(result, directory, source_model=None):
    """Write hazard-map-<STATISTIC>.png for each statistic with a map, hazard-curves.png, and
    disagg-site<ID>-poe<P>.png per disaggregated site and probability into ``directory`` (made
    if need be); ``source_model`` (a ``gmms.sources.SourceModel``), when given, is drawn over the
    maps. Returns the paths written."""
    import matplotlib

    matplotlib.use("Agg")
    os.makedirs(directory, exist_ok=True)
    paths = []
    for name, values in result.maps.items():
        paths.append(plots._save(hazard_map(result, name, values, source_model),
                                 os.path.join(directory, f"hazard-map-{name}.png")))
    paths.append(plots._save(curves(result), os.path.join(directory, "hazard-curves.png")))
    d = result.disaggregation
    if d is not None:
        for s, site in enumerate(d.site_id):
            for k, p in enumerate(d.return_periods):
                if d.rate[s, k] > 0:
                    figure = plots.disaggregation_map(
                        result, s, k, when=f"{_percent(p)} in {result.investigation_time:g} years")
                    paths.append(plots._save(figure, os.path.join(
                        directory, f"disagg-site{site}-poe{p:g}.png")))
    return paths


def _percent(p):
    return f"{100 * p:g} %"


def hazard_map(result, name, values, source_model=None):
    """The map of one statistic: a panel per probability of exceedance in the investigation
    time, the level of the IM reached there at each site."""
    import matplotlib.pyplot as plt

    n = len(result.poes)
    lon, lat = np.asarray(result.lon), np.asarray(result.lat)
    width = max(lon.max() - lon.min(), 1e-3) * math.cos(math.radians(lat.mean()))
    height = max(lat.max() - lat.min(), 1e-3)
    panel = (5.5, float(np.clip(5.0 * height / width, 3.0, 8.0)))
    figure, axes = plt.subplots(1, n, figsize=(panel[0] * n + 0.6, panel[1] + 1.0),
                                constrained_layout=True, squeeze=False)
    for k, ax in enumerate(axes[0]):
        _panel(figure, ax, result, values[:, k], source_model)
        ax.set_title(f"{_percent(result.poes[k])} in {result.investigation_time:g} years",
                     fontsize=11)
    statistic = name.replace("-", " ")
    figure.suptitle(f"{statistic} hazard map: the {result.imt} exceeded with each panel's "
                    f"probability ({len(result.site_id)} sites)", fontsize=12)
    plots._stand_in_note(result, axes[0][0])
    return figure


def _panel(figure, ax, result, values, source_model):
    import matplotlib.ticker as ticker
    import matplotlib.tri as tri

    lon, lat = np.asarray(result.lon), np.asarray(result.lat)
    label = plots._im_label(result)
    reached = values > 0
    top = values.max() if reached.any() else 1.0
    bands = ticker.MaxNLocator(CONTOUR_BANDS).tick_values(0.0, top)
    bands = bands[bands >= 0.0]
    drawn = None
    if bands[-1] < top:
        bands = np.append(bands, bands[-1] + (bands[1] - bands[0]))
    if len(lon) >= MIN_CONTOUR_SITES:
        try:
            mesh = tri.Triangulation(lon, lat)
            drawn = ax.tricontourf(mesh, values, levels=bands, cmap="viridis")
        except (RuntimeError, ValueError):      # the sites lie on a line
            drawn = None
    if drawn is None:
        drawn = ax.scatter(lon, lat, c=values, cmap="viridis", vmin=0.0, vmax=bands[-1], s=40,
                           edgecolors="0.3", linewidths=0.4)
    figure.colorbar(drawn, ax=ax, label=label, shrink=0.9)
    if not reached.all():
        ax.plot(lon[~reached], lat[~reached], "x", color="0.5", markersize=4,
                label="probability not reached")
        ax.legend(loc="lower left", fontsize=8, framealpha=0.9)
    if source_model is not None:
        _sources(ax, source_model)
    if lon.max() > lon.min():
        ax.set_xlim(lon.min(), lon.max())
    if lat.max() > lat.min():
        ax.set_ylim(lat.min(), lat.max())
    ax.set_aspect(1.0 / math.cos(math.radians(lat.mean())))
    ax.set_xlabel("longitude (degrees)")
    ax.set_ylabel("latitude (degrees)")


def _sources(ax, source_model):
    """Area sources' outlines, fault traces and points, in white over the colours."""
    style = dict(color="white", linewidth=1.2, alpha=0.9)
    for source in source_model.sources:
        if hasattr(source, "polygon"):
            ring = list(source.polygon) + [source.polygon[0]]
            ax.plot(*zip(*ring), linestyle="--", **style)
        elif hasattr(source, "trace"):
            ax.plot(*zip(*source.trace), linestyle="-", **dict(style, linewidth=2.2))
        elif hasattr(source, "lon"):
            ax.plot(source.lon, source.lat, marker="*", markersize=9, linestyle="none",
                    markeredgecolor="black", markeredgewidth=0.5, color="white")


def curves(result):
    """Probability of exceedance in the investigation time against level, log-log, of the
    mean curves of the disaggregated sites (or the first few), with the quantiles' range
    shaded and the probabilities of the maps marked."""
    import matplotlib.pyplot as plt

    d = result.disaggregation
    chosen = list(d.site_id) if d is not None and len(d.site_id) else \
        list(result.site_id[:plots.MAX_CURVES])
    rows = [int(np.flatnonzero(result.site_id == site)[0]) for site in chosen[:plots.MAX_CURVES]]
    from .logictree import poe

    figure, axes = plt.subplots(figsize=(8.0, 6.0), constrained_layout=True)
    colours = plt.get_cmap("tab10").colors
    years = result.investigation_time
    quantiles = [poe(rates, years) for rates in result.quantile_rates.values()]
    for n, row in enumerate(rows):
        colour = colours[n % len(colours)]
        positive = result.poe[row] > 0
        axes.plot(result.levels[positive], result.poe[row][positive], "-o", markersize=3,
                  color=colour, label=f"site {result.site_id[row]} "
                                      f"({result.lon[row]:.2f}, {result.lat[row]:.2f})")
        if len(quantiles) > 1:
            low = np.min([q[row] for q in quantiles], axis=0)
            high = np.max([q[row] for q in quantiles], axis=0)
            axes.fill_between(result.levels, np.where(low > 0, low, np.nan),
                              np.where(high > 0, high, np.nan), color=colour, alpha=0.15,
                              linewidth=0)
    for p in result.poes:
        axes.axhline(p, color="0.35", linestyle="--", linewidth=1.0)
        axes.annotate(f"{_percent(p)} in {years:g} years", (0.995, p),
                      xycoords=("axes fraction", "data"), ha="right", va="bottom", fontsize=9,
                      color="0.25")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel(plots._im_label(result))
    axes.set_ylabel(f"probability of exceedance in {years:g} years")
    shaded = (f"; shaded: quantiles {min(result.quantile_rates):g} to "
              f"{max(result.quantile_rates):g}" if len(quantiles) > 1 else "")
    axes.set_title(f"mean hazard curves{shaded}", fontsize=11)
    axes.grid(True, which="major", color="0.8", linewidth=0.8)
    axes.grid(True, which="minor", color="0.92", linewidth=0.5)
    axes.legend(loc="lower left", fontsize=9)
    plots._stand_in_note(result, axes)
    return figure
