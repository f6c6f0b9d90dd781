// gmms._geometry: distances from sites at the surface to planar rectangular ruptures, on a sphere.
//
// A rupture is a record of ten float64 values (RUPTURE_COLUMNS): the first corner of its top edge
// (lon0, lat0, degrees), the top edge's depth ztor (km, positive down), strike and dip (degrees),
// length and width (km), and the hypocentre (lon, lat, depth). The top edge is the great-circle
// arc that leaves the first corner at azimuth `strike` and runs `length` km on a sphere of radius
// EARTH_RADIUS. Every point of the top edge is joined to the bottom edge by a segment that goes
// down the dip (towards the right of the strike) `width` km: width*cos(dip) horizontally along
// the great circle perpendicular to the top edge there, and width*sin(dip) down. The distance
// between a site and a point at depth z is sqrt(g**2 + z**2), g the great-circle distance between
// the site and the point's epicentre: R_rup and R_JB are the least of these over the rectangle
// and over its surface projection, R_hypo and R_epi those to the hypocentre. R_x is the signed
// distance to the top edge's great circle, positive on the side the rupture dips towards (on the
// right of the strike for a vertical one); R_y0 the distance from the great circle through the
// nearer end perpendicular to the top edge, 0 for a site between the two.
//
// The method. Each rupture gets an orthonormal frame at its first corner: the corner's unit vector
// a, the strike direction u and the dip direction r (the pole of the top edge's great circle). A
// site's unit vector p has the components (p.a, p.u, p.r) there; p.r is the sine of its angle from
// the top edge's great circle, and p.u, and p.u' with u' the strike direction at the second
// corner, the sines of its angles beyond the two perpendicular great circles through the ends. A
// site between those two has its nearest points on the perpendicular through its own foot, so its
// distances are those of a flat cross-section, exactly. A site beyond an end has its nearest points
// on that end's down-dip edge; the site's distance to a point of that edge is the hypotenuse of a
// right spherical triangle whose legs are the site's angle from the end's perpendicular great
// circle and the arc along it, which the law cos(c) = cos(a) cos(b) gives, here in its series
// c**2 = a**2 + b**2 - a**2 b**2 (1/3 + (a**2 + b**2)/45), good to 3e-8 (relative) for legs up to
// 0.3 rad. The angles come from their sines by the series of arcsin to the term in s**13, good to
// 7e-10 for sines up to 0.3. So a pair costs arithmetic and square roots, which the compiler
// vectorises: the fast path. Pairs farther apart than the series allow (about 1,900 km, less the
// rupture's length) take the exact path, with the C library's trigonometric functions.
//
// Sites are read once per call into tiles of TILE unit vectors, each with a cap (a centre and an
// angular radius) around its sites. A rupture decides per tile whether every site of it is within
// the fast path's reach (a vectorised loop), or decides per site; `within` skips the tiles whose
// cap lies beyond the maximum distance from a cap around the rupture's surface projection.
//
// Conventions as in gmms._hazard: a function that can fail returns false (or an empty Ref) with
// the interpreter's error set; owned references and buffer views are RAII objects, so an error path
// is a plain return; the entry points are noexcept and turn std::bad_alloc into MemoryError. The
// computation runs without the interpreter lock, on copies of the arguments it makes first.

#include "frame/buffer.hpp"
#include "frame/frame.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <numbers>
#include <span>
#include <string>
#include <vector>

