"""From a seismic source model and sites to a catalogue: the ``ruptures`` command.

``run`` makes every rupture of a source model (NRML), finds the sites within a maximum
distance of each, and writes the two tables ``catalogue`` and ``hazard`` read: a scenario table
(a row per rupture: its annual rate, the model's scenario parameters and the rupture's
geometry) and a pair table (a row per rupture and site within the distance: the model's site
parameters), as CSV or HDF5 files.

Only the command-line plumbing is imported with this package; the rest when it runs.
"""

from gmms.errors import GmmsError, InputError
from gmms.run.lazy import attributes

from .cli import add_parser

__all__ = ["run", "add_parser", "GmmsError", "InputError"]

__getattr__ = attributes(__name__, {"run": ".writer", "Summary": ".writer"})
