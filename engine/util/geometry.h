// Engine geometry: points, boxes and the host-style affine transform.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace KvrnLib {

struct Point2 {
    float x = 0.0f;
    float y = 0.0f;
};

struct Point3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
};

inline Point2 operator+(Point2 a, Point2 b) { return {a.x + b.x, a.y + b.y}; }
inline Point2 operator-(Point2 a, Point2 b) { return {a.x - b.x, a.y - b.y}; }
inline Point2 operator*(Point2 a, float s) { return {a.x * s, a.y * s}; }
inline float Dot(Point2 a, Point2 b) { return a.x * b.x + a.y * b.y; }
// The z of the 3D cross product: positive when b turns counter-clockwise from a.
inline float Cross(Point2 a, Point2 b) { return a.x * b.y - a.y * b.x; }
inline float Length(Point2 a) { return std::sqrt(a.x * a.x + a.y * a.y); }

inline Point3 operator+(Point3 a, Point3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Point3 operator-(Point3 a, Point3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Point3 operator*(Point3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline bool operator==(Point3 a, Point3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
inline bool operator==(Point2 a, Point2 b) { return a.x == b.x && a.y == b.y; }
inline float Dot(Point3 a, Point3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Point3 Cross(Point3 a, Point3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Pi as single precision.
inline constexpr float kPi = 3.1415927f;
// Degrees to radians, rounded as single precision.
inline constexpr float Radians(float degrees) { return degrees * 0.017453292f; }

inline constexpr float kBoxEmptyMin = std::numeric_limits<float>::max();  // 3.4028235e38

// Axis-aligned screen box. Empty: min = +FLT_MAX, max = -FLT_MAX in every component.
struct Box2 {
    float minX = kBoxEmptyMin;
    float minY = kBoxEmptyMin;
    float maxX = -kBoxEmptyMin;
    float maxY = -kBoxEmptyMin;

    bool IsEmpty() const { return minX > maxX || minY > maxY; }
    void Add(Point2 p);
    void Add(const Box2& b);
    // Touching boxes overlap; an empty box overlaps nothing.
    bool Overlaps(const Box2& b) const {
        return minX <= b.maxX && b.minX <= maxX && minY <= b.maxY && b.minY <= maxY;
    }
};

// Axis-aligned 3D box. Empty: min = +FLT_MAX, max = -FLT_MAX in every component.
struct Box3 {
    Point3 min{kBoxEmptyMin, kBoxEmptyMin, kBoxEmptyMin};
    Point3 max{-kBoxEmptyMin, -kBoxEmptyMin, -kBoxEmptyMin};

    bool IsEmpty() const { return min.x > max.x || min.y > max.y || min.z > max.z; }
    void Add(Point3 p);
    void Add(const Box3& b);
};

// Affine transform as the host stores it: four rows, points are row vectors,
// p' = p.x * row[0] + p.y * row[1] + p.z * row[2] + row[3].
struct Matrix3 {
    Point3 row[4] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}};

    static Matrix3 Identity() { return {}; }
    Point3 PointTransform(Point3 p) const;
    Point3 VectorTransform(Point3 v) const;  // ignores the translation row
    double Determinant() const;              // of the 3 x 3 part
    // Returns false (and leaves *out untouched) when the 3 x 3 part is singular.
    bool Inverse(Matrix3* out) const;
    // Inverse transpose of the 3 x 3 part, no translation: maps normals.
    bool NormalMatrix(Matrix3* out) const;
};

// a then b: (a * b).PointTransform(p) == b.PointTransform(a.PointTransform(p)).
Matrix3 operator*(const Matrix3& a, const Matrix3& b);

}  // namespace KvrnLib
