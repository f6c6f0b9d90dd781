"""Benchmark of the catalogue runner: its overhead, its speed-up on workers, its memory.

    /usr/bin/python3 bench/catalogue.py [--scenarios 1000] [--sites 1000] [--repeat 3]
                                        [--memory-pairs 10000000] [--workers 2]

For each model, on a synthetic catalogue of SCENARIOS x SITES pairs read from HDF5 and written to
HDF5, side by side in one run (best of REPEAT):

- bare: a loop of entry calls over arrays already grouped by scenario in memory (no reading,
  no checking, no writing): the floor any runner is measured against;
- memory: ``run(..., serial=True)`` from DataFrames to a DataFrame: the runner without files;
- serial: ``run(..., serial=True)`` from HDF5 to HDF5; its time over bare is the runner's overhead;
- workers: ``run(..., client=...)`` on a local cluster of WORKERS processes started beforehand
  (its start-up time is reported on its own); serial over workers is the speed-up;
- ceiling: the speed-up the same cluster gives, at the same moment, to work that is parallel by
  nature (a pure loop, no data): on a shared machine, other load lowers both figures.

Then the peak resident memory (Linux's VmHWM) of a serial run over a catalogue of MEMORY_PAIRS
pairs from HDF5, in a child process, and of the client and the workers of a cluster run over it.
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

from gmms.catalogue import run, synthetic  # noqa: E402
from gmms.catalogue.models import MODELS, SITE  # noqa: E402
from gmms.siblings import use_siblings  # noqa: E402


def make(directory, model, n_scenarios, n_sites):
    scenarios = synthetic.scenarios(model, n_scenarios, seed=1)
    s_path, p_path = directory / f"{model}-s.h5", directory / f"{model}-p.h5"
    synthetic.write(s_path, [scenarios])
    synthetic.write(p_path, synthetic.pairs(model, scenarios.scenario_id.to_numpy(), n_sites,
                                            seed=2, block_scenarios=max(1, 200_000 // n_sites)))
    return scenarios, s_path, p_path


def pandas_table(path):
    import h5py
    import pandas as pd

    with h5py.File(path, "r") as file:
        return pd.DataFrame({name: file[name][:] for name in file})


def bare_loop(model, scenarios, p_path):
    """Seconds for one entry call per scenario over pre-grouped in-memory arrays."""
    import h5py

    spec = MODELS[model]
    entry = getattr(__import__(f"gmms.{model}", fromlist=[model]), spec.entry_name)
    with h5py.File(p_path, "r") as file:
        ids = file["scenario_id"][:]
        sites = {name: file[name][:] for name in spec.site_columns}
    bounds = np.flatnonzero(np.diff(ids)) + 1
    groups = list(zip(np.concatenate(([0], bounds)), np.concatenate((bounds, [len(ids)]))))
    rows = scenarios.to_dict("records")
    calls = []
    for (lo, hi), row in zip(groups, rows):
        calls.append([sites[name][lo:hi] if kind == SITE else row[name]
                      for name, kind in spec.parameters])
    start = time.perf_counter()
    for args in calls:
        entry(*args)
    return time.perf_counter() - start


def spin(n):
    total = 0
    for i in range(n):
        total += i
    return total


def ceiling(client, workers, n=3_000_000):
    """Speed-up of the same cluster on work that is parallel by nature (no data, no files):
    what the machine offers at this moment; other load on a shared machine lowers it."""
    one = timed(lambda: [spin(n) for _ in range(2 * workers)])
    many = timed(lambda: client.gather([client.submit(spin, n, pure=False)
                                        for _ in range(2 * workers)]))
    return one / many


def timed(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


MEMORY_CHILD = """
import sys
sys.path[:0] = [{root!r}]
from gmms.catalogue import run


def peak_kib():
    # The high-water mark of this process's own memory: unlike ru_maxrss, it does not start
    # from the size of the parent it was forked from.
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


mode = sys.argv[1]
if mode == "serial":
    run("Tarvik", {s!r}, {p!r}, serial=True, out={out!r})
    print(peak_kib())
else:
    from distributed import Client
    from gmms.catalogue.executors import local_cluster
    if __name__ == "__main__":
        with local_cluster(int(mode)) as cluster, Client(cluster) as client:
            run("Tarvik", {s!r}, {p!r}, client=client, out={out!r})
            print(peak_kib(), *client.run(peak_kib).values())
