"""Benchmark of hazard maps from a source model: pairs within the maximum distance per second,
serial and on a local cluster of 2 workers, peak memory, and the pair-table route beside it.

    /usr/bin/python3 bench/hazard_map.py [--models Tarvik Morrand] [--spacing 1.86]
        [--area-discretization 10] [--maximum-distance 100] [--repeat 1]
        [--table-spacing 1.0] [--only map table] [--profile]

The inputs, written to a temporary directory: a region of 2 x 2 degrees (10 to 12 E, 44 to 46 N)
covered by a grid of sites SPACING km apart (about 10^4 sites at 1.86 km), and a source model of
the crust inside it: two area sources of 0.8 x 0.8 degrees (truncated Gutenberg-Richter 5.0 to
7.0 in bins of 0.1, two nodal planes, two depths, points AREA_DISCRETIZATION km apart) and two
straight faults (M 5.5 to 7.3, floating ruptures on a 2 km mesh): 12,458 ruptures at 10 km,
37,418 at 5 km. 40 levels, truncation 3, MAXIMUM_DISTANCE km.

Each run is a job (``gmms.hazard.maps.run_job_with_notes``, writing its HDF5 file) in a process of
its own, as the command runs it; its time is the job's whole time (reading the source model,
making the grid, starting the cluster, ruptures, distances, the model, the kernel, merging,
maps, writing). Side by side in one run, per model (``Morrand`` with the stand-in siblings):

- map: ``serial`` and ``workers 2``, taking turns (REPEAT times each, the median), with the
  ceiling two processes offer at that moment (``bench/catalogue.py``'s pure loop, measured
  just before and just after each 2-worker run); pairs within the maximum distance per second
  (per core: the serial figure; the 2-worker figure over 2), the speed-up against serial and
  against the ceiling; peak memory (VmHWM) of the client and of each process below it, polled
  from /proc, and their sum (an upper bound of the whole tree at any one moment); the size of
  everything the run wrote;
- table (Tarvik only): a smaller region (10.8 to 11.2 E, 44.8 to 45.2 N at TABLE_SPACING km)
  through ``python3 -m gmms ruptures`` (the pair table, HDF5) and then ``python3 -m gmms hazard
  Tarvik --serial``, whole commands, against the job on the same sites, serial; the two give
  the same bits, which is checked.

With ``--profile``: a serial job of the first model under cProfile in this process, the
functions with the most time of their own.
"""

import argparse
import cProfile
import itertools
import json
import os
import pathlib
import pstats
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "bench"), str(ROOT)]

import numpy as np  # noqa: E402
from catalogue import ceiling  # noqa: E402

REGION = ((10.0, 44.0), (12.0, 44.0), (12.0, 46.0), (10.0, 46.0))
TABLE_REGION = ((10.8, 44.8), (11.2, 44.8), (11.2, 45.2), (10.8, 45.2))
N_LEVELS = 40
# The same levels for both routes, as text.
LEVELS = [repr(float(x)) for x in np.geomspace(0.001, 10.0, N_LEVELS)]
TRUNCATION = 3
# Each model as the job's [models] line gives it, and the IM it gives.
MODELS = {"Tarvik": ("Tarvik(IM=1)", "CAV"),
          "Morrand": ("Morrand(CAVgmType=1, PSVcheck=1)", "CAVdp")}
VS30, Z1PT0, Z2PT5 = 760.0, 48.0, 0.6

HEAD = """<?xml version="1.0" encoding="utf-8"?>
<nrml xmlns="http://openquake.org/xmlns/nrml/0.5" xmlns:gml="http://www.opengis.net/gml">
  <sourceModel name="hazard map benchmark">
    <sourceGroup name="crust" tectonicRegion="Active Shallow Crust">
"""
AREA = """      <areaSource id="{id}" name="zone {id}" tectonicRegion="Active Shallow Crust">
        <areaGeometry>
          <gml:Polygon><gml:exterior><gml:LinearRing>
            <gml:posList>{ring}</gml:posList>
          </gml:LinearRing></gml:exterior></gml:Polygon>
          <upperSeismoDepth>0.0</upperSeismoDepth>
          <lowerSeismoDepth>20.0</lowerSeismoDepth>
        </areaGeometry>
        <magScaleRel>WC1994</magScaleRel>
        <ruptAspectRatio>1.5</ruptAspectRatio>
        <truncGutenbergRichterMFD aValue="3.5" bValue="1.0" minMag="5.0" maxMag="7.0"/>
        <nodalPlaneDist>
          <nodalPlane probability="0.5" strike="0.0" dip="90.0" rake="0.0"/>
          <nodalPlane probability="0.5" strike="135.0" dip="45.0" rake="90.0"/>
        </nodalPlaneDist>
        <hypoDepthDist>
          <hypoDepth probability="0.5" depth="5.0"/>
          <hypoDepth probability="0.5" depth="10.0"/>
        </hypoDepthDist>
      </areaSource>
"""
FAULT = """      <simpleFaultSource id="{id}" name="fault {id}" tectonicRegion="Active Shallow Crust">
        <simpleFaultGeometry>
          <gml:LineString><gml:posList>{trace}</gml:posList></gml:LineString>
          <dip>{dip}</dip>
          <upperSeismoDepth>0.0</upperSeismoDepth>
          <lowerSeismoDepth>15.0</lowerSeismoDepth>
        </simpleFaultGeometry>
        <magScaleRel>WC1994</magScaleRel>
        <ruptAspectRatio>2.0</ruptAspectRatio>
        <truncGutenbergRichterMFD aValue="3.0" bValue="1.0" minMag="5.5" maxMag="7.3"/>
        <rake>{rake}</rake>
      </simpleFaultSource>
"""
TAIL = """    </sourceGroup>
  </sourceModel>
</nrml>
"""