namespace {

using gmms::frame::guarded;
using gmms::frame::import_numpy;
using gmms::frame::Ref;

constexpr double EARTH_RADIUS_KM = 6371.0;
constexpr double RADIANS_PER_DEGREE = std::numbers::pi / 180.0;
constexpr double PI = std::numbers::pi;
constexpr int TILE = 256;  // sites per tile: their vectors and distances stay in the first-level cache

enum RuptureColumn { LON0, LAT0, ZTOR, STRIKE, DIP, LENGTH, WIDTH, HYPO_LON, HYPO_LAT, HYPO_DEPTH, N_COLUMNS };
constexpr std::array<const char*, N_COLUMNS> COLUMN_NAMES = {
    "lon0", "lat0", "ztor", "strike", "dip", "length", "width", "hypo_lon", "hypo_lat", "hypo_depth"};

enum Distance { R_RUP, R_JB, R_X, R_Y0, R_HYPO, R_EPI, N_DISTANCES };
constexpr std::array<const char*, N_DISTANCES> DISTANCE_NAMES = {"R_rup", "R_JB", "R_x", "R_y0", "R_hypo", "R_epi"};

// ---------------------------------------------------------------------------------------------
// Vectors

struct Vec3 {
    double x = 0, y = 0, z = 0;
};

double dot(const Vec3& p, const Vec3& q) noexcept { return p.x * q.x + p.y * q.y + p.z * q.z; }
Vec3 cross(const Vec3& p, const Vec3& q) noexcept {
    return {p.y * q.z - p.z * q.y, p.z * q.x - p.x * q.z, p.x * q.y - p.y * q.x};
}
Vec3 combine(double s, const Vec3& p, double t, const Vec3& q) noexcept {
    return {s * p.x + t * q.x, s * p.y + t * q.y, s * p.z + t * q.z};
}
double norm(const Vec3& p) noexcept { return std::sqrt(dot(p, p)); }

// The angle between two unit vectors, accurate at every size (acos loses digits near 0).
double angle(const Vec3& p, const Vec3& q) noexcept { return std::atan2(norm(cross(p, q)), dot(p, q)); }

Vec3 unit_vector(double lon_deg, double lat_deg) noexcept {
    const double lon = lon_deg * RADIANS_PER_DEGREE, lat = lat_deg * RADIANS_PER_DEGREE;
    return {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
}

// A cap on the sphere: the unit vectors within `radius` (radians) of `centre`.
struct Cap {
    Vec3 centre{1, 0, 0};
    double radius = PI;
    double cos_radius = -1, sin_radius = 0;

    void set_radius(double r) noexcept {
        radius = std::min(r, PI);
        cos_radius = std::cos(radius);
        sin_radius = std::sin(radius);
    }
};

// The cap centred on the normalised sum of `points` that holds them all. Slack covers the
// rounding of the angles, and what the caller adds for edges that are not great circles.
Cap cap_around(std::span<const Vec3> points, double slack) noexcept {
    Vec3 sum;
    for (const Vec3& p : points) sum = combine(1.0, sum, 1.0, p);
    Cap cap;
    const double length = norm(sum);
    if (!(length > 1e-6)) return cap;  // points all around the sphere: the whole sphere
    cap.centre = {sum.x / length, sum.y / length, sum.z / length};
    double radius = 0;
    for (const Vec3& p : points) radius = std::max(radius, angle(cap.centre, p));
    cap.set_radius(radius + slack);
    return cap;
}

// Whether every point of `inner` lies within `reach` (radians, with cos_reach and sin_reach) of
// `centre`, by the cosine of the difference of the angles: no trigonometric call per test.
bool cap_within(const Cap& inner, const Vec3& centre, double reach, double cos_reach, double sin_reach) noexcept {
    if (reach < inner.radius) return false;
    return dot(inner.centre, centre) >= cos_reach * inner.cos_radius + sin_reach * inner.sin_radius;
}

// Whether some point of `inner` may lie within `reach` of `centre`.
bool cap_meets(const Cap& inner, const Vec3& centre, double reach, double cos_reach, double sin_reach) noexcept {
    if (reach + inner.radius >= PI) return true;
    return dot(inner.centre, centre) >= cos_reach * inner.cos_radius - sin_reach * inner.sin_radius;
}

// ---------------------------------------------------------------------------------------------
// The fast path's series

// Sines (and angles) up to this bound are within the series' accuracy.
constexpr double SERIES_LIMIT = 0.3;

// arcsin(s) for |s| <= SERIES_LIMIT, by its Taylor series to the term in s**13: the terms left
// out come to 7.1e-10 (relative) there, 2.4e-12 for sines up to 0.2, 1.4e-16 up to 0.1 (637 km).
inline double asin_series(double s) noexcept {
    constexpr double c1 = 1.0 / 6, c2 = 3.0 / 40, c3 = 15.0 / 336, c4 = 105.0 / 3456, c5 = 945.0 / 42240,
                     c6 = 10395.0 / 599040;
    const double z = s * s;
    return s + s * z * (c1 + z * (c2 + z * (c3 + z * (c4 + z * (c5 + z * c6)))));
}

// The square of the hypotenuse of a right spherical triangle with legs a and b (arcs in km on the
// sphere, given as their squares), from cos(c) = cos(a) cos(b) in radians: the series
// c**2 = a**2 + b**2 - a**2 b**2 (1/3 + (a**2 + b**2)/45), good to 3e-8 (relative) for legs to 0.3 rad.
inline double hypotenuse_squared_km(double a2, double b2) noexcept {
    constexpr double R2 = EARTH_RADIUS_KM * EARTH_RADIUS_KM;
    return a2 + b2 - a2 * b2 * (1.0 / (3 * R2) + (a2 + b2) * (1.0 / (45 * R2 * R2)));
}

// ---------------------------------------------------------------------------------------------
// Ruptures

struct Rupture {
    // The frame at the first corner: its unit vector a, the strike direction u, the dip direction r
    // (the pole of the top edge's great circle, so p.r is the sine of a site's angle from it).
    Vec3 a, u, r;
    Vec3 b, u_end;   // the second corner, and the strike direction there
    Vec3 hypo;       // the hypocentre's unit vector
    Vec3 hypo_frame; // and its components in the frame (a, u, r)
    double ztor = 0, width = 0, cos_dip = 0, sin_dip = 1, hypo_depth = 0;
    double length_angle = 0;  // length / R
    double width_h = 0;       // width * cos(dip): the surface projection's width, km
    // Sites within fast_angle of the first corner are within the series' reach for every angle of
    // the fast path (p.a >= cos_fast); fast_angle < 0 when none is.
    double fast_angle = -1, cos_fast = 2, sin_fast = 0;
    Cap projection;  // around the surface projection
};

// The cosine and sine of the dip, exact for a vertical rupture (cos(pi/2) is not 0 in doubles).
void dip_cos_sin(double dip_deg, double& c, double& s) noexcept {
    if (dip_deg == 90) {
        c = 0;
        s = 1;
    } else {
        c = std::cos(dip_deg * RADIANS_PER_DEGREE);
        s = std::sin(dip_deg * RADIANS_PER_DEGREE);
    }
}

Rupture make_rupture(const std::array<double, N_COLUMNS>& row) noexcept {
    Rupture f;
    const double lon = row[LON0] * RADIANS_PER_DEGREE, lat = row[LAT0] * RADIANS_PER_DEGREE;
    const double strike = row[STRIKE] * RADIANS_PER_DEGREE;
    f.a = unit_vector(row[LON0], row[LAT0]);
    const Vec3 east{-std::sin(lon), std::cos(lon), 0};
    const Vec3 north{-std::sin(lat) * std::cos(lon), -std::sin(lat) * std::sin(lon), std::cos(lat)};
    f.u = combine(std::sin(strike), east, std::cos(strike), north);
    f.r = combine(std::cos(strike), east, -std::sin(strike), north);

    f.length_angle = row[LENGTH] / EARTH_RADIUS_KM;
    const double c = std::cos(f.length_angle), s = std::sin(f.length_angle);
    f.b = combine(c, f.a, s, f.u);
    f.u_end = combine(-s, f.a, c, f.u);

    f.ztor = row[ZTOR];
    f.width = row[WIDTH];
    dip_cos_sin(row[DIP], f.cos_dip, f.sin_dip);
    f.width_h = f.width * f.cos_dip;
    f.hypo = unit_vector(row[HYPO_LON], row[HYPO_LAT]);
    f.hypo_frame = {dot(f.hypo, f.a), dot(f.hypo, f.u), dot(f.hypo, f.r)};
    f.hypo_depth = row[HYPO_DEPTH];

    // Within fast_angle of a, every sine the fast path takes the arcsine of is at most
    // SERIES_LIMIT: the angle from the top edge's great circle is at most the site's angle from
    // a, the angle from either end's perpendicular and the arc along it at most its angle from
    // that end, which is at most that from a plus the length; half the angle to the hypocentre at
    // most half the site's angle from a plus a's from the hypocentre.
    const double limit = std::asin(SERIES_LIMIT);
    f.fast_angle = std::min(limit - f.length_angle, 2 * limit - angle(f.a, f.hypo)) - 1e-9;
    if (f.fast_angle >= 0) {
        f.cos_fast = std::cos(f.fast_angle);
        f.sin_fast = std::sin(f.fast_angle);
    }

    // The bottom edge is a small circle, which bulges beyond the great-circle arc between the
    // bottom corners by less than (width_h / R) * (length / R)**2 / 8: slack for that.
    const double width_angle = f.width_h / EARTH_RADIUS_KM;
    const double cw = std::cos(width_angle), sw = std::sin(width_angle);
    const std::array<Vec3, 4> corners = {f.a, f.b, combine(cw, f.a, sw, f.r), combine(cw, f.b, sw, f.r)};
    f.projection = cap_around(corners, width_angle * f.length_angle * f.length_angle + 1e-9);
    return f;
}

// The rule a rupture's value breaks, or nullptr.
const char* rupture_rule(int column, double v) noexcept {
    if (!std::isfinite(v)) return "must be finite";
    if ((column == LAT0 || column == HYPO_LAT) && !(v >= -90 && v <= 90)) return "must be within [-90, 90]";
    if (column == DIP && !(v > 0 && v <= 90)) return "must be in (0, 90]";
    if ((column == LENGTH || column == WIDTH) && !(v >= 0)) return "must be >= 0";
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Sites

// TILE consecutive sites as unit vectors, one array per component; the last tile of a call may
// hold fewer (n).
struct SiteTile {
    std::array<double, TILE> x{}, y{}, z{};
    Py_ssize_t begin = 0;  // the index of its first site
    int n = 0;
    Cap cap;
};

const char* site_rule(bool is_lat, double v) noexcept {
    if (!std::isfinite(v)) return "must be finite";
    if (is_lat && !(v >= -90 && v <= 90)) return "must be within [-90, 90]";
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The distances of one pair

// The constants of one rupture the fast path reads, as a value the loop keeps in registers.
struct FastFrame {
    double ax, ay, az, ux, uy, uz, rx, ry, rz, ex, ey, ez;  // a, u, r and u_end
    double ha, hu, hr;                                      // the hypocentre in the frame
    double ztor, width, cos_dip, sin_dip, width_h, hypo_depth;

    explicit FastFrame(const Rupture& f) noexcept
        : ax(f.a.x), ay(f.a.y), az(f.a.z), ux(f.u.x), uy(f.u.y), uz(f.u.z), rx(f.r.x), ry(f.r.y), rz(f.r.z),
          ex(f.u_end.x), ey(f.u_end.y), ez(f.u_end.z), ha(f.hypo_frame.x), hu(f.hypo_frame.y), hr(f.hypo_frame.z),
          ztor(f.ztor), width(f.width), cos_dip(f.cos_dip), sin_dip(f.sin_dip), width_h(f.width_h),
          hypo_depth(f.hypo_depth) {}
};

struct Pair {
    std::array<double, N_DISTANCES> d{};
};

// max(v, 0), exactly, as arithmetic: the compiler keeps the code after it free of branches (with
// std::max it may move work into one arm, as the series is 0 at 0, and then not vectorise).
inline double positive_part(double v) noexcept { return 0.5 * (v + std::abs(v)); }

// The nearest point of the rupture's cross-section (the down-dip segment from (0, ztor) to
// (width_h, ztor + width*sin(dip)), horizontal offset and depth) to a site at horizontal offset x
// from its top: its distance down dip from the top edge, in [0, width].
template <class Frame>
inline double down_dip(const Frame& f, double x) noexcept {
    return std::min(std::max(x * f.cos_dip - f.ztor * f.sin_dip, 0.0), f.width);
}

// Every distance by the fast path, for a site within the rupture's fast_angle; R_epi and R_hypo
// only With_hypo (a loop that does not need them is then cheaper by a fifth).
template <bool With_hypo>
inline Pair fast_pair(const FastFrame& f, double px, double py, double pz) noexcept {
    constexpr double R = EARTH_RADIUS_KM;
    const double b = f.ux * px + f.uy * py + f.uz * pz;
    const double c = f.rx * px + f.ry * py + f.rz * pz;
    const double b_end = f.ex * px + f.ey * py + f.ez * pz;
    // The sine of the site's angle beyond the nearer end's perpendicular great circle (0 between
    // the ends), and the site's foot on that circle: its arc x_km from the top edge.
    const double beyond = positive_part(std::max(-b, b_end));
    const double y_km = R * asin_series(beyond);
    const double x_km = R * asin_series(c / std::sqrt(1 - beyond * beyond));
    const double y2 = y_km * y_km;

    Pair out;
    out.d[R_X] = R * asin_series(c);
    out.d[R_Y0] = y_km;
    const double jx = x_km - std::min(std::max(x_km, 0.0), f.width_h);
    out.d[R_JB] = std::sqrt(hypotenuse_squared_km(y2, jx * jx));
    const double t = down_dip(f, x_km);
    const double hx = x_km - t * f.cos_dip, hz = f.ztor + t * f.sin_dip;
    out.d[R_RUP] = std::sqrt(hypotenuse_squared_km(y2, hx * hx) + hz * hz);
    if constexpr (With_hypo) {
        // The chord to the epicentre, then the arc: 2 arcsin(chord / 2).
        const double a = f.ax * px + f.ay * py + f.az * pz;
        const double da = a - f.ha, du = b - f.hu, dr = c - f.hr;
        const double epi = 2 * R * asin_series(0.5 * std::sqrt(da * da + du * du + dr * dr));
        out.d[R_EPI] = epi;
        out.d[R_HYPO] = std::sqrt(epi * epi + f.hypo_depth * f.hypo_depth);
    }
    return out;
}

// The distances to one end's down-dip edge, exactly, for a site with components (along, beyond,
// c) in that end's frame (the corner, the strike direction there, r): the least over the nearest
// point the flat cross-section gives and the edge's two ends.
void end_edge(const Rupture& f, double along, double beyond, double c, double& jb, double& rup) noexcept {
    constexpr double R = EARTH_RADIUS_KM;
    // The angle between the site and the edge's point at the arc chi down from the corner.
    auto arc = [&](double chi) {
        const double cc = std::cos(chi), sc = std::sin(chi);
        const double off = c * cc - along * sc;
        return std::atan2(std::sqrt(beyond * beyond + off * off), along * cc + c * sc);
    };
    const double foot = std::atan2(c, along);  // the site's foot on the end's perpendicular
    const double width_angle = f.width_h / R;
    jb = R * std::min({arc(std::clamp(foot, 0.0, width_angle)), arc(0.0), arc(width_angle)});
    auto at = [&](double t) { return std::hypot(R * arc(t * f.cos_dip / R), f.ztor + t * f.sin_dip); };
    rup = std::min({at(down_dip(f, R * foot)), at(0.0), at(f.width)});
}

// Every distance by the C library's functions: for any pair.
Pair exact_pair(const Rupture& f, const Vec3& p) noexcept {
    constexpr double R = EARTH_RADIUS_KM;
    const double a = dot(p, f.a), b = dot(p, f.u), c = dot(p, f.r);
    const double across = std::hypot(a, b);          // cos of the angle from the top edge's great circle
    const double chi = std::atan2(c, across);        // that angle, positive towards r
    const double foot = std::atan2(b, a);            // the foot's arc from the first corner, (-pi, pi]
    Pair out;
    out.d[R_X] = R * chi;
    if (foot >= 0 && foot <= f.length_angle) {
        const double x_km = R * chi;
        out.d[R_Y0] = 0;
        out.d[R_JB] = std::max({0.0, -x_km, x_km - f.width_h});
        const double t = down_dip(f, x_km);
        out.d[R_RUP] = std::hypot(x_km - t * f.cos_dip, f.ztor + t * f.sin_dip);
    } else {
        // The arc beyond the nearer end, along the top edge's great circle; within a quarter
        // circle the angle from that end's perpendicular great circle, beyond it the angle from
        // the perpendicular's half through the end (whose nearest point is then a pole of the
        // top edge's great circle).
        const double past_first = foot < 0 ? -foot : 2 * PI - foot;
        const double past_second = foot > f.length_angle ? foot - f.length_angle : foot - f.length_angle + 2 * PI;
        const double past = std::min(past_first, past_second);
        out.d[R_Y0] = R * (past <= PI / 2 ? std::asin(across * std::sin(past)) : PI / 2 - std::abs(chi));
        double jb_first, rup_first, jb_second, rup_second;
        end_edge(f, a, b, c, jb_first, rup_first);
        end_edge(f, dot(p, f.b), dot(p, f.u_end), c, jb_second, rup_second);
        out.d[R_JB] = std::min(jb_first, jb_second);
        out.d[R_RUP] = std::min(rup_first, rup_second);
    }
    out.d[R_EPI] = R * angle(p, f.hypo);
    out.d[R_HYPO] = std::hypot(out.d[R_EPI], f.hypo_depth);
    return out;
}

// ---------------------------------------------------------------------------------------------
// One rupture over one tile

struct TileDistances {
    std::array<std::array<double, TILE>, N_DISTANCES> d;
};

template <bool With_hypo>
void fast_tile(const Rupture& rupture, const SiteTile& tile, TileDistances& out) noexcept {
    const FastFrame f(rupture);
    const int n = tile.n;
    for (int i = 0; i < n; ++i) {
        const Pair p = fast_pair<With_hypo>(f, tile.x[i], tile.y[i], tile.z[i]);
        for (int k = 0; k < N_DISTANCES; ++k) out.d[k][i] = p.d[k];
    }
}

// Per site: the fast path where it reaches, the exact one elsewhere.
void mixed_tile(const Rupture& rupture, const SiteTile& tile, TileDistances& out) noexcept {
    const FastFrame f(rupture);
    for (int i = 0; i < tile.n; ++i) {
        const Vec3 p{tile.x[i], tile.y[i], tile.z[i]};
        const Pair pair =
            dot(p, rupture.a) >= rupture.cos_fast ? fast_pair<true>(f, p.x, p.y, p.z) : exact_pair(rupture, p);
        for (int k = 0; k < N_DISTANCES; ++k) out.d[k][i] = pair.d[k];
    }
}

// The distances of one rupture to the sites of one tile; R_epi and R_hypo may be left out
// (with_hypo false) where the tile takes the fast path.
void tile_distances(const Rupture& rupture, const SiteTile& tile, bool with_hypo, TileDistances& out) noexcept {
    if (rupture.fast_angle >= 0 &&
        cap_within(tile.cap, rupture.a, rupture.fast_angle, rupture.cos_fast, rupture.sin_fast)) {
        if (with_hypo)
            fast_tile<true>(rupture, tile, out);
        else
            fast_tile<false>(rupture, tile, out);
    } else {
        mixed_tile(rupture, tile, out);
    }
}

// ---------------------------------------------------------------------------------------------
// Buffers

// A view of a caller's buffer of float64, released with the view.
class View : public gmms::frame::Buffer {
public:
    bool acquire(PyObject* obj, const char* name, bool writable) noexcept {
        int flags = PyBUF_FORMAT | PyBUF_STRIDES;
        if (writable) flags |= PyBUF_WRITABLE;
        if (!get(obj, flags)) {
            if (writable && is_read_only(obj)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ValueError, "%s: the array must be writable", name);
            } else if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "%s: expected a buffer of float64, got %.200s", name,
                             Py_TYPE(obj)->tp_name);
            }
            return false;
        }
        if (!gmms::frame::native_8_bytes(format(), itemsize(), "d")) {
            PyErr_Format(PyExc_TypeError, "%s: expected float64 elements, got format '%s' of %zd bytes", name,
                         format(), itemsize());
            return false;
        }
        return true;
    }

    std::string shape_text() const {
        std::string text = "(";
        for (int k = 0; k < ndim(); ++k) text += (k ? ", " : "") + std::to_string(shape(k));
        return text + (ndim() == 1 ? ",)" : ")");
    }

private:
    // Whether obj gives a buffer, but a read-only one (exporters refuse a writable view with
    // BufferError or, numpy, ValueError). The error of the failed request stays set.
    static bool is_read_only(PyObject* obj) noexcept {
        if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        Py_buffer view;
        const bool readable = PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) == 0;
        if (readable)
            PyBuffer_Release(&view);
        else
            PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return readable;
    }
};

