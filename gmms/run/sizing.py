"""How big a run's tasks are, and whether a cluster can pay for itself, estimated before the
tables are read.

The estimates use what one pair costs from HDF5 in to HDF5 out in one process (measured with
bench/catalogue.py on a 2-core machine, the sibling stand-ins for ``Morrand`` and ``Sellwyn``) and
what starting a local cluster costs. They only have to be right within a factor of two or so:
they decide between a run that takes about as long either way.
"""

import math
import os

# Seconds per pair, one process, reading, evaluating and writing included.
PAIR_S = {"Tarvik": 150e-9, "Morrand": 1.0e-6, "Sellwyn": 2.1e-6}
DEFAULT_PAIR_S = 2e-6              # a model not measured yet: assume the slowest
# With sibling modules other than the stand-ins (the real ones), a pair costs what their three
# or four calls cost: unknown here, and most likely more than the stand-ins' arithmetic.
OTHER_SIBLINGS_PAIR_S = 20e-6

# Starting a local cluster of n workers: about this, plus this much per worker.
CLUSTER_START_S = 0.5
CLUSTER_START_PER_WORKER_S = 0.55

TASKS_PER_WORKER = 4               # so that a slow task or a lost worker does not leave others idle
MIN_TASK_S = 0.05                  # a task costs a few milliseconds to send, write and account for
MAX_TASK_PAIRS = 400_000           # what one task holds in memory: about 50 MiB at most


def pair_seconds(model_name, other_siblings=False):
    if other_siblings:
        return OTHER_SIBLINGS_PAIR_S
    return PAIR_S.get(model_name, DEFAULT_PAIR_S)


def estimate_rows(source):
    """The number of rows of a table, exact for HDF5 and DataFrames, estimated for CSV from the
    length of its first lines."""
    rows = getattr(source, "rows", None)
    if rows is not None:
        return rows
    path = source.label
    size = os.path.getsize(path)
    with open(path, "rb") as file:
        file.readline()                                       # the header
        start = file.tell()
        sample = file.read(1 << 16)
    lines = sample.count(b"\n")
    if not lines:
        return 1 if size > start else 0
    return math.ceil((size - start) / (len(sample) / lines))


def batch_pairs(model_name, n_pairs, n_workers, other_siblings=False):
    """Pairs per task: several tasks per worker, none too small to be worth sending, none too
    big for a worker's memory."""
    smallest = math.ceil(MIN_TASK_S / pair_seconds(model_name, other_siblings))
    share = math.ceil(n_pairs / (TASKS_PER_WORKER * max(1, n_workers)))
    return max(1, min(MAX_TASK_PAIRS, max(smallest, share)))


def cluster_pays(model_name, n_pairs, n_workers, other_siblings=False):
    """Whether n_workers started for this run would finish it sooner than this process alone:
    their start-up must cost less than the work they take off it."""
    if n_workers < 2:
        return False
    work_s = n_pairs * pair_seconds(model_name, other_siblings)
    start_s = CLUSTER_START_S + CLUSTER_START_PER_WORKER_S * n_workers
    return work_s * (1 - 1 / n_workers) > start_s


def default_workers():
    return os.cpu_count() or 1