JOB = """[general]
description = hazard map benchmark ({model})
source_model_file = source_model.xml
region = {region}
region_grid_spacing = {spacing}
reference_vs30_value = {vs30}
reference_depth_to_1pt0km_per_sec = {z1pt0}
reference_depth_to_2pt5km_per_sec = {z2pt5}
intensity_measure_types_and_levels = {{"{imt}": [{levels}]}}
truncation_level = {truncation}
maximum_distance = {maximum_distance}
investigation_time = 50
poes = 0.1 0.02
area_source_discretization = {area}
rupture_mesh_spacing = 2
width_of_mfd_bin = 0.1

[models]
Active Shallow Crust = {model}
"""

# A job in a process of its own: its whole time, what it found and its own peak memory, as JSON.
CHILD = """
import json, sys, time
sys.path[:0] = [{root!r}]
from gmms.hazard import maps
from gmms.run.options import RunOptions

job, mode, out = sys.argv[1:4]
options = RunOptions(serial=True) if mode == "serial" else RunOptions(workers=int(mode))
start, cpu = time.perf_counter(), time.process_time()
result, notes = maps.run_job_with_notes(job, options, out=out)
seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
print(json.dumps(dict(result.summary, seconds=seconds, cpu=cpu, peak_mib=peak / 1024)))
"""


def ring(points):
    return " ".join(f"{lon} {lat}" for lon, lat in points)


def region_text(points):
    return ", ".join(f"{lon} {lat}" for lon, lat in points)


def write_inputs(directory, args):
    """The source model, and a job file per model (and per region) in ``directory``."""
    body = "".join(AREA.format(id=name, ring=ring(((w, s), (w + 0.8, s), (w + 0.8, s + 0.8),
                                                     (w, s + 0.8))))
                   for name, w, s in (("a1", 10.2, 44.2), ("a2", 11.0, 45.0)))
    body += FAULT.format(id="f1", trace="10.3 45.2 10.8 45.9", dip=60, rake=90)
    body += FAULT.format(id="f2", trace="11.2 44.2 11.9 44.6", dip=80, rake=0)
    (directory / "source_model.xml").write_text(HEAD + body + TAIL)
    jobs = {}
    for model in args.models:
        for name, region, spacing in (("map", REGION, args.spacing),
                                      ("table", TABLE_REGION, args.table_spacing)):
            path = directory / f"{model}-{name}.ini"
            path.write_text(JOB.format(
                model=MODELS[model][0], imt=MODELS[model][1], region=region_text(region),
                spacing=spacing, vs30=VS30,
                z1pt0=Z1PT0, z2pt5=Z2PT5, levels=", ".join(LEVELS), truncation=TRUNCATION,
                maximum_distance=args.maximum_distance, area=args.area_discretization))
            jobs[model, name] = path
    return jobs


def tree_size(path):
    path = pathlib.Path(path)
    if path.is_file():
        return path.stat().st_size
    return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())


def _peaks(pid, peaks, stop):
    """Poll the peak memory (VmHWM, MiB) of ``pid`` and every process below it until
    ``stop``."""
    while not stop.is_set():
        processes = {}
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/status") as status:
                        fields = dict(line.split(":", 1) for line in status)
                    processes[int(entry)] = (int(fields["PPid"]), fields.get("VmHWM"))
                except (OSError, ValueError, KeyError):
                    continue
        tree = {pid}
        for _ in range(5):                 # client -> nanny -> worker, and a little more
            tree |= {p for p, (parent, _) in processes.items() if parent in tree}
        for p in tree & processes.keys():
            hwm = processes[p][1]
            if hwm:
                peaks[p] = max(peaks.get(p, 0), int(hwm.split()[0]) / 1024)
        stop.wait(0.2)


