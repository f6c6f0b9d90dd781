"""Source models (NRML) and the ruptures made of them: gmms.sources.

Reading: every element of the supported subset, NRML 0.4 against 0.5, and every refusal, each
naming the element, the source's id and the line. Ruptures: the PEER fault grids and floating,
rates conserved per source, ruptures within the seismogenic depths, point-rupture sizing and
depth shifting, the dip direction, area grids against shapely, and the rupture ids and blocks
that let a worker remake any range of ruptures.
"""

import dataclasses
import math
import pathlib
import pickle
import re

import numpy as np
import pytest
from shapely.geometry import Point, Polygon

from gmms import sources
from gmms.errors import InputError
from gmms.sources import Discretization, RuptureRange, geodesy

PEER = pathlib.Path(__file__).resolve().parent / "data" / "peer"
PEER_CASES = sorted(p.name for p in PEER.iterdir() if p.is_dir())

EXAMPLE = """<?xml version="1.0" encoding="utf-8"?>
<nrml xmlns="http://openquake.org/xmlns/nrml/0.5" xmlns:gml="http://www.opengis.net/gml">
  <sourceModel name="example">
    <sourceGroup name="crust" tectonicRegion="Active Shallow Crust">
      <pointSource id="p1" name="point" tectonicRegion="Active Shallow Crust">
        <pointGeometry>
          <gml:Point><gml:pos>-122.0 38.0</gml:pos></gml:Point>
          <upperSeismoDepth>0.0</upperSeismoDepth>
          <lowerSeismoDepth>15.0</lowerSeismoDepth>
        </pointGeometry>
        <magScaleRel>WC1994</magScaleRel>
        <ruptAspectRatio>1.5</ruptAspectRatio>
        <truncGutenbergRichterMFD aValue="3.1" bValue="0.9" minMag="5.0" maxMag="6.5"/>
        <nodalPlaneDist>
          <nodalPlane probability="0.5" strike="0.0" dip="90.0" rake="0.0"/>
          <nodalPlane probability="0.5" strike="90.0" dip="45.0" rake="90.0"/>
        </nodalPlaneDist>
        <hypoDepthDist>
          <hypoDepth probability="0.5" depth="5.0"/>
          <hypoDepth probability="0.5" depth="10.0"/>
        </hypoDepthDist>
      </pointSource>
      <areaSource id="a1" name="zone" tectonicRegion="Active Shallow Crust">
        <areaGeometry>
          <gml:Polygon><gml:exterior><gml:LinearRing>
            <gml:posList>-122.5 37.5 -121.5 37.5 -121.5 38.5 -122.5 38.5</gml:posList>
          </gml:LinearRing></gml:exterior></gml:Polygon>
          <upperSeismoDepth>0.0</upperSeismoDepth>
          <lowerSeismoDepth>15.0</lowerSeismoDepth>
        </areaGeometry>
        <magScaleRel>WC1994</magScaleRel>
        <ruptAspectRatio>1.0</ruptAspectRatio>
        <incrementalMFD minMag="5.05" binWidth="0.1">
          <occurRates>0.01 0.008 0.0063</occurRates>
        </incrementalMFD>
        <nodalPlaneDist><nodalPlane probability="1.0" strike="0.0" dip="90.0" rake="0.0"/></nodalPlaneDist>
        <hypoDepthDist><hypoDepth probability="1.0" depth="8.0"/></hypoDepthDist>
      </areaSource>
      <simpleFaultSource id="f1" name="fault" tectonicRegion="Active Shallow Crust">
        <simpleFaultGeometry>
          <gml:LineString><gml:posList>-122.0 38.2248 -122.0 38.0</gml:posList></gml:LineString>
          <dip>60.0</dip>
          <upperSeismoDepth>1.0</upperSeismoDepth>
          <lowerSeismoDepth>12.0</lowerSeismoDepth>
        </simpleFaultGeometry>
        <magScaleRel>PeerMSR</magScaleRel>
        <ruptAspectRatio>2.0</ruptAspectRatio>
        <incrementalMFD minMag="6.0" binWidth="0.1"><occurRates>0.016</occurRates></incrementalMFD>
        <rake>90.0</rake>
      </simpleFaultSource>
    </sourceGroup>
  </sourceModel>
</nrml>
"""


def as_04(text):
    """The example in NRML 0.4: no sourceGroup, the region on each source."""
    text = text.replace("nrml/0.5", "nrml/0.4")
    text = re.sub(r"\s*<sourceGroup[^>]*>", "", text)
    return re.sub(r"\s*</sourceGroup>", "", text)


def write(tmp_path, text, name="model.xml"):
    path = tmp_path / name
    path.write_text(text)
    return path


def line_of(text, marker):
    """The line number (from 1) of the first line of ``text`` holding ``marker``."""
    return next(k for k, line in enumerate(text.splitlines(), 1) if marker in line)


def source_totals(model, discretization):
    """Sum of the rates of each source's ruptures, made in blocks."""
    totals = np.zeros(len(model.sources))
    for block in sources.ruptures(model, discretization, block_size=7919):
        np.add.at(totals, block.source, block.rate)
    return totals


# --- reading ---------------------------------------------------------------------------------

def test_every_element_of_the_example(tmp_path):
    model = sources.read_source_model(write(tmp_path, EXAMPLE))
    assert (model.name, model.version, model.regions) == ("example", "0.5", ("Active Shallow Crust",))
    point, area, fault = model.sources
    assert isinstance(point, sources.PointSource) and isinstance(area, sources.AreaSource)
    assert isinstance(fault, sources.SimpleFaultSource)
    assert (point.id, point.name, point.lon, point.lat) == ("p1", "point", -122.0, 38.0)
    assert (point.upper_depth, point.lower_depth, point.msr, point.aspect_ratio) == (0.0, 15.0, "WC1994", 1.5)
    assert point.mfd == sources.TruncatedGR(3.1, 0.9, 5.0, 6.5)
    assert point.nodal_planes == (sources.NodalPlane(0.5, 0.0, 90.0, 0.0), sources.NodalPlane(0.5, 90.0, 45.0, 90.0))
    assert point.hypo_depths == (sources.HypoDepth(0.5, 5.0), sources.HypoDepth(0.5, 10.0))
    assert area.polygon == ((-122.5, 37.5), (-121.5, 37.5), (-121.5, 38.5), (-122.5, 38.5))
    assert area.discretization is None and area.mfd == sources.IncrementalMFD(5.05, 0.1, (0.01, 0.008, 0.0063))
    assert (fault.trace, fault.dip, fault.upper_depth, fault.lower_depth) == (((-122.0, 38.2248), (-122.0, 38.0)), 60.0, 1.0, 12.0)
    assert (fault.msr, fault.aspect_ratio, fault.rake) == ("PeerMSR", 2.0, 90.0)
    assert fault.where == f"{tmp_path / 'model.xml'}, line {line_of(EXAMPLE, '<simpleFaultSource')}"


