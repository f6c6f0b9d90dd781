"""Moved to gmms.pairs.table (a checked catalogue is a ``PairTable`` there); this name stays for
callers of the older path."""

from gmms.pairs.table import *  # noqa: F401,F403
from gmms.pairs.table import PairTable as Catalogue  # noqa: F401
