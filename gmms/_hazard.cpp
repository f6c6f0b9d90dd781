// gmms._hazard: the exceedance kernel of seismic hazard and the exact accumulator it sums into.
//
// A hazard curve is a sum over many (scenario, site) pairs of rate x P(ln IM > level). Tasks sum
// their own pairs and the partial sums are merged in whatever order they arrive, so a sum in
// doubles would depend on the tasks and their batch size. Here every term is put on a fixed-point
// grid first (an exact, order-free step) and the grid values are added exactly: any order, any
// grouping and any split of the pairs gives the same bits.
//
// The accumulator is an int64 array whose last axis holds LIMBS = 4 limbs: one 256-bit
// two's-complement integer, limb 0 least significant, counted in units of 2**-192. Its range is
// |x| < 2**63; a term's bits below 2**-192 are dropped (truncated toward zero), so each term is off
// by less than 1.6e-58, far below anything a rate or a disaggregation share can resolve. Within a
// call, exceedance gathers its terms in narrower exact counters first (the binned sums) and adds
// them to the cells once per row.
//
// The normal tail is the kernels' own (normal_tail.hpp): plain IEEE arithmetic, the same bits
// everywhere.
//
// Sections: the fixed-point numbers; binned sums; buffers; argument checks; the kernels; the
// module.
//
// Conventions as in the model frame: a function that can fail returns false (or an empty Ref)
// with the interpreter's error set; owned references and buffer views are RAII objects, so an
// error path is a plain return; nothing throws across the C API (entry points are noexcept and
// turn std::bad_alloc into MemoryError).

#include "frame/buffer.hpp"
#include "frame/frame.hpp"
#include "normal_tail.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace {

using gmms::frame::guarded;
using gmms::frame::import_numpy;
using gmms::frame::Ref;
namespace normal_tail = gmms::normal_tail;

// ---------------------------------------------------------------------------------------------
// Fixed-point numbers

constexpr int LIMBS = 4;
constexpr int LSB_EXPONENT = -192;  // value of the lowest bit: 2**-192
constexpr int MAX_EXPONENT = 63;    // every value and term: |x| < 2**63
constexpr int TOP_BIT = 64 * LIMBS - 1;  // the sign bit
constexpr size_t CELL_BYTES = sizeof(uint64_t) * LIMBS;

using Fixed = std::array<uint64_t, LIMBS>;

void negate(Fixed& v) noexcept {
    uint64_t carry = 1;
    for (uint64_t& limb : v) {
        limb = ~limb + carry;
        carry = (carry && limb == 0) ? 1 : 0;
    }
}

bool is_negative(const Fixed& v) noexcept { return (v[LIMBS - 1] >> 63) != 0; }

// x on the grid, truncated toward zero. False for a NaN, an infinity or |x| >= 2**63.
bool to_fixed(double x, Fixed& out) noexcept {
    out = {};
    const auto bits = std::bit_cast<uint64_t>(x);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    if (biased == 0x7ff) return false;
    if (biased == 0) return true;  // zero or subnormal: far below the lowest bit
    const uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    // Bit position (in the 256-bit integer) of the mantissa's lowest bit.
    const int shift = biased - 1075 - LSB_EXPONENT;
    if (shift + 52 >= TOP_BIT) return false;
    if (shift <= -53) return true;
    if (shift < 0) {
        out[0] = mantissa >> -shift;
    } else {
        const int limb = shift / 64, offset = shift % 64;
        out[limb] = mantissa << offset;
        if (offset > 11) out[limb + 1] = mantissa >> (64 - offset);  // never past the top limb: shift < 203
    }
    if ((bits >> 63) != 0) negate(out);
    return true;
}

// a + b, exactly; false (and `sum` unspecified) if the sum leaves the range.
bool add_fixed(const Fixed& a, const Fixed& b, Fixed& sum) noexcept {
    uint64_t carry = 0;
    for (int k = 0; k < LIMBS; ++k) {
        const uint64_t partial = a[k] + b[k];
        const uint64_t total = partial + carry;
        carry = (partial < a[k] || total < partial) ? 1 : 0;
        sum[k] = total;
    }
    return is_negative(a) != is_negative(b) || is_negative(sum) == is_negative(a);
}

// A cell of an accumulator in the caller's memory, which need not be aligned for uint64_t.
Fixed load(const char* cell) noexcept {
    Fixed v;
    std::memcpy(v.data(), cell, CELL_BYTES);
    return v;
}
void store(char* cell, const Fixed& v) noexcept { std::memcpy(cell, v.data(), CELL_BYTES); }

bool add_into(char* cell, const Fixed& term) noexcept {
    Fixed sum;
    if (!add_fixed(load(cell), term, sum)) return false;
    store(cell, sum);
    return true;
}

bool bit(const Fixed& v, int position) noexcept { return ((v[position / 64] >> (position % 64)) & 1) != 0; }

// Whether any bit below `position` is set.
bool any_below(const Fixed& v, int position) noexcept {
    const int limb = position / 64, offset = position % 64;
    for (int k = 0; k < limb; ++k)
        if (v[k] != 0) return true;
    return offset != 0 && (v[limb] & ((uint64_t{1} << offset) - 1)) != 0;
}

// The 64 bits from `position` up.
uint64_t window(const Fixed& v, int position) noexcept {
    const int limb = position / 64, offset = position % 64;
    uint64_t w = v[limb] >> offset;
    if (offset != 0 && limb + 1 < LIMBS) w |= v[limb + 1] << (64 - offset);
    return w;
}

// The value correctly rounded to a double (to nearest, ties to even). Every non-zero value is at
// least 2**-192 and below 2**63 in magnitude, so the result is a normal double and the scaling
// by ldexp is exact.
double to_double(Fixed v) noexcept {
    const bool negative = is_negative(v);
    if (negative) negate(v);  // the magnitude, read as unsigned (2**255 included)
    int top = -1;
    for (int k = LIMBS - 1; k >= 0 && top < 0; --k)
        if (v[k] != 0) top = 64 * k + 63 - std::countl_zero(v[k]);
    if (top < 0) return 0.0;
    int low = 0;  // position of the lowest of the 53 bits kept
    uint64_t mantissa = v[0];
    if (top > 52) {
        low = top - 52;
        mantissa = window(v, low) & ((uint64_t{1} << 53) - 1);
        if (bit(v, low - 1) && (any_below(v, low - 1) || (mantissa & 1) != 0)) ++mantissa;
    }
    const double magnitude = std::ldexp(static_cast<double>(mantissa), low + LSB_EXPONENT);
    return negative ? -magnitude : magnitude;
}

// ---------------------------------------------------------------------------------------------
// Binned sums: a call's terms gathered exactly in narrow integers, carried into the cells later