def watched(argv, cwd):
    """Run ``argv``; (its wall time, stdout, its peak memory (MiB, sampled), and the peaks of
    the processes below it)."""
    peaks, stop = {}, threading.Event()
    start = time.perf_counter()
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               cwd=cwd, env=dict(os.environ, PYTHONPATH=str(ROOT)))
    watcher = threading.Thread(target=_peaks, args=(process.pid, peaks, stop))
    watcher.start()
    out, err = process.communicate(timeout=7200)
    whole = time.perf_counter() - start
    stop.set()
    watcher.join()
    if process.returncode:
        raise RuntimeError(f"{' '.join(map(str, argv[3:6]))} ... failed: {err}")
    own = peaks.pop(process.pid, 0.0)
    return whole, out, own, sorted(peaks.values())


_RUNS = itertools.count()


def job_run(job, mode, directory):
    """One job in a process of its own (``mode``: "serial" or a number of workers)."""
    out = directory / f"{job.stem}-{mode}-{next(_RUNS)}.h5"      # each run its own file
    script = CHILD.format(root=str(ROOT))
    whole, stdout, _, below = watched([sys.executable, "-c", script, str(job), str(mode),
                                       str(out)], job.parent)
    report = json.loads(stdout.splitlines()[-1])
    report.update(whole=whole, below_mib=below, written=tree_size(out),
                  out=str(out))
    return report


def row(*cells):
    print("| " + " | ".join(cells) + " |", flush=True)


def header(*names):
    row(*names)
    row(*["---"] * len(names))


def mpairs(pairs, seconds):
    return f"{pairs / seconds / 1e6:.2f} M"


def maps_part(jobs, directory, args):
    print(f"\n## Maps: {N_LEVELS} levels, truncation {TRUNCATION}, maximum distance "
          f"{args.maximum_distance:g} km; serial and 2 workers taking turns, medians of "
          f"{args.repeat}\n")
    header("model", "ruptures", "sites", "pairs within distance", "serial", "pairs/s serial",
           "2 workers", "pairs/s per core, 2 workers", "speed-up", "ceiling",
           "speed-up / ceiling", "peak MiB serial", "peak MiB 2 workers: client + below = sum",
           "written")
    for model in args.models:
        job = jobs[model, "map"]
        serial, workers, ceilings = [], [], []
        for repeat in range(args.repeat):
            if repeat % 2:
                serial.append(job_run(job, "serial", directory))
            before = ceiling()
            workers.append(job_run(job, 2, directory))
            ceilings.append((before + ceiling()) / 2)
            if not repeat % 2:
                serial.append(job_run(job, "serial", directory))
        first = serial[0]
        one = statistics.median(r["seconds"] for r in serial)
        two = statistics.median(r["seconds"] for r in workers)
        lid = statistics.median(ceilings)
        client = max(r["peak_mib"] for r in workers)
        below = max(sum(r["below_mib"]) for r in workers)
        serial_peak = max(r["peak_mib"] + sum(r["below_mib"]) for r in serial)
        row(f"`{model}`", str(first["ruptures"]), str(first["sites"]), f"{first['pairs']:,}",
            f"{one:.1f} s", mpairs(first["pairs"], one), f"{two:.1f} s",
            mpairs(first["pairs"], 2 * two), f"{one / two:.2f}", f"{lid:.2f}",
            f"{one / two / lid:.2f}", f"{serial_peak:.0f}",
            f"{client:.0f} + {below:.0f} = {client + below:.0f}",
            f"{max(r['written'] for r in serial + workers) / 2**20:.1f} MiB")
        _same(serial + workers)


def _same(reports):
    """The runs' mean curves are the same bits (they must be, whatever the mode)."""
    import h5py

    curves = []
    for report in reports:
        with h5py.File(report["out"], "r") as file:
            curves.append(file["annual_rate"][:])
        os.unlink(report["out"])
    if any(c.shape != curves[0].shape or c.tobytes() != curves[0].tobytes() for c in curves):
        print("  NOTE: the runs' curves differ in their bits", flush=True)


