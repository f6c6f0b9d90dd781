"""The run layer: what every command over (scenario, site) pairs shares.

Where tasks run (``executors``: in this process, on a local cluster, on a Dask cluster; with
``security`` for a TLS scheduler), how big they are and whether a cluster pays for itself
(``sizing``), the options of a run and its preamble (``options``), their command-line form
(``cli``), and flushing the files a run writes (``files``). ``gmms.catalogue`` and
``gmms.hazard`` are built on it; Dask is imported only by the executors that use it.
"""