// The 255 bits of a cell below its sign, cut into BINS bins of BIN_BITS bits: bin j counts units
// of 2^(LSB_EXPONENT + BIN_BITS j). A double x with |x| < 2^(BIN_BITS) units of bin j gives up its
// part in that bin with three additions and no shift: y = x + SHIFTER[j], whose last bit is worth
// one unit (1.5 * 2^52 units; the sum stays in that binade), rounds x to whole units;
// y - SHIFTER[j] is that part and x minus it the rest (at most half a unit), both exact; and the
// bits of y minus those of SHIFTER[j] count the part in units. The rest goes on to the next bin
// down, and in bin 0 the part is rounded down instead, so that what is dropped is a term's bits
// below the grid, truncated as ever. Every step is one IEEE operation or integer arithmetic: the
// split, and so every sum, is the same on every machine and for every compiler.
constexpr int BIN_BITS = 51;
constexpr int BINS = (64 * LIMBS - 1) / BIN_BITS;
static_assert(BINS * BIN_BITS == 64 * LIMBS - 1);

constexpr double unit_of_bin(int j) noexcept {
    return std::bit_cast<double>(static_cast<uint64_t>(1023 + LSB_EXPONENT + BIN_BITS * j) << 52);
}
constexpr std::array<double, BINS> SHIFTER = [] {
    std::array<double, BINS> shifters{};
    for (int j = 0; j < BINS; ++j) shifters[static_cast<size_t>(j)] = 0x1.8p52 * unit_of_bin(j);
    return shifters;
}();

// A part is at most 2^BIN_BITS units, so a counter holds 2^(63 - BIN_BITS) - 1 of them.
constexpr uint32_t CARRY_EVERY = (uint32_t{1} << (63 - BIN_BITS)) - 1;

// The bin of x's leading bit, or -1 for an x >= 0 below the grid (and 0).
int top_bin(double x) noexcept {
    const int biased = static_cast<int>(std::bit_cast<uint64_t>(x) >> 52);
    const int position = biased - 1023 - LSB_EXPONENT;  // of the leading bit, on the grid
    return position < 0 ? -1 : std::min(position / BIN_BITS, BINS - 1);
}

// bins[j][k] += the part of x[k] in bin j, for j from `top` down until nothing is left (or bin 0
// is done); x is left with the rest. Every |x[k]| < 2^BIN_BITS units of bin `top`.
void split_into_bins(double* x, size_t n, int top, uint64_t* const* bins) noexcept {
    for (int j = top; j >= 0; --j) {
        const double shifter = SHIFTER[static_cast<size_t>(j)];
        const uint64_t shifter_bits = std::bit_cast<uint64_t>(shifter);
        uint64_t* counts = bins[j];
        if (j == 0) {
            const double unit = unit_of_bin(0);
            for (size_t k = 0; k < n; ++k) {
                const double nearest = (x[k] + shifter) - shifter;
                const double below = nearest > x[k] ? nearest - unit : nearest;  // rounded down
                counts[k] += std::bit_cast<uint64_t>(below + shifter) - shifter_bits;
            }
            return;
        }
        uint64_t left = 0;  // any bits of the rests but their signs
        for (size_t k = 0; k < n; ++k) {
            const double y = x[k] + shifter;
            x[k] -= y - shifter;
            counts[k] += std::bit_cast<uint64_t>(y) - shifter_bits;
            left |= std::bit_cast<uint64_t>(x[k]) << 1;
        }
        if (left == 0) return;
    }
}

// The binned sums of one call: per row it meets, two arrays of counters per bin, each counter a
// two's-complement integer kept in a uint64_t: the terms by level, and the rates of the levels
// below each pair's window by where that run ends (level k holds the rates of the pairs whose
// first BELOW levels, BELOW > k, take the rate: the sum from k + 1 on). A row's counters are
// carried into its cells, exactly, after CARRY_EVERY pairs and at the end.
class BinnedSums {
public:
    // `pairs`: how many pairs the call has, to size the counters once for the rows it can meet.
    BinnedSums(char* acc, size_t n_rows, size_t n_levels, size_t pairs)
        : acc_(acc), n_levels_(n_levels), stride_(BINS * (2 * n_levels + 1)), slot_of_row_(n_rows, NONE) {
        counters_.reserve(std::min(n_rows, pairs) * stride_);
    }

    // One pair: `rate` at levels 0 .. below - 1, rate * p[k] at level first + k (p is overwritten).
    // False if a cell left the accumulator's range.
    bool add(size_t row, double rate, size_t below, size_t first, double* p, size_t n) {
        const int top = top_bin(rate);  // terms <= rate
        if (top < 0) return true;       // all of it below the grid
        size_t& slot = slot_of_row_[row];
        if (slot == NONE) {
            slot = rows_.size();
            rows_.push_back({row, 0, BINS, -1});
            counters_.resize(counters_.size() + stride_);
        }
        Row& r = rows_[slot];
        r.high = std::max(r.high, top);
        if (below > 0) add_rate(slot, rate, below, top);
        if (n > 0) add_terms(slot, first, rate, p, n, top);
        return ++r.pairs < CARRY_EVERY || carry(slot);
    }

    // The memory of one row's counters, and how much of them the loop should keep in use at once.
    static constexpr size_t CACHE_BYTES = size_t{256} * 1024;
    size_t row_bytes() const noexcept { return stride_ * sizeof(uint64_t); }

    // Carries every row still held; false if a cell left the accumulator's range.
    bool finish() noexcept {
        for (size_t slot = 0; slot < rows_.size(); ++slot)
            if (rows_[slot].pairs > 0 && !carry(slot)) return false;
        return true;
    }

private:
    static constexpr size_t NONE = std::numeric_limits<size_t>::max();
    struct Row {
        size_t row;
        uint32_t pairs;  // added since the last carry
        int low, high;   // the bins in use
    };

    uint64_t* terms_of(size_t slot, int j) noexcept {
        return counters_.data() + slot * stride_ + static_cast<size_t>(j) * n_levels_;
    }
    uint64_t* rates(size_t slot, int j) noexcept {
        return counters_.data() + slot * stride_ + BINS * n_levels_ + static_cast<size_t>(j) * (n_levels_ + 1);
    }

    // The rate below the window, added once where its run of levels ends: its part in its top
    // bin and the next one down, the rest (a rate with bits further down, rarely) bin by bin.
    void add_rate(size_t slot, double rate, size_t below, int top) noexcept {
        Row& r = rows_[slot];
        if (top >= 2) {
            const double high_shifter = SHIFTER[static_cast<size_t>(top)], low_shifter = SHIFTER[static_cast<size_t>(top - 1)];
            const double y = rate + high_shifter;
            const double rest = rate - (y - high_shifter);
            const double w = rest + low_shifter;
            if (rest - (w - low_shifter) == 0) {
                rates(slot, top)[below] += std::bit_cast<uint64_t>(y) - std::bit_cast<uint64_t>(high_shifter);
                rates(slot, top - 1)[below] += std::bit_cast<uint64_t>(w) - std::bit_cast<uint64_t>(low_shifter);
                r.low = std::min(r.low, top - 1);
                return;
            }
        }
        std::array<uint64_t*, BINS> bins{};
        for (int j = 0; j <= top; ++j) bins[static_cast<size_t>(j)] = rates(slot, j) + below;
        split_into_bins(&rate, 1, top, bins.data());
        r.low = 0;
    }

