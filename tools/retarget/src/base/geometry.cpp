#include "norvo/retarget/base/geometry.h"

#include <cmath>
#include <numbers>

namespace norvo::retarget {

Matrix AxisAngle(const Vector& axis, double radians) noexcept {
  const double c = std::cos(radians), s = std::sin(radians), k = 1.0 - c;
  const double x = axis.x, y = axis.y, z = axis.z;
  return {{0.0, 0.0, 0.0},
          {c + x * x * k, y * x * k + z * s, z * x * k - y * s},
          {x * y * k - z * s, c + y * y * k, z * y * k + x * s},
          {x * z * k + y * s, y * z * k - x * s, c + z * z * k}};
}

Matrix RotationBetween(const Vector& from, const Vector& to) noexcept {
  const double a = Length(from), b = Length(to);
  if (!(a > 1e-12) || !(b > 1e-12)) return Matrix{};
  const Vector u = Scale(from, 1.0 / a), v = Scale(to, 1.0 / b);
  Vector axis = Cross(u, v);
  const double sine = Length(axis), cosine = Dot(u, v);
  if (sine > 1e-12) return AxisAngle(Scale(axis, 1.0 / sine), std::atan2(sine, cosine));
  if (cosine > 0.0) return Matrix{};
  // Opposite: half a turn about any axis normal to them.
  axis = Cross(u, std::abs(u.x) < 0.9 ? Vector{1, 0, 0} : Vector{0, 1, 0});
  return AxisAngle(Scale(axis, 1.0 / Length(axis)), std::numbers::pi);
}

Matrix Transposed(const Matrix& r) noexcept {
  return {{0.0, 0.0, 0.0}, {r.v1.x, r.v2.x, r.v3.x}, {r.v1.y, r.v2.y, r.v3.y}, {r.v1.z, r.v2.z, r.v3.z}};
}

double AngleDegrees(const Vector& a, const Vector& b) noexcept {
  if (!(Length(a) > 0.0) || !(Length(b) > 0.0)) return 0.0;
  return std::atan2(Length(Cross(a, b)), Dot(a, b)) * 180.0 / std::numbers::pi;
}

Matrix FitRotation(const Matrix& correlation) noexcept {
  // The rotation's quaternion is the eigenvector of the largest eigenvalue
  // of a symmetric 4x4 matrix K made of the correlation B; found by power
  // iteration on K shifted so that all its eigenvalues are positive.
  const Matrix& m = correlation;
  const double b[3][3] = {{m.v1.x, m.v2.x, m.v3.x}, {m.v1.y, m.v2.y, m.v3.y}, {m.v1.z, m.v2.z, m.v3.z}};
  const double trace = b[0][0] + b[1][1] + b[2][2];
  const double z[3] = {b[1][2] - b[2][1], b[2][0] - b[0][2], b[0][1] - b[1][0]};
  double k[4][4];
  double shift = 0.0;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      k[i][j] = b[i][j] + b[j][i] - (i == j ? trace : 0.0);
      shift += std::abs(b[i][j]);
    }
    k[i][3] = k[3][i] = z[i];
  }
  k[3][3] = trace;
  if (!(shift > 0.0)) return Matrix{};
  shift *= 3.0;
  double q[4] = {0.1, 0.2, 0.3, 1.0};
  for (int iteration = 0; iteration < 500; ++iteration) {
    double next[4], norm = 0.0;
    for (int i = 0; i < 4; ++i) {
      next[i] = shift * q[i];
      for (int j = 0; j < 4; ++j) next[i] += k[i][j] * q[j];
      norm += next[i] * next[i];
    }
    norm = std::sqrt(norm);
    if (!(norm > 0.0)) return Matrix{};
    for (int i = 0; i < 4; ++i) q[i] = next[i] / norm;
  }
  // A = (w^2 - e.e) I + 2 e e^T - 2 w [e x], which rotates a onto b.
  const Vector e{q[0], q[1], q[2]};
  const double w = q[3], diagonal = w * w - Dot(e, e);
  auto column = [&](const Vector& axis) {
    return Subtract(Add(Scale(axis, diagonal), Scale(e, 2.0 * Dot(e, axis))), Scale(Cross(e, axis), 2.0 * w));
  };
  return {{0.0, 0.0, 0.0}, column({1, 0, 0}), column({0, 1, 0}), column({0, 0, 1})};
}

}  // namespace norvo::retarget