def table_part(jobs, directory, args):
    import h5py

    job = jobs["Tarvik", "table"]
    print(f"\n## The pair-table route: `ruptures` then `hazard Tarvik --serial` (whole commands, "
          f"HDF5) against the job, serial, on {region_text(TABLE_REGION)} at "
          f"{args.table_spacing:g} km; median of {args.repeat}\n")
    header("sites", "pairs", "job", "pairs/s job", "ruptures + hazard", "pairs/s table route",
           "job / table route (speed)", "table on disk", "peak MiB: job, ruptures, hazard",
           "same bits")
    s_path, p_path = directory / "s.h5", directory / "p.h5"
    ruptures_argv = [sys.executable, "-m", "gmms", "ruptures", "--sources", "source_model.xml",
                     f"--region={region_text(TABLE_REGION)}",
                     "--spacing", str(args.table_spacing),
                     "--vs30", str(VS30), "--z1pt0", str(Z1PT0), "--z2pt5", str(Z2PT5),
                     "--model", MODELS["Tarvik"][0], "--scenarios", s_path, "--pairs", p_path,
                     "--maximum-distance", str(args.maximum_distance),
                     "--rupture-mesh-spacing", "2", "--area-source-discretization",
                     str(args.area_discretization), "--width-of-mfd-bin", "0.1", "--quiet"]
    out = directory / "table-out.h5"
    hazard_argv = [sys.executable, "-m", "gmms", "hazard", "Tarvik", "--scenarios", s_path,
                   "--pairs", p_path, "--levels", *LEVELS, "--truncation", str(TRUNCATION),
                   "--out", out, "--serial"]
    direct, routes = [], []
    for repeat in range(args.repeat):
        if repeat % 2:
            direct.append(job_run(job, "serial", directory))
        made, _, made_peak, made_below = watched(list(map(str, ruptures_argv)), directory)
        size = tree_size(s_path) + tree_size(p_path)
        summed, _, summed_peak, summed_below = watched(list(map(str, hazard_argv)), directory)
        routes.append(dict(seconds=made + summed, size=size,
                           peaks=(made_peak + sum(made_below), summed_peak + sum(summed_below))))
        if not repeat % 2:
            direct.append(job_run(job, "serial", directory))
        with h5py.File(direct[-1]["out"], "r") as a, h5py.File(out, "r") as b:
            at = np.searchsorted(a["site_id"][:], b["site_id"][:])
            same = a["annual_rate"][:][at].tobytes() == b["annual_rate"][:].tobytes()
        routes[-1]["same"] = same
        for path in (s_path, p_path, out, pathlib.Path(direct[-1]["out"])):
            path.unlink()
    pairs = direct[0]["pairs"]
    one = statistics.median(r["whole"] for r in direct)      # whole commands, both
    two = statistics.median(r["seconds"] for r in routes)
    peaks = [max(r["peaks"][k] for r in routes) for k in (0, 1)]
    row(str(direct[0]["sites"]), f"{pairs:,}", f"{one:.1f} s", mpairs(pairs, one),
        f"{two:.1f} s", mpairs(pairs, two), f"{two / one:.2f}",
        f"{max(r['size'] for r in routes) / 2**20:.0f} MiB",
        f"{max(r['peak_mib'] for r in direct):.0f}, {peaks[0]:.0f}, {peaks[1]:.0f}",
        "yes" if all(r["same"] for r in routes) else "NO")


def profile(jobs, directory, args):
    from gmms.hazard import maps
    from gmms.run.options import RunOptions

    model = args.models[0]
    print(f"\n## Profile of a serial job, {model}\n", flush=True)
    profiler = cProfile.Profile()
    profiler.enable()
    result, _ = maps.run_job_with_notes(jobs[model, "map"], RunOptions(serial=True))
    profiler.disable()
    print(f"{result.summary['pairs']:,} pairs in {result.summary['seconds']:.1f} s (profiled)")
    pstats.Stats(profiler).sort_stats("tottime").print_stats(25)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--models", nargs="*", default=list(MODELS), choices=list(MODELS))
    parser.add_argument("--spacing", type=float, default=1.86,
                        help="km between the sites of the map's grid (default: about 10^4 sites)")
    parser.add_argument("--area-discretization", type=float, default=10.0,
                        help="km between an area source's points (10: 12,458 ruptures)")
    parser.add_argument("--maximum-distance", type=float, default=100.0)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--table-spacing", type=float, default=1.0,
                        help="km between the sites of the pair-table route's smaller region")
    parser.add_argument("--only", nargs="*", default=["map", "table"], choices=["map", "table"])
    parser.add_argument("--profile", action="store_true",
                        help="only profile a serial job of the first model")
    args = parser.parse_args()
    from gmms.siblings import use_siblings

    use_siblings()
    print(f"{os.cpu_count()} cores; load average before: {os.getloadavg()[0]:.2f}", flush=True)
    with tempfile.TemporaryDirectory(prefix="gmms-bench-") as tmp:
        directory = pathlib.Path(tmp)
        jobs = write_inputs(directory, args)
        if args.profile:
            profile(jobs, directory, args)
        else:
            if "map" in args.only:
                maps_part(jobs, directory, args)
            if "table" in args.only and "Tarvik" in args.models:
                table_part(jobs, directory, args)
    print(f"\nload average after: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
