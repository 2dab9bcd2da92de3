// glTF's translation, rotation (a unit quaternion x, y, z, w) and scale, and
// the matrix they make: for the glTF reader and writers.
#pragma once
#include <cmath>

#include "norvo/matrix.h"
#include "norvo/retarget/base/geometry.h"

namespace norvo::retarget {

struct Trs {
  Vector t;
  double q[4] = {0, 0, 0, 1};  // x, y, z, w
  Vector s{1, 1, 1};
};

inline Matrix FromTrs(const Trs& trs) noexcept {
  const double x = trs.q[0], y = trs.q[1], z = trs.q[2], w = trs.q[3];
  Matrix m;
  m.off = trs.t;
  m.v1 = Scale({1 - 2 * (y * y + z * z), 2 * (x * y + z * w), 2 * (x * z - y * w)}, trs.s.x);
  m.v2 = Scale({2 * (x * y - z * w), 1 - 2 * (x * x + z * z), 2 * (y * z + x * w)}, trs.s.y);
  m.v3 = Scale({2 * (x * z + y * w), 2 * (y * z - x * w), 1 - 2 * (x * x + y * y)}, trs.s.z);
  return m;
}

// The translation, rotation and scale of a matrix (a mirrored one has its
// X scale negative); axes that are not square to each other give the
// rotation nearest them.
inline Trs ToTrs(const Matrix& m) noexcept {
  Trs p;
  p.t = m.off;
  double sx = Length(m.v1);
  const double sy = Length(m.v2), sz = Length(m.v3);
  if (Determinant(m) < 0) sx = -sx;
  p.s = {sx, sy, sz};
  const Vector c1 = sx != 0 ? Scale(m.v1, 1 / sx) : Vector{1, 0, 0};
  const Vector c2 = sy != 0 ? Scale(m.v2, 1 / sy) : Vector{0, 1, 0};
  const Vector c3 = sz != 0 ? Scale(m.v3, 1 / sz) : Vector{0, 0, 1};
  // rRC: row R, column C of the rotation; its columns are c1, c2, c3.
  const double r00 = c1.x, r10 = c1.y, r20 = c1.z, r01 = c2.x, r11 = c2.y, r21 = c2.z, r02 = c3.x, r12 = c3.y,
               r22 = c3.z;
  double x, y, z, w;
  if (const double trace = r00 + r11 + r22; trace > 0) {
    const double k = 0.5 / std::sqrt(trace + 1);
    w = 0.25 / k, x = (r21 - r12) * k, y = (r02 - r20) * k, z = (r10 - r01) * k;
  } else if (r00 > r11 && r00 > r22) {
    const double k = 2 * std::sqrt(1 + r00 - r11 - r22);
    w = (r21 - r12) / k, x = 0.25 * k, y = (r01 + r10) / k, z = (r02 + r20) / k;
  } else if (r11 > r22) {
    const double k = 2 * std::sqrt(1 + r11 - r00 - r22);
    w = (r02 - r20) / k, x = (r01 + r10) / k, y = 0.25 * k, z = (r12 + r21) / k;
  } else {
    const double k = 2 * std::sqrt(1 + r22 - r00 - r11);
    w = (r10 - r01) / k, x = (r02 + r20) / k, y = (r12 + r21) / k, z = 0.25 * k;
  }
  const double length = std::sqrt(x * x + y * y + z * z + w * w);
  if (length > 0) p.q[0] = x / length, p.q[1] = y / length, p.q[2] = z / length, p.q[3] = w / length;
  return p;
}

}  // namespace norvo::retarget
