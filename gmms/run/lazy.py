"""Attributes of a package imported on first use, so that importing the package itself stays
cheap (its command-line plumbing only: no numpy, pandas, h5py or Dask)."""

import importlib


def attributes(package, where):
    """A module ``__getattr__`` for ``package`` that takes each attribute named in ``where``
    ({attribute: module, relative to the package}) from its module when first asked for."""
    def __getattr__(name):
        module = where.get(name)
        if module is None:
            raise AttributeError(f"module {package!r} has no attribute {name!r}")
        return getattr(importlib.import_module(module, package), name)
    return __getattr__
