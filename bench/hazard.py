"""Benchmark of hazard runs: the runner against the bare kernel, the speed-up on workers, memory.

    /usr/bin/python3 bench/hazard.py [--scenarios 1000] [--sites 1000] [--levels 40]
                                     [--repeat 3] [--workers 2] [--memory-pairs 10000000]
                                     [--baseline REVISION]

For each model, on a synthetic catalogue of SCENARIOS x SITES pairs with annual rates, read from
HDF5, side by side in one run (best of REPEAT):

- kernel: ``gmms._hazard.exceedance`` over every pair at once, the means and sigmas already
  in memory: the integration alone, with its exact sums;
- bare: the entry calls, one per scenario over arrays grouped in memory, then that kernel:
  the least work any hazard run over the catalogue must do;
- serial: ``gmms.hazard.run(..., serial=True)`` from HDF5 to HDF5 (no disaggregation): reading,
  checking, tasks of 100,000 pairs, merging and writing besides;
- workers: the same on a local cluster of WORKERS processes started beforehand, and the
  ceiling: the speed-up that cluster gives, at the same moment, to work parallel by nature;
- with --baseline REVISION (by default the kernel before it computed its own normal tail; 'none'
  to skip): that revision's gmms._hazard built beside the current one (bench/baseline.py), and
  the kernel and the serial run again with it, taking turns with the current one.

Then the peak resident memory (VmHWM) of a serial run over MEMORY_PAIRS pairs of Tarvik from
HDF5, in a child process.
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT)]

import numpy as np  # noqa: E402
from baseline import BEFORE_OWN_TAIL, load_kernel  # noqa: E402
from catalogue import make, spin  # noqa: E402

from gmms import _hazard, hazard  # noqa: E402
from gmms.hazard import reduce  # noqa: E402
from gmms.catalogue import synthetic  # noqa: E402
from gmms.models import MODELS, SITES  # noqa: E402
from gmms.siblings import use_siblings  # noqa: E402

TRUNCATION = 3.0


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


def ceiling(client, workers, n=3_000_000):
    """Speed-up of the same cluster on work that is parallel by nature (no data, no files):
    what the machine offers at this moment; other load on a shared machine lowers it."""
    one = timed(lambda: [spin(n) for _ in range(2 * workers)])
    many = timed(lambda: client.gather([client.submit(spin, n, pure=False)
                                        for _ in range(2 * workers)]))
    return one / many


def rated(directory, model, n_scenarios, n_sites):
    """A synthetic catalogue in HDF5 with an annual rate per scenario."""
    scenarios, s_path, p_path = make(directory, model, n_scenarios, n_sites)
    scenarios["annual_rate"] = np.random.default_rng(4).uniform(1e-5, 1e-2, len(scenarios))
    os.unlink(s_path)
    synthetic.write(s_path, [scenarios])
    return scenarios, s_path, p_path


def in_memory(model, scenarios, p_path):
    """The entry calls' arguments, grouped by scenario, and what the kernel needs per pair."""
    import h5py

    spec = MODELS[model]
    with h5py.File(p_path, "r") as file:
        ids = file["scenario_id"][:]
        site_id = file["site_id"][:]
        sites = {name: file[name][:] for name in spec.site_columns}
    bounds = np.flatnonzero(np.diff(ids)) + 1
    groups = list(zip(np.concatenate(([0], bounds)), np.concatenate((bounds, [len(ids)]))))
    rows = scenarios.to_dict("records")
    calls = [[sites[p.name][lo:hi] if p.kind == SITES else row[p.name] for p in spec.parameters]
             for (lo, hi), row in zip(groups, rows)]
    rate = np.repeat(scenarios.annual_rate.to_numpy(), [hi - lo for lo, hi in groups])
    unique, rows_of_pairs = np.unique(site_id, return_inverse=True)
    return calls, rate, rows_of_pairs.astype(np.int64), len(unique)


def kernel(rows, n_sites, mu, sigma, rate, log_levels, module=_hazard):
    acc = module.zeros((n_sites, len(log_levels)))
    module.exceedance(acc, rows, mu, sigma, rate, log_levels, TRUNCATION)
    return acc


def with_kernel(module, function):
    """function() with the hazard runner's tasks summing through `module` in place of gmms._hazard
    (a serial run works in this process)."""
    current = reduce._hazard
    reduce._hazard = module
    try:
        return function()
    finally:
        reduce._hazard = current


def bare(model, calls, rows, n_sites, rate, log_levels):
    entry = getattr(__import__(f"gmms.{model}", fromlist=[model]), MODELS[model].entry)
    results = [entry(*args) for args in calls]
    mu = np.concatenate([r[0] for r in results])
    phi = np.concatenate([r[1] for r in results])
    tau = np.concatenate([r[2] for r in results])
    return kernel(rows, n_sites, mu, np.sqrt(phi * phi + tau * tau), rate, log_levels)


MEMORY_CHILD = """
import sys
sys.path[:0] = [{root!r}]
from gmms import hazard


def peak_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


hazard.run("Tarvik", {s!r}, {p!r}, levels_from=1e-3, levels_to=1e3, levels_n={n_levels},
           serial=True, out={out!r}, disagg_sites=[0, 1])
print(peak_kib())
"""