// ---------------------------------------------------------------------------------------------
// Argument checks and the work without the interpreter lock

// The first value a call refuses, found without the interpreter lock and raised afterwards.
struct Refusal {
    const char* array = nullptr;
    Py_ssize_t row = 0;
    int column = -1;  // for ruptures
    double value = 0;
    const char* rule = nullptr;

    bool refuse(const char* array_name, Py_ssize_t i, int j, double v, const char* why) noexcept {
        array = array_name;
        row = i;
        column = j;
        value = v;
        rule = why;
        return false;
    }
    void raise() const noexcept {
        Ref number = Ref::steal(PyFloat_FromDouble(value));
        if (!number) return;
        if (column >= 0)
            PyErr_Format(PyExc_ValueError, "%s[%zd, %d] (%s) = %R: %s", array, row, column, COLUMN_NAMES[column],
                         number.get(), rule);
        else
            PyErr_Format(PyExc_ValueError, "%s[%zd] = %R: %s", array, row, number.get(), rule);
    }
};

enum class Status { Ok, Refused, NoMemory };

// Runs `work` (returning false on a refusal) without the interpreter lock; raises what it found.
template <class F>
bool without_gil(const Refusal& refusal, F work) noexcept {
    PyThreadState* state = PyEval_SaveThread();
    Status status = Status::Ok;
    try {
        if (!work()) status = Status::Refused;
    } catch (const std::bad_alloc&) {
        status = Status::NoMemory;
    }
    PyEval_RestoreThread(state);
    if (status == Status::NoMemory) PyErr_NoMemory();
    if (status == Status::Refused) refusal.raise();
    return status == Status::Ok;
}