def test_nrml_04_reads_as_05(tmp_path):
    new = sources.read_source_model(write(tmp_path, EXAMPLE, "new.xml"))
    old = sources.read_source_model(write(tmp_path, as_04(EXAMPLE), "old.xml"))
    assert (old.version, new.version) == ("0.4", "0.5")
    assert [dataclasses.replace(s, where="") for s in old.sources] == \
        [dataclasses.replace(s, where="") for s in new.sources]


def test_regions_inherited_from_the_group_and_indexed(tmp_path):
    text = EXAMPLE.replace(' tectonicRegion="Active Shallow Crust">\n        <pointGeometry>', '>\n        <pointGeometry>')
    text = text.replace("    </sourceGroup>\n", """    </sourceGroup>
    <sourceGroup name="deep" tectonicRegion="Subduction IntraSlab">
      <pointSource id="p2" name="deep point">
        <pointGeometry><gml:Point><gml:pos>-121.0 38.0</gml:pos></gml:Point>
          <upperSeismoDepth>40</upperSeismoDepth><lowerSeismoDepth>80</lowerSeismoDepth></pointGeometry>
        <magScaleRel>PointMSR</magScaleRel><ruptAspectRatio>1</ruptAspectRatio>
        <incrementalMFD minMag="6.0" binWidth="0.1"><occurRates>0.001</occurRates></incrementalMFD>
        <nodalPlaneDist><nodalPlane probability="1" strike="0" dip="50" rake="-90"/></nodalPlaneDist>
        <hypoDepthDist><hypoDepth probability="1" depth="60"/></hypoDepthDist>
      </pointSource>
    </sourceGroup>
""")
    model = sources.read_source_model(write(tmp_path, text))
    assert model.sources[0].region == "Active Shallow Crust"
    assert model.regions == ("Active Shallow Crust", "Subduction IntraSlab")
    block = sources.make_ruptures(model, RuptureRange(3, 0, 1))
    assert block.regions[block.region[0]] == "Subduction IntraSlab"


@pytest.mark.parametrize("case", PEER_CASES)
def test_peer_models_read(case):
    model = sources.read_source_model(PEER / case / "source_model.xml")
    assert model.version == "0.5" and len(model.sources) == 1
    source = model.sources[0]
    if "Case10" in case or "Case11" in case:
        assert isinstance(source, sources.AreaSource) and len(source.polygon) == 90
        assert source.msr == "PointMSR" and len(source.hypo_depths) == (1 if "Case10" in case else 6)
    else:
        assert isinstance(source, sources.SimpleFaultSource) and source.msr == "PeerMSR"
        assert source.dip == (60.0 if "Case4" in case else 90.0)


def test_closed_ring_and_split_text(tmp_path):
    """A ring closed by repeating its first vertex, and values split over lines, read the same."""
    closed = EXAMPLE.replace("-121.5 38.5 -122.5 38.5</gml:posList>", "-121.5 38.5\n -122.5 38.5 -122.5 37.5</gml:posList>")
    closed = closed.replace("<ruptAspectRatio>1.5</ruptAspectRatio>", "<ruptAspectRatio>\n  1.5e0\n</ruptAspectRatio>")
    a = sources.read_source_model(write(tmp_path, EXAMPLE, "a.xml"))
    b = sources.read_source_model(write(tmp_path, closed, "b.xml"))
    assert [dataclasses.replace(s, where="") for s in a.sources] == [dataclasses.replace(s, where="") for s in b.sources]


def test_comments_and_schema_hints_are_not_elements(tmp_path):
    text = EXAMPLE.replace("<nrml ", '<nrml xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
                                      'xsi:schemaLocation="x y" ')
    text = text.replace("<magScaleRel>WC1994</magScaleRel>", "<!-- a note --><magScaleRel>WC1994</magScaleRel>")
    assert len(sources.read_source_model(write(tmp_path, text)).sources) == 3


