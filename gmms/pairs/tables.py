"""Reading scenario and pair tables, chunk by chunk, into typed numpy columns.

A table comes from a CSV file, an HDF5 file (one one-dimensional dataset per column, at the
file's root) or a pandas DataFrame. Every value is checked on the way in, and the first bad one
is reported with the table's name, its line (CSV; the header is line 1) or row (HDF5 and
DataFrames; counted from 0) and its column, so that a run fails before any model work.

Column kinds: ``ID`` (64-bit integer ids), ``DOUBLE`` and ``SITES`` (float64), ``INT`` (integers
that fit the 32-bit ints of the entry functions) and ``OBJECT`` (passed on as read).
"""

import bisect
import collections
import csv
import io
import itertools
import os
import re

import numpy as np

from gmms.errors import InputError
from gmms.models import DOUBLE, INT, INT32_MAX, INT32_MIN, SITES, OBJECT

ID = "id"

_FLOAT_TEXT = re.compile(
    r"\s*[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|inf|infinity|nan)\s*", re.IGNORECASE)
_INT_TEXT = re.compile(r"\s*[+-]?\d+\s*")
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


class BadValue(Exception):
    """A value of a column that cannot be used; ``row`` counts the chunk's rows from 0."""

    def __init__(self, row, column, reason):
        super().__init__(row, column, reason)
        self.row, self.column, self.reason = row, column, reason


# --- values ----------------------------------------------------------------------------------

def _from_text(values, column, kind):
    """Convert an array of strings (or bytes) to ``kind``; raise BadValue at the first bad one."""
    if kind == OBJECT:
        # Text as text (bytes from HDF5 decoded); any other object is passed on unchanged.
        out = np.empty(len(values), dtype=object)
        out[:] = [v.decode("utf-8") if isinstance(v, bytes) else v for v in values]
        return out
    out = np.empty(len(values), dtype=np.int64 if kind == ID else np.float64)
    for row, value in enumerate(values):
        text = _as_str(value)
        if kind == ID and _INT_TEXT.fullmatch(text):
            number = int(text)
            if not _INT64_MIN <= number <= _INT64_MAX:
                raise BadValue(row, column, f"{text.strip()!r} does not fit a 64-bit integer")
        elif _FLOAT_TEXT.fullmatch(text):
            number = float(text)
        elif not text.strip():
            raise BadValue(row, column, "empty value")
        else:
            raise BadValue(row, column, f"{text.strip()!r} is not a number")
        if kind == ID and isinstance(number, float):
            if not number.is_integer():
                raise BadValue(row, column, f"{text.strip()!r} is not an integer")
            number = int(number)
        out[row] = number
    return _from_numbers(out, column, kind)


def _as_str(value):
    return value.decode("utf-8") if isinstance(value, bytes) else str(value)


def _first(mask):
    return int(np.flatnonzero(mask)[0])


def _from_numbers(values, column, kind):
    """Convert a numeric array to ``kind``, checking integer columns."""
    if kind == OBJECT:
        out = np.empty(len(values), dtype=object)
        out[:] = values.tolist()
        return out
    if kind in (DOUBLE, SITES):
        return np.asarray(values, dtype=np.float64)
    bounds = (INT32_MIN, INT32_MAX) if kind == INT else (_INT64_MIN, _INT64_MAX)
    name = "a 32-bit integer" if kind == INT else "a 64-bit integer"
    if values.dtype == np.int64 and kind == ID:
        return values
    if values.dtype.kind in "iub":
        if values.dtype.kind == "u" and values.dtype.itemsize == 8:
            too_big = values > np.uint64(bounds[1])
        else:
            wide = values.astype(np.int64)
            too_big = (wide < bounds[0]) | (wide > bounds[1])
        if too_big.any():
            row = _first(too_big)
            raise BadValue(row, column, f"{values[row]} does not fit {name}")
        return values.astype(np.int64)
    values = np.asarray(values, dtype=np.float64)
    bad = ~np.isfinite(values) | (values != np.floor(values)) if len(values) else np.zeros(0, bool)
    if bad.any():
        row = _first(bad)
        raise BadValue(row, column, f"{values[row]!r} is not an integer")
    # float64 ints are exact below 2**53; larger ones are out of range for INT anyway.
    outside = (values < bounds[0]) | (values > bounds[1])
    if outside.any():
        row = _first(outside)
        raise BadValue(row, column, f"{values[row]!r} does not fit {name}")
    return values.astype(np.int64)


def convert(values, column, kind):
    """Typed column from raw values (numbers, strings or bytes), or BadValue."""
    values = np.asarray(values)
    if values.dtype.kind in "fiub":
        return _from_numbers(values, column, kind)
    return _from_text(values, column, kind)


def convert_all(raw, kinds):
    """Convert the columns of one chunk; the bad value on the earliest row wins."""
    out, first_bad = {}, None
    for column, kind in kinds.items():
        try:
            out[column] = convert(raw[column], column, kind)
        except BadValue as bad:
            if first_bad is None or bad.row < first_bad.row:
                first_bad = bad
    if first_bad is not None:
        raise first_bad
    return out