// The arguments every function reads: the ruptures and the sites.
struct Inputs {
    View ruptures, lon, lat;
    Py_ssize_t n_ruptures = 0, n_sites = 0;
};

bool acquire_inputs(Inputs& in, PyObject* ruptures, PyObject* lon, PyObject* lat) {
    if (!in.ruptures.acquire(ruptures, "ruptures", false)) return false;
    if (in.ruptures.ndim() != 2 || in.ruptures.shape(1) != N_COLUMNS) {
        PyErr_Format(PyExc_ValueError, "ruptures: expected shape (n_ruptures, %d), one row per rupture, got %s",
                     static_cast<int>(N_COLUMNS), in.ruptures.shape_text().c_str());
        return false;
    }
    in.n_ruptures = in.ruptures.shape(0);
    if (!in.lon.acquire(lon, "site_lon", false)) return false;
    if (in.lon.ndim() != 1) {
        PyErr_Format(PyExc_ValueError, "site_lon: expected a one-dimensional array, got shape %s",
                     in.lon.shape_text().c_str());
        return false;
    }
    in.n_sites = in.lon.shape(0);
    if (!in.lat.acquire(lat, "site_lat", false)) return false;
    if (in.lat.ndim() != 1 || in.lat.shape(0) != in.n_sites) {
        PyErr_Format(PyExc_ValueError, "site_lat: expected shape (%zd,), as site_lon, got %s", in.n_sites,
                     in.lat.shape_text().c_str());
        return false;
    }
    return true;
}

