// Tarvik: ground-motion model for Arias intensity (IM 0) and CAV (IM 1) of subduction-zone and
// crustal earthquakes.
//
//   mean     get_mu_cy        closed form in M, R_rup (with pseudo-depth h), hypocentral depth,
//                             event-type and faulting flags, Vs30; anelastic term chosen by arc side
//   arc side get_arc_loc_cy   strict point-in-polygon test of the hypocentre against the backarc
//                             polygon, once per call
//   phi, tau                  constants per IM
//
// Units: natural logarithms of the intensity measures; distances and depths in km; Vs30 in m/s.
#include <cmath>

#include "frame/frame.hpp"

namespace {

namespace frame = gmms::frame;

// ---------------------------------------------------------------------------------------------
// Coefficients

struct Coefficients {
    double c0, c1, c2, c3, h, c4, c5, c6, c7, c8, c9, c10, c11;
    double phi, tau;
};

constexpr Coefficients kIa = {
    .c0 = 3.056224, .c1 = 2.639315, .c2 = -2.352244, .c3 = -0.080591, .h = 12.682338,
    .c4 = 0.009653, .c5 = -0.001436, .c6 = -0.006374, .c7 = 1.869827, .c8 = 1.639023,
    .c9 = 1.856785, .c10 = 0.573052, .c11 = -1.030608, .phi = 1.035, .tau = 0.9015};
constexpr Coefficients kCav = {
    .c0 = 2.643261, .c1 = 1.60688,  .c2 = -0.754765, .c3 = -0.072283, .h = 12.626135,
    .c4 = 0.003811, .c5 = -0.00059,  .c6 = -0.002767, .c7 = 0.877694, .c8 = 0.822831,
    .c9 = 0.918286, .c10 = 0.286527, .c11 = -0.65776,  .phi = 0.49,  .tau = 0.4114};

constexpr double kMagnitudeRef = 5.0;
constexpr double kDepthThresholdKm = 30.0;
constexpr double kVs30RefMps = 1100.0;

const Coefficients* coefficients_for(int IM) {
    if (IM == 0) return &kIa;
    if (IM == 1) return &kCav;
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Mean of ln(IM) at one site. The order of evaluation fixes the last bit; squares are plain
// products (a power with exponent 2 is exactly x * x, and a run-time pow may differ in the last bit).

double get_mu_cy(const Coefficients& k, double M, double hypo_depth, double R_rup, double Vs30, int ffore,
                 int fback, int fins, int fint, int fnm, int frv) {
    const double R2 = k.h * k.h + R_rup * R_rup;
    const double L = std::log(std::sqrt(R2));
    double S = L * (k.c3 * M + k.c2) + ((M - kMagnitudeRef) * k.c1 + k.c0);
    const double D = std::fmax(hypo_depth - kDepthThresholdKm, 0.0);
    S = S + (D * k.c4 + (fback * k.c6 + ffore * k.c5) * R_rup);
    const double F = ((fint * k.c8 + fins * k.c7) + frv * k.c10) + fnm * k.c9;
    S = S + F;
    const double V = std::log(Vs30 / kVs30RefMps) * k.c11;
    return V + S;
}

// ---------------------------------------------------------------------------------------------
// Arc side: the backarc polygon, (longitude, latitude) in degrees, counter-clockwise, closed.

constexpr int kRing = 50;
constexpr double kArcLon[kRing] = {
    147.0777923, 150.1155649, 153.715191,  149.8283212, 114.0231292, 121.3748207, 125.7824353,
    127.1678612, 129.7868373, 129.8424854, 130.5254764, 130.9213526, 130.9667855, 131.5974992,
    131.7631234, 132.0491377, 137.2849268, 138.1554838, 138.3532866, 138.9145833, 139.5017784,
    139.7139014, 139.9509957, 140.3328265, 140.4766196, 140.8062929, 140.8994366, 140.9138458,
    140.9319158, 141.0155034, 141.0471475, 141.0655764, 141.164649,  141.1113146, 141.2269001,
    141.4874362, 141.7938255, 142.097868,  142.3806856, 142.7870678, 143.0922912, 143.5186725,
    143.9243411, 144.1509098, 144.3736708, 145.2255306, 145.8458331, 146.5058656, 147.0804238,
    147.0777923};
constexpr double kArcLat[kRing] = {
    44.54928084, 45.94757299, 48.41645565, 50.1970842,  44.06079242, 26.99925918, 26.15702014,
    27.20073396, 29.87585092, 29.9897597,  30.96859286, 31.977676,   32.7566247,  33.26338696,
    33.40597398, 34.64826527, 35.90546185, 36.30798631, 36.4376539,  36.45663279, 36.58422099,
    36.7567189,  37.0497487,  37.53364026, 37.91648909, 38.74967624, 39.03135054, 39.20718386,
    39.29564995, 39.56379066, 39.89703578, 40.37143077, 40.59907844, 40.73468826, 41.45114975,
    43.03663806, 43.02558574, 43.0232214,  43.10818802, 43.13640394, 43.18293361, 43.24243307,
    43.33814962, 43.37320904, 43.49759091, 43.73033601, 43.93993635, 44.25417222, 44.55763457,
    44.54928084};
constexpr double kLonMin = 114.0231292, kLonMax = 153.715191;
constexpr double kLatMin = 26.15702014, kLatMax = 50.1970842;

// The exact rounding error x * y - p of the product p = x * y, by Veltkamp's split and Dekker's
// product. It equals std::fma(x, y, -p), but some C runtimes (MinGW-w64's) implement fma in
// software without correct rounding; this needs only round-to-nearest and no contraction. Exact
// here: the factors are differences of coordinates, never overflow and stay far from underflow.
double two_product_error(double x, double y, double p) {
    constexpr double kSplitter = 134217729.0;  // 2^27 + 1
    const double cx = kSplitter * x, x_hi = cx - (cx - x), x_lo = x - x_hi;
    const double cy = kSplitter * y, y_hi = cy - (cy - y), y_lo = y - y_hi;
    return ((x_hi * y_hi - p) + x_hi * y_lo + x_lo * y_hi) + x_lo * y_lo;
}

// Exact sign of the orientation determinant (p2 - p1) x (q - p2): +1 when q lies left of the
// directed edge p1->p2, -1 right, 0 on its line. All points lie inside the polygon's bounding box,
// where any two longitudes (or latitudes) are within a factor 2 of each other, so every difference
// below is exact (Sterbenz); the products are split exactly (two_product) and the four terms summed
// as a floating-point expansion, whose largest component carries the sign.
int orientation(double p1x, double p1y, double p2x, double p2y, double qx, double qy) {
    const double dx1 = p2x - p1x, dy1 = p2y - p1y, dx2 = qx - p2x, dy2 = qy - p2y;
    const double a = dx1 * dy2, a_err = two_product_error(dx1, dy2, a);
    const double b = dy1 * dx2, b_err = two_product_error(dy1, dx2, b);
    const double terms[4] = {a_err, -b_err, a, -b};
    double expansion[4];
    int n = 0;
    for (double t : terms) {  // grow the expansion by one term, keeping components exact
        double q = t;
        int m = 0;
        for (int j = 0; j < n; ++j) {
            const double sum = q + expansion[j];
            const double bv = sum - q;
            const double err = (q - (sum - bv)) + (expansion[j] - bv);
            q = sum;
            if (err != 0.0) expansion[m++] = err;
        }
        if (q != 0.0) expansion[m++] = q;
        n = m;
    }
    if (n == 0) return 0;
    return expansion[n - 1] > 0.0 ? 1 : -1;
}

// True when (lon, lat) lies strictly inside the backarc polygon. Ray crossing to the east with
// edges half-open at their upper end; a point on an edge or a vertex is on the boundary, hence
// not inside. Most edges do not reach the point's latitude and cost two comparisons.
bool in_backarc(double lon, double lat) {
    if (!(lon >= kLonMin && lon <= kLonMax && lat >= kLatMin && lat <= kLatMax)) return false;
    int crossings = 0;
    for (int k = 0; k + 1 < kRing; ++k) {
        const double x1 = kArcLon[k], y1 = kArcLat[k], x2 = kArcLon[k + 1], y2 = kArcLat[k + 1];
        if ((y1 > lat) == (y2 > lat)) {
            // Not crossing the point's latitude: the point can lie on this edge only at its end
            // vertex (its start vertex ends the previous edge) or along it when it is horizontal.
            if (y2 == lat && (x2 == lon || (y1 == lat && lon >= std::fmin(x1, x2) && lon <= std::fmax(x1, x2))))
                return false;
            continue;
        }
        if (x1 < lon && x2 < lon) continue;  // wholly west: the ray misses it
        if (x1 > lon && x2 > lon) {          // wholly east: the ray crosses it
            ++crossings;
            continue;
        }
        int sign = orientation(x1, y1, x2, y2, lon, lat);
        if (sign == 0) return false;
        if (y2 < y1) sign = -sign;
        if (sign > 0) ++crossings;
    }
    return (crossings % 2) == 1;
}

struct ArcSide {
    int ffore, fback;
};

ArcSide get_arc_loc_cy(double hypo_lat, double hypo_lon) {
    if (in_backarc(hypo_lon, hypo_lat)) return {0, 1};
    return {1, 0};
}

// ---------------------------------------------------------------------------------------------
// Entry function

struct Tarvik {
    static constexpr const char* name = "Tarvik";
    static constexpr const char* file = __FILE__;
    static constexpr int entry_line = __LINE__;
    static constexpr const char* doc = " Ground motion model by Tarvik et al. (2020) for Ia and CAV. \n";
    static constexpr const char* author = "Ilse Marrow";
    static constexpr frame::EntryDoc entry_doc = {
        .parameters =
            "IM: 0 for Ia, and 1 for CAV.\n"
            "M: Earthquake magnitude.\n"
            "hypo_lat: Hypocenter latitude\n"
            "hypo_lon: Hypocenter longitude\n"
            "hypo_depth: Hypocentral depth\n"
            "R_rup: Rupture distance in km.\n"
            "Vs30: Site Vs30.\n"
            "fins: 1 if inslab event, else 0.\n"
            "fint: 0 if interface or crustal \tevent, else 1.\n"
            "fnm: '1' for normal/normal-oblique fault, '0' otherwise.\n"
            "frv: '1' for reverse/reverse-oblique fault, '0' otherwise.\n",
        .returns = "mean, phi, tau for the selected IM.\n",
    };
    static constexpr frame::Import imports[] = {
        {"shapely.geometry", "Point", "Point"},
        {"shapely.geometry", "Polygon", "Polygon"},
        {"numpy", nullptr, "np"},
    };
    static constexpr int n_scratch = 0;

    struct Args {
        int IM;
        double M, hypo_lat, hypo_lon, hypo_depth;
        frame::SiteArray R_rup, Vs30;
        int fins, fint, fnm, frv;
    };
    static constexpr frame::Param<Args> params[] = {
        {"IM", &Args::IM},       {"M", &Args::M},         {"hypo_lat", &Args::hypo_lat},
        {"hypo_lon", &Args::hypo_lon}, {"hypo_depth", &Args::hypo_depth}, {"R_rup", &Args::R_rup},
        {"Vs30", &Args::Vs30},   {"fins", &Args::fins},   {"fint", &Args::fint},
        {"fnm", &Args::fnm},     {"frv", &Args::frv},
    };

    static bool run(const Args& a, frame::Work<n_scratch>& w, frame::Failure& failure) {
        const ArcSide arc = get_arc_loc_cy(a.hypo_lat, a.hypo_lon);
        const Coefficients* k = coefficients_for(a.IM);
        if (!k) {
            // No coefficients, no phi: the first site fails as a missing value would.
            if (w.n_sites > 0) return frame::raise_none_as_float(), frame::fail(failure);
            return true;
        }
        for (Py_ssize_t i = 0; i < w.n_sites; ++i) {
            w.mu.set(i, get_mu_cy(*k, a.M, a.hypo_depth, a.R_rup[i], a.Vs30[i], arc.ffore, arc.fback, a.fins,
                                  a.fint, a.fnm, a.frv));
            w.phi.set(i, k->phi);
            w.tau.set(i, k->tau);
        }
        return true;
    }
};

}  // namespace

GMMS_MODULE(Tarvik)
