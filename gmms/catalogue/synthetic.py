"""Synthetic catalogues with plausible parameter ranges, for trying the runner and timing it.

The numbers are random draws, not a seismological model: each scenario gets a magnitude, a
hypocentre or rupture geometry and flags; each site a Vs30 and basin depths that stay the same
for every scenario, and a distance drawn anew for each (scenario, site) pair. How each parameter
is drawn is part of its entry in the model registry (gmms.models). Every model's sites are drawn
alike, so that catalogues of different models made with the same seed share their sites.
"""

import numpy as np

from gmms.run.files import to_csv

from gmms.models import (MODELS, SCENARIO_CLASSES, Flag, Hypot, Integers, OneOf, PerSite,
                         RequestedIM, Signed, Uniform)


def _draw(how, rng, n, drawn):
    """``n`` values drawn as ``how`` says; ``drawn`` holds what was drawn before (by name)."""
    if isinstance(how, Uniform):
        values = rng.uniform(how.low, how.high, n)
        return values if how.decimals is None else np.round(values, how.decimals)
    if isinstance(how, Integers):
        return rng.integers(how.low, how.high, n)
    if isinstance(how, OneOf):
        return np.array(how.values, dtype=object)[rng.integers(0, len(how.values), n)]
    if isinstance(how, Flag):
        return (drawn[how.of] == how.value).astype(np.int64)
    if isinstance(how, RequestedIM):
        return np.full(n, drawn["IM"], dtype=np.int64)
    if isinstance(how, PerSite):
        return _draw(how.draw, rng, n, drawn)
    if isinstance(how, Hypot):
        return np.hypot(drawn[how.of], _draw(how.draw, rng, n, drawn))
    if isinstance(how, Signed):
        return drawn[how.of] * rng.choice([-1.0, 1.0], n)
    raise TypeError(f"no synthetic draw for {how!r}")


def _depends_on(how):
    return [how.of] if isinstance(how, (Hypot, Signed)) else []


def scenarios(model, n, *, seed=0, im=1, first_id=1):
    """A scenario table (DataFrame) of ``n`` scenarios with ids ``first_id`` onwards."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    table = {"scenario_id": np.arange(first_id, first_id + n, dtype=np.int64)}
    drawn = {"IM": im}
    for name, classes in SCENARIO_CLASSES:
        drawn[name] = rng.integers(0, len(classes), n)
    for p in MODELS[model].scenario_parameters:
        table[p.name] = _draw(p.draw, rng, n, drawn)
    return pd.DataFrame(table)


def _site_draws():
    """How each site parameter of any model is drawn, in the order the registry names them."""
    draws = {}
    for spec in MODELS.values():
        for p in spec.site_parameters:
            draws.setdefault(p.name, p.draw)
    return draws


def pairs(model, scenario_ids, n_sites, *, seed=0, block_scenarios=100):
    """The pair table of every scenario with every one of ``n_sites`` sites, as DataFrames of
    ``block_scenarios`` scenarios each (so that a large table never has to be held whole)."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    draws = _site_draws()
    per_site = {name: _draw(how, rng, n_sites, {}) for name, how in draws.items()
                if isinstance(how, PerSite)}
    site_ids = np.arange(n_sites, dtype=np.int64)
    names = [p.name for p in MODELS[model].site_parameters]

    def column(name, columns, n):
        # A parameter drawn from another one is drawn after it.
        if name not in columns:
            for other in _depends_on(draws[name]):
                column(other, columns, n)
            columns[name] = _draw(draws[name], rng, n, columns)
        return columns[name]

    for lo in range(0, len(scenario_ids), block_scenarios):
        ids = np.asarray(scenario_ids[lo:lo + block_scenarios], dtype=np.int64)
        n = len(ids) * n_sites
        columns = {name: np.tile(values, len(ids)) for name, values in per_site.items()}
        for name in draws:
            column(name, columns, n)
        block = {"scenario_id": np.repeat(ids, n_sites), "site_id": np.tile(site_ids, len(ids))}
        block.update((name, columns[name]) for name in names)
        yield pd.DataFrame(block)


def write(path, frames):
    """Write DataFrames one after the other as one CSV or HDF5 table (one dataset per column)."""
    path = str(path)
    if path.lower().endswith(".csv"):
        with open(path, "w", newline="", encoding="utf-8") as file:
            for index, frame in enumerate(frames):
                to_csv(frame, file, header=index == 0, index=False, na_rep="nan")
        return
    import h5py

    with h5py.File(path, "w") as file:
        for frame in frames:
            for name in frame.columns:
                values = frame[name].to_numpy()
                if values.dtype == object:
                    values = values.astype(str).astype(h5py.string_dtype())
                if name not in file:
                    file.create_dataset(name, data=values, maxshape=(None,),
                                        chunks=(min(max(len(values), 1), 1 << 16),))
                elif len(values):
                    dataset = file[name]
                    dataset.resize((len(dataset) + len(values),))
                    dataset[-len(values):] = values
