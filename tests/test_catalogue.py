"""The catalogue runner in this process: results, partitions, file formats, bad input, refusals."""

import contextlib
import errno
import io
import os
import pathlib
import shutil
import signal
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from gmms import catalogue
from gmms.catalogue import synthetic
from gmms.errors import InputError, ScenarioRefused, SetupError
from gmms.models import MODELS, SITES
from gmms.pairs.table import Planner
from gmms.run.files import to_csv
from helpers import KILL_AT, same_bits, small_catalogue

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples" / "catalogue"
MODEL_NAMES = list(MODELS)
RESULT_COLUMNS = ["mu_im", "median_im", "phi_im", "tau_im"]


def direct(model, scenarios, pairs):
    """Oracle: one entry call per scenario, over that scenario's rows of the pair table."""
    spec = MODELS[model]
    entry = getattr(__import__(f"gmms.{model}", fromlist=[model]), spec.entry)
    out = np.full((len(pairs), 3), np.nan)
    by_id = scenarios.set_index("scenario_id")
    for scenario_id, rows in pairs.groupby("scenario_id", sort=False):
        scenario = by_id.loc[scenario_id]
        args = [rows[p.name].to_numpy(dtype=float).copy() if p.kind == SITES else scenario[p.name]
                for p in spec.parameters]
        args = [a.item() if isinstance(a, np.generic) else a for a in args]
        mean, phi, tau = entry(*args)
        out[rows.index.to_numpy()] = np.column_stack((mean, phi, tau))
    return out


# --- results ---------------------------------------------------------------------------------

@pytest.mark.parametrize("model", MODEL_NAMES)
@pytest.mark.parametrize("shuffle", [False, True], ids=["grouped", "shuffled"])
@pytest.mark.parametrize("batch_pairs", [4, 13, 10_000])
def test_serial_results_equal_one_call_per_scenario(model, shuffle, batch_pairs):
    scenarios, pairs = small_catalogue(model, shuffle=shuffle)
    result = catalogue.run(model, scenarios, pairs, serial=True, batch_pairs=batch_pairs)
    expected = direct(model, scenarios, pairs)
    assert list(result.columns) == ["scenario_id", "site_id", *RESULT_COLUMNS]
    assert (result.scenario_id.to_numpy() == pairs.scenario_id.to_numpy()).all()
    assert (result.site_id.to_numpy() == pairs.site_id.to_numpy()).all()
    assert same_bits(result[["mu_im", "phi_im", "tau_im"]].to_numpy(), expected)
    assert same_bits(result.median_im, np.exp(expected[:, 0]))


@pytest.mark.parametrize("source", ["csv", "h5"])
@pytest.mark.parametrize("destination", ["csv", "h5"])
@pytest.mark.parametrize("file_calls", ["native", "seek and write"])   # the latter as on Windows
def test_file_formats_keep_every_bit_and_the_metadata(tmp_path, source, destination, file_calls, monkeypatch):
    if file_calls != "native":
        for name in ("pread", "pwrite", "copy_file_range"):
            monkeypatch.delattr(os, name, raising=False)
    scenarios, pairs = small_catalogue("Sellwyn")
    pairs.loc[5, "R_rup"] = np.nan                 # a NaN result must survive every format
    synthetic.write(tmp_path / f"s.{source}", [scenarios])
    synthetic.write(tmp_path / f"p.{source}", [pairs])
    out = tmp_path / f"out.{destination}"
    reference = catalogue.run("Sellwyn", scenarios, pairs, serial=True)
    assert catalogue.run("Sellwyn", tmp_path / f"s.{source}", tmp_path / f"p.{source}",
                         serial=True, out=out, batch_pairs=10) == out
    if destination == "csv":
        header = [line for line in out.read_text().splitlines() if line.startswith("#")]
        metadata = dict(line[2:].split(": ", 1) for line in header)
        written = pd.read_csv(out, comment="#", float_precision="round_trip")
    else:
        import h5py

        with h5py.File(out, "r") as file:
            metadata = {key: str(value) for key, value in file.attrs.items()}
            written = pd.DataFrame({name: file[name][:] for name in reference.columns})
    assert metadata == {"model": "Sellwyn", "IM": "CAV", "gmms_version": catalogue_version(),
                        "siblings": "stand-ins"}
    assert list(written.columns) == list(reference.columns)
    assert np.isnan(reference.mu_im[5])
    for name in reference.columns:
        if destination == "h5" or name not in RESULT_COLUMNS:
            assert same_bits(written[name], reference[name]), name
        else:   # text keeps every value, though not the sign or payload of a NaN
            np.testing.assert_array_equal(written[name], reference[name])
    assert sorted(os.listdir(tmp_path)) == sorted([f"s.{source}", f"p.{source}", out.name])