# Each: (replace this, with this, marker of the line the message must name, words it must hold).
REFUSALS = {
    "unknown element in a source": (
        "<ruptAspectRatio>1.5</ruptAspectRatio>", "<ruptAspectRatio>1.5</ruptAspectRatio><slipRate>1</slipRate>",
        "<slipRate>", ['pointSource "p1"', "unknown element <slipRate> in <pointSource>"]),
    "unknown element deep in a source": (
        "<gml:pos>-122.0 38.0</gml:pos>", "<gml:pos>-122.0 38.0</gml:pos><gml:foo/>",
        "<gml:foo/>", ['pointSource "p1"', "unknown element <gml:foo> in <gml:Point>"]),
    "unknown source type": (
        '<pointSource id="p1"', '<fancySource id="z"/>\n      <pointSource id="p1"',
        "<fancySource", ["unknown element <fancySource> in <sourceGroup>"]),
    "complex fault": (
        '<pointSource id="p1"', '<complexFaultSource id="cf1" name="x"/>\n      <pointSource id="p1"',
        "<complexFaultSource", ['complexFaultSource "cf1" is not supported']),
    "characteristic fault": (
        '<pointSource id="p1"', '<characteristicFaultSource id="ch"/>\n      <pointSource id="p1"',
        "<characteristicFaultSource", ['characteristicFaultSource "ch" is not supported']),
    "multi-point source": (
        '<pointSource id="p1"', '<multiPointSource id="mp"/>\n      <pointSource id="p1"',
        "<multiPointSource", ['multiPointSource "mp" is not supported']),
    "arbitrary MFD": (
        '<incrementalMFD minMag="5.05" binWidth="0.1">\n          <occurRates>0.01 0.008 0.0063</occurRates>\n        </incrementalMFD>',
        '<arbitraryMFD><occurRates>0.1</occurRates><magnitudes>5</magnitudes></arbitraryMFD>',
        "<arbitraryMFD>", ['areaSource "a1"', "MFD <arbitraryMFD> is not supported"]),
    "Youngs-Coppersmith MFD": (
        '<incrementalMFD minMag="6.0" binWidth="0.1"><occurRates>0.016</occurRates></incrementalMFD>',
        '<YoungsCoppersmithMFD minMag="5" bValue="1" characteristicMag="6.5" characteristicRate="0.01" binWidth="0.1"/>',
        "<YoungsCoppersmithMFD", ['simpleFaultSource "f1"', "MFD <YoungsCoppersmithMFD> is not supported"]),
    "other scaling relation": (
        "<magScaleRel>PeerMSR</magScaleRel>", "<magScaleRel>Leonard2014_SCR</magScaleRel>",
        "Leonard2014_SCR", ['simpleFaultSource "f1"', "magScaleRel 'Leonard2014_SCR' is not supported"]),
    "no MFD": (
        '<incrementalMFD minMag="6.0" binWidth="0.1"><occurRates>0.016</occurRates></incrementalMFD>', "",
        '<simpleFaultSource id="f1"', ['simpleFaultSource "f1"', "lacks an MFD"]),
    "two MFDs": (
        '<incrementalMFD minMag="6.0" binWidth="0.1"><occurRates>0.016</occurRates></incrementalMFD>',
        '<truncGutenbergRichterMFD aValue="3.1" bValue="0.9" minMag="5.0" maxMag="6.5"/>'
        '<incrementalMFD minMag="6.0" binWidth="0.1"><occurRates>0.016</occurRates></incrementalMFD>',
        'aValue="3.1" bValue="0.9" minMag="5.0" maxMag="6.5"/><incremental', ['simpleFaultSource "f1"', "two MFDs"]),
    "element given twice": (
        "<magScaleRel>PeerMSR</magScaleRel>", "<magScaleRel>PeerMSR</magScaleRel>\n<magScaleRel> PeerMSR</magScaleRel>",
        "<magScaleRel> PeerMSR", ['simpleFaultSource "f1"', "<magScaleRel> given twice"]),
    "missing element": (
        "<ruptAspectRatio>2.0</ruptAspectRatio>", "", '<simpleFaultSource id="f1"',
        ['simpleFaultSource "f1"', "<simpleFaultSource> lacks <ruptAspectRatio>"]),
    "missing rake": (
        "<rake>90.0</rake>", "", '<simpleFaultSource id="f1"', ["lacks <rake>"]),
    "unknown attribute": (
        'probability="0.5" strike="90.0"', 'probability="0.5" strike="90.0" weight="2"',
        'weight="2"', ['pointSource "p1"', "unknown attribute 'weight' of <nodalPlane>"]),
    "missing attribute": (
        '<hypoDepth probability="1.0" depth="8.0"/>', '<hypoDepth depth="8.0"/>',
        '<hypoDepth depth="8.0"/>', ['areaSource "a1"', "<hypoDepth> lacks the attribute 'probability'"]),
    "not a number": (
        "<ruptAspectRatio>1.5</ruptAspectRatio>", "<ruptAspectRatio>wide</ruptAspectRatio>",
        "wide", ['pointSource "p1"', "<ruptAspectRatio> 'wide' is not a number"]),
    "not a finite number": (
        'aValue="3.1"', 'aValue="inf"', 'aValue="inf"', ["aValue of <truncGutenbergRichterMFD> 'inf' is not a number"]),
    "nodal plane probabilities": (
        '<nodalPlane probability="0.5" strike="90.0"', '<nodalPlane probability="0.4" strike="90.0"',
        "<nodalPlaneDist>", ['pointSource "p1"', "probabilities of <nodalPlaneDist> sum to 0.9, not 1"]),
    "hypocentral depth probabilities": (
        '<hypoDepth probability="0.5" depth="10.0"/>', '<hypoDepth probability="0.5000011" depth="10.0"/>',
        "<hypoDepthDist>", ['pointSource "p1"', "sum to 1.0000011, not 1"]),
    "hypocentre below the layer": (
        'depth="10.0"', 'depth="16.0"', 'depth="16.0"', ['pointSource "p1"', "within the seismogenic depths 0.0 to 15.0"]),
    "no nodal plane": (
        '<nodalPlaneDist><nodalPlane probability="1.0" strike="0.0" dip="90.0" rake="0.0"/></nodalPlaneDist>',
        "<nodalPlaneDist></nodalPlaneDist>", "<nodalPlaneDist></nodalPlaneDist>", ["holds no <nodalPlane>"]),
    "dip of zero": ("<dip>60.0</dip>", "<dip>0</dip>", "<dip>0</dip>", ['simpleFaultSource "f1"', "<dip> 0 is out of range"]),
    "dip over 90": ('dip="45.0"', 'dip="95.0"', 'dip="95.0"', ["dip of <nodalPlane> 95.0 is out of range"]),
    "rake out of range": ("<rake>90.0</rake>", "<rake>190</rake>", "<rake>190", ["<rake> 190 is out of range"]),
    "lower above upper": (
        "<lowerSeismoDepth>12.0</lowerSeismoDepth>", "<lowerSeismoDepth>1.0</lowerSeismoDepth>",
        "<lowerSeismoDepth>1.0", ['simpleFaultSource "f1"', "more than upperSeismoDepth 1.0 km"]),
    "negative upper depth": (
        "<upperSeismoDepth>1.0</upperSeismoDepth>", "<upperSeismoDepth>-1.0</upperSeismoDepth>",
        "<upperSeismoDepth>-1.0", ["<upperSeismoDepth> -1.0 is out of range"]),
    "negative b value": ('bValue="0.9"', 'bValue="-0.9"', 'bValue="-0.9"', ["bValue of <truncGutenbergRichterMFD> -0.9"]),
    "maxMag below minMag": ('maxMag="6.5"', 'maxMag="4.5"', 'maxMag="4.5"', ["more than minMag 5.0"]),
    "negative rate": ("0.01 0.008 0.0063", "0.01 -0.008 0.0063", "-0.008", ['areaSource "a1"', "a rate in <occurRates> -0.008"]),
    "latitude off the globe": ("<gml:pos>-122.0 38.0</gml:pos>", "<gml:pos>-122.0 98.0</gml:pos>", "98.0", ["(-122.0 98.0)"]),
    "odd coordinates": ("<gml:pos>-122.0 38.0</gml:pos>", "<gml:pos>-122.0 38.0 5.0</gml:pos>", "38.0 5.0", ["3 numbers"]),
    "two vertices": (
        "-122.5 37.5 -121.5 37.5 -121.5 38.5 -122.5 38.5", "-122.5 37.5 -121.5 37.5",
        "-122.5 37.5 -121.5 37.5<", ['areaSource "a1"', "at least 3 vertices"]),
    "self-crossing ring": (
        "-122.5 37.5 -121.5 37.5 -121.5 38.5 -122.5 38.5", "-122.5 37.5 -121.5 38.5 -121.5 37.5 -122.5 38.5",
        "-122.5 37.5 -121.5 38.5", ['areaSource "a1"', "edges 1 and 3 cross or touch"]),
    "repeated vertex": (
        "-122.5 37.5 -121.5 37.5 -121.5 38.5 -122.5 38.5", "-122.5 37.5 -121.5 37.5 -121.5 38.5 -121.5 37.5 -122.5 38.5",
        "-121.5 38.5 -121.5 37.5", ["vertex 4 (-121.5 37.5) repeats an earlier one"]),
    "polygon hole": (
        "</gml:exterior></gml:Polygon>", "</gml:exterior><gml:interior/></gml:Polygon>", "<gml:interior/>",
        ['areaSource "a1"', "holes (<gml:interior>) are not supported"]),
    "bent fault": (
        "-122.0 38.2248 -122.0 38.0</gml:posList>", "-122.0 38.2248 -121.99 38.1 -122.0 38.0</gml:posList>",
        "-121.99 38.1", ['simpleFaultSource "f1"', "the fault trace bends at point 2"]),
    "directivity lists": (
        "<rake>90.0</rake>", "<rake>90.0</rake><hypoList/>", "<hypoList/>", ["<hypoList> is not supported"]),
    "duplicate id": ('<areaSource id="a1"', '<areaSource id="p1"', '<areaSource id="p1"',
                     ['areaSource "p1"', f"given to another source, at line {line_of(EXAMPLE, '<pointSource')}"]),
    "region differs from the group's": (
        '<areaSource id="a1" name="zone" tectonicRegion="Active Shallow Crust">',
        '<areaSource id="a1" name="zone" tectonicRegion="Stable Shallow Crust">',
        '<areaSource id="a1"', ['areaSource "a1"', '"Stable Shallow Crust" differs from its sourceGroup\'s']),
    "group interdependence": (
        '<sourceGroup name="crust"', '<sourceGroup src_interdep="mutex" name="crust"',
        "<sourceGroup", ["attribute 'src_interdep' is not supported"]),
    "0.5 source outside a group": (
        '<sourceGroup name="crust" tectonicRegion="Active Shallow Crust">',
        '<pointSource id="stray"/>\n    <sourceGroup name="crust" tectonicRegion="Active Shallow Crust">',
        '<pointSource id="stray"', ["NRML 0.5 puts every source in a <sourceGroup>", "NRML 0.4"]),
    "unknown element in the model": (
        '<sourceGroup name="crust"', '<logicTree/>\n    <sourceGroup name="crust"', "<logicTree/>",
        ["unknown element <logicTree> in <sourceModel>"]),
    "another root": ("<nrml ", "<gml:nrml ", "<gml:nrml", ["the root element is <nrml> in namespace 'http://www.opengis.net/gml'"]),
    "no namespace": ('<nrml xmlns="http://openquake.org/xmlns/nrml/0.5"', "<nrml", "<nrml", ["not <nrml> of NRML 0.4 or 0.5"]),
    "elements of another NRML version": (
        "<magScaleRel>PeerMSR</magScaleRel>",
        '<magScaleRel xmlns="http://openquake.org/xmlns/nrml/0.4">PeerMSR</magScaleRel>',
        "nrml/0.4\">PeerMSR", ["unknown element <{http://openquake.org/xmlns/nrml/0.4}magScaleRel>"]),
    "not well-formed": ("<rake>90.0</rake>", "<rake>90.0</rak>", "</rak>", ["not well-formed XML (mismatched tag)"]),
    "DOCTYPE": ('<?xml version="1.0" encoding="utf-8"?>',
                '<?xml version="1.0" encoding="utf-8"?>\n<!DOCTYPE nrml [<!ENTITY x "0.5">]>', "<!DOCTYPE",
                ["a DOCTYPE is not allowed"]),
    "text where elements go": ("<hypoDepthDist>\n", "<hypoDepthDist>stray words\n", "stray words",
                               ['pointSource "p1"', "unexpected text 'stray words' in <hypoDepthDist>"]),
}


