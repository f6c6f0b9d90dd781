"""The catalogue's view of the model registry (gmms.models): column kinds and call order.

A parameter is either a scenario parameter (one value per earthquake: a column of the scenario
table) or a site parameter (one value per site: a column of the pair table). Scenario parameters
are converted to the kind the entry function takes: a double, a 32-bit integer or, for an
"object" parameter such as ``Sellwyn``'s ``region``, the value passed on as read.
"""

from gmms import models as registry

# The column kinds of the parameters: the registry's kinds.
DOUBLE, INT, SITE, TEXT = registry.DOUBLE, registry.INT, registry.SITES, registry.OBJECT
INT32_MIN, INT32_MAX = registry.INT32_MIN, registry.INT32_MAX


class Model:
    """A registry entry as the catalogue uses it: ``parameters`` are (name, kind) pairs in the
    entry function's order, the order in which the catalogue calls it."""

    def __init__(self, spec):
        self.spec = spec
        self.name = spec.name
        self.entry_name = spec.entry
        self.sibling = spec.sibling
        self.parameters = tuple((p.name, p.kind) for p in spec.parameters)
        self.im_label = spec.im_label

    @property
    def scenario_columns(self):
        return [(name, kind) for name, kind in self.parameters if kind != SITE]

    @property
    def site_columns(self):
        return [name for name, kind in self.parameters if kind == SITE]


MODELS = {name: Model(spec) for name, spec in registry.MODELS.items()}
