"""``ruptures``: a catalogue's two tables from a source model and sites. What the tables hold
against the source model, the distances module and the registry's inputs; the command line and
its refusals; the tables as ``catalogue`` reads them."""

import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from conftest import ROOT
from gmms import _geometry, catalogue, models, sources
from gmms.errors import InputError
from gmms.pairs.ruptures import RuptureSource, distance_names, rupture_input
from gmms.ruptures import run

DATA = ROOT / "tests" / "data" / "two-regions"
DISCRETIZATION = sources.Discretization(width_of_mfd_bin=0.25, rupture_mesh_spacing=2.0,
                                        area_source_discretization=10.0)
SADIGH = "user_models:sadigh_rock_pga"


@pytest.fixture(autouse=True)
def importable(monkeypatch):
    monkeypatch.syspath_prepend(str(ROOT / "tests"))


def tables(tmp_path, model, suffix="csv", maximum_distance=200.0):
    summary = run(model, str(DATA / "source_model.xml"), str(DATA / "sites.csv"),
                  tmp_path / f"s.{suffix}", tmp_path / f"p.{suffix}",
                  maximum_distance=maximum_distance, discretization=DISCRETIZATION)
    read = ((lambda path: pd.read_csv(path, float_precision="round_trip")) if suffix == "csv" else
            lambda path: pd.DataFrame({name: _column(values) for name, values in
                                       __import__("h5py").File(path, "r").items()}))
    return summary, read(tmp_path / f"s.{suffix}"), read(tmp_path / f"p.{suffix}")


def _column(dataset):
    values = dataset[()]
    return values.astype(str) if values.dtype.kind in "SO" else values


def test_every_rupture_with_the_sites_within_the_distance(tmp_path):
    summary, scenarios, pairs = tables(tmp_path, "Tarvik(IM='CAV')", maximum_distance=60.0)
    model = sources.read_source_model(DATA / "source_model.xml")
    sites = sources.read_sites(DATA / "sites.csv")
    every = sources.Ruptures.concatenate(list(sources.ruptures(model, DISCRETIZATION)),
                                         model.regions)
    assert scenarios.scenario_id.tolist() == list(range(len(every)))
    assert summary.ruptures == len(every) and summary.pairs == len(pairs)
    # Rates as the MFDs give them, source by source.
    for k, source in enumerate(model.sources):
        mine = scenarios.annual_rate[scenarios.source_id == source.id].sum()
        assert mine == pytest.approx(source.mfd.total_rate(DISCRETIZATION.width_of_mfd_bin),
                                     rel=1e-12)
    # The pairs: exactly those within the distance, with the module's distances.
    distances = _geometry.distances(every.geometry(), sites.lon, sites.lat)
    rupture, site = np.nonzero(distances["R_rup"] <= 60.0)
    assert pairs.scenario_id.tolist() == rupture.tolist()
    assert pairs.site_id.tolist() == sites.site_id[site].tolist()
    assert pairs.R_rup.tolist() == distances["R_rup"][rupture, site].tolist()
    assert pairs.Vs30.tolist() == sites.vs30[site].tolist()
    assert 0 < len(pairs) < len(every) * len(sites)


def test_flags_come_from_the_rake_and_the_tectonic_region(tmp_path):
    _, scenarios, _ = tables(tmp_path, "Tarvik(IM=1)")
    slab = (scenarios.tectonic_region == "Subduction IntraSlab").to_numpy()
    assert slab.any() and not slab.all()
    assert (scenarios.fins == slab).all() and (scenarios.fint == slab).all()
    assert (scenarios.fnm == (scenarios.rake == -90.0)).all()
    assert (scenarios.frv == (scenarios.rake == 90.0)).all()
    assert (scenarios.IM == 1).all()
    assert scenarios.M.tolist() == scenarios.mag.tolist()
    assert scenarios.hypo_depth.between(0, 80).all()


@pytest.mark.parametrize("model, inputs", [
    ("Morrand(CAVgmType=1, PSVcheck=0)", {"fdip": "dip", "fZtor": "ztor"}),
    ("Sellwyn(IM=0, region='JP')", {"fwidth": "width", "fdip": "dip", "Z_tor": "ztor",
                                    "Z_hyp": "hypo_depth"}),
])
def test_each_models_inputs_are_the_registrys(tmp_path, model, inputs):
    _, scenarios, pairs = tables(tmp_path, model)
    for parameter, column in inputs.items():
        assert scenarios[parameter].tolist() == scenarios[column].tolist(), parameter
    name = model.partition("(")[0]
    assert list(pairs.columns) == ["scenario_id", "site_id", *models.MODELS[name].site_columns]
    sites = sources.read_sites(DATA / "sites.csv").select(slice(None))
    at = np.searchsorted(sites.site_id, pairs.site_id)
    assert pairs.Z2p5.tolist() == sites.z2p5[at].tolist()


def test_csv_and_hdf5_tables_hold_the_same_numbers_and_catalogue_reads_both(tmp_path):
    (tmp_path / "csv").mkdir()
    (tmp_path / "h5").mkdir()
    _, s_csv, p_csv = tables(tmp_path / "csv", SADIGH, "csv")
    _, s_h5, p_h5 = tables(tmp_path / "h5", SADIGH, "h5")
    pd.testing.assert_frame_equal(s_csv, s_h5[s_csv.columns], check_dtype=False, rtol=0, atol=0)
    pd.testing.assert_frame_equal(p_csv, p_h5[p_csv.columns], check_dtype=False, rtol=0, atol=0)
    a = catalogue.run(SADIGH, tmp_path / "csv" / "s.csv", tmp_path / "csv" / "p.csv", serial=True)
    b = catalogue.run(SADIGH, tmp_path / "h5" / "s.h5", tmp_path / "h5" / "p.h5", serial=True)
    pd.testing.assert_frame_equal(a, b)
    assert len(a) == len(p_csv)


