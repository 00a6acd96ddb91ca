#include "matrix3.h"

#include <cmath>

Matrix3::Matrix3() : rows_{Point3(1, 0, 0), Point3(0, 1, 0), Point3(0, 0, 1), Point3(0, 0, 0)} {}

Matrix3 Matrix3::Translation(const Point3& t) {
    Matrix3 m;
    m.rows_[3] = t;
    return m;
}

Matrix3 Matrix3::RotationX(float angle) {
    float c = std::cos(angle);
    float s = std::sin(angle);
    Matrix3 m;
    m.rows_[1] = Point3(0, c, s);
    m.rows_[2] = Point3(0, -s, c);
    return m;
}

Matrix3 Matrix3::RotationY(float angle) {
    float c = std::cos(angle);
    float s = std::sin(angle);
    Matrix3 m;
    m.rows_[0] = Point3(c, 0, -s);
    m.rows_[2] = Point3(s, 0, c);
    return m;
}

Matrix3 Matrix3::RotationZ(float angle) {
    float c = std::cos(angle);
    float s = std::sin(angle);
    Matrix3 m;
    m.rows_[0] = Point3(c, s, 0);
    m.rows_[1] = Point3(-s, c, 0);
    return m;
}

Matrix3 Matrix3::Scale(const Point3& s) {
    Matrix3 m;
    m.rows_[0] = Point3(s.x, 0, 0);
    m.rows_[1] = Point3(0, s.y, 0);
    m.rows_[2] = Point3(0, 0, s.z);
    return m;
}

Point3 Matrix3::VectorTransform(const Point3& v) const {
    return rows_[0] * v.x + rows_[1] * v.y + rows_[2] * v.z;
}

Point3 Matrix3::PointTransform(const Point3& p) const { return VectorTransform(p) + rows_[3]; }

Matrix3 Matrix3::operator*(const Matrix3& other) const {
    Matrix3 m;
    for (int i = 0; i < 3; ++i) m.rows_[i] = other.VectorTransform(rows_[i]);
    m.rows_[3] = other.PointTransform(rows_[3]);
    return m;
}

Matrix3 Matrix3::Inverse() const {
    const Point3& a = rows_[0];
    const Point3& b = rows_[1];
    const Point3& c = rows_[2];
    // Adjugate of the 3x3 part divided by its determinant.
    Point3 r0(b.y * c.z - b.z * c.y, a.z * c.y - a.y * c.z, a.y * b.z - a.z * b.y);
    Point3 r1(b.z * c.x - b.x * c.z, a.x * c.z - a.z * c.x, a.z * b.x - a.x * b.z);
    Point3 r2(b.x * c.y - b.y * c.x, a.y * c.x - a.x * c.y, a.x * b.y - a.y * b.x);
    float det = a.x * r0.x + a.y * r1.x + a.z * r2.x;
    if (std::fabs(det) < 1e-20f) return Matrix3();
    Matrix3 m;
    m.rows_[0] = r0 * (1.0f / det);
    m.rows_[1] = r1 * (1.0f / det);
    m.rows_[2] = r2 * (1.0f / det);
    m.rows_[3] = m.VectorTransform(rows_[3]) * -1.0f;
    return m;
}

bool Matrix3::IsIdentity(float tolerance) const {
    Matrix3 identity;
    for (int i = 0; i < 4; ++i) {
        if ((rows_[i] - identity.rows_[i]).Length() > tolerance) return false;
    }
    return true;
}

Matrix3 NormalMatrix(const Matrix3& m) {
    const Matrix3 inv = m.Inverse();
    const auto column = [&](int j) {
        const auto get = [j](const Point3& row) { return j == 0 ? row.x : j == 1 ? row.y : row.z; };
        return Point3(get(inv.GetRow(0)), get(inv.GetRow(1)), get(inv.GetRow(2)));
    };
    Matrix3 out;
    for (int i = 0; i < 3; ++i) out.SetRow(i, column(i));
    return out;
}
