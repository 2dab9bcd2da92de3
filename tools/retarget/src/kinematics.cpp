#include "norvo/retarget/kinematics.h"

#include <cmath>
#include <numbers>

namespace norvo::retarget {

namespace {

constexpr double kDegrees = 180.0 / std::numbers::pi;
constexpr double kRadians = std::numbers::pi / 180.0;

const Vector& Column(const Matrix& m, int c) noexcept { return c == 0 ? m.v1 : c == 1 ? m.v2 : m.v3; }
Vector& Column(Matrix& m, int c) noexcept { return c == 0 ? m.v1 : c == 1 ? m.v2 : m.v3; }
double Get(const Vector& v, int r) noexcept { return r == 0 ? v.x : r == 1 ? v.y : v.z; }
double& Get(Vector& v, int r) noexcept { return r == 0 ? v.x : r == 1 ? v.y : v.z; }
// Row r, column c of the 3x3 part.
double At(const Matrix& m, int r, int c) noexcept { return Get(Column(m, c), r); }

// The rotation by `radians` about axis 0, 1 or 2.
Matrix AxisRotation(int axis, double radians) noexcept {
  const double s = std::sin(radians), c = std::cos(radians);
  Matrix m;
  const int j = (axis + 1) % 3, k = (axis + 2) % 3;
  Get(Column(m, j), j) = c;
  Get(Column(m, j), k) = s;
  Get(Column(m, k), j) = -s;
  Get(Column(m, k), k) = c;
  return m;
}

}  // namespace

Matrix RotationFromEuler(const int axes[3], const double degrees[3]) noexcept {
  return Multiply(Multiply(AxisRotation(axes[0], degrees[0] * kRadians), AxisRotation(axes[1], degrees[1] * kRadians)),
                  AxisRotation(axes[2], degrees[2] * kRadians));
}

void EulerFromRotation(const Matrix& m, const int axes[3], double degrees[3]) noexcept {
  // R = Ri(a) * Rj(b) * Rk(c). Row i of R does not depend on a: it holds
  // s*sin(b) at column k and cos(b) times (cos(c), -s*sin(c)) at columns i
  // and j, with s = 1 for a cyclic order (XYZ, YZX, ZXY), -1 otherwise.
  const int i = axes[0], j = axes[1], k = axes[2];
  const double s = (j - i + 3) % 3 == 1 ? 1.0 : -1.0;
  const double cosB = std::hypot(At(m, i, i), At(m, i, j));
  const double b = std::atan2(s * At(m, i, k), cosB);
  const double c = cosB > 1e-12 ? std::atan2(-s * At(m, i, j), At(m, i, i)) : 0.0;
  // What remains, R * Rk(-c) * Rj(-b), is the rotation about axis i.
  const Matrix rest = Multiply(Multiply(m, AxisRotation(k, -c)), AxisRotation(j, -b));
  const double a = std::atan2(s * At(rest, k, j), At(rest, j, j));
  degrees[0] = a * kDegrees;
  degrees[1] = b * kDegrees;
  degrees[2] = c * kDegrees;
}

void RotationAxes(const BvhJoint& joint, int axes[3]) noexcept {
  int n = 0;
  for (Channel c : joint.channels)
    if (IsRotation(c) && n < 3) axes[n++] = ChannelAxis(c);
}

Matrix LocalMatrix(const BvhJoint& joint, const double* frame) noexcept {
  Matrix local;
  local.off = joint.offset;
  if (!frame) return local;
  int axes[3] = {0, 1, 2};
  double angles[3] = {0, 0, 0};
  int n = 0;
  const double* values = frame + joint.firstValue;
  for (std::size_t c = 0; c < joint.channels.size(); ++c) {
    Channel channel = joint.channels[c];
    if (IsRotation(channel)) {
      axes[n] = ChannelAxis(channel);
      angles[n++] = values[c];
    } else {
      Get(local.off, ChannelAxis(channel)) += values[c];
    }
  }
  Matrix rotation = RotationFromEuler(axes, angles);
  local.v1 = rotation.v1;
  local.v2 = rotation.v2;
  local.v3 = rotation.v3;
  return local;
}

namespace {

// `angle` plus the whole turns that bring it closest to `near`.
double Nearest(double angle, double near) noexcept { return angle - 360.0 * std::round((angle - near) / 360.0); }

}  // namespace

void StoreLocalMatrix(const BvhJoint& joint, const Matrix& local, double* frame, const double* previousFrame) noexcept {
  int axes[3] = {0, 1, 2};
  RotationAxes(joint, axes);
  double angles[3];
  EulerFromRotation(local, axes, angles);
  int rotation[3] = {0, 0, 0};  // the channel index of each angle
  for (int c = 0, n = 0; c < int(joint.channels.size()); ++c)
    if (IsRotation(joint.channels[std::size_t(c)]) && n < 3) rotation[n++] = c;
  if (previousFrame) {
    // Every rotation also has the angles (a + 180, 180 - b, c + 180).
    const double* before = previousFrame + joint.firstValue;
    double other[3] = {angles[0] + 180.0, 180.0 - angles[1], angles[2] + 180.0};
    double distance[2] = {0.0, 0.0};
    for (int i = 0; i < 3; ++i) {
      angles[i] = Nearest(angles[i], before[rotation[i]]);
      other[i] = Nearest(other[i], before[rotation[i]]);
      distance[0] += std::abs(angles[i] - before[rotation[i]]);
      distance[1] += std::abs(other[i] - before[rotation[i]]);
    }
    if (distance[1] < distance[0])
      for (int i = 0; i < 3; ++i) angles[i] = other[i];
  }
  double* values = frame + joint.firstValue;
  int n = 0;
  for (std::size_t c = 0; c < joint.channels.size(); ++c) {
    Channel channel = joint.channels[c];
    const int axis = ChannelAxis(channel);
    values[c] = IsRotation(channel) ? angles[n++] : Get(local.off, axis) - Get(joint.offset, axis);
  }
}

void ForwardKinematics(const BvhSkeleton& skeleton, const Matrix* locals, Matrix* globals) noexcept {
  for (std::size_t j = 0; j < skeleton.joints.size(); ++j) {
    const std::int64_t parent = skeleton.joints[j].parent;
    globals[j] = parent < 0 ? locals[j] : Multiply(globals[parent], locals[j]);
  }
}

}  // namespace norvo::retarget
