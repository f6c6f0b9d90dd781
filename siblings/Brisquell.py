"""STAND-IN for the sibling model module ``Brisquell`` -- replace it with the real module.

``Sellwyn`` imports ``Brisquell`` as a top-level module and calls three of its functions per
site. This file only has the call signatures of the real module and simple, physically sensible
made-up behaviour, so that ``Sellwyn`` can be run and tested without the real model. Its numbers
are NOT a ground-motion model: do not use them for hazard or risk work.

To use the real module, put the directory that holds it on ``sys.path`` (or ``PYTHONPATH``)
instead of this directory.
"""

import math

__all__ = ["get_mu_cy", "get_phi_cy", "get_tau_cy"]

# Intensity measures by the first argument of get_mu_cy: 0 Ia (m/s), 1 CAV (g*s), 2 PGA (g).
_BASE = {0: -1.0, 1: -0.4, 2: -1.3}
_MAGNITUDE = {0: 1.6, 1: 1.1, 2: 0.8}
_DISTANCE = {0: -1.9, 1: -1.0, 2: -1.2}
_SITE = {0: -0.9, 1: -0.6, 2: -0.5}


def get_mu_cy(IM, M, fwidth, fdip, Z_tor, Z_hyp, R_JB, R_rup, R_x, Vs30, Z2p5, A_1100, fnm, frv, region):
    """Mean of ln(IM) for one site (IM 0 Ia, 1 CAV, 2 PGA). ``A_1100`` is the rock PGA (g).

    Made-up form: rises with magnitude, falls with distance, lower on stiffer sites, and less
    amplified on soft sites when the rock motion is strong.
    """
    R = math.sqrt(R_rup * R_rup + 25.0)
    value = _BASE[IM] + _MAGNITUDE[IM] * (M - 6.0) + _DISTANCE[IM] * math.log(R / 10.0)
    value += _SITE[IM] * math.log(min(Vs30, 1500.0) / 760.0)
    if Vs30 < 400.0:
        value -= 0.2 * A_1100
    return value + 0.1 * frv - 0.05 * fnm


def get_phi_cy(M):
    """Within-event standard deviation of ln PGA."""
    return 0.6 if M <= 5.0 else 0.5


def get_tau_cy(M):
    """Between-event standard deviation of ln PGA."""
    return 0.45 if M <= 5.0 else 0.38
