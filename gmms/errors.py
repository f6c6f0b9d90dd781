"""The errors of gmms: one family, rooted at ``GmmsError``.

A command or run that cannot be completed raises a ``GmmsError``; the command line reports it
as one line, without a traceback. The errors travel from Dask workers back to the client by
pickling, so each keeps the arguments it was made from in ``args`` and builds its message from
them.

The family, and where else its classes are importable::

    GmmsError               (gmms.catalogue.CatalogueError, gmms.hazard.CatalogueError)
    +-- InputError          (gmms.catalogue.InputError, gmms.hazard.InputError)
    |   +-- gmms.hazard.OptionError
    +-- ScenarioRefused     (gmms.catalogue.ScenarioRefused, gmms.hazard.ScenarioRefused)
    +-- SetupError          (gmms.catalogue.SetupError)
"""


class GmmsError(Exception):
    """A gmms run or command could not be completed; no output file was left behind.

    The base of every error a catalogue or hazard run ends with: catch it to handle them all.
    Raised as such for failures that are neither the input's nor the model's, such as an output
    that cannot be written or a cluster that cannot be reached. A run interrupted by such a
    failure keeps the partitions it completed for ``resume``, and its message says so.

    Parameters
    ----------
    *args
        The message (one line, naming what failed), as for any exception.

    See Also
    --------
    InputError, ScenarioRefused, SetupError

    Examples
    --------
    >>> from gmms.errors import GmmsError
    >>> from gmms.catalogue import run
    >>> try:
    ...     run("Tarvik", "scenarios.csv", "pairs.csv", out="no/such/directory/out.h5",
    ...         serial=True)
    ... except GmmsError as error:
    ...     print(f"{type(error).__name__}: {error}")
    GmmsError: no/such/directory/out.h5: directory .../no/such/directory does not exist
    """


class InputError(GmmsError):
    """The user's input is unusable (a table, a source model, a site model, a job file, an
    option): a missing column, a bad value, a broken link. The message names the file, the line
    and the column (or the element, or the option) where it applies.

    Raised before any model work: a run that ends with it has evaluated nothing and written
    nothing, and running it again with the same input ends the same way.

    Parameters
    ----------
    *args
        The message, naming where in the input the problem is and what it is.

    Examples
    --------
    >>> import pandas as pd
    >>> from gmms.catalogue import run
    >>> from gmms.errors import InputError
    >>> scenarios = pd.DataFrame({"scenario_id": [1], "IM": [1], "M": [7.0], "hypo_lat": [40.0],
    ...                           "hypo_lon": [135.0], "hypo_depth": [50.0], "fins": [1],
    ...                           "fint": [1], "fnm": [0], "frv": [0]})
    >>> pairs = pd.DataFrame({"scenario_id": [1], "site_id": [10], "R_rup": [10.0],
    ...                       "Vs30": ["fast"]})
    >>> try:
    ...     run("Tarvik", scenarios, pairs, serial=True)
    ... except InputError as error:
    ...     print(error)
    pairs table, row 0, column 'Vs30': 'fast' is not a number
    """


class ScenarioRefused(GmmsError):
    """The model raised for one scenario: its id and the model's own message.

    Parameters
    ----------
    model : str
        The model's name, such as ``"Tarvik"``.
    scenario_id : int
        The id of the scenario the model refused.
    error_type : str
        The name of the exception the model raised, such as ``"TypeError"``.
    message : str
        The model's message.

    Attributes
    ----------
    model, scenario_id, error_type, message
        As given.

    Examples
    --------
    ``Tarvik`` has no IM 2:

    >>> import pandas as pd
    >>> from gmms.catalogue import run
    >>> from gmms.errors import ScenarioRefused
    >>> scenarios = pd.DataFrame({"scenario_id": [7], "IM": [2], "M": [7.0], "hypo_lat": [40.0],
    ...                           "hypo_lon": [135.0], "hypo_depth": [50.0], "fins": [1],
    ...                           "fint": [1], "fnm": [0], "frv": [0]})
    >>> pairs = pd.DataFrame({"scenario_id": [7], "site_id": [10], "R_rup": [10.0],
    ...                       "Vs30": [760.0]})
    >>> try:
    ...     run("Tarvik", scenarios, pairs, serial=True)
    ... except ScenarioRefused as error:
    ...     print(error.scenario_id, error.error_type)
    ...     print(error)
    7 TypeError
    Tarvik refused scenario 7: TypeError: must be real number, not NoneType
    """

    def __init__(self, model, scenario_id, error_type, message):
        super().__init__(model, scenario_id, error_type, message)
        self.model = model
        self.scenario_id = scenario_id
        self.error_type = error_type
        self.message = message

    def __str__(self):
        return f"{self.model} refused scenario {self.scenario_id}: {self.error_type}: {self.message}"


class SetupError(GmmsError):
    """A process could not load the model (or its sibling module) it was asked to run.

    In a run on a cluster, the worker's own message says why (a sibling directory that is not
    there on that machine, a module that is not built, one already loaded with other siblings).

    Parameters
    ----------
    *args
        The message, naming the model, the process and the reason.

    Examples
    --------
    >>> from gmms.errors import SetupError
    >>> raise SetupError("cannot load gmms.Morrand: no module named 'Dovecar'")
    Traceback (most recent call last):
      ...
    gmms.errors.SetupError: cannot load gmms.Morrand: no module named 'Dovecar'
    """
