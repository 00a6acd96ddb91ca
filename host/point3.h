// Host vector and colour values (float components).
#pragma once

#include <cmath>

struct Point3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;

    constexpr Point3() = default;
    constexpr Point3(float xIn, float yIn, float zIn) : x(xIn), y(yIn), z(zIn) {}
    constexpr Point3 operator+(const Point3& o) const { return {x + o.x, y + o.y, z + o.z}; }
    constexpr Point3 operator-(const Point3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    constexpr Point3 operator*(float s) const { return {x * s, y * s, z * s}; }
    constexpr Point3 operator-() const { return {-x, -y, -z}; }
    constexpr Point3& operator+=(const Point3& o) { return *this = *this + o; }
    constexpr bool operator==(const Point3&) const = default;
    float Length() const { return std::sqrt(x * x + y * y + z * z); }
};

constexpr float DotProd(const Point3& a, const Point3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
constexpr Point3 CrossProd(const Point3& a, const Point3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
// Unit vector along p; a zero vector stays zero.
inline Point3 Normalize(const Point3& p) {
    const float len = p.Length();
    return len > 0.0f ? p * (1.0f / len) : p;
}

// RGB colour, nominally 0..1 per channel (not clamped).
struct Color {
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;

    constexpr Color() = default;
    constexpr Color(float rIn, float gIn, float bIn) : r(rIn), g(gIn), b(bIn) {}
    constexpr Color operator+(const Color& o) const { return {r + o.r, g + o.g, b + o.b}; }
    constexpr Color operator-(const Color& o) const { return {r - o.r, g - o.g, b - o.b}; }
    constexpr Color operator*(float s) const { return {r * s, g * s, b * s}; }
    constexpr Color operator*(const Color& o) const { return {r * o.r, g * o.g, b * o.b}; }
    constexpr Color& operator+=(const Color& o) { return *this = *this + o; }
    constexpr Color& operator*=(const Color& o) { return *this = *this * o; }
    constexpr Color& operator*=(float s) { return *this = *this * s; }
    constexpr bool operator==(const Color&) const = default;
};
