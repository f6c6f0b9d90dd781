"""gmms._hazard: the exceedance and disaggregation kernels and their exact accumulator.

Oracles: mpmath's erfc (correctly rounded through fractions.Fraction) for the normal tail, scipy's
normal tail and truncated normal for the curves, Python's integers and fractions.Fraction for the
fixed-point values, their rounding and the exact sums, and the curves themselves for the
disaggregation totals.
"""

import math
import sys
from fractions import Fraction

import mpmath
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from scipy.special import ndtr
from scipy.stats import norm, truncnorm

from conftest import ROOT
from gmms import _hazard as hz

sys.path.insert(0, str(ROOT / "bench"))
from hazard_kernel import catalogue, scipy_exceedance  # noqa: E402

BITS = 64 * hz.LIMBS
SCALE = 2 ** -hz.LSB_EXPONENT


def limbs(value):
    """The accumulator cell holding the integer `value` (units of the lowest bit)."""
    assert -(2 ** (BITS - 1)) <= value < 2 ** (BITS - 1)
    raw = value % 2**BITS
    return np.array([(raw >> (64 * k)) & (2**64 - 1) for k in range(hz.LIMBS)], dtype=np.uint64).view(np.int64)


def value(cell):
    raw = sum(int(limb) << (64 * k) for k, limb in enumerate(np.asarray(cell).view(np.uint64)))
    return raw - 2**BITS if raw >> (BITS - 1) else raw


def on_grid(x):
    """x on the accumulator's grid, truncated toward zero."""
    return int(Fraction(x) * SCALE)


def one_pair(mu, sigma, rate, log_levels, truncation, tails="both"):
    acc = hz.zeros((1, len(log_levels)))
    hz.exceedance(acc, np.zeros(1, np.int64), np.array([mu]), np.array([sigma]), np.array([rate]),
                  np.asarray(log_levels, float), truncation, tails=tails)
    return acc[0]


# ---------------------------------------------------------------------------------------------
# Curves


@pytest.mark.parametrize("mu, sigma, rate, truncation", [
    (np.log(0.1), 0.6, 1e-3, 3.0), (0.0, 1.0, 0.5, 2.0), (-4.0, 0.3, 7.0, 5.0),
    (np.log(0.1), 0.6, 1e-3, math.inf), (2.0, 1.7, 1e-6, math.inf),
])
def test_single_pair_against_closed_form(mu, sigma, rate, truncation):
    log_levels = mu + sigma * np.linspace(-8.0, 12.0, 201)
    got = hz.to_double(one_pair(mu, sigma, rate, log_levels, truncation))
    z = (log_levels - mu) / sigma
    if math.isfinite(truncation):
        tail = (norm.sf(z) - norm.sf(truncation)) / (1.0 - 2.0 * norm.sf(truncation))
        expected = rate * np.where(z <= -truncation, 1.0, np.where(z >= truncation, 0.0, tail))
    else:
        expected = rate * norm.sf(z)
    # Near the truncation both sides lose digits to Q(z) - Q(T); the tail's own digits elsewhere.
    checked = expected > max(1e-6 * rate, 1e-40)
    np.testing.assert_allclose(got[checked], expected[checked], rtol=1e-12, atol=0)
    assert np.all(got[expected == 0] == 0)
    assert np.all(got[z <= -truncation] == rate)


@pytest.mark.parametrize("case, mu, sigma, rate, log_levels, truncation, expected", [
    ("at -T exactly the rate", 0.0, 1.0, 0.3, [-2.0], 2.0, [0.3]),
    ("at +T nothing", 0.0, 1.0, 0.3, [2.0], 2.0, [0.0]),
    ("just inside +T a little", 0.0, 1.0, 0.3, [2.0 - 1e-9], 2.0, None),
    ("a step: the rate below the mean only", 1.0, 0.0, 0.3, [0.5, 1.0, 1.5], 3.0, [0.3, 0.0, 0.0]),
    ("untruncated far below", 0.0, 1.0, 0.3, [-50.0, -40.0], math.inf, [0.3, 0.3]),
    ("untruncated far above", 0.0, 1.0, 0.3, [39.0, 50.0], math.inf, [0.0, 0.0]),
    ("rate 0 adds nothing", 0.0, 1.0, 0.0, [-5.0, 0.0], 3.0, [0.0, 0.0]),
    ("a rate below the lowest bit is dropped", 0.0, 1.0, 1e-60, [-5.0], 3.0, [0.0]),
    ("the lowest bit is kept", 0.0, 1.0, 2.0**-192, [-5.0], 3.0, [2.0**-192]),
])
def test_truncation_edges(case, mu, sigma, rate, log_levels, truncation, expected):
    got = hz.to_double(one_pair(mu, sigma, rate, log_levels, truncation))
    if expected is None:
        assert 0 < got[0] < 1e-9 * rate
    else:
        assert got.tolist() == expected


