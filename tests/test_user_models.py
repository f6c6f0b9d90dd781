"""Models of the user's own (``package.module:function``): checked when loaded, evaluated by the
same tasks as the built-in models, from Python and from the command line."""

import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from conftest import ROOT
from gmms import catalogue, hazard, models
from gmms.errors import InputError, ScenarioRefused
from helpers import write_csv

TESTS = str(ROOT / "tests")
SADIGH = "user_models:sadigh_rock_pga"


@pytest.fixture(autouse=True)
def importable(monkeypatch):
    monkeypatch.syspath_prepend(TESTS)


def tables(rate=True):
    scenarios = pd.DataFrame({"scenario_id": [1, 2, 3], "M": [6.0, 7.0, 6.5],
                              "rake": [0.0, 90.0, -90.0], "annual_rate": [0.01, 0.002, 0.0]})
    pairs = pd.DataFrame({"scenario_id": [1, 1, 2, 3, 2], "site_id": [1, 2, 1, 2, 2],
                          "R_rup": [10.0, 0.0, 10.0, 30.0, 55.5]})
    return (scenarios if rate else scenarios.drop(columns="annual_rate")), pairs


def test_catalogue_calls_the_function_once_per_scenario_with_its_inputs():
    import user_models

    scenarios, pairs = tables(rate=False)
    result = catalogue.run(SADIGH, scenarios, pairs, serial=True, batch_pairs=2)
    by_id = scenarios.set_index("scenario_id")
    for row, pair in pairs.iterrows():
        scenario = by_id.loc[pair.scenario_id]
        mean, phi, tau = user_models.sadigh_rock_pga(scenario.M, scenario.rake,
                                                     np.array([pair.R_rup]))
        assert result.mu_im[row] == mean[0] and result.phi_im[row] == phi[0]
        assert result.tau_im[row] == tau[0]
    assert result.attrs["model"] == SADIGH and result.attrs["IM"] == "PGA"
    # The PEER cases' spot values of ln PGA.
    assert result.mu_im[:2].round(6).tolist() == [-1.497032, -0.496629]


def test_hazard_of_a_median_model_is_a_step_per_scenario():
    scenarios, pairs = tables()
    result = hazard.run("user_models:sadigh_rock_pga_median", scenarios, pairs,
                        levels=[0.01, 0.3, 0.5, 1.0], serial=True)
    medians = catalogue.run("user_models:sadigh_rock_pga_median",
                            scenarios.drop(columns="annual_rate"), pairs, serial=True)
    rate = pairs.scenario_id.map(scenarios.set_index("scenario_id").annual_rate)
    for s, site in enumerate(result.site_id):
        at = (pairs.site_id == site).to_numpy()
        expected = [rate[at][medians.mu_im[at] > np.log(level)].sum() for level in result.levels]
        np.testing.assert_allclose(result.annual_rate[s], expected, rtol=1e-15)


@pytest.mark.parametrize("name, message", [
    ("user_models:unknown_input", "parameter 'depth_to_moho' is none of the inputs from ruptures and sites"),
    ("user_models:scalar_result", "returned mean ln IM of shape () for 2 sites"),
    ("user_models:no_sites", "the function takes no site input"),
    ("user_models:raises", "failed on a trial call with one rupture and two sites: ValueError: not today"),
    ("user_models:no_im", "the function has no IM attribute naming its intensity measure"),
    ("user_models:missing", "user_models has no function missing"),
    ("no_such_package.models:f", "cannot import no_such_package.models: ModuleNotFoundError"),
    ("user_models:", "a model of your own is named package.module:function"),
])
def test_a_function_that_cannot_serve_is_refused_in_one_line_before_any_work(name, message):
    scenarios, pairs = tables(rate=False)
    with pytest.raises(InputError) as error:
        catalogue.run(name, scenarios, pairs, serial=True)
    assert str(error.value).startswith(f"{name}") and message in str(error.value)
    assert "\n" not in str(error.value)


def test_a_wrong_result_later_on_is_the_scenarios_refusal():
    scenarios, pairs = tables(rate=False)
    with pytest.raises(ScenarioRefused, match="refused scenario 2: LoadError: .*of shape \\(1,\\) "
                                              "for 2 sites"):
        catalogue.run("user_models:short_on_one", scenarios, pairs, serial=True)


def test_parameters_follow_the_inputs_vocabulary():
    model = models.resolve(SADIGH)
    assert [(p.name, p.kind) for p in model.parameters] == [
        ("M", models.DOUBLE), ("rake", models.DOUBLE), ("R_rup", models.SITES)]
    assert model.scenario_columns == [("M", models.DOUBLE), ("rake", models.DOUBLE)]
    assert model.site_columns == ["R_rup"] and model.rupture_distance == "R_rup"
    assert models.resolve(SADIGH) is model          # loaded once per process


@pytest.mark.subprocess
@pytest.mark.parametrize("command", ["catalogue", "hazard"])
def test_command_line_takes_a_model_of_ones_own(tmp_path, command):
    scenarios, pairs = tables(rate=command == "hazard")
    write_csv(tmp_path / "s.csv", scenarios)
    write_csv(tmp_path / "p.csv", pairs)
    out = tmp_path / ("out.csv" if command == "catalogue" else "out.h5")
    extra = ["--levels", "0.1", "1"] if command == "hazard" else []
    done = subprocess.run(
        [sys.executable, "-m", "gmms", command, SADIGH, "--scenarios", tmp_path / "s.csv",
         "--pairs", tmp_path / "p.csv", "--out", out, "--serial", "--quiet", *extra],
        cwd=ROOT, capture_output=True, text=True, timeout=120,
        env=dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), TESTS])))
    assert done.returncode == 0, done.stderr
    assert out.exists()
