"""The library against the benchmark's comparators, written independently in bench/comparators.py.

- Tarvik_cy gives bit for bit the means of the numpy version run with numpy's AVX-512 kernels off
  (numpy then takes its logarithms from the C library, as the module does).
- Morrand_cy and Sellwyn_cy give bit for bit what plain Python loops making the same sibling calls
  give, with the stand-in siblings.
- The benchmark's C++ loop, which runs Tarvik's own per-site code without the interpreter, gives
  what Tarvik_cy gives.
"""

import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import comparators  # noqa: E402
import run  # noqa: E402
from gmms import Morrand, Sellwyn, Tarvik  # noqa: E402


@pytest.fixture
def standins():
    import Brisquell
    import Dovecar

    saved = Morrand.Dovecar, Sellwyn.Brisquell
    Morrand.Dovecar, Sellwyn.Brisquell = Dovecar, Brisquell
    comparators.use(Dovecar, Brisquell)
    yield
    Morrand.Dovecar, Sellwyn.Brisquell = saved


@pytest.mark.subprocess
def test_tarvik_matches_numpy_without_avx512(tmp_path):
    rng = np.random.default_rng(1)
    R_rup = np.concatenate([rng.uniform(0.0, 400.0, 20_000), [0.0, 1e-300, 1e6]])
    Vs30 = np.concatenate([rng.uniform(100.0, 2000.0, 20_000), [1100.0, 50.0, 3000.0]])
    results = {}
    for IM, lat, lon, depth, flags in [(0, 40.0, 135.0, 50.0, (1, 0, 0, 1)), (1, 38.0, 142.0, 12.0, (0, 1, 1, 0))]:
        args = (IM, 7.1, lat, lon, depth, R_rup, Vs30) + flags
        np.save(tmp_path / "R_rup.npy", R_rup)
        np.save(tmp_path / "Vs30.npy", Vs30)
        np.save(tmp_path / "mean.npy", Tarvik.Tarvik_cy(*args)[0])
        env = dict(os.environ, NPY_DISABLE_CPU_FEATURES="AVX512F AVX512_SKX")
        child = subprocess.run([sys.executable, str(ROOT / "bench" / "exactness.py"), str(tmp_path),
                                json.dumps(args[:5] + args[7:]), "--no-timing"],
                               env=env, capture_output=True, text=True, check=True)
        results[IM] = json.loads(child.stdout)
    for report in results.values():
        assert not report["avx512f_enabled"]
        assert report["identical"] == report["sites"] == len(R_rup)
        assert report["same_as_parent"]


@pytest.mark.usefixtures("standins")
@pytest.mark.parametrize("CAVgmType, PSVcheck", [(0, 1), (1, 0), (1, 1)])
def test_morrand_matches_python_loop(CAVgmType, PSVcheck):
    args = run.morrand_args(2_000, np.random.default_rng(2))
    args = args[:11] + (CAVgmType, PSVcheck)
    for ours, theirs in zip(Morrand.Morrand_cy(*args), comparators.morrand_loop(*args)):
        np.testing.assert_array_equal(ours, theirs)


@pytest.mark.usefixtures("standins")
@pytest.mark.parametrize("IM, M", [(0, 4.0), (0, 5.2), (1, 6.8)])
def test_sellwyn_matches_python_loop(IM, M):
    args = run.sellwyn_args(2_000, np.random.default_rng(3))
    args = (IM, M) + args[2:]
    for ours, theirs in zip(Sellwyn.Sellwyn_cy(*args), comparators.sellwyn_loop(*args)):
        np.testing.assert_array_equal(ours, theirs)


@pytest.mark.skipif(not (ROOT / "build" / "bench" / "tarvik_limit.so").exists(), reason="not built")
@pytest.mark.parametrize("fresh", [True, False])
def test_cpp_loop_matches_tarvik(fresh):
    args = run.tarvik_args(5_000, np.random.default_rng(4))
    limit = run.LimitImpl("limit", run.load_limit(), args, fresh=fresh)
    for ours, theirs in zip(Tarvik.Tarvik_cy(*args), limit.run()):
        np.testing.assert_array_equal(ours, theirs)