def test_huge_truncation_is_untruncated_bit_for_bit():
    log_levels = np.linspace(-45.0, 45.0, 181)
    assert np.array_equal(one_pair(0.0, 1.0, 0.25, log_levels, 1e6), one_pair(0.0, 1.0, 0.25, log_levels, math.inf))


@pytest.mark.parametrize("truncation", [3.0, math.inf])
def test_catalogue_against_scipy(truncation):
    rows, mu, sigma, rate, log_levels = catalogue(3000, 40, np.random.default_rng(5))
    acc = hz.zeros((40, len(log_levels)))
    hz.exceedance(acc, rows, mu, sigma, rate, log_levels, truncation)
    expected = scipy_exceedance(rows, mu, sigma, rate, log_levels, truncation, 40)
    checked = expected > 1e-9 * expected.max()
    np.testing.assert_allclose(hz.to_double(acc)[checked], expected[checked], rtol=1e-12, atol=0)


# ---------------------------------------------------------------------------------------------
# The normal tail


def correctly_rounded_q(z):
    """Q(z) = erfc(z / sqrt 2) / 2 of the exact z, rounded to the nearest double (ties to even;
    Fraction's float() rounds correctly, subnormals included)."""
    with mpmath.workdps(40):
        q = mpmath.erfc(mpmath.mpf(z) / mpmath.sqrt(2)) / 2
        if q == 0:
            return 0.0
        mantissa, exponent = mpmath.frexp(q)
        return float(Fraction(int(mpmath.ldexp(mantissa, 120))) * Fraction(2) ** (int(exponent) - 120))


def tail_points():
    """A dense grid from -40 to 40, random points, and points on each side of the table's row
    boundaries (|z| + 1/4 = 2^j (1 + q/32)) and of the sign."""
    rng = np.random.default_rng(22)
    edges = np.array([2.0**j * (1 + q / 32) - 0.25 for j in range(-2, 6) for q in range(32)])
    edges = edges[edges <= 40]
    near = np.concatenate([np.nextafter(edges, -np.inf), edges, np.nextafter(edges, np.inf)])
    return np.concatenate([np.linspace(-40.0, 40.0, 16001), rng.uniform(-40.0, 40.0, 4000),
                           rng.normal(0.0, 3.0, 4000), near, -near, [0.0, -0.0, 5e-324, -5e-324]])


def test_tail_within_one_ulp_of_the_correctly_rounded_tail():
    z = tail_points()
    got = hz.tail(z, math.inf)
    expected = np.array([correctly_rounded_q(x) for x in z])
    # Both non-negative: the difference of the bit patterns counts the doubles between them.
    ulps = np.abs(got.view(np.int64) - expected.view(np.int64))
    assert ulps.max() <= 1, (z[ulps.argmax()], got[ulps.argmax()], expected[ulps.argmax()])


def test_tail_against_scipy_ndtr():
    # scipy rounds z / sqrt 2 before its erfc, which costs it relative accuracy in the far tail,
    # and its results turn 0 among the subnormals.
    z = np.linspace(-37.0, 37.0, 74001)
    got, expected = hz.tail(z, math.inf), ndtr(-z)
    for reach, rtol in ((5.0, 1e-14), (37.0, 5e-13)):
        inside = np.abs(z) <= reach
        np.testing.assert_allclose(got[inside], expected[inside], rtol=rtol, atol=0)


@pytest.mark.parametrize("tails", ["both", "upper"])
def test_tail_ends_are_exact(tails):
    z = np.array([-np.inf, -40.0, -9.0, np.nan, 38.5, 40.0, np.inf])
    got = hz.tail(z, math.inf, tails=tails)
    assert got[:3].tolist() == [1.0, 1.0, 1.0] and math.isnan(got[3]) and got[4:].tolist() == [0.0] * 3
    # Q rounds to 1 from -9 down, as the kernels' cut there assumes.
    assert np.all(hz.tail(np.linspace(-40.0, -9.0, 10001), math.inf, tails=tails) == 1.0)


def test_tail_keeps_the_shape_and_reads_any_strides():
    z = np.linspace(-3.0, 3.0, 24).reshape(2, 3, 4)
    got = hz.tail(z[:, ::2, ::-1], 3.0)
    assert got.shape == (2, 2, 4)
    np.testing.assert_array_equal(got, hz.tail(np.ascontiguousarray(z[:, ::2, ::-1]).ravel(), 3.0).reshape(2, 2, 4))


# ---------------------------------------------------------------------------------------------
# Truncation: both tails, or the upper one only


