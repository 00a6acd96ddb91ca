// Triangle-triangle intersection for intersection lines: the segment two triangles share, and
// the test that drops the specks left where triangles merely touch at their corners.
#pragma once

#include "geometry.h"

namespace KvrnLib {

// Squared screen length (pixels squared) below which a segment ending at triangle corners is
// a touch, not a line: 0.05 pixel.
inline constexpr float kTouchingSquaredScreenLength = 0.0025f;
// An end "coincides" with a corner within this fraction of the longest edge of the two
// triangles (see TouchingTolerance).
inline constexpr float kTouchingRelativeTolerance = 1e-4f;

// Segment of the line common to both triangles' planes that lies inside both triangles, in the
// triangles' own (camera-space) coordinates; computed in double. Returns false, leaving *p0 and
// *p1 untouched, when the triangles are apart, coplanar (or parallel within rounding), either
// has zero area, or any coordinate is not finite. Triangles that only touch at a corner or along
// an edge give that point (p0 == p1) or that edge. The result does not depend on the order of
// the arguments or of the vertices, except that p0 and p1 may swap. p0 and p1 must not be null.
bool IntersectTriangles(const Point3 a[3], const Point3 b[3], Point3* p0, Point3* p1);

// Distance within which a segment end coincides with a corner of a or b: the relative tolerance
// times the longest edge, plus 1e-6 times the largest coordinate magnitude (a few float ulps,
// so far-off triangles still meet their own rounded corners).
float TouchingTolerance(const Point3 a[3], const Point3 b[3]);

// True when the segment p0-p1 found for a and b should be discarded: its squared screen length
// (computed by the caller, pixels squared) is below kTouchingSquaredScreenLength and each end
// lies within TouchingTolerance(a, b) of a corner of a or b.
bool IsTouchingSegment(Point3 p0, Point3 p1, const Point3 a[3], const Point3 b[3],
                       float squaredScreenLength);

}  // namespace KvrnLib
