"""The pictures of a hazard job: every file drawn, whatever the sites' layout (a few points,
a line, a grid), and the maps' colours on the levels of the result."""

import dataclasses
import sys

import numpy as np
import pytest

from conftest import ROOT
from gmms import sources
from gmms.hazard import map_plots, maps
from gmms.hazard.job import read_job
from gmms.run.options import RunOptions

DATA = ROOT / "tests" / "data" / "two-regions"
pytest.importorskip("matplotlib")


@pytest.fixture(scope="module")
def result():
    sys.path.insert(0, str(ROOT / "tests"))
    job = read_job(DATA / "job.ini", {"disagg_sites": "10 12", "individual_rlzs": "true"})
    return maps.run_job(job, RunOptions(serial=True))


def test_a_job_draws_its_maps_curves_and_disaggregation(result, tmp_path):
    model = sources.read_source_model(DATA / "source_model.xml")
    paths = map_plots.draw(result, tmp_path / "plots", model)
    names = sorted(p.rsplit("/", 1)[-1] for p in paths)
    expected = [f"hazard-map-{name}.png" for name in result.maps]
    expected += ["hazard-curves.png"]
    d = result.disaggregation
    expected += [f"disagg-site{site}-poe{p:g}.png" for s, site in enumerate(d.site_id)
                 for k, p in enumerate(d.return_periods) if d.rate[s, k] > 0]
    assert names == sorted(expected) and "hazard-map-rlz-001.png" in names
    for path in paths:
        with open(path, "rb") as file:
            assert file.read(8) == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("lon, lat", [
    (np.linspace(140.0, 141.0, 40), np.full(40, 38.0)),              # a line: no triangles
    (np.repeat(np.linspace(140, 141, 8), 8), np.tile(np.linspace(37.5, 38.5, 8), 8)),  # grid
    (np.array([140.2]), np.array([38.1])),                           # one site
])
def test_maps_of_any_layout_of_sites(result, lon, lat):
    n = len(lon)
    rng = np.random.default_rng(3)
    values = rng.uniform(0.0, 5.0, (n, len(result.poes)))
    values[0] = 0.0                                                  # never reached
    one = dataclasses.replace(result, site_id=np.arange(n), lon=lon, lat=lat)
    figure = map_plots.hazard_map(one, "mean", values)
    panels = [ax for ax in figure.axes if ax.get_label() != "<colorbar>"]
    bars = [ax for ax in figure.axes if ax.get_label() == "<colorbar>"]
    assert len(panels) == len(bars) == len(result.poes)
    for k, bar in enumerate(bars):
        low, high = bar.get_ylim()
        top = values[:, k].max() or 1.0                              # nothing reached: 0 to 1
        assert low == 0.0 and top <= high < 2 * top
    import matplotlib.pyplot as plt
    plt.close(figure)
