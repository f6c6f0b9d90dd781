"""Where a catalogue's tasks run: in this process, on a local cluster, or on a Dask cluster.

A run chooses one executor (``choose``) and then uses it the same way whatever it is: entered
(``with``) to start or connect, ``results(function, tasks)`` to evaluate the tasks and get their
results back in task order, left to close what it started. Dask is imported only by the executors
that use it.
"""

import collections
import logging
import os
import uuid
import warnings

from .errors import CatalogueError
from .tables import visible

WORKER_WAIT_S = 60
CONNECT_S = 30


def choose(*, client=None, scheduler=None, workers=None, serial=False):
    """The executor for the ways to run a caller named (at most one; none: a local cluster)."""
    chosen = [name for name, given in (("client", client is not None),
                                       ("scheduler", scheduler is not None),
                                       ("workers", workers is not None), ("serial", serial))
              if given]
    if len(chosen) > 1:
        raise ValueError(f"choose one way to run, not {' and '.join(chosen)}")
    if workers is not None and workers < 1:
        raise ValueError("workers must be at least 1")
    if client is not None:
        return ClientExecutor(client)
    if scheduler is not None:
        return SchedulerExecutor(scheduler)
    if serial:
        return SerialExecutor()
    return LocalClusterExecutor(workers)


class SerialExecutor:
    """In this process, one task after the other, without Dask."""

    mode = "serial"
    in_process = True       # tasks may hold objects of this process
    local = True            # the processes that evaluate see this machine's files

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def sees(self, *descriptors):
        return True

    def results(self, function, tasks, timeout=None):
        for task in tasks:
            yield function(task)


class ClientExecutor:
    """On the Dask cluster of a ``distributed.Client`` the caller gives (and keeps open)."""

    mode = "client"
    in_process = False
    local = False

    def __init__(self, client=None):
        self.client = client

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def sees(self, *descriptors):
        """Whether every worker sees the files as this process checked them."""
        if self.local:
            return True
        seen = self.client.run(visible, *descriptors)
        return bool(seen) and all(seen.values())

    def results(self, function, tasks, timeout=None):
        """Submit the tasks, enough at a time to keep every worker busy, and yield their
        results in task order. Results that finish early wait, up to a bound that keeps
        memory in check."""
        from distributed import TimeoutError as DaskTimeout
        from distributed import wait
        from distributed.scheduler import KilledWorker

        client = self.client
        run_id = uuid.uuid4().hex[:8]
        running_max = max(2, 2 * sum(client.nthreads().values()))
        held_max = 4 * running_max
        tasks = iter(tasks)
        pending = collections.deque()       # (task, future) in task order

        def result(task, future):
            try:
                return future.result(timeout=timeout)
            except (KilledWorker, DaskTimeout, TimeoutError) as error:
                raise CatalogueError(f"task {task.index} (pairs from row {task.first_row}) was "
                                     f"not evaluated: {type(error).__name__}: {error}") from None

        try:
            while True:
                running = [future for _, future in pending if not future.done()]
                while len(running) < running_max and len(pending) < held_max:
                    task = next(tasks, None)
                    if task is None:
                        break
                    with warnings.catch_warnings():
                        # Rows sent along by the client are large by design.
                        warnings.filterwarnings("ignore", message="Large object of size")
                        future = client.submit(function, task,
                                               key=f"gmms-catalogue-{task.model}-{run_id}-{task.index}")
                    pending.append((task, future))
                    running.append(future)
                if not pending:
                    return
                failed = next((item for item in pending if item[1].status == "error"), None)
                if failed is not None:
                    result(*failed)                     # raises the task's error now
                if pending[0][1].done():
                    yield result(*pending.popleft())
                else:
                    try:
                        wait(running, timeout=timeout, return_when="FIRST_COMPLETED")
                    except (DaskTimeout, TimeoutError):
                        raise CatalogueError(f"no task finished within {timeout} s") from None
        except BaseException:
            if pending:
                client.cancel([future for _, future in pending])
            raise


class SchedulerExecutor(ClientExecutor):
    """On the Dask cluster whose scheduler listens at ``address``; connects when entered."""

    mode = "scheduler"

    def __init__(self, address):
        super().__init__()
        self.address = address

    def __enter__(self):
        from distributed import Client

        try:
            self.client = Client(self.address, timeout=CONNECT_S)
        except (OSError, ValueError) as error:
            raise CatalogueError(f"cannot reach the Dask scheduler at {self.address}: "
                                 f"{error}") from None
        try:
            self.client.wait_for_workers(1, timeout=WORKER_WAIT_S)
        except Exception:
            self.client.close()
            raise CatalogueError(f"no Dask worker joined the scheduler at {self.address} "
                                 f"within {WORKER_WAIT_S} s") from None
        return self

    def __exit__(self, *exc):
        self.client.close()
        return False


class LocalClusterExecutor(ClientExecutor):
    """On a cluster of ``workers`` processes on this machine (default: one per core), started
    when entered and stopped when left."""

    local = True

    def __init__(self, workers=None):
        super().__init__()
        self.workers = workers
        self.mode = "local" if workers is None else "workers"
        self._cluster = None

    def __enter__(self):
        from distributed import Client

        self._cluster = local_cluster(self.workers)
        try:
            self.client = Client(self._cluster)
        except BaseException:
            self._cluster.close()
            raise
        return self

    def __exit__(self, *exc):
        try:
            self.client.close()
        finally:
            self._cluster.close()
        return False


def local_cluster(workers=None):
    """The local cluster a run starts when given no other: ``workers`` processes (default: one
    per core) with one thread each, listening on 127.0.0.1 only.

    Processes, not threads: an entry call holds the interpreter lock from start to end, so
    threads in one process would take turns, not run side by side. The workers keep the C
    library's own memory allocation settings: Dask's nanny sets MALLOC_TRIM_THRESHOLD_ by
    default, which hands freed memory back to the system at once and so makes every large
    array a fresh mapping of zeroed pages, several times slower on some machines than the
    partition's model work itself.
    """
    import dask
    from distributed import LocalCluster

    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", default={}))
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ}):
        return LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                            processes=True, host="127.0.0.1", dashboard_address=None,
                            silence_logs=logging.ERROR)
