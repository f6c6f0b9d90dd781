"""Partitions written where they are evaluated, and the one file the client assembles from them.

A task writes its partition's results, the median included, into a part file of its own in the
run's partial-state directory beside the destination: under a temporary name, then renamed to a
name that carries its row count and a CRC-32 of its data. A part under its final name was
therefore written whole, and whether it is still intact (after a crash of the machine, say) can
be checked from its name alone, which is what lets an interrupted run resume from whatever parts
it finds. So parts are not flushed to disk one by one, which on a busy disk costs more than the
work; the final file is.

The client never touches the numbers: it allocates one real file at its full size, the tasks
that can reach it write their columns into their slots of it as well as into their parts, and
the client copies in (the kernel copies, without passing the bytes through this process) only
what no task placed: parts of an interrupted run, parts of workers that cannot see the
destination, and CSV parts. Then it renames that file into place. One self-contained file rather than virtual datasets over the parts: it can be moved,
copied or mailed alone, any HDF5 reader (not only those that know virtual datasets) reads it,
and no part deleted later can turn into silent fill values. The price is that the parts and the
final file are on disk together for a moment.

An HDF5 part holds one contiguous dataset per column; the final file has the same datasets,
allocated at their full size before any part arrives, so a part is copied as soon as it is
written, in any order. A CSV part holds data lines only; the final CSV is the header followed by
the parts in order.
"""

import errno
import os
import re
import uuid
import zlib
from typing import NamedTuple

import numpy as np

from gmms.errors import GmmsError
from gmms.run.files import BINARY as _BINARY
from gmms.run.files import fsync_path

COLUMNS = ("scenario_id", "site_id", "mu_im", "median_im", "phi_im", "tau_im")
DTYPES = {name: np.dtype("<i8") if name.endswith("_id") else np.dtype("<f8") for name in COLUMNS}
SUFFIX = {"hdf5": ".h5", "csv": ".csv"}
_PART_NAME = re.compile(r"part-(\d+)-(\d+)-([0-9a-f]{8})(\.h5|\.csv)")
_COPY_BYTES = 64 << 20


class Part:
    """A part file written and accounted for: which partition, how many rows, its CRC-32, and
    whether its data is already in place in the file being assembled."""

    __slots__ = ("index", "rows", "checksum", "name", "placed")

    def __init__(self, index, rows, checksum, name, placed=False):
        self.index, self.rows, self.checksum, self.name = index, rows, checksum, name
        self.placed = placed

    def __repr__(self):
        return f"Part({self.index}, rows={self.rows}, checksum={self.checksum:08x})"

    def __reduce__(self):
        return Part, (self.index, self.rows, self.checksum, self.name, self.placed)


class Columns(NamedTuple):
    """A partition's output columns, evaluated where the part could not be written."""
    index: int
    columns: dict

    @property
    def rows(self):
        return len(self.columns["site_id"])


def columns_of(scenario_id, site_id, result):
    """The output columns of evaluated pairs. The median is taken here, where the pairs were
    evaluated, with numpy's exp: every mode gives the same bits on one machine."""
    mean, phi, tau = result
    return {"scenario_id": np.ascontiguousarray(scenario_id, dtype=DTYPES["scenario_id"]),
            "site_id": np.ascontiguousarray(site_id, dtype=DTYPES["site_id"]),
            "mu_im": np.ascontiguousarray(mean), "median_im": np.exp(mean),
            "phi_im": np.ascontiguousarray(phi), "tau_im": np.ascontiguousarray(tau)}


def csv_lines(columns):
    # repr gives the shortest text that reads back to the same double ("nan", "inf" too).
    values = [columns[name].tolist() for name in COLUMNS]
    return "".join([f"{a},{b},{c!r},{d!r},{e!r},{f!r}\n" for a, b, c, d, e, f in zip(*values)])


def part_name(index, rows, checksum, file_format):
    return f"part-{index:06d}-{rows}-{checksum:08x}{SUFFIX[file_format]}"