def truncated_sf(z, truncation, tails):
    """scipy's truncated normal: P(Z > z | -n < Z < n), or P(Z > z | Z < n) for the upper tail."""
    lower = -truncation if tails == "both" else -np.inf
    return truncnorm.sf(z, lower, truncation)


@pytest.mark.parametrize("tails", ["both", "upper"])
@pytest.mark.parametrize("truncation", [0.5, 2.0, 3.0, 8.5, math.inf])
def test_tail_rules_against_scipy(tails, truncation):
    z = np.concatenate([np.linspace(-12.0, 12.0, 2401), [-truncation, truncation]])
    z = z[np.isfinite(z)]
    got, expected = hz.tail(z, truncation, tails=tails), truncated_sf(z, truncation, tails)
    # Near the truncation both lose digits to Q(z) - Q(n); elsewhere the tail's own digits.
    checked = expected > 1e-6
    np.testing.assert_allclose(got[checked], expected[checked], rtol=1e-12, atol=0)
    assert np.all(got[z >= truncation] == 0) and np.all((got >= 0) & (got <= 1))
    if tails == "both":
        assert np.all(got[z <= -truncation] == 1)
    elif truncation < 8:
        # Nothing cut below: at -n the upper rule still leaves Q(n) / (1 - Q(n)) unexceeded.
        assert got[-2] < 1


@pytest.mark.parametrize("tails", ["both", "upper"])
@pytest.mark.parametrize("truncation", [3.0, math.inf])
def test_catalogue_curves_by_rule_against_scipy(tails, truncation):
    rows, mu, sigma, rate, log_levels = catalogue(3000, 40, np.random.default_rng(6))
    acc = hz.zeros((40, len(log_levels)))
    hz.exceedance(acc, rows, mu, sigma, rate, log_levels, truncation, tails=tails)
    z = (log_levels[None, :] - mu[:, None]) / sigma[:, None]
    expected = np.zeros((40, len(log_levels)))
    np.add.at(expected, rows, rate[:, None] * truncated_sf(z, truncation, tails))
    checked = expected > 1e-9 * expected.max()
    np.testing.assert_allclose(hz.to_double(acc)[checked], expected[checked], rtol=1e-12, atol=0)


@pytest.mark.parametrize("tails", ["both", "upper"])
@pytest.mark.parametrize("truncation", [0.5, 3.0, math.inf])
def test_a_step_is_exceeded_below_its_mean_only(tails, truncation):
    # sigma 0: the rate at every level below the mean, nothing at or above it, whatever the rule.
    log_levels = np.array([-2.0, 0.5 - 1e-15, 0.5, 0.5 + 1e-15, 3.0])
    got = hz.to_double(one_pair(0.5, 0.0, 0.25, log_levels, truncation, tails=tails))
    assert got.tolist() == [0.25, 0.25, 0.0, 0.0, 0.0]
    cells, moments = hz.zeros((5, 1, 1)), hz.zeros((5, hz.N_MOMENTS))
    hz.disaggregate(cells, moments, np.arange(5), np.zeros(5, np.int64), np.full(5, 0.5), np.zeros(5),
                    np.full(5, 0.25), np.full(5, 6.0), np.full(5, 10.0), log_levels, truncation,
                    np.array([-1.0, 1.0]), tails=tails)
    assert hz.to_double(cells).ravel().tolist() == [0.25, 0.25, 0.0, 0.0, 0.0]
    assert hz.to_double(moments[:, hz.MOMENT_EPS]).tolist() == [0.0] * 5


@pytest.mark.parametrize("truncation", [1e-300, 1e-17])
def test_a_truncation_too_narrow_to_renormalise_gives_zero_between(truncation):
    # Q(n) rounds to 1/2: "both" has no mass left between -n and n, and P is 0 there, not 0 / 0.
    z = np.array([-1.0, -truncation, -truncation / 2, 0.0, truncation / 2, 1.0])
    assert hz.tail(z, truncation).tolist() == [1.0, 1.0, 0.0, 0.0, 0.0, 0.0]
    log_levels = np.array([-1.0, -truncation / 2, 0.0, 1.0])
    assert hz.to_double(one_pair(0.0, 1.0, 0.5, log_levels, truncation)).tolist() == [0.5, 0.0, 0.0, 0.0]


def test_upper_rule_differs_from_both_only_below_the_mean():
    log_levels = np.linspace(-5.0, 5.0, 101)
    both = hz.to_double(one_pair(0.0, 1.0, 1.0, log_levels, 2.0))
    upper = hz.to_double(one_pair(0.0, 1.0, 1.0, log_levels, 2.0, tails="upper"))
    assert np.all(upper[log_levels <= -2.0] < 1.0) and np.all(both[log_levels <= -2.0] == 1.0)
    assert np.all(upper[log_levels >= 2.0] == 0.0) and np.all(both[log_levels >= 2.0] == 0.0)
    # The upper rule renormalises by 1 - Q(n) instead of 1 - 2 Q(n): it exceeds less.
    assert np.all(upper <= both)