// The ruptures and the sites, checked and turned into frames and tiles.
struct Prepared {
    std::vector<Rupture> ruptures;
    std::vector<SiteTile> tiles;
};

bool prepare(const Inputs& in, Prepared& out, Refusal& refusal) {
    out.ruptures.resize(static_cast<size_t>(in.n_ruptures));
    for (Py_ssize_t i = 0; i < in.n_ruptures; ++i) {
        std::array<double, N_COLUMNS> row{};
        for (int j = 0; j < N_COLUMNS; ++j) {
            row[j] = in.ruptures.at(i, j);
            if (const char* rule = rupture_rule(j, row[j])) return refusal.refuse("ruptures", i, j, row[j], rule);
        }
        out.ruptures[static_cast<size_t>(i)] = make_rupture(row);
    }
    out.tiles.resize(static_cast<size_t>((in.n_sites + TILE - 1) / TILE));
    for (size_t t = 0; t < out.tiles.size(); ++t) {
        SiteTile& tile = out.tiles[t];
        tile.begin = static_cast<Py_ssize_t>(t) * TILE;
        tile.n = static_cast<int>(std::min<Py_ssize_t>(TILE, in.n_sites - tile.begin));
        std::array<Vec3, TILE> points;
        for (int k = 0; k < tile.n; ++k) {
            const Py_ssize_t i = tile.begin + k;
            const double lon = in.lon.at(i), lat = in.lat.at(i);
            if (const char* rule = site_rule(false, lon)) return refusal.refuse("site_lon", i, -1, lon, rule);
            if (const char* rule = site_rule(true, lat)) return refusal.refuse("site_lat", i, -1, lat, rule);
            points[static_cast<size_t>(k)] = unit_vector(lon, lat);
            tile.x[static_cast<size_t>(k)] = points[static_cast<size_t>(k)].x;
            tile.y[static_cast<size_t>(k)] = points[static_cast<size_t>(k)].y;
            tile.z[static_cast<size_t>(k)] = points[static_cast<size_t>(k)].z;
        }
        tile.cap = cap_around(std::span<const Vec3>(points.data(), static_cast<size_t>(tile.n)), 1e-7);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// The module's functions


Ref new_array(PyObject* np, PyObject* shape, const char* dtype) noexcept {
    return Ref::steal(PyObject_CallMethod(np, "empty", "Os", shape, dtype));
}

int distance_index(PyObject* key) noexcept {
    if (!PyUnicode_Check(key)) return -1;
    for (int k = 0; k < N_DISTANCES; ++k)
        if (PyUnicode_CompareWithASCIIString(key, DISTANCE_NAMES[k]) == 0) return k;
    return -1;
}

// The output arrays of `distances`: the caller's (out) or new ones, and a view of each.
struct Outputs {
    std::array<Ref, N_DISTANCES> arrays;
    std::array<View, N_DISTANCES> views;
    std::array<bool, N_DISTANCES> wanted{};
};

bool check_output(const View& v, const char* name, Py_ssize_t n_ruptures, Py_ssize_t n_sites) {
    if (v.ndim() != 2 || v.shape(0) != n_ruptures || v.shape(1) != n_sites) {
        PyErr_Format(PyExc_ValueError, "out['%s']: expected shape (%zd, %zd), (n_ruptures, n_sites), got %s", name,
                     n_ruptures, n_sites, v.shape_text().c_str());
        return false;
    }
    if (!v.c_contiguous()) {
        PyErr_Format(PyExc_ValueError, "out['%s']: the array must be C-contiguous", name);
        return false;
    }
    return true;
}

bool make_outputs(Outputs& o, PyObject* out, Py_ssize_t n_ruptures, Py_ssize_t n_sites) {
    if (out == nullptr || out == Py_None) {
        Ref np = import_numpy();
        Ref shape = Ref::steal(Py_BuildValue("(nn)", n_ruptures, n_sites));
        if (!np || !shape) return false;
        for (int k = 0; k < N_DISTANCES; ++k) {
            o.arrays[k] = new_array(np.get(), shape.get(), "float64");
            if (!o.arrays[k] || !o.views[k].acquire(o.arrays[k].get(), DISTANCE_NAMES[k], true)) return false;
            o.wanted[k] = true;
        }
        return true;
    }
    if (!PyDict_Check(out)) {
        PyErr_Format(PyExc_TypeError, "out: expected a dict of arrays by distance name, got %.200s",
                     Py_TYPE(out)->tp_name);
        return false;
    }
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(out, &pos, &key, &value)) {
        const int k = distance_index(key);
        if (k < 0) {
            PyErr_Format(PyExc_ValueError, "out: unknown distance %R; the distances are %s", key,
                         "R_rup, R_JB, R_x, R_y0, R_hypo, R_epi");
            return false;
        }
        o.arrays[k] = Ref::borrow(value);
        o.wanted[k] = true;
    }
    // Views after the loop: acquiring a buffer may run code that changes the dict.
    std::vector<std::pair<char*, char*>> spans;
    for (int k = 0; k < N_DISTANCES; ++k) {
        if (!o.wanted[k]) continue;
        const std::string name = std::string("out['") + DISTANCE_NAMES[k] + "']";
        if (!o.views[k].acquire(o.arrays[k].get(), name.c_str(), true) ||
            !check_output(o.views[k], DISTANCE_NAMES[k], n_ruptures, n_sites))
            return false;
        if (o.views[k].len() > 0) spans.emplace_back(o.views[k].data(), o.views[k].data() + o.views[k].len());
    }
    for (size_t i = 0; i < spans.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (spans[i].first < spans[j].second && spans[j].first < spans[i].second) {
                PyErr_SetString(PyExc_ValueError, "out: the arrays must not share memory");
                return false;
            }
    return true;
}

PyObject* py_distances(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"ruptures", "site_lon", "site_lat", "out", nullptr};
        PyObject *ruptures = nullptr, *lon = nullptr, *lat = nullptr, *out = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:distances", const_cast<char**>(keywords), &ruptures,
                                         &lon, &lat, &out))
            return nullptr;
        Inputs in;
        Outputs o;
        if (!acquire_inputs(in, ruptures, lon, lat) || !make_outputs(o, out, in.n_ruptures, in.n_sites))
            return nullptr;
        std::array<double*, N_DISTANCES> rows{};
        for (int k = 0; k < N_DISTANCES; ++k)
            if (o.wanted[k]) rows[k] = reinterpret_cast<double*>(o.views[k].data());
        Prepared p;
        Refusal refusal;
        const auto n_sites = static_cast<size_t>(in.n_sites);
        const bool with_hypo = o.wanted[R_HYPO] || o.wanted[R_EPI];
        const bool ok = without_gil(refusal, [&] {
            if (!prepare(in, p, refusal)) return false;
            auto buffer = std::make_unique<TileDistances>();
            for (const SiteTile& tile : p.tiles) {
                for (size_t r = 0; r < p.ruptures.size(); ++r) {
                    tile_distances(p.ruptures[r], tile, with_hypo, *buffer);
                    for (int k = 0; k < N_DISTANCES; ++k)
                        if (rows[k])
                            std::memcpy(rows[k] + r * n_sites + static_cast<size_t>(tile.begin), buffer->d[k].data(),
                                        static_cast<size_t>(tile.n) * sizeof(double));
                }
            }
            return true;
        });
        if (!ok) return nullptr;
        Ref result = Ref::steal(PyDict_New());
        if (!result) return nullptr;
        for (int k = 0; k < N_DISTANCES; ++k)
            if (o.wanted[k] && PyDict_SetItemString(result.get(), DISTANCE_NAMES[k], o.arrays[k].get()) < 0)
                return nullptr;
        return result.release();
    });
}

