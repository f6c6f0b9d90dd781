"""The hazard's own checks of a pair table, made while the table is checked (its ``check``
hook): the annual rates, one IM, the sites and their total rates, the sites to disaggregate, the
return periods."""

import numpy as np

from . import options as opts

RATE = "annual_rate"


class SiteCheck:
    """Sees the scenario table once read and every chunk of the pair table as it is checked."""

    def __init__(self, choice):
        self.choice = choice
        self.site_id = np.zeros(0, np.int64)
        self.total_rate = np.zeros(0)
        self._rates = None

    def scenarios(self, table):
        rates = table.values[RATE]
        bad = ~np.isfinite(rates) | (rates < 0)
        if bad.any():
            row = int(np.flatnonzero(bad)[0])
            raise table.source.error(row, RATE, f"{rates[row]!r} is not an annual rate "
                                                "(a finite number, at least 0)")
        ims = table.values.get("IM")
        if ims is not None and len(ims):
            other = np.flatnonzero(ims != ims[0])
            if len(other):
                row = int(other[0])
                raise table.source.error(row, "IM", f"IM {ims[row]}, while {table.source.where(0)} "
                                                    f"has IM {ims[0]}: a hazard curve is for one IM")
        self._rates = rates

    def pairs(self, first_row, columns, codes):
        site_id = columns["site_id"]
        rates = self._rates[codes]
        # Most sites come back scenario after scenario: look them up among those already seen
        # (cheaper than sorting every chunk), and sort only the new ones in.
        at = np.searchsorted(self.site_id, site_id)
        seen = at < len(self.site_id)
        seen[seen] = self.site_id[at[seen]] == site_id[seen]
        self.total_rate += np.bincount(at[seen], weights=rates[seen],
                                       minlength=len(self.site_id))
        if not seen.all():
            new, inverse = np.unique(site_id[~seen], return_inverse=True)
            totals = np.bincount(inverse, weights=rates[~seen], minlength=len(new))
            merged, back = np.unique(np.concatenate((self.site_id, new)), return_inverse=True)
            self.total_rate = np.bincount(
                back, weights=np.concatenate((self.total_rate, totals)), minlength=len(merged))
            self.site_id = merged

    def finish(self, pairs_label):
        """The sites to disaggregate (sorted), once every pair has been seen."""
        choice = self.choice
        if choice.disagg_sites is None:
            disagg = self.site_id if len(self.site_id) <= opts.FEW_SITES else self.site_id[:0]
        else:
            disagg = np.array(sorted(choice.disagg_sites), dtype=np.int64)
            missing = disagg[~np.isin(disagg, self.site_id)]
            if len(missing):
                raise opts.OptionError("disagg_sites", f"site {missing[0]} is not in "
                                                       f"{pairs_label}")
        most = float(self.total_rate.max()) if len(self.total_rate) else 0.0
        for period in choice.return_periods:
            if 1.0 / period > most:
                raise opts.OptionError(
                    "return_periods",
                    f"no curve reaches {period:g} years: the scenarios of the busiest site add "
                    f"up to {most:.6g} per year, less than 1/{period:g}")
        return disagg