@pytest.mark.parametrize("call", ["exceedance", "disaggregate", "tail"])
@pytest.mark.parametrize("tails, error", [("lower", ValueError), ("", ValueError), (1, TypeError), (None, TypeError)])
def test_tails_refuses(call, tails, error):
    with pytest.raises(error):
        if call == "exceedance":
            hz.exceedance(**exceedance_args(), tails=tails)
        elif call == "disaggregate":
            hz.disaggregate(**disaggregate_args(), tails=tails)
        else:
            hz.tail(np.zeros(3), 3.0, tails=tails)


def test_tails_is_keyword_only():
    args = exceedance_args()
    with pytest.raises(TypeError):
        hz.exceedance(*args.values(), "upper")


# ---------------------------------------------------------------------------------------------
# The exact sums: every cell the exact sum of its terms on the grid


def kernel_terms(rows, mu, sigma, rate, log_levels, truncation, tails, n_rows):
    """The terms the kernel adds, each truncated to the grid, summed exactly in Python integers.

    P comes from hz.tail (tested above), z and rate * P in the same IEEE arithmetic as the kernel;
    a term is the rate itself from -min(truncation, 9) sigma down ("both"; -9 for "upper": P rounds
    to 1 there) and nothing from min(truncation, 19) sigma up (every term below the grid there)."""
    sums = [[0] * len(log_levels) for _ in range(n_rows)]
    below_z = -min(truncation, 9.0) if tails == "both" else -9.0
    for row, m, s, r in zip(rows, mu, sigma, rate):
        if s == 0:
            z = np.where(log_levels < m, -np.inf, np.inf)
        else:
            z = (log_levels - m) / s
        p = hz.tail(np.clip(z, -40.0, 40.0), truncation, tails=tails)
        for k in range(len(log_levels)):
            if z[k] <= below_z:
                term = r
            elif z[k] >= min(truncation, 19.0):
                term = 0.0
            else:
                term = r * p[k]
            sums[row][k] += on_grid(term)
    return sums


@pytest.mark.parametrize("tails", ["both", "upper"])
@pytest.mark.parametrize("truncation", [3.0, 0.7, math.inf])
def test_cells_are_exact_sums_of_the_terms(tails, truncation):
    rng = np.random.default_rng([int(min(truncation, 99.0) * 10), tails == "upper"])
    n_pairs, n_rows = 600, 5
    rows, mu, sigma, rate, log_levels = catalogue(n_pairs, n_rows, rng)
    # Rates over the whole range (down to and below the grid), steps, and levels right at the
    # truncation of some pairs.
    rate = np.exp(rng.uniform(np.log(1e-62), np.log(1e3), n_pairs))
    rate[:5] = [2.0**-192, 3 * 2.0**-193, 2.0**-200, 0.0, 2.0**62 / n_pairs]
    sigma[rng.random(n_pairs) < 0.05] = 0.0
    if math.isfinite(truncation):
        mu[:40] = log_levels[rng.integers(0, len(log_levels), 40)] - truncation * sigma[:40]
        mu[40:80] = log_levels[rng.integers(0, len(log_levels), 40)] + truncation * sigma[40:80]
    acc = hz.zeros((n_rows, len(log_levels)))
    hz.exceedance(acc, rows, mu, sigma, rate, log_levels, truncation, tails=tails)
    expected = kernel_terms(rows, mu, sigma, rate, log_levels, truncation, tails, n_rows)
    assert [[value(cell) for cell in row] for row in acc] == expected


def test_many_pairs_on_one_row_are_carried_exactly():
    # More pairs on one row than its counters hold between carries, with rates that fill each
    # counter's bits (about 2^11: 50 bits of the bin from 2^-39 up; 12000 of them pass 2^63).
    rng = np.random.default_rng(3)
    n = 12000
    mu, sigma = rng.normal(0.0, 1.0, n), rng.uniform(0.3, 1.0, n)
    rate = rng.uniform(1.5 * 2.0**10, 2.0**11, n)
    log_levels = np.linspace(-4.0, 4.0, 9)
    acc = hz.zeros((1, 9))
    hz.exceedance(acc, np.zeros(n, np.int64), mu, sigma, rate, log_levels, 3.0)
    expected = kernel_terms(np.zeros(n, np.int64), mu, sigma, rate, log_levels, 3.0, "both", 1)
    assert [value(cell) for cell in acc[0]] == expected[0]


