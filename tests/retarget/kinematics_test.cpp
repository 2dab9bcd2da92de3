// Euler channels to matrices and back, in each joint's channel order, and
// forward kinematics.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "norvo/retarget/kinematics.h"

namespace norvo::retarget {
namespace {

void ExpectNear(const Vector& a, const Vector& b, double tolerance) {
  EXPECT_NEAR(a.x, b.x, tolerance);
  EXPECT_NEAR(a.y, b.y, tolerance);
  EXPECT_NEAR(a.z, b.z, tolerance);
}
void ExpectNear(const Matrix& a, const Matrix& b, double tolerance) {
  ExpectNear(a.off, b.off, tolerance);
  ExpectNear(a.v1, b.v1, tolerance);
  ExpectNear(a.v2, b.v2, tolerance);
  ExpectNear(a.v3, b.v3, tolerance);
}

constexpr int kOrders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};

TEST(Euler, KnownTurns) {
  const int zyx[3] = {2, 1, 0};
  const double quarterZ[3] = {90, 0, 0};
  Matrix m = RotationFromEuler(zyx, quarterZ);
  ExpectNear(m.v1, {0, 1, 0}, 1e-15);
  ExpectNear(m.v2, {-1, 0, 0}, 1e-15);
  ExpectNear(m.v3, {0, 0, 1}, 1e-15);
  // The last channel turns first: Rz(90) * Rx(90) takes y to z (Rx) and
  // leaves it there (Rz); it takes z to -y (Rx) and then to x (Rz).
  const double both[3] = {90, 0, 90};
  Matrix zx = RotationFromEuler(zyx, both);
  ExpectNear(TransformVector(zx, {0, 1, 0}), {0, 0, 1}, 1e-15);
  ExpectNear(TransformVector(zx, {0, 0, 1}), {1, 0, 0}, 1e-15);
}

TEST(Euler, RoundTripsInEveryOrderIncludingGimbalLock) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> any(-179.0, 179.0), middle(-89.0, 89.0);
  for (const auto& axes : kOrders) {
    SCOPED_TRACE(std::to_string(axes[0]) + std::to_string(axes[1]) + std::to_string(axes[2]));
    for (int i = 0; i < 200; ++i) {
      double angles[3] = {any(random), i < 20 ? (i % 2 ? 90.0 : -90.0) : middle(random), any(random)};
      Matrix m = RotationFromEuler(axes, angles);
      double back[3];
      EulerFromRotation(m, axes, back);
      EXPECT_LE(std::abs(back[1]), 90.0);
      ExpectNear(RotationFromEuler(axes, back), m, 1e-12);
      if (i >= 20) {
        EXPECT_NEAR(back[0], angles[0], 1e-9);
        EXPECT_NEAR(back[2], angles[2], 1e-9);
      }
    }
  }
}

TEST(JointMatrices, FollowTheChannelOrderAndPositions) {
  BvhJoint joint;
  joint.offset = {1, 2, 3};
  joint.channels = {Channel::Yrotation, Channel::Zposition, Channel::Xrotation,
                    Channel::Xposition, Channel::Zrotation, Channel::Yposition};
  const double frame[6] = {30, 0.5, -40, 0.25, 100, -1};
  Matrix local = LocalMatrix(joint, frame);
  const int yxz[3] = {1, 0, 2};
  const double angles[3] = {30, -40, 100};
  Matrix expected = RotationFromEuler(yxz, angles);
  expected.off = {1.25, 1, 3.5};
  ExpectNear(local, expected, 1e-15);

  double stored[6];
  StoreLocalMatrix(joint, local, stored);
  ExpectNear(LocalMatrix(joint, stored), local, 1e-12);
  EXPECT_NEAR(stored[1], 0.5, 1e-15);
  EXPECT_NEAR(stored[3], 0.25, 1e-15);
  EXPECT_NEAR(stored[5], -1, 1e-15);

  Matrix rest = LocalMatrix(joint, nullptr);
  EXPECT_EQ(rest, (Matrix{{1, 2, 3}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}));
}

TEST(JointMatrices, StoredAnglesStayCloseToThePreviousFrame) {
  BvhJoint joint;
  joint.channels = {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation};
  struct Case {
    double previous[3], now[3];
  };
  // A turn through 180 degrees, and one past the middle angle's 90.
  const Case cases[] = {{{179, 10, 20}, {-178, 11, 21}}, {{-170, 5, 0}, {175, 4, 1}}, {{30, 88, 10}, {210, 92, 190}}};
  for (const Case& c : cases) {
    const int zyx[3] = {2, 1, 0};
    Matrix local = RotationFromEuler(zyx, c.now);
    double stored[3];
    StoreLocalMatrix(joint, local, stored, c.previous);
    ExpectNear(RotationFromEuler(zyx, stored), local, 1e-12);
    for (int i = 0; i < 3; ++i) EXPECT_LT(std::abs(stored[i] - c.previous[i]), 16.0) << i;
  }
}

TEST(ForwardKinematics, ComposesParentsBeforeChildren) {
  BvhSkeleton skeleton;
  skeleton.AddJoint("a", -1, {0, 1, 0}, {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation});
  skeleton.AddJoint("b", 0, {2, 0, 0}, {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation});
  skeleton.AddJoint("c", 1, {2, 0, 0}, {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation});
  const double frame[9] = {90, 0, 0, 90, 0, 0, 0, 0, 0};
  Matrix locals[3], globals[3];
  for (int j = 0; j < 3; ++j) locals[j] = LocalMatrix(skeleton.joints[std::size_t(j)], frame);
  ForwardKinematics(skeleton, locals, globals);
  ExpectNear(globals[0].off, {0, 1, 0}, 1e-15);
  ExpectNear(globals[1].off, {0, 3, 0}, 1e-15);
  ExpectNear(globals[2].off, {-2, 3, 0}, 1e-15);
  ExpectNear(globals[2], Multiply(globals[1], locals[2]), 0.0);
}

}  // namespace
}  // namespace norvo::retarget
