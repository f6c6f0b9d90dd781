"""Reading a source model in NRML 0.4 or 0.5.

The file is parsed by the standard library's expat, as a stream: the elements of one source at a
time are held, checked and turned into a record of ``model``, then dropped, so that a model of
any size is read in the memory of its records. Every element, attribute and value is checked;
anything this reader does not know (another source type, MFD or scaling relation, an unknown
element or attribute) is refused with the file, the line and the source's id, never skipped.
A DOCTYPE (and so any entity declaration) is refused: a source model needs none.
"""

import math
import os
import re
import xml.parsers.expat
from dataclasses import dataclass, field
from typing import Callable, Dict, List, NoReturn, Optional, Sequence, Tuple, Union

from ..errors import InputError
from . import geodesy, grid
from .model import (
    MFD, MSRS, AreaSource, HypoDepth, IncrementalMFD, NodalPlane, PointSource, SimpleFaultSource,
    Source, SourceModel, TruncatedGR)

NRML = {"http://openquake.org/xmlns/nrml/0.4": "0.4", "http://openquake.org/xmlns/nrml/0.5": "0.5"}
GML = "http://www.opengis.net/gml"
# Attributes in this namespace are hints to schema validators: they change nothing here.
XSI = "http://www.w3.org/2001/XMLSchema-instance"

SOURCE_TYPES = ("pointSource", "areaSource", "simpleFaultSource")
UNSUPPORTED_SOURCES = ("complexFaultSource", "characteristicFaultSource", "multiPointSource",
                       "nonParametricSeismicSource", "kiteFaultSource", "multiFaultSource")
MFD_TYPES = ("truncGutenbergRichterMFD", "incrementalMFD")
UNSUPPORTED_MFDS = ("arbitraryMFD", "YoungsCoppersmithMFD", "multiMFD", "taperedGutenbergRichterMFD")

# Probabilities of a distribution must sum to 1 within this.
PROBABILITY_TOLERANCE = 1e-6
# A trace of more than two points is accepted when they lie this close to one great circle.
STRAIGHT_TRACE_KM = 0.05

_NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")


@dataclass
class _Node:
    """An element of the source being read: NRML elements are named bare, GML ones ``gml:X``."""

    name: str
    attrib: Dict[str, str]
    line: int
    children: List["_Node"] = field(default_factory=list)
    text_parts: List[str] = field(default_factory=list)

    @property
    def text(self) -> str:
        return "".join(self.text_parts)


