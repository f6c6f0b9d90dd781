"""Moved to gmms.run.security; this name stays for callers of the older path."""

from gmms.run.security import *  # noqa: F401,F403
