"""gmms: earthquake ground-motion models as CPython extension modules.

Each model is its own module with one entry function per earthquake scenario, such as
``gmms.Tarvik.Tarvik_cy``. The registry ``gmms.models.MODELS`` lists the models with their
parameters, intensity measures and the sibling modules some are built on.

The modules are imported on demand (``from gmms import Tarvik``); importing the package does not
load them, so that ``Tarvik`` works without the sibling modules of the other two.
"""

__version__ = "0.1.0"
