"""Test set-up: the built modules are imported from the source tree.

The repository root goes on sys.path (for ``gmms.Tarvik``), and so does ``siblings/`` (the
stand-in ``Dovecar`` and ``Brisquell``), which ``Morrand`` and ``Sellwyn`` import at load.
"""

import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SIBLINGS = ROOT / "siblings"
for path in (str(SIBLINGS), str(ROOT)):
    if path not in sys.path:
        sys.path.insert(0, path)