@pytest.mark.parametrize("name", REFUSALS)
def test_refusals_name_the_line_and_source(tmp_path, name):
    old, new, marker, words = REFUSALS[name]
    assert old in EXAMPLE, old
    text = EXAMPLE.replace(old, new, 1)
    path = write(tmp_path, text)
    with pytest.raises(InputError) as refused:
        sources.read_source_model(path)
    message = str(refused.value)
    assert message.startswith(f"{path}, line {line_of(text, marker)}: "), message
    for word in words:
        assert word in message, message


@pytest.mark.parametrize("old, new, words", [
    ("<pointGeometry>", "<sourceGroup><pointGeometry>", ["unknown element <sourceGroup> in <sourceModel>", "declare the file NRML 0.5"]),
    ('<pointSource id="p1" name="point" tectonicRegion="Active Shallow Crust">', '<pointSource id="p1" name="point">',
     ['pointSource "p1": no tectonicRegion']),
])
def test_refusals_of_nrml_04(tmp_path, old, new, words):
    text = as_04(EXAMPLE)
    if old == "<pointGeometry>":
        text = text.replace('<pointSource id="p1"', '<sourceGroup tectonicRegion="x"/>\n      <pointSource id="p1"')
    else:
        text = text.replace(old, new)
    with pytest.raises(InputError) as refused:
        sources.read_source_model(write(tmp_path, text))
    for word in words:
        assert word in str(refused.value)


def test_refusals_of_the_file(tmp_path):
    with pytest.raises(InputError, match="no such file"):
        sources.read_source_model(tmp_path / "absent.xml")
    empty = re.sub(r"<sourceGroup.*</sourceGroup>", "", EXAMPLE, flags=re.S)
    with pytest.raises(InputError, match="holds no source"):
        sources.read_source_model(write(tmp_path, empty))
    with pytest.raises(InputError, match="line 1: not well-formed"):
        sources.read_source_model(write(tmp_path, ""))


