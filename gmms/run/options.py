"""The options of a run over pairs, and the preamble every such run goes through.

``RunOptions`` holds where and how a run goes (the same keywords for ``gmms.catalogue.run`` and
``gmms.hazard.run``); ``Run`` turns them into the model's registry entry, an executor and the
sibling directory, decides whether a local cluster would pay for itself, sizes the tasks and
checks the pair table before any model work.
"""

import os
import sys
import time
from dataclasses import dataclass
from typing import Any, Optional

from gmms.errors import GmmsError, InputError
from gmms.models import MODELS, LoadError, resolve
from gmms.pairs.evaluate import load_entry
from gmms.pairs.table import CHUNK_ROWS, PairTable
from gmms.pairs.tables import open_source

from . import sizing
from .executors import SerialExecutor, choose
from .security import security_from


@dataclass(frozen=True)
class RunOptions:
    """Where and how a run goes.

    Exactly one way to run, or none: ``client`` (a ``distributed.Client``), ``scheduler`` (the
    address of a Dask scheduler, reached with ``security`` or the PEM files ``tls_ca_file``,
    ``tls_cert`` and ``tls_key`` when it is ``tls://``), ``workers`` (a local cluster of that many
    processes) or ``serial`` (this process, without Dask); none: a local cluster of one worker
    per core, or this process when the pairs are too few for a cluster to pay for itself.
    ``siblings``: the directory of the sibling modules (default: the stand-ins). ``batch_pairs``:
    pairs per task (default: sized for the executor). ``progress``: progress bars on stderr.
    ``timeout``: seconds to wait for any one task's result.
    """
    client: Any = None
    scheduler: Optional[str] = None
    workers: Optional[int] = None
    serial: bool = False
    siblings: Optional[str] = None
    batch_pairs: Optional[int] = None
    progress: bool = False
    timeout: Optional[float] = None
    security: Any = None
    tls_ca_file: Optional[str] = None
    tls_cert: Optional[str] = None
    tls_key: Optional[str] = None

    @classmethod
    def from_args(cls, args):
        """The options of a command's parsed arguments (``cli.add_run_options``)."""
        return cls(scheduler=args.scheduler, workers=args.workers, serial=args.serial,
                   siblings=args.siblings, batch_pairs=args.batch_pairs,
                   progress=not args.quiet, tls_ca_file=args.tls_ca_file,
                   tls_cert=args.tls_cert, tls_key=args.tls_key)


