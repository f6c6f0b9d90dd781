"""Hazard from a source model and sites: the job file and its refusals, the logic tree against
numpy computations of the field's definitions, and the same bits by every route: block sizes,
orders, and ``ruptures`` then ``hazard`` on the same sources and sites."""

import math
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from conftest import ROOT
from gmms import hazard, sources
from gmms.errors import InputError
from gmms.hazard import logictree, maps
from gmms.hazard.job import read_job
from gmms.run.options import RunOptions
from helpers import same_bits

DATA = ROOT / "tests" / "data" / "two-regions"
TESTS = str(ROOT / "tests")


@pytest.fixture(autouse=True)
def importable(monkeypatch):
    monkeypatch.syspath_prepend(TESTS)


@pytest.fixture(scope="module")
def result():
    sys.path.insert(0, TESTS)
    return maps.run_job(DATA / "job.ini", RunOptions(serial=True))


# --- the job file ----------------------------------------------------------------------------

def job_file(tmp_path, change=None, drop=None, add=""):
    """The test job in tmp_path, with a line changed (old -> new), a line dropped, or lines
    added to its [general] section; its model and sites beside it."""
    for name in ("source_model.xml", "sites.csv"):
        shutil.copy(DATA / name, tmp_path / name)
    text = (DATA / "job.ini").read_text()
    if change:
        assert change[0] in text
        text = text.replace(change[0], change[1])
    if drop:
        text = "".join(line for line in text.splitlines(True) if not line.startswith(drop))
    text = text.replace("[models]", add + "\n[models]") if add else text
    (tmp_path / "job.ini").write_text(text)
    return tmp_path / "job.ini"


def line_of(path, start):
    """The last line that starts so."""
    return [k for k, line in enumerate(path.read_text().splitlines(), start=1)
            if line.startswith(start)][-1]


@pytest.mark.parametrize("edit, key, words", [
    (dict(add="investigation_tme = 50"), "investigation_tme", "unknown key"),
    (dict(change=("investigation_time = 50", "investigation_time = fifty")), "investigation_time",
     "'fifty' is not a number"),
    (dict(change=("poes = 0.1 0.02", "poes = 0.1 2")), "poes", "2 is not a probability"),
    (dict(change=("0.7, user", "0.6, user")), "Active Shallow Crust", "weights add up to 0.9"),
    (dict(change=('Tarvik(IM="CAV") 0.7', 'Tarvik 0.7')), "Active Shallow Crust",
     "Tarvik needs the choice IM"),
    (dict(change=('Tarvik(IM="CAV") 0.7', 'Tarvk(IM="CAV") 0.7')), "Active Shallow Crust",
     "unknown model 'Tarvk"),
    (dict(change=("Tarvik(IM=1)", "Tarvik(IM=0)")), "the job", "gives Ia, not the job's IMT CAV"),
    (dict(change=('{"CAV": [0.01, 0.03,', '{"CAV": [0.03, 0.01,')), "intensity_measure_types",
     "strictly increasing"),
    (dict(change=("truncation_level = 3", "truncation_level = -1")), "truncation_level",
     "must be 0 (the median only)"),
    (dict(add="region = 140 38, 141 38, 141 39"), "region", "give one of site_model_file, sites"),
    (dict(drop="maximum_distance"), "the job", "maximum_distance is needed"),
    (dict(add="investigation_time = 1"), "investigation_time", "given twice (first at line 8)"),
    (dict(change=("maximum_distance = 200", "maximum_distance = {'Active Shallow Crust': 100}")),
     "the job", "gives no distance for the tectonic region 'Subduction IntraSlab'"),
    (dict(drop="Subduction IntraSlab ="), "the job",
     "[models] has no line for the tectonic region 'Subduction IntraSlab'"),
])
def test_a_bad_job_is_named_by_file_line_and_key_before_any_work(tmp_path, edit, key, words):
    path = job_file(tmp_path, **edit)
    with pytest.raises(InputError) as error:
        maps.run_job(path, RunOptions(serial=True), out=tmp_path / "out.h5")
    message = str(error.value)
    if key != "the job":
        assert message.startswith(f"{path}, line {line_of(path, key)}, {key}"), message
    assert words in message and str(path) in message
    assert "\n" not in message
    assert sorted(os.listdir(tmp_path)) == ["job.ini", "sites.csv", "source_model.xml"]


