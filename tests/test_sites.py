"""Sites: site model CSVs, lists of points and grids over regions (gmms.sources).

Z1.0 and Z2.5 given (in the field's units, m and km) or derived from Vs30 (and marked so), held
in km; every bad value named by file, line and column.
"""

import math
import pathlib

import numpy as np
import pytest

from gmms import models, sources
from gmms.errors import InputError

PEER = pathlib.Path(__file__).resolve().parent / "data" / "peer"


def write(tmp_path, text, name="sites.csv"):
    path = tmp_path / name
    path.write_text(text)
    return path


def test_peer_sites(tmp_path):
    sites = sources.read_sites(PEER / "Set1-Case1" / "sites.csv")
    assert sites.site_id.tolist() == [1, 2, 3, 4, 5, 6, 7] and sites.site_id.dtype == np.int64
    assert sites.lon[1] == -122.114 and sites.lat[5] == 38.225
    assert sites.vs30.tolist() == [760.0] * 7 and not sites.vs30measured.any()
    assert sites.z1p0_derived.all() and sites.z2p5_derived.all()
    np.testing.assert_allclose(sites.z1p0, 0.04131, rtol=2e-4)       # km
    np.testing.assert_allclose(sites.z2p5, 0.6068, rtol=2e-4)


@pytest.mark.parametrize("vs30, z1pt0_m, z2pt5_km", [(760.0, 41.31, 0.6068), (400.0, 355.7, 1.2646)])
def test_correlations_spot_values(vs30, z1pt0_m, z2pt5_km):
    assert float(sources.z1pt0_from_vs30(vs30)) == pytest.approx(z1pt0_m, rel=2e-4)
    assert float(sources.z2pt5_from_vs30(vs30)) == pytest.approx(z2pt5_km, rel=2e-4)


def test_correlations_japan_and_reference_rock():
    # At 1360 m/s both Z1.0 relations give 1 m; Japan's Z2.5 is 1 km at exp(5.359 / 1.102) m/s.
    assert float(sources.z1pt0_from_vs30(1360.0)) == pytest.approx(1.0, rel=1e-14)
    assert float(sources.z1pt0_from_vs30(1360.0, "japan")) == pytest.approx(1.0, rel=1e-14)
    assert float(sources.z2pt5_from_vs30(math.exp(5.359 / 1.102), "japan")) == pytest.approx(1.0, rel=1e-12)
    assert float(sources.z1pt0_from_vs30(400.0, "japan")) != float(sources.z1pt0_from_vs30(400.0))
    # The California Z2.5 is the relation of the models' reference rock.
    assert float(sources.z2pt5_from_vs30(models.REFERENCE_ROCK_VS30_MPS)) == models.REFERENCE_ROCK_Z2P5_KM
    with pytest.raises(ValueError, match="unknown correlation"):
        sources.z1pt0_from_vs30(400.0, "mars")


def test_given_and_derived_depths(tmp_path):
    path = write(tmp_path, "site_id,lon,lat,vs30,vs30measured,z1pt0,z2pt5,name\n"
                           "10,0.0,0.0,400,1,250,1.5,a\n"
                           "20,0.1,0.0,400,true,,,b\n"
                           "30,0.2,0.0,760,0,-999,-999,c\n"
                           "40,0.3,0.0,760,False,100.0,,d\n")
    sites = sources.read_sites(path)
    assert sites.site_id.tolist() == [10, 20, 30, 40]
    assert sites.vs30measured.tolist() == [True, True, False, False]
    np.testing.assert_allclose(sites.z1p0, [0.25, 0.3557, 0.04131, 0.1], rtol=2e-4)
    np.testing.assert_allclose(sites.z2p5, [1.5, 1.2646, 0.6068, 0.6068], rtol=2e-4)
    assert sites.z1p0_derived.tolist() == [False, True, True, False]
    assert sites.z2p5_derived.tolist() == [False, True, True, True]
    japan = sources.read_sites(path, correlation="japan")
    assert japan.z1p0[0] == 0.25 and japan.z1p0[1] == pytest.approx(float(sources.z1pt0_from_vs30(400.0, "japan")) / 1000)
    assert len(sites.select(sites.vs30 > 500)) == 2