    // The terms rate * p[k] <= the rate, whose leading bit is in bin `top`: each one's part in that
    // bin and in the next one down in one pass, the rest (bits further down, rarely) bin by bin.
    void add_terms(size_t slot, size_t first, double rate, double* x, size_t n, int top) noexcept {
        Row& r = rows_[slot];
        if (top < 2) {
            for (size_t k = 0; k < n; ++k) x[k] *= rate;
            split_rest(slot, first, x, n, top);
            return;
        }
        r.low = std::min(r.low, top - 1);
        const double high_shifter = SHIFTER[static_cast<size_t>(top)], low_shifter = SHIFTER[static_cast<size_t>(top - 1)];
        const uint64_t high_bits = std::bit_cast<uint64_t>(high_shifter), low_bits = std::bit_cast<uint64_t>(low_shifter);
        uint64_t* high = terms_of(slot, top) + first;
        uint64_t* low = terms_of(slot, top - 1) + first;
        uint64_t left = 0;  // any bits of the rests but their signs
        for (size_t k = 0; k < n; ++k) {
            const double term = rate * x[k];
            const double y = term + high_shifter;
            const double rest = term - (y - high_shifter);
            const double w = rest + low_shifter;
            x[k] = rest - (w - low_shifter);
            high[k] += std::bit_cast<uint64_t>(y) - high_bits;
            low[k] += std::bit_cast<uint64_t>(w) - low_bits;
            left |= std::bit_cast<uint64_t>(x[k]) << 1;
        }
        if (left == 0) return;
        // Only the terms with bits left go on (in the far tail, the last few of the window).
        const auto has_rest = [&](size_t k) { return (std::bit_cast<uint64_t>(x[k]) << 1) != 0; };
        size_t from = 0, to = n;
        while (!has_rest(from)) ++from;
        while (!has_rest(to - 1)) --to;
        split_rest(slot, first + from, x + from, to - from, top - 2);
    }

    void split_rest(size_t slot, size_t first, double* x, size_t n, int top) noexcept {
        std::array<uint64_t*, BINS> bins{};
        for (int j = 0; j <= top; ++j) bins[static_cast<size_t>(j)] = terms_of(slot, j) + first;
        split_into_bins(x, n, top, bins.data());
        rows_[slot].low = 0;
    }

    // cells += the counters, level by level: each bin's count (the rates' summed from the level up)
    // made whole 51-bit digits with the carries passed up, packed into the cell's four limbs.
    bool carry(size_t slot) noexcept {
        constexpr uint64_t MASK = (uint64_t{1} << BIN_BITS) - 1;
        static_assert(BINS == 5 && BIN_BITS == 51, "the packing below");
        Row& r = rows_[slot];
        std::array<uint64_t, BINS> below{};  // the rates' counters summed from level k + 1 on
        char* cells = acc_ + r.row * n_levels_ * CELL_BYTES;
        for (size_t k = n_levels_; k-- > 0;) {
            std::array<uint64_t, BINS> digit{};
            for (int j = r.low; j <= r.high; ++j) {
                const auto at = static_cast<size_t>(j);
                below[at] += rates(slot, j)[k + 1];
                digit[at] = terms_of(slot, j)[k] + below[at];
            }
            int64_t up = 0;  // |counts| < 2^62: no overflow
            for (uint64_t& d : digit) {
                const int64_t v = static_cast<int64_t>(d) + up;
                d = static_cast<uint64_t>(v) & MASK;
                up = v >> BIN_BITS;
            }
            // A sum of terms >= 0, in range if nothing passes bit 255.
            if (up != 0) return false;
            const Fixed value = {digit[0] | digit[1] << 51, digit[1] >> 13 | digit[2] << 38,
                                 digit[2] >> 26 | digit[3] << 25, digit[3] >> 39 | digit[4] << 12};
            if (!add_into(cells + k * CELL_BYTES, value)) return false;
        }
        for (int j = r.low; j <= r.high; ++j) {
            std::fill_n(terms_of(slot, j), n_levels_, 0);
            std::fill_n(rates(slot, j), n_levels_ + 1, 0);
        }
        r.pairs = 0;
        r.low = BINS;
        r.high = -1;
        return true;
    }

    char* acc_;
    size_t n_levels_, stride_;
    std::vector<size_t> slot_of_row_;
    std::vector<Row> rows_;          // by slot
    std::vector<uint64_t> counters_;  // stride_ per slot
};

// ---------------------------------------------------------------------------------------------
// Buffers

enum class Elem { Float64, Int64 };

const char* elem_name(Elem e) noexcept { return e == Elem::Float64 ? "float64" : "int64"; }

// A view of a caller's buffer of `Elem`s, released with the view.
class View : public gmms::frame::Buffer {
public:
    // Acquires `obj` as a buffer of `e`; accumulators must be C-contiguous, columns any stride.
    bool acquire(PyObject* obj, const char* name, Elem e, bool writable, bool contiguous) noexcept {
        int flags = PyBUF_FORMAT | PyBUF_STRIDES;
        if (writable) flags |= PyBUF_WRITABLE;
        if (!get(obj, flags)) {
            if (writable && PyErr_ExceptionMatches(PyExc_BufferError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ValueError, "%s: the accumulator must be writable", name);
            } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "%s: expected a buffer of %s, got %.200s", name, elem_name(e),
                             Py_TYPE(obj)->tp_name);
            }
            return false;
        }
        if (!gmms::frame::native_8_bytes(format(), itemsize(), e == Elem::Float64 ? "d" : "qln")) {
            PyErr_Format(PyExc_TypeError, "%s: expected %s elements, got format '%s' of %zd bytes", name,
                         elem_name(e), format(), itemsize());
            return false;
        }
        if (contiguous && !c_contiguous()) {
            PyErr_Format(PyExc_ValueError, "%s: the accumulator must be C-contiguous", name);
            return false;
        }
        return true;
    }
};

// ---------------------------------------------------------------------------------------------
// Argument checks

// `expected` lists the extents, -1 where any extent goes; `wording` says it for the message.
bool check_shape(const View& v, const char* name, std::initializer_list<Py_ssize_t> expected,
                 const char* wording) noexcept {
    bool ok = v.ndim() == static_cast<int>(expected.size());
    int axis = 0;
    for (Py_ssize_t extent : expected) {
        if (!ok) break;
        ok = extent < 0 || v.shape(axis) == extent;
        ++axis;
    }
    if (ok) return true;
    std::string found;
    for (int k = 0; k < v.ndim(); ++k) found += (k ? ", " : "") + std::to_string(v.shape(k));
    PyErr_Format(PyExc_ValueError, "%s: expected shape %s, got (%s)", name, wording, found.c_str());
    return false;
}

