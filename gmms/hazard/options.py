"""The choices of a hazard run, checked before any table is read or any model work is done.

Every problem is an ``OptionError`` that names the option as the command line spells it
(``--levels-from``); the Python keyword is the same name with underscores.
"""

import math
from dataclasses import dataclass
from typing import Optional, Tuple

import numpy as np

from gmms.errors import InputError

DEFAULT_TRUNCATION = 3.0
DEFAULT_INVESTIGATION_YEARS = 50.0
DEFAULT_RETURN_PERIODS = (475.0, 2475.0)
DEFAULT_LEVELS_N = 20
DEFAULT_M_WIDTH = 0.5
DEFAULT_R_WIDTH_KM = 10.0
DEFAULT_EPS_WIDTH = 1.0
# Without --disagg-sites, a catalogue of at most this many sites is disaggregated at every site.
FEW_SITES = 5
# The epsilon bins of an untruncated run span as many standard deviations as the default
# truncation; both ends are open bins either way.
UNTRUNCATED_EPS_SPAN = DEFAULT_TRUNCATION


class OptionError(InputError):
    """An option of a hazard run that cannot be used, named as the command line spells it.

    Raised by ``gmms.hazard.run`` before any table is read. The Python keyword is the option's
    name with underscores: ``--levels-from`` is ``levels_from``.

    Parameters
    ----------
    option : str
        The option, as the Python keyword names it (``"levels_from"``).
    reason : str
        What is wrong with its value.

    Attributes
    ----------
    option, reason
        As given.

    Examples
    --------
    >>> from gmms import hazard
    >>> try:
    ...     hazard.run("Tarvik", "scenarios.csv", "pairs.csv", levels=[1.0, 0.5], serial=True)
    ... except hazard.OptionError as error:
    ...     print(error.option, "|", error)
    levels | --levels: must be strictly increasing: 1 is followed by 0.5
    """

    def __init__(self, option, reason):
        super().__init__(option, reason)
        self.option = option
        self.reason = reason

    def __str__(self):
        return f"--{self.option.replace('_', '-')}: {self.reason}"


@dataclass(frozen=True)
class Options:
    levels: np.ndarray                  # IM levels, strictly increasing, > 0
    truncation: float                   # in standard deviations; math.inf: untruncated
    investigation_time: float           # years
    return_periods: Tuple[float, ...]   # years
    disagg_sites: Optional[Tuple[int, ...]]   # None: every site of a small catalogue
    m_width: float
    r_width_km: float
    eps_width: float

    @property
    def log_levels(self):
        return np.log(self.levels)

    @property
    def eps_edges(self):
        """Epsilon bin edges: whole widths out to the truncation, open bins beyond."""
        return epsilon_edges(self.truncation, self.eps_width)


def epsilon_edges(truncation, width):
    """Epsilon bin edges ``width`` wide out to ``truncation`` (the default truncation when
    untruncated), with an open bin at each end."""
    span = truncation if math.isfinite(truncation) else UNTRUNCATED_EPS_SPAN
    n = math.ceil(span / width - 1e-9)
    inner = [_tidy(k * width) for k in range(-n, n + 1)]
    return np.array([-math.inf, *inner, math.inf])


def _tidy(x):
    # Bin edges that are whole multiples of a width print and compare as written (6.0, not
    # 6.000000000000001), so a magnitude of 6.0 falls in the bin that starts at 6.0.
    return float(f"{x:.12g}")


def bin_edges(low, high, width):
    """Edges of bins ``width`` wide, on multiples of ``width``, covering [low, high]."""
    first = math.floor(low / width)
    last = max(math.floor(high / width) + 1, first + 1)
    return np.array([_tidy(k * width) for k in range(first, last + 1)])


def _number(option, value):
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise OptionError(option, f"{value!r} is not a number") from None
    if not math.isfinite(number):
        raise OptionError(option, f"{value!r} is not a finite number")
    return number


def _positive(option, value):
    number = _number(option, value)
    if number <= 0:
        raise OptionError(option, f"must be greater than 0, not {value!r}")
    return number


