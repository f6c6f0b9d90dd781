"""Writing the scenario and pair tables of a source model and sites, a block of ruptures at a
time: memory is bounded by a block, not by the number of pairs. Each file is written under a
temporary name beside it and renamed when complete."""

import contextlib
import dataclasses
import os
import uuid

import numpy as np

from gmms import models, sources
from gmms.errors import GmmsError, InputError
from gmms.pairs.ruptures import DEFAULT_MAXIMUM_DISTANCE_KM, RuptureSource
from gmms.pairs.tables import file_format
from gmms.run.files import fsync_path
from gmms.run.options import progress_bar

RATE = "annual_rate"
# The rupture's geometry beside the model's parameters, for GIS: the four corners of the plane
# (top edge first, from the corner the strike leaves), its depths, and its record.
GEOMETRY = ("source_id", "rupture_index", "tectonic_region", "mag", "rake", "strike", "dip",
            "length", "width", "ztor", "zbot", "hypo_lon", "hypo_lat", "hypo_depth",
            "lon1", "lat1", "lon2", "lat2", "lon3", "lat3", "lon4", "lat4")
TEXT_COLUMNS = ("source_id", "tectonic_region")


@dataclasses.dataclass
class Summary:
    """What a run wrote."""
    ruptures: int
    sources: int
    sites: int
    pairs: int
    scenarios: str
    pairs_path: str
    notes: list


def run(model, source_model, sites, scenarios, pairs, *, maximum_distance=DEFAULT_MAXIMUM_DISTANCE_KM,
        discretization=None, progress=False):
    """Write the scenario table ``scenarios`` and the pair table ``pairs`` (each a .csv or .h5
    path) of every rupture of ``source_model`` with the ``sites`` within ``maximum_distance``
    km (R_rup), for ``model``.

    Parameters
    ----------
    model : str
        A model with its choices for the run, ``"Tarvik(IM='CAV')"``, or a model of one's own,
        ``"package.module:function"``.
    source_model : str or gmms.sources.SourceModel
        An NRML file, or a model read with ``gmms.sources.read_source_model``.
    sites : str or gmms.sources.Sites
        A site model CSV, or sites from ``gmms.sources``.
    scenarios, pairs : str or path-like
        Where the tables go.
    maximum_distance : float
        km, on the rupture distance.
    discretization : gmms.sources.Discretization, optional
        MFD bin width, fault mesh spacing and area grid spacing.
    progress : bool
        A progress bar on stderr.

    Returns
    -------
    Summary

    Raises
    ------
    InputError
        For a model, source model, site model or setting that cannot be used, before anything
        is written.
    """
    name, choices = models.parse_model(model) if isinstance(model, str) else (model, {})
    try:
        spec = models.resolve(name)
        choices = models.check_choices(spec, choices)
    except KeyError:
        raise InputError(f"unknown model {name!r}; choose one of {', '.join(models.MODELS)}, or "
                         "name a model of your own as package.module:function") from None
    except (models.LoadError, ValueError) as error:
        raise InputError(str(error)) from None
    for path in (scenarios, pairs):
        _check_destination(path)
    if os.path.abspath(scenarios) == os.path.abspath(pairs):
        raise InputError(f"{os.fspath(pairs)}: the scenario and pair tables need two files")
    if not isinstance(source_model, sources.SourceModel):
        source_model = sources.read_source_model(source_model)
    if not isinstance(sites, sources.Sites):
        sites = sources.read_sites(sites)
    source = RuptureSource(spec, source_model, sites, discretization=discretization,
                           maximum_distance=maximum_distance, choices=choices,
                           extra={RATE: models.DOUBLE})
    scenario_columns = _scenario_columns(spec)
    pair_columns = ["scenario_id", "site_id", *spec.site_columns]
    n_pairs = 0
    with contextlib.ExitStack() as stack:
        scenario_file = stack.enter_context(_Table(scenarios, scenario_columns))
        pair_file = stack.enter_context(_Table(pairs, pair_columns))
        bar = stack.enter_context(progress_bar(progress, "ruptures", source.n_ruptures, ""))
        for ruptures, block in _blocks(source, spec):
            scenario_file.append(_scenario_rows(spec, source, ruptures, block))
            pair_file.append({"scenario_id": block.scenario_id, "site_id": block.site_id,
                              **block.sites})
            n_pairs += len(block)
            bar.update(len(ruptures))
        scenario_file.commit()
        pair_file.commit()
    notes = _site_notes(sites)
    return Summary(source.n_ruptures, len(source_model.sources), len(sites), n_pairs,
                   os.fspath(scenarios), os.fspath(pairs), notes)


def _blocks(source, spec):
    """(ruptures, their PairBlock) for every block of ruptures with every site."""
    rupture_set = source.rupture_set
    ranges = [sources.RuptureRange(i, 0, count) for i, count in enumerate(source.counts)]
    for ruptures, sites, found in rupture_set.found(ranges):
        yield ruptures, rupture_set.block(spec, source.choices, ruptures, sites, found)


def _scenario_columns(spec):
    names = ["scenario_id", RATE, *(name for name, _ in spec.scenario_columns)]
    return names + [name for name in GEOMETRY if name not in names]