// An accumulator of any shape: its last axis holds the limbs.
bool has_limbs(const View& v, const char* name) noexcept {
    if (v.ndim() >= 1 && v.shape(v.ndim() - 1) == LIMBS) return true;
    PyErr_Format(PyExc_ValueError, "%s: expected an accumulator, whose last axis holds %d limbs", name, LIMBS);
    return false;
}

bool check_length(const View& v, const char* name, Py_ssize_t n, const char* what) noexcept {
    if (v.ndim() == 1 && v.shape(0) == n) return true;
    PyErr_Format(PyExc_ValueError, "%s: expected a one-dimensional array of %zd elements (%s)", name, n, what);
    return false;
}

bool check_truncation(double truncation) noexcept {
    if (truncation > 0) return true;  // also refuses NaN
    PyErr_Format(PyExc_ValueError, "truncation must be > 0 (math.inf for none), got %R",
                 Ref::steal(PyFloat_FromDouble(truncation)).get());
    return false;
}

// How the normal of ln IM is truncated at +-truncation standard deviations.
enum class Tails {
    Both,   // both tails cut off and the rest renormalised: P = (Q(z) - Q(n)) / (1 - 2 Q(n)) inside
    Upper,  // the upper tail only: P = max(0, (Q(z) - Q(n)) / (1 - Q(n)))
};

// The `tails` keyword: "both" (the default) or "upper".
bool read_tails(const char* name, Tails& tails) noexcept {
    if (name == nullptr || std::strcmp(name, "both") == 0) {
        tails = Tails::Both;
        return true;
    }
    if (std::strcmp(name, "upper") == 0) {
        tails = Tails::Upper;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "tails must be 'both' or 'upper', got '%s'", name);
    return false;
}

// Copies a short float64 array (levels, edges): finite and strictly increasing.
bool read_increasing(const View& v, const char* name, std::vector<double>& out) {
    const Py_ssize_t n = v.shape(0);
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double x = v.at<double>(i);
        if (!std::isfinite(x) || (i > 0 && !(x > out[static_cast<size_t>(i) - 1]))) {
            PyErr_Format(PyExc_ValueError, "%s must be finite and strictly increasing (element %zd)", name, i);
            return false;
        }
        out[static_cast<size_t>(i)] = x;
    }
    return true;
}

// The per-pair columns every kernel reads.
struct Pairs {
    Py_ssize_t n = 0;
    View rows, mu, sigma, rate;
};

bool acquire_pairs(Pairs& p, PyObject* rows, PyObject* mu, PyObject* sigma, PyObject* rate) noexcept {
    if (!p.rows.acquire(rows, "rows", Elem::Int64, false, false)) return false;
    if (p.rows.ndim() != 1) {
        PyErr_SetString(PyExc_ValueError, "rows: expected a one-dimensional array");
        return false;
    }
    p.n = p.rows.shape(0);
    return p.mu.acquire(mu, "mu", Elem::Float64, false, false) && check_length(p.mu, "mu", p.n, "one per pair") &&
           p.sigma.acquire(sigma, "sigma", Elem::Float64, false, false) &&
           check_length(p.sigma, "sigma", p.n, "one per pair") &&
           p.rate.acquire(rate, "rate", Elem::Float64, false, false) &&
           check_length(p.rate, "rate", p.n, "one per pair");
}

bool refuse_pair(const char* column, Py_ssize_t i, double value, const char* rule) noexcept {
    PyErr_Format(PyExc_ValueError, "%s[%zd] = %R: %s", column, i, Ref::steal(PyFloat_FromDouble(value)).get(), rule);
    return false;
}

bool check_index(const View& v, const char* column, Py_ssize_t i, Py_ssize_t n) noexcept {
    const auto index = v.at<int64_t>(i);
    if (index >= 0 && index < n) return true;
    PyErr_Format(PyExc_ValueError, "%s[%zd] = %lld is outside 0..%zd", column, i, static_cast<long long>(index),
                 n - 1);
    return false;
}

// Every pair's row, mean, sigma and rate, before anything is added.
bool check_pairs(const Pairs& p, Py_ssize_t n_rows) noexcept {
    constexpr double rate_limit = 0x1p63;
    for (Py_ssize_t i = 0; i < p.n; ++i) {
        if (!check_index(p.rows, "rows", i, n_rows)) return false;
        const double mu = p.mu.at<double>(i), sigma = p.sigma.at<double>(i), rate = p.rate.at<double>(i);
        if (!std::isfinite(mu)) return refuse_pair("mu", i, mu, "must be finite");
        if (!(std::isfinite(sigma) && sigma >= 0)) return refuse_pair("sigma", i, sigma, "must be finite and >= 0");
        if (!(std::isfinite(rate) && rate >= 0)) return refuse_pair("rate", i, rate, "must be finite and >= 0");
        if (rate >= rate_limit) {
            PyErr_Format(PyExc_OverflowError, "rate[%zd] is beyond the accumulator's range (2**63)", i);
            return false;
        }
    }
    return true;
}

// How a kernel loop ended. The loops run without the interpreter lock and so raise nothing
// themselves; `raise` turns their outcome into the interpreter's error afterwards.
enum class Status { Ok, Overflow, Changed, NoMemory };

// Runs `work` without the interpreter lock: the kernels touch only the views they hold.
template <class F>
bool without_gil(F work) noexcept {
    PyThreadState* state = PyEval_SaveThread();
    const Status status = work();
    PyEval_RestoreThread(state);
    if (status == Status::Overflow)
        PyErr_SetString(PyExc_OverflowError, "a sum left the accumulator's range (|x| < 2**63)");
    else if (status == Status::Changed)
        PyErr_SetString(PyExc_ValueError, "the arguments' arrays changed during the call");
    else if (status == Status::NoMemory)
        PyErr_NoMemory();
    return status == Status::Ok;
}

// ---------------------------------------------------------------------------------------------
// The kernels

// The exceedance probability P(ln IM > level) of a pair at levels z standard deviations from its
// mean, from Q(z) = P(Z > z) of gmms/normal_tail.hpp.
struct Tail {
    Tail(double truncation, Tails tails) noexcept
        : q_trunc(std::isfinite(truncation) ? normal_tail::upper_tail(std::min(truncation, normal_tail::REACH)) : 0.0),
          mass(1.0 - (tails == Tails::Both ? 2.0 * q_trunc : q_trunc)),
          below_z(tails == Tails::Both ? -std::min(truncation, ONE_BELOW) : -ONE_BELOW),
          above_z(std::min(truncation, normal_tail::REACH)) {}

    // Q(z) rounds to 1 from -ONE_BELOW down (1 - Q(9) = 1 - 1.1e-19), and so does P under either
    // rule (under Upper it is then (1 - Q(n)) / (1 - Q(n)); under Both Q(n) is below 2^-54, or the
    // truncation cuts first): the term is the rate itself.
    static constexpr double ONE_BELOW = 9.0;
    // From NO_TERM z up a term is below the grid for any rate < 2^MAX_EXPONENT (Q(19) = 1.2e-80,
    // and P <= 2 Q(z)), so exceedance stops there.
    static constexpr double NO_TERM = 19.0;

