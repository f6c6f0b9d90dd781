"""python3 -m gmms: evaluate against direct calls, its input errors, trellis, the catalogue hook."""

import csv
import inspect
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import gmms.siblings
from gmms import __main__ as command
from gmms import models

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

# Per model: sites file, options, and the same scenario as keyword arguments of the entry function.
SCENARIOS = {
    "Tarvik": ("tarvik_sites.csv",
               ["--IM", "CAV", "--M", "7.0", "--hypo_lat", "40.0", "--hypo_lon", "135.0",
                "--hypo_depth", "50.0", "--fins", "1", "--fint", "1", "--fnm", "0", "--frv", "0"],
               dict(IM=1, M=7.0, hypo_lat=40.0, hypo_lon=135.0, hypo_depth=50.0, fins=1, fint=1, fnm=0, frv=0)),
    "Morrand": ("crustal_sites.csv",
                ["--M", "6.5", "--fdip", "45", "--fZtor", "3", "--fnm", "0", "--frv", "1",
                 "--CAVgmType", "1", "--PSVcheck", "1"],
                dict(M=6.5, fdip=45.0, fZtor=3.0, fnm=0, frv=1, CAVgmType=1, PSVcheck=1)),
    "Sellwyn": ("crustal_sites.csv",
                ["--IM", "0", "--M", "6.5", "--fwidth", "15", "--fdip", "45", "--Z_tor", "3", "--Z_hyp", "10",
                 "--fnm", "0", "--frv", "1", "--region", "JP"],
                dict(IM=0, M=6.5, fwidth=15.0, fdip=45.0, Z_tor=3.0, Z_hyp=10.0, fnm=0, frv=1, region="JP")),
}
TARVIK_OPTIONS = SCENARIOS["Tarvik"][1]


@pytest.fixture(autouse=True)
def keep_sys_path(monkeypatch):
    # The command line puts sibling directories on sys.path; keep that within each test.
    monkeypatch.setattr(sys, "path", list(sys.path))


def run(capsys, *argv):
    code = command.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def write(tmp_path, text, name="sites.csv", encoding="utf-8"):
    path = tmp_path / name
    path.write_bytes(text.encode(encoding) if isinstance(text, str) else text)
    return path


@pytest.mark.parametrize("name", SCENARIOS)
def test_evaluate_csv_holds_the_entry_functions_exact_results(name, tmp_path, capsys):
    sites_file, options, scenario = SCENARIOS[name]
    output = tmp_path / "out.csv"
    code, out, err = run(capsys, "evaluate", name, EXAMPLES / sites_file, *options, "-o", output)
    assert (code, out) == (0, "")
    assert ("STAND-IN" in err) == (name != "Tarvik")

    table = np.genfromtxt(EXAMPLES / sites_file, delimiter=",", names=True, dtype=None, encoding="utf-8")
    model = models.MODELS[name]
    module = __import__(f"gmms.{name}", fromlist=[name])
    sites = {p.name: np.ascontiguousarray(table[p.name], dtype=np.float64) for p in model.site_parameters}
    mean, phi, tau = getattr(module, model.entry)(**scenario, **sites)

    with open(output, newline="") as stream:
        rows = list(csv.DictReader(stream))
    measure = model.measures[scenario.get("IM")]
    got = {key: np.array([float(row[key]) for row in rows]) for key in
           (f"mean_ln_{measure}", f"median_{measure}", "phi", "tau")}
    assert [row["site"] for row in rows] == list(table["site"])
    assert (got[f"mean_ln_{measure}"] == mean).all()
    assert (got[f"median_{measure}"] == np.exp(mean)).all()
    assert (got["phi"] == phi).all() and (got["tau"] == tau).all()


def test_evaluate_table_on_stdout(capsys):
    code, out, _ = run(capsys, "evaluate", "Tarvik", EXAMPLES / "tarvik_sites.csv", *TARVIK_OPTIONS)
    lines = out.splitlines()
    assert code == 0
    assert lines[0].split() == ["site", "R_rup", "Vs30", "mean_ln_CAV", "median_CAV", "phi", "tau"]
    assert len(lines) == 1 + 5 and all(len(line.split()) == 7 for line in lines)