def test_minimal_columns(tmp_path):
    sites = sources.read_sites(write(tmp_path, "\ufefflat,lon,vs30\n38.0,-122.0,300\n38.1,-122.0,301\n"))
    assert sites.site_id.tolist() == [0, 1] and sites.lon.tolist() == [-122.0, -122.0]
    assert sites.z1p0_derived.all() and sites.z2p5_derived.all() and not sites.vs30measured.any()


CSV_REFUSALS = [
    ("lon,lat,vs30\n0,0,400\n0,1,abc\n", "line 3, column 'vs30': 'abc' is not a number"),
    ("lon,lat,vs30\n0,0,400\n0,1,\n", "line 3, column 'vs30': empty value"),
    ("lon,lat,vs30\n0,0,0\n", "line 2, column 'vs30': 0 is not a velocity > 0 m/s"),
    ("lon,lat,vs30\n0,0,nan\n", "line 2, column 'vs30': 'nan' is not a number"),
    ("lon,lat,vs30\n0,91,400\n", "line 2, column 'lat': 91 is outside -90 to 90 degrees"),
    ("lon,lat,vs30\n181,0,400\n", "line 2, column 'lon': 181 is outside -180 to 180 degrees"),
    ("lon,lat,vs30,z1pt0\n0,0,400,-5\n", "line 2, column 'z1pt0': -5 is not a depth > 0"),
    ("lon,lat,vs30,z2pt5\n0,0,400,0\n", "line 2, column 'z2pt5': 0 is not a depth > 0"),
    ("lon,lat,vs30,vs30measured\n0,0,400,yes\n", "line 2, column 'vs30measured': 'yes' is not 0, 1, true or false"),
    ("site_id,lon,lat,vs30\n1.5,0,0,400\n", "line 2, column 'site_id': '1.5' is not an integer"),
    ("site_id,lon,lat,vs30\n99999999999999999999,0,0,400\n", "column 'site_id': 99999999999999999999 does not fit"),
    ("site_id,lon,lat,vs30\n1,0,0,400\n2,0,1,400\n1,0,2,400\n", "line 4, column 'site_id': 1 repeats the id of line 2"),
    ("lon,lat,vs30\n0,0,400\n1,1,400\n0,0.0,300\n", "line 4: the site (0.0 0.0) repeats that of line 2"),
    ("lon,lat\n0,0\n", "missing column 'vs30'; the columns are lon, lat"),
    ("lon,lat,vs30,lat\n0,0,400,1\n", "line 1: column 'lat' appears twice"),
    ("lon,lat,vs30\n0,0,400,5\n", "line 2: 4 fields, the header line has 3 columns"),
    ("lon,lat,vs30\n0,0\n", "line 2: 2 fields, the header line has 3 columns"),
    ("lon,lat,vs30\n0,0,400\n\n1,1,400\n", "line 3: an empty line, the header line has 3 columns"),
    ("", "empty file, expected a header line"),
    ("lon,lat,vs30\n", "no site (a header line only)"),
    ('lon,lat,vs30\n0,0,"400\n', "line 2: unexpected end of data"),
    ('lon,lat,vs30\n0,0,"400"x\n', "line 2: ',' expected after '\"'"),
]


@pytest.mark.parametrize("text, words", CSV_REFUSALS)
def test_site_model_refusals(tmp_path, text, words):
    path = write(tmp_path, text)
    with pytest.raises(InputError) as refused:
        sources.read_sites(path)
    assert str(refused.value).startswith(str(path)) and words in str(refused.value), str(refused.value)


def test_site_model_file_refusals(tmp_path):
    with pytest.raises(InputError, match="no such file"):
        sources.read_sites(tmp_path / "absent.csv")
    (tmp_path / "latin1.csv").write_bytes(b"lon,lat,vs30\n0,0,400\xe9\n")
    with pytest.raises(InputError, match="not UTF-8"):
        sources.read_sites(tmp_path / "latin1.csv")
    with pytest.raises(InputError, match="unknown Z1.0/Z2.5 correlation"):
        sources.read_sites(write(tmp_path, "lon,lat,vs30\n0,0,400\n"), correlation="mars")


def test_point_sites():
    sites = sources.point_sites([-122.0, -121.5], [38.0, 38.1], vs30=760.0, z1pt0=50.0)
    assert sites.site_id.tolist() == [0, 1] and sites.vs30.tolist() == [760.0, 760.0]
    assert sites.z1p0.tolist() == [0.05, 0.05] and not sites.z1p0_derived.any() and sites.z2p5_derived.all()
    ids = sources.point_sites([0.0], [0.0], vs30=300.0, vs30measured=True, z2pt5=2.0, site_id=[7])
    assert ids.site_id.tolist() == [7] and ids.vs30measured.tolist() == [True] and ids.z2p5.tolist() == [2.0]