    // The level in standard deviations from the mean; a step (sigma == 0) is -inf below the
    // mean and +inf from the mean up.
    static double z(double log_level, double mu, double sigma) noexcept {
        constexpr double inf = std::numeric_limits<double>::infinity();
        if (sigma == 0) return mu > log_level ? -inf : inf;
        return (log_level - mu) / sigma;
    }

    // p[k] = P at z[k], each strictly between below_z and above_z, clamped to [0, 1]. Untruncated,
    // q_trunc = 0 and mass = 1 would leave Q as it is. A truncation so narrow that Q(n) rounds to
    // 1/2 leaves "both" no mass: P is then 0 (not the NaN of 0 / 0) between -n and n.
    void inside(const double* z, double* p, size_t n) const noexcept {
        if (q_trunc == 0 && mass == 1) {
            normal_tail::upper_tail(z, p, n);
        } else {
            const double q_n = q_trunc, m = mass;
            normal_tail::upper_tail(z, p, n, [=](double q) {
                const double renormalised = (q - q_n) / m;
                return renormalised > 0 ? (renormalised < 1 ? renormalised : 1.0) : 0.0;
            });
        }
    }

    // P at one z of any value.
    double probability(double z) const noexcept {
        if (z <= below_z) return 1.0;
        if (!(z < above_z)) return z >= above_z ? 0.0 : z;  // and NaN stays NaN
        double p;
        inside(&z, &p, 1);
        return p;
    }

    // What a pair of rate `rate` adds at a level `z` sigmas from its mean.
    double term(double z, double rate) const noexcept { return z <= below_z ? rate : rate * probability(z); }

    double q_trunc, mass;
    double below_z;  // z <= below_z: P = 1
    double above_z;  // z >= above_z: P = 0
};

// Where exceedance puts its terms: the accumulator, exactly, through binned sums. (bench/
// hazard_kernel.py runs the same loop with a sink of doubles to measure what exactness costs.)
using ExactSink = BinnedSums;

// How many levels have z = (level - mu) / sigma <= bound (`inclusive`) or < bound. z rises with
// the level (subtraction and division by sigma > 0 are monotone), so these levels are a run from
// the first: first guessed as if the levels were evenly spaced (they often are: geometric in IM),
// then settled among the levels up to mu + bound sigma, without dividing, and last on the z the
// kernels compute (the two differ only within rounding of the boundary). Any guess gives the
// same count.
size_t levels_up_to(const std::vector<double>& levels, double mu, double sigma, double bound, bool inclusive) noexcept {
    const size_t n = levels.size();
    if (n == 0) return 0;
    const double threshold = mu + bound * sigma;
    const double guess =
        n > 1 ? (threshold - levels.front()) / (levels.back() - levels.front()) * static_cast<double>(n - 1) : 0.0;
    size_t k = guess >= 0 ? (guess < static_cast<double>(n) ? static_cast<size_t>(guess) : n) : 0;
    while (k < n && levels[k] <= threshold) ++k;
    while (k > 0 && levels[k - 1] > threshold) --k;
    const auto within = [&](size_t at) {
        const double z = (levels[at] - mu) / sigma;
        return inclusive ? z <= bound : z < bound;
    };
    while (k > 0 && !within(k - 1)) --k;
    while (k < n && within(k)) ++k;
    return k;
}

// sink[row, k] += rate * P(ln IM > log_levels[k]) for every pair: the rate itself for the levels
// at or below below_z (a run from level 0), the tail for those within, nothing from the first at or
// above min(above_z, NO_TERM) on. The tails of many pairs are computed together, in batches.
template <class Sink>
Status exceedance_loop(const Pairs& p, const std::vector<double>& log_levels, const Tail& tail, Sink& sink,
                       Py_ssize_t n_rows) noexcept {
    constexpr size_t BATCH = 1024;   // levels within the pairs' windows whose tails are computed at once
    constexpr size_t CHUNK = 65536;  // pairs put in order of their rows' blocks at once
    struct Window {
        size_t row;
        double rate;
        size_t below, offset, n;  // the pair's levels [below, below + n) at z[offset ...]
    };
    const size_t n_levels = log_levels.size();
    const double last_z = std::min(tail.above_z, Tail::NO_TERM);
    // Pairs go in blocks of rows whose sums fit a core's cache together, each block's pairs in their
    // order, so that rows met at random do not send every pair to main memory.
    const size_t block_rows = std::max<size_t>(1, Sink::CACHE_BYTES / sink.row_bytes());
    const size_t n_blocks = (static_cast<size_t>(n_rows) + block_rows - 1) / block_rows;
    try {
        std::vector<double> z(BATCH + n_levels), terms(BATCH + n_levels);
        std::vector<Window> windows;
        std::vector<uint32_t> blocks, order, starts;
        if (n_blocks > 1) {
            blocks.resize(CHUNK);
            order.resize(CHUNK);
            starts.resize(n_blocks + 1);
        }
        size_t used = 0;
        const auto flush = [&] {
            tail.inside(z.data(), terms.data(), used);
            for (const Window& w : windows)
                if (!sink.add(w.row, w.rate, w.below, w.below, terms.data() + w.offset, w.n)) return false;
            windows.clear();
            used = 0;
            return true;
        };
        // One pair; false if the arrays changed since they were checked (another thread may write
        // them meanwhile: everything is read again and checked again).
        Status status = Status::Ok;
        const auto pair = [&](Py_ssize_t i) {
            const double rate = p.rate.at<double>(i);
            if (rate == 0) return true;
            const auto row = p.rows.at<int64_t>(i);
            const double mu = p.mu.at<double>(i), sigma = p.sigma.at<double>(i);
            if (row < 0 || row >= n_rows || !(rate > 0 && rate < 0x1p63) || !std::isfinite(mu) ||
                !(sigma >= 0 && sigma < std::numeric_limits<double>::infinity())) {
                status = Status::Changed;
                return false;
            }
            // The window: from the first level above below_z to the last below last_z.
            size_t below = 0, n = 0;
            if (sigma == 0) {
                while (below < n_levels && log_levels[below] < mu) ++below;
            } else {
                below = levels_up_to(log_levels, mu, sigma, tail.below_z, true);
                n = std::max(below, levels_up_to(log_levels, mu, sigma, last_z, false)) - below;
                for (size_t k = 0; k < n; ++k) z[used + k] = (log_levels[below + k] - mu) / sigma;
            }
            if (n == 0) {
                if (below > 0 && !sink.add(static_cast<size_t>(row), rate, below, below, terms.data(), 0)) {
                    status = Status::Overflow;
                    return false;
                }
                return true;
            }
            windows.push_back({static_cast<size_t>(row), rate, below, used, n});
            used += n;
            if (used >= BATCH && !flush()) {
                status = Status::Overflow;
                return false;
            }
            return true;
        };
        for (Py_ssize_t first = 0; first < p.n; first += static_cast<Py_ssize_t>(CHUNK)) {
            const auto count = static_cast<size_t>(std::min<Py_ssize_t>(p.n - first, static_cast<Py_ssize_t>(CHUNK)));
            if (n_blocks <= 1) {
                for (size_t i = 0; i < count; ++i)
                    if (!pair(first + static_cast<Py_ssize_t>(i))) return status;
                continue;
            }
            // A counting sort by block, each pair's block read once (a row out of range goes last, to
            // be refused in turn; a row changed since it was read is refused by `pair`).
            std::fill(starts.begin(), starts.end(), 0);
            for (size_t i = 0; i < count; ++i) {
                const auto row = p.rows.at<int64_t>(first + static_cast<Py_ssize_t>(i));
                blocks[i] = static_cast<uint32_t>(row >= 0 && row < n_rows ? static_cast<size_t>(row) / block_rows
                                                                           : n_blocks - 1);
                ++starts[blocks[i] + 1];
            }
            for (size_t b = 1; b <= n_blocks; ++b) starts[b] += starts[b - 1];
            for (size_t i = 0; i < count; ++i) order[starts[blocks[i]]++] = static_cast<uint32_t>(i);
            for (size_t i = 0; i < count; ++i)
                if (!pair(first + static_cast<Py_ssize_t>(order[i]))) return status;
        }
        if (!flush() || !sink.finish()) return Status::Overflow;
        return Status::Ok;
    } catch (const std::bad_alloc&) {
        return Status::NoMemory;
    }
}