class Run:
    """One run of ``model`` (a name, or a list of the names a run uses): the registry entries,
    the executor and the sibling directory, all decided before any table is read, and what the
    run decided for itself (``notes``, one line each).

    Raises ValueError for a model, a way to run or a batch size that cannot be.
    """

    def __init__(self, model, options):
        self.specs = []
        for name in [model] if isinstance(model, str) else model:
            try:
                self.specs.append(resolve(name))
            except KeyError:
                raise ValueError(f"unknown model {name!r}; choose one of {', '.join(MODELS)}, "
                                 "or name a model of your own as package.module:function") from None
            except LoadError as error:
                raise InputError(str(error)) from None
        self.spec = self.specs[0]
        # What sizes a run: its slowest model.
        self.sizing_name = max((spec.name for spec in self.specs), key=sizing.pair_seconds)
        self.options = options
        security = security_from(options.scheduler, options.security, options.tls_ca_file,
                                 options.tls_cert, options.tls_key)
        self.executor = choose(client=options.client, scheduler=options.scheduler,
                               workers=options.workers, serial=options.serial,
                               security=security)
        if options.batch_pairs is not None and options.batch_pairs < 1:
            raise ValueError("batch_pairs must be at least 1")
        self.siblings = None
        self.notes = []

    def locate_siblings(self):
        """The sibling directory as the tasks get it: absolute, or None for the stand-ins."""
        siblings = self.options.siblings
        if all(spec.sibling is None for spec in self.specs) or siblings is None:
            return None
        siblings = os.path.abspath(siblings)
        # A remote cluster may see directories this machine does not; local processes must.
        if self.executor.local and not os.path.isdir(siblings):
            raise GmmsError(f"sibling module directory not found: {siblings}")
        self.siblings = siblings
        return siblings

    def open_tables(self, scenarios, pairs, stack):
        """The sources of a scenario and a pair table (files are closed by ``stack``), and the
        choice between a local cluster and this process that their size makes."""
        sources = (open_source(scenarios, "scenarios", stack), open_source(pairs, "pairs", stack))
        self.decide_cluster(sizing.estimate_rows(sources[1]))
        return sources

    def decide_cluster(self, n_estimate):
        """Run in this process when a local cluster would not pay for itself for about
        ``n_estimate`` pairs (only when the caller left the way to run open)."""
        self.n_estimate = n_estimate
        if self.executor.mode == "local" and not sizing.cluster_pays(
                self.sizing_name, self.n_estimate, self.executor.worker_count,
                self.siblings is not None):
            models = " and ".join(dict.fromkeys(spec.name for spec in self.specs))
            self.notes.append(f"in process: a cluster of {self.executor.worker_count} workers "
                              f"would not pay for itself for about {self.n_estimate} pairs of "
                              f"{models} (--workers N forces one)")
            self.executor = SerialExecutor()
            self.executor.mode = "in process"

    def check_tables(self, stack, sources, target=None, **table):
        """Start the executor (a local cluster comes up while the tables are checked), size the
        tasks (``target`` pairs each, when a resumed run fixes it) and check both tables end to
        end: the ``PairTable``, with ``table`` its further arguments."""
        stack.enter_context(self.executor)
        self.target = (self.options.batch_pairs or target or sizing.batch_pairs(
            self.sizing_name, self.n_estimate, self.executor.worker_count,
            self.siblings is not None))
        scenario_source, pair_source = sources
        rows = getattr(pair_source, "rows", None)
        with self.progress_bar("checking", rows, " rows") as bar:
            return PairTable(self.spec, scenario_source, pair_source, self.target,
                             chunk_rows=max(CHUNK_ROWS, self.target), progress=bar.update,
                             **table)

    def metadata(self, im, **more):
        """What a result file says of its run: the model, the IM, ``more``, the version of gmms
        and the sibling modules."""
        metadata = {"model": self.spec.name, "IM": im, **more, "gmms_version": package_version()}
        if self.spec.sibling is not None:
            metadata["siblings"] = self.siblings or "stand-ins"
        return metadata

    def load_here(self):
        """Load the model in this process when tasks run here: a setup failure before any
        task."""
        if self.executor.in_process:
            for spec in self.specs:
                load_entry(spec.name, self.siblings)

    def results(self, function, tasks):
        return self.executor.results(function, tasks, self.options.timeout)

    def progress_bar(self, description, total, unit):
        return progress_bar(self.options.progress, description, total, unit)


def package_version():
    from gmms import __version__

    return __version__


def progress_bar(progress, description, total, unit):
    """A progress bar on stderr, shown only with ``progress`` and after the first second. Used as
    a context manager, with ``update(n)``."""
    import tqdm

    from .files import _version

    options = dict(total=total, desc=description, unit=unit, unit_scale=True, file=sys.stderr,
                   disable=not progress, leave=True)
    if _version(tqdm.__version__) >= (4, 60):
        return tqdm.tqdm(delay=DELAY_S, **options)
    return _DelayedBar(lambda: tqdm.tqdm(**options)) if progress else tqdm.tqdm(**options)


DELAY_S = 1.0


class _DelayedBar:
    """tqdm's ``delay`` for tqdm before 4.60 (Debian 11 has 4.57): the bar is made at the first
    update after DELAY_S seconds, so that a short run shows none."""

    def __init__(self, make):
        self._make = make
        self._start = time.monotonic()
        self._bar = None
        self._done = 0

    def update(self, n=1):
        self._done += n
        if self._bar is None and time.monotonic() - self._start >= DELAY_S:
            self._bar = self._make()
            self._bar.update(self._done)
        elif self._bar is not None:
            self._bar.update(n)

    def close(self):
        if self._bar is not None:
            self._bar.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
