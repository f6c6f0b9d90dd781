"""The ground-motion model of the PEER verification cases (tests/data/peer, tests/test_peer.py),
as a model of one's own that the cases' job files name (``peer_models:sadigh``).

Sadigh et al. (1997), rock, PGA in g:
ln y = C1 + C2 M + C3 (8.5 - M)^2.5 + C4 ln(Rrup + exp(C5 + C6 M)) + C7 ln(Rrup + 2),
times 1.2 for reverse faulting (rake 45 to 135 degrees); sigma of ln y 1.39 - 0.14 M below
M 7.21, 0.38 from there. Cases 1 to 7 take sigma = 0 (``sadigh_median``): each rupture
exceeds a level or does not."""

import functools
import math

import numpy as np

# C1 .. C7 for M <= 6.5 and for M > 6.5.
_LOW = (-0.624, 1.0, 0.0, -2.100, 1.29649, 0.250, 0.0)
_HIGH = (-1.274, 1.1, 0.0, -2.100, -0.48451, 0.524, 0.0)
_REVERSE = math.log(1.2)


@functools.lru_cache(maxsize=None)
def _terms(M, rake):
    """The terms of a rupture that do not depend on the distance (area sources make many
    ruptures of each magnitude): the constant, C4, exp(C5 + C6 M) and C7."""
    c1, c2, c3, c4, c5, c6, c7 = _LOW if M <= 6.5 else _HIGH
    constant = c1 + c2 * M + c3 * (8.5 - M) ** 2.5 + (_REVERSE if 45.0 <= rake <= 135.0 else 0.0)
    return constant, c4, math.exp(c5 + c6 * M), c7


def _ln_pga(M, rake, R_rup):
    constant, c4, near, c7 = _terms(M, rake)
    ln_y = constant + c4 * np.log(R_rup + near)
    return ln_y + c7 * np.log(R_rup + 2.0) if c7 else ln_y


def sadigh(M, rake, R_rup):
    """Mean ln PGA and its sigma (as phi; tau 0)."""
    sigma = 1.39 - 0.14 * M if M < 7.21 else 0.38
    return _ln_pga(M, rake, R_rup), np.full(len(R_rup), sigma), np.zeros(len(R_rup))


def sadigh_median(M, rake, R_rup):
    """The same with sigma 0."""
    zero = np.zeros(len(R_rup))
    return _ln_pga(M, rake, R_rup), zero, zero


sadigh.IM = sadigh_median.IM = "PGA"
