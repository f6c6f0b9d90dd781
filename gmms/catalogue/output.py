"""Where results go: a file assembled from partitions written where they were evaluated, or a
DataFrame.

A file appears only once complete: it is assembled in the run's partial-state directory beside
it and renamed to its final name at the end, so a reader never sees half a catalogue and a
failed run leaves no file (an older file of that name stays as it was). What a run that stopped
short had completed stays in that directory for ``--resume``, unless it can never be of use.
"""

import os

import numpy as np

from gmms.errors import GmmsError
from gmms.pairs.tables import file_format

from .parts import COLUMNS, DTYPES, Assembly, Part, write_part
from .state import RunState


def check_destination(path):
    """Fail early, before any work, when ``path`` cannot be written."""
    file_format(path)
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise GmmsError(f"{os.fspath(path)}: directory {directory} does not exist")
    if os.path.isdir(path):
        raise GmmsError(f"{os.fspath(path)}: is a directory")


class FileDestination:
    """An output file, its partial state and its assembly.

    A task evaluated where it sees ``directory`` writes its part there and hands back a Part;
    one evaluated where it does not hands back its Columns, and the part is written here.
    """

    def __init__(self, path, arguments, inputs, resume):
        self.path = os.fspath(path)
        self.format = file_format(path)
        self.state = RunState(path, self.format, arguments, inputs, resume)
        self.directory = self.state.directory
        self.done = {}
        self._assembly = None

    @property
    def target(self):
        """The partition size an interrupted run used, which its resumption must use too."""
        return self.state.target

    @property
    def resumed(self):
        return self.state.resumed

    def plan(self, target, cuts, metadata):
        """Fix the partitions; take over those an interrupted run completed."""
        self.state.plan(target, cuts, cuts[-1])
        self.done = self.state.completed(cuts)
        self._assembly = Assembly(self.directory, self.format, cuts, metadata)
        for index in sorted(self.done):
            self._assembly.add(self.done[index])

    def placement(self, index):
        return self._assembly.placement(index)

    def accept(self, result):
        if not isinstance(result, Part):
            result = write_part(self.directory, result.index, result.columns, self.format)
        self._assembly.add(result)

    def commit(self):
        self._assembly.commit(self.path)
        self.state.remove()

    def abort(self, keep):
        """Stop short: keep the complete parts for --resume, or (``keep`` false: the run can
        never succeed as it stands) remove everything. Returns the number of parts kept."""
        if self._assembly is not None:
            self._assembly.discard()
        if keep:
            return self.state.keep()
        self.state.remove()
        return 0


class FrameDestination:
    """Collects the results for a DataFrame (for catalogues that fit in memory)."""

    directory = None
    target = None
    resumed = False
    done = {}

    def __init__(self):
        self._parts = {}

    def plan(self, target, cuts, metadata):
        self.metadata = metadata

    def accept(self, result):
        self._parts[result.index] = result.columns

    def commit(self):
        import pandas as pd

        ordered = [self._parts[index] for index in sorted(self._parts)]
        columns = {name: (np.concatenate([part[name] for part in ordered]) if ordered
                          else np.zeros(0, DTYPES[name]))
                   for name in COLUMNS}
        self._parts = {}
        self.frame = pd.DataFrame(columns)
        self.frame.attrs.update(self.metadata)

    def abort(self, keep):
        self._parts = {}
        return 0
