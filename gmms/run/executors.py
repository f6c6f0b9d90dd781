"""Where a run's tasks run: in this process, on a local cluster, or on a Dask cluster.

A run chooses one executor (``choose``) and then uses it the same way whatever it is: entered
(``with``) to start or connect, ``results(function, tasks)`` to evaluate the tasks and get their
results back in task order, left to close what it started. Dask is imported only by the executors
that use it.
"""

import collections
import concurrent.futures
import itertools
import logging
import os
import uuid
import warnings

from gmms.errors import GmmsError
from gmms.pairs.tables import visible

from . import sizing
from .security import connection_error

WORKER_WAIT_S = 60
CONNECT_S = 30


def choose(*, client=None, scheduler=None, workers=None, serial=False, security=None):
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
        return SchedulerExecutor(scheduler, security)
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

    def writes_to(self, directory):
        return True

    def ready(self):
        """Wait until tasks can run (a local cluster may still be starting)."""

    @property
    def worker_count(self):
        return 1

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

    def writes_to(self, directory):
        """Whether every worker sees ``directory`` (the very one: a file put there now) and may
        write there."""
        if self.local:
            return True
        name = f".probe-{uuid.uuid4().hex}"
        path = os.path.join(directory, name)
        with open(path, "w", encoding="utf-8") as file:
            file.write(name)
        try:
            seen = self.client.run(_sees_file, directory, name)
        finally:
            os.unlink(path)
        return bool(seen) and all(seen.values())

    def ready(self):
        """Wait until tasks can run (a local cluster may still be starting)."""
        return self.client

    @property
    def worker_count(self):
        return max(1, sum(self.client.nthreads().values()))

    def results(self, function, tasks, timeout=None):
        """Submit the tasks, enough at a time to keep every worker busy, and yield their
        results in task order. Results that finish early wait, up to a bound that keeps
        memory in check. Tasks go in batches through ``client.map``, which costs one look at
        the caller's code per batch where ``client.submit`` costs one per task."""
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
                raise GmmsError(f"task {task.index} ({task.piece.where()}) was "
                                f"not evaluated: {type(error).__name__}: {error}") from None

        try:
            while True:
                running = [future for _, future in pending if not future.done()]
                room = min(running_max - len(running), held_max - len(pending))
                if room >= running_max // 2 or not pending:
                    batch = list(itertools.islice(tasks, max(room, 0)))
                    if batch:
                        with warnings.catch_warnings(), _no_code_capture():
                            # Rows sent along by the client are large by design.
                            warnings.filterwarnings("ignore", message="Large object of size")
                            futures = client.map(
                                function, batch, pure=False,
                                key=[f"gmms-catalogue-{task.model}-{run_id}-{task.index}"
                                     for task in batch])
                        pending.extend(zip(batch, futures))
                        running.extend(futures)
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
                        raise GmmsError(f"no task finished within {timeout} s") from None
        except BaseException:
            if pending:
                client.cancel([future for _, future in pending])
            raise


class SchedulerExecutor(ClientExecutor):
    """On the Dask cluster whose scheduler listens at ``address``; connects when entered."""

    mode = "scheduler"

    def __init__(self, address, security=None):
        super().__init__()
        self.address = address
        self.security = security

    def __enter__(self):
        from distributed import Client

        try:
            self.client = Client(self.address, timeout=CONNECT_S, security=self.security)
        except (OSError, ValueError) as error:
            raise connection_error(self.address, error) from None
        try:
            self.client.wait_for_workers(1, timeout=WORKER_WAIT_S)
        except Exception:
            self.client.close()
            raise GmmsError(f"no Dask worker joined the scheduler at {self.address} "
                                 f"within {WORKER_WAIT_S} s") from None
        return self

    def __exit__(self, *exc):
        self.client.close()
        return False


class LocalClusterExecutor(ClientExecutor):
    """On a cluster of ``workers`` processes on this machine (default: one per core). Entering
    it starts the cluster in a thread of its own and returns at once, so that the cluster comes
    up while the tables are checked; the first use of ``client`` waits for it. Leaving it stops
    the cluster."""

    local = True

    def __init__(self, workers=None):
        self._starting = None
        self._cluster = None
        super().__init__()
        self.workers = workers
        self.mode = "local" if workers is None else "workers"

    @property
    def client(self):
        if self._starting is not None:
            starting, self._starting = self._starting, None
            self._cluster, self._client = starting.result()
        return self._client

    @client.setter
    def client(self, client):
        self._client = client

    @property
    def worker_count(self):
        return self.workers or sizing.default_workers()

    def __enter__(self):
        pool = concurrent.futures.ThreadPoolExecutor(1, "gmms-cluster")
        self._starting = pool.submit(_start_local, self.workers)
        pool.shutdown(wait=False)
        return self

    def __exit__(self, *exc):
        try:
            client = self.client
        except Exception:           # it did not start: nothing to stop
            return False
        if client is None:
            return False
        try:
            client.close()
        finally:
            self._cluster.close()
        return False