def test_options_win_over_the_file_and_paths_are_the_files(tmp_path, monkeypatch):
    path = job_file(tmp_path)
    monkeypatch.chdir(ROOT)
    job = read_job(path, {"investigation_time": "1", "models": {"Subduction IntraSlab": "Tarvik(IM='CAV')"}})
    assert job.investigation_time == 1.0 and job.poes == (0.1, 0.02)
    assert job.source_model_file == str(tmp_path / "source_model.xml")
    assert [b.text for b in job.models if b.region == "Subduction IntraSlab"] == ["Tarvik(IM='CAV')"]
    with pytest.raises(InputError, match="^--poes: 1.5 is not a probability"):
        read_job(path, {"poes": "1.5"})


# --- the logic tree --------------------------------------------------------------------------

def test_realizations_combine_the_branches_as_the_field_does(result):
    assert result.branches == [("Active Shallow Crust", 'Tarvik(IM="CAV")', 0.7),
                               ("Active Shallow Crust", "user_models:cav_like", 0.3),
                               ("Subduction IntraSlab", "Tarvik(IM=1)", 1.0)]
    assert result.realizations == [((0, 2), 0.7), ((1, 2), 0.3)]
    b = result.branch_rates
    # Exact sums of the branches' terms, rounded once: within an ulp of the rounded branches'.
    np.testing.assert_allclose(result.realization_rates, [b[0] + b[2], b[1] + b[2]],
                               rtol=2.3e-16, atol=0)
    years = result.investigation_time
    poe = -np.expm1(-result.realization_rates * years)
    mean_poe = 0.7 * poe[0] + 0.3 * poe[1]
    np.testing.assert_allclose(result.annual_rate, -np.log1p(-mean_poe) / years, rtol=1e-13)
    for q, curve in result.quantile_rates.items():
        expected = np.empty_like(curve)
        for s, l in np.ndindex(curve.shape):
            values = result.realization_rates[:, s, l]
            order = np.argsort(values, kind="stable")
            expected[s, l] = np.interp(q, np.cumsum(np.array([0.7, 0.3])[order]), values[order])
        np.testing.assert_allclose(curve, expected, rtol=1e-14, atol=0)


def test_maps_are_read_off_each_curve_by_log_log_interpolation(result):
    levels, years = np.log(result.levels), result.investigation_time
    for name, rates in result.statistics():
        values = result.maps[name]
        for s, curve in enumerate(-np.expm1(-rates * years)):
            for k, p in enumerate(result.poes):
                if p > curve[0]:
                    assert values[s, k] == 0.0
                elif p < curve[-1]:
                    assert values[s, k] == result.levels[-1]
                else:
                    x = np.log(np.maximum(curve, logictree.POE_FLOOR))[::-1]
                    assert values[s, k] == pytest.approx(
                        math.exp(np.interp(math.log(p), x, levels[::-1])), rel=1e-12)


# --- the same bits by every route ------------------------------------------------------------

def test_bits_do_not_depend_on_the_task_sizes(result):
    for combinations in (1, 7, 250, 10_000):
        again = maps.run_job(DATA / "job.ini", RunOptions(serial=True, batch_pairs=combinations))
        assert same_bits(again.branch_rates, result.branch_rates), combinations
        assert same_bits(again.annual_rate, result.annual_rate)
        for name, values in result.maps.items():
            assert same_bits(again.maps[name], values)


def test_bits_do_not_depend_on_the_site_blocks_of_several_branches(tmp_path):
    """Enough sites for tasks of part of them, three branches: each task's sums go to its own
    sites of every branch."""
    job = read_job(job_file(tmp_path, drop="site_model_file",
                            add="region = 139.5 37.5, 141.5 37.5, 141.5 38.5, 139.5 38.5\n"
                                "region_grid_spacing = 6\nreference_vs30_value = 500"))
    whole = maps.run_job(job, RunOptions(serial=True, batch_pairs=10**12))
    assert len(whole.site_id) > 512 and len(whole.branches) == 3
    split = maps.run_job(job, RunOptions(serial=True, batch_pairs=20_000))
    assert whole.branch_rates[:, -1].any() and whole.branch_rates[:, 0, 0].all()
    assert same_bits(split.branch_rates, whole.branch_rates)


