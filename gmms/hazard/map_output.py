"""Writing the result of a hazard job: an HDF5 file, or a directory of CSV files laid out as the
field lays them, and the maps as GeoJSON points; complete or not at all.

The HDF5 file keeps the layout of a hazard from a catalogue (``site_id``, ``levels``,
``annual_rate`` and ``poe`` as sites x levels hold the mean curves) and adds ``lon`` and ``lat``
per site and groups of their own for the branches, the realizations, the quantiles and the maps.
The CSV files hold a row per site: ``lon``, ``lat``, ``site_id``, then a column per level
(``poe-LEVEL``) or per probability (``IMT-POE``), under a ``#`` line of metadata.
"""

import json
import os

import numpy as np

from . import output
from .output import check_destination, check_plot_directory  # noqa: F401 (used by maps.py)


def write(result, path):
    output.write_atomically(path, result, _write_hdf5, _write_csv)


def _text(values):
    import h5py

    return np.array([str(value) for value in values], dtype=h5py.string_dtype())


def _write_hdf5(result, path):
    import h5py

    with h5py.File(path, "w-") as file:
        for key, value in result.metadata.items():
            file.attrs[key] = value
        file["site_id"] = result.site_id
        file["lon"] = result.lon
        file["lat"] = result.lat
        file["levels"] = result.levels
        file["annual_rate"] = result.annual_rate
        file["annual_rate"].attrs["statistic"] = "mean"
        file["poe"] = result.poe
        file["poe"].attrs["investigation_time"] = result.investigation_time
        branches = file.create_group("branches")
        branches["region"] = _text(region for region, _, _ in result.branches)
        branches["model"] = _text(model for _, model, _ in result.branches)
        branches["weight"] = np.array([w for _, _, w in result.branches], dtype=np.float64)
        branches["annual_rate"] = result.branch_rates
        branches["annual_rate"].attrs["axes"] = "branch, site, level"
        realizations = file.create_group("realizations")
        realizations["branches"] = np.array([b for b, _ in result.realizations], dtype=np.int64)
        realizations["branches"].attrs["meaning"] = "the branch of each tectonic region"
        realizations["weight"] = np.array([w for _, w in result.realizations], dtype=np.float64)
        if result.realization_rates is not None:
            realizations["annual_rate"] = result.realization_rates
            realizations["annual_rate"].attrs["axes"] = "realization, site, level"
        quantiles = file.create_group("quantiles")
        quantiles["quantile"] = np.array(list(result.quantile_rates), dtype=np.float64)
        quantiles["annual_rate"] = (np.array(list(result.quantile_rates.values()))
                                    if result.quantile_rates
                                    else np.zeros((0,) + result.annual_rate.shape))
        quantiles["annual_rate"].attrs["axes"] = "quantile, site, level"
        maps = file.create_group("maps")
        maps["poes"] = np.asarray(result.poes, dtype=np.float64)
        maps["poes"].attrs["investigation_time"] = result.investigation_time
        for name, values in result.maps.items():
            maps[name] = values
            maps[name].attrs["axes"] = "site, probability of exceedance"
        output.write_disaggregation(file, result.disaggregation, "probability of exceedance")


def _header(result, kind):
    fields = {"kind": kind, "investigation_time": result.investigation_time,
              "imt": result.imt, **result.metadata}
    return "# " + ", ".join(f"{key}={value!r}" for key, value in fields.items()) + "\n"


def _rows(result, columns, values):
    lines = [",".join(["lon", "lat", "site_id", *columns]) + "\n"]
    for lon, lat, site, row in zip(result.lon.tolist(), result.lat.tolist(),
                                   result.site_id.tolist(), values.tolist()):
        lines.append(",".join([repr(lon), repr(lat), str(site), *map(repr, row)]) + "\n")
    return "".join(lines)


def _write(path, text):
    with open(path, "x", newline="", encoding="utf-8") as file:
        file.write(text)


def _write_csv(result, directory):
    from gmms.hazard.logictree import poe

    levels = [f"poe-{level!r}" for level in result.levels.tolist()]
    for kind, rates in result.statistics():
        _write(os.path.join(directory, f"hazard_curve-{kind}.csv"),
               _header(result, kind) + _rows(result, levels, poe(rates,
                                                                  result.investigation_time)))
    poes = [f"{result.imt}-{p!r}" for p in result.poes]
    uhs = [f"{p!r}~{result.imt}" for p in result.poes]
    for kind, values in result.maps.items():
        _write(os.path.join(directory, f"hazard_map-{kind}.csv"),
               _header(result, kind) + _rows(result, poes, values))
        _write(os.path.join(directory, f"hazard_uhs-{kind}.csv"),
               _header(result, kind) + _rows(result, uhs, values))
        _write(os.path.join(directory, f"hazard_map-{kind}.geojson"),
               geojson(result, kind, values))
    d = result.disaggregation
    metadata = dict(result.metadata, investigation_time=result.investigation_time)
    if len(d.site_id):
        output.write_table(os.path.join(directory, "disaggregation.csv"), d.table(), metadata)
        output.write_table(os.path.join(directory, "disaggregation_summary.csv"), d.summary(),
                           metadata)


def geojson(result, kind, values):
    """A map as GeoJSON points: a feature per site, its values by ``IMT-POE``."""
    names = [f"{result.imt}-{p!r}" for p in result.poes]
    features = [{"type": "Feature",
                 "geometry": {"type": "Point", "coordinates": [lon, lat]},
                 "properties": {"site_id": site, **dict(zip(names, row))}}
                for lon, lat, site, row in zip(result.lon.tolist(), result.lat.tolist(),
                                               result.site_id.tolist(), values.tolist())]
    collection = {"type": "FeatureCollection",
                  "properties": {"kind": kind, "imt": result.imt,
                                 "investigation_time": result.investigation_time,
                                 **{k: v for k, v in result.metadata.items()}},
                  "features": features}
    return json.dumps(collection, allow_nan=False) + "\n"
