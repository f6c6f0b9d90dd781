#!/usr/bin/python3
"""Benchmarks of Tarvik, Morrand and Sellwyn against their comparators, measured side by side.

    /usr/bin/python3 bench/run.py              # everything, a few minutes
    /usr/bin/python3 bench/run.py --quick      # up to 10,000 sites, fewer samples, no memory
    /usr/bin/python3 bench/run.py --models tarvik --sizes 1,1000000

Builds the modules first (``./dev build``) unless ``--no-build`` is given. Prints one table per
model: for every number of sites, the median time per call and per site of the library and of
each comparator (comparators.py and the C++ loop of tarvik_limit.cpp), and the ratio
library / comparator (below 1: the library is faster). The implementations take turns sample
by sample, so that a slow moment of the machine hits all of them alike. Then: peak memory of a
1,000,000-site call (memory.py, in fresh processes), the check that the library and the
comparators give the same numbers (exactness.py for numpy without AVX-512), and the targets.
"""

import argparse
import ctypes
import json
import math
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
for path in (BENCH, ROOT / "siblings", ROOT):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

SIZES = (0, 1, 100, 10_000, 1_000_000)
SAMPLE_SECONDS = 0.02  # a sample repeats a call until it lasts about this long


# ---------------------------------------------------------------------------------------------
# Scenarios

def tarvik_args(n, rng):
    R_rup = rng.uniform(0.0, 300.0, n)
    Vs30 = rng.uniform(150.0, 1500.0, n)
    return (1, 7.0, 40.0, 135.0, 50.0, R_rup, Vs30, 1, 0, 0, 1)


def crustal_sites(n, rng):
    import numpy as np

    R_JB = rng.uniform(0.0, 200.0, n)
    R_rup = np.sqrt(R_JB * R_JB + 25.0)
    R_x = rng.uniform(-100.0, 100.0, n)
    Vs30 = rng.uniform(150.0, 1500.0, n)
    Z2p5 = rng.uniform(0.3, 5.0, n)
    return R_JB, R_rup, R_x, Vs30, Z2p5


def morrand_args(n, rng):
    R_JB, R_rup, R_x, Vs30, Z2p5 = crustal_sites(n, rng)
    Z1p0 = rng.uniform(0.01, 1.0, n)
    return (6.8, 45.0, 3.0, R_JB, R_rup, R_x, Vs30, Z1p0, Z2p5, 0, 1, 1, 1)


def sellwyn_args(n, rng):
    R_JB, R_rup, R_x, Vs30, Z2p5 = crustal_sites(n, rng)
    return (1, 6.8, 15.0, 45.0, 3.0, 10.0, R_JB, R_rup, R_x, Vs30, Z2p5, 0, 1, "JP")


# ---------------------------------------------------------------------------------------------
# Timing

class Impl:
    """One implementation under test: `run()` makes one call; `timed(k)` gives the seconds of k calls."""

    def __init__(self, label, call, args, setup=None):
        self.label, self.call, self.args, self.setup = label, call, args, setup
        self.times = []

    def timed(self, k):
        if self.setup:
            self.setup()
        call, args = self.call, self.args
        clock = time.perf_counter
        start = clock()
        for _ in range(k):
            call(*args)  # the result is dropped inside the timed region, as in a user's loop
        return clock() - start

    def run(self):
        if self.setup:
            self.setup()
        return self.call(*self.args)


class LimitImpl(Impl):
    """The C++ loop: times itself inside the library, so ctypes' call cost is not counted."""

    def __init__(self, label, lib, args, fresh):
        import numpy as np

        super().__init__(label, None, args)
        self.lib, self.fresh = lib, fresh
        IM, M, lat, lon, depth, R_rup, Vs30, fins, fint, fnm, frv = args
        self.R_rup = np.ascontiguousarray(R_rup)
        self.Vs30 = np.ascontiguousarray(Vs30)
        n = len(R_rup)
        self.out = [np.zeros(max(n, 1)) for _ in range(3)]
        self.scalars = (IM, M, lat, lon, depth)
        self.flags = (fins, fint, fnm, frv)
        self.n = n

    def _call(self, inner, samples):
        import numpy as np

        seconds = np.zeros(samples)
        ptr = lambda a: a.ctypes.data_as(ctypes.POINTER(ctypes.c_double))
        status = self.lib.tarvik_limit(*self.scalars, ptr(self.R_rup), ptr(self.Vs30), self.n, *self.flags,
                                       ptr(self.out[0]), ptr(self.out[1]), ptr(self.out[2]), int(self.fresh),
                                       inner, samples, ptr(seconds))
        if status != 0:
            raise RuntimeError("tarvik_limit failed")
        return seconds

    def timed(self, k):
        return float(self._call(k, 1)[0]) * k

    def run(self):
        self._call(1, 1)
        return tuple(a[: self.n] for a in self.out)


