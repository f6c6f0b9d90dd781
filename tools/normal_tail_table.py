"""The coefficients of gmms/normal_tail.hpp, computed with mpmath (Debian's python3-mpmath).

    /usr/bin/python3 tools/normal_tail_table.py           rewrites the table in the header
    /usr/bin/python3 tools/normal_tail_table.py --check   fails if the header's table differs

The header computes Q(z) = P(Z > z) = erfc(z / sqrt 2) / 2 as exp(-z^2/2) * R(z), with
R(z) = exp(z^2/2) Q(z) a polynomial on each of ROWS intervals, and exp(-z^2/2) as
2^(-m/8) exp(r) with exp(r) = 1 + r + r^2 p(r) on |r| <= ln(2)/16. What is computed here:

- the intervals: row i holds the |z| whose y = |z| + 1/4 lies in [2^j (1 + q/32), 2^j (1 + (q+1)/32))
  with i = 32 (j + 2) + q, j >= -2, up to the row of |z| = 40 (the kernel's reach); the row of y
  is read from its bits (exponent and five leading mantissa bits);
- per row, R(c + h t) on t in [-1, 1] (c the interval's centre, h its half width, both exact
  doubles) as a polynomial of degree DEGREE in t, from its Chebyshev expansion (mpmath.chebyfit,
  near the best approximation), its constant term split into 26 leading bits and the rest so that
  the header can multiply it by a 26-bit number exactly;
- p(r) = (exp(r) - 1 - r) / r^2 on |r| <= R_MAX (ln(2)/16 and the reduction's small remainder),
  degree EXP_DEGREE;
- 2^(-j/8), j = 0 .. 7, as 26 leading bits and the rest;
- ln(2)/8 as a 38-bit leading part (m * LN2_8_HIGH is exact for |m| < 2^15) and the rest.

The printed errors are those of the approximations before rounding to doubles; the header's own
accuracy (rounding included) is checked against mpmath by tests/test_hazard_kernel.py.
"""

import argparse
import pathlib
import sys

import mpmath as mp

ROOT = pathlib.Path(__file__).resolve().parent.parent
HEADER = ROOT / "gmms" / "normal_tail.hpp"
BEGIN = "// BEGIN TABLE: written by tools/normal_tail_table.py, do not edit\n"
END = "// END TABLE\n"

DEGREE = 8            # of R on each interval
EXP_DEGREE = 6        # of p(r)
SUBINTERVALS = 32     # per binade of y = |z| + 1/4
REACH = 40            # the largest |z| the kernel evaluates

mp.mp.dps = 60
R_MAX = mp.log(2) / 16 + mp.mpf("1e-4")


def R(z):
    z = mp.mpf(z)
    return mp.erfc(z / mp.sqrt(2)) / 2 * mp.exp(z * z / 2)


def intervals():
    """(centre, half width) of each row's interval of |z|."""
    rows, j = [], -2
    while True:
        for q in range(SUBINTERVALS):
            a = mp.ldexp(1 + mp.mpf(q) / SUBINTERVALS, j)
            b = mp.ldexp(1 + mp.mpf(q + 1) / SUBINTERVALS, j)
            rows.append(((a + b) / 2 - mp.mpf(1) / 4, (b - a) / 2))
            if b - mp.mpf(1) / 4 > REACH:
                return rows
        j += 1


def leading_bits(x, bits):
    mantissa, exponent = mp.frexp(x)
    return mp.ldexp(mp.nint(mp.ldexp(mantissa, bits)), exponent - bits)


def exact_double(x):
    value = float(x)
    assert value == x, x
    return value


def compute():
    rows, worst = [], mp.mpf(0)
    for centre, half in intervals():
        poly, error = mp.chebyfit(lambda t: R(centre + half * t), [-1, 1], DEGREE + 1, error=True)
        coeffs = poly[::-1]  # constant term first
        a0_high = leading_bits(coeffs[0], 26)
        worst = max(worst, error / R(centre + half))
        rows.append([exact_double(a0_high), float(coeffs[0] - a0_high)] + [float(c) for c in coeffs[1:]])

    def p(r):
        return mp.mpf(1) / 2 + r / 6 if abs(r) < mp.mpf("1e-40") else (mp.exp(r) - 1 - r) / (r * r)

    exp_poly, exp_error = mp.chebyfit(p, [-R_MAX, R_MAX], EXP_DEGREE + 1, error=True)
    mantissa, exponent = mp.frexp(mp.log(2) / 8)
    ln2_8_high = mp.ldexp(mp.floor(mp.ldexp(mantissa, 38)), exponent - 38)
    constants = {"LN2_8_HIGH": exact_double(ln2_8_high), "LN2_8_LOW": float(mp.log(2) / 8 - ln2_8_high)}
    powers = [mp.power(2, -mp.mpf(j) / 8) for j in range(8)]
    pow2 = [[exact_double(leading_bits(x, 26)) for x in powers], [float(x - leading_bits(x, 26)) for x in powers]]
    errors = (worst, exp_error * R_MAX**2 / mp.exp(-R_MAX))
    return rows, [float(c) for c in exp_poly[::-1]], constants, pow2, errors


def table_text(rows, exp_coeffs, constants, pow2):
    width = len(rows[0])
    lines = [BEGIN]
    for name, value in constants.items():
        lines.append(f"inline constexpr double {name} = {value.hex()};\n")
    lines.append(f"inline constexpr std::array<double, {len(exp_coeffs)}> EXP_COEFFS = {{\n")
    lines += [f"    {c.hex()},\n" for c in exp_coeffs]
    lines.append("};\n")
    lines.append("// 2^(-j/8): 26 leading bits, the rest.\n")
    lines.append("alignas(64) inline constexpr double POW2[2][8] = {\n")
    for part in pow2:
        lines.append("    {" + ", ".join(x.hex() for x in part[:4]) + ",\n     " + ", ".join(x.hex() for x in part[4:]) + "},\n")
    lines.append("};\n")
    lines.append(f"inline constexpr int ROWS = {len(rows)};\n")
    # One array per coefficient (the rows are columns here): the vectorised loop gathers element
    # by element from each.
    names = ["a0, 26 leading bits", "a0, the rest"]
    names += [f"a{j}" for j in range(1, DEGREE + 1)]
    lines.append(f"alignas(64) inline constexpr double TABLE[{width}][ROWS] = {{\n")
    for name, column in zip(names, zip(*rows)):
        lines.append(f"    // {name}\n    {{")
        for start in range(0, len(column), 4):
            chunk = ", ".join(x.hex() for x in column[start:start + 4])
            lines.append(("" if start == 0 else "     ") + chunk + ("},\n" if start + 4 >= len(column) else ",\n"))
    lines.append("};\n")
    lines.append(END)
    return "".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="fail if the header's table differs")
    args = parser.parse_args()
    rows, exp_coeffs, constants, pow2, (r_error, exp_error) = compute()
    text = table_text(rows, exp_coeffs, constants, pow2)
    header = HEADER.read_text()
    start, stop = header.index(BEGIN), header.index(END) + len(END)
    if args.check:
        if header[start:stop] != text:
            sys.exit(f"{HEADER}: the table differs from what {pathlib.Path(__file__).name} computes")
        return
    HEADER.write_text(header[:start] + text + header[stop:])
    print(f"{len(rows)} rows of degree {DEGREE}: largest relative error of R {mp.nstr(r_error, 3)}; "
          f"of exp(r) {mp.nstr(exp_error, 3)} (before rounding to doubles)")


if __name__ == "__main__":
    main()