def _scenario_rows(spec, source, ruptures, block):
    rows = {"scenario_id": block.scenario_ids, RATE: ruptures.rate,
            **{name: block.values[name] for name, _ in spec.scenario_columns}}
    model = source.rupture_set.source_model
    ids = np.array([s.id for s in model.sources], dtype=object)
    regions = np.array(model.regions, dtype=object)
    corners = _corners(ruptures)
    geometry = {"source_id": ids[ruptures.source], "rupture_index": ruptures.index,
                "tectonic_region": regions[ruptures.region], "mag": ruptures.mag,
                "rake": ruptures.rake, "strike": ruptures.strike, "dip": ruptures.dip,
                "length": ruptures.length, "width": ruptures.width, "ztor": ruptures.ztor,
                "zbot": ruptures.ztor + ruptures.width * np.sin(np.radians(ruptures.dip)),
                "hypo_lon": ruptures.hypo_lon, "hypo_lat": ruptures.hypo_lat,
                "hypo_depth": ruptures.hypo_depth, **corners}
    for name in GEOMETRY:
        rows.setdefault(name, geometry[name])
    return rows


def _corners(ruptures):
    """The plane's corners: 1 and 2 the top edge (from the first corner along the strike), 3
    and 4 the bottom edge (below 2, then below 1), each reached from the top edge along the
    great circle perpendicular to it there."""
    destination = sources.geodesy.destination
    lon1, lat1 = ruptures.lon0, ruptures.lat0
    lon2, lat2, strike2 = destination(lon1, lat1, ruptures.strike, ruptures.length)
    across = ruptures.width * np.cos(np.radians(ruptures.dip))
    lon3, lat3, _ = destination(lon2, lat2, strike2 + 90.0, across)
    lon4, lat4, _ = destination(lon1, lat1, ruptures.strike + 90.0, across)
    return {"lon1": lon1, "lat1": lat1, "lon2": lon2, "lat2": lat2, "lon3": lon3, "lat3": lat3,
            "lon4": lon4, "lat4": lat4}


def _site_notes(sites):
    notes = []
    for label, derived in (("Z1.0", sites.z1p0_derived), ("Z2.5", sites.z2p5_derived)):
        count = int(np.count_nonzero(derived))
        if count:
            notes.append(f"{label} derived from Vs30 at {count} of {len(sites)} sites")
    return notes


def _check_destination(path):
    text = os.fspath(path)
    file_format(text)
    directory = os.path.dirname(os.path.abspath(text))
    if not os.path.isdir(directory):
        raise InputError(f"{text}: directory {directory} does not exist")
    if os.path.isdir(text):
        raise InputError(f"{text}: is a directory")


class _Table:
    """A table written a block of rows at a time under a temporary name, renamed into place
    by ``commit``; left without a commit, it is removed."""

    def __init__(self, path, columns):
        self.path = os.fspath(path)
        self.columns = columns
        directory, name = os.path.split(os.path.abspath(self.path))
        self.temporary = os.path.join(directory, f".{name}.{uuid.uuid4().hex[:12]}.part")
        self.format = file_format(self.path)
        self.rows = 0
        self._file = None

    def __enter__(self):
        if self.format == "csv":
            self._file = open(self.temporary, "w", encoding="utf-8", newline="\n")
            self._file.write(",".join(self.columns) + "\n")
        else:
            import h5py

            self._file = h5py.File(self.temporary, "w")
        return self

    def append(self, rows):
        n = len(rows[self.columns[0]])
        if self.format == "csv":
            self._file.write(_csv_lines([rows[name] for name in self.columns]))
        else:
            for name in self.columns:
                self._append_hdf5(name, rows[name], n)
        self.rows += n

    def _append_hdf5(self, name, values, n):
        import h5py

        values = np.asarray(values)
        if values.dtype == object:
            values = values.astype(str).astype(object)
            dtype = h5py.string_dtype()
        else:
            dtype = values.dtype
        if name not in self._file:
            self._file.create_dataset(name, shape=(0,), maxshape=(None,), dtype=dtype,
                                      chunks=(1 << 16,))
        dataset = self._file[name]
        dataset.resize((self.rows + n,))
        dataset[self.rows:] = values

    def commit(self):
        if self.format == "hdf5":
            for name in self.columns:      # an empty table still has every column
                if name not in self._file:
                    self._file.create_dataset(name, shape=(0,), dtype=np.float64)
        self._file.close()
        self._file = None
        try:
            fsync_path(self.temporary)
            os.replace(self.temporary, self.path)
        except OSError as error:
            raise GmmsError(f"{self.path}: cannot write it: {error}") from None

    def __exit__(self, *exc):
        if self._file is not None:
            self._file.close()
            self._file = None
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.temporary)
        return False


def _csv_lines(columns):
    # repr gives the shortest text that reads back to the same double; text as it is.
    lists = [column.tolist() for column in columns]
    return "".join(",".join(_text(value) for value in row) + "\n" for row in zip(*lists))


def _text(value):
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, str):
        if any(c in value for c in ',"\n\r'):
            return '"' + value.replace('"', '""') + '"'
        return value
    return str(value)
