"""The errors a catalogue run ends with.

They travel from Dask workers back to the client by pickling, so each keeps the arguments it
was made from in ``args`` and builds its message from them.
"""


class CatalogueError(Exception):
    """A catalogue run could not be completed; no output file was left behind."""


class InputError(CatalogueError):
    """A scenario or pair table is unusable: a missing column, a bad value, a broken link."""


class ScenarioRefused(CatalogueError):
    """The model raised for one scenario: its id and the model's own message."""

    def __init__(self, model, scenario_id, error_type, message):
        super().__init__(model, scenario_id, error_type, message)
        self.model = model
        self.scenario_id = scenario_id
        self.error_type = error_type
        self.message = message

    def __str__(self):
        return f"{self.model} refused scenario {self.scenario_id}: {self.error_type}: {self.message}"


class SetupError(CatalogueError):
    """A process could not load the model (or its sibling module) it was asked to run."""
