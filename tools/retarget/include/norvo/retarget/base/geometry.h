// Vectors and rotations on the 3x3 part of matrices (offset 0): lengths,
// the shortest rotation between two directions, the best-fitting rotation
// of many, angles in degrees.
#pragma once
#include <cmath>

#include "norvo/matrix.h"

namespace norvo::retarget {

// Small rotation helpers on the 3x3 part of matrices (offset 0).
inline double Length(const Vector& v) noexcept { return std::sqrt(Dot(v, v)); }
// The part of `v` across the unit axis `up`.
inline Vector Across(const Vector& v, const Vector& up) noexcept { return Subtract(v, Scale(up, Dot(v, up))); }
// The rotation by `radians` about the unit `axis`.
Matrix AxisAngle(const Vector& axis, double radians) noexcept;
// The shortest rotation that takes the direction of `from` onto that of
// `to`; the identity when either is (nearly) zero. Opposite directions rotate
// by half a turn about an axis normal to them.
Matrix RotationBetween(const Vector& from, const Vector& to) noexcept;
// The transpose of the 3x3 part: the inverse of a rotation.
Matrix Transposed(const Matrix& rotation) noexcept;
// The rotation R that best rotates directions a_i onto directions b_i (least
// squares), given the sum of b_i * a_i^T; the identity for a zero sum.
Matrix FitRotation(const Matrix& correlation) noexcept;
// The angle between two directions in degrees; 0 when either is zero.
double AngleDegrees(const Vector& a, const Vector& b) noexcept;

}  // namespace norvo::retarget
