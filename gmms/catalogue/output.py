"""Where results go: an HDF5 or CSV file, appended partition by partition, or a DataFrame.

A file is written under a temporary name in its own directory and renamed to its final name
only once complete, so a reader never sees half a catalogue and a failed run leaves nothing
behind (an older file of that name stays as it was).
"""

import os
import uuid

import numpy as np

from .errors import CatalogueError
from .tables import file_format

COLUMNS = ("scenario_id", "site_id", "mu_im", "median_im", "phi_im", "tau_im")


def check_destination(path):
    """Fail early, before any work, when ``path`` cannot be written."""
    file_format(path)
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise CatalogueError(f"{os.fspath(path)}: directory {directory} does not exist")
    if os.path.isdir(path):
        raise CatalogueError(f"{os.fspath(path)}: is a directory")


def columns_of(scenario_id, site_id, result):
    # The median is taken here, in the one process that writes, so that it cannot differ in
    # the last bit between machines whose exp differs.
    mean, phi, tau = result
    return {"scenario_id": scenario_id, "site_id": site_id,
            "mu_im": mean, "median_im": np.exp(mean), "phi_im": phi, "tau_im": tau}


class _FileSink:
    def __init__(self, path, metadata):
        self.path = os.fspath(path)
        directory, name = os.path.split(os.path.abspath(self.path))
        # Same directory, so that the final rename cannot cross file systems. Made with the
        # user's usual permissions (not a private temporary file's).
        self.temporary = os.path.join(directory, f".{name}.{uuid.uuid4().hex[:12]}.part")
        self.metadata = metadata
        self.rows = 0

    def commit(self):
        self._close()
        fd = os.open(self.temporary, os.O_RDWR)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(self.temporary, self.path)

    def abort(self):
        try:
            self._close()
        finally:
            if os.path.exists(self.temporary):
                os.unlink(self.temporary)


class Hdf5Sink(_FileSink):
    """One resizable dataset per column; the metadata as attributes of the file."""

    def __init__(self, path, metadata, chunk_rows):
        super().__init__(path, metadata)
        import h5py

        self._file = h5py.File(self.temporary, "w-")
        try:
            for key, value in metadata.items():
                self._file.attrs[key] = value
            chunk = max(1, min(chunk_rows, 1 << 16))
            self._datasets = {
                name: self._file.create_dataset(
                    name, shape=(0,), maxshape=(None,), chunks=(chunk,),
                    dtype=np.int64 if name.endswith("_id") else np.float64)
                for name in COLUMNS}
        except BaseException:
            self.abort()
            raise

    def write(self, scenario_id, site_id, result):
        columns = columns_of(scenario_id, site_id, result)
        stop = self.rows + len(site_id)
        for name, dataset in self._datasets.items():
            dataset.resize((stop,))
            dataset[self.rows:stop] = columns[name]
        self.rows = stop

    def _close(self):
        if self._file.id.valid:
            self._file.close()


class CsvSink(_FileSink):
    """A header of ``# key: value`` comment lines, the column names, then one line per pair."""

    def __init__(self, path, metadata):
        super().__init__(path, metadata)
        self._file = open(self.temporary, "x", newline="", encoding="utf-8")
        for key, value in metadata.items():
            self._file.write(f"# {key}: {value}\n")
        self._file.write(",".join(COLUMNS) + "\n")

    def write(self, scenario_id, site_id, result):
        # repr gives the shortest text that reads back to the same double ("nan", "inf" too).
        columns = [values.tolist() for values in columns_of(scenario_id, site_id, result).values()]
        self._file.write("".join([f"{a},{b},{c!r},{d!r},{e!r},{f!r}\n"
                                  for a, b, c, d, e, f in zip(*columns)]))
        self.rows += len(site_id)

    def _close(self):
        if not self._file.closed:
            self._file.close()


class FrameSink:
    """Collects the partitions for a DataFrame (for catalogues that fit in memory)."""

    def __init__(self, metadata):
        self.metadata = metadata
        self._parts = []
        self.rows = 0

    def write(self, scenario_id, site_id, result):
        self._parts.append(columns_of(scenario_id, site_id, result))
        self.rows += len(site_id)

    def commit(self):
        import pandas as pd

        columns = {name: (np.concatenate([p[name] for p in self._parts]) if self._parts
                          else np.zeros(0, np.int64 if name.endswith("_id") else np.float64))
                   for name in COLUMNS}
        self._parts = []
        self.frame = pd.DataFrame(columns)
        self.frame.attrs.update(self.metadata)

    def abort(self):
        self._parts = []


def open_sink(out, metadata, chunk_rows):
    if out is None:
        return FrameSink(metadata)
    if file_format(out) == "csv":
        return CsvSink(out, metadata)
    return Hdf5Sink(out, metadata, chunk_rows)