def _levels(levels, levels_from, levels_to, levels_n):
    ranged = levels_from is not None or levels_to is not None
    if levels is not None and ranged:
        raise OptionError("levels", "give either a list of levels or --levels-from and "
                                    "--levels-to, not both")
    if levels is None and not ranged:
        raise OptionError("levels", "the IM levels are needed: a list (--levels 0.01 0.1 1) "
                                    "or a log-spaced range (--levels-from, --levels-to, --levels-n)")
    if levels is None:
        if levels_from is None or levels_to is None:
            missing = "levels_to" if levels_to is None else "levels_from"
            raise OptionError(missing, "a range of levels needs both --levels-from and --levels-to")
        low = _positive("levels_from", levels_from)
        high = _positive("levels_to", levels_to)
        if high <= low:
            raise OptionError("levels_to", f"must be greater than --levels-from ({low:g}), "
                                           f"not {levels_to!r}")
        n = DEFAULT_LEVELS_N if levels_n is None else levels_n
        if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 2:
            raise OptionError("levels_n", f"must be a whole number of at least 2, not {n!r}")
        values = np.geomspace(low, high, int(n))
        if not (np.diff(values) > 0).all():
            raise OptionError("levels_n", f"{n} levels between {low:g} and {high:g} are not "
                                          "all distinct doubles")
        return values
    if levels_n is not None:
        raise OptionError("levels_n", "goes with --levels-from and --levels-to, not --levels")
    values = np.array([_positive("levels", value) for value in np.atleast_1d(levels)],
                      dtype=np.float64) if np.size(levels) else np.zeros(0)
    if len(values) == 0:
        raise OptionError("levels", "no levels given")
    step = np.flatnonzero(np.diff(values) <= 0)
    if len(step):
        i = int(step[0])
        raise OptionError("levels", f"must be strictly increasing: {values[i]:g} is followed "
                                    f"by {values[i + 1]:g}")
    return values


def _truncation(truncation):
    if truncation is None or (isinstance(truncation, str) and truncation.lower() == "none"):
        return math.inf
    try:
        number = float(truncation)
    except (TypeError, ValueError):
        raise OptionError("truncation", f"{truncation!r} is neither a number nor 'none'") \
            from None
    if math.isnan(number) or number <= 0:
        raise OptionError("truncation", f"must be greater than 0 standard deviations (or "
                                        f"'none'), not {truncation!r}")
    return number


def _return_periods(return_periods):
    values = tuple(_positive("return_periods", value) for value in np.atleast_1d(return_periods))
    if not values:
        raise OptionError("return_periods", "no return periods given")
    repeated = sorted({v for v in values if values.count(v) > 1})
    if repeated:
        raise OptionError("return_periods", f"{repeated[0]:g} is given twice")
    return values


def _sites(disagg_sites):
    if disagg_sites is None:
        return None
    ids = []
    for value in np.atleast_1d(disagg_sites):
        text = str(value).strip()
        try:
            ids.append(int(text))
        except ValueError:
            raise OptionError("disagg_sites", f"{value!r} is not a site_id (an integer)") \
                from None
    return tuple(dict.fromkeys(ids))


def options(levels=None, *, levels_from=None, levels_to=None, levels_n=None,
            truncation=DEFAULT_TRUNCATION, investigation_time=DEFAULT_INVESTIGATION_YEARS,
            return_periods=DEFAULT_RETURN_PERIODS, disagg_sites=None,
            disagg_m_width=DEFAULT_M_WIDTH, disagg_r_width=DEFAULT_R_WIDTH_KM,
            disagg_eps_width=DEFAULT_EPS_WIDTH):
    """Checked ``Options``, or ``OptionError`` naming the first option that cannot be used."""
    return Options(
        levels=_levels(levels, levels_from, levels_to, levels_n),
        truncation=_truncation(truncation),
        investigation_time=_positive("investigation_time", investigation_time),
        return_periods=_return_periods(return_periods),
        disagg_sites=_sites(disagg_sites),
        m_width=_positive("disagg_m_width", disagg_m_width),
        r_width_km=_positive("disagg_r_width", disagg_r_width),
        eps_width=_positive("disagg_eps_width", disagg_eps_width),
    )
