"""Hazard kernel: gmms._hazard.exceedance against what a user writes with numpy/scipy, on one core.

For a set of (scenario, site) pairs and 40 IM levels, each implementation adds rate x P(IM > level)
into per-site curves, the normal truncated at 3 sigmas (and, second, untruncated):

- ``ours``: ``_hazard.exceedance`` into the exact fixed-point accumulator, then ``to_double``;
- ``double``: the very same loop (checks, tail, order) with ``cell += term`` in plain doubles
  (build/bench/hazard_limit.so, built by CMake): what the exactness costs;
- ``scipy``: vectorised numpy/scipy (``scipy.special.ndtr`` over a pairs x levels block, the
  truncation renormalised, ``np.bincount`` by site and level), in blocks of pairs: the fastest
  such code we found;
- ``scipy-sf``: the same as often written, with ``scipy.stats.norm.sf`` and ``np.add.at``;
- ``old``: the kernel of an earlier revision (--baseline, by default the one before the kernel
  computed its own normal tail; bench/baseline.py builds it beside this one; 'none' to skip).

Prints pairs x levels per second and the ratios, measured side by side (interleaved repeats,
the best of each, in CPU time, which other processes on the machine disturb less than wall-clock
time), and the largest relative difference of the curves from scipy's.
Run: OMP_NUM_THREADS=1 /usr/bin/python3 bench/hazard_kernel.py [--pairs N] [--repeats R] [--baseline REV]
"""

import argparse
import ctypes
import math
import sys
from pathlib import Path

import numpy as np
from scipy.special import ndtr
from scipy.stats import norm

ROOT = Path(__file__).resolve().parent.parent
if __name__ == "__main__":
    # Run as a script: the modules built in the source tree. (Imported by the tests, the path is
    # theirs: it may name another build first.)
    sys.path.insert(0, str(ROOT))
from baseline import BEFORE_OWN_TAIL, load_kernel  # noqa: E402
from timing import best_cpu_seconds  # noqa: E402

from gmms import _hazard  # noqa: E402

N_LEVELS = 40
BLOCK_PAIRS = 16384


def scipy_exceedance(rows, mu, sigma, rate, log_levels, truncation, n_rows, block=BLOCK_PAIRS, common=False):
    """Curves (n_rows, n_levels): the sum over pairs of rate x P(ln IM > level), in numpy/scipy.

    common: norm.sf and np.add.at, as such code is often written, in place of ndtr and bincount.
    """
    n_levels = len(log_levels)
    curves = np.zeros(n_rows * n_levels)
    sf = norm.sf if common else lambda z: ndtr(-z)
    q_trunc = sf(truncation) if math.isfinite(truncation) else 0.0
    for start in range(0, len(rows), block):
        part = slice(start, start + block)
        z = (log_levels[None, :] - mu[part, None]) / sigma[part, None]
        p = (sf(z) - q_trunc) / (1.0 - 2.0 * q_trunc)
        if math.isfinite(truncation):
            p = np.where(z <= -truncation, 1.0, np.where(z >= truncation, 0.0, np.clip(p, 0.0, 1.0)))
        cells = rows[part, None] * n_levels + np.arange(n_levels)
        if common:
            np.add.at(curves, cells.ravel(), (rate[part, None] * p).ravel())
        else:
            curves += np.bincount(cells.ravel(), weights=(rate[part, None] * p).ravel(), minlength=curves.size)
    return curves.reshape(n_rows, n_levels)


def catalogue(n_pairs, n_sites, rng):
    """Pairs as a catalogue gives them: ln CAV means around ln 0.1 g-s, sigma 0.55-0.75."""
    rows = rng.integers(0, n_sites, n_pairs)
    mu = rng.normal(np.log(0.1), 1.2, n_pairs)
    sigma = rng.uniform(0.55, 0.75, n_pairs)
    rate = rng.uniform(1e-5, 1e-3, n_pairs)
    log_levels = np.log(np.geomspace(1e-3, 10.0, N_LEVELS))
    return rows, mu, sigma, rate, log_levels


def load_double_sum():
    path = ROOT / "build" / "bench" / "hazard_limit.so"
    if not path.exists():
        return None
    lib = ctypes.PyDLL(str(path))
    lib.hazard_double_sum.argtypes = [ctypes.py_object] * 6 + [ctypes.c_double]
    lib.hazard_double_sum.restype = ctypes.c_int
    return lib.hazard_double_sum


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=200_000)
    parser.add_argument("--sites", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--baseline", default=BEFORE_OWN_TAIL,
                        help="a revision whose kernel to time beside this one ('none': skip)")
    options = parser.parse_args()
    old = None if options.baseline == "none" else load_kernel(options.baseline)
    rows, mu, sigma, rate, log_levels = catalogue(options.pairs, options.sites, np.random.default_rng(14))
    double_sum = load_double_sum()
    work = options.pairs * N_LEVELS
    print(f"{options.pairs} pairs x {N_LEVELS} levels into {options.sites} sites; best of {options.repeats}")

    for truncation in (3.0, math.inf):

        def ours(module=_hazard):
            acc = module.zeros((options.sites, N_LEVELS))
            module.exceedance(acc, rows, mu, sigma, rate, log_levels, truncation)
            return module.to_double(acc)

        def double():
            acc = np.zeros((options.sites, N_LEVELS))
            if double_sum(acc, rows, mu, sigma, rate, log_levels, truncation) != 0:
                raise RuntimeError("hazard_double_sum failed")
            return acc

        def scipy():
            return scipy_exceedance(rows, mu, sigma, rate, log_levels, truncation, options.sites)

        def scipy_sf():
            return scipy_exceedance(rows, mu, sigma, rate, log_levels, truncation, options.sites, common=True)

        runs = {"ours": ours, "scipy": scipy, "scipy-sf": scipy_sf}
        if double_sum:
            runs["double"] = double
        if old is not None:
            runs["old"] = lambda: ours(old)
        best = best_cpu_seconds(runs, options.repeats)
        reference = scipy()
        big = reference > 1e-12 * reference.max()
        worst = np.max(np.abs(ours()[big] / reference[big] - 1.0))
        print(f"truncation {truncation}:")
        for label, seconds in best.items():
            print(f"  {label:8s} {work / seconds / 1e6:8.1f} M pair-levels/s  ({seconds * 1e3:7.1f} ms)")
        print(f"  ours vs scipy: {best['scipy'] / best['ours']:.1f}x faster; "
              f"vs scipy-sf: {best['scipy-sf'] / best['ours']:.1f}x faster")
        if "double" in best:
            print(f"  exact vs double sum: {best['ours'] / best['double']:.3f}x the time")
        if "old" in best:
            print(f"  ours vs old ({options.baseline}): {best['old'] / best['ours']:.2f}x faster")
        print(f"  largest relative difference from scipy (cells above 1e-12 of the largest): {worst:.1e}")


if __name__ == "__main__":
    main()
