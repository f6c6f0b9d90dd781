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
// by less than 1.6e-58, far below anything a rate or a disaggregation share can resolve.
//
// Sections: the fixed-point numbers; buffers; argument checks; the kernels; the module.
//
// Conventions as in the model frame: a function that can fail returns false (or an empty Ref)
// with the interpreter's error set; owned references and buffer views are RAII objects, so an
// error path is a plain return; nothing throws across the C API (entry points are noexcept and
// turn std::bad_alloc into MemoryError).

#include "frame/frame.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <numbers>
#include <string>
#include <vector>

namespace {

using gmms::frame::Ref;

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

// The hot path of exceedance: a non-negative term is at most 53 bits wide, so it occupies two
// adjacent limbs, and adding it touches those two and a carry that rarely goes further.
struct Term {
    int limb = 0;      // the lower of its two limbs
    uint64_t low = 0;  // its bits in that limb
    uint64_t high = 0; // and in the next (0 when `limb` is the top one)
};

// x >= 0 on the grid, truncated; false for a NaN, an infinity or x >= 2**63.
bool to_term(double x, Term& t) noexcept {
    t = {};
    const auto bits = std::bit_cast<uint64_t>(x);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    if ((bits >> 63) != 0 || biased == 0x7ff) return x == 0;  // -0.0 is fine
    if (biased == 0) return true;
    const uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    const int shift = biased - 1075 - LSB_EXPONENT;
    if (shift + 52 >= TOP_BIT) return false;
    if (shift <= -53) return true;
    if (shift < 0) {
        t.low = mantissa >> -shift;
    } else {
        t.limb = shift / 64;
        const int offset = shift % 64;
        t.low = mantissa << offset;
        // The bits that pass the limb's top, without a branch (a shift by 64 would be undefined):
        // none when offset <= 11.
        t.high = (mantissa >> 1) >> (63 - offset);
    }
    return true;
}

uint64_t load_limb(const char* cell, int k) noexcept {
    uint64_t v;
    std::memcpy(&v, cell + k * sizeof v, sizeof v);
    return v;
}
void store_limb(char* cell, int k, uint64_t v) noexcept { std::memcpy(cell + k * sizeof v, &v, sizeof v); }

// cell += t, exactly; false if a non-negative sum passes 2**63 (the cell then holds the wrapped
// sum). Only the term's two limbs are read and written, and the limbs above while a carry runs:
// about half the time of a whole four-limb addition.
bool add_term(char* cell, const Term& t) noexcept {
    const uint64_t top_before = load_limb(cell, LIMBS - 1);
    int k = t.limb;
    const uint64_t low = load_limb(cell, k) + t.low;
    store_limb(cell, k, low);
    if (++k < LIMBS) {
        const uint64_t addend = t.high + (low < t.low ? 1 : 0);  // no wrap: t.high < 2**53
        const uint64_t high = load_limb(cell, k) + addend;
        store_limb(cell, k, high);
        bool carry = high < addend;
        for (++k; carry && k < LIMBS; ++k) {
            const uint64_t old = load_limb(cell, k);
            store_limb(cell, k, old + 1);
            carry = old == std::numeric_limits<uint64_t>::max();
        }
    }
    // A non-negative term cannot take a negative sum out of range; a non-negative sum that turns
    // negative has passed 2**63.
    return (top_before >> 63) != 0 || (load_limb(cell, LIMBS - 1) >> 63) == 0;
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
// Buffers

enum class Elem { Float64, Int64 };

const char* elem_name(Elem e) noexcept { return e == Elem::Float64 ? "float64" : "int64"; }

// Whether a struct-module format describes `e` in this machine's byte order.
bool format_matches(const char* format, Py_ssize_t itemsize, Elem e) noexcept {
    if (!format) format = "B";
    const char order = format[0];
    const bool native_little = std::endian::native == std::endian::little;
    if (order == '<' || order == '>' || order == '!') {
        if ((order == '<') != native_little) return false;
        ++format;
    } else if (order == '@' || order == '=') {
        ++format;
    }
    if (itemsize != 8 || format[0] == '\0' || format[1] != '\0') return false;
    return e == Elem::Float64 ? format[0] == 'd' : (format[0] == 'q' || format[0] == 'l' || format[0] == 'n');
}

// A view of a caller's buffer, released with the view.
class View {
public:
    View() noexcept = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Acquires `obj` as a buffer of `e`; accumulators must be C-contiguous, columns any stride.
    bool acquire(PyObject* obj, const char* name, Elem e, bool writable, bool contiguous) noexcept {
        int flags = PyBUF_FORMAT | PyBUF_STRIDES;
        if (writable) flags |= PyBUF_WRITABLE;
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) {
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
        held_ = true;
        if (!format_matches(view_.format, view_.itemsize, e)) {
            PyErr_Format(PyExc_TypeError, "%s: expected %s elements, got format '%s' of %zd bytes", name,
                         elem_name(e), view_.format ? view_.format : "B", view_.itemsize);
            return false;
        }
        if (contiguous && !PyBuffer_IsContiguous(&view_, 'C')) {
            PyErr_Format(PyExc_ValueError, "%s: the accumulator must be C-contiguous", name);
            return false;
        }
        return true;
    }

    // The elements in C order: the buffer itself, or a copy of it in `copy`.
    const char* c_order(std::vector<char>& copy) {
        if (PyBuffer_IsContiguous(&view_, 'C')) return data();
        copy.resize(static_cast<size_t>(view_.len));
        if (PyBuffer_ToContiguous(copy.data(), &view_, view_.len, 'C') < 0) return nullptr;
        return copy.data();
    }

    int ndim() const noexcept { return view_.ndim; }
    Py_ssize_t shape(int axis) const noexcept { return view_.shape[axis]; }
    Py_ssize_t len() const noexcept { return view_.len; }
    char* data() const noexcept { return static_cast<char*>(view_.buf); }

    // Element i of a one-dimensional view (no bounds check; memcpy since it may be unaligned).
    template <class T>
    T at(Py_ssize_t i) const noexcept {
        T v;
        std::memcpy(&v, data() + i * view_.strides[0], sizeof v);
        return v;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
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
enum class Status { Ok, Overflow, Changed };

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
    return status == Status::Ok;
}

// ---------------------------------------------------------------------------------------------
// The kernels

// The exceedance probability of one pair at one level, from the truncated normal of ln IM.
struct Tail {
    explicit Tail(double truncation) noexcept
        : truncated(std::isfinite(truncation)),
          // Beyond 40 sigma the double tail is exactly 0 or 1 (erfc underflows to 0 or gives 2),
          // so cutting there changes no bit and saves the tail of the untruncated case.
          cut(std::min(truncation, 40.0)),
          q_trunc(truncated ? q(truncation) : 0.0),
          mass(1.0 - 2.0 * q_trunc) {}

    static double q(double z) noexcept { return 0.5 * std::erfc(z / std::numbers::sqrt2); }

    // The level in standard deviations from the mean; a step (sigma == 0) is -inf below the
    // mean and +inf from the mean up.
    static double z(double log_level, double mu, double sigma) noexcept {
        constexpr double inf = std::numeric_limits<double>::infinity();
        if (sigma == 0) return mu > log_level ? -inf : inf;
        return (log_level - mu) / sigma;
    }
    bool below(double z) const noexcept { return z <= -cut; }  // P = 1: the term is the rate
    bool above(double z) const noexcept { return z >= cut; }   // P = 0: no term

    // P for a z neither below nor above.
    double inside(double z) const noexcept {
        const double p = truncated ? (q(z) - q_trunc) / mass : q(z);
        return std::clamp(p, 0.0, 1.0);
    }

    // What a pair of rate `rate` adds at a level `z` sigmas from its mean.
    double term(double z, double rate) const noexcept {
        return below(z) ? rate : above(z) ? 0.0 : rate * inside(z);
    }

    bool truncated;
    double cut, q_trunc, mass;
};

// Where exceedance puts its terms: the accumulator's cells, exactly. (bench/hazard_kernel.py
// runs the same loop with a sink of doubles to measure what exactness costs.)
class FixedSink {
public:
    FixedSink(char* acc, size_t n_levels) noexcept : acc_(acc), n_levels_(n_levels) {}

    // The row of the next pair's terms, and its rate; false if the rate changed since the check.
    bool start(size_t row, double rate) noexcept {
        cells_ = acc_ + row * n_levels_ * CELL_BYTES;
        return to_term(rate, rate_);
    }
    // The pair's rate at levels 0 .. count - 1.
    bool below(size_t count) noexcept {
        for (size_t k = 0; k < count; ++k)
            if (!add_term(cells_ + k * CELL_BYTES, rate_)) return false;
        return true;
    }
    bool add(size_t level, double term) noexcept {
        Term t;
        return to_term(term, t) && add_term(cells_ + level * CELL_BYTES, t);
    }
private:
    char* acc_;
    size_t n_levels_;
    char* cells_ = nullptr;
    Term rate_{};
};

// sink[row, k] += rate * P(ln IM > log_levels[k]) for every pair: the rate itself for the levels
// below the truncation, the tail for those within it, and nothing from the first level above it on
// (the levels increase, so does z).
template <class Sink>
Status exceedance_loop(const Pairs& p, const std::vector<double>& log_levels, const Tail& tail, Sink& sink,
                       Py_ssize_t n_rows) noexcept {
    const size_t n_levels = log_levels.size();
    for (Py_ssize_t i = 0; i < p.n; ++i) {
        const double rate = p.rate.at<double>(i);
        if (rate == 0) continue;
        // Read again and checked again: another thread may write the caller's arrays meanwhile.
        const auto row = p.rows.at<int64_t>(i);
        if (row < 0 || row >= n_rows) return Status::Changed;
        const double mu = p.mu.at<double>(i), sigma = p.sigma.at<double>(i);
        if (!sink.start(static_cast<size_t>(row), rate)) return Status::Changed;
        size_t k = 0;
        while (k < n_levels && tail.below(Tail::z(log_levels[k], mu, sigma))) ++k;
        if (!sink.below(k)) return Status::Overflow;
        for (; k < n_levels; ++k) {
            const double z = Tail::z(log_levels[k], mu, sigma);
            if (tail.above(z)) break;
            if (!sink.add(k, rate * tail.inside(z))) return Status::Overflow;
        }
    }
    return Status::Ok;
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

// Runs an entry point's body, turning a failed allocation into MemoryError.
template <class F>
PyObject* guarded(F body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

Ref import_numpy() noexcept { return Ref::steal(PyImport_ImportModule("numpy")); }

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
        Ref shape = Ref::steal(PyTuple_New(acc.ndim() - 1));
        if (!shape) return nullptr;
        for (int axis = 0; axis + 1 < acc.ndim(); ++axis) {
            PyObject* extent = PyLong_FromSsize_t(acc.shape(axis));
            if (!extent) return nullptr;
            PyTuple_SET_ITEM(shape.get(), axis, extent);
        }
        Ref np = import_numpy();
        if (!np) return nullptr;
        Ref out = Ref::steal(PyObject_CallMethod(np.get(), "empty", "Os", shape.get(), "float64"));
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
        static const char* keywords[] = {"acc", "rows", "mu", "sigma", "rate", "log_levels", "truncation", nullptr};
        PyObject *acc_obj = nullptr, *rows = nullptr, *mu = nullptr, *sigma = nullptr, *rate = nullptr,
                 *levels_obj = nullptr;
        double truncation = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOd:exceedance", const_cast<char**>(keywords), &acc_obj,
                                         &rows, &mu, &sigma, &rate, &levels_obj, &truncation))
            return nullptr;
        View acc, levels;
        Pairs pairs;
        std::vector<double> log_levels;
        if (!acc.acquire(acc_obj, "acc", Elem::Int64, true, true) || !check_shape(acc, "acc", {-1, -1, LIMBS}, "(n_rows, n_levels, LIMBS)") ||
            !acquire_pairs(pairs, rows, mu, sigma, rate) ||
            !levels.acquire(levels_obj, "log_levels", Elem::Float64, false, false) ||
            !check_length(levels, "log_levels", acc.shape(1), "one per level of acc") ||
            !read_increasing(levels, "log_levels", log_levels) || !check_truncation(truncation) ||
            !check_pairs(pairs, acc.shape(0)))
            return nullptr;
        const Tail tail(truncation);
        FixedSink sink(acc.data(), log_levels.size());
        if (!without_gil([&] { return exceedance_loop(pairs, log_levels, tail, sink, acc.shape(0)); })) return nullptr;
        Py_RETURN_NONE;
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
                                         "log_levels", "truncation", "eps_edges", nullptr};
        PyObject *cells_obj = nullptr, *moments_obj = nullptr, *rows = nullptr, *bins = nullptr, *mu = nullptr,
                 *sigma = nullptr, *rate = nullptr, *mag = nullptr, *dist = nullptr, *levels_obj = nullptr,
                 *edges_obj = nullptr;
        double truncation = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOOdO:disaggregate", const_cast<char**>(keywords),
                                         &cells_obj, &moments_obj, &rows, &bins, &mu, &sigma, &rate, &mag, &dist,
                                         &levels_obj, &truncation, &edges_obj))
            return nullptr;
        View cells, moments, levels, edges;
        Pairs pairs;
        DisaggColumns d;
        std::vector<double> log_levels, eps_edges;
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
            !read_row_levels(levels, log_levels) || !check_truncation(truncation) ||
            !edges.acquire(edges_obj, "eps_edges", Elem::Float64, false, false) ||
            !check_length(edges, "eps_edges", cells.shape(2) + 1, "one more than the epsilon bins of cells") ||
            !read_increasing(edges, "eps_edges", eps_edges) || !check_pairs(pairs, cells.shape(0)) ||
            !check_disagg_columns(d, pairs.n, cells.shape(1)))
            return nullptr;
        const Tail tail(truncation);
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
     GMMS_SIGNATURE("exceedance", "acc, rows, mu, sigma, rate, log_levels, truncation")
     "acc[rows[i], k] += rate[i] * P(ln IM > log_levels[k]) for every pair i and level k.\n\n"
     "ln IM is normal with mean mu[i] and standard deviation sigma[i], truncated at +-truncation\n"
     "sigmas and renormalised (math.inf: untruncated). acc has shape (n_rows, n_levels, LIMBS)."},
    {"disaggregate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_disaggregate)),
     METH_VARARGS | METH_KEYWORDS,
     GMMS_SIGNATURE("disaggregate", "cells, moments, rows, bins, mu, sigma, rate, mag, dist, log_levels, truncation, "
                                    "eps_edges")
     "Splits each pair's c = rate * P(ln IM > log_levels[row]) by bin and epsilon.\n\n"
     "cells[row, bin, j] += c, with j the bin of eps = (log_levels[row] - mu) / sigma in eps_edges\n"
     "(clamped to the outer bins); moments[row] += (c, c*mag, c*dist, c*eps). A NaN level skips its row."},
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
