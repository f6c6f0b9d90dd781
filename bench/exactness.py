"""Child of run.py: Tarvik_cy against the numpy comparator with numpy's AVX-512 kernels off.

Run with NPY_DISABLE_CPU_FEATURES="AVX512F AVX512_SKX" in the environment (it must be set before
numpy is imported). Arguments: a directory holding R_rup.npy, Vs30.npy and mean.npy (Tarvik_cy's
means from the parent process), the JSON list of the scalar arguments, and optionally --no-timing.
Prints JSON.
"""

import json
import statistics
import sys
import time
from pathlib import Path

import numpy as np
from numpy.core._multiarray_umath import __cpu_features__

sys.path[:0] = [str(Path(__file__).resolve().parent), str(Path(__file__).resolve().parent.parent)]
import comparators  # noqa: E402
from gmms import Tarvik  # noqa: E402
from run import ulp_distance  # noqa: E402


def main():
    directory = Path(sys.argv[1])
    IM, M, lat, lon, depth, fins, fint, fnm, frv = json.loads(sys.argv[2])
    R_rup, Vs30 = np.load(directory / "R_rup.npy"), np.load(directory / "Vs30.npy")
    parent = np.load(directory / "mean.npy")
    args = (IM, M, lat, lon, depth, R_rup, Vs30, fins, fint, fnm, frv)
    theirs = comparators.tarvik_numpy(*args)[0]
    ours = Tarvik.Tarvik_cy(*args)[0]
    dist = ulp_distance(parent, theirs)
    times = {"ours": [1.0], "numpy": [1.0]} if "--no-timing" in sys.argv else {"ours": [], "numpy": []}
    for _ in range(0 if "--no-timing" in sys.argv else 5):
        for label, f in (("ours", Tarvik.Tarvik_cy), ("numpy", comparators.tarvik_numpy)):
            start = time.perf_counter()
            f(*args)
            times[label].append(time.perf_counter() - start)
    print(json.dumps({
        "avx512f_enabled": bool(__cpu_features__.get("AVX512F")),
        "sites": len(parent),
        "identical": int((dist == 0).sum()),
        "max_ulp": int(dist.max()) if len(parent) else 0,
        "same_as_parent": bool(np.array_equal(ours, parent, equal_nan=True)),
        "ratio": None if "--no-timing" in sys.argv else statistics.median(times["ours"]) / statistics.median(times["numpy"]),
    }))


if __name__ == "__main__":
    main()
