"""The errors of gmms: one family, rooted at ``GmmsError``.

A command or run that cannot be completed raises a ``GmmsError``; the command line reports it
as one line, without a traceback. The errors travel from Dask workers back to the client by
pickling, so each keeps the arguments it was made from in ``args`` and builds its message from
them.
"""


class GmmsError(Exception):
    """A gmms run or command could not be completed; no output file was left behind."""


class InputError(GmmsError):
    """The user's input is unusable (a table, a source model, a site model, a job file, an
    option): a missing column, a bad value, a broken link. The message names the file, the line
    and the column (or the element, or the option) where it applies."""


class ScenarioRefused(GmmsError):
    """The model raised for one scenario: its id and the model's own message."""

    def __init__(self, model, scenario_id, error_type, message):
        super().__init__(model, scenario_id, error_type, message)
        self.model = model
        self.scenario_id = scenario_id
        self.error_type = error_type
        self.message = message

    def __str__(self):
        return f"{self.model} refused scenario {self.scenario_id}: {self.error_type}: {self.message}"


class SetupError(GmmsError):
    """A process could not load the model (or its sibling module) it was asked to run."""
