"""The hazard kernel of an earlier revision, built beside the current one, so that a benchmark can
time both in one run on the same machine.

    from baseline import load_kernel
    old = load_kernel("cb816be")   # a module with the same functions as gmms._hazard

The revision's gmms/_hazard.cpp and the headers it includes (gmms/frame/, gmms/*.hpp) come from
git; the module is compiled with the flags that decide the bits (C++20, no contraction into fused
multiply-adds, -O3 as the CMake build) into build/bench/baseline-REVISION/, once, and loaded
under its own name from there.
"""

import importlib.machinery
import importlib.util
import io
import pathlib
import subprocess
import sysconfig
import tarfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The kernel before it computed its own normal tail and binned its sums (issue 22).
BEFORE_OWN_TAIL = "cb816be"


def build_kernel(revision):
    """The path of the revision's built module, built if it is not there yet."""
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short=12", f"{revision}^{{commit}}"],
                            capture_output=True, text=True, check=True).stdout.strip()
    out = ROOT / "build" / "bench" / f"baseline-{commit}"
    module = out / f"_hazard{sysconfig.get_config_var('EXT_SUFFIX')}"
    if module.exists():
        return module
    source = out / "src"
    archive = subprocess.run(["git", "-C", ROOT, "archive", commit, "gmms"], capture_output=True,
                             check=True).stdout
    with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
        members = [m for m in tar.getmembers()
                   if m.name == "gmms/_hazard.cpp" or m.name.startswith("gmms/frame/")
                   or (m.name.count("/") == 1 and m.name.endswith(".hpp"))]
        tar.extractall(source, members=members)
    subprocess.run(["g++", "-std=c++20", "-O3", "-ffp-contract=off", "-fPIC", "-shared", "-fvisibility=hidden",
                    f"-I{source / 'gmms'}", f"-I{sysconfig.get_paths()['include']}",
                    str(source / "gmms" / "_hazard.cpp"), "-o", str(module)], check=True)
    return module


def load_kernel(revision=BEFORE_OWN_TAIL):
    """The revision's gmms._hazard, as a module object of its own."""
    path = str(build_kernel(revision))
    loader = importlib.machinery.ExtensionFileLoader("_hazard", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("_hazard", loader))
    loader.exec_module(module)
    return module
