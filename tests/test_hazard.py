"""Hazard from a catalogue, in this process: curves against closed forms and an independent
computation, bits across batch sizes and table formats, disaggregation by Monte Carlo, uniform
hazard, bad input and what is written. The same on Dask: tests/test_catalogue_dask.py."""

import math
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from scipy import special, stats

from gmms import catalogue, hazard
from gmms.catalogue import synthetic
from gmms.errors import InputError, ScenarioRefused
from gmms.hazard import results
from helpers import (EXAMPLE, LEVELS, ROOT, assert_same_hazard, rated_catalogue, read_hdf5,
                     same_bits, write_csv)

EXAMPLE_LEVELS = dict(levels_from=0.1, levels_to=100.0, levels_n=30)


def oracle_curves(model, scenarios, pairs, levels, truncation):
    """Independent: the catalogue's mean and sigmas per pair, then numpy/scipy sums per site."""
    per_pair = catalogue.run(model, scenarios.drop(columns="annual_rate"), pairs, serial=True)
    sigma = np.hypot(per_pair.phi_im.to_numpy(), per_pair.tau_im.to_numpy())
    z = (np.log(levels)[None, :] - per_pair.mu_im.to_numpy()[:, None]) / sigma[:, None]
    if math.isinf(truncation):
        p = special.ndtr(-z)
    else:
        p = stats.truncnorm.sf(z, -truncation, truncation)
    rate = pairs.scenario_id.map(scenarios.set_index("scenario_id").annual_rate).to_numpy()
    terms = rate[:, None] * p
    sites = np.unique(pairs.site_id)
    site_of = pairs.site_id.to_numpy()
    return sites, np.array([[math.fsum(terms[site_of == site, k]) for k in range(len(levels))]
                            for site in sites])


def serial(model, scenarios, pairs, **options):
    options = {"levels": LEVELS, **options}
    return hazard.run(model, scenarios, pairs, serial=True, **options)


# --- curves ----------------------------------------------------------------------------------

@pytest.mark.parametrize("truncation", [3.0, 1.5, None])
def test_one_scenario_curve_is_rate_times_the_tail(truncation):
    scenarios, pairs = rated_catalogue("Tarvik", n_scenarios=1, n_sites=1)
    scenarios["annual_rate"] = 0.02
    result = serial("Tarvik", scenarios, pairs, truncation=truncation, return_periods=[100])
    from gmms import Tarvik

    s = scenarios.iloc[0]
    mu, phi, tau = Tarvik.Tarvik_cy(int(s.IM), s.M, s.hypo_lat, s.hypo_lon, s.hypo_depth,
                                    pairs.R_rup.to_numpy(), pairs.Vs30.to_numpy(), int(s.fins),
                                    int(s.fint), int(s.fnm), int(s.frv))
    z = (np.log(LEVELS) - mu[0]) / math.hypot(phi[0], tau[0])
    t = math.inf if truncation is None else truncation
    tail = stats.norm.sf(z) if truncation is None else stats.truncnorm.sf(z, -t, t)
    np.testing.assert_allclose(result.annual_rate[0], 0.02 * tail, rtol=1e-12, atol=1e-300)
    if truncation is not None:
        assert ((result.annual_rate[0] == 0.02) == (z <= -t)).all()
        assert ((result.annual_rate[0] == 0.0) == (z >= t)).all()
    np.testing.assert_allclose(result.poe, -np.expm1(-50.0 * result.annual_rate), rtol=0)


@pytest.mark.parametrize("model", ["Tarvik", "Morrand", "Sellwyn"])
@pytest.mark.parametrize("truncation", [3.0, None])
def test_small_catalogue_against_an_independent_computation(model, truncation):
    scenarios, pairs = rated_catalogue(model, shuffle=True)
    result = serial(model, scenarios, pairs, truncation=truncation)
    sites, expected = oracle_curves(model, scenarios, pairs, LEVELS,
                                    math.inf if truncation is None else truncation)
    assert (result.site_id == sites).all()
    # The sums keep every bit down to 2**-192 (1.6e-58) of a rate per year, and no further.
    np.testing.assert_allclose(result.annual_rate, expected, rtol=1e-12, atol=len(pairs) * 2e-58)


