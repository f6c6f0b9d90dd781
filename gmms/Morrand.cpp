// Morrand: ground-motion model for the standardized CAV (CAVdp), built on the CAV model of the
// sibling module Dovecar.
//
//   per site   Dovecar.get_mu_cy(0, ..., 1100.0, ...)  ln of the reference-rock motion -> A_1100
//              Dovecar.get_alpha_cy(Vs30, A_1100)       nonlinear site factor alpha
//   mean       get_mu_cy   ln CAVdp = c0 + c1 * y + cM * (M - 6.5) * H + cR * R_rup,
//                          y = Dovecar.get_mu_cy(1, ...), the site's mean ln CAV
//   phi, tau   get_phi_cy, get_tau_cy   by CAVgmType (recorded or model-based CAV) and PSVcheck
//
// Units: natural logarithm of CAVdp; distances and depths in km; Vs30 in m/s.
#include <cmath>
#include <optional>

#include "frame/frame.hpp"

namespace {

namespace frame = gmms::frame;

frame::Global Dovecar("Dovecar");
frame::Name get_mu_cy_name("get_mu_cy");
frame::Name get_alpha_cy_name("get_alpha_cy");

// ---------------------------------------------------------------------------------------------
// Coefficients of the mean, by PSVcheck (compared with 1 only)

struct MeanCoefficients {
    double c0, c1, cM, cR;
};
constexpr MeanCoefficients kPsvChecked = {.c0 = 0.0072, .c1 = 1.115, .cM = -0.067, .cR = -0.0033};
constexpr MeanCoefficients kPsvUnchecked = {.c0 = 0.0152, .c1 = 1.105, .cM = -0.044, .cR = -0.00369};

constexpr double kHingeMagnitude = 6.5;
constexpr double kVs30RefMps = 1100.0;

// Standard deviations: fixed values for recorded CAV; for model-based CAV a weighted sum whose
// weight w is 0, so that only s and t remain for every finite alpha.
constexpr double kPhiRecordedChecked = 0.147, kPhiRecordedUnchecked = 0.131, kTauRecorded = 0.115;
constexpr double kSChecked = 0.439, kSUnchecked = 0.43;
constexpr double kTChecked = 0.247, kTUnchecked = 0.245;
constexpr double kW = 0.0;
constexpr double kSigma0 = 0.3, kSigmaA = 0.478, kSigmaB = 0.371, kRho = 0.735, kTauLnCav = 0.196;

// ---------------------------------------------------------------------------------------------
// Model functions

// The arguments of Dovecar.get_mu_cy, shared by its two calls of a site and by the sites of a call.
using DovecarMuArgs = frame::SiblingArgs<11>;

// Calls Dovecar.get_mu_cy(selector, M, fdip, fZtor, R_JB, R_rup, R_x, Vs30, Z2p5, fnm, frv).
bool dovecar_mu(DovecarMuArgs& args, long selector, double M, double fdip, double fZtor, double R_JB, double R_rup,
                double R_x, double Vs30, double Z2p5, int fnm, int frv, double& out) {
    return args.set(selector, M, fdip, fZtor, R_JB, R_rup, R_x, Vs30, Z2p5, fnm, frv) &&
           frame::call_for_double(Dovecar, get_mu_cy_name, args, out);
}

// Mean of ln CAVdp at one site; false with the error of its Dovecar call. Z1p0 is not used.
bool get_mu_cy(DovecarMuArgs& dovecar_args, int PSVcheck, double M, double fdip, double fZtor, double R_JB,
               double R_rup, double R_x, double Vs30, double /*Z1p0*/, double Z2p5, int fnm, int frv, double& mean) {
    double y;
    if (!dovecar_mu(dovecar_args, 1, M, fdip, fZtor, R_JB, R_rup, R_x, Vs30, Z2p5, fnm, frv, y)) return false;
    const MeanCoefficients& k = PSVcheck == 1 ? kPsvChecked : kPsvUnchecked;
    const double H = M >= kHingeMagnitude ? 1.0 : 0.0;
    const double a = ((M - kHingeMagnitude) * k.cM) * H;
    const double b = y * k.c1 + k.c0;
    mean = (a + b) + R_rup * k.cR;
    return true;
}

// Within-event standard deviation; nothing for a CAVgmType other than 0 and 1.
std::optional<double> get_phi_cy(int CAVgmType, int PSVcheck, double alpha) {
    if (CAVgmType == 0) return PSVcheck == 1 ? kPhiRecordedChecked : kPhiRecordedUnchecked;
    if (CAVgmType != 1) return std::nullopt;
    const double s = PSVcheck == 1 ? kSChecked : kSUnchecked;
    const double s_a = std::sqrt(kSigmaA * kSigmaA - kSigma0 * kSigma0);
    const double s_b = std::sqrt(kSigmaB * kSigmaB - kSigma0 * kSigma0);
    const double V = (kSigma0 * kSigma0 + s_b * s_b) + s_a * s_a * (alpha * alpha) +
                     2.0 * alpha * kRho * s_b * s_a;
    return std::sqrt(kW * kW * V + s * s);
}

// Between-event standard deviation; nothing for a CAVgmType other than 0 and 1.
std::optional<double> get_tau_cy(int CAVgmType, int PSVcheck) {
    if (CAVgmType == 0) return kTauRecorded;
    if (CAVgmType != 1) return std::nullopt;
    const double t = PSVcheck == 1 ? kTChecked : kTUnchecked;
    return std::sqrt(kTauLnCav * kTauLnCav * (kW * kW) + t * t);
}

// ---------------------------------------------------------------------------------------------
// Entry function

struct Morrand {
    static constexpr const char* name = "Morrand";
    static constexpr const char* file = __FILE__;
    static constexpr int entry_line = __LINE__;
    static constexpr const char* doc = " Ground motion model by Morrand et al. (2021) for CAVdp. \n";
    static constexpr const char* author = "Teodor Vell";
    static constexpr frame::EntryDoc entry_doc = {
        .parameters =
            "M: Earthquake magnitude.\n"
            "fdip: Fault dip in deg.\n"
            "fZtor: Depth to top of fault rupture in km.\n"
            "R_JB: Joyner-Boore distance in km.\n"
            "R_rup: Rupture distance in km.\n"
            "R_x: Rx distance in km.\n"
            "Vs30: Site Vs30. \n"
            "Z1p0: Depth to Vs = 1 km/s.\n"
            "Z2p5: Depth to Vs = 2.5 km/s.\n"
            "fnm: '1' for normal/normal-oblique fault, '0' otherwise.\n"
            "frv: '1' for reverse/reverse-oblique fault, '0' otherwise.\n"
            "CAVgm_type: 0 for recorded, and 1 for gmm-based.\n"
            "PSV_check: 0 for no check, and 1 for yes.\n",
        .returns = "CAVdp mean, phi, tau.\n",
    };
    static constexpr frame::Import imports[] = {
        {"numpy", nullptr, "np"},
        {"Dovecar", nullptr, "Dovecar"},
    };
    static constexpr int n_scratch = 2;  // A_1100, alpha