"""


def peak_memory(directory, pairs, workers):
    n_sites = 1000
    n_scenarios = max(1, pairs // n_sites)
    _, s_path, p_path = make(directory, "Tarvik", n_scenarios, n_sites)
    size = sum(os.path.getsize(p) for p in (s_path, p_path))
    script = directory / "memory_child.py"
    script.write_text(MEMORY_CHILD.format(root=str(ROOT), s=str(s_path), p=str(p_path),
                                          out=str(directory / "memory-out.h5")))
    results = {}
    for mode in ("serial", str(workers)):
        done = subprocess.run([sys.executable, str(script), mode], capture_output=True,
                              text=True, check=True, timeout=3600)
        results[mode] = [int(kib) / 1024 for kib in done.stdout.split()]
    return n_scenarios * n_sites, size / 2**20, results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenarios", type=int, default=1000)
    parser.add_argument("--sites", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--memory-pairs", type=int, default=10_000_000,
                        help="pairs of the memory run (0: skip it)")
    parser.add_argument("--models", nargs="*", default=list(MODELS))
    args = parser.parse_args()
    use_siblings()

    from distributed import Client

    from gmms.catalogue.executors import local_cluster

    with tempfile.TemporaryDirectory(prefix="gmms-bench-") as tmp:
        directory = pathlib.Path(tmp)
        start = time.perf_counter()
        cluster = local_cluster(args.workers)
        client = Client(cluster)
        startup = time.perf_counter() - start
        pairs = args.scenarios * args.sites
        print(f"catalogue: {args.scenarios} scenarios x {args.sites} sites = {pairs} pairs, "
              f"HDF5 in and out; best of {args.repeat}; {os.cpu_count()} cores; "
              f"local cluster of {args.workers} worker processes started in {startup:.1f} s")
        print(f"load average before: {os.getloadavg()[0]:.2f}")
        print(f"{'model':8} {'bare Mpair/s':>13} {'memory/bare':>11} {'serial Mpair/s':>15} "
              f"{'serial/bare':>12} "
              f"{'workers Mpair/s':>16} {'speed-up':>9} {'ceiling':>9}")
        for model in args.models:
            scenarios, s_path, p_path = make(directory, model, args.scenarios, args.sites)
            out = directory / f"{model}-out.h5"
            run(model, s_path, p_path, client=client, out=out)     # warm the workers
            frames = (scenarios, pandas_table(p_path))
            times = {"bare": [], "memory": [], "serial": [], "workers": []}
            ceilings = []
            for _ in range(args.repeat):
                ceilings.append(ceiling(client, args.workers))
                times["bare"].append(bare_loop(model, scenarios, p_path))
                times["memory"].append(timed(lambda: run(model, *frames, serial=True)))
                times["serial"].append(timed(lambda: run(model, s_path, p_path, serial=True,
                                                         out=out)))
                times["workers"].append(timed(lambda: run(model, s_path, p_path, client=client,
                                                          out=out)))
            best = {mode: min(values) for mode, values in times.items()}
            rate = {mode: pairs / seconds / 1e6 for mode, seconds in best.items()}
            print(f"{model:8} {rate['bare']:13.3f} {best['memory'] / best['bare']:11.2f} "
                  f"{rate['serial']:15.3f} {best['serial'] / best['bare']:12.2f} "
                  f"{rate['workers']:16.3f} "
                  f"{best['serial'] / best['workers']:9.2f} {max(ceilings):9.2f}", flush=True)
        client.close()
        cluster.close()
        if args.memory_pairs:
            n, size_mib, peaks = peak_memory(directory, args.memory_pairs, args.workers)
            serial = peaks["serial"][0]
            client_peak, *worker_peaks = peaks[str(args.workers)]
            print(f"peak memory, Tarvik, {n} pairs ({size_mib:.0f} MiB of HDF5 input): "
                  f"serial {serial:.0f} MiB; {args.workers} workers: client {client_peak:.0f} MiB, "
                  f"workers {', '.join(f'{p:.0f}' for p in worker_peaks)} MiB")
    print(f"load average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