def test_rows_rewritten_during_the_call_are_refused_or_summed_never_a_crash():
    # The kernel runs without the interpreter lock; another thread may rewrite the arrays. Each
    # pair's row is read once to order the pairs and again to add them: a row moved to another
    # block in between must neither corrupt memory nor pass unchecked.
    import threading
    rows, mu, sigma, rate, log_levels = catalogue(200_000, 1000, np.random.default_rng(9))
    stop = threading.Event()

    def rewrite():
        rng = np.random.default_rng(10)
        while not stop.is_set():
            at = rng.integers(0, len(rows), 64)
            rows[at] = rng.integers(-1, 1000, 64)

    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        for _ in range(4):
            acc = hz.zeros((1000, len(log_levels)))
            try:
                hz.exceedance(acc, rows, mu, sigma, rate, log_levels, 3.0)
            except ValueError as error:
                assert "changed" in str(error) or "outside" in str(error)
    finally:
        stop.set()
        writer.join()


# ---------------------------------------------------------------------------------------------
# Order, grouping and batches


def disaggregation_inputs(n_pairs, n_rows, rng):
    rows, mu, sigma, rate, _ = catalogue(n_pairs, n_rows, rng)
    sigma[rng.random(n_pairs) < 0.02] = 0.0
    rate[rng.random(n_pairs) < 0.05] = 0.0
    log_levels = rng.normal(np.log(0.05), 0.8, n_rows)
    log_levels[rng.random(n_rows) < 0.1] = np.nan
    columns = dict(rows=rows, bins=rng.integers(0, 6, n_pairs), mu=mu, sigma=sigma, rate=rate,
                   mag=rng.uniform(4.5, 8.0, n_pairs), dist=rng.uniform(0.0, 300.0, n_pairs))
    return columns, log_levels


def run_kernel(kernel, columns, fixed, n_rows, truncation):
    """The accumulators (one array) for the pairs in `columns`."""
    if kernel == "exceedance":
        acc = hz.zeros((n_rows, len(fixed)))
        hz.exceedance(acc, columns["rows"], columns["mu"], columns["sigma"], columns["rate"], fixed, truncation)
        return acc
    cells, moments = hz.zeros((n_rows, 6, 4)), hz.zeros((n_rows, hz.N_MOMENTS))
    hz.disaggregate(cells, moments, **columns, log_levels=fixed, truncation=truncation,
                    eps_edges=np.array([-3.0, -1.0, 0.0, 1.0, 3.0]))
    return np.concatenate([cells.reshape(n_rows, -1, hz.LIMBS), moments], axis=1)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("kernel", ["exceedance", "disaggregate"])
@pytest.mark.parametrize("truncation", [3.0, math.inf])
def test_any_order_and_batching_gives_the_same_bits(seed, kernel, truncation):
    rng = np.random.default_rng(seed)
    n_rows = 25
    columns, row_levels = disaggregation_inputs(4000, n_rows, rng)
    fixed = catalogue(1, 1, rng)[-1] if kernel == "exceedance" else row_levels
    whole = run_kernel(kernel, columns, fixed, n_rows, truncation)
    # Shuffled, cut into batches from single pairs to thousands, each summed alone, and the
    # partial sums merged in a random tree.
    order = rng.permutation(4000)
    cuts = np.sort(rng.choice(np.arange(1, 4000), size=int(rng.integers(1, 40)), replace=False))
    cuts = np.concatenate([cuts, [cuts[0] + 1]]) if cuts[0] + 1 < 4000 else cuts
    parts = [run_kernel(kernel, {k: v[batch] for k, v in columns.items()}, fixed, n_rows, truncation)
             for batch in np.split(order, np.unique(cuts))]
    while len(parts) > 1:
        i, j = sorted(rng.choice(len(parts), 2, replace=False))
        hz.merge(parts[i], parts.pop(j))
    assert np.array_equal(parts[0], whole)


# ---------------------------------------------------------------------------------------------
# The fixed-point values


def rounding_cases():
    cases = [0, 1, -1, 2**53 - 1, 2**53 + 1, 2**255 - 1, -(2**255), -(2**255) + 1, 2**192, -(2**192) - 3]
    for mantissa in (2**52, 2**52 + 1, 2**53 - 1):
        for shift in (1, 2, 11, 64, 100, 150, 202):
            half = 1 << (shift - 1)
            for rest in {0, 1, half - 1, half, half + 1, 2 * half - 1}:
                v = (mantissa << shift) + rest
                if v < 2**255:
                    cases += [v, -v]
    rng = np.random.default_rng(8)
    cases += [int(rng.integers(0, 2**63)) << int(rng.integers(0, 193)) | int(rng.integers(0, 2**62)) for _ in range(50)]
    return cases


