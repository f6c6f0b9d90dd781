"""Files a run writes: flushing them to disk, on every platform."""

import os

# Without O_BINARY, Windows opens a descriptor in text mode and turns every 0x0A written into
# 0x0D 0x0A.
BINARY = getattr(os, "O_BINARY", 0)


def fsync_path(path, flags=os.O_RDWR | BINARY):
    """Flush a file (or, with ``flags`` os.O_RDONLY, a directory) to disk. A file is opened for
    writing: Windows flushes only a file opened so."""
    fd = os.open(path, flags)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def to_csv(frame, file, exact=False, **options):
    """``frame.to_csv(file, ...)`` with lines ending in a bare LF on every platform. pandas 1.5
    renamed the option (line_terminator to lineterminator) and 2.0 dropped the old name.

    ``exact``: every float written as its repr, which reads back to the same double (NaN as an
    empty cell). Not with pandas' float_format=repr: before pandas 1.2 that formats a whole
    column at once, and writes the characters of the column's repr one per row."""
    import pandas as pd

    if exact:
        frame = frame.copy()
        for name, column in frame.items():
            if column.dtype.kind == "f":
                frame[name] = [repr(float(v)) if v == v else "" for v in column.to_numpy()]
    key = "lineterminator" if _version(pd.__version__) >= (1, 5) else "line_terminator"
    return frame.to_csv(file, **{key: "\n"}, **options)


def _version(text):
    """(major, minor) of a version string such as '1.1.5' or '4.57.0+dfsg'."""
    return tuple(int("".join(c for c in part if c.isdigit()) or 0) for part in text.split(".")[:2])
