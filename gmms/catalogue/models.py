"""What the catalogue runner knows about each model's entry function.

A parameter is either a scenario parameter (one value per earthquake: a column of the scenario
table) or a site parameter (one value per site: a column of the pair table). Scenario parameters
are converted to the kind the entry function takes: a double, a 32-bit integer or, for
``Sellwyn``'s ``region``, the text passed on unchanged.
"""

DOUBLE = "double"
INT = "int"
TEXT = "text"
SITE = "site"

INT32_MIN = -(2**31)
INT32_MAX = 2**31 - 1

IM_NAMES = {0: "Ia", 1: "CAV"}


class Model:
    def __init__(self, name, parameters, sibling=None, im=None):
        self.name = name
        self.entry_name = f"{name}_cy"
        self.parameters = parameters          # (name, kind) in the entry function's order
        self.sibling = sibling                # the sibling module it imports, if any
        self.im = im                          # fixed IM label, or None when the IM is a parameter

    @property
    def scenario_columns(self):
        return [(name, kind) for name, kind in self.parameters if kind != SITE]

    @property
    def site_columns(self):
        return [name for name, kind in self.parameters if kind == SITE]

    def im_label(self, im_codes):
        """The IM of a catalogue, from the ``IM`` values of its scenarios (for the file's metadata)."""
        if self.im is not None:
            return self.im
        return ",".join(IM_NAMES.get(code, f"IM {code}") for code in sorted(set(im_codes)))


MODELS = {
    model.name: model
    for model in (
        Model("Tarvik", [
            ("IM", INT), ("M", DOUBLE), ("hypo_lat", DOUBLE), ("hypo_lon", DOUBLE),
            ("hypo_depth", DOUBLE), ("R_rup", SITE), ("Vs30", SITE),
            ("fins", INT), ("fint", INT), ("fnm", INT), ("frv", INT),
        ]),
        Model("Morrand", [
            ("M", DOUBLE), ("fdip", DOUBLE), ("fZtor", DOUBLE),
            ("R_JB", SITE), ("R_rup", SITE), ("R_x", SITE), ("Vs30", SITE), ("Z1p0", SITE),
            ("Z2p5", SITE), ("fnm", INT), ("frv", INT), ("CAVgmType", INT), ("PSVcheck", INT),
        ], sibling="Dovecar", im="CAVdp"),
        Model("Sellwyn", [
            ("IM", INT), ("M", DOUBLE), ("fwidth", DOUBLE), ("fdip", DOUBLE), ("Z_tor", DOUBLE),
            ("Z_hyp", DOUBLE), ("R_JB", SITE), ("R_rup", SITE), ("R_x", SITE), ("Vs30", SITE),
            ("Z2p5", SITE), ("fnm", INT), ("frv", INT), ("region", TEXT),
        ], sibling="Brisquell"),
    )
}