def test_to_double_rounds_to_nearest_even():
    cases = rounding_cases()
    acc = np.stack([limbs(v) for v in cases])
    got = hz.to_double(acc)
    expected = [float(Fraction(v, SCALE)) for v in cases]
    assert got.tolist() == expected


@pytest.mark.parametrize("x", [
    0.1, 1e-4, 2.0**-192, 2.0**-193, 3 * 2.0**-193, 1e-300, 5e-324, 0.0, -0.0, 2.0**63 - 1024.0,
    1.0 - 2.0**-53, 123456.789, 2.0**-140 * 3.1, 7e-50,
])
def test_a_rate_lands_on_the_grid_truncated(x):
    # A level far below the mean adds the rate itself.
    assert value(one_pair(0.0, 1.0, abs(x), [-10.0], 3.0)[0]) == on_grid(abs(x))


def test_signed_terms_truncate_toward_zero():
    # The epsilon moment holds c * eps, negative below the mean.
    mu, sigma, rate = np.array([0.3, 0.3]), np.array([0.7, 0.9]), np.array([0.001, 0.37])
    cells, moments = hz.zeros((1, 1, 1)), hz.zeros((1, hz.N_MOMENTS))
    hz.disaggregate(cells, moments, np.zeros(2, np.int64), np.zeros(2, np.int64), mu, sigma, rate, np.array([6.0, 7.0]),
                    np.array([10.0, 20.0]), np.array([0.0]), 3.0, np.array([-3.0, 3.0]))
    eps = (0.0 - mu) / sigma
    c = rate * (norm.sf(eps) - norm.sf(3.0)) / (1 - 2 * norm.sf(3.0))
    c_ours = [hz.to_double(one_pair(m, s, r, [0.0], 3.0))[0] for m, s, r in zip(mu, sigma, rate)]
    np.testing.assert_allclose(c_ours, c, rtol=1e-13)
    assert value(moments[0, hz.MOMENT_EPS]) == sum(-on_grid(-(ci * e)) for ci, e in zip(c_ours, eps))
    assert value(moments[0, hz.MOMENT_M]) == sum(on_grid(ci * m) for ci, m in zip(c_ours, (6.0, 7.0)))


@pytest.mark.parametrize("seed", range(3))
def test_merge_is_exact_integer_addition(seed):
    rng = np.random.default_rng(seed)
    a = [int(rng.integers(-(2**62), 2**62)) << int(rng.integers(0, 192)) for _ in range(20)]
    b = [int(rng.integers(-(2**62), 2**62)) << int(rng.integers(0, 192)) for _ in range(20)]
    dst, src = np.stack([limbs(v) for v in a]), np.stack([limbs(v) for v in b])
    hz.merge(dst, src)
    assert [value(cell) for cell in dst] == [x + y for x, y in zip(a, b)]
    hz.merge(dst, dst)
    assert [value(cell) for cell in dst] == [2 * (x + y) for x, y in zip(a, b)]
    # A strided src.
    wide = np.stack([limbs(v) for v in b + b], axis=0)[::2]
    again = np.stack([limbs(v) for v in a])
    hz.merge(again, wide)
    assert [value(cell) for cell in again] == [x + y for x, y in zip(a, (b + b)[::2])]
    # Overlapping views: src is read as it was before the call.
    shifted = np.stack([limbs(v) for v in a])
    hz.merge(shifted[1:], shifted[:-1])
    assert [value(cell) for cell in shifted] == [a[0]] + [x + y for x, y in zip(a[1:], a[:-1])]


@pytest.mark.parametrize("x, y", [(2**255 - 1, 1), (-(2**255), -1), (2**254, 2**254)])
def test_merge_overflow_raises_and_changes_nothing(x, y):
    dst = np.stack([limbs(0), limbs(x)])
    src = np.stack([limbs(5), limbs(y)])
    with pytest.raises(OverflowError):
        hz.merge(dst, src)
    assert value(dst[0]) == 0 and value(dst[1]) == x


def test_exceedance_overflow_raises():
    acc = hz.zeros((1, 1))
    big = np.array([2.0**62, 2.0**62])
    with pytest.raises(OverflowError):
        hz.exceedance(acc, np.zeros(2, np.int64), np.zeros(2), np.ones(2), big, np.array([-10.0]), 3.0)
    with pytest.raises(OverflowError):
        hz.exceedance(acc, np.zeros(1, np.int64), np.zeros(1), np.ones(1), np.array([2.0**63]), np.array([0.0]), 3.0)


@pytest.mark.parametrize("shape, expected", [(3, (3, 4)), ((2, 5), (2, 5, 4)), ((), (4,)), ([0, 2], (0, 2, 4))])
def test_zeros(shape, expected):
    acc = hz.zeros(shape)
    assert acc.shape == expected and acc.dtype == np.int64 and not acc.any()
    assert hz.to_double(acc).shape == expected[:-1]


