"""Scenario catalogues: one model evaluated for every (scenario, site) pair of a catalogue.

A catalogue is two tables. The scenario table has one row per earthquake scenario: a
``scenario_id`` and the entry function's scalar parameters, named as the function names them.
The pair table has one row per (scenario, site): ``scenario_id``, ``site_id`` and the per-site
parameters. ``run`` evaluates them in this process, on a local cluster of worker processes, or
on a Dask cluster, and writes ``scenario_id``, ``site_id``, mean ln IM, median IM, phi and tau.

Only the command-line plumbing is imported with this package; pandas, h5py and Dask are loaded
when a catalogue is run.
"""

from gmms.errors import GmmsError, InputError, ScenarioRefused, SetupError
from gmms.errors import GmmsError as CatalogueError  # its older name
from gmms.run.lazy import attributes

from .cli import add_parser

__all__ = ["run", "add_parser", "GmmsError", "CatalogueError", "InputError", "ScenarioRefused",
           "SetupError"]
__getattr__ = attributes(__name__, {"run": ".runner"})
