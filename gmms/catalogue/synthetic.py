"""Synthetic catalogues with plausible parameter ranges, for trying the runner and timing it.

The numbers are random draws, not a seismological model: each scenario gets a magnitude, a
hypocentre or rupture geometry and flags; each site a Vs30 and basin depths that stay the same
for every scenario, and a distance drawn anew for each (scenario, site) pair.
"""

import numpy as np

from .models import MODELS, SITE

REGIONS = ("global", "JP", "CA", "TW")


def scenarios(model, n, *, seed=0, im=1, first_id=1):
    """A scenario table (DataFrame) of ``n`` scenarios with ids ``first_id`` onwards."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    table = {"scenario_id": np.arange(first_id, first_id + n, dtype=np.int64)}
    draw = {
        "IM": lambda: np.full(n, im, dtype=np.int64),
        "M": lambda: np.round(rng.uniform(5.0, 8.0, n), 2),
        "hypo_lat": lambda: rng.uniform(30.0, 46.0, n),
        "hypo_lon": lambda: rng.uniform(125.0, 150.0, n),
        "hypo_depth": lambda: rng.uniform(5.0, 120.0, n),
        "fdip": lambda: rng.uniform(20.0, 90.0, n),
        "fZtor": lambda: rng.uniform(0.0, 15.0, n),
        "Z_tor": lambda: rng.uniform(0.0, 15.0, n),
        "Z_hyp": lambda: rng.uniform(5.0, 20.0, n),
        "fwidth": lambda: rng.uniform(5.0, 50.0, n),
        "CAVgmType": lambda: rng.integers(0, 2, n),
        "PSVcheck": lambda: rng.integers(0, 2, n),
        "region": lambda: np.array(REGIONS, dtype=object)[rng.integers(0, len(REGIONS), n)],
    }
    mechanism = rng.integers(0, 3, n)       # 0 strike-slip, 1 normal, 2 reverse
    in_slab = rng.integers(0, 2, n)
    flags = {"fnm": (mechanism == 1).astype(np.int64), "frv": (mechanism == 2).astype(np.int64),
             "fins": in_slab, "fint": 1 - in_slab}
    for name, kind in MODELS[model].scenario_columns:
        table[name] = flags[name] if name in flags else draw[name]()
    return pd.DataFrame(table)


def pairs(model, scenario_ids, n_sites, *, seed=0, block_scenarios=100):
    """The pair table of every scenario with every one of ``n_sites`` sites, as DataFrames of
    ``block_scenarios`` scenarios each (so that a large table never has to be held whole)."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    site_vs30 = np.round(rng.uniform(150.0, 1500.0, n_sites), 1)
    site_z1p0 = rng.uniform(0.01, 1.0, n_sites)
    site_z2p5 = rng.uniform(0.1, 8.0, n_sites)
    site_ids = np.arange(n_sites, dtype=np.int64)
    names = [name for name, kind in MODELS[model].parameters if kind == SITE]
    for lo in range(0, len(scenario_ids), block_scenarios):
        ids = np.asarray(scenario_ids[lo:lo + block_scenarios], dtype=np.int64)
        n = len(ids) * n_sites
        r_jb = rng.uniform(0.0, 300.0, n)
        columns = {
            "R_JB": r_jb,
            "R_rup": np.hypot(r_jb, rng.uniform(0.0, 20.0, n)),
            "R_x": r_jb * rng.choice([-1.0, 1.0], n),
            "Vs30": np.tile(site_vs30, len(ids)),
            "Z1p0": np.tile(site_z1p0, len(ids)),
            "Z2p5": np.tile(site_z2p5, len(ids)),
        }
        block = {"scenario_id": np.repeat(ids, n_sites), "site_id": np.tile(site_ids, len(ids))}
        block.update((name, columns[name]) for name in names)
        yield pd.DataFrame(block)


def write(path, frames):
    """Write DataFrames one after the other as one CSV or HDF5 table (one dataset per column)."""
    path = str(path)
    if path.lower().endswith(".csv"):
        with open(path, "w", newline="", encoding="utf-8") as file:
            for index, frame in enumerate(frames):
                frame.to_csv(file, header=index == 0, index=False, lineterminator="\n",
                             na_rep="nan")
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
