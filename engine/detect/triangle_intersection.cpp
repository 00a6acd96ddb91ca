// Triangle-triangle intersection after T. Möller, "A Fast Triangle-Triangle Intersection Test",
// Journal of Graphics Tools 2(2), 1997: signed distances of each triangle's corners to the other
// triangle's plane reject separated pairs, then each triangle's crossing of the other plane is an
// interval on the planes' common line, and the segment is the overlap of the two intervals. As in
// the segment-reporting variant of that test, the intervals carry their end points, so every end
// returned is a corner or an edge crossing of one triangle, not a point rebuilt from a projected
// parameter.
#include "triangle_intersection.h"

#include <algorithm>
#include <cmath>

#include "check.h"

namespace KvrnLib {
namespace {

struct Vec {
    double x, y, z;
};

Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator*(Vec a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double Dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec Cross(Vec a, Vec b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
double Length(Vec a) { return std::sqrt(Dot(a, a)); }
Vec ToVec(Point3 p) { return {p.x, p.y, p.z}; }
Point3 ToPoint(Vec v) { return {float(v.x), float(v.y), float(v.z)}; }
// (a + b) / 2 is the same for (b, a), which keeps swapped arguments giving the same segment.
Vec Mid(Vec a, Vec b) { return (a + b) * 0.5; }

bool LexicographicLess(Vec a, Vec b) {
    if (a.x != b.x) return a.x < b.x;
    if (a.y != b.y) return a.y < b.y;
    return a.z < b.z;
}

// A triangle whose normal is shorter than this fraction of its longest edge squared has no
// plane worth the name: zero area up to double rounding.
constexpr double kDegenerateArea = 1e-12;
// A corner is on the plane when its distance is below this share of the distance's rounding
// scale: the normal's error factor times the corner's offset from the plane's origin. Double
// rounding stays some 10^4 below it; the float rounding of the input stays far above it, and
// leaves short segments that IsTouchingSegment drops.
constexpr double kOnPlane = 1e-12;
// Planes whose unit normals have a cross product shorter than this are parallel up to the float
// rounding of the input (some 10 ulps): their common line is noise, so the pair counts as
// coplanar. Drawing skips far wider angles (|nA . nB| >= 0.99999) anyway.
constexpr double kParallel = 1e-6;

struct Plane {
    Vec normal;           // unit length
    Vec origin;           // the corner the normal was built at
    double errorFactor2;  // (|edge1| |edge2| / |edge1 x edge2|)^2: how rounding in the normal grows
};

// Builds the normal at the corner opposite the longest edge: its two edges are the shortest, so
// the cross product loses the least, and the choice does not depend on which corner comes first.
bool FitPlane(const Vec v[3], Plane* plane) {
    double edge2[3];
    int longest = 0;
    for (int k = 0; k < 3; ++k) {
        const Vec e = v[(k + 1) % 3] - v[k];
        edge2[k] = Dot(e, e);
        if (edge2[k] > edge2[longest]) longest = k;
    }
    const Vec apex = v[(longest + 2) % 3];
    const Vec e1 = v[longest] - apex;
    const Vec e2 = v[(longest + 1) % 3] - apex;
    const Vec n = Cross(e1, e2);
    const double area2 = Length(n);
    if (!(area2 > kDegenerateArea * edge2[longest])) return false;
    plane->normal = n * (1.0 / area2);
    plane->origin = apex;
    plane->errorFactor2 = Dot(e1, e1) * Dot(e2, e2) / (area2 * area2);
    return true;
}

// Signed distances of corners t to the other triangle's plane, snapped to exactly zero for a
// corner on the plane within rounding (a corner shared with the other triangle among them).
void CornerDistances(const Vec t[3], const Plane& plane, double d[3]) {
    for (int i = 0; i < 3; ++i) {
        const Vec offset = t[i] - plane.origin;
        d[i] = Dot(plane.normal, offset);
        if (d[i] * d[i] <= kOnPlane * kOnPlane * plane.errorFactor2 * Dot(offset, offset)) {
            d[i] = 0.0;
        }
    }
}

// All corners strictly on one side, or all on the plane (coplanar): no segment.
bool NoCrossing(const double d[3]) {
    const bool allAbove = d[0] > 0 && d[1] > 0 && d[2] > 0;
    const bool allBelow = d[0] < 0 && d[1] < 0 && d[2] < 0;
    const bool allOn = d[0] == 0 && d[1] == 0 && d[2] == 0;
    return allAbove || allBelow || allOn;
}

// Where edge p-q crosses the plane (dp and dq of strictly opposite signs, so no division by
// zero). Interpolating from the lexicographically smaller end makes the point independent of
// the edge's direction.
Vec EdgeCrossing(Vec p, Vec q, double dp, double dq) {
    if (LexicographicLess(q, p)) {
        std::swap(p, q);
        std::swap(dp, dq);
    }
    return p + (q - p) * (dp / (dp - dq));
}

// Interval of one triangle on the common line: its lowest and highest points along dir.
struct Interval {
    Vec lo, hi;
    double tLo, tHi;
};

// The triangle meets the other plane in its corners on the plane and its edge crossings: one
// point (touching corner) or two (a crossing chord, or an edge lying in the plane).
Interval PlaneInterval(const Vec t[3], const double d[3], Vec dir) {
    Vec points[2];
    int count = 0;
    for (int i = 0; i < 3; ++i) {
        if (d[i] == 0) {
            KVRN_DCHECK(count < 2);
            points[count++] = t[i];
        }
    }
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3;
        if ((d[i] < 0 && d[j] > 0) || (d[i] > 0 && d[j] < 0)) {
            KVRN_DCHECK(count < 2);
            points[count++] = EdgeCrossing(t[i], t[j], d[i], d[j]);
        }
    }
    KVRN_DCHECK(count >= 1);
    if (count == 1) points[1] = points[0];
    const double t0 = Dot(dir, points[0]);
    const double t1 = Dot(dir, points[1]);
    if (t0 < t1) return {points[0], points[1], t0, t1};
    if (t1 < t0) return {points[1], points[0], t1, t0};
    const Vec m = Mid(points[0], points[1]);
    return {m, m, t0, t0};
}

bool AllFinite(const Point3 t[3]) {
    for (int i = 0; i < 3; ++i) {
        if (!std::isfinite(t[i].x) || !std::isfinite(t[i].y) || !std::isfinite(t[i].z)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IntersectTriangles(const Point3 a[3], const Point3 b[3], Point3* p0, Point3* p1) {
    KVRN_DCHECK(p0 != nullptr && p1 != nullptr);
    if (!AllFinite(a) || !AllFinite(b)) return false;
    const Vec va[3] = {ToVec(a[0]), ToVec(a[1]), ToVec(a[2])};
    const Vec vb[3] = {ToVec(b[0]), ToVec(b[1]), ToVec(b[2])};
    // Most candidate pairs are apart: reject on one plane before building the other.
    Plane planeA, planeB;
    double da[3], db[3];
    if (!FitPlane(vb, &planeB)) return false;
    CornerDistances(va, planeB, da);
    if (NoCrossing(da) || !FitPlane(va, &planeA)) return false;
    CornerDistances(vb, planeA, db);
    if (NoCrossing(db)) return false;

    // Swapping the arguments only negates dir, which mirrors both intervals alike.
    const Vec dir = Cross(planeA.normal, planeB.normal);
    if (Length(dir) <= kParallel) return false;

    const Interval ia = PlaneInterval(va, da, dir);
    const Interval ib = PlaneInterval(vb, db, dir);
    if (std::max(ia.tLo, ib.tLo) > std::min(ia.tHi, ib.tHi)) return false;
    // Equal parameters mean the same point up to rounding; the midpoint keeps (a, b) and (b, a)
    // giving the same end.
    const Vec lo = ia.tLo > ib.tLo ? ia.lo : ib.tLo > ia.tLo ? ib.lo : Mid(ia.lo, ib.lo);
    const Vec hi = ia.tHi < ib.tHi ? ia.hi : ib.tHi < ia.tHi ? ib.hi : Mid(ia.hi, ib.hi);
    *p0 = ToPoint(lo);
    *p1 = ToPoint(hi);
    return true;
}

float TouchingTolerance(const Point3 a[3], const Point3 b[3]) {
    double longest2 = 0.0;
    double magnitude = 0.0;
    for (const Point3* t : {a, b}) {
        for (int i = 0; i < 3; ++i) {
            const Vec e = ToVec(t[(i + 1) % 3]) - ToVec(t[i]);
            longest2 = std::max(longest2, Dot(e, e));
            magnitude = std::max({magnitude, std::abs(double(t[i].x)), std::abs(double(t[i].y)),
                                  std::abs(double(t[i].z))});
        }
    }
    return float(kTouchingRelativeTolerance * std::sqrt(longest2) + 1e-6 * magnitude);
}

bool IsTouchingSegment(Point3 p0, Point3 p1, const Point3 a[3], const Point3 b[3],
                       float squaredScreenLength) {
    if (!(squaredScreenLength < kTouchingSquaredScreenLength)) return false;
    const double tolerance = TouchingTolerance(a, b);
    const auto atCorner = [&](Point3 p) {
        for (const Point3* t : {a, b}) {
            for (int i = 0; i < 3; ++i) {
                if (Length(ToVec(p) - ToVec(t[i])) <= tolerance) return true;
            }
        }
        return false;
    };
    return atCorner(p0) && atCorner(p1);
}

}  // namespace KvrnLib