def catalogue_version():
    import gmms

    return gmms.__version__


def test_im_metadata_names_every_im_of_the_catalogue():
    scenarios, pairs = small_catalogue("Tarvik")
    scenarios["IM"] = [0, 1] * 3 + [0]
    assert catalogue.run("Tarvik", scenarios, pairs, serial=True).attrs["IM"] == "Ia,CAV"


def test_scenario_parameters_reach_the_sibling_as_the_table_holds_them(monkeypatch):
    import types

    from gmms import Sellwyn

    standin = Sellwyn.Brisquell
    seen = {}

    def get_mu_cy(*args):
        if args[0] != 2:                                     # the site call, not the rock call
            seen.setdefault(args[1], args)
        return standin.get_mu_cy(*args)

    monkeypatch.setattr(Sellwyn, "Brisquell", types.SimpleNamespace(
        get_mu_cy=get_mu_cy, get_phi_cy=standin.get_phi_cy, get_tau_cy=standin.get_tau_cy))
    scenarios, pairs = small_catalogue("Sellwyn", n_scenarios=4)
    region = object()
    scenarios["region"] = pd.Series([None, 3, "JP", region], dtype=object)
    scenarios["M"] = [5.0, 5.5, 6.25, 7.125]
    catalogue.run("Sellwyn", scenarios, pairs, serial=True, batch_pairs=5)
    assert sorted(seen) == [5.0, 5.5, 6.25, 7.125]
    for row in scenarios.itertuples():
        args = seen[row.M]
        assert type(args[0]) is int and args[0] == row.IM
        assert [type(a) for a in args[1:6]] == [float] * 5
        assert args[1:6] == (row.M, row.fwidth, row.fdip, row.Z_tor, row.Z_hyp)
        assert args[-1] is row.region or args[-1] == row.region == 3


# --- partitions ------------------------------------------------------------------------------