@pytest.mark.parametrize("im, same_as", [("Ia", "0"), ("cav", "1"), ("CAV", "1")])
def test_im_by_name_or_number(im, same_as, capsys):
    outputs = []
    for value in (im, same_as):
        code, out, _ = run(capsys, "evaluate", "Tarvik", EXAMPLES / "tarvik_sites.csv",
                           *(["--IM", value] + TARVIK_OPTIONS[2:]), "-o", "-")
        assert code == 0
        outputs.append(out)
    assert outputs[0] == outputs[1]


@pytest.mark.parametrize("argv", [
    ["evaluate", "Tarvik", "x.csv"],  # scenario options missing
    ["evaluate", "Tarvik", "x.csv", *(["--IM", "PGA"] + TARVIK_OPTIONS[2:])],
    ["evaluate", "Tarvik", "x.csv", *(TARVIK_OPTIONS[:3] + ["7.5.1"] + TARVIK_OPTIONS[4:])],
    ["evaluate", "Tarvik", "x.csv", *(TARVIK_OPTIONS[:-1] + ["0.5"])],  # a flag must be an integer
    ["evaluate", "Nonesuch", "x.csv"],
    ["evaluate", "Tarvik", "x.csv", *TARVIK_OPTIONS, "--siblings", "."],  # Tarvik has no siblings
])
def test_usage_errors_exit_2(argv, capsys):
    with pytest.raises(SystemExit) as exit:
        command.main(argv)
    assert exit.value.code == 2
    assert "error:" in capsys.readouterr().err


@pytest.mark.parametrize("content, message", [
    (None, "{path}: no such file"),
    ("", "{path}: empty file; expected a header line naming the columns R_rup, Vs30"),
    ("R_rup,vs30\n10,760\n", "{path}, line 1: no column 'Vs30' (the header has: R_rup, vs30); did you mean 'vs30'?"),
    ("\nR_rup,Vs30,R_rup\n", "{path}, line 2, column 3: column 'R_rup' appears twice"),
    ("R_rup,Vs30\n10,760\n20,abc\n", "{path}, line 3, column 2 (Vs30): 'abc' is not a number"),
    ("site,Vs30,R_rup\nA,760,10\n\nB,400,\n", "{path}, line 4, column 3 (R_rup): the cell is empty"),
    ("R_rup,Vs30\n10,760\n20,400,7\n", "{path}, line 3: 3 fields, but the header has 2"),
    ('R_rup,Vs30\n10,"760\n', "{path}, line 2: unexpected end of data"),
    (b"R_rup,Vs30\n10,7\xe960\n", "{path}, line 2: not UTF-8 text"),
    ("R_rup,Vs30,phi\n10,760,0\n", "{path}, line 1: column 'phi' has the name of a result column"),
])
def test_sites_file_errors_name_file_line_and_column(content, message, tmp_path, capsys):
    path = tmp_path / "sites.csv" if content is None else write(tmp_path, content)
    code, out, err = run(capsys, "evaluate", "Tarvik", path, *TARVIK_OPTIONS)
    assert (code, out) == (1, "")
    assert err == f"python3 -m gmms evaluate: error: {message.format(path=path)}\n"


def test_sites_file_with_byte_order_mark_and_spaces(tmp_path, capsys):
    path = write(tmp_path, "\ufeffR_rup, Vs30\r\n10, 760\r\n\r\n")
    code, out, _ = run(capsys, "evaluate", "Tarvik", path, *TARVIK_OPTIONS, "-o", "-")
    assert code == 0 and len(out.splitlines()) == 2