// A growing column of results, written past its size and then kept or not (so that the loop
// that fills it has no branch).
template <class T>
class Growing {
public:
    // Room for `extra` more elements.
    void reserve_more(size_t extra) {
        if (size_ + extra <= capacity_) return;
        const size_t capacity = std::max(2 * capacity_, size_ + extra);
        auto grown = std::make_unique_for_overwrite<T[]>(capacity);
        if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_ * sizeof(T));
        data_ = std::move(grown);
        capacity_ = capacity;
    }
    T* end() noexcept { return data_.get() + size_; }
    void grow(size_t n) noexcept { size_ += n; }
    void clear() noexcept { size_ = 0; }
    size_t size() const noexcept { return size_; }
    const T* data() const noexcept { return data_.get(); }

private:
    std::unique_ptr<T[]> data_;
    size_t size_ = 0, capacity_ = 0;
};

// The pairs `within` keeps, in order.
struct Selected {
    Growing<int64_t> rupture, site;
    std::array<Growing<double>, N_DISTANCES> distances;  // those wanted
    std::array<bool, N_DISTANCES> wanted{};

    size_t size() const noexcept { return rupture.size(); }
    void clear() noexcept {
        rupture.clear();
        site.clear();
        for (auto& column : distances) column.clear();
    }
};

// The sites of `tile` within `reach` of `centre` (cos_reach its cosine), copied into `out` (which
// keeps the tile's cap, as they are among its sites) with their indices in the tile.
void sites_within(const SiteTile& tile, const Vec3& centre, double cos_reach, SiteTile& out,
                  std::array<int, TILE>& index) noexcept {
    int k = 0;
    for (int i = 0; i < tile.n; ++i) {
        out.x[k] = tile.x[i];
        out.y[k] = tile.y[i];
        out.z[k] = tile.z[i];
        index[k] = i;
        k += centre.x * tile.x[i] + centre.y * tile.y[i] + centre.z * tile.z[i] >= cos_reach ? 1 : 0;
    }
    out.begin = tile.begin;
    out.n = k;
    out.cap = tile.cap;
}