@pytest.mark.parametrize("seed", range(6))
def test_partitions_keep_scenarios_whole_up_to_the_target(seed):
    rng = np.random.default_rng(seed)
    target = int(rng.integers(1, 40))
    runs = rng.integers(1, 3 * target, size=int(rng.integers(1, 60)))
    codes = np.repeat(np.arange(len(runs)) % 5, runs)   # neighbouring runs differ
    starts = np.concatenate(([0], np.cumsum(runs)))
    cut_sets = []
    for chunk in (1, 7, len(codes)):
        planner = Planner(target)
        for lo in range(0, len(codes), chunk):
            planner.feed(codes[lo:lo + chunk])
        cut_sets.append(planner.finish())
    cuts = cut_sets[0]
    assert all(c == cuts for c in cut_sets), "partitions must not depend on the reading chunks"
    assert cuts[0] == 0 and cuts[-1] == len(codes) and all(np.diff(cuts) > 0)
    assert all(np.diff(cuts) <= target)
    for start, stop, length in zip(starts[:-1], starts[1:], runs):
        inside = [c for c in cuts if start < c < stop]
        if length <= target:
            assert not inside, "a scenario that fits one task is split"
        else:
            pieces = np.diff([start, *inside, stop])
            assert len(pieces) == -(-length // target) and pieces.max() - pieces.min() <= 1
    # Whole runs are packed greedily: a partition is closed only when the next run overflows it.
    run_ends = set(starts.tolist())
    for lo, hi, nxt in zip(cuts[:-2], cuts[1:-1], cuts[2:]):
        if lo in run_ends and hi in run_ends and hi - lo <= target:
            next_run = starts[starts > hi][0] - hi if (starts > hi).any() else 0
            assert hi - lo + next_run > target


# --- bad input -------------------------------------------------------------------------------

def edit(text, line, old, new):
    lines = text.splitlines()
    assert old in lines[line - 1]
    lines[line - 1] = lines[line - 1].replace(old, new, 1)
    return "\n".join(lines) + "\n"


def drop_column(text, column):
    frame = pd.read_csv(io.StringIO(text), dtype=str, keep_default_na=False)
    out = io.StringIO()
    to_csv(frame.drop(columns=[column]), out, index=False)
    return out.getvalue()


BAD_INPUT = {
    "pair missing column": ("pairs", lambda t: drop_column(t, "Vs30"), ["missing column 'Vs30'"]),
    "scenario missing column": ("scenarios", lambda t: drop_column(t, "M"),
                                ["missing column 'M'"]),
    "non-numeric value": ("pairs", lambda t: edit(t, 30, ",702.4", ",7x2.4"),
                          ["line 30, column 'Vs30': '7x2.4' is not a number"]),
    "empty value": ("pairs", lambda t: edit(t, 12, ",209.0,", ",,"),
                    ["line 12, column 'R_rup': empty value"]),
    "fractional flag": ("scenarios", lambda t: edit(t, 4, ",1,0,0,0", ",1,0.5,0,0"),
                        ["line 4, column 'fint': 0.5 is not an integer"]),
    "flag beyond 32 bits": ("scenarios", lambda t: edit(t, 3, ",0,1,0,1", ",0,1,0,4294967297"),
                            ["line 3, column 'frv': 4294967297.0 does not fit a 32-bit integer"]),
    "duplicate scenario_id": ("scenarios", lambda t: edit(t, 6, "105,", "102,"),
                              ["line 6, column 'scenario_id': duplicate scenario_id 102 "
                               "(first at line 3)"]),
    "pair of unknown scenario": ("pairs", lambda t: edit(t, 45, "106,", "999,"),
                                 ["line 45, column 'scenario_id': scenario_id 999 is not in",
                                  "tarvik-scenarios.csv"]),
    "extra field": ("pairs", lambda t: edit(t, 20, ",243.7,", ",243.7,1,"), ["line 20"]),
}


@pytest.fixture
def no_model_work(monkeypatch):
    from gmms.catalogue import runner
    from gmms.run import options

    calls = []
    monkeypatch.setattr(options, "load_entry", lambda *a: calls.append(a))
    monkeypatch.setattr(runner, "evaluate_part", lambda *a: calls.append(a))
    return calls


@pytest.mark.parametrize("case", list(BAD_INPUT))
def test_bad_csv_input_is_named_before_any_model_work(tmp_path, no_model_work, case):
    table, change, fragments = BAD_INPUT[case]
    for name in ("scenarios", "pairs"):
        text = (EXAMPLES / f"tarvik-{name}.csv").read_text()
        (tmp_path / f"tarvik-{name}.csv").write_text(change(text) if name == table else text)
    with pytest.raises(InputError) as error:
        catalogue.run("Tarvik", tmp_path / "tarvik-scenarios.csv", tmp_path / "tarvik-pairs.csv",
                      serial=True, out=tmp_path / "out.h5", batch_pairs=5)
    message = str(error.value)
    assert f"tarvik-{table}.csv" in message
    for fragment in fragments:
        assert fragment in message
    assert no_model_work == []
    assert not (tmp_path / "out.h5").exists()


def test_scenario_parameter_in_the_pair_table_is_pointed_out():
    scenarios, pairs = small_catalogue("Morrand")
    pairs["M"] = 6.0
    with pytest.raises(InputError, match="missing column 'M'.*belongs here, not in the pair"):
        catalogue.run("Morrand", scenarios.drop(columns="M"), pairs, serial=True)


@pytest.mark.parametrize("column, value, fragment", [
    ("Vs30", b"fast", "row 17, column 'Vs30': 'fast' is not a number"),
    ("scenario_id", b"42", "row 17, column 'scenario_id': scenario_id 42 is not in"),
])
def test_bad_hdf5_input_names_the_row(tmp_path, no_model_work, column, value, fragment):
    import h5py

    scenarios, pairs = small_catalogue("Tarvik")
    pairs = pairs.astype({column: object})
    pairs[column] = pairs[column].astype(str)
    pairs.loc[17, column] = value.decode()
    synthetic.write(tmp_path / "s.h5", [scenarios])
    synthetic.write(tmp_path / "p.h5", [pairs])
    with h5py.File(tmp_path / "p.h5", "r") as file:
        assert file[column].dtype.kind == "O"      # stored as text
    with pytest.raises(InputError, match=fragment.replace("(", r"\(")):
        catalogue.run("Tarvik", tmp_path / "s.h5", tmp_path / "p.h5", serial=True)
    assert no_model_work == []


# --- refusals and atomic output --------------------------------------------------------------

@pytest.mark.parametrize("model, message", [
    ("Tarvik", "TypeError: must be real number, not NoneType"),
    ("Sellwyn", "ValueError: Sellwyn_cy() argument 'IM' must be 0 (Ia) or 1 (CAV), not 2"),
])
@pytest.mark.parametrize("suffix", ["h5", "csv"])
def test_refused_scenario_stops_the_run_and_leaves_the_old_file(tmp_path, model, message, suffix):
    scenarios, pairs = small_catalogue(model, n_scenarios=12)
    scenarios.loc[8, "IM"] = 2
    out = tmp_path / f"out.{suffix}"
    out.write_text("an older result\n")
    with pytest.raises(ScenarioRefused) as error:
        catalogue.run(model, scenarios, pairs, serial=True, out=out, batch_pairs=10)
    assert str(error.value) == f"{model} refused scenario {scenarios.scenario_id[8]}: {message}"
    assert out.read_text() == "an older result\n"
    assert os.listdir(tmp_path) == [out.name]


def test_model_already_loaded_with_other_siblings_is_reported(tmp_path, monkeypatch):
    from gmms import Morrand  # noqa: F401  (loaded with the stand-ins)

    monkeypatch.setattr(sys, "path", list(sys.path))
    shutil.copy(ROOT / "siblings" / "Dovecar.py", tmp_path / "Dovecar.py")
    scenarios, pairs = small_catalogue("Morrand")
    with pytest.raises(SetupError, match="already runs with Dovecar from .*restart the workers"):
        catalogue.run("Morrand", scenarios, pairs, serial=True, siblings=tmp_path)


def test_sibling_directory_without_the_sibling_is_named_as_on_the_command_line(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "path", list(sys.path))
    scenarios, pairs = small_catalogue("Sellwyn")
    with pytest.raises(SetupError, match=f"{tmp_path} holds no Brisquell module \\(found: "):
        catalogue.run("Sellwyn", scenarios, pairs, serial=True, siblings=tmp_path)


# --- command line ----------------------------------------------------------------------------

def cli(*args, timeout=120):
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    return subprocess.run([sys.executable, "-m", "gmms.catalogue", *map(str, args)], cwd=ROOT,
                          env=env, capture_output=True, text=True, timeout=timeout)


@pytest.mark.subprocess
@pytest.mark.parametrize("quiet, mode", [(False, "--serial"), (True, "--serial"), (False, None)])
def test_cli_serial_run(tmp_path, quiet, mode):
    out = tmp_path / "morrand.csv"
    done = cli("Morrand", "--scenarios", EXAMPLES / "morrand-scenarios.csv",
               "--pairs", EXAMPLES / "morrand-pairs.csv", "--out", out, *([mode] if mode else []),
               *(["--quiet"] if quiet else []))
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""
    assert (done.stderr == "") if quiet else ("48 pairs of 6 scenarios" in done.stderr)
    if mode is None:        # too small for a cluster to pay for itself: run here, and say so
        assert "1 tasks (in process)" in done.stderr
        assert "would not pay for itself for about 48 pairs" in done.stderr
    expected = catalogue.run("Morrand", EXAMPLES / "morrand-scenarios.csv",
                             EXAMPLES / "morrand-pairs.csv", serial=True)
    written = pd.read_csv(out, comment="#", float_precision="round_trip")
    assert same_bits(written[RESULT_COLUMNS], expected[RESULT_COLUMNS])


@pytest.mark.subprocess
def test_cli_reports_bad_input_and_writes_nothing(tmp_path):
    pairs = tmp_path / "pairs.csv"
    pairs.write_text(edit((EXAMPLES / "sellwyn-pairs.csv").read_text(), 9, ",1", ",x"))
    done = cli("Sellwyn", "--scenarios", EXAMPLES / "sellwyn-scenarios.csv", "--pairs", pairs,
               "--out", tmp_path / "out.h5", "--serial")
    assert done.returncode == 1
    assert done.stderr.startswith(f"gmms catalogue: error: {pairs}, line 9, column ")
    assert os.listdir(tmp_path) == ["pairs.csv"]


@pytest.mark.subprocess
def test_importing_the_package_loads_no_heavy_dependency():
    code = ("import sys, gmms.catalogue; "
            "print(sorted(m for m in ('pandas', 'h5py', 'distributed', 'dask', 'tqdm') "
            "if m in sys.modules))")
    done = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True,
                          text=True, timeout=60, env=dict(os.environ, PYTHONPATH=str(ROOT)))
    assert done.stdout.strip() == "[]", done.stderr