class _Source:
    """Checks of the elements of one source, each failure naming its line and the source."""

    def __init__(self, path: str, node: _Node, kind: str, version: str):
        self.path, self.node, self.kind, self.version = path, node, kind, version
        self.id = node.attrib.get("id", "")

    def fail(self, node: _Node, reason: str) -> NoReturn:
        raise InputError(f"{self.path}, line {node.line}: {self.kind} \"{self.id}\": {reason}")

    def attributes(self, node: _Node, required: Sequence[str], optional: Sequence[str] = ()) -> Dict[str, str]:
        for name in node.attrib:
            if name not in required and name not in optional:
                self.fail(node, f"unknown attribute '{name}' of <{node.name}>")
        for name in required:
            if name not in node.attrib:
                self.fail(node, f"<{node.name}> lacks the attribute '{name}'")
        return node.attrib

    def children(self, node: _Node, required: Sequence[str], optional: Sequence[str] = (),
                 refused: Optional[Dict[str, str]] = None) -> Dict[str, _Node]:
        """The children of ``node`` by name: each known one at most once, the required ones."""
        found: Dict[str, _Node] = {}
        for child in node.children:
            if refused and child.name in refused:
                self.fail(child, refused[child.name])
            if child.name not in required and child.name not in optional:
                self.fail(child, f"unknown element <{child.name}> in <{node.name}>")
            if child.name in found:
                self.fail(child, f"<{child.name}> given twice in <{node.name}> "
                                 f"(first at line {found[child.name].line})")
            found[child.name] = child
        self.no_text(node)
        for name in required:
            if name not in found:
                self.fail(node, f"<{node.name}> lacks <{name}>")
        return found

    def no_text(self, node: _Node) -> None:
        if node.text.strip():
            self.fail(node, f"unexpected text {node.text.strip()[:40]!r} in <{node.name}>")

    def text(self, node: _Node) -> str:
        self.attributes(node, ())
        if node.children:
            self.fail(node.children[0], f"unknown element <{node.children[0].name}> in <{node.name}>")
        text = node.text.strip()
        if not text:
            self.fail(node, f"<{node.name}> is empty")
        return text

    def number(self, node: _Node, text: str, what: str,
               check: Optional[Callable[[float], bool]] = None, expected: str = "") -> float:
        if not _NUMBER.fullmatch(text):
            self.fail(node, f"{what} {text!r} is not a number")
        value = float(text)
        if not math.isfinite(value) or (check is not None and not check(value)):
            self.fail(node, f"{what} {text} is out of range: expected {expected}")
        return value

    def value(self, node: _Node, check: Optional[Callable[[float], bool]] = None, expected: str = "") -> float:
        """The number an element holds as its text."""
        return self.number(node, self.text(node), f"<{node.name}>", check, expected)

    def attribute(self, node: _Node, name: str, check: Optional[Callable[[float], bool]] = None,
                  expected: str = "") -> float:
        return self.number(node, node.attrib[name].strip(), f"{name} of <{node.name}>", check, expected)

    def positions(self, node: _Node) -> List[Tuple[float, float]]:
        """The lon/lat pairs of a ``gml:pos`` or ``gml:posList``."""
        words = self.text(node).split()
        if len(words) % 2:
            self.fail(node, f"<{node.name}> holds {len(words)} numbers, not lon/lat pairs")
        values = [self.number(node, word, f"a coordinate in <{node.name}>") for word in words]
        pairs = list(zip(values[0::2], values[1::2]))
        for lon, lat in pairs:
            if not (-180.0 <= lon <= 180.0 and -90.0 <= lat <= 90.0):
                self.fail(node, f"<{node.name}>: ({lon} {lat}) is not a longitude in -180..180 "
                                "and a latitude in -90..90")
        return pairs

    # --- the parts shared by the source types ------------------------------------------------

    def depths(self, parts: Dict[str, _Node]) -> Tuple[float, float]:
        upper = self.value(parts["upperSeismoDepth"], lambda v: v >= 0, ">= 0 km")
        lower = self.value(parts["lowerSeismoDepth"], lambda v: v > upper,
                           f"more than upperSeismoDepth {upper} km")
        return upper, lower

    def msr(self, node: _Node) -> str:
        name = self.text(node)
        if name not in MSRS:
            self.fail(node, f"magScaleRel '{name}' is not supported (supported: {', '.join(MSRS)})")
        return name

    def mfd(self, parts: Dict[str, _Node]) -> MFD:
        node = parts.get("truncGutenbergRichterMFD") or parts.get("incrementalMFD")
        if node is None:
            self.fail(self.node, f"<{self.kind}> lacks an MFD ({' or '.join(MFD_TYPES)})")
        if "truncGutenbergRichterMFD" in parts and "incrementalMFD" in parts:
            self.fail(parts["incrementalMFD"], "two MFDs")
        if node.name == "truncGutenbergRichterMFD":
            self.attributes(node, ("aValue", "bValue", "minMag", "maxMag"))
            self.children(node, ())
            a = self.attribute(node, "aValue")
            b = self.attribute(node, "bValue", lambda v: v > 0, "> 0")
            low = self.attribute(node, "minMag", lambda v: v >= 0, ">= 0")
            high = self.attribute(node, "maxMag", lambda v: v > low, f"more than minMag {low}")
            return TruncatedGR(a, b, low, high)
        self.attributes(node, ("minMag", "binWidth"))
        rates_node = self.children(node, ("occurRates",))["occurRates"]
        low = self.attribute(node, "minMag", lambda v: v >= 0, ">= 0")
        width = self.attribute(node, "binWidth", lambda v: v > 0, "> 0")
        rates = tuple(self.number(rates_node, word, "a rate in <occurRates>", lambda v: v >= 0, ">= 0")
                      for word in self.text(rates_node).split())
        return IncrementalMFD(low, width, rates)

    def probabilities(self, node: _Node, values: Sequence[float]) -> None:
        total = math.fsum(values)
        if abs(total - 1.0) > PROBABILITY_TOLERANCE:
            self.fail(node, f"the probabilities of <{node.name}> sum to {total:.9g}, not 1")

    def nodal_planes(self, node: _Node) -> Tuple[NodalPlane, ...]:
        self.attributes(node, ())
        self.no_text(node)
        planes = []
        for child in node.children:
            if child.name != "nodalPlane":
                self.fail(child, f"unknown element <{child.name}> in <{node.name}>")
            self.attributes(child, ("probability", "strike", "dip", "rake"))
            self.children(child, ())
            planes.append(NodalPlane(
                self.attribute(child, "probability", lambda v: 0 <= v <= 1, "0 to 1"),
                self.attribute(child, "strike", lambda v: 0 <= v <= 360, "0 to 360 degrees"),
                self.attribute(child, "dip", lambda v: 0 < v <= 90, "more than 0, at most 90 degrees"),
                self.attribute(child, "rake", lambda v: -180 <= v <= 180, "-180 to 180 degrees")))
        if not planes:
            self.fail(node, f"<{node.name}> holds no <nodalPlane>")
        self.probabilities(node, [p.probability for p in planes])
        return tuple(planes)

    def hypo_depths(self, node: _Node, upper: float, lower: float) -> Tuple[HypoDepth, ...]:
        self.attributes(node, ())
        self.no_text(node)
        depths = []
        for child in node.children:
            if child.name != "hypoDepth":
                self.fail(child, f"unknown element <{child.name}> in <{node.name}>")
            self.attributes(child, ("probability", "depth"))
            self.children(child, ())
            depths.append(HypoDepth(
                self.attribute(child, "probability", lambda v: 0 <= v <= 1, "0 to 1"),
                self.attribute(child, "depth", lambda v: upper <= v <= lower,
                               f"within the seismogenic depths {upper} to {lower} km")))
        if not depths:
            self.fail(node, f"<{node.name}> holds no <hypoDepth>")
        self.probabilities(node, [d.probability for d in depths])
        return tuple(depths)

    def common(self, parts: Dict[str, _Node]) -> Tuple[str, float, MFD]:
        return (self.msr(parts["magScaleRel"]),
                self.value(parts["ruptAspectRatio"], lambda v: v > 0, "> 0"),
                self.mfd(parts))