# ---------------------------------------------------------------------------------------------
# Disaggregation


def test_disaggregation_against_numpy_and_the_curve():
    rng = np.random.default_rng(11)
    n_rows, edges = 12, np.array([-2.0, -1.0, 0.0, 1.0, 2.0])
    columns, log_levels = disaggregation_inputs(3000, n_rows, rng)
    cells, moments = hz.zeros((n_rows, 6, 4)), hz.zeros((n_rows, hz.N_MOMENTS))
    hz.disaggregate(cells, moments, **columns, log_levels=log_levels, truncation=3.0, eps_edges=edges)

    rows, mu, sigma, rate = (columns[k] for k in ("rows", "mu", "sigma", "rate"))
    level = log_levels[rows]
    with np.errstate(divide="ignore", invalid="ignore"):
        eps = np.where(sigma > 0, (level - mu) / sigma, np.where(mu > level, -np.inf, np.inf))
    tail = (norm.sf(eps) - norm.sf(3.0)) / (1 - 2 * norm.sf(3.0))
    c = rate * np.where(eps <= -3.0, 1.0, np.where(eps >= 3.0, 0.0, tail))
    c[np.isnan(level)] = 0.0
    j = np.clip(np.searchsorted(edges, eps, side="right") - 1, 0, 3)
    expected = np.zeros((n_rows, 6, 4))
    np.add.at(expected, (rows, columns["bins"], j), c)
    np.testing.assert_allclose(hz.to_double(cells), expected, rtol=1e-11, atol=1e-30)
    # A step (sigma 0) has no epsilon: it adds to the other moments only.
    for slot, weight in ((hz.MOMENT_M, columns["mag"]), (hz.MOMENT_R, columns["dist"]), (hz.MOMENT_EPS, eps)):
        counted = (c > 0) & np.isfinite(weight)
        sums = np.bincount(rows[counted], weights=c[counted] * weight[counted], minlength=n_rows)
        np.testing.assert_allclose(hz.to_double(moments[:, slot]), sums, rtol=1e-9, atol=1e-18)

    # The cells of a row add up, exactly, to the curve at that row's level.
    for row in range(n_rows):
        total = sum(value(cell) for cell in cells[row].reshape(-1, hz.LIMBS))
        assert value(moments[row, hz.MOMENT_RATE]) == total
        if np.isnan(log_levels[row]):
            assert total == 0
            continue
        mine = rows == row
        curve = hz.zeros((1, 1))
        hz.exceedance(curve, np.zeros(mine.sum(), np.int64), mu[mine], sigma[mine], rate[mine],
                      log_levels[row:row + 1], 3.0)
        assert value(curve[0, 0]) == total


# ---------------------------------------------------------------------------------------------
# Bad arguments: an exception, never a crash, and nothing added


def exceedance_args():
    return dict(acc=hz.zeros((3, 2)), rows=np.array([0, 2]), mu=np.zeros(2), sigma=np.ones(2),
                rate=np.full(2, 0.1), log_levels=np.array([-1.0, 1.0]), truncation=3.0)


def disaggregate_args():
    return dict(cells=hz.zeros((3, 2, 2)), moments=hz.zeros((3, hz.N_MOMENTS)), rows=np.array([0, 2]),
                bins=np.array([1, 0]), mu=np.zeros(2), sigma=np.ones(2), rate=np.full(2, 0.1), mag=np.full(2, 6.0),
                dist=np.full(2, 10.0), log_levels=np.zeros(3), truncation=3.0, eps_edges=np.array([-1.0, 0.0, 1.0]))


COMMON_BAD = [
    ("rows", [0, 2], TypeError), ("rows", np.array([0.0, 2.0]), TypeError), ("rows", np.array([0, 3]), ValueError),
    ("rows", np.array([-1, 0]), ValueError), ("rows", np.array([0, 1, 2]), ValueError),
    ("rows", np.array([0, 2], np.int32), TypeError), ("rows", np.zeros((2, 1), np.int64), ValueError),
    ("mu", np.zeros(2, np.float32), TypeError), ("mu", np.array([0.0, np.nan]), ValueError),
    ("mu", np.zeros(3), ValueError), ("mu", np.zeros((2, 2)), ValueError), ("mu", None, TypeError),
    ("mu", np.zeros(2).astype(">f8"), TypeError),
    ("sigma", np.array([1.0, -1.0]), ValueError), ("sigma", np.array([1.0, np.inf]), ValueError),
    ("rate", np.array([0.1, -0.1]), ValueError), ("rate", np.array([0.1, np.nan]), ValueError),
    ("rate", np.array([0.1, 1e300]), OverflowError),
    ("truncation", 0.0, ValueError), ("truncation", -1.0, ValueError), ("truncation", math.nan, ValueError),
    ("truncation", "3", TypeError),
]