@pytest.mark.subprocess
@pytest.mark.parametrize("suffix", ["csv", "h5"])
def test_ruptures_then_hazard_give_the_bits_of_a_job(tmp_path, suffix):
    """One model for every region: the table route's curves are the job's, to the last bit."""
    job = read_job(DATA / "job.ini", {"models": {"Active Shallow Crust": "Tarvik(IM='CAV')",
                                                  "Subduction IntraSlab": "Tarvik(IM=1)"}})
    direct = maps.run_job(job, RunOptions(serial=True))
    scenarios, pairs = tmp_path / f"s.{suffix}", tmp_path / f"p.{suffix}"
    done = subprocess.run(
        [sys.executable, "-m", "gmms", "ruptures", "--sources", DATA / "source_model.xml",
         "--sites", DATA / "sites.csv", "--model", "Tarvik(IM='CAV')", "--scenarios", scenarios,
         "--pairs", pairs, "--maximum-distance", "200", "--rupture-mesh-spacing", "2",
         "--area-source-discretization", "10", "--width-of-mfd-bin", "0.25", "--quiet"],
        cwd=ROOT, capture_output=True, text=True, timeout=120,
        env=dict(os.environ, PYTHONPATH=str(ROOT)))
    assert done.returncode == 0, done.stderr
    table = hazard.run("Tarvik", scenarios, pairs, levels=list(job.levels), serial=True,
                       return_periods=[1e9], disagg_sites=[])
    at = np.searchsorted(direct.site_id, table.site_id)
    assert same_bits(table.annual_rate, direct.annual_rate[at])
    assert not direct.annual_rate[np.setdiff1d(np.arange(len(direct.site_id)), at)].any()


@pytest.mark.subprocess
def test_command_line_runs_a_job_and_writes_its_outputs(tmp_path):
    out = tmp_path / "out"
    done = subprocess.run(
        [sys.executable, "-m", "gmms", "hazard", "--job", DATA / "job.ini", "--out", out,
         "--investigation-time", "1", "--serial"], cwd=ROOT, capture_output=True, text=True,
        timeout=120, env=dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), TESTS])))
    assert done.returncode == 0, done.stderr
    assert "177 ruptures of 3 sources, 5 sites: 755 pairs within the maximum distance; " \
           "3 branches, 2 realizations" in done.stderr
    assert (out / "hazard_curve-mean.csv").read_text().startswith("# kind='mean', "
                                                                 "investigation_time=1.0,")
    assert sorted(p.name for p in out.iterdir()) == sorted(
        [f"hazard_{kind}-{stat}.{ext}" for stat in ("mean", "quantile-0.15", "quantile-0.5",
                                                   "quantile-0.85")
         for kind, ext in (("curve", "csv"), ("map", "csv"), ("uhs", "csv"), ("map", "geojson"))])


@pytest.mark.subprocess
@pytest.mark.parametrize("arguments, message", [
    (["--job", "j.ini", "Tarvik"], "MODEL goes with a catalogue, not with --job"),
    (["Tarvik", "--scenarios", "s", "--pairs", "p", "--out", "o", "--poes", "0.1"],
     "--poes goes with --job"),
    (["--job", "j.ini", "--levels", "1"], "--levels goes with a catalogue, not with --job"),
])
def test_command_line_keeps_the_two_ways_apart(arguments, message):
    done = subprocess.run([sys.executable, "-m", "gmms", "hazard", *arguments], cwd=ROOT,
                          capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=str(ROOT)))
    assert done.returncode == 2 and message in done.stderr


def test_sites_of_a_job_by_points_and_by_region(tmp_path):
    points = read_job(job_file(tmp_path, drop="site_model_file",
                               add="sites = 140.1 38.1, 140.5 38.2\nreference_vs30_value = 760"))
    sites = maps.sites_of(points)
    assert sites.lon.tolist() == [140.1, 140.5] and sites.vs30.tolist() == [760.0, 760.0]
    region = read_job(job_file(tmp_path, drop="site_model_file",
                               add="region = 140 38, 140.5 38, 140.5 38.4, 140 38.4\n"
                                   "region_grid_spacing = 10\nreference_vs30_value = 500"))
    grid = maps.sites_of(region)
    expected = sources.grid_sites([(140, 38), (140.5, 38), (140.5, 38.4), (140, 38.4)], 10,
                                  vs30=500)
    assert same_bits(grid.lon, expected.lon) and len(grid) > 10
