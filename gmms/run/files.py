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