@pytest.mark.subprocess
def test_the_same_bytes_on_every_run(tmp_path):
    def command(out):
        out.mkdir()
        done = subprocess.run(
            [sys.executable, "-m", "gmms", "ruptures", "--sources", DATA / "source_model.xml",
             "--sites", DATA / "sites.csv", "--model", "Tarvik(IM='Ia')", "--scenarios",
             out / "s.csv", "--pairs", out / "p.csv", "--rupture-mesh-spacing", "2"],
            cwd=ROOT, capture_output=True, text=True, timeout=120,
            env=dict(os.environ, PYTHONPATH=str(ROOT)))
        assert done.returncode == 0, done.stderr
        return done.stderr, (out / "s.csv").read_bytes(), (out / "p.csv").read_bytes()

    first, second = command(tmp_path / "a"), command(tmp_path / "b")
    assert first[1:] == second[1:]
    assert "ruptures of 3 sources, 5 sites:" in first[0]
    assert "Z1.0 derived from Vs30 at 3 of 5 sites" in first[0]


@pytest.mark.subprocess
@pytest.mark.parametrize("arguments, message", [
    (["--model", "Tarvik"], "Tarvik needs the choice IM"),
    (["--model", "Sellwyn(IM=1)"], "Sellwyn needs the choice region"),
    (["--model", "Tarvik(IM='PGA')"], "IM 'PGA' is none of 'Ia' and 'CAV'"),
    (["--model", "Tarvik(IM=1, depth=3)"], "Tarvik has no choice 'depth': its choices are IM"),
    (["--model", "Nope(IM=1)"], "unknown model 'Nope'"),
    (["--model", "Tarvik(IM=1)", "--maximum-distance", "0"], "must be above 0 km"),
    (["--model", "Tarvik(IM=1)", "--spacing", "5"], "--spacing: goes with --region"),
])
def test_command_line_refusals_are_one_line_and_leave_no_file(tmp_path, arguments, message):
    done = subprocess.run(
        [sys.executable, "-m", "gmms", "ruptures", "--sources", DATA / "source_model.xml",
         "--sites", DATA / "sites.csv", "--scenarios", tmp_path / "s.csv", "--pairs",
         tmp_path / "p.csv", *arguments], cwd=ROOT, capture_output=True, text=True,
        timeout=60, env=dict(os.environ, PYTHONPATH=str(ROOT)))
    assert done.returncode == 1
    assert done.stderr.startswith("gmms ruptures: error: ") and message in done.stderr
    assert done.stderr.count("\n") == 1
    assert os.listdir(tmp_path) == []


@pytest.mark.subprocess
def test_a_region_grid_from_the_command_line(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "gmms", "ruptures", "--sources", DATA / "source_model.xml",
         "--region=140 37.8, 140.6 37.8, 140.6 38.4, 140 38.4", "--spacing", "10", "--vs30",
         "760", "--model", "Tarvik(IM=1)", "--scenarios", tmp_path / "s.h5", "--pairs",
         tmp_path / "p.h5", "--quiet"], cwd=ROOT, capture_output=True, text=True, timeout=60,
        env=dict(os.environ, PYTHONPATH=str(ROOT)))
    assert done.returncode == 0, done.stderr
    pairs = catalogue.run("Tarvik", tmp_path / "s.h5", tmp_path / "p.h5", serial=True)
    grid = sources.grid_sites([(140, 37.8), (140.6, 37.8), (140.6, 38.4), (140, 38.4)], 10,
                              vs30=760)
    assert set(pairs.site_id) == set(grid.site_id.tolist())


def test_a_region_the_model_does_not_know_is_refused(tmp_path):
    text = (DATA / "source_model.xml").read_text().replace("Subduction IntraSlab", "Deep Mantle")
    (tmp_path / "m.xml").write_text(text)
    model = sources.read_source_model(tmp_path / "m.xml")
    sites = sources.read_sites(DATA / "sites.csv")
    with pytest.raises(InputError, match="Tarvik takes its flags from the tectonic region, and "
                                         "knows no region 'Deep Mantle'"):
        RuptureSource(models.MODELS["Tarvik"], model, sites, choices={"IM": 1})
    # A model that takes no flag of the region does not mind.
    RuptureSource(models.MODELS["Morrand"], model, sites,
                  choices={"CAVgmType": 1, "PSVcheck": 1})


def test_style_of_faulting_at_the_edges_of_its_ranges():
    class Ruptures:
        rake = np.array([-150.0, -149.9, -30.1, -30.0, 30.0, 30.1, 149.9, 150.0, 180.0, -180.0])

    assert rupture_input("normal", Ruptures).tolist() == [0, 1, 1, 0, 0, 0, 0, 0, 0, 0]
    assert rupture_input("reverse", Ruptures).tolist() == [0, 0, 0, 0, 0, 1, 1, 0, 0, 0]


@pytest.mark.parametrize("names, wanted", [
    (["Tarvik"], ("R_rup",)),
    (["Morrand"], ("R_rup", "R_JB", "R_x")),
    (["Tarvik", "Sellwyn"], ("R_rup", "R_JB", "R_x")),
])
def test_only_the_distances_the_models_take_are_made(names, wanted):
    """R_rup always (the maximum distance and the disaggregation use it), then each model's, in
    the order of gmms._geometry.DISTANCES; the pairs' other distances are never computed."""
    assert set(distance_names([models.resolve(n) for n in names])) == set(wanted)
    assert list(distance_names([models.resolve(n) for n in names])) == \
        [d for d in _geometry.DISTANCES if d in wanted]