# --- interrupted runs, resumed ---------------------------------------------------------------

@pytest.fixture
def tables(tmp_path):
    """A Morrand catalogue in files: 12 scenarios of 9 sites, a task per scenario."""
    scenarios, pairs = small_catalogue("Morrand", n_scenarios=12)
    synthetic.write(tmp_path / "s.csv", [scenarios])
    synthetic.write(tmp_path / "p.h5", [pairs])
    return dict(model="Morrand", scenarios=tmp_path / "s.csv", pairs=tmp_path / "p.h5",
                batch_pairs=9)


def reference(tmp_path, tables, suffix):
    out = tmp_path / f"reference.{suffix}"
    catalogue.run(**tables, out=out, serial=True)
    return out.read_bytes()


def killed_run(tables, out, where, nth, *options):
    arguments = [tables["model"], "--scenarios", tables["scenarios"], "--pairs", tables["pairs"],
                 "--batch-pairs", tables["batch_pairs"], "--out", out, "--serial", "--quiet"]
    done = subprocess.run([sys.executable, "-c", KILL_AT, *where.split(":"), str(nth),
                           *map(str, arguments), *options], cwd=ROOT, capture_output=True,
                          env=dict(os.environ, PYTHONPATH=str(ROOT)), text=True, timeout=120)
    assert done.returncode == -9, done.stderr