struct DisaggColumns {
    View bins, mag, dist;
};

enum Moment { MOMENT_RATE, MOMENT_M, MOMENT_R, MOMENT_EPS, N_MOMENTS };

Status disaggregate_loop(const Pairs& p, const DisaggColumns& d, const std::vector<double>& log_levels,
                       const std::vector<double>& eps_edges, const Tail& tail, char* cells, char* moments,
                       Py_ssize_t n_bins) noexcept {
    const auto n_rows = static_cast<Py_ssize_t>(log_levels.size());
    const auto n_eps = static_cast<Py_ssize_t>(eps_edges.size()) - 1;
    for (Py_ssize_t i = 0; i < p.n; ++i) {
        const double rate = p.rate.at<double>(i);
        if (rate == 0) continue;
        const auto row = p.rows.at<int64_t>(i);
        const auto bin = d.bins.at<int64_t>(i);
        if (row < 0 || row >= n_rows || bin < 0 || bin >= n_bins) return Status::Changed;
        const double log_level = log_levels[static_cast<size_t>(row)];
        if (std::isnan(log_level)) continue;
        const double mu = p.mu.at<double>(i), sigma = p.sigma.at<double>(i);
        const double eps = Tail::z(log_level, mu, sigma);
        const double c = tail.term(eps, rate);
        if (c == 0) continue;
        const auto upper = std::upper_bound(eps_edges.begin(), eps_edges.end(), eps) - eps_edges.begin();
        const Py_ssize_t eps_bin = std::clamp<Py_ssize_t>(upper - 1, 0, n_eps - 1);
        const double weighted[N_MOMENTS] = {c, c * d.mag.at<double>(i), c * d.dist.at<double>(i),
                                            std::isfinite(eps) ? c * eps : 0.0};
        const auto cell = (static_cast<size_t>(row) * static_cast<size_t>(n_bins) + static_cast<size_t>(bin)) *
                              static_cast<size_t>(n_eps) + static_cast<size_t>(eps_bin);
        Fixed fixed;
        if (!to_fixed(c, fixed) || !add_into(cells + cell * CELL_BYTES, fixed)) return Status::Overflow;
        char* row_moments = moments + static_cast<size_t>(row) * N_MOMENTS * CELL_BYTES;
        for (int m = 0; m < N_MOMENTS; ++m)
            if (!to_fixed(weighted[m], fixed) || !add_into(row_moments + m * CELL_BYTES, fixed))
                return Status::Overflow;
    }
    return Status::Ok;
}

// ---------------------------------------------------------------------------------------------
// The module's functions


// A new C-ordered float64 array shaped as the first `ndim` axes of `like`.
Ref empty_doubles(const View& like, int ndim) noexcept {
    Ref shape = Ref::steal(PyTuple_New(ndim));
    if (!shape) return shape;
    for (int axis = 0; axis < ndim; ++axis) {
        PyObject* extent = PyLong_FromSsize_t(like.shape(axis));
        if (!extent) return Ref();
        PyTuple_SET_ITEM(shape.get(), axis, extent);
    }
    Ref np = import_numpy();
    if (!np) return np;
    return Ref::steal(PyObject_CallMethod(np.get(), "empty", "Os", shape.get(), "float64"));
}

PyObject* py_zeros(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"shape", nullptr};
    PyObject* shape = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:zeros", const_cast<char**>(keywords), &shape)) return nullptr;
    Ref dims = PyIndex_Check(shape) ? Ref::steal(PyTuple_Pack(1, shape)) : Ref::steal(PySequence_Tuple(shape));
    if (!dims) return nullptr;
    Ref limbs = Ref::steal(Py_BuildValue("(i)", LIMBS));
    if (!limbs) return nullptr;
    Ref full = Ref::steal(PySequence_Concat(dims.get(), limbs.get()));
    Ref np = import_numpy();
    if (!full || !np) return nullptr;
    return PyObject_CallMethod(np.get(), "zeros", "Os", full.get(), "int64");
}

