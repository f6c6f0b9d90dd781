"""Moved to gmms.run.sizing; this name stays for callers of the older path."""

from gmms.run.sizing import *  # noqa: F401,F403