def load_limit():
    path = ROOT / "build" / "bench" / "tarvik_limit.so"
    lib = ctypes.CDLL(str(path))
    d, i, l, p = ctypes.c_double, ctypes.c_int, ctypes.c_long, ctypes.POINTER(ctypes.c_double)
    lib.tarvik_limit.argtypes = [i, d, d, d, d, p, p, l, i, i, i, i, p, p, p, i, l, i, p]
    lib.tarvik_limit.restype = i
    return lib


def measure(impls, samples, n_sites):
    """Median seconds per call of every implementation, the implementations taking turns."""
    batches = []
    for impl in impls:
        impl.times = []
        impl.timed(1)  # warm-up: first-call effects, and the allocator's state for this size
        once = impl.timed(1)
        batches.append(max(1, min(100_000, int(SAMPLE_SECONDS / max(once, 1e-9)))))
    for s in range(samples):
        order = impls[s % len(impls):] + impls[: s % len(impls)]
        for impl in order:
            k = batches[impls.index(impl)]
            impl.times.append(impl.timed(k) / k)
    return {impl.label: statistics.median(impl.times) for impl in impls}


def samples_for(n_sites, quick, slow):
    if quick:
        return 5 if n_sites < 1_000_000 else 3
    if n_sites >= 1_000_000:
        return 3 if slow else 9
    return 15


# ---------------------------------------------------------------------------------------------
# Formatting

def fmt_time(seconds):
    if seconds != seconds:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale or unit == "ns":
            value = seconds / scale
            return f"{value:.3g} {unit}" if value < 100 else f"{value:.0f} {unit}"
    return str(seconds)


def fmt_ratio(value):
    if value != value:
        return "-"
    return f"{value:.3f}" if value < 0.1 else f"{value:.2f}"


def print_table(title, header, rows, markdown):
    print()
    print(f"### {title}" if markdown else title)
    if markdown:
        print()
        print("| " + " | ".join(header) + " |")
        print("|" + "|".join("---:" for _ in header) + "|")
        for row in rows:
            print("| " + " | ".join(row) + " |")
        return
    widths = [max(len(h), *(len(r[c]) for r in rows)) for c, h in enumerate(header)]
    print("  ".join(h.rjust(w) for h, w in zip(header, widths)))
    for row in rows:
        print("  ".join(v.rjust(w) for v, w in zip(row, widths)))


# ---------------------------------------------------------------------------------------------
# Models

def ulp_distance(a, b):
    """Element-wise distance in units in the last place between two float64 arrays."""
    import numpy as np

    def ordered(x):
        bits = x.view(np.int64)
        return np.where(bits < 0, np.int64(-(2 ** 63)) - bits, bits)

    return np.abs(ordered(a) - ordered(b))


def same_numbers(ours, theirs):
    import numpy as np

    return all(np.array_equal(a, b, equal_nan=True) for a, b in zip(ours, theirs))


def zeros_floor(n):
    """What any call must spend on its outputs: three np.zeros arrays, each written once."""
    import numpy as np

    arrays = tuple(np.zeros(n, dtype="float64") for _ in range(3))
    for a in arrays:
        a.fill(1.0)
    return arrays


def bench_tarvik(sizes, quick, markdown, notes, results):
    import numpy as np

    import comparators
    from gmms import Tarvik

    lib = load_limit()
    rng = np.random.default_rng(5)
    header = ["sites", "Tarvik_cy / call", "/ site", "numpy+shapely", "ratio", "C++ loop", "ratio",
              "C++ loop, warm outputs", "ratio", "3 np.zeros, written"]
    rows = []
    for n in sizes:
        args = tarvik_args(n, rng)
        impls = [Impl("ours", Tarvik.Tarvik_cy, args), Impl("numpy", comparators.tarvik_numpy, args),
                 LimitImpl("limit", lib, args, fresh=True), LimitImpl("warm", lib, args, fresh=False),
                 Impl("floor", zeros_floor, (n,))]
        ours = impls[0].run()
        for impl in impls[1:4]:
            theirs = impl.run()
            if impl.label != "numpy" and not same_numbers(ours, theirs):
                notes.append(f"Tarvik, {n} sites: the C++ loop ({impl.label}) differs from Tarvik_cy")
        if n == max(sizes):
            check_tarvik_exactness(args, ours, comparators.tarvik_numpy(*args), notes, results)
        t = measure(impls, samples_for(n, quick, slow=False), n)
        results.setdefault("Tarvik", {})[n] = t
        per = t["ours"] / max(n, 1)
        rows.append([f"{n:,}", fmt_time(t["ours"]), fmt_time(per) if n else "-",
                     fmt_time(t["numpy"]), fmt_ratio(t["ours"] / t["numpy"]),
                     fmt_time(t["limit"]), fmt_ratio(t["ours"] / t["limit"]),
                     fmt_time(t["warm"]), fmt_ratio(t["ours"] / t["warm"]), fmt_time(t["floor"])])
    print_table("Tarvik: Tarvik_cy against numpy+shapely and the C++ loop (ratio: Tarvik_cy / comparator)",
                header, rows, markdown)


