// The machine limit for Tarvik: its per-site loop in C++ with no interpreter involved.
//
// Built as a plain shared library (not a Python module) that bench/run.py loads with ctypes, so
// that the limit is timed in the same process, on the same arrays and interleaved with the
// interpreter-level calls. The model's own translation unit is included, so the loop below runs
// the very coefficient sets, arc-side test and get_mu_cy of the module, compiled with the same
// flags; nothing of the model is copied here.
#include <chrono>
#include <cstdlib>

#include "Tarvik.cpp"

namespace {

// One evaluation of a scenario over n contiguous sites: the arc side once, then per site the
// mean and the two constants, as the module's run() does through its views.
void evaluate(const Coefficients& k, double M, double hypo_lat, double hypo_lon, double hypo_depth,
              const double* R_rup, const double* Vs30, long n, int fins, int fint, int fnm, int frv, double* mu,
              double* phi, double* tau) {
    const ArcSide arc = get_arc_loc_cy(hypo_lat, hypo_lon);
    for (long i = 0; i < n; ++i) {
        mu[i] = get_mu_cy(k, M, hypo_depth, R_rup[i], Vs30[i], arc.ffore, arc.fback, fins, fint, fnm, frv);
        phi[i] = k.phi;
        tau[i] = k.tau;
    }
}

}  // namespace

extern "C" {

// Times `samples` samples of `inner` evaluations each and stores the seconds per evaluation of
// every sample in seconds[]. With fresh != 0 every evaluation allocates its three outputs zeroed
// (calloc, as numpy's zeros does) and frees them, as a call of the module must; otherwise it
// writes into mu, phi and tau, which stay warm in the caches. One more evaluation, untimed, leaves
// the results in mu, phi and tau. Returns 0, or -1 for an IM without coefficients or a failed
// allocation.
int tarvik_limit(int IM, double M, double hypo_lat, double hypo_lon, double hypo_depth, const double* R_rup,
                 const double* Vs30, long n, int fins, int fint, int fnm, int frv, double* mu, double* phi,
                 double* tau, int fresh, long inner, int samples, double* seconds) {
    const Coefficients* k = coefficients_for(IM);
    if (!k) return -1;
    const size_t count = n > 0 ? static_cast<size_t>(n) : 1;
    for (int s = 0; s < samples; ++s) {
        const auto start = std::chrono::steady_clock::now();
        for (long r = 0; r < inner; ++r) {
            if (!fresh) {
                evaluate(*k, M, hypo_lat, hypo_lon, hypo_depth, R_rup, Vs30, n, fins, fint, fnm, frv, mu, phi, tau);
                continue;
            }
            auto* m = static_cast<double*>(std::calloc(count, sizeof(double)));
            auto* p = static_cast<double*>(std::calloc(count, sizeof(double)));
            auto* t = static_cast<double*>(std::calloc(count, sizeof(double)));
            if (!m || !p || !t) return std::free(m), std::free(p), std::free(t), -1;
            evaluate(*k, M, hypo_lat, hypo_lon, hypo_depth, R_rup, Vs30, n, fins, fint, fnm, frv, m, p, t);
            std::free(m);
            std::free(p);
            std::free(t);
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        seconds[s] = elapsed.count() / static_cast<double>(inner);
    }
    evaluate(*k, M, hypo_lat, hypo_lon, hypo_depth, R_rup, Vs30, n, fins, fint, fnm, frv, mu, phi, tau);
    return 0;
}

}  // extern "C"
