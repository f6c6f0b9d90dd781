"""Pictures of a hazard result (PNG, matplotlib's Agg): the hazard curves of a few sites with
the return periods marked, and one magnitude-distance map per disaggregated site and return
period."""

import os

import numpy as np

# Curves of more sites than this would not be told apart; the first ones are drawn.
MAX_CURVES = 8


def draw(hazard, directory):
    """Write hazard-curves.png and disagg-site<ID>-rp<YEARS>.png into ``directory`` (made if
    need be); returns the paths written."""
    import matplotlib

    matplotlib.use("Agg")
    os.makedirs(directory, exist_ok=True)
    paths = [_save(curves(hazard), os.path.join(directory, "hazard-curves.png"))]
    d = hazard.disaggregation
    for s, site in enumerate(d.site_id):
        for k, period in enumerate(d.return_periods):
            if d.rate[s, k] > 0:
                name = f"disagg-site{site}-rp{period:g}.png"
                paths.append(_save(disaggregation_map(hazard, s, k), os.path.join(directory, name)))
    return paths


def _save(figure, path):
    import matplotlib.pyplot as plt

    figure.savefig(path, dpi=110)
    plt.close(figure)
    return path


def _im_label(hazard):
    im = hazard.metadata.get("IM", "IM")
    return f"{im} ({hazard.metadata.get('IM_units', '')})" if "IM_units" in hazard.metadata else im


def curves(hazard):
    """Annual exceedance rate against level, log-log, for the disaggregated sites (or the first
    few), with each return period's rate and the levels found there marked."""
    import matplotlib.pyplot as plt

    chosen = list(hazard.disaggregation.site_id) or list(hazard.site_id[:MAX_CURVES])
    rows = np.searchsorted(hazard.site_id, chosen[:MAX_CURVES])
    figure, axes = plt.subplots(figsize=(8.0, 6.0), constrained_layout=True)  # layout= is matplotlib 3.5's
    colours = plt.get_cmap("tab10").colors
    for n, row in enumerate(rows):
        positive = hazard.annual_rate[row] > 0
        colour = colours[n % len(colours)]
        axes.plot(hazard.levels[positive], hazard.annual_rate[row][positive], "-o",
                  markersize=3, color=colour, label=f"site {hazard.site_id[row]}")
        axes.plot(hazard.uniform_hazard[row], 1.0 / np.asarray(hazard.return_periods), "D",
                  color=colour, markersize=7, markeredgecolor="black")
    for period in hazard.return_periods:
        axes.axhline(1.0 / period, color="0.35", linestyle="--", linewidth=1.0)
        axes.annotate(f"{period:g} years", (0.995, 1.0 / period), xycoords=("axes fraction", "data"),
                      ha="right", va="bottom", fontsize=9, color="0.25")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel(_im_label(hazard))
    axes.set_ylabel("annual rate of exceedance (1/year)")
    truncation = hazard.metadata.get("truncation", "")
    axes.set_title(f"{hazard.metadata.get('model', '')}: hazard curves (truncation {truncation} "
                   f"sigma; diamonds: uniform hazard)", fontsize=11)
    axes.grid(True, which="major", color="0.8", linewidth=0.8)
    axes.grid(True, which="minor", color="0.92", linewidth=0.5)
    axes.legend(loc="lower left", fontsize=9)
    _stand_in_note(hazard, axes)
    return figure


def disaggregation_map(hazard, s, k, when=None):
    """Shares of the exceedance rate by magnitude and rupture distance (summed over epsilon)
    at site ``s`` and return period ``k`` of the disaggregation, with the mean marked;
    ``when`` names the return period in the title (default "N years")."""
    import matplotlib.pyplot as plt

    d = hazard.disaggregation
    shares = 100.0 * np.nansum(d.shares[s, k], axis=2)          # M x R, in percent
    figure, axes = plt.subplots(figsize=(7.5, 6.0), constrained_layout=True)  # layout= is matplotlib 3.5's
    mesh = axes.pcolormesh(d.m_edges, d.r_edges, shares.T, cmap="YlOrRd", vmin=0.0,
                           edgecolors="0.85", linewidth=0.3)
    figure.colorbar(mesh, ax=axes, label="share of the exceedance rate (%)")
    centres_m = 0.5 * (d.m_edges[:-1] + d.m_edges[1:])
    centres_r = 0.5 * (d.r_edges[:-1] + d.r_edges[1:])
    top = shares.max() if shares.size else 0.0
    if shares.size <= 400:
        for i, j in zip(*np.nonzero(shares >= 1.0)):
            axes.text(centres_m[i], centres_r[j], f"{shares[i, j]:.0f}", ha="center",
                      va="center", fontsize=8, color="white" if shares[i, j] > 0.6 * top else "black")
    axes.plot(d.mean["M"][s, k], d.mean["R"][s, k], marker="X", markersize=12, color="navy",
              markeredgecolor="white", linestyle="none",
              label=f"mean: M {d.mean['M'][s, k]:.2f}, R {d.mean['R'][s, k]:.1f} km, "
                    f"epsilon {d.mean['eps'][s, k]:.2f}")
    axes.plot([], [], linestyle="none",
              label=f"largest M-R-epsilon bin: M {d.modal['M'][s, k]:g}, R {d.modal['R'][s, k]:g} km, "
                    f"epsilon {d.modal['eps'][s, k]:g}")
    axes.set_xlabel("magnitude")
    axes.set_ylabel("rupture distance (km)")
    when = when or f"{d.return_periods[k]:g} years"
    axes.set_title(f"site {d.site_id[s]}, {when}: "
                   f"{hazard.metadata.get('IM', 'IM')} = {d.level[s, k]:.4g}", fontsize=11)
    axes.legend(loc="upper right", fontsize=9, framealpha=0.9)
    _stand_in_note(hazard, axes)
    return figure


def _stand_in_note(hazard, axes):
    if hazard.metadata.get("siblings") == "stand-ins":
        axes.text(0.01, 0.01, "stand-in sibling modules: made-up numbers", fontsize=9,
                  color="firebrick", transform=axes.transAxes, ha="left", va="bottom")
