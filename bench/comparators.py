"""What the library is measured against: the same models written the way a Python user would.

- ``tarvik_numpy``: Tarvik's mean vectorised with numpy over the sites, in the library's order of
  evaluation, with the backarc test done by shapely on every call.
- ``morrand_loop`` and ``sellwyn_loop``: plain Python loops over the sites that make the same
  sibling calls, in the same order and with the same arguments, and do the same arithmetic.
  They read the sites from lists (``tolist()`` once per call) and collect the results in lists,
  which is the fastest way to write such a loop in plain Python.
- ``constant_siblings()``: sibling modules whose functions only return a constant, so that a
  benchmark run with them shows the cost of the calling code rather than of the sibling's model.

Each comparator gives the same numbers as the library (``run.py`` checks this), so the
benchmark compares like with like. Squares are written as products: that is exactly what a power
with exponent 2 is, whereas Python's float ``**`` goes through the C library's ``pow``, which
is not always correctly rounded.
"""

import math
import types

import numpy as np
from shapely.geometry import Point, Polygon

from gmms.models import REFERENCE_ROCK_VS30_MPS, REFERENCE_ROCK_Z2P5_KM

# ---------------------------------------------------------------------------------------------
# Tarvik with numpy and shapely

# c0, c1, c2, c3, h, c4, c5, c6, c7, c8, c9, c10, c11, phi, tau
TARVIK_COEFFICIENTS = {
    0: (3.056224, 2.639315, -2.352244, -0.080591, 12.682338, 0.009653, -0.001436, -0.006374,
        1.869827, 1.639023, 1.856785, 0.573052, -1.030608, 1.035, 0.9015),
    1: (2.643261, 1.60688, -0.754765, -0.072283, 12.626135, 0.003811, -0.00059, -0.002767,
        0.877694, 0.822831, 0.918286, 0.286527, -0.65776, 0.49, 0.4114),
}

BACKARC_LON = [
    147.0777923, 150.1155649, 153.715191, 149.8283212, 114.0231292, 121.3748207, 125.7824353,
    127.1678612, 129.7868373, 129.8424854, 130.5254764, 130.9213526, 130.9667855, 131.5974992,
    131.7631234, 132.0491377, 137.2849268, 138.1554838, 138.3532866, 138.9145833, 139.5017784,
    139.7139014, 139.9509957, 140.3328265, 140.4766196, 140.8062929, 140.8994366, 140.9138458,
    140.9319158, 141.0155034, 141.0471475, 141.0655764, 141.164649, 141.1113146, 141.2269001,
    141.4874362, 141.7938255, 142.097868, 142.3806856, 142.7870678, 143.0922912, 143.5186725,
    143.9243411, 144.1509098, 144.3736708, 145.2255306, 145.8458331, 146.5058656, 147.0804238,
    147.0777923]
BACKARC_LAT = [
    44.54928084, 45.94757299, 48.41645565, 50.1970842, 44.06079242, 26.99925918, 26.15702014,
    27.20073396, 29.87585092, 29.9897597, 30.96859286, 31.977676, 32.7566247, 33.26338696,
    33.40597398, 34.64826527, 35.90546185, 36.30798631, 36.4376539, 36.45663279, 36.58422099,
    36.7567189, 37.0497487, 37.53364026, 37.91648909, 38.74967624, 39.03135054, 39.20718386,
    39.29564995, 39.56379066, 39.89703578, 40.37143077, 40.59907844, 40.73468826, 41.45114975,
    43.03663806, 43.02558574, 43.0232214, 43.10818802, 43.13640394, 43.18293361, 43.24243307,
    43.33814962, 43.37320904, 43.49759091, 43.73033601, 43.93993635, 44.25417222, 44.55763457,
    44.54928084]


def arc_location(hypo_lat, hypo_lon):
    """(ffore, fback): (0, 1) when the hypocentre lies strictly inside the backarc polygon."""
    lon = np.array(BACKARC_LON)
    lat = np.array(BACKARC_LAT)
    polygon = Polygon(list(zip(lon, lat)))
    if polygon.contains(Point(hypo_lon, hypo_lat)):
        return 0, 1
    return 1, 0