def test_line_numbers_beyond_65535(tmp_path):
    """Lines are counted as they are, in files of any length (some XML libraries stop at 65535)."""
    text = EXAMPLE.replace("<rake>90.0</rake>", "\n" * 70000 + "<rake>90.0</rake><slipList/>")
    with pytest.raises(InputError, match=f"line {line_of(text, '<slipList/>')}: "):
        sources.read_source_model(write(tmp_path, text))


# --- magnitude-frequency distributions and scaling ------------------------------------------

def test_truncated_gr_bins():
    mags, rates = sources.TruncatedGR(3.1, 0.9, 5.0, 6.5).bins(0.1)
    assert mags.tolist() == [round(5.05 + 0.1 * k, 2) for k in range(15)]
    assert rates.sum() == pytest.approx(0.0380324, rel=1e-6)
    assert rates[0] == pytest.approx(10 ** (3.1 - 0.9 * 5.0) - 10 ** (3.1 - 0.9 * 5.1), rel=1e-13)
    # Limits rounded to multiples of the width, halves away from zero: 5.05 -> 5.1, 6.45 -> 6.5.
    assert sources.TruncatedGR(3.1, 0.9, 5.05, 6.45).bins(0.1)[0].tolist() == [round(5.15 + 0.1 * k, 2) for k in range(14)]
    with pytest.raises(ValueError, match="round to the same multiple"):
        sources.TruncatedGR(3.1, 0.9, 5.05, 5.14).bins(0.1)


@pytest.mark.parametrize("msr, mag, rake, area", [
    ("WC1994", 6.0, 0.0, 95.50), ("WC1994", 7.0, 180.0, 758.6), ("WC1994", 6.0, 45.0, 95.50),
    ("WC1994", 6.0, 90.0, 10 ** (-3.99 + 0.98 * 6)), ("WC1994", 6.0, -90.0, 10 ** (-2.87 + 0.82 * 6)),
    ("WC1994", 6.0, -135.0, 95.50), ("PeerMSR", 6.0, 90.0, 100.0), ("PointMSR", 7.0, 0.0, 0.0),
])
def test_median_area(msr, mag, rake, area):
    assert float(sources.median_area(msr, mag, rake)) == pytest.approx(area, rel=1e-4)


@pytest.mark.parametrize("rake, fnm, frv", [
    (0, 0, 0), (180, 0, 0), (-180, 0, 0), (-90, 1, 0), (90, 0, 1), (-30, 0, 0), (-31, 1, 0),
    (-150, 0, 0), (-149, 1, 0), (30, 0, 0), (31, 0, 1), (150, 0, 0), (149, 0, 1), (270, 1, 0), (-270, 0, 1),
])
def test_faulting_style(rake, fnm, frv):
    flags = sources.faulting_style(rake)
    assert (int(flags[0]), int(flags[1])) == (fnm, frv)
    assert [f.tolist() for f in sources.faulting_style([rake, rake])] == [[fnm] * 2, [frv] * 2]


# --- the PEER fault grids and floating ------------------------------------------------------

@pytest.mark.parametrize("case, spacing, nodes, size, positions", [
    ("Set1-Case2", 0.02, (1251, 601), (14.1381, 7.0800), (544, 247)),
    ("Set1-Case2", 0.05, (501, 241), (14.1481, 7.0500), (218, 100)),
    ("Set1-Case2", 0.1, (251, 121), (14.0981, 7.1000), (110, 50)),
    ("Set1-Case4", 0.05, (501, 256), (14.1481, 7.0731), (218, 114)),
    ("Set1-Case4", 0.2, (126, 65), (14.1981, 7.1447), (55, 29)),
])
def test_peer_fault_grid_and_floating(case, spacing, nodes, size, positions):
    model = sources.read_source_model(PEER / case / "source_model.xml")
    setting = Discretization(rupture_mesh_spacing=spacing)
    from gmms.sources.generate import _plan
    assert _plan(model.sources[0], setting).nodes == nodes
    n = sources.count_ruptures(model, 0, setting)
    assert n == positions[0] * positions[1]
    every = sources.make_ruptures(model, RuptureRange(0, 0, n), setting)
    assert np.round(every.length, 4).tolist() == [size[0]] * n
    assert np.round(every.width, 4).tolist() == [size[1]] * n
    # Positions one cell apart along strike (columns) and down dip (rows). The trace is 0.2248
    # degrees of a meridian: 24.996620 km on the sphere of 6371 km (PEER's 24.996648 is on 6371.0072).
    ds = 6371.0 * math.radians(0.2248) / (nodes[0] - 1)
    along = geodesy.distance(every.lon0[0], every.lat0[0], every.lon0[:positions[0]], every.lat0[:positions[0]])
    np.testing.assert_allclose(along, ds * np.arange(positions[0]), atol=1e-6)
    dd_vertical = np.diff(every.ztor[::positions[0]])
    dip = math.radians(model.sources[0].dip)
    np.testing.assert_allclose(dd_vertical, (12.0 - model.sources[0].upper_depth) / math.sin(dip) / (nodes[1] - 1) * math.sin(dip))
    assert every.ztor.min() == model.sources[0].upper_depth
    assert (every.ztor + every.width * math.sin(dip)).max() == pytest.approx(12.0, abs=1e-9)


def test_peer_fault_larger_rupture_is_the_whole_fault():
    model = sources.read_source_model(PEER / "Set1-Case1" / "source_model.xml")
    block = sources.make_ruptures(model, RuptureRange(0, 0, 1), Discretization(rupture_mesh_spacing=1.0))
    assert sources.count_ruptures(model, 0, Discretization(rupture_mesh_spacing=1.0)) == 1
    assert (block.lon0[0], block.lat0[0], block.ztor[0], block.strike[0], block.dip[0]) == \
        pytest.approx((-122.0, 38.2248, 0.0, 180.0, 90.0), abs=1e-12)
    assert (block.length[0], block.width[0], block.rate[0]) == \
        pytest.approx((6371.0 * math.radians(0.2248), 12.0, 0.0028528077), rel=1e-12)
    assert (block.hypo_lat[0], block.hypo_depth[0]) == pytest.approx((38.1124, 6.0), rel=1e-9)


