"""The pair table: a scenario table and a pair table, checked end to end, then cut into pieces
of about a target number of pairs.

The client reads the pair table once to check every value and every link to the scenario table
and to decide where pieces start, so that a bad table stops the run before any model work.
Each piece is then read again where it is evaluated: by the worker itself when it can open the
files, else by the client, which sends the rows along. No process holds more than a chunk of the
pair table, whatever its size.

A piece is a range of rows of the pair table. Consecutive rows of one scenario (a run) stay in
one piece when it holds at most the target; a longer run is split by sites into nearly equal
pieces. Results come out in the pair table's order.
"""

import contextlib
import math
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from gmms.errors import InputError
from gmms.models import SITES

from .block import PairBlock
from .tables import ID, reopen

CHUNK_ROWS = 1 << 18
# Rows of the pair table that hold the sites a consumer watches are noted in buckets of this
# many, to know which pieces hold pairs of those sites without keeping every such row.
BUCKET_SHIFT = 10

_scenario_tables = {}


class Planner:
    """Partition boundaries of a pair table, from its scenario codes fed chunk by chunk."""

    def __init__(self, target):
        if target < 1:
            raise ValueError("the target number of pairs per partition must be at least 1")
        self.target = target
        self.cuts = [0]
        self._part_start = 0     # first row of the open partition
        self._run_start = 0      # first row of the open run
        self._run_code = None
        self._rows = 0

    def feed(self, codes):
        if len(codes) == 0:
            return
        base = self._rows
        ends = np.flatnonzero(codes[1:] != codes[:-1]) + 1 + base
        if self._run_code is not None and codes[0] != self._run_code:
            ends = np.concatenate(([base], ends))
        self._runs_ended(ends)
        self._run_code = codes[-1]
        self._rows += len(codes)

    def finish(self):
        """The partition boundaries: a list of row numbers from 0 to the number of rows."""
        if self._rows > self.cuts[-1]:
            self._runs_ended(np.array([self._rows]))
            if self.cuts[-1] != self._rows:
                self.cuts.append(self._rows)
        return self.cuts

    def _runs_ended(self, ends):
        # Runs that fit the open partition only extend it; find the next one that does not.
        i, n = 0, len(ends)
        while i < n:
            j = i + int(np.searchsorted(ends[i:], self._part_start + self.target, side="right"))
            if j >= n:
                self._run_start = int(ends[-1])
                return
            if j > i:
                self._run_start = int(ends[j - 1])
            self._close_run(int(ends[j]))
            i = j + 1

    def _close_run(self, end):
        start = self._run_start
        if end - self._part_start > self.target:
            if start > self._part_start:
                self.cuts.append(start)
                self._part_start = start
            length = end - start
            if length > self.target:
                pieces = math.ceil(length / self.target)
                self.cuts.extend(start + (i * length) // pieces for i in range(1, pieces + 1))
                self._part_start = end
        self._run_start = end


class ScenarioTable:
    """The scenario table in memory: ids, typed parameter columns, lookup by id."""

    def __init__(self, model, source, chunk_rows=CHUNK_ROWS, extra=None):
        self.model = model
        self.source = source
        kinds = scenario_kinds(model, extra)
        chunks = [columns for _, columns in source.chunks(kinds, chunk_rows)]
        columns = {name: (np.concatenate([c[name] for c in chunks]) if chunks
                          else np.zeros(0, np.int64 if kind == ID else object))
                   for name, kind in kinds.items()}
        self.ids = columns.pop("scenario_id")
        self.values = columns
        self._order = np.argsort(self.ids, kind="stable")
        self._sorted = self.ids[self._order]
        # Ids numbered 1, 2, 3... in the table's order (the usual case) are found by subtraction.
        n = len(self.ids)
        self._consecutive = bool(n and (self.ids == np.arange(self.ids[0], self.ids[0] + n)).all())

    def check_unique(self):
        repeated = np.flatnonzero(self._sorted[1:] == self._sorted[:-1]) + 1
        if len(repeated):
            row = int(self._order[repeated].min())      # the earliest row that repeats an id
            first = int(self._order[np.searchsorted(self._sorted, self.ids[row])])
            raise self.source.error(
                row, "scenario_id",
                f"duplicate scenario_id {self.ids[row]} (first at {self.source.where(first)})")

    def rows_of(self, ids, pairs, first_row):
        """Rows of this table for the ``scenario_id`` values of pairs from ``first_row`` on."""
        if self._consecutive:
            rows = ids - self.ids[0]
            found = (rows >= 0) & (rows < len(self.ids))
            if found.all():
                return rows
        where = np.searchsorted(self._sorted, ids)
        clipped = np.minimum(where, max(len(self._sorted) - 1, 0))
        found = where < len(self._sorted)
        if len(self._sorted):
            found &= self._sorted[clipped] == ids
        if not found.all():
            row = int(np.flatnonzero(~found)[0])
            raise pairs.error(first_row + row, "scenario_id",
                              f"scenario_id {ids[row]} is not in {self.source.label}")
        return self._order[clipped]

    def block(self, rows):
        """The scenarios of a partition: (codes, ids, values), numbered by first appearance
        so that a partition whose scenarios come in runs gets sorted codes."""
        starts = np.flatnonzero(rows[1:] != rows[:-1]) + 1
        runs = rows[np.concatenate(([0], starts))] if len(rows) else rows
        if len(np.unique(runs)) == len(runs):
            # Each scenario in one run: number the runs.
            lengths = np.diff(np.concatenate(([0], starts, [len(rows)])))
            codes = np.repeat(np.arange(len(runs), dtype=np.int64), lengths)
            return (codes, self.ids[runs],
                    {name: values[runs] for name, values in self.values.items()})
        unique, first, inverse = np.unique(rows, return_index=True, return_inverse=True)
        by_appearance = np.argsort(first)
        rank = np.empty_like(by_appearance)
        rank[by_appearance] = np.arange(len(by_appearance))
        chosen = unique[by_appearance]
        return (rank[inverse].astype(np.int64), self.ids[chosen],
                {name: values[chosen] for name, values in self.values.items()})


def scenario_kinds(model, extra=None):
    """Columns of the scenario table: the id, the model's scalar parameters and ``extra``
    ({column: kind}, columns a consumer of the catalogue needs beside the model's)."""
    return {"scenario_id": ID, **dict(model.scenario_columns), **(extra or {})}


def pair_kinds(model):
    return {"scenario_id": ID, "site_id": ID, **{name: SITES for name in model.site_columns}}




class PairTable:
    """A model's scenario and pair tables, checked, and their pieces."""

    def __init__(self, model, scenarios, pairs, target, chunk_rows=CHUNK_ROWS, progress=None,
                 extra=None, check=None, watch_sites=None):
        """``model``: the registry entry. ``scenarios``, ``pairs``: the tables' sources
        (``gmms.pairs.tables``). ``target``: pairs per piece.

        ``extra``: further scenario columns ({column: kind}) a consumer needs. ``check``: an
        object whose ``scenarios(table)`` sees the scenario table once read, and whose
        ``pairs(first_row, columns, codes)`` sees every chunk of the pair table as it is checked
        (``site_id`` among the columns), so that a consumer's own checks also come before any
        model work and cost no second reading. ``watch_sites``: site ids whose pieces a consumer
        will ask for alone (``pieces(watched_only=True)``)."""
        self.model = model
        self.pairs = pairs
        self.chunk_rows = chunk_rows
        self.extra = dict(extra or {})
        self._progress = progress or (lambda rows: None)
        self._watched = (None if watch_sites is None
                         else np.array(sorted(watch_sites), dtype=np.int64))
        self._buckets = set()
        kinds = scenario_kinds(model, extra)
        scenarios.require(kinds, self._hint(pairs, "pair"))
        pairs.require(pair_kinds(model), self._hint(scenarios, "scenario"))
        self.scenarios = ScenarioTable(model, scenarios, chunk_rows, extra)
        self.scenarios.check_unique()
        self._check = check
        if check is not None:
            check.scenarios(self.scenarios)
        self.cuts, self.n_pairs, used = self._check_pairs(target)
        self.n_scenarios_used = int(used.sum())
        ims = self.scenarios.values.get("IM")
        self.im = model.im_label(ims[used].tolist() if ims is not None else ())

    @staticmethod
    def _hint(other, what):
        def hint(column):
            if column in other.columns:
                return f"'{column}' is a {'site' if what == 'pair' else 'scenario'} parameter, " \
                       f"it belongs here, not in the {what} table"
            return None
        return hint

    def _check_pairs(self, target):
        planner = Planner(target)
        used = np.zeros(len(self.scenarios.ids), dtype=bool)
        rows = 0
        with_sites = self._check is not None or self._watched is not None
        wanted = ("scenario_id", "site_id") if with_sites else ("scenario_id",)
        kinds = {column: kind for column, kind in pair_kinds(self.model).items()
                 if column in wanted or self.pairs.needs_check(column, kind)}
        for first_row, columns in self.pairs.chunks(kinds, self.chunk_rows):
            codes = self.scenarios.rows_of(columns["scenario_id"], self.pairs, first_row)
            if self._check is not None:
                self._check.pairs(first_row, columns, codes)
            if self._watched is not None:
                watched = first_row + np.flatnonzero(np.isin(columns["site_id"], self._watched))
                self._buckets.update((watched >> BUCKET_SHIFT).tolist())
            planner.feed(codes)
            used[codes] = True
            rows = first_row + len(codes)
            self._progress(len(codes))
        return planner.finish(), rows, used

    def ranges(self):
        """(index, first row, stop row) of every piece."""
        return [(i, lo, hi) for i, (lo, hi) in enumerate(zip(self.cuts[:-1], self.cuts[1:]))]

    def _keep(self, watched_only):
        if not watched_only:
            return lambda first, stop: True
        if self._watched is None:
            raise ValueError("no sites were watched while the table was checked")
        buckets = np.array(sorted(self._buckets), dtype=np.int64)

        def keep(first, stop):
            lo = np.searchsorted(buckets, first >> BUCKET_SHIFT)
            return lo < len(buckets) and buckets[lo] <= (stop - 1) >> BUCKET_SHIFT
        return keep

    def pair_count(self, watched_only=False):
        """The number of pairs in the pieces that ``pieces`` gives."""
        keep = self._keep(watched_only)
        return sum(stop - first for _, first, stop in self.ranges() if keep(first, stop))

    def pieces(self, executor, done=(), watched_only=False):
        """The pieces in order, leaving out those whose index is in ``done`` and, with
        ``watched_only``, those that hold no pair of a watched site. A piece is a row range that
        the evaluating process reads from the files itself when ``executor`` says its processes
        see them; else its rows, read here a chunk at a time and carried along."""
        keep = self._keep(watched_only)
        scenarios = self.scenarios.source.descriptor()
        pairs = self.pairs.descriptor()
        if scenarios is not None and pairs is not None and executor.sees(scenarios, pairs):
            table = self.scenarios if executor.in_process else None
            extra = tuple(self.extra.items())
            return (TablePiece(index, first, stop, scenarios, pairs, extra, scenario_table=table)
                    for index, first, stop in self.ranges()
                    if index not in done and keep(first, stop))
        return (piece for piece in self._carried()
                if piece.index not in done and keep(piece.first_row, piece.stop_row))

    def _carried(self):
        """Every piece with its rows, in order, reading the pair table a chunk at a time."""
        cuts = iter(zip(self.cuts[:-1], self.cuts[1:]))
        index = 0
        held, held_start = None, 0
        bounds = next(cuts, None)
        for first_row, columns in self.pairs.chunks(pair_kinds(self.model), self.chunk_rows):
            if held is None:
                held, held_start = columns, first_row
            else:
                held = {name: np.concatenate((held[name], columns[name])) for name in held}
            held_stop = first_row + len(columns["site_id"])
            while bounds is not None and bounds[1] <= held_stop:
                lo, hi = bounds[0] - held_start, bounds[1] - held_start
                yield self._piece(index, bounds[0], {n: a[lo:hi] for n, a in held.items()})
                index += 1
                bounds = next(cuts, None)
            if bounds is not None:
                keep = bounds[0] - held_start
                held = {name: array[keep:] for name, array in held.items()}
                held_start = bounds[0]
        if bounds is not None:
            raise InputError(f"{self.pairs.label}: the table changed while it was being read")

    def _piece(self, index, first_row, columns):
        rows = self.scenarios.rows_of(columns["scenario_id"], self.pairs, first_row)
        codes, ids, values = self.scenarios.block(rows)
        block = PairBlock(ids, values, codes, columns["site_id"].copy(),
                          {name: np.array(columns[name]) for name in self.model.site_columns})
        return TablePiece(index, first_row, first_row + len(rows), rows=block)


@dataclass(frozen=True)
class TablePiece:
    """Rows ``first_row`` to ``stop_row`` (excluded) of a pair table, piece ``index`` in the
    table's order. A process that sees the files reads the rows itself (``scenarios`` and
    ``pairs`` describe the files as the client checked them, ``extra`` the further scenario
    columns); otherwise the client has read them into ``rows``. ``scenario_table`` is the
    client's own scenario table, for a piece evaluated in the client."""
    index: int
    first_row: int
    stop_row: int
    scenarios: Optional[tuple] = None
    pairs: Optional[tuple] = None
    extra: tuple = ()
    rows: Optional[PairBlock] = None
    scenario_table: Any = None

    def __len__(self):
        return self.stop_row - self.first_row

    def where(self):
        return f"pairs from row {self.first_row}"

    def blocks(self, model):
        if self.rows is not None:
            yield self.rows
            return
        table = self.scenario_table
        if table is None:
            table = scenario_table(model, self.scenarios, dict(self.extra))
        with contextlib.ExitStack() as stack:
            source = reopen(self.pairs, stack)
            columns = source.read(pair_kinds(model), self.first_row, self.stop_row)
        codes, ids, values = table.block(table.rows_of(columns["scenario_id"], source,
                                                       self.first_row))
        yield PairBlock(ids, values, codes, columns["site_id"],
                        {name: columns[name] for name in model.site_columns})


def scenario_table(model, descriptor, extra=None):
    """The scenario table of a file, read once per process (the last one used is kept), with
    the ``extra`` columns ({column: kind}) beside the model's."""
    key = (model.name, descriptor, tuple(sorted((extra or {}).items())))
    table = _scenario_tables.get(key)
    if table is None:
        with contextlib.ExitStack() as stack:
            table = ScenarioTable(model, reopen(descriptor, stack), extra=extra)
        _scenario_tables.clear()
        _scenario_tables[key] = table
    return table
