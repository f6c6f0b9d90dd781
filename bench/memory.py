"""Child of run.py: peak memory of one call of a model, in a fresh process.

    memory.py MODEL N_SITES traced|rss

traced: tracemalloc is started after the inputs exist, so its peak over the call is everything
the call allocated at its highest point (numpy reports its array memory to tracemalloc, and the
interpreter's own objects are traced too): the three outputs, any working arrays, any copies and
the sibling calls' argument objects alive at that moment.

rss: without tracemalloc, the growth of the process's peak resident set over the call: VmHWM of
/proc/self/status on Linux (ru_maxrss elsewhere; Linux carries ru_maxrss over from the parent
across exec, so it would show the parent's peak). The inputs are created and written before, so
their pages are already resident.

The siblings return constants, so that only this library's allocations are seen. Prints JSON
with the byte counts of the inputs and outputs as well.
"""

import gc
import json
import resource
import sys
import tracemalloc
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "bench"), str(ROOT / "siblings"), str(ROOT)]

import numpy as np  # noqa: E402

import comparators  # noqa: E402
import run  # noqa: E402


def peak_rss():
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main():
    model, n, method = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    rng = np.random.default_rng(11)
    if model == "Tarvik":
        from gmms import Tarvik
        entry, args = Tarvik.Tarvik_cy, run.tarvik_args(n, rng)
    elif model == "Morrand":
        from gmms import Morrand
        entry, args = Morrand.Morrand_cy, run.morrand_args(n, rng)
        Morrand.Dovecar = comparators.constant_siblings()[0]
    else:
        from gmms import Sellwyn
        entry, args = Sellwyn.Sellwyn_cy, run.sellwyn_args(n, rng)
        Sellwyn.Brisquell = comparators.constant_siblings()[1]
    inputs = sum(a.nbytes for a in args if isinstance(a, np.ndarray))
    outputs = 3 * 8 * n
    entry(*(a[:1] if isinstance(a, np.ndarray) else a for a in args))  # load what a first call loads
    gc.collect()
    report = {"model": model, "sites": n, "inputs": inputs, "outputs": outputs}
    if method == "traced":
        tracemalloc.start()
        result = entry(*args)
        report["peak"] = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    else:
        before = peak_rss()
        result = entry(*args)
        report["rss_growth"] = peak_rss() - before
    assert len(result[0]) == n
    print(json.dumps(report))


if __name__ == "__main__":
    main()
