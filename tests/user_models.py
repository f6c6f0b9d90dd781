"""Ground-motion models of a user's own, as the tests give them to gmms by name
(``user_models:sadigh_rock_pga``): the PEER verification cases' model, and broken ones."""

import math

import numpy as np

# Sadigh et al. (1997), rock, PGA in g, for M <= 6.5 and M > 6.5: C1 .. C7.
_SADIGH = {"low": (-0.624, 1.0, 0.0, -2.100, 1.29649, 0.250, 0.0),
           "high": (-1.274, 1.1, 0.0, -2.100, -0.48451, 0.524, 0.0)}
_REVERSE = math.log(1.2)


def sadigh_median(M, rake, R_rup):
    c1, c2, c3, c4, c5, c6, c7 = _SADIGH["low" if M <= 6.5 else "high"]
    ln_y = (c1 + c2 * M + c3 * (8.5 - M) ** 2.5 + c4 * np.log(R_rup + math.exp(c5 + c6 * M))
            + c7 * np.log(R_rup + 2.0))
    if 45.0 <= rake <= 135.0:
        ln_y = ln_y + _REVERSE
    return ln_y


def sadigh_rock_pga(M, rake, R_rup):
    """Sadigh et al. (1997), rock PGA, with its sigma of ln PGA (as phi; tau 0)."""
    sigma = 1.39 - 0.14 * M if M < 7.21 else 0.38
    return sadigh_median(M, rake, R_rup), np.full(len(R_rup), sigma), np.zeros(len(R_rup))


def sadigh_rock_pga_median(M, rake, R_rup):
    """The same with sigma 0: each rupture exceeds a level or does not."""
    zero = np.zeros(len(R_rup))
    return sadigh_median(M, rake, R_rup), zero, zero


sadigh_rock_pga.IM = sadigh_rock_pga_median.IM = "PGA"


def unknown_input(M, R_rup, depth_to_moho):
    return R_rup, R_rup, R_rup


def scalar_result(M, R_rup):
    return 0.0, 0.5, 0.5


def no_sites(M, rake):
    return 0.0, 0.5, 0.5


def raises(M, R_rup):
    raise ValueError("not today")


def short_on_one(M, R_rup):
    """Right on the trial call, wrong on a later one (one value short for M > 7)."""
    n = len(R_rup) - (1 if M >= 7 else 0)
    return np.zeros(n), np.full(n, 0.5), np.full(n, 0.5)


unknown_input.IM = scalar_result.IM = no_sites.IM = raises.IM = short_on_one.IM = "PGA"


def no_im(M, R_rup):
    return np.zeros(len(R_rup)), np.zeros(len(R_rup)), np.zeros(len(R_rup))


def cav_like(M, rake, dip, Z_tor, R_rup, R_JB, R_x, Vs30, Z1p0):
    """A made-up model of CAV on every kind of input, to test the inputs and the logic tree."""
    ln = (-1.0 + 0.9 * (M - 6.0) - 1.1 * np.log(np.hypot(R_rup, 6.0)) - 0.002 * R_JB
          + 0.001 * np.maximum(R_x, 0.0) - 0.3 * np.log(Vs30 / 760.0) + 0.05 * Z1p0
          + (0.1 if 30.0 < rake < 150.0 else 0.0) + 0.001 * (90.0 - dip) + 0.01 * Z_tor)
    return ln, np.full(len(R_rup), 0.5), np.full(len(R_rup), 0.3)


cav_like.IM = "CAV"
