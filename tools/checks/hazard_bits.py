"""The digest of what one build of gmms._hazard computes on a fixed set of inputs, for
tools/checks/70-hazard-compilers.sh, which compares builds by compiler and options.

    /usr/bin/python3 tools/checks/hazard_bits.py PATH/_hazard.cpython-311-x86_64-linux-gnu.so

The inputs: a catalogue of pairs (means, sigmas, rates over the whole range down to the grid's
last bit and below it, steps), levels that put some pairs right at and next to their
truncation, many pairs on one row (so that the binned sums are carried during the call), both
truncation rules and none; and the tail itself over a dense grid from -40 to 40. Printed: one
SHA-256 over every accumulator's bytes and every tail value, and one per part.
"""

import hashlib
import importlib.machinery
import importlib.util
import math
import sys

import numpy as np


def load(path):
    loader = importlib.machinery.ExtensionFileLoader("_hazard", path)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("_hazard", loader))
    loader.exec_module(module)
    return module


def inputs(n_rows=40, n_pairs=20_000, seed=70):
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, n_rows, n_pairs)
    rows[: n_pairs // 4] = 0  # one busy row: carried more than once
    mu = rng.normal(np.log(0.1), 1.5, n_pairs)
    sigma = rng.uniform(0.3, 0.9, n_pairs)
    sigma[rng.random(n_pairs) < 0.02] = 0.0
    rate = np.exp(rng.uniform(np.log(1e-70), np.log(1e2), n_pairs))
    rate[:8] = [2.0**-192, 3 * 2.0**-193, 2.0**-193, 2.0**-1074, 1e-300, 2.0**50, 0.0, 1e-60]
    log_levels = np.log(np.geomspace(1e-4, 30.0, 45))
    # Levels at the truncation of some pairs, and a double away on either side.
    at = rng.integers(0, len(log_levels), n_pairs)
    for part, n in enumerate((2.0, 3.0)):
        for step, sign in ((0, 1.0), (1, -1.0)):
            chosen = slice(8 + 150 * (2 * part + step), 8 + 150 * (2 * part + step + 1))
            mu[chosen] = log_levels[at[chosen]] - sign * n * sigma[chosen]
            mu[chosen][::3] = np.nextafter(mu[chosen][::3], np.inf)
            mu[chosen][1::3] = np.nextafter(mu[chosen][1::3], -np.inf)
    return rows, mu, sigma, rate, log_levels, n_rows


def main():
    hz = load(sys.argv[1])
    rows, mu, sigma, rate, log_levels, n_rows = inputs()
    parts = {}
    for tails in ("both", "upper"):
        for truncation in (2.0, 3.0, math.inf):
            acc = hz.zeros((n_rows, len(log_levels)))
            hz.exceedance(acc, rows, mu, sigma, rate, log_levels, truncation, tails=tails)
            cells, moments = hz.zeros((n_rows, 3, 4)), hz.zeros((n_rows, hz.N_MOMENTS))
            row_levels = log_levels[np.arange(n_rows) % len(log_levels)]
            hz.disaggregate(cells, moments, rows, rows % 3, mu, sigma, rate, mu * 0 + 6.0, sigma * 100.0,
                            row_levels, truncation, np.array([-2.0, -1.0, 0.0, 1.0, 2.0]), tails=tails)
            parts[f"exceedance {tails} {truncation:g}"] = acc.tobytes()
            parts[f"disaggregate {tails} {truncation:g}"] = cells.tobytes() + moments.tobytes()
    parts["tail"] = hz.tail(np.linspace(-40.0, 40.0, 400_001), math.inf).tobytes()
    whole = hashlib.sha256()
    for name, data in parts.items():
        whole.update(data)
        print(f"  {name:24} {hashlib.sha256(data).hexdigest()[:16]}")
    print(f"all {whole.hexdigest()}")


if __name__ == "__main__":
    main()
