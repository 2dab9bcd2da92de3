// Matrix and Vector. A Matrix is twelve doubles: the offset o, then the axis
// vectors a1, a2, a3. A default Matrix is the identity: o = (0,0,0),
// a1 = (1,0,0), a2 = (0,1,0), a3 = (0,0,1). Through an empty reference a
// matrix accessor yields all zeros (EmptyValue<Matrix>).
#pragma once
#include "norvo/object.h"
#include "norvo/string.h"
#include "norvo/types.h"

namespace norvo {

struct Vector {
  Float64 x = 0.0;
  Float64 y = 0.0;
  Float64 z = 0.0;
  friend bool operator==(const Vector&, const Vector&) = default;
};

struct Matrix {
  Vector off{0.0, 0.0, 0.0};
  Vector v1{1.0, 0.0, 0.0};
  Vector v2{0.0, 1.0, 0.0};
  Vector v3{0.0, 0.0, 1.0};
  friend bool operator==(const Matrix&, const Matrix&) = default;
};

inline constexpr Matrix kZeroMatrix{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}};

template <>
inline const Matrix& EmptyValue<Matrix>() noexcept {
  return kZeroMatrix;
}

// ---- Arithmetic ------------------------------------------------------------
// a1, a2, a3 are the columns of the 3x3 part. A point p maps to
// o + a1*p.x + a2*p.y + a3*p.z, and Multiply(m, n) applies n first:
// global = Multiply(parentGlobal, local). Everything is closed form on
// doubles, evaluated in the order written here; nothing normalises or
// repairs a matrix, so scale and shear pass through unchanged. The helpers
// are inline so that loops over many matrices compile to plain arithmetic.

inline Vector Add(const Vector& a, const Vector& b) noexcept { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vector Subtract(const Vector& a, const Vector& b) noexcept { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vector Scale(const Vector& v, Float64 s) noexcept { return {v.x * s, v.y * s, v.z * s}; }
inline Float64 Dot(const Vector& a, const Vector& b) noexcept { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vector Cross(const Vector& a, const Vector& b) noexcept {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// The 3x3 part of m applied to v: a1*v.x + a2*v.y + a3*v.z (no offset).
inline Vector TransformVector(const Matrix& m, const Vector& v) noexcept {
  return {m.v1.x * v.x + m.v2.x * v.y + m.v3.x * v.z, m.v1.y * v.x + m.v2.y * v.y + m.v3.y * v.z,
          m.v1.z * v.x + m.v2.z * v.y + m.v3.z * v.z};
}

// The point p mapped by m: o + a1*p.x + a2*p.y + a3*p.z.
inline Vector TransformPoint(const Matrix& m, const Vector& p) noexcept {
  return {m.off.x + m.v1.x * p.x + m.v2.x * p.y + m.v3.x * p.z, m.off.y + m.v1.y * p.x + m.v2.y * p.y + m.v3.y * p.z,
          m.off.z + m.v1.z * p.x + m.v2.z * p.y + m.v3.z * p.z};
}

// The 3x3 product m3*n3 (n3 applied first); the offset is (0,0,0).
inline Matrix Multiply3x3(const Matrix& m, const Matrix& n) noexcept {
  return {{0.0, 0.0, 0.0}, TransformVector(m, n.v1), TransformVector(m, n.v2), TransformVector(m, n.v3)};
}

// The product m*n, n applied first: offset m mapping n.o as a point, axes
// m3*n.a1, m3*n.a2, m3*n.a3.
inline Matrix Multiply(const Matrix& m, const Matrix& n) noexcept {
  return {TransformPoint(m, n.off), TransformVector(m, n.v1), TransformVector(m, n.v2), TransformVector(m, n.v3)};
}

// a1 . (a2 x a3), the scalar triple product of the axis vectors.
inline Float64 Determinant(const Matrix& m) noexcept { return Dot(m.v1, Cross(m.v2, m.v3)); }

// The inverse of the 3x3 part, with offset (0,0,0). Singular input (a
// determinant of exactly 0.0; no tolerance) gives the identity. Otherwise
// r = 1/det is taken once and the rows of the inverse are (a2 x a3)*r,
// (a3 x a1)*r and (a1 x a2)*r.
inline Matrix Inverse3x3(const Matrix& m) noexcept {
  Vector row1 = Cross(m.v2, m.v3);
  Float64 det = Dot(m.v1, row1);
  if (det == 0.0) return Matrix{};
  Float64 r = 1.0 / det;
  row1 = Scale(row1, r);
  Vector row2 = Scale(Cross(m.v3, m.v1), r);
  Vector row3 = Scale(Cross(m.v1, m.v2), r);
  return {{0.0, 0.0, 0.0}, {row1.x, row2.x, row3.x}, {row1.y, row2.y, row3.y}, {row1.z, row2.z, row3.z}};
}

// The inverse of the whole matrix: the 3x3 inverse above and the offset
// -(inverse 3x3)*o. Singular input (determinant exactly 0.0) gives the
// identity with offset (0,0,0).
inline Matrix AffineInverse(const Matrix& m) noexcept {
  if (Determinant(m) == 0.0) return Matrix{};
  Matrix inverse = Inverse3x3(m);
  inverse.off = Scale(TransformVector(inverse, m.off), -1.0);
  return inverse;
}

// ---- Text --------------------------------------------------------------------

// "(" x "," y "," z ")", each number through FloatToString(-1, -3, false, '0').
String VectorToString(const Vector& v, const FormatStatement* format = nullptr) noexcept;
// "(" a1 "," a2 "," a3 "," o ")": the identity prints ((1,0,0),(0,1,0),(0,0,1),(0,0,0)).
String MatrixToString(const Matrix& m, const FormatStatement* format = nullptr) noexcept;

}  // namespace norvo