def check_tarvik_exactness(args, ours, numpy_default, notes, results):
    """Tarvik_cy against numpy with AVX-512 off (in a child process) and on (here)."""
    import numpy as np

    mean = ours[0]
    dist = ulp_distance(mean, numpy_default[0])
    on = {"sites": len(mean), "identical": int((dist == 0).sum()), "one_ulp": int((dist == 1).sum()),
          "more": int((dist > 1).sum()), "max_ulp": int(dist.max()) if len(mean) else 0}
    # Where the means differ, numpy's own log does: compare it with the C library's (math.log).
    x = args[6][:100_000] / 1100.0
    libm = np.array([math.log(v) for v in x.tolist()])
    on["log_differs"] = float((np.log(x) != libm).mean()) if len(x) else 0.0
    with tempfile.TemporaryDirectory() as tmp:
        np.save(Path(tmp) / "R_rup.npy", args[5])
        np.save(Path(tmp) / "Vs30.npy", args[6])
        np.save(Path(tmp) / "mean.npy", mean)
        env = dict(os.environ, NPY_DISABLE_CPU_FEATURES="AVX512F AVX512_SKX")
        child = subprocess.run([sys.executable, str(BENCH / "exactness.py"), tmp, json.dumps(args[:5] + args[7:])],
                               env=env, capture_output=True, text=True)
    if child.returncode != 0:
        notes.append("exactness check failed to run: " + child.stderr.strip().splitlines()[-1])
        return
    off = json.loads(child.stdout)
    results["exactness"] = {"avx512_off": off, "avx512_on": on}


def bench_siblings(model, sizes, quick, markdown, results):
    import numpy as np

    import comparators
    import Brisquell as standin_brisquell
    import Dovecar as standin_dovecar

    if model == "Morrand":
        from gmms import Morrand as module
        entry, loop, make_args, sibling = module.Morrand_cy, comparators.morrand_loop, morrand_args, "Dovecar"
    else:
        from gmms import Sellwyn as module
        entry, loop, make_args, sibling = module.Sellwyn_cy, comparators.sellwyn_loop, sellwyn_args, "Brisquell"
    constant = dict(zip(("Dovecar", "Brisquell"), comparators.constant_siblings()))
    standin = {"Dovecar": standin_dovecar, "Brisquell": standin_brisquell}

    def bind(siblings):
        def setup():
            setattr(module, sibling, siblings[sibling])
            comparators.use(siblings["Dovecar"], siblings["Brisquell"])
        return setup

    rng = np.random.default_rng(7)
    header = ["sites", "constant: ours / call", "/ site", "Python loop", "ratio",
              "stand-ins: ours / call", "/ site", "Python loop", "ratio"]
    rows = []
    for n in sizes:
        args = make_args(n, rng)
        impls = [Impl("ours const", entry, args, bind(constant)), Impl("loop const", loop, args, bind(constant)),
                 Impl("ours standin", entry, args, bind(standin)), Impl("loop standin", loop, args, bind(standin))]
        for a, b in ((impls[0], impls[1]), (impls[2], impls[3])):
            if not same_numbers(a.run(), b.run()):
                results.setdefault("notes", []).append(f"{model}, {n} sites: the Python loop differs ({a.label})")
        t = measure(impls, samples_for(n, quick, slow=True), n)
        results.setdefault(model, {})[n] = t
        one = max(n, 1)
        rows.append([f"{n:,}", fmt_time(t["ours const"]), fmt_time(t["ours const"] / one) if n else "-",
                     fmt_time(t["loop const"]), fmt_ratio(t["ours const"] / t["loop const"]),
                     fmt_time(t["ours standin"]), fmt_time(t["ours standin"] / one) if n else "-",
                     fmt_time(t["loop standin"]), fmt_ratio(t["ours standin"] / t["loop standin"])])
    bind(standin)()
    print_table(f"{model}: {model}_cy against a plain Python loop, with constant siblings and with the "
                f"stand-ins (ratio: ours / loop)", header, rows, markdown)