@pytest.mark.parametrize("call, words", [
    (lambda: sources.point_sites([0.0, 1.0], [0.0], vs30=300.0), "2 longitudes and 1 latitudes"),
    (lambda: sources.point_sites([0.0, 200.0], [0.0, 0.0], vs30=300.0), "site 1: (200.0 0.0)"),
    (lambda: sources.point_sites([0.0, 0.0], [0.0, 0.0], vs30=300.0), "site 1: the site (0.0 0.0) repeats that of site 0"),
    (lambda: sources.point_sites([0.0, 1.0], [0.0, 0.0], vs30=300.0, site_id=[3, 3]), "site 1, column 'site_id': 3 repeats"),
    (lambda: sources.point_sites([0.0], [0.0], vs30=-1.0), "reference vs30"),
    (lambda: sources.point_sites([0.0], [0.0], vs30=300.0, z1pt0=0.0), "reference z1pt0"),
    (lambda: sources.grid_sites([(0, 0), (1, 1)], 5.0, vs30=300.0), "region: a polygon needs at least 3 vertices"),
    (lambda: sources.grid_sites([(0, 0), (1, 0), (1, 1), (0, 1)], 500.0, vs30=300.0), "region: no point of a 500.0 km grid"),
    (lambda: sources.grid_sites([(0, 0), (1, 0), (1, 1), (0, 1)], 0.0, vs30=300.0), "region: the grid spacing must be"),
])
def test_point_and_grid_refusals(call, words):
    with pytest.raises(InputError) as refused:
        call()
    assert words in str(refused.value), str(refused.value)


def test_grid_sites():
    box = [(-122.5, 37.5), (-121.5, 37.5), (-121.5, 38.5), (-122.5, 38.5)]
    sites = sources.grid_sites(box, 10.0, vs30=400.0, z2pt5=1.0)
    assert sites.site_id.tolist() == list(range(len(sites)))
    # Rows from north to south, west to east in a row, strictly inside, 10 km apart.
    assert np.all(np.diff(sites.lat) <= 0) and np.all((sites.lat < 38.5) & (sites.lat > 37.5))
    row = sites.lat == sites.lat[0]
    steps = sources.geodesy.distance(sites.lon[row][:-1], sites.lat[row][:-1], sites.lon[row][1:], sites.lat[row][1:])
    np.testing.assert_allclose(steps, 10.0, rtol=1e-4)
    # 11 rows (38.5 N on the border is out), 8 points a row (122.5 W is out): 1 by 1 degree.
    assert len(sites) == 88
    assert sites.z2p5.tolist() == [1.0] * len(sites) and sites.z1p0_derived.all()


def test_grid_region_edges_are_great_circles():
    """A long east-west edge bulges poleward, as the great circle through its ends does."""
    box = [(0.0, 40.0), (20.0, 40.0), (20.0, 50.0), (0.0, 50.0)]
    sites = sources.grid_sites(box, 10.0, vs30=400.0)
    middle = np.abs(sites.lon - 10.0) < 1.0
    # The great circle from (0, 50) to (20, 50) reaches 50.43 N at 10 E.
    assert sites.lat[middle].max() > 50.3 and sites.lat[np.abs(sites.lon - 0.5) < 0.3].max() < 50.1


@pytest.mark.parametrize("derive, correlation, relation", [
    (sources.z1pt0_from_vs30, "california",
     lambda v: math.exp(-7.15 / 4 * math.log((v**4 + 571.0**4) / (1360.0**4 + 571.0**4)))),
    (sources.z2pt5_from_vs30, "japan", lambda v: math.exp(5.359 - 1.102 * math.log(v))),
])
def test_derived_depths_take_the_c_librarys_exp_and_log(derive, correlation, relation):
    """The C library's exp and log, value by value: numpy's vectorised ones (AVX-512) differ
    from them in the last bit for a quarter of values."""
    vs30 = np.random.default_rng(5).uniform(150.0, 1500.0, 2000).reshape(40, 50)
    derived = derive(vs30, correlation)
    assert derived.shape == vs30.shape
    assert derived.tolist() == [[relation(v) for v in row] for row in vs30.tolist()]
