// Sellwyn: ground-motion model for Arias intensity (IM 0) and CAV (IM 1) whose mean comes from the
// sibling module Brisquell in two stages, and whose own part is the standard deviations.
//
//   per site   Brisquell.get_mu_cy(2, ..., Vs30_R, Z2p5_R, 0.0, ...)   ln PGA on reference rock
//              Brisquell.get_mu_cy(IM, ..., Vs30, Z2p5, A_1100, ...)    ln IM at the site (the mean)
//   phi        get_phi_cy   magnitude taper of phi and rho, plus the nonlinear site term alpha
//   tau        get_tau_cy   magnitude taper of tau and rho, plus the nonlinear site term alpha
//
// Units: natural logarithms of the intensity measures; distances in km; Vs30 in m/s.
#include <cmath>

#include "frame/frame.hpp"

namespace {

namespace frame = gmms::frame;

frame::Global Brisquell("Brisquell");
frame::Name get_mu_cy_name("get_mu_cy");
frame::Name get_phi_cy_name("get_phi_cy");
frame::Name get_tau_cy_name("get_tau_cy");

// ---------------------------------------------------------------------------------------------
// Coefficients, by IM

struct Coefficients {
    double phi_1, phi_2, tau_1, tau_2, rho_1, rho_2, phi_af, k2;
};
constexpr Coefficients kIa = {.phi_1 = 1.174, .phi_2 = 0.809, .tau_1 = 0.614, .tau_2 = 0.435,
                              .rho_1 = 0.948, .rho_2 = 0.911, .phi_af = 0.616, .k2 = -1.982};
constexpr Coefficients kCav = {.phi_1 = 0.514, .phi_2 = 0.394, .tau_1 = 0.276, .tau_2 = 0.257,
                               .rho_1 = 0.842, .rho_2 = 0.78,  .phi_af = 0.3,   .k2 = -1.311};

constexpr double k1 = 400.0;  // Vs30 (m/s) below which the nonlinear term acts
constexpr double kC = 1.88;
constexpr double kN = 1.18;
constexpr double kTaperLow = 4.5, kTaperHigh = 5.5;

constexpr long kImPga = 2;
constexpr double kVs30RockMps = 1100.0;

const Coefficients& coefficients_for(int IM) { return IM == 0 ? kIa : kCav; }

// ---------------------------------------------------------------------------------------------
// Standard deviations

// p at or below M 4.5, q above M 5.5, linear in between.
double taper(double p, double q, double M) {
    if (M <= kTaperLow) return p;
    if (M <= kTaperHigh) return (p - q) * (kTaperHigh - M) + q;
    return q;
}

// Nonlinear site factor: the sensitivity of the site's ln IM to the rock PGA A_1100 (g).
// Reciprocals (powers with exponent -1) and squares (exponent 2) are written as 1 / x and x * x:
// the correctly rounded values, which compilers also fold those powers into. A run-time pow may
// differ from them in the last bit (glibc's does for about one argument in a thousand).
double site_alpha(const Coefficients& k, double Vs30, double A_1100) {
    if (!(Vs30 < k1)) return 0.0;
    return (1.0 / (A_1100 + kC * std::pow(Vs30 / k1, kN)) - 1.0 / (A_1100 + kC)) * (k.k2 * A_1100);
}

// The argument M of Brisquell.get_phi_cy and get_tau_cy: one float object serves every site.
using SigmaArgs = frame::SiblingArgs<1>;

bool brisquell_sigma(SigmaArgs& args, const frame::Name& function, double M, double& out) {
    return args.set(M) && frame::call_for_double(Brisquell, function, args, out);
}

bool get_phi_cy(SigmaArgs& sigma_args, int IM, double M, double Vs30, double A_1100, double& phi) {
    const Coefficients& k = coefficients_for(IM);
    const double phi_m = taper(k.phi_1, k.phi_2, M);
    const double rho = taper(k.rho_1, k.rho_2, M);
    const double phi_b = std::sqrt(phi_m * phi_m - k.phi_af * k.phi_af);
    const double alpha = site_alpha(k, Vs30, A_1100);
    double phi_pga;
    if (!brisquell_sigma(sigma_args, get_phi_cy_name, M, phi_pga)) return false;
    phi = std::sqrt(phi_b * phi_b + k.phi_af * k.phi_af + (alpha * alpha) * (phi_pga * phi_pga) +
                    2.0 * alpha * rho * phi_b * phi_pga);
    return true;
}

bool get_tau_cy(SigmaArgs& sigma_args, int IM, double M, double Vs30, double A_1100, double& tau) {
    const Coefficients& k = coefficients_for(IM);
    const double tau_m = taper(k.tau_1, k.tau_2, M);
    const double rho = taper(k.rho_1, k.rho_2, M);
    const double alpha = site_alpha(k, Vs30, A_1100);
    double tau_pga;
    if (!brisquell_sigma(sigma_args, get_tau_cy_name, M, tau_pga)) return false;
    tau = std::sqrt(tau_m * tau_m + (alpha * alpha) * (tau_pga * tau_pga) + 2.0 * alpha * rho * tau_m * tau_pga);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Entry function

struct Sellwyn {
    static constexpr const char* name = "Sellwyn";
    static constexpr const char* file = __FILE__;
    static constexpr int entry_line = __LINE__;
    static constexpr const char* doc = " Ground motion model by Sellwyn et al. (2022) for Ia and CAV . \n";
    static constexpr const char* author = "Maren Okoro";
    static constexpr frame::EntryDoc entry_doc = {
        .parameters =
            "IM: 0 for Ia, and 1 for CAV.\n"
            "M: Earthquake magnitude.\n"
            "fwidth: Fault width in km.\n"
            "fdip: Fault dip in deg.\n"
            "Z_hyp: Hypocentral depth in km.\n"
            "Z_tor: Depth to top of fault rupture in km.\n"
            "R_JB: Joyner-Boore distance in km.\n"
            "R_rup: Rupture distance in km.\n"
            "R_x: Rx distance in km.\n"
            "Vs30: Site Vs30. \n"
            "Z2p5: Depth to Vs = 2.5 km/s.\n"
            "fnm: 1 for normal/normal-oblique fault, 0 otherwise.\n"
            "frv: 1 for reverse/reverse-oblique fault, 0 otherwise.\n"
            "region: Earthquake country.\n",
        .returns = "mean, phi, tau for the selected IM.\n",
    };
    static constexpr frame::Import imports[] = {
        {"numpy", nullptr, "np"},
        {"Brisquell", nullptr, "Brisquell"},
    };
    static constexpr int n_scratch = 0;

    struct Args {
        int IM;
        double M, fwidth, fdip, Z_tor, Z_hyp;
        frame::SiteArray R_JB, R_rup, R_x, Vs30, Z2p5;
        int fnm, frv;
        PyObject* region;
    };
    static constexpr frame::Param<Args> params[] = {
        {"IM", &Args::IM},         {"M", &Args::M},         {"fwidth", &Args::fwidth}, {"fdip", &Args::fdip},
        {"Z_tor", &Args::Z_tor},   {"Z_hyp", &Args::Z_hyp}, {"R_JB", &Args::R_JB},     {"R_rup", &Args::R_rup},
        {"R_x", &Args::R_x},       {"Vs30", &Args::Vs30},   {"Z2p5", &Args::Z2p5},     {"fnm", &Args::fnm},
        {"frv", &Args::frv},       {"region", &Args::region},
    };

    static bool intern() {
        return Brisquell.intern() && get_mu_cy_name.intern() && get_phi_cy_name.intern() && get_tau_cy_name.intern();
    }

    // Coefficients exist for Ia and CAV only: refuse anything else before Brisquell is asked.
    static bool check(const Args& a) {
        if (a.IM == 0 || a.IM == 1) return true;
        PyErr_Format(PyExc_ValueError, "Sellwyn_cy() argument 'IM' must be 0 (Ia) or 1 (CAV), not %d", a.IM);
        return false;
    }

    static bool run(const Args& a, frame::Work<n_scratch>& w, frame::Failure& failure) {
        const double Vs30_R = kVs30RockMps;
        const double Z2p5_R = std::exp(7.089 - std::log(Vs30_R) * 1.144);
        // Argument objects shared between sites and between the two calls of a site (the rock
        // call and the site call differ in the selector and in the three site-condition slots).
        frame::SiblingArgs<15> mu_args;
        SigmaArgs sigma_args;
        for (Py_ssize_t i = 0; i < w.n_sites; ++i) {
            double mu_pga;
            if (!mu_args.set(kImPga, a.M, a.fwidth, a.fdip, a.Z_tor, a.Z_hyp, a.R_JB[i], a.R_rup[i], a.R_x[i], Vs30_R,
                             Z2p5_R, 0.0, a.fnm, a.frv, a.region) ||
                !frame::call_for_double(Brisquell, get_mu_cy_name, mu_args, mu_pga))
                return frame::fail(failure);

            double mean;
            if (!mu_args.set(a.IM, a.M, a.fwidth, a.fdip, a.Z_tor, a.Z_hyp, a.R_JB[i], a.R_rup[i], a.R_x[i],
                             a.Vs30[i], a.Z2p5[i], std::exp(mu_pga), a.fnm, a.frv, a.region) ||
                !frame::call_for_double(Brisquell, get_mu_cy_name, mu_args, mean))
                return frame::fail(failure);
            w.mu.set(i, mean);

            double phi, tau;
            if (!get_phi_cy(sigma_args, a.IM, a.M, a.Vs30[i], std::exp(mu_pga), phi))
                return frame::fail(failure, "get_phi_cy");
            w.phi.set(i, phi);
            if (!get_tau_cy(sigma_args, a.IM, a.M, a.Vs30[i], std::exp(mu_pga), tau))
                return frame::fail(failure, "get_tau_cy");
            w.tau.set(i, tau);
        }
        return true;
    }
};

}  // namespace

GMMS_MODULE(Sellwyn)
