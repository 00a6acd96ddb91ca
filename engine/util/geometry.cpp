#include "geometry.h"

#include <algorithm>

namespace KvrnLib {

void Box2::Add(Point2 p) {
    minX = std::min(minX, p.x);
    minY = std::min(minY, p.y);
    maxX = std::max(maxX, p.x);
    maxY = std::max(maxY, p.y);
}

void Box2::Add(const Box2& b) {
    minX = std::min(minX, b.minX);
    minY = std::min(minY, b.minY);
    maxX = std::max(maxX, b.maxX);
    maxY = std::max(maxY, b.maxY);
}

void Box3::Add(Point3 p) {
    min = {std::min(min.x, p.x), std::min(min.y, p.y), std::min(min.z, p.z)};
    max = {std::max(max.x, p.x), std::max(max.y, p.y), std::max(max.z, p.z)};
}

void Box3::Add(const Box3& b) {
    if (b.IsEmpty()) return;
    Add(b.min);
    Add(b.max);
}

Point3 Matrix3::PointTransform(Point3 p) const {
    return {p.x * row[0].x + p.y * row[1].x + p.z * row[2].x + row[3].x,
            p.x * row[0].y + p.y * row[1].y + p.z * row[2].y + row[3].y,
            p.x * row[0].z + p.y * row[1].z + p.z * row[2].z + row[3].z};
}

Point3 Matrix3::VectorTransform(Point3 v) const {
    return {v.x * row[0].x + v.y * row[1].x + v.z * row[2].x,
            v.x * row[0].y + v.y * row[1].y + v.z * row[2].y,
            v.x * row[0].z + v.y * row[1].z + v.z * row[2].z};
}

double Matrix3::Determinant() const {
    const double a = row[0].x, b = row[0].y, c = row[0].z;
    const double d = row[1].x, e = row[1].y, f = row[1].z;
    const double g = row[2].x, h = row[2].y, i = row[2].z;
    return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
}

bool Matrix3::Inverse(Matrix3* out) const {
    const double det = Determinant();
    if (det == 0.0) return false;
    const double a = row[0].x, b = row[0].y, c = row[0].z;
    const double d = row[1].x, e = row[1].y, f = row[1].z;
    const double g = row[2].x, h = row[2].y, i = row[2].z;
    const double s = 1.0 / det;
    Matrix3 m;
    m.row[0] = {float((e * i - f * h) * s), float((c * h - b * i) * s), float((b * f - c * e) * s)};
    m.row[1] = {float((f * g - d * i) * s), float((a * i - c * g) * s), float((c * d - a * f) * s)};
    m.row[2] = {float((d * h - e * g) * s), float((b * g - a * h) * s), float((a * e - b * d) * s)};
    const Point3 t = m.VectorTransform(row[3]);
    m.row[3] = {-t.x, -t.y, -t.z};
    *out = m;
    return true;
}

bool Matrix3::NormalMatrix(Matrix3* out) const {
    Matrix3 inv;
    if (!Inverse(&inv)) return false;
    Matrix3 n;
    n.row[0] = {inv.row[0].x, inv.row[1].x, inv.row[2].x};
    n.row[1] = {inv.row[0].y, inv.row[1].y, inv.row[2].y};
    n.row[2] = {inv.row[0].z, inv.row[1].z, inv.row[2].z};
    n.row[3] = {0, 0, 0};
    *out = n;
    return true;
}

Matrix3 operator*(const Matrix3& a, const Matrix3& b) {
    Matrix3 m;
    for (int r = 0; r < 3; ++r) m.row[r] = b.VectorTransform(a.row[r]);
    m.row[3] = b.PointTransform(a.row[3]);
    return m;
}

}  // namespace KvrnLib