PyObject* py_merge(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"dst", "src", nullptr};
        PyObject *dst_obj = nullptr, *src_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:merge", const_cast<char**>(keywords), &dst_obj, &src_obj))
            return nullptr;
        View dst, src;
        if (!dst.acquire(dst_obj, "dst", Elem::Int64, true, true) || !has_limbs(dst, "dst") ||
            !src.acquire(src_obj, "src", Elem::Int64, false, false))
            return nullptr;
        bool same = dst.ndim() == src.ndim();
        for (int axis = 0; same && axis < dst.ndim(); ++axis) same = dst.shape(axis) == src.shape(axis);
        if (!same) {
            PyErr_SetString(PyExc_ValueError, "merge: dst and src must have the same shape, the last axis of LIMBS");
            return nullptr;
        }
        const auto n = static_cast<size_t>(dst.len()) / CELL_BYTES;
        // A src that is not C-contiguous, or that overlaps dst other than exactly, is copied
        // first, so that the check below sees the values that are then added.
        std::vector<char> copy;
        const char* from = src.c_order(copy);
        if (!from) return nullptr;
        const bool overlap = src.data() < dst.data() + dst.len() && dst.data() < src.data() + src.len();
        if (overlap && from != dst.data() && copy.empty()) {
            copy.assign(src.data(), src.data() + src.len());
            from = copy.data();
        }
        // Checked in full before the first write, so that an overflow leaves dst as it was.
        const bool ok = without_gil([&] {
            Fixed sum;
            for (size_t i = 0; i < n; ++i)
                if (!add_fixed(load(dst.data() + i * CELL_BYTES), load(from + i * CELL_BYTES), sum)) return Status::Overflow;
            for (size_t i = 0; i < n; ++i) {
                if (!add_fixed(load(dst.data() + i * CELL_BYTES), load(from + i * CELL_BYTES), sum)) return Status::Changed;
                store(dst.data() + i * CELL_BYTES, sum);
            }
            return Status::Ok;
        });
        if (!ok) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* py_to_double(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"acc", nullptr};
        PyObject* acc_obj = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:to_double", const_cast<char**>(keywords), &acc_obj))
            return nullptr;
        View acc;
        if (!acc.acquire(acc_obj, "acc", Elem::Int64, false, false) || !has_limbs(acc, "acc")) return nullptr;
        std::vector<char> copy;
        const char* cells = acc.c_order(copy);
        if (!cells) return nullptr;
        Ref out = empty_doubles(acc, acc.ndim() - 1);
        if (!out) return nullptr;
        {
            View result;
            if (!result.acquire(out.get(), "result", Elem::Float64, true, true)) return nullptr;
            const auto n = static_cast<size_t>(acc.len()) / CELL_BYTES;
            if (static_cast<size_t>(result.len()) != n * sizeof(double)) {
                PyErr_SetString(PyExc_SystemError, "to_double: numpy.empty gave an array of another size");
                return nullptr;
            }
            for (size_t i = 0; i < n; ++i) {
                const double v = to_double(load(cells + i * CELL_BYTES));
                std::memcpy(result.data() + i * sizeof v, &v, sizeof v);
            }
        }
        return out.release();
    });
}

PyObject* py_exceedance(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"acc", "rows", "mu", "sigma", "rate", "log_levels", "truncation", "tails",
                                         nullptr};
        PyObject *acc_obj = nullptr, *rows = nullptr, *mu = nullptr, *sigma = nullptr, *rate = nullptr,
                 *levels_obj = nullptr;
        double truncation = 0;
        const char* tails_name = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOd|$s:exceedance", const_cast<char**>(keywords),
                                         &acc_obj, &rows, &mu, &sigma, &rate, &levels_obj, &truncation, &tails_name))
            return nullptr;
        View acc, levels;
        Pairs pairs;
        std::vector<double> log_levels;
        Tails tails{};
        if (!acc.acquire(acc_obj, "acc", Elem::Int64, true, true) || !check_shape(acc, "acc", {-1, -1, LIMBS}, "(n_rows, n_levels, LIMBS)") ||
            !acquire_pairs(pairs, rows, mu, sigma, rate) ||
            !levels.acquire(levels_obj, "log_levels", Elem::Float64, false, false) ||
            !check_length(levels, "log_levels", acc.shape(1), "one per level of acc") ||
            !read_increasing(levels, "log_levels", log_levels) || !check_truncation(truncation) ||
            !read_tails(tails_name, tails) || !check_pairs(pairs, acc.shape(0)))
            return nullptr;
        const Tail tail(truncation, tails);
        ExactSink sink(acc.data(), static_cast<size_t>(acc.shape(0)), log_levels.size(), static_cast<size_t>(pairs.n));
        if (!without_gil([&] { return exceedance_loop(pairs, log_levels, tail, sink, acc.shape(0)); })) return nullptr;
        Py_RETURN_NONE;
    });
}

// The exceedance probability at each z, as the kernels compute it.
PyObject* py_tail(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"z", "truncation", "tails", nullptr};
        PyObject* z_obj = nullptr;
        double truncation = 0;
        const char* tails_name = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Od|$s:tail", const_cast<char**>(keywords), &z_obj,
                                         &truncation, &tails_name))
            return nullptr;
        View z;
        Tails tails{};
        if (!z.acquire(z_obj, "z", Elem::Float64, false, false) || !check_truncation(truncation) ||
            !read_tails(tails_name, tails))
            return nullptr;
        std::vector<char> copy;
        const char* values = z.c_order(copy);
        if (!values) return nullptr;
        Ref out = empty_doubles(z, z.ndim());
        if (!out) return nullptr;
        View result;
        if (!result.acquire(out.get(), "result", Elem::Float64, true, true)) return nullptr;
        if (result.len() != z.len()) {
            PyErr_SetString(PyExc_SystemError, "tail: numpy.empty gave an array of another size");
            return nullptr;
        }
        const Tail tail(truncation, tails);
        const auto n = static_cast<size_t>(z.len()) / sizeof(double);
        for (size_t i = 0; i < n; ++i) {
            double value;
            std::memcpy(&value, values + i * sizeof value, sizeof value);
            value = tail.probability(value);
            std::memcpy(result.data() + i * sizeof value, &value, sizeof value);
        }
        return out.release();
    });
}

// The level of each row: finite, or NaN for a row that is skipped.
bool read_row_levels(const View& v, std::vector<double>& out) {
    const Py_ssize_t n = v.shape(0);
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double x = v.at<double>(i);
        if (std::isinf(x)) return refuse_pair("log_levels", i, x, "must be finite, or NaN to skip the row");
        out[static_cast<size_t>(i)] = x;
    }
    return true;
}

bool check_disagg_columns(const DisaggColumns& d, Py_ssize_t n_pairs, Py_ssize_t n_bins) noexcept {
    for (Py_ssize_t i = 0; i < n_pairs; ++i) {
        if (!check_index(d.bins, "bins", i, n_bins)) return false;
        const double mag = d.mag.at<double>(i), dist = d.dist.at<double>(i);
        if (!std::isfinite(mag)) return refuse_pair("mag", i, mag, "must be finite");
        if (!std::isfinite(dist)) return refuse_pair("dist", i, dist, "must be finite");
    }
    return true;
}

