// The matrix arithmetic of norvo/matrix.h on two matrices at once, one in
// each lane of a pair of doubles. Every lane takes exactly the steps of the
// single-matrix functions, in their order and without fused steps, so each
// result has the same bits as theirs; a singular lane takes the identity
// where they do. Two independent nodes' work then shares the instructions.
#pragma once
#include "norvo/matrix.h"

namespace norvo::retargetbase::pairs {

using Lanes = double __attribute__((vector_size(16)));
using Mask = long long __attribute__((vector_size(16)));  // all bits set in a lane, or none

struct Vector2 {
  Lanes x, y, z;
};

struct Matrix2 {
  Vector2 off, v1, v2, v3;
};

inline Vector2 Load(const Vector& a, const Vector& b) noexcept {
  return {Lanes{a.x, b.x}, Lanes{a.y, b.y}, Lanes{a.z, b.z}};
}

inline Matrix2 Load(const Matrix& a, const Matrix& b) noexcept {
  return {Load(a.off, b.off), Load(a.v1, b.v1), Load(a.v2, b.v2), Load(a.v3, b.v3)};
}

inline Vector Lane(const Vector2& v, int lane) noexcept { return {v.x[lane], v.y[lane], v.z[lane]}; }

inline Matrix Lane(const Matrix2& m, int lane) noexcept {
  return {Lane(m.off, lane), Lane(m.v1, lane), Lane(m.v2, lane), Lane(m.v3, lane)};
}

inline Vector2 Subtract(const Vector2& a, const Vector2& b) noexcept { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vector2 Scale(const Vector2& v, Lanes s) noexcept { return {v.x * s, v.y * s, v.z * s}; }
inline Lanes Dot(const Vector2& a, const Vector2& b) noexcept { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vector2 Cross(const Vector2& a, const Vector2& b) noexcept {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

inline Vector2 TransformVector(const Matrix2& m, const Vector2& v) noexcept {
  return {m.v1.x * v.x + m.v2.x * v.y + m.v3.x * v.z, m.v1.y * v.x + m.v2.y * v.y + m.v3.y * v.z,
          m.v1.z * v.x + m.v2.z * v.y + m.v3.z * v.z};
}

inline Vector2 TransformPoint(const Matrix2& m, const Vector2& p) noexcept {
  return {m.off.x + m.v1.x * p.x + m.v2.x * p.y + m.v3.x * p.z, m.off.y + m.v1.y * p.x + m.v2.y * p.y + m.v3.y * p.z,
          m.off.z + m.v1.z * p.x + m.v2.z * p.y + m.v3.z * p.z};
}

inline Matrix2 Multiply3x3(const Matrix2& m, const Matrix2& n) noexcept {
  const Lanes zero{0.0, 0.0};
  return {{zero, zero, zero}, TransformVector(m, n.v1), TransformVector(m, n.v2), TransformVector(m, n.v3)};
}

inline Matrix2 Multiply(const Matrix2& m, const Matrix2& n) noexcept {
  return {TransformPoint(m, n.off), TransformVector(m, n.v1), TransformVector(m, n.v2), TransformVector(m, n.v3)};
}

// `m` in the lanes where `singular` is clear, the identity where it is set.
inline Matrix2 IdentityWhere(Mask singular, const Matrix2& m) noexcept {
  const Lanes zero{0.0, 0.0}, one{1.0, 1.0};
  auto pick = [&](Lanes identity, Lanes value) { return singular ? identity : value; };
  return {{pick(zero, m.off.x), pick(zero, m.off.y), pick(zero, m.off.z)},
          {pick(one, m.v1.x), pick(zero, m.v1.y), pick(zero, m.v1.z)},
          {pick(zero, m.v2.x), pick(one, m.v2.y), pick(zero, m.v2.z)},
          {pick(zero, m.v3.x), pick(zero, m.v3.y), pick(one, m.v3.z)}};
}

// Inverse3x3 lane by lane; `det` is the determinant it tests.
inline Matrix2 Inverse3x3(const Matrix2& m, Lanes& det) noexcept {
  Vector2 row1 = Cross(m.v2, m.v3);
  det = Dot(m.v1, row1);
  const Lanes r = Lanes{1.0, 1.0} / det;
  row1 = Scale(row1, r);
  const Vector2 row2 = Scale(Cross(m.v3, m.v1), r);
  const Vector2 row3 = Scale(Cross(m.v1, m.v2), r);
  const Lanes zero{0.0, 0.0};
  const Matrix2 inverse{
      {zero, zero, zero}, {row1.x, row2.x, row3.x}, {row1.y, row2.y, row3.y}, {row1.z, row2.z, row3.z}};
  return IdentityWhere(det == zero, inverse);
}

inline Matrix2 Inverse3x3(const Matrix2& m) noexcept {
  Lanes det;
  return Inverse3x3(m, det);
}

// AffineInverse lane by lane: its determinant test is the one Inverse3x3
// makes (the same products in the same order).
inline Matrix2 AffineInverse(const Matrix2& m) noexcept {
  Lanes det;
  Matrix2 inverse = Inverse3x3(m, det);
  inverse.off = Scale(TransformVector(inverse, m.off), Lanes{-1.0, -1.0});
  return IdentityWhere(det == Lanes{0.0, 0.0}, inverse);
}

}  // namespace norvo::retargetbase::pairs