def test_bits_do_not_depend_on_batches_order_or_table_format(tmp_path):
    scenarios, pairs = rated_catalogue("Sellwyn", n_scenarios=9, n_sites=5)
    reference = serial("Sellwyn", scenarios, pairs, batch_pairs=100_000)
    shuffled = pairs.sample(frac=1.0, random_state=1).reset_index(drop=True)
    synthetic.write(tmp_path / "s.h5", [scenarios])
    synthetic.write(tmp_path / "p.h5", [shuffled])
    write_csv(tmp_path / "s.csv", scenarios)
    write_csv(tmp_path / "p.csv", pairs)
    assert len(reference.disaggregation.site_id) == 5 and (reference.status == 0).any()
    for tables, batch in (((scenarios, pairs), 1), ((scenarios, shuffled), 7),
                          ((tmp_path / "s.h5", tmp_path / "p.h5"), 4),
                          ((tmp_path / "s.csv", tmp_path / "p.csv"), 13)):
        assert_same_hazard(serial("Sellwyn", *tables, batch_pairs=batch), reference)


# --- uniform hazard --------------------------------------------------------------------------

def test_uniform_hazard_is_exact_on_a_power_law_and_flags_what_it_cannot_reach():
    levels = np.geomspace(0.01, 10.0, 7)
    power = 1e-3 * levels ** -1.7                       # a straight line in log-log
    rates = np.vstack([power, power * 1e3, power * 1e-6,
                       np.where(levels < 0.5, power, 0.0)])
    periods = (2000.0, 1e4)
    found, status = results.uniform_hazard(levels, rates, periods)
    exact = (1e-3 * np.asarray(periods)) ** (1 / 1.7)
    np.testing.assert_allclose(found[0], exact, rtol=1e-13)
    assert status.tolist() == [[0, 0], [results.ABOVE_LEVELS] * 2, [results.BELOW_LEVELS] * 2,
                               [results.FALLS_TO_ZERO] * 2]
    assert np.isnan(found[1:, :]).all()


# --- disaggregation --------------------------------------------------------------------------

def test_disaggregation_shares_match_a_monte_carlo_simulation():
    scenarios, pairs = rated_catalogue("Tarvik", n_scenarios=4, n_sites=1, seed=8)
    scenarios["annual_rate"] = [0.05, 0.03, 0.01, 0.02]
    scenarios["M"] = [5.2, 6.1, 7.3, 6.6]
    result = serial("Tarvik", scenarios, pairs, return_periods=[30], disagg_m_width=0.5)
    d = result.disaggregation
    level = d.level[0, 0]
    assert result.status[0, 0] == 0
    per_pair = catalogue.run("Tarvik", scenarios.drop(columns="annual_rate"), pairs, serial=True)
    mu = per_pair.mu_im.to_numpy()
    sigma = np.hypot(per_pair.phi_im.to_numpy(), per_pair.tau_im.to_numpy())
    # Simulate events: a scenario by its rate, then ln IM from its truncated normal.
    rng = np.random.default_rng(11)
    n = 400_000
    rate = scenarios.annual_rate.to_numpy()
    chosen = rng.choice(len(rate), size=n, p=rate / rate.sum())
    eps = stats.truncnorm.rvs(-3.0, 3.0, size=n, random_state=rng)
    exceeds = mu[chosen] + sigma[chosen] * eps > math.log(level)
    m_bin = np.searchsorted(d.m_edges, scenarios.M.to_numpy()[chosen], side="right") - 1
    r_bin = np.searchsorted(d.r_edges, pairs.R_rup.to_numpy()[chosen], side="right") - 1
    e_bin = np.searchsorted(d.eps_edges, (math.log(level) - mu[chosen]) / sigma[chosen],
                            side="right") - 1
    counts = np.zeros(d.shares.shape[2:])
    np.add.at(counts, (m_bin[exceeds], r_bin[exceeds], e_bin[exceeds]), 1)
    n_exceed = exceeds.sum()
    simulated = counts / n_exceed
    error = np.sqrt(np.maximum(simulated * (1 - simulated), 1 / n_exceed) / n_exceed)
    assert n_exceed > 5000 and (counts > 0).sum() >= 3
    assert (np.abs(d.shares[0, 0] - simulated) <= 4.5 * error).all()
    # The rate split is the curve's rate at that level, 1 / return period.
    at_level = serial("Tarvik", scenarios, pairs, levels=[level], return_periods=[30])
    assert at_level.annual_rate[0, 0] == d.rate[0, 0]
    assert d.rate[0, 0] == pytest.approx(rate.sum() * exceeds.mean(), rel=0.03)
    assert d.rate[0, 0] == pytest.approx(1 / 30, rel=0.05)
    mean_m = scenarios.M.to_numpy()[chosen][exceeds].mean()
    assert d.mean["M"][0, 0] == pytest.approx(mean_m, abs=4.5 * 0.8 / math.sqrt(n_exceed))


