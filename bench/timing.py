"""Timing shared by the benchmarks."""

import math
import time


def best_cpu_seconds(runs, repeats):
    """{label: the least CPU time of ``repeats`` calls of run}, the runs taking turns so that a
    change of the machine's load falls on all of them alike."""
    best = dict.fromkeys(runs, math.inf)
    for _ in range(repeats):
        for label, run in runs.items():
            start = time.process_time()
            run()
            best[label] = min(best[label], time.process_time() - start)
    return best
