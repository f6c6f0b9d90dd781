"""Trellis plots: median IM against rupture distance, one panel per model and IM.

Every panel shows one line per magnitude (colour) and site class (line style), on log-log axes,
for a fixed scenario per model (below). The figure is drawn with matplotlib's Agg backend and
touches no pyplot state.
"""

import itertools

import numpy as np
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.lines import Line2D

from gmms import models

R_RUP_KM = np.geomspace(1.0, 300.0, 121)

# (model, IM selector or None), in panel order.
PANELS = (("Tarvik", 0), ("Tarvik", 1), ("Morrand", None), ("Sellwyn", 0), ("Sellwyn", 1))

# The scenario of each model's panels: a description and the entry function's source parameters.
# Morrand and Sellwyn: a vertical strike-slip rupture reaching the surface, with the sites
# perpendicular to strike, so that R_JB = R_x = R_rup.
SCENARIOS = {
    "Tarvik": ("in-slab event, hypocentre 50 km deep\nat 38.0°N 142.0°E (forearc)",
               dict(hypo_lat=38.0, hypo_lon=142.0, hypo_depth=50.0, fins=1, fint=1, fnm=0, frv=0)),
    "Morrand": ("vertical strike-slip, top of rupture 0 km\nmodel-based CAV (CAVgmType 1), PSVcheck 1",
                dict(fdip=90.0, fZtor=0.0, fnm=0, frv=0, CAVgmType=1, PSVcheck=1)),
    "Sellwyn": ("vertical strike-slip, top of rupture 0 km,\nwidth 15 km, hypocentre 8 km deep, region JP",
                dict(fwidth=15.0, fdip=90.0, Z_tor=0.0, Z_hyp=8.0, fnm=0, frv=0, region="JP")),
}


TITLES = {"CAVdp": "standardized CAV"}


def z2p5_km(vs30):
    """Depth to Vs = 2.5 km/s from Vs30: the relation Sellwyn assigns to its reference rock."""
    return np.exp(7.089 - 1.144 * np.log(vs30))


def site_arrays(vs30):
    n = len(R_RUP_KM)
    return {
        "R_rup": R_RUP_KM.copy(),
        "R_JB": R_RUP_KM.copy(),
        "R_x": R_RUP_KM.copy(),
        "Vs30": np.full(n, vs30),
        "Z1p0": np.full(n, np.nan),  # Morrand reads it, but no equation uses it
        "Z2p5": np.full(n, z2p5_km(vs30)),
    }


def median(module, model, im, magnitude, vs30):
    """Median IM along R_RUP_KM for one magnitude and Vs30."""
    sites = site_arrays(vs30)
    arguments = dict(SCENARIOS[model.name][1], M=magnitude)
    if im is not None:
        arguments["IM"] = im
    arguments.update({p.name: sites[p.name] for p in model.site_parameters})
    mean, _, _ = getattr(module, model.entry)(**arguments)
    return np.exp(mean)


def plot(modules, magnitudes, vs30s, *, standins=True):
    """Returns the trellis figure for the loaded model ``modules`` (name -> module)."""
    figure = Figure(figsize=(15.0, 9.6), dpi=110, layout="constrained")
    FigureCanvasAgg(figure)
    figure.suptitle("Median intensity measure against rupture distance", fontsize=15, fontweight="bold")
    grid = figure.subplots(2, 3)
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
        axes.text(0.03, 0.03, SCENARIOS[name][0], transform=axes.transAxes, ha="left", va="bottom",
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
    key.axis("off")
    by_magnitude = [Line2D([], [], color=c, linewidth=2.0) for c in colours]
    by_site = [Line2D([], [], color="black", linestyle=s, linewidth=1.6) for s in styles]
    first = key.legend(by_magnitude, [f"M {m:g}" for m in magnitudes], title="Magnitude",
                       loc="upper left", bbox_to_anchor=(0.0, 1.0), fontsize=10, title_fontsize=11)
    key.add_artist(first)
    key.legend(by_site, [f"Vs30 = {v:g} m/s" for v in vs30s], title="Site class",
               loc="upper left", bbox_to_anchor=(0.45, 1.0), fontsize=10, title_fontsize=11)
    notes = ["Sites perpendicular to strike: R_JB = R_x = R_rup.",
             "Z2p5 = exp(7.089 - 1.144 ln Vs30) km; Z1p0 unused.",
             "Ia, CAV and CAVdp in the units of each model's",
             "publication; the scenario of a model is in its panels."]
    key.text(0.0, 0.30, "\n".join(notes), transform=key.transAxes, ha="left", va="top", fontsize=9.5)
    if standins:
        warning = ("Morrand and Sellwyn ran on the STAND-IN sibling\nmodules Dovecar and Brisquell: "
                   "their curves\nare made up, not a ground-motion model.")
        key.text(0.0, 0.02, warning, transform=key.transAxes, ha="left", va="bottom", fontsize=9.5,
                 color="firebrick")
    return figure


def _colours(n):
    from matplotlib import colormaps

    return colormaps["viridis"](np.linspace(0.0, 0.85, n)) if n > 1 else ["#1f77b4"]
