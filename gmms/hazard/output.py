"""Writing a hazard result: an HDF5 file, or a directory of CSV files, complete or not at all.

Both are written under a temporary name beside the destination and renamed into place at the
end, like the catalogue's output: a failed run leaves nothing behind, and an older result of
that name stays as it was until the new one is complete.
"""

import os
import shutil
import uuid

import numpy as np

from gmms.errors import GmmsError
from gmms.pairs.tables import HDF5_SUFFIXES
from gmms.run.files import fsync_path, to_csv

from .results import STATUS


def is_hdf5(path):
    return os.fspath(path).lower().endswith(HDF5_SUFFIXES)


def check_destination(path):
    """Fail before any work when ``path`` cannot take the result."""
    text = os.fspath(path)
    if text.lower().endswith(".csv"):
        raise GmmsError(f"{text}: CSV results are a directory of files (curves.csv, ...): "
                             "give a directory name, or an .h5 file")
    parent = os.path.dirname(os.path.abspath(text))
    if not os.path.isdir(parent):
        raise GmmsError(f"{text}: directory {parent} does not exist")
    if is_hdf5(text) and os.path.isdir(text):
        raise GmmsError(f"{text}: is a directory")
    if not is_hdf5(text) and os.path.exists(text) and not os.path.isdir(text):
        raise GmmsError(f"{text}: is a file, not a directory for CSV results")


def check_plot_directory(path):
    text = os.fspath(path)
    if os.path.exists(text) and not os.path.isdir(text):
        raise GmmsError(f"{text}: is a file, not a directory for the plots")
    parent = os.path.dirname(os.path.abspath(text))
    if not os.path.isdir(parent):
        raise GmmsError(f"{text}: directory {parent} does not exist")


def _temporary(path, suffix):
    directory, name = os.path.split(os.path.abspath(os.fspath(path)))
    return os.path.join(directory, f".{name}.{uuid.uuid4().hex[:12]}.{suffix}")


def write(hazard, path):
    write_atomically(path, hazard, _write_hdf5, _write_csv)


def write_atomically(path, result, hdf5, csv):
    """``hdf5(result, file)`` for an .h5 ``path``, else ``csv(result, directory)``, under a
    temporary name renamed into place once complete."""
    temporary = _temporary(path, "part")
    try:
        if is_hdf5(path):
            hdf5(result, temporary)
            fsync_path(temporary)
            os.replace(temporary, path)
        else:
            os.mkdir(temporary)
            csv(result, temporary)
            _replace_directory(temporary, os.fspath(path))
    except BaseException:
        if os.path.isdir(temporary):
            shutil.rmtree(temporary, ignore_errors=True)
        elif os.path.exists(temporary):
            os.unlink(temporary)
        raise


def _replace_directory(temporary, path):
    # A directory cannot be swapped for another in one step: the old one moves aside first,
    # and is removed only once the new one has its name.
    for name in os.listdir(temporary):
        fsync_path(os.path.join(temporary, name))
    old = None
    if os.path.isdir(path):
        old = _temporary(path, "old")
        os.rename(path, old)
    try:
        os.rename(temporary, path)
    except BaseException:
        if old is not None:
            os.rename(old, path)
        raise
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)


def _write_hdf5(hazard, path):
    import h5py

    d = hazard.disaggregation
    with h5py.File(path, "w-") as file:
        for key, value in hazard.metadata.items():
            file.attrs[key] = value
        file["site_id"] = hazard.site_id
        file["levels"] = hazard.levels
        file["annual_rate"] = hazard.annual_rate
        file["poe"] = hazard.poe
        file["poe"].attrs["investigation_time"] = hazard.investigation_time
        file["return_periods"] = np.asarray(hazard.return_periods, dtype=np.float64)
        file["uniform_hazard"] = hazard.uniform_hazard
        file["uniform_hazard_status"] = hazard.status
        file["uniform_hazard_status"].attrs["meaning"] = "; ".join(
            f"{code}: {text}" for code, text in STATUS.items())
        write_disaggregation(file, d, "return period")


def write_disaggregation(file, d, axis):
    """The disaggregation's group of an HDF5 file; ``axis``: what its second axis is."""
    group = file.create_group("disaggregation")
    group["site_id"] = d.site_id
    group["level"] = d.level
    group["rate"] = d.rate
    group["shares"] = d.shares
    group["shares"].attrs["axes"] = f"site, {axis}, M bin, R bin, epsilon bin"
    for name in ("m_edges", "r_edges", "eps_edges"):
        group[name] = getattr(d, name)
    for kind, values in (("mean", d.mean), ("modal", d.modal)):
        for name, array in values.items():
            group[f"{kind}_{name}"] = array


def write_table(path, frame, metadata):
    with open(path, "x", newline="", encoding="utf-8") as file:
        for key, value in metadata.items():
            file.write(f"# {key}: {value}\n")
        # repr keeps every double: the file reads back to the same numbers.
        to_csv(frame, file, index=False, exact=True)


def _write_csv(hazard, directory):
    metadata = dict(hazard.metadata, investigation_time=hazard.investigation_time)
    d = hazard.disaggregation
    tables = {"curves.csv": hazard.curves(),
              "uniform_hazard.csv": hazard.uniform_hazard_table(),
              "disaggregation.csv": d.table(),
              "disaggregation_summary.csv": d.summary()}
    for name, frame in tables.items():
        write_table(os.path.join(directory, name), frame, metadata)
