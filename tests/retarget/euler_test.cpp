// BVH channels to matrices and back, in each joint's channel order, and
// forward kinematics.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <sstream>

#include "norvo/retarget/bvh.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

void ExpectNear(const Matrix& a, const Matrix& b, double tolerance) {
  for (const auto& [u, v] :
       {std::pair{a.off, b.off}, std::pair{a.v1, b.v1}, std::pair{a.v2, b.v2}, std::pair{a.v3, b.v3}})
    EXPECT_LE(std::max({std::abs(u.x - v.x), std::abs(u.y - v.y), std::abs(u.z - v.z)}), tolerance);
}

const int kZyx[3] = {2, 1, 0};

TEST(Euler, TheLastChannelTurnsFirst) {
  // Rz(90) * Rx(90): Rx takes y to z and z to -y, then Rz keeps z and takes
  // x to y and -y to x.
  const double both[3] = {90, 0, 90};
  ExpectNear(RotationFromEuler(kZyx, both), Matrix{{}, {0, 1, 0}, {0, 0, 1}, {1, 0, 0}}, 1e-15);
}

TEST(Euler, RoundTripsInEveryOrderIncludingGimbalLock) {
  const int orders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  std::mt19937 random(7);
  std::uniform_real_distribution<double> any(-179.0, 179.0), middle(-89.0, 89.0);
  for (const auto& axes : orders) {
    SCOPED_TRACE(std::to_string(axes[0]) + std::to_string(axes[1]) + std::to_string(axes[2]));
    for (int i = 0; i < 200; ++i) {
      double angles[3] = {any(random), i < 20 ? (i % 2 ? 90.0 : -90.0) : middle(random), any(random)};
      Matrix m = RotationFromEuler(axes, angles);
      double back[3];
      EulerFromRotation(m, axes, back);
      ExpectNear(RotationFromEuler(axes, back), m, 1e-12);
      if (i >= 20) {
        EXPECT_LT(std::abs(back[0] - angles[0]) + std::abs(back[2] - angles[2]), 1e-9);
      }
    }
  }
}

// The numbers of a frame line of a BVH text: its last line.
std::vector<double> LastLine(const std::string& text) {
  std::vector<double> values;
  std::istringstream line(text.substr(text.rfind('\n', text.size() - 2) + 1));
  for (double value; line >> value;) values.push_back(value);
  return values;
}

TEST(JointMatrices, FollowTheChannelOrderAndStayCloseToThePreviousFrame) {
  Skeleton skeleton;
  skeleton.AddJoint("j", -1, {1, 2, 3},
                    {Channel::Yrotation, Channel::Zposition, Channel::Xrotation, Channel::Xposition, Channel::Zrotation,
                     Channel::Yposition});
  const double frame[6] = {30, 0.5, -40, 0.25, 100, -1}, angles[3] = {30, -40, 100};
  const int yxz[3] = {1, 0, 2};
  Matrix expected = RotationFromEuler(yxz, angles);
  expected.off = {1.25, 1, 3.5};
  const Motion motion = test::Ok(MotionFromChannels(skeleton, 0.1, frame));
  ExpectNear(motion.Frame(0)[0], expected, 1e-15);
  const std::vector<double> written = LastLine(test::Ok(FormatBvh(motion)));
  ASSERT_EQ(written.size(), 6u);
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(written[std::size_t(i)], frame[i], 1e-6) << i;
  EXPECT_EQ(skeleton.joints[0].rest, (Matrix{{1, 2, 3}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}}));

  // A turn through 180 degrees, and one past the middle angle's 90, keep
  // the written angles near the frame before's instead of jumping.
  skeleton.joints[0].channels = {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation};
  const double cases[3][2][3] = {
      {{179, 10, 20}, {-178, 11, 21}}, {{-170, 5, 0}, {175, 4, 1}}, {{30, 88, 10}, {210, 92, 190}}};
  for (const auto& [previous, now] : cases) {
    Motion two = test::Ok(MotionFromChannels(skeleton, 0.1, std::span<const double>(previous, 3)));
    two.locals.push_back(RotationFromEuler(kZyx, now));
    two.locals.back().off = skeleton.joints[0].Offset();
    const std::vector<double> stored = LastLine(test::Ok(FormatBvh(two)));
    ASSERT_EQ(stored.size(), 3u);
    ExpectNear(RotationFromEuler(kZyx, stored.data()), RotationFromEuler(kZyx, now), 1e-6);
    for (int i = 0; i < 3; ++i) EXPECT_LT(std::abs(stored[std::size_t(i)] - previous[i]), 16.0) << i;
  }
}

TEST(ForwardKinematics, ComposesParentsBeforeChildren) {
  Skeleton skeleton;
  for (int j = 0; j < 3; ++j)
    skeleton.AddJoint("j", j - 1, j ? Vector{2, 0, 0} : Vector{0, 1, 0},
                      {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation});
  const double frame[9] = {90, 0, 0, 90, 0, 0, 0, 0, 0};
  const Motion motion = test::Ok(MotionFromChannels(skeleton, 0.1, frame));
  Matrix globals[3];
  FrameGlobals(motion, 0, globals);
  ExpectNear(globals[1], Matrix{{0, 3, 0}, {-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}, 1e-15);
  ExpectNear(globals[2], Matrix{{-2, 3, 0}, {-1, 0, 0}, {0, -1, 0}, {0, 0, 1}}, 1e-15);
}

}  // namespace
}  // namespace norvo::retarget
