"""A package missing from the interpreter: every subcommand of ``python3 -m gmms`` says so in one
line, naming the package, the interpreter and what to install, with exit status 1; neither a
usage error (a subcommand registered without its arguments) nor a traceback.

The child hides the packages from the import system with a finder at the head of sys.meta_path,
as an interpreter without them would behave, and then runs ``gmms`` as ``python3 -m gmms`` does.
"""

import os
import subprocess
import sys

import pytest

from conftest import ROOT

EXAMPLES = ROOT / "examples"
DATA = ROOT / "tests" / "data" / "two-regions"
# The job's user model is in tests/.
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT), str(ROOT / "tests")]))

HIDING = """\
import runpy
import sys

hidden, module = set(sys.argv[1].split(",")), sys.argv[2]


class Hide:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in hidden:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None


sys.meta_path.insert(0, Hide())
sys.argv[:] = [module, *sys.argv[3:]]
runpy.run_module(module, run_name="__main__", alter_sys=True)
"""

COMMANDS = {
    "evaluate": ["evaluate", "Tarvik", EXAMPLES / "tarvik_sites.csv", "--IM", "CAV", "--M", "7.0",
                 "--hypo_lat", "40.0", "--hypo_lon", "135.0", "--hypo_depth", "50.0", "--fins", "1",
                 "--fint", "1", "--fnm", "0", "--frv", "0"],
    "trellis": ["trellis", "-o", "{out}/trellis.png"],
    "catalogue": ["catalogue", "Tarvik", "--scenarios", EXAMPLES / "hazard" / "tarvik-scenarios.csv",
                  "--pairs", EXAMPLES / "hazard" / "tarvik-pairs.csv", "--out", "{out}/c.h5", "--serial"],
    "hazard": ["hazard", "Tarvik", "--scenarios", EXAMPLES / "hazard" / "tarvik-scenarios.csv",
               "--pairs", EXAMPLES / "hazard" / "tarvik-pairs.csv", "--out", "{out}/h.h5", "--serial", "--levels", "0.01", "0.1", "1"],
    "hazard --job": ["hazard", "--job", DATA / "job.ini", "--out", "{out}/j.h5", "--serial"],
    "ruptures": ["ruptures", "--sources", DATA / "source_model.xml", "--sites", DATA / "sites.csv",
                 "--model", "Tarvik(IM='CAV')", "--scenarios", "{out}/s.h5", "--pairs", "{out}/p.h5"],
}

# (command, packages hidden, the package the line must name, what it must say to install)
CASES = [(command, "numpy", "numpy", "pip install numpy") for command in COMMANDS]
CASES += [
    ("evaluate", "shapely,numpy", "numpy", "pip install numpy"),
    ("trellis", "matplotlib", "matplotlib", "pip install gmms[plot]"),
    ("catalogue", "pandas", "pandas", "pip install gmms[catalogue]"),
    ("catalogue", "tqdm", "tqdm", "pip install gmms[catalogue]"),
    ("hazard", "pandas", "pandas", "pip install gmms[catalogue]"),
    ("hazard", "h5py", "h5py", "pip install gmms[catalogue]"),
    ("hazard --job", "h5py", "h5py", "pip install gmms[catalogue]"),
    ("ruptures", "h5py", "h5py", "pip install gmms[catalogue]"),
    ("-m gmms.catalogue", "pandas", "pandas", "pip install gmms[catalogue]"),
    ("-m gmms.catalogue", "numpy", "numpy", "pip install numpy"),
]


def child(hidden, command):
    """The child's arguments: the packages hidden, the module run, its arguments."""
    if command == "-m gmms.catalogue":      # the catalogue's own entry point
        return [hidden, "gmms.catalogue", *COMMANDS["catalogue"][1:]]
    return [hidden, "gmms", *COMMANDS[command]]


@pytest.mark.subprocess
@pytest.mark.parametrize("command, hidden, package, install", CASES,
                         ids=[f"{c[0]}-without-{c[1]}" for c in CASES])
def test_a_missing_package_is_named_in_one_line(tmp_path, command, hidden, package, install):
    argv = [str(arg).replace("{out}", str(tmp_path)) for arg in child(hidden, command)]
    done = subprocess.run([sys.executable, "-c", HIDING, *argv], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120, env=ENV)
    lines = done.stderr.splitlines()
    assert done.returncode == 1 and len(lines) == 1, done.stderr
    line = lines[0]
    name = "catalogue" if command == "-m gmms.catalogue" else command.split()[0]
    assert line.startswith(f"python3 -m gmms {name}: error: this needs the package "), line
    assert f"the package {package}," in line
    assert f"the interpreter {sys.executable} does not have" in line and line.endswith(f"({install})"), line
    assert os.listdir(tmp_path) == []


@pytest.mark.subprocess
@pytest.mark.parametrize("argv", [["--help"], ["hazard", "--help"]], ids=["gmms", "hazard"])
def test_help_says_why_a_subcommand_is_unavailable(tmp_path, argv):
    done = subprocess.run([sys.executable, "-c", HIDING, "numpy", "gmms", *argv], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120, env=ENV)
    assert done.returncode == 0, done.stderr
    text = " ".join(done.stdout.split())
    assert "navailable: this needs the package numpy" in text and "(pip install numpy)" in text, text


@pytest.mark.subprocess
def test_an_unknown_option_of_an_available_subcommand_is_still_a_usage_error(tmp_path):
    done = subprocess.run([sys.executable, "-m", "gmms", "trellis", "--no-such-option"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120, env=ENV)
    assert done.returncode == 2 and "unrecognized arguments: --no-such-option" in done.stderr, done.stderr
