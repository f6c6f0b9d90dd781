"""Trellis plots: median IM against rupture distance, one panel per model and IM.

Every panel shows one line per magnitude (colour) and site class (line style), on log-log axes,
for a fixed scenario per model (its registry entry's ``trellis``). The figure is drawn with
matplotlib's Agg backend and touches no pyplot state.
"""

import itertools

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.lines import Line2D

from gmms import models

R_RUP_KM = np.geomspace(1.0, 300.0, 121)

# (model, IM selector or None), in panel order: every IM of every model of the registry.
PANELS = tuple((name, im) for name, model in models.MODELS.items() for im in model.measures)

TITLES = {"CAVdp": "standardized CAV"}


def site_arrays(model, vs30):
    """The model's site parameters along R_RUP_KM, as the registry's ``trellis`` values say."""
    n = len(R_RUP_KM)
    arrays = {}
    for p in model.site_parameters:
        if p.trellis == models.DISTANCE:
            arrays[p.name] = R_RUP_KM.copy()
        elif p.trellis == models.VS30:
            arrays[p.name] = np.full(n, vs30)
        else:
            arrays[p.name] = np.full(n, p.trellis(vs30) if callable(p.trellis) else p.trellis)
    return arrays


def median(module, model, im, magnitude, vs30):
    """Median IM along R_RUP_KM for one magnitude and Vs30."""
    arguments = dict(model.trellis.scenario, M=magnitude)
    if im is not None:
        arguments["IM"] = im
    arguments.update(site_arrays(model, vs30))
    mean, _, _ = getattr(module, model.entry)(**arguments)
    return np.exp(mean)


def plot(modules, magnitudes, vs30s, *, standins=True):
    """Returns the trellis figure for the loaded model ``modules`` (name -> module)."""
    rows = -(-(len(PANELS) + 1) // 3)      # the panels and the key, three to a row
    figure = Figure(figsize=(15.0, 4.8 * rows), dpi=110, constrained_layout=True)  # layout= is matplotlib 3.5's
    FigureCanvasAgg(figure)
    figure.suptitle("Median intensity measure against rupture distance", fontsize=15, fontweight="bold")
    grid = figure.subplots(rows, 3, squeeze=False)
    colours = list(_colours(len(magnitudes)))
    styles = list(itertools.islice(itertools.cycle(["-", "--", ":", "-."]), len(vs30s)))

    for axes, (name, im) in zip(grid.flat, PANELS):
        model = models.MODELS[name]
        measure = model.measures[im]
        for magnitude, colour in zip(magnitudes, colours):
            for vs30, style in zip(vs30s, styles):
                values = median(modules[name], model, im, magnitude, vs30)
                axes.plot(R_RUP_KM, values, color=colour, linestyle=style, linewidth=1.6)
        axes.set_xscale("log")
        axes.set_yscale("log")
        axes.set_xlim(R_RUP_KM[0], R_RUP_KM[-1])
        title = TITLES.get(measure, models.MEASURES[measure])
        axes.set_title(f"{name}: {title} ({measure})", fontsize=12, loc="left")
        axes.text(0.03, 0.03, model.trellis.caption, transform=axes.transAxes, ha="left", va="bottom",
                  fontsize=8.5, color="0.3", bbox=dict(facecolor="white", edgecolor="none", alpha=0.8, pad=1.5))
        axes.set_xlabel("rupture distance R_rup (km)")
        axes.set_ylabel(f"median {measure}")
        axes.grid(True, which="major", color="0.8", linewidth=0.8)
        axes.grid(True, which="minor", color="0.92", linewidth=0.5)
        if standins and model.sibling is not None:
            axes.text(0.97, 0.96, f"stand-in {model.sibling}:\nmade-up numbers", transform=axes.transAxes,
                      ha="right", va="top", fontsize=9, color="firebrick",
                      bbox=dict(facecolor="white", edgecolor="firebrick", boxstyle="round,pad=0.3"))

    key = grid.flat[len(PANELS)]
    for unused in grid.flat[len(PANELS):]:
        unused.axis("off")
    by_magnitude = [Line2D([], [], color=c, linewidth=2.0) for c in colours]
    by_site = [Line2D([], [], color="black", linestyle=s, linewidth=1.6) for s in styles]
    first = key.legend(by_magnitude, [f"M {m:g}" for m in magnitudes], title="Magnitude",
                       loc="upper left", bbox_to_anchor=(0.0, 1.0), fontsize=10, title_fontsize=11)
    key.add_artist(first)
    key.legend(by_site, [f"Vs30 = {v:g} m/s" for v in vs30s], title="Site class",
               loc="upper left", bbox_to_anchor=(0.45, 1.0), fontsize=10, title_fontsize=11)
    notes = ["Sites perpendicular to strike: R_JB = R_x = R_rup.",
             f"Z2p5 = exp({models.Z2P5_INTERCEPT} - {models.Z2P5_SLOPE} ln Vs30) km; Z1p0 unused.",
             f"{models.spoken_list(models.MEASURES)} in the units of each model's",
             "publication; the scenario of a model is in its panels."]
    key.text(0.0, 0.30, "\n".join(notes), transform=key.transAxes, ha="left", va="top", fontsize=9.5)
    if standins:
        built_on = models.spoken_list(m.name for m in models.MODELS.values() if m.sibling is not None)
        warning = (f"{built_on} ran on the STAND-IN sibling\nmodules {models.spoken_list(models.SIBLINGS)}: "
                   "their curves\nare made up, not a ground-motion model.")
        key.text(0.0, 0.02, warning, transform=key.transAxes, ha="left", va="bottom", fontsize=9.5,
                 color="firebrick")
    return figure


def _colours(n):
    try:
        from matplotlib import colormaps  # matplotlib 3.5 on
    except ImportError:
        from matplotlib import cm

        viridis = cm.get_cmap("viridis")
    else:
        viridis = colormaps["viridis"]
    return viridis(np.linspace(0.0, 0.85, n)) if n > 1 else ["#1f77b4"]
