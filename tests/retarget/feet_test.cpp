// Foot sliding and planted feet on the shared walk carried onto the
// 75-joint rig, and rigs without legs.
#include <gtest/gtest.h>

#include <utility>

#include "norvo/retarget/feet.h"
#include "norvo/retarget/bvh.h"
#include "norvo/retarget/pipeline.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

using test::Ok;
using test::SharedClip;

using Feet = test::WithModule;

TEST_F(Feet, LockedFeetSlideNoMoreThanTheSourceAndKeepTheirHeight) {
  const Motion walk = SharedClip("cmu_02_01_walk.bvh");
  const Motion zombie = SharedClip("makehuman_zombie_walk.bvh");
  const Rig source = test::MakeRig(walk.skeleton, "cmu", "walk");
  const Rig target = test::MakeRig(zombie.skeleton, "makehuman-game", "zombie");
  auto retargeter = Ok(Retargeter::Create(source, target, RetargetOptions{}));
  Motion result = Ok(RetargetClip(*retargeter, walk, target, 0, walk.FrameCount()));
  const Vector up = StandingUp(source, source.restGlobals);
  EXPECT_NEAR(up.y, 1.0, 0.01);

  const FootSliding bySource = Ok(MeasureFootSliding(walk, source, up));
  const FootSliding loose = Ok(MeasureFootSliding(result, target, up));
  const Motion unlocked = result;
  ASSERT_TRUE(LockFeet(result, target, up).has_value());
  const FootSliding locked = Ok(MeasureFootSliding(result, target, up));
  ASSERT_TRUE(bySource.measured && loose.measured && locked.measured);
  for (int side = 0; side < 2; ++side) {
    SCOPED_TRACE(side);
    EXPECT_GT(bySource.contactFrames[side], 30);
    EXPECT_GT(bySource.speed[side], 0.1);
    EXPECT_GT(loose.speed[side], 0.1);
    // Where the target's shorter stride cannot keep up, the foot slides as
    // little as the leg allows.
    EXPECT_LT(locked.speed[side], bySource.speed[side]);
    EXPECT_LT(locked.speed[side], 0.75 * loose.speed[side]);
    EXPECT_EQ(locked.contactFrames[side], loose.contactFrames[side]);
  }

  // Only the legs change (they come last in the file), and the ankles keep
  // their height.
  const std::size_t firstLegJoint =
      std::size_t(target.parts.joints[std::size_t(FindStandardBodyPart("LeftUpperLeg"))][0]);
  std::vector<Matrix> ga(result.skeleton.joints.size()), gb(ga.size());
  for (std::int64_t f = 0; f < result.FrameCount(); f += 7) {
    const std::span<const Matrix> a = unlocked.Frame(f), b = std::as_const(result).Frame(f);
    FrameGlobals(unlocked, f, ga);
    FrameGlobals(result, f, gb);
    for (std::size_t j = 0; j < firstLegJoint; ++j) ASSERT_EQ(a[j], b[j]) << j;
    for (const char* foot : {"LeftFoot", "RightFoot"}) {
      const std::size_t ankle = std::size_t(target.parts.joints[std::size_t(FindStandardBodyPart(foot))][0]);
      EXPECT_NEAR(Dot(ga[ankle].off, up), Dot(gb[ankle].off, up), 1e-3);
    }
  }
}

TEST_F(Feet, ARigWithoutLegsIsNotMeasuredAndNotChanged) {
  Motion clip = test::Clip(
      "HIERARCHY\nROOT Hips\n{\nOFFSET 0 0 0\nCHANNELS 6 Xposition Yposition Zposition Zrotation Yrotation Xrotation\n"
      "JOINT Head\n{\nOFFSET 0 5 0\nCHANNELS 3 Zrotation Yrotation Xrotation\nEnd Site\n{\nOFFSET 0 1 0\n}\n}\n}\n"
      "MOTION\nFrames: 2\nFrame Time: 0.1\n0 0 0 0 0 0 0 0 0\n1 0 0 0 0 0 0 0 0\n");
  const Rig rig = test::MakeRig(clip.skeleton, "cmu");
  const Vector up = StandingUp(rig, rig.restGlobals);
  EXPECT_EQ(up, (Vector{0, 1, 0}));
  EXPECT_FALSE(Ok(MeasureFootSliding(clip, rig, up)).measured);
  const std::vector<Matrix> before = clip.locals;
  ASSERT_TRUE(LockFeet(clip, rig, up).has_value());
  EXPECT_EQ(clip.locals, before);
  // No up axis: nothing measured either.
  const Motion walk = SharedClip("cmu_02_01_walk.bvh");
  EXPECT_FALSE(Ok(MeasureFootSliding(walk, test::MakeRig(walk.skeleton, "cmu"), Vector{})).measured);
}

}  // namespace
}  // namespace norvo::retarget
