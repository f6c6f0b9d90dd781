"""Rupture generation: gmms.sources against a plain Python loop over the same ruptures.

An area source of about 10,000 points (a 2 x 2 degree box at 2 km), 20 magnitude bins
(truncated Gutenberg-Richter, 5.0 to 7.0 by 0.1), three nodal planes and one depth: about
600,000 point ruptures sized by WC1994 and kept within a 0-15 km layer.

- ``ours``: ``gmms.sources.ruptures`` over the whole source, in blocks of the default size;
- ``loop``: the ruptures made one at a time with ``math``, as such code is often written (the
  centre moved down or up dip, then the middle of the top edge, then its first corner, each a
  great-circle move by the usual spherical formulas at the nodal plane's strike, which leaves out
  the turn of the meridians), on the first ``--loop-ruptures`` of them.

Prints the time per rupture of each, taking turns (best of ``--repeats`` in CPU time), their
ratio, and the largest distance between the first corners the two compute. Then the PEER Set 1
Case 2 fault at its 0.02 km grid (134,368 floating ruptures) through ``ruptures``.
Run: /usr/bin/python3 bench/sources.py [--repeats R] [--loop-ruptures N]
"""

import argparse
import math
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
if __name__ == "__main__":
    sys.path.insert(0, str(ROOT))
from gmms import sources  # noqa: E402

R_KM = 6371.0


def area_model():
    box = ((10.0, 44.0), (12.0, 44.0), (12.0, 46.0), (10.0, 46.0))
    planes = (sources.NodalPlane(0.5, 0.0, 90.0, 0.0), sources.NodalPlane(0.3, 120.0, 45.0, 90.0),
              sources.NodalPlane(0.2, 300.0, 60.0, -90.0))
    area = sources.AreaSource("bench", "bench", "Active Shallow Crust", box, 2.0, 0.0, 15.0, "WC1994", 1.5,
                              sources.TruncatedGR(4.5, 1.0, 5.0, 7.0), planes, (sources.HypoDepth(1.0, 8.0),))
    return sources.SourceModel("bench", "bench", "0.5", (area,), ("Active Shallow Crust",))


def move(lon, lat, azimuth, distance):
    """Great-circle move by the usual formulas: the point reached."""
    phi1, lam1, theta, delta = math.radians(lat), math.radians(lon), math.radians(azimuth), distance / R_KM
    phi2 = math.asin(math.sin(phi1) * math.cos(delta) + math.cos(phi1) * math.sin(delta) * math.cos(theta))
    lam2 = lam1 + math.atan2(math.sin(theta) * math.sin(delta) * math.cos(phi1),
                             math.cos(delta) - math.sin(phi1) * math.sin(phi2))
    return math.degrees(lam2), math.degrees(phi2)


def loop_ruptures(source, lons, lats, width_of_mfd_bin, count):
    """The first ``count`` ruptures, one at a time: (lon0, lat0, ztor, strike) of each."""
    mags, rates = source.mfd.bins(width_of_mfd_bin)
    out = []
    for lon, lat in zip(lons, lats):
        for mag in mags:
            for plane in source.nodal_planes:
                for hypo in source.hypo_depths:
                    if len(out) == count:
                        return out
                    rake, dip = plane.rake, math.radians(plane.dip)
                    if 45 < rake < 135:
                        area = 10 ** (-3.99 + 0.98 * mag)
                    elif -135 < rake < -45:
                        area = 10 ** (-2.87 + 0.82 * mag)
                    else:
                        area = 10 ** (-3.42 + 0.90 * mag)
                    length = math.sqrt(area * source.aspect_ratio)
                    width = area / length
                    width_max = (source.lower_depth - source.upper_depth) / math.sin(dip)
                    if width > width_max:
                        width, length = width_max, area / width_max
                    half = width * math.sin(dip) / 2
                    centre = min(max(hypo.depth, source.upper_depth + half), source.lower_depth - half)
                    c_lon, c_lat = move(lon, lat, plane.strike + 90.0, (centre - hypo.depth) / math.tan(dip))
                    t_lon, t_lat = move(c_lon, c_lat, plane.strike - 90.0, width * math.cos(dip) / 2)
                    lon0, lat0 = move(t_lon, t_lat, plane.strike + 180.0, length / 2)
                    out.append((lon0, lat0, centre - half, plane.strike))
    return out


def cpu(function):
    start = time.process_time()
    result = function()
    return time.process_time() - start, result


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--loop-ruptures", type=int, default=20_000)
    args = parser.parse_args(argv)

    model = area_model()
    setting = sources.Discretization(width_of_mfd_bin=0.1)
    count = sources.count_ruptures(model, 0, setting)
    lons, lats = sources.area_points(model.sources[0], setting)
    print(f"area source: {len(lons)} points, {count} ruptures")

    def ours():
        return sum(len(block) for block in sources.ruptures(model, setting))

    def loop():
        return loop_ruptures(model.sources[0], lons, lats, 0.1, args.loop_ruptures)

    best_ours = best_loop = math.inf
    for _ in range(args.repeats):
        seconds, made = cpu(ours)
        assert made == count
        best_ours = min(best_ours, seconds / count)
        seconds, looped = cpu(loop)
        best_loop = min(best_loop, seconds / len(looped))
    first = sources.make_ruptures(model, sources.RuptureRange(0, 0, len(looped)), setting)
    lon0, lat0, ztor, strike = map(np.array, zip(*looped))
    apart = sources.geodesy.distance(first.lon0, first.lat0, lon0, lat0).max()
    print(f"ours: {best_ours * 1e6:.3f} us per rupture ({best_ours * count:.2f} s for the source)")
    print(f"loop: {best_loop * 1e6:.3f} us per rupture (first {len(looped)} ruptures)")
    print(f"ours / loop, time per rupture: {best_ours / best_loop:.3f}")
    print(f"first corners at most {apart * 1e3:.3f} m apart; ztor within {np.abs(first.ztor - ztor).max():.1e} km; "
          f"strike within {np.abs((first.strike - strike + 180) % 360 - 180).max():.1e} degrees")

    peer = sources.read_source_model(ROOT / "tests" / "data" / "peer" / "Set1-Case2" / "source_model.xml")
    fine = sources.Discretization(rupture_mesh_spacing=0.02)
    seconds, made = cpu(lambda: sum(len(block) for block in sources.ruptures(peer, fine)))
    print(f"PEER Set1-Case2 fault at 0.02 km: {made} ruptures in {seconds:.3f} s CPU "
          f"({seconds / made * 1e6:.3f} us per rupture)")


if __name__ == "__main__":
    main()