def tarvik_numpy(IM, M, hypo_lat, hypo_lon, hypo_depth, R_rup, Vs30, fins, fint, fnm, frv):
    c0, c1, c2, c3, h, c4, c5, c6, c7, c8, c9, c10, c11, phi, tau = TARVIK_COEFFICIENTS[IM]
    ffore, fback = arc_location(hypo_lat, hypo_lon)
    L = np.log(np.sqrt(h * h + R_rup * R_rup))
    S = L * (c3 * M + c2) + ((M - 5.0) * c1 + c0)
    D = max(hypo_depth - 30.0, 0.0)
    S = S + (D * c4 + (fback * c6 + ffore * c5) * R_rup)
    S = S + (((fint * c8 + fins * c7) + frv * c10) + fnm * c9)
    mean = np.log(Vs30 / 1100.0) * c11 + S
    n = len(R_rup)
    return mean, np.full(n, phi), np.full(n, tau)


# ---------------------------------------------------------------------------------------------
# Sibling modules that return constants

def constant_siblings():
    """(Dovecar, Brisquell) stand-ins whose functions take the real arguments and return constants."""
    dovecar = types.ModuleType("Dovecar", "Sibling returning constants, for benchmarks.")

    def get_mu_cy(selector, M, fdip, fZtor, R_JB, R_rup, R_x, Vs30, Z2p5, fnm, frv):
        return -1.5

    def get_alpha_cy(Vs30, A_1100):
        return -0.1

    dovecar.get_mu_cy = get_mu_cy
    dovecar.get_alpha_cy = get_alpha_cy

    brisquell = types.ModuleType("Brisquell", "Sibling returning constants, for benchmarks.")

    def get_mu_cy(IM, M, fwidth, fdip, Z_tor, Z_hyp, R_JB, R_rup, R_x, Vs30, Z2p5, A_1100, fnm, frv,
                  region):
        return -2.0

    def get_phi_cy(M):
        return 0.5

    def get_tau_cy(M):
        return 0.4

    brisquell.get_mu_cy = get_mu_cy
    brisquell.get_phi_cy = get_phi_cy
    brisquell.get_tau_cy = get_tau_cy
    return dovecar, brisquell


# The sibling modules the loops below call, looked up at every use as the library does.
# ``use(dovecar, brisquell)`` binds them.
Dovecar = None
Brisquell = None


def use(dovecar, brisquell):
    global Dovecar, Brisquell
    Dovecar, Brisquell = dovecar, brisquell


# ---------------------------------------------------------------------------------------------
# Morrand as a plain Python loop

def morrand_loop(M, fdip, fZtor, R_JB, R_rup, R_x, Vs30, Z1p0, Z2p5, fnm, frv, CAVgmType, PSVcheck):
    M, fdip, fZtor = float(M), float(fdip), float(fZtor)
    R_JB, R_rup, R_x, Vs30, Z2p5 = R_JB.tolist(), R_rup.tolist(), R_x.tolist(), Vs30.tolist(), Z2p5.tolist()
    if CAVgmType not in (0, 1):
        raise TypeError("must be real number, not NoneType")
    checked = PSVcheck == 1
    c0, c1, cM, cR = (0.0072, 1.115, -0.067, -0.0033) if checked else (0.0152, 1.105, -0.044, -0.00369)
    H = 1.0 if M >= 6.5 else 0.0
    s_a = math.sqrt(0.478 * 0.478 - 0.3 * 0.3)
    s_b = math.sqrt(0.371 * 0.371 - 0.3 * 0.3)
    w = 0.0
    s = 0.439 if checked else 0.43
    t = 0.247 if checked else 0.245
    exp, sqrt = math.exp, math.sqrt
    mean, phi, tau = [], [], []
    for i in range(len(R_JB)):
        y0 = Dovecar.get_mu_cy(0, M, fdip, fZtor, R_JB[i], R_rup[i], R_x[i], 1100.0, Z2p5[i], fnm, frv)
        A_1100 = exp(y0)
        alpha = float(Dovecar.get_alpha_cy(Vs30[i], A_1100))
        y = Dovecar.get_mu_cy(1, M, fdip, fZtor, R_JB[i], R_rup[i], R_x[i], Vs30[i], Z2p5[i], fnm, frv)
        mean.append((((M - 6.5) * cM) * H + (y * c1 + c0)) + R_rup[i] * cR)
        if CAVgmType == 0:
            phi.append(0.147 if checked else 0.131)
            tau.append(0.115)
        else:
            V = (0.3 * 0.3 + s_b * s_b) + s_a * s_a * (alpha * alpha) + 2.0 * alpha * 0.735 * s_b * s_a
            phi.append(sqrt(w * w * V + s * s))
            tau.append(sqrt(0.196 * 0.196 * (w * w) + t * t))
    return np.array(mean, dtype=float), np.array(phi, dtype=float), np.array(tau, dtype=float)


