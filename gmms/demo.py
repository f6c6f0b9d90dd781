"""Evaluate the three models for one scenario over a handful of sites and print a table.

Run as ``python3 -m gmms.demo`` with the package's parent directory and a directory holding the
sibling modules ``Dovecar`` and ``Brisquell`` (the stand-ins in ``siblings/`` by default) on the
module search path.
"""

import math

import numpy as np

SITES_R_RUP_KM = np.array([5.0, 20.0, 50.0, 100.0, 200.0])
SITES_VS30_MPS = np.array([180.0, 270.0, 400.0, 760.0, 1100.0])


def _table(title, columns, rows):
    print(title)
    widths = [max(len(c), 10) for c in columns]
    print("  ".join(c.rjust(w) for c, w in zip(columns, widths)))
    for row in rows:
        print("  ".join(f"{v:>{w}.4g}" for v, w in zip(row, widths)))
    print()


def _report(title, unit, result):
    mean, phi, tau = result
    columns = ["R_rup km", "Vs30 m/s", "mean ln IM", f"median {unit}", "phi", "tau"]
    rows = zip(SITES_R_RUP_KM, SITES_VS30_MPS, mean, (math.exp(m) for m in mean), phi, tau)
    _table(title, columns, rows)


def main():
    from gmms import Tarvik

    r_rup = SITES_R_RUP_KM.copy()
    vs30 = SITES_VS30_MPS.copy()
    scenario = "M 7.0 in-slab event, hypocentre 40.0 N 135.0 E at 50 km depth (backarc)"
    for im, name, unit in ((0, "Arias intensity", "Ia"), (1, "CAV", "CAV")):
        result = Tarvik.Tarvik_cy(im, 7.0, 40.0, 135.0, 50.0, r_rup, vs30, 1, 0, 0, 0)
        _report(f"Tarvik, {name}: {scenario}", unit, result)

    # Shallow crustal scenario for the two models built on sibling modules.
    r_jb = np.maximum(r_rup - 3.0, 0.0)
    r_x = r_jb.copy()
    z1p0 = np.full(len(r_rup), 0.3)
    z2p5 = np.full(len(r_rup), 1.0)
    try:
        from gmms import Morrand, Sellwyn
    except ImportError as error:
        print(f"Morrand and Sellwyn need their sibling modules on sys.path: {error}")
        return
    crustal = "M 6.5 reverse event, dip 45 deg, top of rupture 3 km"
    result = Morrand.Morrand_cy(6.5, 45.0, 3.0, r_jb, r_rup, r_x, vs30, z1p0, z2p5, 0, 1, 1, 1)
    _report(f"Morrand, CAVdp: {crustal}", "CAVdp", result)
    for im, name, unit in ((0, "Arias intensity", "Ia"), (1, "CAV", "CAV")):
        result = Sellwyn.Sellwyn_cy(im, 6.5, 15.0, 45.0, 3.0, 10.0, r_jb, r_rup, r_x, vs30, z2p5, 0, 1, "JP")
        _report(f"Sellwyn, {name}: {crustal}", unit, result)
    print("Morrand and Sellwyn above use the sibling modules found on sys.path "
          "(the stand-ins in siblings/ unless you supply the real ones).")


if __name__ == "__main__":
    main()
