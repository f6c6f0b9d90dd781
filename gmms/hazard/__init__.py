"""Seismic hazard from a scenario catalogue: curves, uniform hazard and disaggregation.

``run`` takes a catalogue as ``gmms.catalogue`` does, with an ``annual_rate`` per scenario,
and returns every site's annual rate of exceeding each IM level, the probability of that in an
investigation time, the level at each return period and, for a few sites, the shares of the
magnitudes, distances and epsilons behind it. Tasks reduce their pairs to exact sums per site
where they run, so the result is the same bits in this process and on any Dask cluster.

Only the command-line plumbing is imported with this package; the rest when a run starts.
"""

from gmms.errors import GmmsError, InputError, ScenarioRefused
from gmms.errors import GmmsError as CatalogueError  # its older name
from gmms.run.lazy import attributes

from .cli import add_parser
from .options import OptionError

__all__ = ["run", "add_parser", "GmmsError", "CatalogueError", "InputError", "OptionError",
           "ScenarioRefused"]
__getattr__ = attributes(__name__, {"run": ".runner"})
