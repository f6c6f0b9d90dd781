"""Moved to gmms.pairs.tables; this name stays for callers of the older path."""

from gmms.pairs.tables import *  # noqa: F401,F403