# --- bad input -------------------------------------------------------------------------------

def _edit_rate(value):
    def edit(scenarios, pairs):
        scenarios["annual_rate"] = scenarios["annual_rate"].astype(object)
        scenarios.loc[2, "annual_rate"] = value
        return scenarios, pairs
    return edit


BAD = {
    "no annual_rate": (lambda s, p: (s.drop(columns="annual_rate"), p), {},
                       "s.csv: missing column 'annual_rate'"),
    "negative rate": (_edit_rate(-0.5), {}, "s.csv, line 4, column 'annual_rate': -0.5 is not"),
    "nan rate": (_edit_rate("nan"), {}, "s.csv, line 4, column 'annual_rate': nan is not"),
    "infinite rate": (_edit_rate("inf"), {}, "line 4, column 'annual_rate': inf is not"),
    "empty rate": (_edit_rate(""), {}, "s.csv, line 4, column 'annual_rate': empty value"),
    "two IMs": (lambda s, p: (s.assign(IM=[1, 1, 0] + [1] * (len(s) - 3)), p), {},
                "s.csv, line 4, column 'IM': IM 0, while line 2 has IM 1"),
    "levels decrease": (None, {"levels": [0.1, 1.0, 0.5]}, "--levels: must be strictly increasing"),
    "level zero": (None, {"levels": [0.0, 1.0]}, "--levels: must be greater than 0"),
    "no levels": (None, {"levels": None}, "--levels: the IM levels are needed"),
    "range upside down": (None, {"levels": None, "levels_from": 10, "levels_to": 1},
                          "--levels-to: must be greater than --levels-from"),
    "truncation zero": (None, {"truncation": 0}, "--truncation: must be greater than 0"),
    "truncation text": (None, {"truncation": "all"}, "--truncation: 'all' is neither"),
    "investigation time": (None, {"investigation_time": -1}, "--investigation-time: must be"),
    "unreachable return period": (None, {"return_periods": [475, 1]},
                                  "--return-periods: no curve reaches 1 years"),
    "unknown site": (None, {"disagg_sites": [2, 999]}, "--disagg-sites: site 999 is not in"),
    "bin width": (None, {"disagg_r_width": 0}, "--disagg-r-width: must be greater than 0"),
}


@pytest.mark.parametrize("case", BAD, ids=list(BAD))
def test_bad_input_is_named_before_any_model_work(case, tmp_path, monkeypatch):
    change, options, message = BAD[case]
    scenarios, pairs = pd.read_csv(EXAMPLE[0]), pd.read_csv(EXAMPLE[1])
    if change is not None:
        scenarios, pairs = change(scenarios, pairs)
    write_csv(tmp_path / "s.csv", scenarios)
    write_csv(tmp_path / "p.csv", pairs)

    def no_model_work(*args, **kwargs):
        raise AssertionError("the model was called")

    monkeypatch.setattr("gmms.hazard.reduce.evaluate_block", no_model_work)
    options = {"levels": [0.1, 1.0, 10.0], **options}
    with pytest.raises(InputError) as error:
        hazard.run("Tarvik", tmp_path / "s.csv", tmp_path / "p.csv", serial=True,
                   out=tmp_path / "out.h5", plot=tmp_path / "plots", **options)
    assert message in str(error.value)
    assert sorted(os.listdir(tmp_path)) == ["p.csv", "s.csv"]


def test_a_refused_scenario_leaves_the_older_output_as_it_was(tmp_path):
    scenarios, pairs = rated_catalogue("Tarvik")
    scenarios["IM"] = 7                                     # one IM, but not one Tarvik has
    (tmp_path / "out.h5").write_bytes(b"older")
    with pytest.raises(ScenarioRefused, match="^Tarvik refused scenario 1: TypeError"):
        serial("Tarvik", scenarios, pairs, out=tmp_path / "out.h5")
    assert os.listdir(tmp_path) == ["out.h5"] and (tmp_path / "out.h5").read_bytes() == b"older"


# --- outputs ---------------------------------------------------------------------------------