def peak_memory(directory, pairs, n_levels):
    n_sites = 1000
    n_scenarios = max(1, pairs // n_sites)
    _, s_path, p_path = rated(directory, "Tarvik", n_scenarios, n_sites)
    size = sum(os.path.getsize(p) for p in (s_path, p_path))
    script = directory / "memory_child.py"
    script.write_text(MEMORY_CHILD.format(root=str(ROOT), s=str(s_path), p=str(p_path),
                                          n_levels=n_levels, out=str(directory / "memory.h5")))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          check=True, timeout=7200)
    return n_scenarios * n_sites, size / 2**20, int(done.stdout.split()[-1]) / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenarios", type=int, default=1000)
    parser.add_argument("--sites", type=int, default=1000)
    parser.add_argument("--levels", type=int, default=40)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--memory-pairs", type=int, default=10_000_000,
                        help="pairs of the memory run (0: skip it)")
    parser.add_argument("--models", nargs="*", default=["Tarvik", "Morrand"])
    parser.add_argument("--baseline", default=BEFORE_OWN_TAIL,
                        help="a revision whose kernel to time beside this one ('none': skip)")
    args = parser.parse_args()
    use_siblings()
    old = None if args.baseline == "none" else load_kernel(args.baseline)

    from distributed import Client

    from gmms.run.executors import local_cluster

    levels = np.geomspace(1e-3, 1e3, args.levels)
    log_levels = np.log(levels)
    pairs = args.scenarios * args.sites
    with tempfile.TemporaryDirectory(prefix="gmms-bench-") as tmp, \
            local_cluster(args.workers) as cluster, Client(cluster) as client:
        directory = pathlib.Path(tmp)
        print(f"hazard: {args.scenarios} scenarios x {args.sites} sites = {pairs} pairs x "
              f"{args.levels} levels, truncation {TRUNCATION:g}; best of {args.repeat}; "
              f"{os.cpu_count()} cores; {args.workers} workers; "
              f"load average before: {os.getloadavg()[0]:.2f}")
        print(f"{'model':8} {'kernel Mpair/s':>15} {'bare Mpair/s':>13} {'serial Mpair/s':>15} "
              f"{'serial/kernel':>14} {'serial/bare':>12} {'workers Mpair/s':>16} "
              f"{'speed-up':>9} {'ceiling':>8}")
        for model in args.models:
            scenarios, s_path, p_path = rated(directory, model, args.scenarios, args.sites)
            calls, rate, rows, n_sites = in_memory(model, scenarios, p_path)
            out = directory / f"{model}-out.h5"
            run = dict(levels=levels, truncation=TRUNCATION, out=out)
            hazard.run(model, s_path, p_path, client=client, **run)     # warm the workers
            entry = getattr(__import__(f"gmms.{model}", fromlist=[model]),
                            MODELS[model].entry)
            results = [entry(*call) for call in calls]
            mu = np.concatenate([r[0] for r in results])
            sigma = np.hypot(np.concatenate([r[1] for r in results]),
                             np.concatenate([r[2] for r in results]))
            times = {"kernel": [], "bare": [], "serial": [], "workers": []}
            if old is not None:
                times.update({"kernel-old": [], "serial-old": []})
            ceilings = []
            for _ in range(args.repeat):
                ceilings.append(ceiling(client, args.workers))
                times["kernel"].append(timed(lambda: kernel(rows, n_sites, mu, sigma, rate,
                                                            log_levels)))
                if old is not None:
                    times["kernel-old"].append(timed(lambda: kernel(rows, n_sites, mu, sigma, rate,
                                                                    log_levels, old)))
                    times["serial-old"].append(timed(lambda: with_kernel(old, lambda: hazard.run(
                        model, s_path, p_path, serial=True, **run))))
                times["bare"].append(timed(lambda: bare(model, calls, rows, n_sites, rate,
                                                        log_levels)))
                times["serial"].append(timed(lambda: hazard.run(model, s_path, p_path,
                                                                serial=True, **run)))
                times["workers"].append(timed(lambda: hazard.run(model, s_path, p_path,
                                                                 client=client, **run)))
            best = {mode: min(values) for mode, values in times.items()}
            speed = {mode: pairs / seconds / 1e6 for mode, seconds in best.items()}
            print(f"{model:8} {speed['kernel']:15.3f} {speed['bare']:13.3f} "
                  f"{speed['serial']:15.3f} {best['serial'] / best['kernel']:14.2f} "
                  f"{best['serial'] / best['bare']:12.2f} {speed['workers']:16.3f} "
                  f"{best['serial'] / best['workers']:9.2f} {max(ceilings):8.2f}", flush=True)
            if old is not None:
                print(f"{'':8} baseline {args.baseline}: kernel {speed['kernel-old']:.3f} Mpair/s, "
                      f"this one {best['kernel-old'] / best['kernel']:.2f}x as fast; serial "
                      f"{speed['serial-old']:.3f} Mpair/s, this one "
                      f"{best['serial-old'] / best['serial']:.2f}x as fast", flush=True)
    if args.memory_pairs:
        with tempfile.TemporaryDirectory(prefix="gmms-bench-") as tmp:
            n, size_mib, peak = peak_memory(pathlib.Path(tmp), args.memory_pairs, args.levels)
        print(f"peak memory, Tarvik, serial, {n} pairs x {args.levels} levels ({size_mib:.0f} "
              f"MiB of HDF5 input; 1000 sites, 2 of them disaggregated): {peak:.0f} MiB")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