# --- sources ---------------------------------------------------------------------------------

class Source:
    """A table: its name, its columns, and its rows, read chunk by chunk or by row range."""

    label = ""
    columns = ()

    def where(self, row):
        return f"row {row}"

    def require(self, needed, hint=None):
        missing = [name for name in needed if name not in self.columns]
        if missing:
            extra = f" ({hint(missing[0])})" if hint and hint(missing[0]) else ""
            raise InputError(f"{self.label}: missing column '{missing[0]}'{extra}; "
                             f"the columns are {', '.join(self.columns) or 'none'}")

    def error(self, row, column, reason):
        return InputError(f"{self.label}, {self.where(row)}, column '{column}': {reason}")

    def chunks(self, kinds, chunk_rows):
        """Yield (first row, {column: typed array}) for consecutive chunks of rows."""
        raise NotImplementedError

    def read(self, kinds, first, stop):
        """{column: typed array} of rows ``first`` to ``stop`` (excluded)."""
        raise NotImplementedError

    def descriptor(self):
        """What another process needs to open this table again (None: it cannot)."""
        return None

    def needs_check(self, column, kind):
        """Whether values of ``column`` can be bad at all (a text file's always can)."""
        return True

    def _typed(self, raw, kinds, first_row):
        try:
            return convert_all(raw, kinds)
        except BadValue as bad:
            raise self.error(first_row + bad.row, bad.column, bad.reason) from None


class ArraySource(Source):
    """Columns held as arrays: HDF5 datasets or DataFrame columns."""

    def __init__(self, label, arrays, length):
        self.label = label
        self._arrays = arrays
        self.columns = list(arrays)
        self.rows = length

    def chunks(self, kinds, chunk_rows):
        for start in range(0, self.rows, chunk_rows):
            yield start, self.read(kinds, start, min(start + chunk_rows, self.rows))

    def read(self, kinds, first, stop):
        raw = {column: self._arrays[column][first:stop] for column in kinds}
        return self._typed(raw, kinds, first)

    def needs_check(self, column, kind):
        # Floating-point and integer storage holds nothing a float column could refuse, and
        # signed integers nothing an id column could.
        dtype = self._arrays[column].dtype
        if kind in (DOUBLE, SITES):
            return dtype.kind not in "fiub"
        return not (kind == ID and dtype.kind == "i")


class FrameSource(ArraySource):
    def __init__(self, frame, name):
        arrays = {str(column): frame[column].to_numpy() for column in frame.columns}
        super().__init__(f"{name} table", arrays, len(frame))


def _signature(path):
    status = os.stat(path)
    return status.st_size, status.st_mtime_ns


class Hdf5Source(ArraySource):
    def __init__(self, path, h5file):
        arrays = {name: item for name, item in h5file.items()
                  if hasattr(item, "shape") and len(item.shape) == 1}
        lengths = {len(dataset) for dataset in arrays.values()}
        super().__init__(os.fspath(path), arrays, max(lengths, default=0))
        self._signature = _signature(path)
        for name, dataset in arrays.items():
            if len(dataset) != self.rows:
                raise InputError(f"{self.label}: dataset '{name}' has {len(dataset)} rows, "
                                 f"others have {self.rows}")

    def descriptor(self):
        return ("hdf5", os.path.abspath(self.label), self._signature)