@pytest.mark.subprocess
@pytest.mark.skipif(not hasattr(signal, "SIGKILL"), reason="needs SIGKILL")
@pytest.mark.parametrize("where, nth, suffix", [
    ("gmms.pairs.table:PairTable._check_pairs", 1, "h5"),        # before any partition
    ("gmms.catalogue.evaluate:write_part", 4, "csv"),             # three partitions written
    ("gmms.catalogue.evaluate:write_part", 4, "h5"),
    ("gmms.catalogue.evaluate:place", 5, "h5"),                   # placing them in the file
    ("gmms.catalogue.parts:copy_bytes", 5, "csv"),                # copying them into place
    ("gmms.catalogue.parts:Assembly.commit", 1, "csv"),           # all copied, not renamed
    ("gmms.catalogue.state:RunState.remove", 1, "h5"),            # renamed, state not removed
])
def test_client_killed_anywhere_then_resumed_gives_the_same_file(tmp_path, tables, where, nth,
                                                                suffix):
    expected = reference(tmp_path, tables, suffix)
    out = tmp_path / f"out.{suffix}"
    killed_run(tables, out, where, nth)
    if "write_part" in where:
        assert not out.exists()
        with pytest.raises(catalogue.CatalogueError, match=(
                r"an interrupted run left its partial state in .*\(3 complete partitions\); "
                "run again with --resume")):
            catalogue.run(**tables, out=out, serial=True)
    assert catalogue.run(**tables, out=out, resume=True) == out
    assert out.read_bytes() == expected
    assert sorted(os.listdir(tmp_path)) == sorted(["s.csv", "p.h5", out.name, f"reference.{suffix}"])