def _start_local(workers):
    from distributed import Client

    cluster = local_cluster(workers)
    try:
        return cluster, Client(cluster)
    except BaseException:
        cluster.close()
        raise


def _no_code_capture():
    """Dask sends the scheduler the source of the code that submits work, for its dashboard,
    found with ``inspect.getsource``, which resolves the path of every module loaded so far: a
    tenth of a second of the client's CPU per run, more than the rest of its work on a million
    pairs. Skipping this package's frames and those of the interpreter's start-up leaves no
    code to find: the dashboard shows none."""
    import dask

    ignored = dask.config.get("distributed.diagnostics.computations.ignore-modules", [])
    return dask.config.set({"distributed.diagnostics.computations.ignore-modules":
                            [*ignored, "gmms", "runpy", "__main__"]})


def _sees_file(directory, name):
    """Whether this process sees the file ``name`` the client put in ``directory``, and may
    write there."""
    try:
        with open(os.path.join(directory, name), encoding="utf-8") as file:
            return file.read() == name and os.access(directory, os.W_OK)
    except OSError:
        return False


# The C library's allocator of the workers keeps what a task frees for the next one: without
# these, every task's arrays are fresh mappings of zeroed pages (Dask's nanny even asks for
# memory to be handed back at once), which costs more than a fast model's own work.
WORKER_ENVIRONMENT = {"MALLOC_TRIM_THRESHOLD_": str(1 << 30),
                      "MALLOC_MMAP_THRESHOLD_": str(32 << 20)}

# The scheduler of a local cluster runs in this process: its diagnostics, which measure the
# event loop every 20 ms and the machine every 500 ms by default, cost the client half its CPU
# while it waits for tasks. Dask's profiler, which feeds only the dashboard (a local cluster has
# none), would sample that event loop every 10 ms from a thread that outlives the run, and keep
# a record a second: another sixth of the client's CPU while it waits.
CLUSTER_CONFIG = {"distributed.admin.tick.interval": "500ms",
                  "distributed.admin.system-monitor.interval": "2s",
                  "distributed.worker.profile.enabled": False}


def _start_method():
    """How the workers' processes are started: Dask's setting where it is set to something else
    than its default (spawn), else from a fork server where the platform has one. A fork server
    is a fresh, single-threaded interpreter that imports Dask, numpy and pandas once and forks
    every worker from there, so the workers skip those imports, most of their start-up (8 workers
    came up in 2.0 s instead of 4.4-5.4 s on a 2-core machine; 2 workers take 1.3 s either way).
    Forking the client itself would be cheaper still but is not safe: it runs threads.

    A fork server keeps the environment it was started with. The nanny sets WORKER_ENVIRONMENT
    before it starts its first worker, and so before the server starts."""
    import multiprocessing

    import dask

    configured = dask.config.get("distributed.worker.multiprocessing-method", default="spawn")
    if configured != "spawn" or "forkserver" not in multiprocessing.get_all_start_methods():
        return configured
    return "forkserver"


LOOPBACK_ANY_PORT = "127.0.0.1:0"


def local_cluster(workers=None):
    """The local cluster a run starts when given no other: ``workers`` processes (default: one
    per core) with one thread each, listening on 127.0.0.1 only (the scheduler's HTTP server too),
    their allocator set up to keep freed memory (WORKER_ENVIRONMENT).

    Processes, not threads: an entry call holds the interpreter lock from start to end, so
    threads in one process would take turns, not run side by side.
    """
    import dask
    from distributed import LocalCluster

    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ", default={}))
    environ.update(WORKER_ENVIRONMENT)
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ,
                          "distributed.worker.multiprocessing-method": _start_method(), **CLUSTER_CONFIG}):
        # No dashboard; the HTTP servers of the scheduler and the workers (health and metrics
        # routes), which they start anyway, listen on this machine only and on free ports: left
        # to their defaults they listen on every interface, the scheduler's at port 8787.
        return LocalCluster(n_workers=workers or sizing.default_workers(), threads_per_worker=1,
                            processes=True, host="127.0.0.1", dashboard_address=None,
                            scheduler_kwargs={"dashboard_address": LOOPBACK_ANY_PORT},
                            worker_dashboard_address=LOOPBACK_ANY_PORT,
                            silence_logs=logging.ERROR)