def test_fault_dips_to_the_right_of_its_trace():
    """Case 4's trace runs south: its plane dips west, the top edge 1 km below PEER's trace."""
    model = sources.read_source_model(PEER / "Set1-Case4" / "source_model.xml")
    every = sources.make_ruptures(model, RuptureRange(0, 0, 1595), Discretization(rupture_mesh_spacing=0.2))
    assert np.all(np.abs(every.strike - 180.0) < 0.05)
    top = every.ztor == 1.0
    np.testing.assert_allclose(every.lon0[top], -122.0, atol=1e-8)
    assert np.all(every.hypo_lon < every.lon0) and np.all(np.diff(every.lon0[::55]) < 0)


@pytest.mark.parametrize("strike", [0.0, 37.0, 135.0, 200.0, 301.0])
@pytest.mark.parametrize("dip", [15.0, 60.0, 89.0])
def test_dip_direction_any_strike(tmp_path, strike, dip):
    """A trace's top edge and every rupture's hypocentre lie to the right of the trace, by as much
    as the dip says; seen in Earth-centred vectors, independently of the module's moves."""
    lon_b, lat_b, _ = geodesy.destination(10.0, 45.0, strike, 30.0)
    text = EXAMPLE.replace("-122.0 38.2248 -122.0 38.0</gml:posList>", f"10.0 45.0 {float(lon_b)!r} {float(lat_b)!r}</gml:posList>")
    text = text.replace("<dip>60.0</dip>", f"<dip>{dip}</dip>").replace("<upperSeismoDepth>1.0</upperSeismoDepth>", "<upperSeismoDepth>3.0</upperSeismoDepth>")
    model = sources.read_source_model(write(tmp_path, text))
    block = sources.make_ruptures(model, RuptureRange(2, 0, sources.count_ruptures(model, 2, Discretization(rupture_mesh_spacing=1.0))),
                                  Discretization(rupture_mesh_spacing=1.0))

    def unit(lon, lat):
        lon, lat = np.radians(lon), np.radians(lat)
        return np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], axis=-1)

    normal = np.cross(unit(10.0, 45.0), unit(float(lon_b), float(lat_b)))
    normal /= np.linalg.norm(normal)
    # Signed distance from the trace's great circle, km: negative on the right.
    side = lambda lon, lat: np.arcsin(unit(lon, lat) @ normal) * 6371.0  # noqa: E731
    first = block.ztor == 3.0
    # (The top edge is a great circle: over 30 km it leaves the trace's parallel by millimetres.)
    np.testing.assert_allclose(side(block.lon0[first], block.lat0[first]), -3.0 / math.tan(math.radians(dip)), atol=1e-4)
    expected = -(block.hypo_depth / math.tan(math.radians(dip)))
    np.testing.assert_allclose(side(block.hypo_lon, block.hypo_lat), expected, atol=2e-3)


def test_fault_grid_too_coarse(tmp_path):
    text = EXAMPLE.replace('<incrementalMFD minMag="6.0" binWidth="0.1"><occurRates>0.016',
                           '<incrementalMFD minMag="5.0" binWidth="0.1"><occurRates>0.016')
    model = sources.read_source_model(write(tmp_path, text))
    assert sources.count_ruptures(model, 2, Discretization(rupture_mesh_spacing=4.0)) > 1
    with pytest.raises(InputError, match=r'line \d+: simpleFaultSource "f1": the M 5.0 rupture .* rupture_mesh_spacing'):
        sources.count_ruptures(model, 2, Discretization(rupture_mesh_spacing=10.0))


# --- point and area sources -----------------------------------------------------------------

def point_model(tmp_path, planes, depths, mags="6.5", upper=0.0, lower=15.0, msr="WC1994", aspect=1.5):
    text = EXAMPLE.replace('<truncGutenbergRichterMFD aValue="3.1" bValue="0.9" minMag="5.0" maxMag="6.5"/>',
                           f'<incrementalMFD minMag="{mags.split()[0]}" binWidth="0.5"><occurRates>'
                           f'{" ".join("0.01" for _ in mags.split())}</occurRates></incrementalMFD>')
    text = re.sub(r"<nodalPlaneDist>.*?</nodalPlaneDist>", "<nodalPlaneDist>" + "".join(
        f'<nodalPlane probability="{p}" strike="{s}" dip="{d}" rake="{r}"/>' for p, s, d, r in planes)
        + "</nodalPlaneDist>", text, count=1, flags=re.S)
    text = re.sub(r"<hypoDepthDist>.*?</hypoDepthDist>", "<hypoDepthDist>" + "".join(
        f'<hypoDepth probability="{p}" depth="{z}"/>' for p, z in depths) + "</hypoDepthDist>", text, count=1, flags=re.S)
    text = text.replace("<upperSeismoDepth>0.0</upperSeismoDepth>", f"<upperSeismoDepth>{upper}</upperSeismoDepth>", 1)
    text = text.replace("<lowerSeismoDepth>15.0</lowerSeismoDepth>", f"<lowerSeismoDepth>{lower}</lowerSeismoDepth>", 1)
    text = text.replace("<magScaleRel>WC1994</magScaleRel>", f"<magScaleRel>{msr}</magScaleRel>", 1)
    text = text.replace("<ruptAspectRatio>1.5</ruptAspectRatio>", f"<ruptAspectRatio>{aspect}</ruptAspectRatio>", 1)
    return sources.read_source_model(write(tmp_path, text))


@pytest.mark.parametrize("mag, dip, depth, length, width, ztor", [
    # M 6.5 strike-slip by WC1994: 269.15 km^2, aspect 1.5, layer 0-15 km.
    (6.5, 90.0, 5.0, 20.093, 13.395, 0.0),            # top above 0: moved down 1.698 km
    (6.5, 45.0, 5.0, 20.093, 13.395, 0.264),          # fits: not moved
    (6.5, 90.0, 14.0, 20.093, 13.395, 15.0 - 13.395),  # bottom below 15: moved up
    # M 7.0: 758.6 km^2, 33.73 x 22.49 km, wider than the 17.32 km the layer allows at dip 60:
    # the width capped, the area kept.
    (7.0, 60.0, 7.5, 758.58 / (15.0 / math.sin(math.radians(60.0))), 15.0 / math.sin(math.radians(60.0)), 0.0),
])
def test_point_rupture_sizing_and_depth_shift(tmp_path, mag, dip, depth, length, width, ztor):
    model = point_model(tmp_path, [(1.0, 30.0, dip, 0.0)], [(1.0, depth)], mags=str(mag))
    block = sources.make_ruptures(model, RuptureRange(0, 0, 1))
    assert (block.length[0], block.width[0], block.ztor[0]) == pytest.approx((length, width, ztor), abs=1e-3)
    # The hypocentre stays where the distribution puts it, even when the plane moves.
    assert (block.hypo_lon[0], block.hypo_lat[0], block.hypo_depth[0]) == (-122.0, 38.0, depth)
    # The plane's centre lies down dip of the hypocentre by as much as the plane moved down, and
    # the strike there is the nodal plane's, carried along.
    sin_dip, cos_dip = math.sin(math.radians(dip)), math.cos(math.radians(dip))
    lon, lat, az = geodesy.destination(block.lon0, block.lat0, block.strike, block.length / 2)
    lon, lat, az = geodesy.destination(lon, lat, az + 90.0, block.width * cos_dip / 2)
    moved = block.ztor[0] + block.width[0] * sin_dip / 2 - depth
    c_lon, c_lat, c_az = geodesy.destination(-122.0, 38.0, 30.0 + 90.0, moved * cos_dip / sin_dip)
    assert float(geodesy.distance(lon, lat, c_lon, c_lat)) < 1e-5
    # (within the spherical excess of the small triangles the moves make)
    assert float(az) == pytest.approx(float(c_az), abs=1e-4)