// Every pair whose R_rup is within its rupture's maximum distance, by rupture then site, for the
// ruptures from `first` on until `out` holds `enough` pairs; returns the next rupture. Tiles and
// then sites whose angle from the cap around the rupture's surface projection exceeds that distance
// (which R_rup, at least the distance from the projection, cannot undercut) are skipped.
size_t select_within(const Prepared& p, const std::vector<double>& maximum_km, size_t first, size_t enough,
                     Selected& out) {
    auto tile_buffer = std::make_unique<SiteTile>();
    auto distances = std::make_unique<TileDistances>();
    auto unwanted = std::make_unique<std::array<double, TILE>>();  // where the distances not wanted go
    const bool with_hypo = out.wanted[R_HYPO] || out.wanted[R_EPI];
    std::array<int, TILE> index{};
    std::array<int, TILE> identity{};
    for (int i = 0; i < TILE; ++i) identity[static_cast<size_t>(i)] = i;
    size_t r = first;
    for (; r < p.ruptures.size() && out.size() < enough; ++r) {
        const Rupture& rupture = p.ruptures[r];
        const double limit_km = maximum_km[r];
        const Vec3& centre = rupture.projection.centre;
        // Slack for the rounding of the angles and of R_rup.
        const double reach = rupture.projection.radius + limit_km / EARTH_RADIUS_KM * (1 + 1e-6) + 1e-6;
        const double cos_reach = std::cos(std::min(reach, PI)), sin_reach = std::sin(std::min(reach, PI));
        for (const SiteTile& whole : p.tiles) {
            if (!cap_meets(whole.cap, centre, reach, cos_reach, sin_reach)) continue;
            const bool all = reach >= PI || cap_within(whole.cap, centre, reach, cos_reach, sin_reach);
            if (!all) sites_within(whole, centre, cos_reach, *tile_buffer, index);
            const SiteTile& tile = all ? whole : *tile_buffer;
            const std::array<int, TILE>& in_tile = all ? identity : index;
            if (tile.n == 0) continue;
            tile_distances(rupture, tile, with_hypo, *distances);
            // Every site is written at the end of the columns, and kept if within the limit.
            out.rupture.reserve_more(TILE);
            out.site.reserve_more(TILE);
            std::array<double*, N_DISTANCES> ends{};
            for (int k = 0; k < N_DISTANCES; ++k) {
                if (out.wanted[k]) out.distances[k].reserve_more(TILE);
                ends[k] = out.wanted[k] ? out.distances[k].end() : unwanted->data();
            }
            int64_t* rupture_end = out.rupture.end();
            int64_t* site_end = out.site.end();
            size_t kept = 0;
            for (int i = 0; i < tile.n; ++i) {
                rupture_end[kept] = static_cast<int64_t>(r);
                site_end[kept] = tile.begin + in_tile[static_cast<size_t>(i)];
                // The columns' memory, read once the loop has sized them (cppcheck sees a local array).
                // cppcheck-suppress unreadVariable
                for (int k = 0; k < N_DISTANCES; ++k) ends[k][kept] = distances->d[k][i];
                kept += distances->d[R_RUP][i] <= limit_km ? 1 : 0;
            }
            out.rupture.grow(kept);
            out.site.grow(kept);
            for (int k = 0; k < N_DISTANCES; ++k)
                if (out.wanted[k]) out.distances[k].grow(kept);
        }
    }
    return r;
}

// The columns of `within` grow in bytearrays, which the result's arrays then use as they are
// (numpy.frombuffer): the memory is written once.
Ref new_bytearray() noexcept { return Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0)); }

bool append(PyObject* column, const void* data, size_t bytes) noexcept {
    const Py_ssize_t before = PyByteArray_GET_SIZE(column);
    if (bytes == 0) return true;
    if (PyByteArray_Resize(column, before + static_cast<Py_ssize_t>(bytes)) < 0) return false;
    std::memcpy(PyByteArray_AS_STRING(column) + before, data, bytes);
    return true;
}

// The distances `names` asks for (None: every one).
bool read_names(PyObject* names, std::array<bool, N_DISTANCES>& wanted) {
    wanted.fill(names == nullptr || names == Py_None);
    if (names == nullptr || names == Py_None) return true;
    if (PyUnicode_Check(names)) {
        PyErr_SetString(PyExc_TypeError, "names: expected a sequence of distance names, not one str");
        return false;
    }
    Ref items = Ref::steal(PySequence_Fast(names, "names: expected a sequence of distance names"));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        PyObject* name = PySequence_Fast_GET_ITEM(items.get(), i);
        const int k = distance_index(name);
        if (k < 0) {
            PyErr_Format(PyExc_ValueError, "names: unknown distance %R; the distances are %s", name,
                         "R_rup, R_JB, R_x, R_y0, R_hypo, R_epi");
            return false;
        }
        wanted[k] = true;
    }
    return true;
}

// The maximum distance of each rupture: one for all (a number) or one each (an array).
bool read_maximum_distance(PyObject* obj, Py_ssize_t n_ruptures, std::vector<double>& out) {
    auto check = [&](double v, Py_ssize_t i, bool scalar) {
        if (v >= 0) return true;  // also refuses NaN; math.inf takes every pair
        Ref number = Ref::steal(PyFloat_FromDouble(v));
        if (!number) return false;
        if (scalar)
            PyErr_Format(PyExc_ValueError, "maximum_distance = %R: must be >= 0 (math.inf for no limit)", number.get());
        else
            PyErr_Format(PyExc_ValueError, "maximum_distance[%zd] = %R: must be >= 0 (math.inf for no limit)", i,
                         number.get());
        return false;
    };
    if (PyObject_CheckBuffer(obj)) {
        View v;
        if (!v.acquire(obj, "maximum_distance", false)) return false;
        if (v.ndim() == 0) {
            double x;
            std::memcpy(&x, v.data(), sizeof x);
            out.assign(static_cast<size_t>(n_ruptures), x);
            return check(x, 0, true);
        }
        if (v.ndim() != 1 || v.shape(0) != n_ruptures) {
            PyErr_Format(PyExc_ValueError,
                         "maximum_distance: expected a number or shape (%zd,), one per rupture, got %s", n_ruptures,
                         v.shape_text().c_str());
            return false;
        }
        out.resize(static_cast<size_t>(n_ruptures));
        for (Py_ssize_t i = 0; i < n_ruptures; ++i) {
            out[static_cast<size_t>(i)] = v.at(i);
            if (!check(v.at(i), i, false)) return false;
        }
        return true;
    }
    const double x = PyFloat_AsDouble(obj);
    if (x == -1.0 && PyErr_Occurred()) return false;
    out.assign(static_cast<size_t>(n_ruptures), x);
    return check(x, 0, true);
}