@pytest.mark.parametrize("change, named", [
    (lambda d: os.utime(d / "p.h5", ns=(0, 0)), "p.h5 changed (modified "),
    (lambda d: (d / "s.csv").write_text((d / "s.csv").read_text() + "\n"),
     "s.csv changed (size "),
    ({"batch_pairs": 10}, "--batch-pairs was 9 and is now 10"),
    ({"siblings": ROOT / "siblings"}, "--siblings was stand-ins and is now"),
    (lambda d: (d / ".out.h5.gmms-partial" / "manifest.json").write_text("{}"),
     "its manifest is not one this gmms wrote"),
    ("frames", "the scenarios table is not a file, so it cannot be checked"),
])
def test_resume_refuses_a_state_that_does_not_fit_and_names_why(tmp_path, tables, monkeypatch,
                                                                 change, named):
    out = tmp_path / "out.h5"
    if change == "frames":          # tables in memory, the same both times, cannot be checked
        tables.update(zip(("scenarios", "pairs"), small_catalogue("Morrand", n_scenarios=12)))
    with pytest.raises(catalogue.CatalogueError, match="No space left"):
        with failing_writes(monkeypatch, after=2):
            catalogue.run(**tables, out=out, serial=True)
    if callable(change):
        change(tmp_path)
    elif isinstance(change, dict):
        tables.update(change)
    before = sorted(os.listdir(tmp_path / ".out.h5.gmms-partial"))
    with pytest.raises(catalogue.CatalogueError) as error:
        catalogue.run(**tables, out=out, serial=True, resume=True)
    message = str(error.value)
    assert message.startswith(f"{out}: cannot resume")
    assert named in message and "remove that directory to start afresh" in message
    assert sorted(os.listdir(tmp_path / ".out.h5.gmms-partial")) == before
    assert not out.exists()


@contextlib.contextmanager
def failing_writes(monkeypatch, after, code=errno.ENOSPC):
    """Part writes that fail (as on a full disk) once ``after`` have succeeded (None: never)."""
    from gmms.catalogue import evaluate

    write_part, written = evaluate.write_part, []

    def failing(*args):
        if len(written) == after:
            raise OSError(code, os.strerror(code))
        written.append(write_part(*args))
        return written[-1]

    with monkeypatch.context() as patch:
        patch.setattr(evaluate, "write_part", failing)
        yield


def _tmpfs(directory, size):
    """Mount a tmpfs of ``size`` on ``directory``, or say why not."""
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("mounting a small file system needs root")
    options = f"size={size}" if not os.path.ismount(directory) else f"remount,size={size}"
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(directory)],
                          capture_output=True, text=True)
    if done.returncode:
        pytest.skip(f"cannot mount a tmpfs: {done.stderr.strip()}")


@pytest.mark.parametrize("how, code", [("full file system", errno.ENOSPC),
                                       ("failing write", errno.ENOSPC),
                                       ("failing write", errno.EACCES)])
def test_destination_full_mid_run_leaves_no_file_and_a_state_to_resume(tmp_path, tables,
                                                                       monkeypatch, how, code):
    expected = reference(tmp_path, tables, "csv")
    destination = tmp_path / "full"
    destination.mkdir()
    out = destination / "out.csv"
    arguments = dict(tables, out=out, serial=True)
    if how == "full file system":
        _tmpfs(destination, "40k")          # room for the state and a few parts, not all
    try:
        with pytest.raises(catalogue.CatalogueError) as error:
            with failing_writes(monkeypatch, after=5 if how == "failing write" else None,
                                code=code):
                catalogue.run(**arguments)
        message = str(error.value)
        assert message.startswith(f"cannot write the results: [Errno {code}] "
                                  f"{os.strerror(code)}")
        assert "complete partitions are kept in" in message and "--resume" in message
        assert not out.exists()
        if how == "full file system":
            _tmpfs(destination, "4m")
        catalogue.run(**arguments, resume=True)
        assert out.read_bytes() == expected
        assert os.listdir(destination) == ["out.csv"]
    finally:
        if os.path.ismount(destination):
            subprocess.run(["umount", str(destination)], check=True)