def test_point_msr_ruptures_are_their_hypocentres(tmp_path):
    model = point_model(tmp_path, [(0.5, 10.0, 50.0, -90.0), (0.5, 100.0, 90.0, 0.0)], [(0.3, 2.0), (0.7, 12.0)],
                        mags="5.0 5.5 6.0", msr="PointMSR")
    block = sources.make_ruptures(model, RuptureRange(0, 0, 12))
    assert block.length.tolist() == [0.0] * 12 and block.width.tolist() == [0.0] * 12
    assert np.array_equal(block.lon0, block.hypo_lon) and np.array_equal(block.lat0, block.hypo_lat)
    assert np.array_equal(block.ztor, block.hypo_depth)
    columns = [getattr(block, name) for name in sources.Ruptures.COLUMNS]
    assert not any(np.shares_memory(a, b) for k, a in enumerate(columns) for b in columns[k + 1:])
    # Order: magnitude, then plane, then depth (fastest).
    assert block.mag.tolist() == [5.0] * 4 + [5.5] * 4 + [6.0] * 4
    assert block.hypo_depth.tolist() == [2.0, 12.0] * 6 and block.dip.tolist() == [50.0, 50.0, 90.0, 90.0] * 3
    np.testing.assert_allclose(block.rate, 0.01 * np.array([0.15, 0.35, 0.15, 0.35] * 3), rtol=1e-14)


def test_zero_rates_and_probabilities_make_no_ruptures(tmp_path):
    model = point_model(tmp_path, [(1.0, 0.0, 90.0, 0.0), (0.0, 90.0, 45.0, 90.0)], [(1.0, 5.0)], mags="5.0 5.5 6.0")
    assert sources.count_ruptures(model, 0) == 3
    zero_bin = dataclasses.replace(model.sources[0], mfd=sources.IncrementalMFD(5.0, 0.5, (0.01, 0.0, 0.02)))
    model = dataclasses.replace(model, sources=(zero_bin,))
    block = sources.make_ruptures(model, RuptureRange(0, 0, 2))
    assert block.mag.tolist() == [5.0, 6.0] and sources.count_ruptures(model, 0) == 2


def shapely_grid(polygon, spacing):
    """The same lattice, filtered by shapely's test (interior only), as an oracle."""
    lons, lats = np.array([v[0] for v in polygon]), np.array([v[1] for v in polygon])
    shape = Polygon(polygon)
    lat_step = math.degrees(spacing / 6371.0)
    out = []
    for k in range(int((lats.max() - lats.min()) / lat_step) + 1):
        lat = lats.max() - k * lat_step
        lon_step = math.degrees(spacing / (6371.0 * math.cos(math.radians(lat))))
        for i in range(int((lons.max() - lons.min()) / lon_step) + 1):
            lon = lons.min() + i * lon_step
            if shape.contains(Point(lon, lat)):
                out.append((lon, lat))
    return out


@pytest.mark.parametrize("spacing", [10.0, 5.0, 2.0])
def test_area_grid_against_shapely(spacing):
    model = sources.read_source_model(PEER / "Set1-Case10" / "source_model.xml")
    area = model.sources[0]
    lon, lat = sources.area_points(area, Discretization(area_source_discretization=spacing))
    expected = shapely_grid(area.polygon, spacing)
    assert len(lon) == len(expected)
    np.testing.assert_allclose(np.column_stack([lon, lat]), np.array(expected), atol=1e-9)
    # About one point per spacing^2 of the zone's area (a 100 km circle).
    assert len(lon) == pytest.approx(math.pi * 100.0**2 / spacing**2, rel=0.05)


def test_area_grid_counts_and_rates():
    model = sources.read_source_model(PEER / "Set1-Case11" / "source_model.xml")
    setting = Discretization(area_source_discretization=5.0)
    points = len(sources.area_points(model.sources[0], setting)[0])
    assert sources.count_ruptures(model, 0, setting) == points * 150 * 6
    first = sources.make_ruptures(model, RuptureRange(0, 0, 6), setting)
    np.testing.assert_allclose(first.rate, 0.00084802548 / points * np.array([0.1667, 0.1666, 0.1667, 0.1667, 0.1666, 0.1667]),
                               rtol=1e-12)
    # An area source's own discretization wins over the job's.
    own = dataclasses.replace(model.sources[0], discretization=10.0)
    assert len(sources.area_points(own, setting)[0]) == len(sources.area_points(model.sources[0], Discretization())[0])


def test_area_polygon_across_the_antimeridian():
    box = ((179.5, -0.5), (-179.5, -0.5), (-179.5, 0.5), (179.5, 0.5))
    moved = ((-0.5, -0.5), (0.5, -0.5), (0.5, 0.5), (-0.5, 0.5))
    area = sources.AreaSource("x", "", "r", box, 10.0, 0.0, 10.0, "PointMSR", 1.0, sources.IncrementalMFD(6.0, 0.1, (1.0,)),
                              (sources.NodalPlane(1.0, 0.0, 90.0, 0.0),), (sources.HypoDepth(1.0, 5.0),))
    lon, lat = sources.area_points(area)
    lon_0, lat_0 = sources.area_points(dataclasses.replace(area, polygon=moved))
    assert len(lon) == len(lon_0) > 0 and np.all(np.abs(lon) <= 180.0)
    np.testing.assert_allclose(np.sort(lon % 360.0 - 180.0), np.sort(lon_0), atol=1e-9)
    with pytest.raises(InputError, match='areaSource "x": no point of a 500.0 km grid'):
        sources.area_points(dataclasses.replace(area, discretization=500.0))