class CsvSource(Source):
    """A CSV file with a header line; one row per line. Numbers are parsed exactly, as Python's
    ``float`` parses them. The file is read in blocks of whole lines, so that each chunk knows its
    line numbers and a refused chunk can be parsed again value by value to name the bad value.
    The byte offset of every block read by ``chunks`` is kept, so that ``read`` can later start
    near any row without reading the file from its beginning."""

    BLOCK_BYTES = 8 << 20

    def __init__(self, path, offsets=None):
        import pandas as pd

        self.label = os.fspath(path)
        self._signature = _signature(path)
        with open(path, "rb") as file:
            header = file.readline()
            self._data_offset = file.tell()
        if not header.strip():
            raise InputError(f"{self.label}: empty file, expected a header line")
        try:
            names = pd.read_csv(io.BytesIO(header), nrows=0, index_col=False).columns
        except (pd.errors.ParserError, UnicodeDecodeError) as error:
            raise InputError(f"{self.label}: unreadable header line: {error}") from None
        self._header = list(names)
        self.columns = [str(name).strip() for name in names]
        self._names = dict(zip(self.columns, names))
        self.offsets = offsets or [(0, self._data_offset)]     # (first row, byte offset)

    def where(self, row):
        return f"line {row + 2}"

    def descriptor(self):
        return ("csv", os.path.abspath(self.label), self._signature, tuple(self.offsets))

    def _parse(self, block, kinds, dtypes):
        import pandas as pd

        return pd.read_csv(
            io.BytesIO(block), header=None, names=self._header,
            usecols=[self._names[c] for c in kinds], dtype=dtypes, index_col=False,
            na_filter=False, skip_blank_lines=False, float_precision="round_trip")

    def _check_fields(self, block, count, start):
        """Refuse a line with more fields than the header (pandas would drop the surplus)."""
        commas = len(self._header) - 1
        if b'"' not in block:
            if block.count(b",") == count * commas:
                return
            lines = (line.count(b",") + 1 for line in block.split(b"\n"))
        else:
            text = block.decode("utf-8", errors="replace").splitlines(keepends=True)
            lines = (len(fields) for fields in csv.reader(text))
        for row, fields in enumerate(lines):
            if fields > commas + 1:
                raise InputError(f"{self.label}, {self.where(start + row)}: {fields} fields, "
                                 f"more than the {commas + 1} columns of the header line")

    def _block(self, block, count, start, kinds):
        """Typed columns of ``count`` lines of text whose first is row ``start``."""
        import pandas as pd

        self._check_fields(block, count, start)
        fast = {self._names[c]: (np.int64 if k == ID else object if k == OBJECT else np.float64)
                for c, k in kinds.items()}
        try:
            frame = self._parse(block, kinds, fast)
            raw = {c: frame[self._names[c]].to_numpy() for c in kinds}
            for column, kind in kinds.items():
                if kind == ID and raw[column].dtype != np.int64:
                    raise ValueError("ids beyond 64 bits")
        except pd.errors.ParserError as error:
            # pandas counts the lines of this block from 1; name them as lines of the file.
            message = re.sub(r"line (\d+)", lambda m: f"line {start + 1 + int(m[1])}",
                             str(error).strip())
            raise InputError(f"{self.label}: {message}") from None
        except ValueError:
            # Refused by the fast parser: check value by value to name the culprit.
            frame = self._parse(block, kinds, str)
            raw = {c: frame[self._names[c]].to_numpy(dtype=object) for c in kinds}
        if len(frame) != count:
            raise InputError(f"{self.label}, after {self.where(start - 1)}: a quoted value "
                             "spans lines, which catalogue tables do not support")
        return self._typed(raw, kinds, start)

    def chunks(self, kinds, chunk_rows):
        block_bytes = max(1 << 16, min(self.BLOCK_BYTES, chunk_rows * 64))
        self.offsets = [(0, self._data_offset)]
        start = 0
        with open(self.label, "rb") as file:
            file.seek(self._data_offset)
            while True:
                lines = file.readlines(block_bytes)
                if not lines:
                    return
                yield start, self._block(b"".join(lines), len(lines), start, kinds)
                start += len(lines)
                self.offsets.append((start, file.tell()))

    def read(self, kinds, first, stop):
        row, offset = self.offsets[bisect.bisect_right(self.offsets, (first, 2**63)) - 1]
        with open(self.label, "rb") as file:
            file.seek(offset)
            collections.deque(itertools.islice(file, first - row), maxlen=0)
            lines = list(itertools.islice(file, stop - first))
        if len(lines) != stop - first:
            raise InputError(f"{self.label}: the file ends before {self.where(stop - 1)}")
        return self._block(b"".join(lines), len(lines), first, kinds)


def reopen(descriptor, stack):
    """The Source of a descriptor, in this process; refused if the file has changed since."""
    kind, path, signature = descriptor[:3]
    try:
        current = _signature(path)
    except OSError as error:
        raise InputError(f"{path}: cannot read it here ({error})") from None
    if current != signature:
        raise InputError(f"{path}: changed since it was checked (size or time differs)")
    if kind == "csv":
        return CsvSource(path, offsets=list(descriptor[3]))
    import h5py

    return Hdf5Source(path, stack.enter_context(h5py.File(path, "r")))


def visible(*descriptors):
    """Whether this process sees the files of ``descriptors`` as they were when checked."""
    try:
        return all(_signature(d[1]) == d[2] for d in descriptors)
    except OSError:
        return False


def open_source(table, name, stack):
    """A Source for a path or a DataFrame; files opened here are closed by ``stack``."""
    if not isinstance(table, (str, os.PathLike)):
        import pandas as pd

        if isinstance(table, pd.DataFrame):
            return FrameSource(table, name)
        raise TypeError(f"{name}: expected a file path or a pandas DataFrame, "
                        f"not {type(table).__name__}")
    path = os.fspath(table)
    if not os.path.isfile(path):
        raise InputError(f"{path}: no such file ({name} table)")
    kind = file_format(path)
    if kind == "csv":
        return CsvSource(path)
    import h5py

    try:
        h5file = stack.enter_context(h5py.File(path, "r"))
    except OSError as error:
        raise InputError(f"{path}: not a readable HDF5 file ({error})") from None
    return Hdf5Source(path, h5file)


HDF5_SUFFIXES = (".h5", ".hdf5", ".hdf")


def file_format(path):
    lower = os.fspath(path).lower()
    if lower.endswith(".csv"):
        return "csv"
    if lower.endswith(HDF5_SUFFIXES):
        return "hdf5"
    raise InputError(f"{os.fspath(path)}: unknown file type; use .csv or .h5 (HDF5)")
