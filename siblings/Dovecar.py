"""STAND-IN for the sibling model module ``Dovecar`` -- replace it with the real module.

``Morrand`` imports ``Dovecar`` as a top-level module and calls two of its functions per site.
This file only has the call signatures of the real module and simple, physically sensible
made-up behaviour, so that ``Morrand`` can be run and tested without the real model. Its numbers
are NOT a ground-motion model: do not use them for hazard or risk work.

To use the real module, put the directory that holds it on ``sys.path`` (or ``PYTHONPATH``)
instead of this directory.
"""

import math

__all__ = ["get_mu_cy", "get_alpha_cy"]


def get_mu_cy(selector, M, fdip, fZtor, R_JB, R_rup, R_x, Vs30, Z2p5, fnm, frv):
    """Mean of ln(IM) for one site: selector 0 gives ln PGA (g), selector 1 ln CAV (g*s).

    Made-up form: rises with magnitude, falls with distance, lower on stiffer sites.
    """
    R = math.sqrt(R_rup * R_rup + 36.0)
    site = -0.5 * math.log(Vs30 / 760.0)
    style = 0.1 * frv - 0.05 * fnm
    if selector == 0:
        return -1.2 + 0.9 * (M - 6.0) - 1.1 * math.log(R / 10.0) + site + style
    return -0.6 + 1.1 * (M - 6.0) - 0.9 * math.log(R / 10.0) + site + style


def get_alpha_cy(Vs30, A_1100):
    """Nonlinear site factor: small and negative on soft sites (Vs30 below 400 m/s), else 0."""
    if Vs30 >= 400.0:
        return 0.0
    return -0.3 * (1.0 - Vs30 / 400.0) * A_1100 / (A_1100 + 0.1)