_COMMON = ("magScaleRel", "ruptAspectRatio")
_REFUSED_MFDS = {name: f"MFD <{name}> is not supported (supported: {', '.join(MFD_TYPES)})"
                 for name in UNSUPPORTED_MFDS}


def _point_source(s: _Source, region: str, where: str) -> PointSource:
    parts = s.children(s.node, ("pointGeometry", *_COMMON, "nodalPlaneDist", "hypoDepthDist"),
                       MFD_TYPES, _REFUSED_MFDS)
    geometry = parts["pointGeometry"]
    s.attributes(geometry, ())
    shape = s.children(geometry, ("gml:Point", "upperSeismoDepth", "lowerSeismoDepth"))
    s.attributes(shape["gml:Point"], ())
    position = s.positions(s.children(shape["gml:Point"], ("gml:pos",))["gml:pos"])
    if len(position) != 1:
        s.fail(shape["gml:Point"], "<gml:pos> must hold one lon/lat pair")
    upper, lower = s.depths(shape)
    msr, aspect, mfd = s.common(parts)
    return PointSource(s.id, s.node.attrib.get("name", ""), region, position[0][0], position[0][1],
                       upper, lower, msr, aspect, mfd, s.nodal_planes(parts["nodalPlaneDist"]),
                       s.hypo_depths(parts["hypoDepthDist"], upper, lower), where)