    struct Args {
        double M, fdip, fZtor;
        frame::SiteArray R_JB, R_rup, R_x, Vs30, Z1p0, Z2p5;
        int fnm, frv, CAVgmType, PSVcheck;
    };
    static constexpr frame::Param<Args> params[] = {
        {"M", &Args::M},         {"fdip", &Args::fdip}, {"fZtor", &Args::fZtor},         {"R_JB", &Args::R_JB},
        {"R_rup", &Args::R_rup}, {"R_x", &Args::R_x},   {"Vs30", &Args::Vs30},           {"Z1p0", &Args::Z1p0},
        {"Z2p5", &Args::Z2p5},   {"fnm", &Args::fnm},   {"frv", &Args::frv},             {"CAVgmType", &Args::CAVgmType},
        {"PSVcheck", &Args::PSVcheck},
    };

    static bool intern() { return Dovecar.intern() && get_mu_cy_name.intern() && get_alpha_cy_name.intern(); }

    static bool run(const Args& a, frame::Work<n_scratch>& w, frame::Failure& failure) {
        const frame::SiteArray& A_1100 = w.scratch[0];
        const frame::SiteArray& alpha = w.scratch[1];
        DovecarMuArgs mu_args;
        frame::SiblingArgs<2> alpha_args;
        for (Py_ssize_t i = 0; i < w.n_sites; ++i) {
            double y0;
            if (!dovecar_mu(mu_args, 0, a.M, a.fdip, a.fZtor, a.R_JB[i], a.R_rup[i], a.R_x[i], kVs30RefMps,
                            a.Z2p5[i], a.fnm, a.frv, y0))
                return frame::fail(failure);
            A_1100.set(i, std::exp(y0));

            double alpha_i;
            if (!alpha_args.set(a.Vs30[i], A_1100[i]) ||
                !frame::call_for_double(Dovecar, get_alpha_cy_name, alpha_args, alpha_i))
                return frame::fail(failure);
            alpha.set(i, alpha_i);

            double mean;
            if (!get_mu_cy(mu_args, a.PSVcheck, a.M, a.fdip, a.fZtor, a.R_JB[i], a.R_rup[i], a.R_x[i], a.Vs30[i],
                           a.Z1p0[i], a.Z2p5[i], a.fnm, a.frv, mean))
                return frame::fail(failure, "get_mu_cy");
            w.mu.set(i, mean);

            const std::optional<double> phi = get_phi_cy(a.CAVgmType, a.PSVcheck, alpha[i]);
            if (!phi) return frame::raise_none_as_float(), frame::fail(failure);
            w.phi.set(i, *phi);
            const std::optional<double> tau = get_tau_cy(a.CAVgmType, a.PSVcheck);
            if (!tau) return frame::raise_none_as_float(), frame::fail(failure);
            w.tau.set(i, *tau);
        }
        return true;
    }
};

}  // namespace

GMMS_MODULE(Morrand)
