"""Where (scenario, site) pairs come from, and evaluating a model over them.

A pair source is checked once, before any model work, and then cut into pieces; a task carries a
piece to the process that evaluates it, which asks the piece for its pairs as ``PairBlock``s.
The pair table (``table.PairTable``) is one such source: a scenario table and a pair table, read
from CSV, HDF5 or DataFrames.
"""