def write_part(directory, index, columns, file_format):
    """Write one partition's columns as a part file in ``directory``; return its Part."""
    rows = len(columns["site_id"])
    temporary = os.path.join(directory, f".part-{index:06d}.{uuid.uuid4().hex[:12]}.tmp")
    try:
        if file_format == "csv":
            data = csv_lines(columns).encode("utf-8")
            checksum = zlib.crc32(data)
            with open(temporary, "xb") as file:
                file.write(data)
        else:
            import h5py

            checksum = 0
            with h5py.File(temporary, "w-") as file:
                for name in COLUMNS:
                    values = columns[name]
                    checksum = zlib.crc32(values, checksum)
                    file.create_dataset(name, data=values)      # contiguous: copied as bytes
        name = part_name(index, rows, checksum, file_format)
        os.replace(temporary, os.path.join(directory, name))
    except BaseException:
        _remove(temporary)
        raise
    return Part(index, rows, checksum, name)


# pread and pwrite do not exist on Windows: a seek and a read or write on a descriptor of this
# process's own do the same (none of them is shared between threads).


def _pwrite(fd, data, offset):
    if hasattr(os, "pwrite"):
        return os.pwrite(fd, data, offset)
    os.lseek(fd, offset, os.SEEK_SET)
    return os.write(fd, data)


def _pread(fd, size, offset):
    if hasattr(os, "pread"):
        return os.pread(fd, size, offset)
    os.lseek(fd, offset, os.SEEK_SET)
    return os.read(fd, size)


def _remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def place(columns, placement):
    """Write a partition's columns straight into their slots of the HDF5 file being assembled
    (``placement``: its path and each column's byte offset for this partition), so that the
    client has no bytes to copy. Slots of different partitions do not overlap."""
    path, offsets = placement
    fd = os.open(path, os.O_WRONLY | _BINARY)
    try:
        for name, offset in offsets.items():
            data = memoryview(columns[name]).cast("B")
            while data:
                written = _pwrite(fd, data, offset)
                data, offset = data[written:], offset + written
    finally:
        os.close(fd)


def parse_part_name(name):
    """(index, rows, checksum, format) of a part's file name, or None if it is not one."""
    match = _PART_NAME.fullmatch(name)
    if match is None:
        return None
    return (int(match[1]), int(match[2]), int(match[3], 16),
            "csv" if match[4] == ".csv" else "hdf5")


def hdf5_extents(path, rows):
    """{column: (file offset, bytes)} of a part's datasets, checked against what it must hold."""
    import h5py

    extents = {}
    with h5py.File(path, "r") as file:
        for name in COLUMNS:
            dataset = file.get(name)
            if (dataset is None or dataset.shape != (rows,) or dataset.dtype != DTYPES[name]
                    or dataset.chunks is not None or dataset.compression is not None):
                raise GmmsError(f"{path}: not a part of this run (dataset '{name}')")
            offset = dataset.id.get_offset() if rows else 0
            extents[name] = (offset, rows * DTYPES[name].itemsize)
    return extents


def verify(directory, part, file_format):
    """Whether a part file found on disk holds the data its name promises."""
    path = os.path.join(directory, part.name)
    try:
        if file_format == "csv":
            checksum = 0
            with open(path, "rb") as file:
                while block := file.read(_COPY_BYTES):
                    checksum = zlib.crc32(block, checksum)
            return checksum == part.checksum
        checksum = 0
        with open(path, "rb") as file:
            for offset, size in hdf5_extents(path, part.rows).values():
                file.seek(offset)
                data = file.read(size)
                if len(data) != size:
                    return False
                checksum = zlib.crc32(data, checksum)
        return checksum == part.checksum
    except (OSError, GmmsError):
        return False


def copy_bytes(source_fd, target_fd, size, source_offset, target_offset):
    """Copy ``size`` bytes between two files, in the kernel where it can."""
    kernel = hasattr(os, "copy_file_range")
    while size > 0:
        if kernel:
            try:
                done = os.copy_file_range(source_fd, target_fd, min(size, _COPY_BYTES),
                                          source_offset, target_offset)
            except OSError as error:
                if error.errno not in (errno.EXDEV, errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP):
                    raise
                kernel = False
                continue
        else:
            block = _pread(source_fd, min(size, _COPY_BYTES), source_offset)
            done = _pwrite(target_fd, block, target_offset) if block else 0
        if done == 0:
            raise GmmsError("a part file ended before its data did")
        size -= done
        source_offset += done
        target_offset += done


