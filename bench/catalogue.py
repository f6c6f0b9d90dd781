"""Benchmark of the catalogue command: whole commands, their task loops, the client's CPU, the
scaling over workers, and memory.

    /usr/bin/python3 bench/catalogue.py [--scenarios 1000] [--sites 1000] [--repeat 5]
        [--big-pairs 10000000] [--big-repeat 3] [--sleep-pairs 200000] [--sleep-us 200]
        [--scaling 1 2 4 8] [--models ...] [--only table big scaling]

Every command runs as the user runs it, in a process of its own, from HDF5 to HDF5; its whole
time includes starting the interpreter and, on a cluster, starting the cluster. Side by side in
one run, medians of REPEAT (BIG_REPEAT at BIG_PAIRS):

- table (SCENARIOS x SITES pairs per model): a bare loop of entry calls over arrays already
  grouped by scenario in memory (no reading, checking or writing), ``--serial``,
  ``--workers 2`` and the default (no mode given; the mode it chose in brackets). The default
  is compared with the faster of the other two;
- big (BIG_PAIRS per model): ``--serial`` against ``--workers 2``, and the peak memory (VmHWM)
  of the client and of each worker;
- scaling: ``Morrand`` with sibling modules whose every call also sleeps SLEEP_US (so that the
  work needs no CPU) over SLEEP_PAIRS pairs, on 1, 2, 4, 8 workers: the whole command and its
  task loop (first task to file in place), each against 1 worker.

Client CPU is the command's own CPU time (all its threads, the embedded scheduler's included)
over its task loop, per 10^6 pairs. The ceiling is what two processes gave, at that moment, to
work that is parallel by nature (a pure loop): what the shared machine had to offer.
"""

import argparse
import json
import multiprocessing
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT)]

import numpy as np  # noqa: E402

from gmms.catalogue import synthetic  # noqa: E402
from gmms.models import MODELS, SITES  # noqa: E402
from gmms.siblings import STANDIN_DIR, use_siblings  # noqa: E402

# The command line, reporting its task loop's times and its own peak memory as JSON.
COMMAND = """
import argparse, json, sys
sys.path[:0] = [{root!r}]
from gmms.catalogue.cli import add_parser
from gmms.catalogue.runner import run_with_summary
parser = argparse.ArgumentParser()
add_parser(parser.add_subparsers(dest="command"))
a = parser.parse_args(["catalogue", *sys.argv[1:]])
_, s = run_with_summary(a.model, a.scenarios, a.pairs, out=a.out, workers=a.workers,
                        serial=a.serial, siblings=a.siblings, batch_pairs=a.batch_pairs)
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
print(json.dumps(dict(loop=s.loop_seconds, cpu=s.loop_cpu_seconds, mode=s.mode,
                      tasks=s.partitions, peak_mib=peak / 1024)))
"""

SLEEPING = """
\"\"\"The stand-in {name}, each of whose functions also sleeps {sleep_us} us per call.\"\"\"
import importlib.util
import time

_spec = importlib.util.spec_from_file_location("_standin", {standin!r})
_standin = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_standin)


def _sleeping(function):
    def call(*args):
        time.sleep({sleep_us} / 1e6)
        return function(*args)
    return call


{functions}
"""