# ---------------------------------------------------------------------------------------------
# Memory

def bench_memory(models, n, markdown, results):
    header = ["model", "inputs + outputs", "inputs + traced peak of the call", "over inputs + outputs",
              "peak RSS growth", "over the outputs, of inputs + outputs"]
    rows = []
    for model in models:
        traced = json.loads(subprocess.run([sys.executable, str(BENCH / "memory.py"), model, str(n), "traced"],
                                           capture_output=True, text=True, check=True).stdout)
        rss = json.loads(subprocess.run([sys.executable, str(BENCH / "memory.py"), model, str(n), "rss"],
                                        capture_output=True, text=True, check=True).stdout)
        base = traced["inputs"] + traced["outputs"]
        peak = traced["inputs"] + traced["peak"]
        results.setdefault("memory", {})[model] = {"traced": traced, "rss": rss}
        rows.append([model, f"{base / 2**20:.1f} MiB", f"{peak / 2**20:.1f} MiB",
                     f"{(peak - base) / base:+.1%}", f"{rss['rss_growth'] / 2**20:.1f} MiB",
                     f"{(rss['rss_growth'] - rss['outputs']) / (rss['inputs'] + rss['outputs']):+.1%}"])
    print_table(f"Peak memory of one {n:,}-site call (constant siblings)", header, rows, markdown)


# ---------------------------------------------------------------------------------------------
# Summary

def print_summary(results, notes, markdown):
    lines = []
    ex = results.get("exactness")
    if ex:
        off, on = ex["avx512_off"], ex["avx512_on"]
        lines.append(f"Tarvik_cy vs numpy, AVX-512 off: {off['identical']:,} of {off['sites']:,} means bit-identical"
                     f" (max {off['max_ulp']} ulp apart); AVX-512 on: {on['identical']:,} identical, "
                     f"{on['one_ulp']:,} 1 ulp apart, {on['more']:,} more (max {on['max_ulp']} ulp), "
                     f"as numpy's AVX-512 log itself differs from the C library's log on "
                     f"{on['log_differs']:.1%} of the inputs ln(Vs30/1100), and the terms of the mean "
                     f"cancel in part.")
        if off.get("ratio") is not None:
            lines.append(f"numpy with AVX-512 off, {off['sites']:,} sites: Tarvik_cy / numpy = {off['ratio']:.2f}.")
    for model in ("Tarvik", "Morrand", "Sellwyn"):
        t = results.get(model, {})
        key = "ours" if model == "Tarvik" else "ours const"
        if 10_000 in t and 1_000_000 in t:
            growth = (t[1_000_000][key] / 1e6) / (t[10_000][key] / 1e4)
            lines.append(f"{model}: time per site at 1,000,000 sites / at 10,000 sites = {growth:.2f}.")
    lines.extend(notes)
    lines.extend(results.get("notes", []))
    if lines:
        print()
        for line in lines:
            print(("- " if markdown else "") + line)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="up to 10,000 sites, fewer samples, no memory")
    parser.add_argument("--models", default="tarvik,morrand,sellwyn", help="comma-separated subset")
    parser.add_argument("--sizes", help="comma-separated numbers of sites")
    parser.add_argument("--no-build", action="store_true", help="use the modules as built")
    parser.add_argument("--no-memory", action="store_true", help="skip the peak-memory measurement")
    parser.add_argument("--markdown", action="store_true", help="print the tables as Markdown")
    parser.add_argument("--json", help="also write all figures to this file")
    opts = parser.parse_args()

    if not opts.no_build:
        subprocess.run([str(ROOT / "dev"), "build"], check=True, stdout=subprocess.DEVNULL)
    sizes = [int(s) for s in opts.sizes.split(",")] if opts.sizes else [
        s for s in SIZES if not (opts.quick and s > 10_000)]
    models = [m.strip().capitalize() for m in opts.models.split(",")]

    import numpy
    print(f"Python {sys.version.split()[0]}, numpy {numpy.__version__}, {os.cpu_count()} CPUs; "
          f"medians of repeated samples; times include dropping the result.")
    results, notes = {}, []
    if "Tarvik" in models:
        bench_tarvik(sizes, opts.quick, opts.markdown, notes, results)
    for model in ("Morrand", "Sellwyn"):
        if model in models:
            bench_siblings(model, sizes, opts.quick, opts.markdown, results)
    if not (opts.quick or opts.no_memory):
        bench_memory(models, 1_000_000, opts.markdown, results)
    print_summary(results, notes, opts.markdown)
    if opts.json:
        Path(opts.json).write_text(json.dumps(results, indent=1, default=str))


if __name__ == "__main__":
    main()