class Assembly:
    """The final file, built in ``directory`` from the parts and renamed into place."""

    def __init__(self, directory, file_format, cuts, metadata):
        self.directory = directory
        self.format = file_format
        self.cuts = cuts
        self.path = os.path.join(directory, f"assembling{SUFFIX[file_format]}")
        _remove(self.path)
        self._waiting = {}            # CSV: parts that arrived before those ahead of them
        self._next = 0
        if file_format == "csv":
            with open(self.path, "x", newline="", encoding="utf-8") as file:
                for key, value in metadata.items():
                    file.write(f"# {key}: {value}\n")
                file.write(",".join(COLUMNS) + "\n")
        else:
            self._offsets = _preallocated_hdf5(self.path, cuts[-1], metadata)
        self._fd = os.open(self.path, os.O_WRONLY | _BINARY)
        self._end = os.fstat(self._fd).st_size

    def placement(self, index):
        """Where partition ``index`` goes in the file being assembled, for ``place`` (None: a
        CSV file, whose parts' sizes are only known once written)."""
        if self.format == "csv":
            return None
        first = self.cuts[index]
        return self.path, {name: offset + first * DTYPES[name].itemsize
                           for name, offset in self._offsets.items()}

    def add(self, part):
        """Copy a part's data into place (a CSV part once every part before it is in), unless
        the task that wrote it placed it already."""
        if self.format == "csv":
            self._waiting[part.index] = part
            while self._next in self._waiting:
                ready = self._waiting.pop(self._next)
                size = os.path.getsize(os.path.join(self.directory, ready.name))
                self._copy(ready.name, [(0, size, self._end)])
                self._end += size
                self._next += 1
            return
        if part.placed:
            return
        first = self.cuts[part.index]
        extents = hdf5_extents(os.path.join(self.directory, part.name), part.rows)
        self._copy(part.name, [(offset, size, self._offsets[name] + first * DTYPES[name].itemsize)
                               for name, (offset, size) in extents.items() if size])

    def _copy(self, name, ranges):
        fd = os.open(os.path.join(self.directory, name), os.O_RDONLY | _BINARY)
        try:
            for source_offset, size, target_offset in ranges:
                copy_bytes(fd, self._fd, size, source_offset, target_offset)
        finally:
            os.close(fd)

    def commit(self, destination):
        """Flush the file to disk and rename it to ``destination``."""
        if self.format == "csv" and self._next != len(self.cuts) - 1:
            raise GmmsError(f"internal error: {len(self.cuts) - 1 - self._next} parts "
                                 "missing from the assembled file")
        os.fsync(self._fd)
        self.close()
        os.replace(self.path, destination)
        try:                    # the rename itself made durable, where directories can be synced
            fsync_path(os.path.dirname(os.path.abspath(destination)), os.O_RDONLY)
        except OSError:
            pass

    def close(self):
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None

    def discard(self):
        self.close()
        _remove(self.path)


def _preallocated_hdf5(path, rows, metadata):
    """An HDF5 file whose column datasets are contiguous and allocated at their full size,
    left unfilled; returns each dataset's file offset."""
    import h5py

    offsets = {}
    with h5py.File(path, "w-") as file:
        for key, value in metadata.items():
            file.attrs[key] = value
        for name in COLUMNS:
            plist = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
            plist.set_alloc_time(h5py.h5d.ALLOC_TIME_EARLY)
            plist.set_fill_time(h5py.h5d.FILL_TIME_NEVER)
            plist.set_obj_track_times(False)      # the same run gives the same bytes
            dataset = h5py.h5d.create(file.id, name.encode(), h5py.h5t.py_create(DTYPES[name]),
                                      h5py.h5s.create_simple((rows,)), dcpl=plist)
            offsets[name] = dataset.get_offset() if rows else 0
    return offsets