def _area_source(s: _Source, region: str, where: str) -> AreaSource:
    parts = s.children(s.node, ("areaGeometry", *_COMMON, "nodalPlaneDist", "hypoDepthDist"),
                       MFD_TYPES, _REFUSED_MFDS)
    geometry = parts["areaGeometry"]
    s.attributes(geometry, (), ("discretization",))
    spacing = (s.attribute(geometry, "discretization", lambda v: v > 0, "> 0 km")
               if "discretization" in geometry.attrib else None)
    shape = s.children(geometry, ("gml:Polygon", "upperSeismoDepth", "lowerSeismoDepth"))
    polygon = shape["gml:Polygon"]
    s.attributes(polygon, ())
    exterior = s.children(polygon, ("gml:exterior",),
                          refused={"gml:interior": "polygons with holes (<gml:interior>) are not supported"})
    s.attributes(exterior["gml:exterior"], ())
    linear = s.children(exterior["gml:exterior"], ("gml:LinearRing",))["gml:LinearRing"]
    s.attributes(linear, ())
    pos_list = s.children(linear, ("gml:posList",))["gml:posList"]
    vertices = s.positions(pos_list)
    try:
        lon, lat = grid.ring([v[0] for v in vertices], [v[1] for v in vertices])
    except ValueError as error:
        s.fail(pos_list, str(error))
    # The ring as checked: a closing vertex repeated in the file is dropped.
    vertices = vertices[:len(lon)]
    upper, lower = s.depths(shape)
    msr, aspect, mfd = s.common(parts)
    return AreaSource(s.id, s.node.attrib.get("name", ""), region, tuple(vertices), spacing,
                      upper, lower, msr, aspect, mfd, s.nodal_planes(parts["nodalPlaneDist"]),
                      s.hypo_depths(parts["hypoDepthDist"], upper, lower), where)


def _fault_source(s: _Source, region: str, where: str) -> SimpleFaultSource:
    refused = dict(_REFUSED_MFDS)
    for name in ("hypoList", "slipList"):
        refused[name] = f"<{name}> is not supported"
    parts = s.children(s.node, ("simpleFaultGeometry", *_COMMON, "rake"), MFD_TYPES, refused)
    geometry = parts["simpleFaultGeometry"]
    s.attributes(geometry, ())
    shape = s.children(geometry, ("gml:LineString", "dip", "upperSeismoDepth", "lowerSeismoDepth"))
    s.attributes(shape["gml:LineString"], ())
    pos_list = s.children(shape["gml:LineString"], ("gml:posList",))["gml:posList"]
    trace = s.positions(pos_list)
    _check_trace(s, pos_list, trace)
    dip = s.value(shape["dip"], lambda v: 0 < v <= 90, "more than 0, at most 90 degrees")
    upper, lower = s.depths(shape)
    msr, aspect, mfd = s.common(parts)
    rake = s.value(parts["rake"], lambda v: -180 <= v <= 180, "-180 to 180 degrees")
    return SimpleFaultSource(s.id, s.node.attrib.get("name", ""), region, tuple(trace), dip,
                             upper, lower, msr, aspect, mfd, rake, where)


def _check_trace(s: _Source, node: _Node, trace: List[Tuple[float, float]]) -> None:
    """A fault trace must be straight: its ruptures are planar rectangles."""
    if len(trace) < 2:
        s.fail(node, "a fault trace needs at least 2 points")
    (lon0, lat0), (lon1, lat1) = trace[0], trace[-1]
    length = float(geodesy.distance(lon0, lat0, lon1, lat1))
    if length == 0.0:
        s.fail(node, "the fault trace's ends coincide")
    if len(trace) == 2:
        return
    strike = float(geodesy.azimuth(lon0, lat0, lon1, lat1))
    along_before = 0.0
    for k, (lon, lat) in enumerate(trace[1:-1], 2):
        d = float(geodesy.distance(lon0, lat0, lon, lat))
        bearing = math.radians(float(geodesy.azimuth(lon0, lat0, lon, lat)) - strike)
        across = abs(math.asin(math.sin(d / geodesy.EARTH_RADIUS_KM) * math.sin(bearing))) * geodesy.EARTH_RADIUS_KM
        along = d * math.cos(bearing)
        if across > STRAIGHT_TRACE_KM or not along_before < along < length:
            s.fail(node, f"the fault trace bends at point {k} ({lon} {lat}), {across:.3f} km off the "
                         "line between its ends: only straight traces are supported (each rupture is "
                         "a planar rectangle)")
        along_before = along