def cases(rows):
    return [pytest.param(*row, id=f"{row[0]}-{k}") for k, row in enumerate(rows)]


@pytest.mark.parametrize("name, bad, error", cases(COMMON_BAD + [
    ("acc", np.zeros((3, 2, 4)), TypeError), ("acc", hz.zeros((3, 2))[:, ::-1], ValueError),
    ("acc", hz.zeros((3, 2, 2))[..., 0, :], ValueError), ("acc", hz.zeros((3, 3)), ValueError),
    ("acc", hz.zeros((3, 2, 5))[..., :4], ValueError), ("acc", np.zeros((3, 2, 3), np.int64), ValueError),
    ("acc", bytes(3 * 2 * 32), ValueError), ("acc", bytearray(3 * 2 * 32), TypeError),
    ("log_levels", np.array([1.0, -1.0]), ValueError), ("log_levels", np.array([1.0, 1.0]), ValueError),
    ("log_levels", np.array([-1.0, np.nan]), ValueError), ("log_levels", np.array([-1.0]), ValueError),
]))
def test_exceedance_refuses(name, bad, error):
    args = exceedance_args()
    args[name] = bad
    with pytest.raises(error):
        hz.exceedance(**args)
    acc = args["acc"]
    assert not (acc if isinstance(acc, np.ndarray) else np.frombuffer(acc, np.uint8)).any()


@pytest.mark.parametrize("name, bad, error", cases(COMMON_BAD + [
    ("bins", np.array([2, 0]), ValueError), ("bins", np.array([-1, 0]), ValueError), ("bins", np.array([0]), ValueError),
    ("mag", np.array([6.0, np.inf]), ValueError), ("dist", np.array([np.nan, 1.0]), ValueError),
    ("moments", hz.zeros((3, 3)), ValueError), ("moments", hz.zeros((2, hz.N_MOMENTS)), ValueError),
    ("cells", hz.zeros((3, 2)), ValueError), ("log_levels", np.array([0.0, np.inf, 0.0]), ValueError),
    ("log_levels", np.zeros(2), ValueError), ("eps_edges", np.array([-1.0, 1.0]), ValueError),
    ("eps_edges", np.array([1.0, 0.0, -1.0]), ValueError),
]))
def test_disaggregate_refuses(name, bad, error):
    args = disaggregate_args()
    args[name] = bad
    with pytest.raises(error):
        hz.disaggregate(**args)
    assert not args["cells"].any() and not args["moments"].any()


@pytest.mark.parametrize("call, error", [
    (lambda: hz.merge(hz.zeros(3), hz.zeros(2)), ValueError),
    (lambda: hz.merge(hz.zeros((2, 3)), hz.zeros((3, 2))), ValueError),
    (lambda: hz.merge(np.zeros((2, 3), np.int64), np.zeros((2, 3), np.int64)), ValueError),
    (lambda: hz.merge(np.zeros(4, np.int64).view(np.float64), hz.zeros(())), TypeError),
    (lambda: hz.merge(bytes(32), bytearray(32)), ValueError),
    (lambda: hz.to_double(np.zeros((2, 3), np.int64)), ValueError),
    (lambda: hz.to_double(np.zeros(4)), TypeError),
    (lambda: hz.to_double([0, 0, 0, 0]), TypeError),
    (lambda: hz.zeros(-1), ValueError),
    (lambda: hz.zeros("x"), TypeError),
])
def test_accumulator_functions_refuse(call, error):
    with pytest.raises(error):
        call()


def test_read_only_inputs_are_fine():
    args = exceedance_args()
    for name in ("rows", "mu", "sigma", "rate", "log_levels"):
        args[name].flags.writeable = False
    hz.exceedance(**args)
    src = hz.zeros(2)
    src.flags.writeable = False
    hz.merge(hz.zeros(2), src)
    assert hz.to_double(args["acc"])[0, 0] > 0


ARRAYS = st.one_of(
    st.lists(st.floats(), max_size=4).map(np.array),
    st.lists(st.integers(-3, 5), max_size=4).map(lambda v: np.array(v, np.int64)),
    st.sampled_from([np.zeros((2, 2)), np.zeros(0), np.zeros(3, np.float32), hz.zeros((3, 2)), None, b"\0" * 32]),
)


@given(st.lists(ARRAYS, min_size=5, max_size=5), st.floats())
def test_exceedance_any_arguments_never_crash(arrays, truncation):
    acc = hz.zeros((3, 2))
    try:
        hz.exceedance(acc, *arrays, truncation)
    except (TypeError, ValueError, OverflowError):
        pass