# --- rates, depths, ids and blocks over whole models ----------------------------------------

SETTINGS = [Discretization(0.1, 5.0, 10.0), Discretization(0.2, 1.0, 4.0), Discretization(0.05, 2.5, 7.0)]


@pytest.mark.parametrize("setting", SETTINGS)
def test_rates_conserved_and_depths_kept(tmp_path, setting):
    text = EXAMPLE.replace('maxMag="6.5"', 'maxMag="7.8"')     # large ruptures, widths capped
    model = sources.read_source_model(write(tmp_path, text))
    totals = source_totals(model, setting)
    expected = [s.mfd.total_rate(setting.width_of_mfd_bin) for s in model.sources]
    np.testing.assert_allclose(totals, expected, rtol=1e-12)
    for block in sources.ruptures(model, setting, block_size=10_000):
        upper = np.array([model.sources[i].upper_depth for i in block.source])
        lower = np.array([model.sources[i].lower_depth for i in block.source])
        assert np.all(block.ztor >= upper)
        assert np.all(block.ztor + block.width * np.sin(np.radians(block.dip)) <= lower + 1e-9)
        assert np.all((block.dip > 0) & (block.dip <= 90)) and np.all((block.strike >= 0) & (block.strike < 360))


@pytest.mark.parametrize("case", PEER_CASES)
def test_peer_rates_conserved(case):
    model = sources.read_source_model(PEER / case / "source_model.xml")
    setting = Discretization(rupture_mesh_spacing=0.5, area_source_discretization=10.0)
    total = model.sources[0].mfd.total_rate(0.1)
    assert source_totals(model, setting)[0] == pytest.approx(total, rel=1e-12)


def test_blocks_ranges_and_ids_agree(tmp_path):
    model = sources.read_source_model(write(tmp_path, EXAMPLE))
    setting = Discretization(rupture_mesh_spacing=2.0, area_source_discretization=20.0)
    counts = [sources.count_ruptures(model, i, setting) for i in range(3)]
    whole = sources.Ruptures.concatenate(list(sources.ruptures(model, setting, block_size=10**9)))
    assert len(whole) == sum(counts)
    for i, count in enumerate(counts):
        assert whole.index[whole.source == i].tolist() == list(range(count))
    blocks = list(sources.ruptures(model, setting, block_size=97))
    assert [len(b) for b in blocks[:-1]] == [97] * (len(blocks) - 1)
    assert np.array_equal(sources.Ruptures.concatenate(blocks).geometry(), whole.geometry())
    ranges = list(sources.rupture_ranges(model, setting, size=50))
    assert all(r.stop - r.start <= 50 for r in ranges)
    # A worker given the pickled model and a range makes exactly those ruptures.
    remote = pickle.loads(pickle.dumps(model))
    for piece in ranges[::3]:
        made = sources.make_ruptures(remote, pickle.loads(pickle.dumps(piece)), setting)
        rows = np.flatnonzero(whole.source == piece.source)[piece.start:piece.stop]
        for name in sources.Ruptures.COLUMNS:
            assert np.array_equal(getattr(made, name), getattr(whole, name)[rows]), name
    plain = sources.make_ruptures(model, [(2, 0, 5), (0, 1, 3)], setting)
    assert plain.source.tolist() == [2] * 5 + [0] * 2 and plain.index.tolist() == [0, 1, 2, 3, 4, 1, 2]
    assert np.array_equal(sources.make_ruptures(model, (2, 0, 5), setting).geometry(), plain.geometry()[:5])
    only_fault = list(sources.ruptures(model, setting, sources=[2]))
    assert sum(len(b) for b in only_fault) == counts[2]
    with pytest.raises(ValueError, match="it has"):
        sources.make_ruptures(model, RuptureRange(0, 0, counts[0] + 1), setting)


def test_geometry_array():
    model = sources.read_source_model(PEER / "Set1-Case2" / "source_model.xml")
    block = next(sources.ruptures(model, Discretization(rupture_mesh_spacing=1.0), block_size=20))
    geometry = block.geometry()
    assert geometry.shape == (20, 10) and geometry.dtype == np.float64 and geometry.flags.c_contiguous
    for column, name in enumerate(sources.GEOMETRY):
        assert np.array_equal(geometry[:, column], getattr(block, name))
    assert sources.GEOMETRY == ("lon0", "lat0", "ztor", "strike", "dip", "length", "width", "hypo_lon", "hypo_lat", "hypo_depth")
    assert len(block.select(block.index % 2 == 0)) == 10 and len(sources.Ruptures.empty(("a",))) == 0


@pytest.mark.parametrize("name, value", [("width_of_mfd_bin", 0.0), ("rupture_mesh_spacing", -1.0),
                                         ("area_source_discretization", float("nan"))])
def test_discretization_refused(name, value):
    with pytest.raises(InputError, match=name):
        Discretization(**{name: value})


# --- geodesy ----------------------------------------------------------------------------------

def test_moves_along_great_circles():
    rng = np.random.default_rng(7)
    n = 2000
    lon, lat = rng.uniform(-180, 180, n), rng.uniform(-85, 85, n)
    az, d1, d2 = rng.uniform(0, 360, n), rng.uniform(0.001, 3000, n), rng.uniform(-500, 500, n)
    lon1, lat1, az1 = geodesy.destination(lon, lat, az, d1)
    np.testing.assert_allclose(geodesy.distance(lon, lat, lon1, lat1), d1, rtol=1e-9, atol=1e-9)
    turn = (geodesy.azimuth(lon, lat, lon1, lat1) - az + 180.0) % 360.0 - 180.0
    assert np.abs(turn).max() < 1e-7
    # Continuing from the point reached in the direction of arrival is one longer move.
    lon2, lat2, _ = geodesy.destination(lon1, lat1, az1, d2)
    lon3, lat3, _ = geodesy.destination(lon, lat, az, d1 + d2)
    assert geodesy.distance(lon2, lat2, lon3, lat3).max() < 1e-8
    # One degree of a meridian.
    assert float(geodesy.distance(0.0, 0.0, 0.0, 1.0)) == pytest.approx(6371.0 * math.pi / 180.0, rel=1e-14)