@pytest.mark.parametrize("form", ["h5", "csv"])
def test_outputs_hold_the_result_and_its_metadata(tmp_path, form):
    out = tmp_path / ("hazard.h5" if form == "h5" else "hazard")
    if form == "csv":
        out.mkdir()
        (out / "stale.csv").write_text("replaced as a whole\n")
    result = hazard.run("Tarvik", *EXAMPLE, serial=True, out=out, **EXAMPLE_LEVELS)
    assert result.path == str(out)
    expected_metadata = {"model": "Tarvik", "IM": "CAV", "truncation": 3.0,
                         "investigation_time": 50.0}
    if form == "h5":
        top, d, attrs = read_hdf5(out)
        assert {k: attrs[k] for k in expected_metadata} == expected_metadata
        for name in ("site_id", "levels", "annual_rate", "poe", "uniform_hazard"):
            assert same_bits(top[name], getattr(result, name)), name
        assert same_bits(d["shares"], result.disaggregation.shares)
        assert same_bits(d["mean_eps"], result.disaggregation.mean["eps"])
    else:
        assert sorted(os.listdir(out)) == ["curves.csv", "disaggregation.csv",
                                           "disaggregation_summary.csv", "uniform_hazard.csv"]
        header = [line for line in (out / "curves.csv").read_text().splitlines()
                  if line.startswith("#")]
        metadata = dict(line[2:].split(": ", 1) for line in header)
        assert metadata["model"] == "Tarvik" and metadata["truncation"] == "3.0"
        for name, frame in (("curves.csv", result.curves()),
                            ("disaggregation_summary.csv", result.disaggregation.summary()),
                            ("disaggregation.csv", result.disaggregation.table())):
            written = pd.read_csv(out / name, comment="#", float_precision="round_trip")
            pd.testing.assert_frame_equal(written, frame, check_exact=True, check_dtype=False)
    assert sorted(p.name for p in tmp_path.iterdir()) == [out.name]


@pytest.mark.subprocess
def test_command_line_runs_the_example_and_draws_it(tmp_path):
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    done = subprocess.run(
        [sys.executable, "-m", "gmms", "hazard", "Tarvik", "--scenarios", EXAMPLE[0],
         "--pairs", EXAMPLE[1], "--out", tmp_path / "h.h5", "--levels-from", "0.1",
         "--levels-to", "100", "--levels-n", "30", "--serial", "--plot", tmp_path / "plots",
         "--return-periods", "475"], capture_output=True, text=True, cwd=ROOT, env=env,
        timeout=300)
    assert done.returncode == 0, done.stderr
    assert "3 sites x 30 levels" in done.stderr
    assert sorted(os.listdir(tmp_path / "plots")) == [
        "disagg-site1-rp475.png", "disagg-site2-rp475.png", "disagg-site3-rp475.png",
        "hazard-curves.png"]
    top, _, _ = read_hdf5(tmp_path / "h.h5")
    reference = hazard.run("Tarvik", *EXAMPLE, serial=True, return_periods=[475],
                           **EXAMPLE_LEVELS)
    assert same_bits(top["annual_rate"], reference.annual_rate)
    bad = subprocess.run(
        [sys.executable, "-m", "gmms", "hazard", "Tarvik", "--scenarios", EXAMPLE[0],
         "--pairs", EXAMPLE[1], "--out", tmp_path / "x.h5", "--levels", "1", "--truncation",
         "-1", "--serial"], capture_output=True, text=True, cwd=ROOT, env=env, timeout=300)
    assert bad.returncode == 1 and not (tmp_path / "x.h5").exists()
    assert bad.stderr == ("gmms hazard: error: --truncation: must be greater than 0 standard "
                          "deviations (or 'none'), not '-1'\n")


def test_return_periods_beyond_the_levels_are_flagged_and_written(tmp_path):
    result = hazard.run("Tarvik", *EXAMPLE, levels=[0.1, 0.2], serial=True,
                        return_periods=[475], out=tmp_path / "h")
    assert (result.status == results.ABOVE_LEVELS).all()
    assert np.isnan(result.uniform_hazard).all() and np.isnan(result.disaggregation.rate).all()
    table = pd.read_csv(tmp_path / "h" / "uniform_hazard.csv", comment="#")
    assert table.status.tolist() == ["above the highest level"] * 3 and table.level.isna().all()
    assert pd.read_csv(tmp_path / "h" / "disaggregation.csv", comment="#").empty