PyObject* py_disaggregate(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"cells", "moments", "rows", "bins", "mu", "sigma", "rate", "mag", "dist",
                                         "log_levels", "truncation", "eps_edges", "tails", nullptr};
        PyObject *cells_obj = nullptr, *moments_obj = nullptr, *rows = nullptr, *bins = nullptr, *mu = nullptr,
                 *sigma = nullptr, *rate = nullptr, *mag = nullptr, *dist = nullptr, *levels_obj = nullptr,
                 *edges_obj = nullptr;
        double truncation = 0;
        const char* tails_name = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOOdO|$s:disaggregate", const_cast<char**>(keywords),
                                         &cells_obj, &moments_obj, &rows, &bins, &mu, &sigma, &rate, &mag, &dist,
                                         &levels_obj, &truncation, &edges_obj, &tails_name))
            return nullptr;
        View cells, moments, levels, edges;
        Pairs pairs;
        DisaggColumns d;
        std::vector<double> log_levels, eps_edges;
        Tails tails{};
        if (!cells.acquire(cells_obj, "cells", Elem::Int64, true, true) ||
            !check_shape(cells, "cells", {-1, -1, -1, LIMBS}, "(n_rows, n_bins, n_eps, LIMBS)") ||
            !moments.acquire(moments_obj, "moments", Elem::Int64, true, true) ||
            !check_shape(moments, "moments", {cells.shape(0), N_MOMENTS, LIMBS}, "(n_rows of cells, N_MOMENTS, LIMBS)") ||
            !acquire_pairs(pairs, rows, mu, sigma, rate) ||
            !d.bins.acquire(bins, "bins", Elem::Int64, false, false) ||
            !check_length(d.bins, "bins", pairs.n, "one per pair") ||
            !d.mag.acquire(mag, "mag", Elem::Float64, false, false) ||
            !check_length(d.mag, "mag", pairs.n, "one per pair") ||
            !d.dist.acquire(dist, "dist", Elem::Float64, false, false) ||
            !check_length(d.dist, "dist", pairs.n, "one per pair") ||
            !levels.acquire(levels_obj, "log_levels", Elem::Float64, false, false) ||
            !check_length(levels, "log_levels", cells.shape(0), "one per row of cells") ||
            !read_row_levels(levels, log_levels) || !check_truncation(truncation) || !read_tails(tails_name, tails) ||
            !edges.acquire(edges_obj, "eps_edges", Elem::Float64, false, false) ||
            !check_length(edges, "eps_edges", cells.shape(2) + 1, "one more than the epsilon bins of cells") ||
            !read_increasing(edges, "eps_edges", eps_edges) || !check_pairs(pairs, cells.shape(0)) ||
            !check_disagg_columns(d, pairs.n, cells.shape(1)))
            return nullptr;
        const Tail tail(truncation, tails);
        const Py_ssize_t n_bins = cells.shape(1);
        if (!without_gil([&] {
                return disaggregate_loop(pairs, d, log_levels, eps_edges, tail, cells.data(), moments.data(), n_bins);
            }))
            return nullptr;
        Py_RETURN_NONE;
    });
}

// ---------------------------------------------------------------------------------------------
// The module

#define GMMS_SIGNATURE(name, params) name "($module, " params ")\n--\n\n"

PyMethodDef methods[] = {
    {"zeros", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_zeros)), METH_VARARGS | METH_KEYWORDS,
     GMMS_SIGNATURE("zeros", "shape") "A zero accumulator: numpy.zeros(shape + (LIMBS,), int64)."},
    {"merge", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_merge)), METH_VARARGS | METH_KEYWORDS,
     GMMS_SIGNATURE("merge", "dst, src")
     "dst += src exactly, elementwise (same shapes). On OverflowError dst is unchanged."},
    {"to_double", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_to_double)),
     METH_VARARGS | METH_KEYWORDS,
     GMMS_SIGNATURE("to_double", "acc")
     "The accumulator's values as float64, shape acc.shape[:-1], correctly rounded (ties to even)."},
    {"exceedance", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_exceedance)),
     METH_VARARGS | METH_KEYWORDS,
     GMMS_SIGNATURE("exceedance", "acc, rows, mu, sigma, rate, log_levels, truncation, *, tails='both'")
     "acc[rows[i], k] += rate[i] * P(ln IM > log_levels[k]) for every pair i and level k.\n\n"
     "ln IM is normal with mean mu[i] and standard deviation sigma[i] (0: a step, exceeded below the\n"
     "mean), truncated at truncation sigmas (math.inf: untruncated): tails='both' cuts off both tails\n"
     "and renormalises, tails='upper' the upper one only. acc has shape (n_rows, n_levels, LIMBS)."},
    {"disaggregate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_disaggregate)),
     METH_VARARGS | METH_KEYWORDS,
     GMMS_SIGNATURE("disaggregate", "cells, moments, rows, bins, mu, sigma, rate, mag, dist, log_levels, truncation, "
                                    "eps_edges, *, tails='both'")
     "Splits each pair's c = rate * P(ln IM > log_levels[row]) by bin and epsilon.\n\n"
     "cells[row, bin, j] += c, with j the bin of eps = (log_levels[row] - mu) / sigma in eps_edges\n"
     "(clamped to the outer bins); moments[row] += (c, c*mag, c*dist, c*eps). A NaN level skips its row.\n"
     "truncation and tails as for exceedance."},
    {"tail", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_tail)), METH_VARARGS | METH_KEYWORDS,
     GMMS_SIGNATURE("tail", "z, truncation, *, tails='both'")
     "P(Z > z) for each z, Z standard normal truncated as in exceedance: the kernels' own numbers.\n\n"
     "Untruncated, Q(z) = erfc(z / sqrt 2) / 2 within 1 ulp of its correctly rounded value."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
    if (PyModule_AddIntConstant(module, "LIMBS", LIMBS) < 0) return -1;
    if (PyModule_AddIntConstant(module, "LSB_EXPONENT", LSB_EXPONENT) < 0) return -1;
    if (PyModule_AddIntConstant(module, "MAX_EXPONENT", MAX_EXPONENT) < 0) return -1;
    if (PyModule_AddIntConstant(module, "N_MOMENTS", N_MOMENTS) < 0) return -1;
    if (PyModule_AddIntConstant(module, "MOMENT_RATE", MOMENT_RATE) < 0) return -1;
    if (PyModule_AddIntConstant(module, "MOMENT_M", MOMENT_M) < 0) return -1;
    if (PyModule_AddIntConstant(module, "MOMENT_R", MOMENT_R) < 0) return -1;
    if (PyModule_AddIntConstant(module, "MOMENT_EPS", MOMENT_EPS) < 0) return -1;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_hazard",
    "The exceedance kernel of seismic hazard and its exact, order-independent accumulator.\n\n"
    "An accumulator is an int64 array of shape (..., LIMBS): one 256-bit two's-complement integer per\n"
    "element, limb 0 least significant, in units of 2**LSB_EXPONENT; |value| < 2**MAX_EXPONENT. Terms are\n"
    "truncated toward zero to that grid and added exactly, so sums do not depend on order or grouping.\n\n"
    "exceedance adds per-pair curves into acc (n_rows, n_levels, LIMBS). disaggregate splits each pair's\n"
    "contribution at its row's level into cells (n_rows, n_bins, n_eps, LIMBS), with bins the caller's\n"
    "M x R bin per pair, and adds the moments (n_rows, N_MOMENTS, LIMBS): MOMENT_RATE sum c, MOMENT_M\n"
    "sum c*mag, MOMENT_R sum c*dist, MOMENT_EPS sum c*eps.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

// The interpreter looks for PyInit_ followed by the module's name, and that name starts with an
// underscore (a module the package uses, not one for users), hence the double underscore.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
PyMODINIT_FUNC PyInit__hazard(void) { return PyModuleDef_Init(&module_def); }
