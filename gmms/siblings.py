"""Where ``Morrand`` and ``Sellwyn`` find their sibling modules ``Dovecar`` and ``Brisquell``.

Both are imported as top-level modules when ``Morrand`` or ``Sellwyn`` is loaded, so their
directory must be on ``sys.path`` first. By default that is the directory of the stand-ins
shipped with this library (simple made-up models with the real signatures); name the directory
of the real modules to use those instead.
"""

import os
import pathlib
import sys


def _standin_dir():
    # Installed (pip): the directory gmms_standins beside the package. Source tree: siblings/.
    root = pathlib.Path(__file__).resolve().parent.parent
    installed = root / "gmms_standins"
    return installed if installed.is_dir() else root / "siblings"


STANDIN_DIR = _standin_dir()


def use_siblings(directory=None):
    """Put ``directory`` (default: the stand-ins) first on ``sys.path``; return it as a Path.

    Call this before the first import of ``gmms.Morrand`` or ``gmms.Sellwyn``: a module already
    loaded keeps the sibling it imported.
    """
    path = pathlib.Path(directory).resolve() if directory is not None else STANDIN_DIR
    if not path.is_dir():
        raise FileNotFoundError(f"sibling module directory not found: {path}")
    text = os.fspath(path)
    if text in sys.path:
        sys.path.remove(text)
    sys.path.insert(0, text)
    return path