def make(directory, model, n_scenarios, n_sites):
    scenarios = synthetic.scenarios(model, n_scenarios, seed=1)
    s_path, p_path = directory / f"{model}-s.h5", directory / f"{model}-p.h5"
    synthetic.write(s_path, [scenarios])
    synthetic.write(p_path, synthetic.pairs(model, scenarios.scenario_id.to_numpy(), n_sites,
                                            seed=2, block_scenarios=max(1, 200_000 // n_sites)))
    return scenarios, s_path, p_path


def bare_loop(model, scenarios, p_path):
    """Seconds for one entry call per scenario over pre-grouped in-memory arrays."""
    import h5py

    spec = MODELS[model]
    entry = getattr(__import__(f"gmms.{model}", fromlist=[model]), spec.entry)
    with h5py.File(p_path, "r") as file:
        ids = file["scenario_id"][:]
        sites = {name: file[name][:] for name in spec.site_columns}
    bounds = np.flatnonzero(np.diff(ids)) + 1
    groups = list(zip(np.concatenate(([0], bounds)), np.concatenate((bounds, [len(ids)]))))
    calls = [[sites[p.name][lo:hi] if p.kind == SITES else row[p.name]
              for p in spec.parameters]
             for (lo, hi), row in zip(groups, scenarios.to_dict("records"))]
    start = time.perf_counter()
    for args in calls:
        entry(*args)
    return time.perf_counter() - start


def _peaks_of_descendants(pid, peaks, stop):
    """Poll the peak memory (VmHWM, MiB) of every process below ``pid`` until ``stop``."""
    while not stop.is_set():
        children = {}
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/status") as status:
                        fields = dict(line.split(":", 1) for line in status)
                    children[int(entry)] = (int(fields["PPid"]), fields.get("VmHWM"))
                except (OSError, ValueError, KeyError):
                    continue
        below = {pid}
        for _ in range(4):                 # client -> nanny -> worker, and a little more
            below |= {p for p, (parent, _) in children.items() if parent in below}
        for p in below - {pid}:
            hwm = children[p][1]
            if hwm:
                peaks[p] = max(peaks.get(p, 0), int(hwm.split()[0]) / 1024)
        stop.wait(0.5)


def command(*arguments, watch=False):
    """Run the catalogue command; its whole wall time, its report, and (with ``watch``) the
    peak memory of the processes it started."""
    peaks, stop = {}, threading.Event()
    start = time.perf_counter()
    process = subprocess.Popen([sys.executable, "-c", COMMAND.format(root=str(ROOT)),
                                *map(str, arguments)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, cwd=ROOT)
    watcher = threading.Thread(target=_peaks_of_descendants, args=(process.pid, peaks, stop))
    if watch:
        watcher.start()
    out, err = process.communicate(timeout=7200)
    whole = time.perf_counter() - start
    stop.set()
    if watch:
        watcher.join()
    if process.returncode:
        raise RuntimeError(f"the command failed: {err}")
    report = json.loads(out.splitlines()[-1])
    report["whole"] = whole
    # Workers are the largest of the processes below the client (nannies are small).
    report["workers_mib"] = sorted(peaks.values())[-2:] if peaks else []
    return report


def spin(n):
    total = 0
    for i in range(n):
        total += i
    return total


def ceiling(n=3_000_000):
    """Speed-up of two processes on a pure loop, at this moment."""
    one = time.perf_counter()
    spin(n), spin(n)
    one = time.perf_counter() - one
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        pool.map(spin, [1000, 1000])
        two = time.perf_counter()
        pool.map(spin, [n, n])
        two = time.perf_counter() - two
    return one / two


def row(*cells):
    print("| " + " | ".join(cells) + " |", flush=True)


def header(*names):
    row(*names)
    row(*["---"] * len(names))


def median(reports, key):
    return statistics.median(report[key] for report in reports)


def table(directory, args):
    pairs = args.scenarios * args.sites
    print(f"\n## {args.scenarios} scenarios x {args.sites} sites = {pairs} pairs, HDF5 in and "
          f"out; medians of {args.repeat}; whole commands\n")
    header("model", "bare loop", "`--serial`", "`--workers 2`", "default", "`--serial` / bare",
           "`--serial` / `--workers 2`", "default / faster",
           "client CPU s per 10^6 pairs (`--workers 2`)", "ceiling")
    for model in args.models:
        scenarios, s_path, p_path = make(directory, model, args.scenarios, args.sites)
        out = directory / f"{model}-out.h5"
        base = [model, "--scenarios", s_path, "--pairs", p_path, "--out", out]
        options = {"serial": ["--serial"], "workers": ["--workers", 2], "default": []}
        runs = {mode: [] for mode in options}
        bare, ceilings = [], []
        for repeat in range(args.repeat):
            ceilings.append(ceiling())
            bare.append(bare_loop(model, scenarios, p_path))
            # A different order each time: a command that follows a cluster's shutdown pays.
            modes = list(options)[repeat % 3:] + list(options)[:repeat % 3]
            for mode in modes if repeat % 2 else reversed(modes):
                runs[mode].append(command(*base, *options[mode]))
        whole = {mode: median(reports, "whole") for mode, reports in runs.items()}
        faster = min(whole["serial"], whole["workers"])
        chosen = runs["default"][0]["mode"]
        cpu = median(runs["workers"], "cpu") / (pairs / 1e6)
        row(f"`{model}`", f"{statistics.median(bare):.3f} s", f"{whole['serial']:.2f} s",
            f"{whole['workers']:.2f} s", f"{whole['default']:.2f} s ({chosen})",
            f"{whole['serial'] / statistics.median(bare):.1f}",
            f"{whole['serial'] / whole['workers']:.2f}", f"{whole['default'] / faster:.2f}",
            f"{cpu:.3f}", f"{statistics.median(ceilings):.2f}")
        for path in (s_path, p_path, out):
            path.unlink()


def big(directory, args):
    n_sites = 1000
    n_scenarios = max(1, args.big_pairs // n_sites)
    pairs = n_scenarios * n_sites
    print(f"\n## {pairs} pairs, HDF5 in and out; medians of {args.big_repeat}; whole "
          "commands\n")
    header("model", "`--serial`", "`--workers 2`", "`--serial` / `--workers 2`",
           "task loop: `--serial` / `--workers 2`", "client CPU s per 10^6 pairs",
           "peak MiB: `--serial`", "peak MiB, `--workers 2`: client, workers", "ceiling")
    for model in args.models:
        _, s_path, p_path = make(directory, model, n_scenarios, n_sites)
        out = directory / f"{model}-out.h5"
        base = [model, "--scenarios", s_path, "--pairs", p_path, "--out", out]
        serial, workers, ceilings = [], [], []
        for repeat in range(args.big_repeat):
            ceilings.append(ceiling())
            if repeat % 2:
                workers.append(command(*base, "--workers", 2, watch=True))
            serial.append(command(*base, "--serial"))
            if not repeat % 2:
                workers.append(command(*base, "--workers", 2, watch=True))
        worker_peaks = max(peak for report in workers for peak in report["workers_mib"])
        row(f"`{model}`", f"{median(serial, 'whole'):.1f} s", f"{median(workers, 'whole'):.1f} s",
            f"{median(serial, 'whole') / median(workers, 'whole'):.2f}",
            f"{median(serial, 'loop') / median(workers, 'loop'):.2f}",
            f"{median(workers, 'cpu') / (pairs / 1e6):.3f}",
            f"{max(r['peak_mib'] for r in serial):.0f}",
            f"{max(r['peak_mib'] for r in workers):.0f}, {worker_peaks:.0f}",
            f"{statistics.median(ceilings):.2f}")
        for path in (s_path, p_path, out):
            path.unlink()


def sleeping_siblings(directory, sleep_us):
    """A directory of stand-ins that sleep ``sleep_us`` in every call."""
    siblings = directory / "sleeping"
    siblings.mkdir(exist_ok=True)
    for name, functions in (("Dovecar", ("get_mu_cy", "get_alpha_cy")),
                            ("Brisquell", ("get_mu_cy", "get_phi_cy", "get_tau_cy"))):
        (siblings / f"{name}.py").write_text(SLEEPING.format(
            name=name, sleep_us=sleep_us, standin=str(STANDIN_DIR / f"{name}.py"),
            functions="\n".join(f"{f} = _sleeping(_standin.{f})" for f in functions)))
    return siblings


def scaling(directory, args):
    n_sites = 1000
    n_scenarios = max(1, args.sleep_pairs // n_sites)
    pairs = n_scenarios * n_sites
    siblings = sleeping_siblings(directory, args.sleep_us)
    _, s_path, p_path = make(directory, "Morrand", n_scenarios, n_sites)
    out = directory / "sleeping-out.h5"
    print(f"\n## Morrand, siblings sleeping {args.sleep_us} us per call (3 calls per pair), "
          f"{pairs} pairs; one run each\n")
    header("workers", "tasks", "whole command", "speed-up", "task loop", "speed-up",
           "client CPU s per 10^6 pairs")
    first = None
    for n in args.scaling:
        report = command("Morrand", "--scenarios", s_path, "--pairs", p_path, "--out", out,
                         "--siblings", siblings, "--workers", n)
        first = first or report
        row(str(n), str(report["tasks"]), f"{report['whole']:.1f} s",
            f"{first['whole'] / report['whole']:.2f}", f"{report['loop']:.1f} s",
            f"{first['loop'] / report['loop']:.2f}", f"{report['cpu'] / (pairs / 1e6):.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scenarios", type=int, default=1000)
    parser.add_argument("--sites", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--big-pairs", type=int, default=10_000_000)
    parser.add_argument("--big-repeat", type=int, default=3)
    parser.add_argument("--sleep-pairs", type=int, default=200_000)
    parser.add_argument("--sleep-us", type=float, default=200)
    parser.add_argument("--scaling", type=int, nargs="*", default=[1, 2, 4, 8])
    parser.add_argument("--models", nargs="*", default=list(MODELS))
    parser.add_argument("--only", nargs="*", default=["table", "big", "scaling"],
                        choices=["table", "big", "scaling"])
    args = parser.parse_args()
    use_siblings()
    print(f"{os.cpu_count()} cores; load average before: {os.getloadavg()[0]:.2f}")
    with tempfile.TemporaryDirectory(prefix="gmms-bench-") as tmp:
        directory = pathlib.Path(tmp)
        for part in args.only:
            {"table": table, "big": big, "scaling": scaling}[part](directory, args)
    print(f"\nload average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