_MAKERS: Dict[str, Callable[[_Source, str, str], Source]] = {
    "pointSource": _point_source, "areaSource": _area_source, "simpleFaultSource": _fault_source}


class _Reader:
    """The expat handlers: the document's frame (nrml, sourceModel, sourceGroup) is checked as it
    opens; each source is gathered whole, then made into a record."""

    def __init__(self, path: str, parser: "xml.parsers.expat.XMLParserType"):
        self.path, self.parser = path, parser
        self.version = ""
        self.name = ""
        self.frames: List[_Node] = []          # nrml, sourceModel, sourceGroup: open elements
        self.source: List[_Node] = []          # the elements of the source being read
        self.group_region: Optional[str] = None
        self.sources: List[Source] = []
        self.ids: Dict[str, int] = {}
        self.regions: Dict[str, None] = {}
        self.models = 0

    def fail(self, line: int, reason: str) -> NoReturn:
        raise InputError(f"{self.path}, line {line}: {reason}")

    def _name(self, tag: str) -> str:
        namespace, _, local = tag.rpartition(" ")
        if namespace == GML:
            return f"gml:{local}"
        if NRML.get(namespace) == self.version or (not self.version and namespace in NRML):
            return local
        return f"{{{namespace}}}{local}" if namespace else local

    def _attributes(self, attrs: Dict[str, str], line: int) -> Dict[str, str]:
        out = {}
        for name, value in attrs.items():
            namespace, _, local = name.rpartition(" ")
            if namespace == XSI:
                continue
            if namespace:
                self.fail(line, f"unknown attribute '{{{namespace}}}{local}'")
            out[local] = value
        return out

    def start(self, tag: str, attrs: Dict[str, str]) -> None:
        line = self.parser.CurrentLineNumber
        if not self.frames:
            namespace, _, local = tag.rpartition(" ")
            if local != "nrml" or namespace not in NRML:
                self.fail(line, f"the root element is <{local}> in namespace '{namespace}', not <nrml> "
                                f"of NRML 0.4 or 0.5 ({' or '.join(NRML)})")
            self.version = NRML[namespace]
        node = _Node(self._name(tag), self._attributes(attrs, line), line)
        if self.source:
            self.source[-1].children.append(node)
            self.source.append(node)
            return
        depth = len(self.frames)
        if depth == 0:
            if node.attrib:
                self.fail(line, f"unknown attribute '{next(iter(node.attrib))}' of <nrml>")
        elif depth == 1:
            if node.name != "sourceModel":
                self.fail(line, f"unknown element <{node.name}> in <nrml> (expected <sourceModel>)")
            self.models += 1
            if self.models > 1:
                self.fail(line, "a second <sourceModel>: a file holds one")
            allowed = ("name",) if self.version == "0.4" else ("name", "investigation_time", "start_time")
            for name in node.attrib:
                if name not in allowed:
                    self.fail(line, f"unknown attribute '{name}' of <sourceModel>")
            self.name = node.attrib.get("name", "")
        elif depth == 2 and self.version == "0.5":
            if node.name != "sourceGroup":
                if node.name in SOURCE_TYPES or node.name in UNSUPPORTED_SOURCES:
                    self.fail(line, f"<{node.name}> directly under <sourceModel>: NRML 0.5 puts every "
                                    "source in a <sourceGroup> (or declare the file NRML 0.4)")
                self.fail(line, f"unknown element <{node.name}> in <sourceModel> (expected <sourceGroup>)")
            for name in node.attrib:
                if name not in ("name", "tectonicRegion"):
                    self.fail(line, f"sourceGroup \"{node.attrib.get('name', '')}\": attribute '{name}' "
                                    "is not supported")
            if "tectonicRegion" not in node.attrib:
                self.fail(line, "<sourceGroup> lacks the attribute 'tectonicRegion'")
            self.group_region = node.attrib["tectonicRegion"]
        else:
            parent = "sourceGroup" if self.version == "0.5" else "sourceModel"
            if node.name in UNSUPPORTED_SOURCES:
                self.fail(line, f"{node.name} \"{node.attrib.get('id', '')}\" is not supported "
                                f"(supported: {', '.join(SOURCE_TYPES)})")
            if node.name not in SOURCE_TYPES:
                hint = " (NRML 0.4 has no <sourceGroup>; declare the file NRML 0.5)" \
                    if node.name == "sourceGroup" else ""
                self.fail(line, f"unknown element <{node.name}> in <{parent}>{hint}")
            self.source.append(node)
            return
        self.frames.append(node)

    def end(self, tag: str) -> None:
        if not self.source:
            self.frames.pop()
            if len(self.frames) == 2:
                self.group_region = None
            return
        node = self.source.pop()
        if not self.source:
            self.sources.append(self._make(node))

    def data(self, text: str) -> None:
        if self.source:
            self.source[-1].text_parts.append(text)
        elif text.strip():
            self.fail(self.parser.CurrentLineNumber, f"unexpected text {text.strip()[:40]!r}")

    def doctype(self, *args: object) -> None:
        self.fail(self.parser.CurrentLineNumber, "a DOCTYPE is not allowed in a source model")

    def _make(self, node: _Node) -> Source:
        s = _Source(self.path, node, node.name, self.version)
        s.attributes(node, ("id",), ("name", "tectonicRegion"))
        if not s.id.strip():
            s.fail(node, "empty id")
        if s.id in self.ids:
            s.fail(node, f"the id \"{s.id}\" was given to another source, at line {self.ids[s.id]}")
        self.ids[s.id] = node.line
        region = node.attrib.get("tectonicRegion")
        if self.group_region is not None:
            if region is not None and region != self.group_region:
                s.fail(node, f"tectonicRegion \"{region}\" differs from its sourceGroup's "
                             f"\"{self.group_region}\"")
            region = self.group_region
        if region is None or not region.strip():
            s.fail(node, "no tectonicRegion")
        self.regions.setdefault(region, None)
        return _MAKERS[node.name](s, region, f"{self.path}, line {node.line}")