PyObject* py_within(PyObject* /*module*/, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"ruptures", "site_lon", "site_lat", "maximum_distance", "names", nullptr};
        PyObject *ruptures = nullptr, *lon = nullptr, *lat = nullptr, *maximum = nullptr, *names = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|$O:within", const_cast<char**>(keywords), &ruptures,
                                         &lon, &lat, &maximum, &names))
            return nullptr;
        Inputs in;
        std::vector<double> maximum_km;
        Selected chunk;
        if (!acquire_inputs(in, ruptures, lon, lat) || !read_maximum_distance(maximum, in.n_ruptures, maximum_km) ||
            !read_names(names, chunk.wanted))
            return nullptr;
        Prepared p;
        Refusal refusal;
        if (!without_gil(refusal, [&] { return prepare(in, p, refusal); })) return nullptr;
        // The pairs are found without the interpreter lock a chunk at a time, and appended to the
        // columns with it: the peak of memory is the result and a chunk.
        Ref rupture_column = new_bytearray(), site_column = new_bytearray();
        std::array<Ref, N_DISTANCES> distance_columns;
        if (!rupture_column || !site_column) return nullptr;
        for (Ref& column : distance_columns)
            if (!(column = new_bytearray())) return nullptr;
        constexpr size_t CHUNK_PAIRS = size_t{1} << 16;
        for (size_t next = 0; next < p.ruptures.size();) {
            if (!without_gil(refusal, [&] {
                    next = select_within(p, maximum_km, next, CHUNK_PAIRS, chunk);
                    return true;
                }))
                return nullptr;
            const size_t n = chunk.size();
            if (!append(rupture_column.get(), chunk.rupture.data(), n * sizeof(int64_t)) ||
                !append(site_column.get(), chunk.site.data(), n * sizeof(int64_t)))
                return nullptr;
            for (int k = 0; k < N_DISTANCES; ++k)
                if (chunk.wanted[k] &&
                    !append(distance_columns[k].get(), chunk.distances[k].data(), n * sizeof(double)))
                    return nullptr;
            chunk.clear();
        }
        Ref np = import_numpy();
        Ref result = Ref::steal(PyDict_New());
        if (!np || !result) return nullptr;
        auto add = [&](const char* name, const Ref& column, const char* dtype) {
            Ref array = Ref::steal(PyObject_CallMethod(np.get(), "frombuffer", "Os", column.get(), dtype));
            return array && PyDict_SetItemString(result.get(), name, array.get()) == 0;
        };
        if (!add("rupture", rupture_column, "int64") || !add("site", site_column, "int64")) return nullptr;
        for (int k = 0; k < N_DISTANCES; ++k)
            if (chunk.wanted[k] && !add(DISTANCE_NAMES[k], distance_columns[k], "float64")) return nullptr;
        return result.release();
    });
}

// ---------------------------------------------------------------------------------------------
// The module

#define GMMS_SIGNATURE(name, params) name "($module, " params ")\n--\n\n"

PyMethodDef methods[] = {
    {"distances", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_distances)),
     METH_VARARGS | METH_KEYWORDS,
     GMMS_SIGNATURE("distances", "ruptures, site_lon, site_lat, *, out=None")
     "Every distance of every (rupture, site) pair: a dict of float64 arrays (n_ruptures, n_sites).\n\n"
     "ruptures: float64 (n_ruptures, 10), columns RUPTURE_COLUMNS; site_lon, site_lat: float64, degrees.\n"
     "The keys are DISTANCES (km). out: a dict of writable C-contiguous float64 arrays of that shape,\n"
     "by distance name; then only those distances are computed, into them, and the result holds them."},
    {"within", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_within)), METH_VARARGS | METH_KEYWORDS,
     GMMS_SIGNATURE("within", "ruptures, site_lon, site_lat, maximum_distance, *, names=None")
     "The (rupture, site) pairs with R_rup <= maximum_distance (km), ordered by rupture then site.\n\n"
     "maximum_distance: a number, or float64 (n_ruptures,) with one per rupture. Returns a dict of\n"
     "one-dimensional arrays, one element per pair: 'rupture' and 'site' (int64 indices), then the\n"
     "DISTANCES, or those that names lists (a sequence of distance names; None: all)."},
    {nullptr, nullptr, 0, nullptr},
};

Ref string_tuple(const char* const* names, int n) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(n));
    if (!tuple) return tuple;
    for (int k = 0; k < n; ++k) {
        PyObject* name = PyUnicode_FromString(names[k]);
        if (!name) return {};
        PyTuple_SET_ITEM(tuple.get(), k, name);
    }
    return tuple;
}

int add_object(PyObject* module, const char* name, Ref value) noexcept {
    if (!value || PyModule_AddObject(module, name, value.get()) < 0) return -1;
    value.release();  // the module holds it now
    return 0;
}

int exec_module(PyObject* module) noexcept {
    if (add_object(module, "RUPTURE_COLUMNS", string_tuple(COLUMN_NAMES.data(), N_COLUMNS)) < 0) return -1;
    if (add_object(module, "DISTANCES", string_tuple(DISTANCE_NAMES.data(), N_DISTANCES)) < 0) return -1;
    if (add_object(module, "EARTH_RADIUS", Ref::steal(PyFloat_FromDouble(EARTH_RADIUS_KM))) < 0) return -1;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_geometry",
    "Distances from sites at the surface to planar rectangular ruptures, on a sphere of radius EARTH_RADIUS km.\n\n"
    "A rupture is a row of ten float64 values, RUPTURE_COLUMNS: the first corner of its top edge (lon0,\n"
    "lat0, degrees) and the edge's depth ztor (km, down); strike and dip (degrees; the rupture dips to\n"
    "the right of the strike); length along strike and width down dip (km); the hypocentre (hypo_lon,\n"
    "hypo_lat, degrees; hypo_depth, km). length == width == 0 is a point rupture. The distances, in km,\n"
    "are DISTANCES: R_rup, R_JB, R_x (positive on the hanging wall), R_y0, R_hypo and R_epi.\n\n"
    "distances gives every pair's; within gives the pairs with R_rup within a maximum distance.",
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
PyMODINIT_FUNC PyInit__geometry(void) { return PyModuleDef_Init(&module_def); }
