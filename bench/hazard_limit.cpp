// For bench/hazard_kernel.py: gmms._hazard's exceedance loop with a sink of plain doubles
// (cell += term) in place of the exact accumulator, to measure what exactness costs.
//
// Built as a plain shared library that the benchmark loads with ctypes.PyDLL (the interpreter lock
// held, the arrays passed as objects). The module's own translation unit is included, so the
// argument checks, the loop and the tail are the module's, compiled with the same flags; only the
// sink differs.
#include "_hazard.cpp"

namespace {

// cell += term in doubles, in the loop's order.
class DoubleSink {
public:
    DoubleSink(char* acc, size_t n_levels) noexcept : acc_(acc), n_levels_(n_levels) {}
    bool add(size_t row, double rate, size_t below, size_t first, const double* p, size_t n) noexcept {
        double* cells = reinterpret_cast<double*>(acc_) + row * n_levels_;
        for (size_t k = 0; k < below; ++k) cells[k] += rate;
        for (size_t k = 0; k < n; ++k) cells[first + k] += rate * p[k];
        return true;
    }
    static bool finish() noexcept { return true; }
    static constexpr size_t CACHE_BYTES = size_t{256} * 1024;
    size_t row_bytes() const noexcept { return n_levels_ * sizeof(double); }

private:
    char* acc_;
    size_t n_levels_;
};

}  // namespace

extern "C" {

// acc: float64 (n_rows, n_levels), C-contiguous; the other arguments as for _hazard.exceedance.
// Returns 0, or -1 with the interpreter's error set.
int hazard_double_sum(PyObject* acc_obj, PyObject* rows, PyObject* mu, PyObject* sigma, PyObject* rate,
                      PyObject* levels_obj, double truncation) {
    try {
        View acc, levels;
        Pairs pairs;
        std::vector<double> log_levels;
        if (!acc.acquire(acc_obj, "acc", Elem::Float64, true, true) || !check_shape(acc, "acc", {-1, -1}, "2-D") ||
            !acquire_pairs(pairs, rows, mu, sigma, rate) ||
            !levels.acquire(levels_obj, "log_levels", Elem::Float64, false, false) ||
            !check_length(levels, "log_levels", acc.shape(1), "one per level") ||
            !read_increasing(levels, "log_levels", log_levels) || !check_truncation(truncation) ||
            !check_pairs(pairs, acc.shape(0)))
            return -1;
        const Tail tail(truncation, Tails::Both);
        DoubleSink sink(acc.data(), log_levels.size());
        return without_gil([&] { return exceedance_loop(pairs, log_levels, tail, sink, acc.shape(0)); }) ? 0 : -1;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

}  // extern "C"