def read_source_model(path: Union[str, "os.PathLike[str]"]) -> SourceModel:
    """Read a seismic source model written in NRML 0.4 or 0.5.

    Parameters
    ----------
    path : str or path-like
        The XML file.

    Returns
    -------
    SourceModel
        Its sources (``PointSource``, ``AreaSource``, ``SimpleFaultSource``) in file order and
        the tectonic regions they name.

    Raises
    ------
    gmms.errors.InputError
        The file cannot be read, is not well-formed XML, or holds anything outside the supported
        subset or a value out of range; the message gives the file, the line and the source.

    Examples
    --------
    >>> model = read_source_model("source_model.xml")        # doctest: +SKIP
    >>> [source.id for source in model.sources]               # doctest: +SKIP
    """
    name = os.fspath(path)
    parser = xml.parsers.expat.ParserCreate(namespace_separator=" ")
    reader = _Reader(name, parser)
    parser.StartElementHandler = reader.start
    parser.EndElementHandler = reader.end
    parser.CharacterDataHandler = reader.data
    parser.StartDoctypeDeclHandler = reader.doctype
    parser.buffer_text = True
    try:
        with open(name, "rb") as file:
            parser.ParseFile(file)
    except FileNotFoundError:
        raise InputError(f"{name}: no such file (source model)") from None
    except OSError as error:
        raise InputError(f"{name}: cannot read it ({error.strerror or error})") from None
    except xml.parsers.expat.ExpatError as error:
        raise InputError(f"{name}, line {error.lineno}: not well-formed XML "
                         f"({xml.parsers.expat.ErrorString(error.code)})") from None
    if not reader.sources:
        raise InputError(f"{name}: the source model holds no source")
    return SourceModel(name, reader.name, reader.version, tuple(reader.sources), tuple(reader.regions))
