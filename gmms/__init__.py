"""gmms: earthquake ground-motion models as CPython extension modules.

Each model is its own module with one entry function per earthquake scenario:

- ``gmms.Tarvik.Tarvik_cy``: Arias intensity and CAV (closed form).
- ``gmms.Morrand.Morrand_cy``: standardized CAV (needs the sibling module ``Dovecar``).
- ``gmms.Sellwyn.Sellwyn_cy``: Arias intensity and CAV (needs the sibling module ``Brisquell``).

The modules are imported on demand (``from gmms import Tarvik``); importing the package does not
load them, so that ``Tarvik`` works without the sibling modules of the other two.
"""

__version__ = "0.1.0"
