"""Moved to gmms.run.executors; this name stays for callers of the older path."""

from gmms.run.executors import *  # noqa: F401,F403