def test_errors_of_the_model_are_reported_not_raised(tmp_path, capsys):
    options = TARVIK_OPTIONS[:-1] + [str(2**31)]  # frv beyond a 32-bit int
    code, _, err = run(capsys, "evaluate", "Tarvik", EXAMPLES / "tarvik_sites.csv", *options)
    assert code == 1 and err.startswith("python3 -m gmms evaluate: error: Tarvik_cy: OverflowError: ")


def test_missing_sibling_directory(tmp_path, capsys):
    _, options, _ = SCENARIOS["Morrand"]
    code, _, err = run(capsys, "evaluate", "Morrand", EXAMPLES / "crustal_sites.csv", *options,
                       "--siblings", tmp_path / "nowhere")
    assert code == 1 and "sibling module directory not found" in err


def test_sibling_directory_without_the_sibling(tmp_path, capsys):
    _, options, _ = SCENARIOS["Sellwyn"]
    code, _, err = run(capsys, "evaluate", "Sellwyn", EXAMPLES / "crustal_sites.csv", *options,
                       "--siblings", tmp_path)
    assert code == 1 and f"{tmp_path} holds no Brisquell module (found: " in err


@pytest.mark.subprocess
def test_siblings_option_uses_the_named_modules(tmp_path):
    # A Dovecar giving ln CAV 0 and alpha 0: with M below 6.5, R_rup 0 and PSVcheck 1 the
    # mean of ln CAVdp is the constant term alone, 0.0072.
    (tmp_path / "Dovecar.py").write_text(
        "def get_mu_cy(*args):\n    return 0.0\n\ndef get_alpha_cy(*args):\n    return 0.0\n")
    sites = write(tmp_path, "R_JB,R_rup,R_x,Vs30,Z1p0,Z2p5\n0,0,0,760,0.1,1\n")
    argv = ["evaluate", "Morrand", str(sites), "--M", "6.0", "--fdip", "90", "--fZtor", "0", "--fnm", "0",
            "--frv", "0", "--CAVgmType", "0", "--PSVcheck", "1", "--siblings", str(tmp_path), "-o", "-"]
    env = dict(os.environ, PYTHONPATH=str(ROOT))
    done = subprocess.run([sys.executable, "-m", "gmms", *argv], env=env, capture_output=True, text=True,
                          cwd=tmp_path, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "STAND-IN" not in done.stderr
    row = next(csv.DictReader(done.stdout.splitlines()))
    assert (row["mean_ln_CAVdp"], row["phi"], row["tau"]) == ("0.0072", "0.147", "0.115")


class _IntOnly:
    def __int__(self):
        return 0


# Values that tell the kinds apart, each with the kinds that accept it.
KIND_PROBES = [(2**40, {"double", "object"}), (_IntOnly(), {"int", "object"}),
               (np.zeros(0), {"sites", "object"}), (object(), {"object"})]


@pytest.mark.parametrize("name", models.MODELS)
def test_model_table_matches_the_entry_function(name):
    # Names and order from the built function; kinds by calling with a value of each kind.
    model = models.MODELS[name]
    module = __import__(f"gmms.{name}", fromlist=[name])
    entry = getattr(module, model.entry)
    assert [p.name for p in model.parameters] == list(inspect.signature(entry).parameters)
    sample = {"double": 1.0, "int": 0, "sites": np.zeros(0), "object": "JP"}
    result = entry(**{p.name: sample[p.kind] for p in model.parameters})
    assert [len(a) for a in result] == [0, 0, 0]
    for p in model.parameters:
        for probe, accepted_by in KIND_PROBES:
            arguments = {q.name: sample[q.kind] for q in model.parameters}
            arguments[p.name] = probe
            if p.kind in accepted_by:
                entry(**arguments)
            else:
                with pytest.raises((TypeError, OverflowError)):
                    entry(**arguments)
    assert model.by_name[model.rupture_distance].kind == "sites"
    assert model.sibling is None or hasattr(module, model.sibling)


def test_stand_ins_in_the_source_tree():
    assert gmms.siblings.STANDIN_DIR == ROOT / "siblings"
    assert (gmms.siblings.STANDIN_DIR / "Dovecar.py").is_file()


def test_trellis_writes_a_png(tmp_path, capsys):
    output = tmp_path / "trellis.png"
    code, out, _ = run(capsys, "trellis", "-o", output, "--magnitudes", "5", "7", "--vs30", "760", "250")
    assert (code, out) == (0, f"wrote {output}\n")
    header = output.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    width, height = int.from_bytes(header[16:20], "big"), int.from_bytes(header[20:24], "big")
    assert width > 1000 and height > 600


def test_trellis_panels_have_a_line_per_magnitude_and_site_class():
    from gmms import trellis

    gmms.siblings.use_siblings()
    modules = {name: __import__(f"gmms.{name}", fromlist=[name]) for name in models.MODELS}
    figure = trellis.plot(modules, [5.0, 6.5, 8.0], [760.0, 180.0])
    panels = [axes for axes in figure.axes if axes.lines]
    assert len(panels) == len(trellis.PANELS)
    for axes in panels:
        assert len(axes.lines) == 6
        assert all(np.all(np.isfinite(line.get_ydata())) and np.all(line.get_ydata() > 0) for line in axes.lines)


@pytest.mark.parametrize("argv", [["--magnitudes", "nan"], ["--vs30", "0"]])
def test_trellis_refuses_bad_values(argv, tmp_path, capsys):
    code, _, err = run(capsys, "trellis", "-o", tmp_path / "t.png", *argv)
    assert code == 1 and "error:" in err and not (tmp_path / "t.png").exists()


# ---------------------------------------------------------------------------------------------
# The optional catalogue subcommand

CATALOGUE_OK = """
def add_parser(subparsers):
    parser = subparsers.add_parser("catalogue", help="scenario catalogues")
    parser.add_argument("--answer", type=int, default=0)
    parser.set_defaults(func=lambda args: args.answer)
"""


@pytest.fixture
def catalogue(tmp_path, monkeypatch):
    """Writes a catalogue module with the given body; the command line finds it by name."""
    def make(body):
        (tmp_path / "fake_gmms_catalogue.py").write_text(body)
        return "fake_gmms_catalogue"
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setattr(command, "CATALOGUE", "fake_gmms_catalogue")
    yield make
    sys.modules.pop("fake_gmms_catalogue", None)


def test_catalogue_subcommand_is_dispatched(catalogue, capsys):
    catalogue(CATALOGUE_OK)
    assert run(capsys, "catalogue", "--answer", "7")[0] == 7


def test_other_subcommands_do_not_import_the_catalogue(catalogue, capsys):
    catalogue("raise RuntimeError('imported')\n")
    code, _, _ = run(capsys, "evaluate", "Tarvik", EXAMPLES / "tarvik_sites.csv", *TARVIK_OPTIONS)
    assert code == 0 and "fake_gmms_catalogue" not in sys.modules


def test_broken_catalogue_breaks_neither_help_nor_itself(catalogue, capsys):
    catalogue("raise RuntimeError('half written')\n")
    with pytest.raises(SystemExit) as exit:
        command.main(["--help"])
    assert exit.value.code == 0
    assert "unavailable: RuntimeError: half written" in capsys.readouterr().out
    code, _, err = run(capsys, "catalogue")
    assert code == 1 and "RuntimeError: half written" in err


def test_no_catalogue_no_subcommand(monkeypatch, capsys):
    monkeypatch.setattr(command, "CATALOGUE", "gmms.no_such_catalogue")
    with pytest.raises(SystemExit):
        command.main(["--help"])
    assert "catalogue" not in capsys.readouterr().out


@pytest.mark.subprocess
@pytest.mark.parametrize("script", ["catalogue.py", "geometry.py", "hazard.py", "hazard_kernel.py",
                                    "hazard_map.py", "parts.py", "run.py", "sources.py"])
def test_benchmark_scripts_start(script):
    # They import each other's helpers; a helper renamed in one must not break another unseen.
    done = subprocess.run([sys.executable, str(ROOT / "bench" / script), "--help"], cwd=ROOT,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
