// Affine 4x3 transform, row-vector convention: p' = p * M, with the translation in row 3.
// A * B applies A first, then B.
#pragma once

#include <array>

#include "point3.h"

class Matrix3 {
  public:
    // Identity.
    Matrix3();
    static Matrix3 Translation(const Point3& t);
    // Right-handed rotations by angle radians about the axis.
    static Matrix3 RotationX(float angle);
    static Matrix3 RotationY(float angle);
    static Matrix3 RotationZ(float angle);
    static Matrix3 Scale(const Point3& s);

    const Point3& GetRow(int i) const { return rows_.at(i); }
    void SetRow(int i, const Point3& row) { rows_.at(i) = row; }
    Point3 GetTrans() const { return rows_[3]; }
    void SetTrans(const Point3& t) { rows_[3] = t; }

    Matrix3 operator*(const Matrix3& other) const;
    Point3 PointTransform(const Point3& p) const;
    // Direction: the translation is ignored.
    Point3 VectorTransform(const Point3& v) const;
    // Inverse of an invertible affine matrix; a singular one gives the identity.
    Matrix3 Inverse() const;
    bool IsIdentity(float tolerance = 1e-6f) const;

  private:
    std::array<Point3, 4> rows_;
};

inline Point3 operator*(const Point3& p, const Matrix3& m) { return m.PointTransform(p); }

// Inverse transpose of m's 3 x 3 part, no translation: maps normals as m maps points.
Matrix3 NormalMatrix(const Matrix3& m);
