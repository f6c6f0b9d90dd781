"""gmms._hazard: the exceedance and disaggregation kernels and their exact accumulator.

Oracles: scipy's normal tail for the curves, Python's integers and fractions.Fraction for the
fixed-point values and their rounding, and the curves themselves for the disaggregation totals.
"""

import math
import sys
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from scipy.stats import norm

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


def one_pair(mu, sigma, rate, log_levels, truncation):
    acc = hz.zeros((1, len(log_levels)))
    hz.exceedance(acc, np.zeros(1, np.int64), np.array([mu]), np.array([sigma]), np.array([rate]),
                  np.asarray(log_levels, float), truncation)
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
