"""The errors a catalogue run ends with: the names of ``gmms.errors``, kept here as well.

``CatalogueError`` is ``gmms.errors.GmmsError`` under its older name.
"""

from gmms.errors import GmmsError as CatalogueError
from gmms.errors import InputError, ScenarioRefused, SetupError

__all__ = ["CatalogueError", "InputError", "ScenarioRefused", "SetupError"]