# ---------------------------------------------------------------------------------------------
# Sellwyn as a plain Python loop

# phi_1, phi_2, tau_1, tau_2, rho_1, rho_2, phi_af, k2
SELLWYN_COEFFICIENTS = {
    0: (1.174, 0.809, 0.614, 0.435, 0.948, 0.911, 0.616, -1.982),
    1: (0.514, 0.394, 0.276, 0.257, 0.842, 0.78, 0.3, -1.311),
}


def _taper(p, q, M):
    if M <= 4.5:
        return p
    if M <= 5.5:
        return (p - q) * (5.5 - M) + q
    return q


def sellwyn_loop(IM, M, fwidth, fdip, Z_tor, Z_hyp, R_JB, R_rup, R_x, Vs30, Z2p5, fnm, frv, region):
    M, fwidth, fdip, Z_tor, Z_hyp = float(M), float(fwidth), float(fdip), float(Z_tor), float(Z_hyp)
    R_JB, R_rup, R_x, Vs30, Z2p5 = R_JB.tolist(), R_rup.tolist(), R_x.tolist(), Vs30.tolist(), Z2p5.tolist()
    phi_1, phi_2, tau_1, tau_2, rho_1, rho_2, phi_af, k2 = SELLWYN_COEFFICIENTS[IM]  # IM 0 or 1
    Vs30_R, Z2p5_R = REFERENCE_ROCK_VS30_MPS, REFERENCE_ROCK_Z2P5_KM
    phi_m = _taper(phi_1, phi_2, M)
    tau_m = _taper(tau_1, tau_2, M)
    rho = _taper(rho_1, rho_2, M)
    phi_b = math.sqrt(phi_m * phi_m - phi_af * phi_af)
    exp, sqrt = math.exp, math.sqrt
    mean, phi, tau = [], [], []
    for i in range(len(R_JB)):
        mu_pga = Brisquell.get_mu_cy(2, M, fwidth, fdip, Z_tor, Z_hyp, R_JB[i], R_rup[i], R_x[i], Vs30_R,
                                     Z2p5_R, 0.0, fnm, frv, region)
        A_1100 = exp(mu_pga)
        mean.append(float(Brisquell.get_mu_cy(IM, M, fwidth, fdip, Z_tor, Z_hyp, R_JB[i], R_rup[i], R_x[i],
                                              Vs30[i], Z2p5[i], A_1100, fnm, frv, region)))
        v = Vs30[i]
        if v < 400.0:
            alpha = (1.0 / (A_1100 + 1.88 * (v / 400.0) ** 1.18) - 1.0 / (A_1100 + 1.88)) * (k2 * A_1100)
        else:
            alpha = 0.0
        phi_pga = float(Brisquell.get_phi_cy(M))
        phi.append(sqrt(phi_b * phi_b + phi_af * phi_af + (alpha * alpha) * (phi_pga * phi_pga)
                        + 2.0 * alpha * rho * phi_b * phi_pga))
        tau_pga = float(Brisquell.get_tau_cy(M))
        tau.append(sqrt(tau_m * tau_m + (alpha * alpha) * (tau_pga * tau_pga)
                        + 2.0 * alpha * rho * tau_m * tau_pga))
    return np.array(mean, dtype=float), np.array(phi, dtype=float), np.array(tau, dtype=float)
