// The retargeting pipeline on the shared clips: a clip onto its own
// skeleton, onto a skeleton with the same joints and other offsets, and onto
// a rig of another family; translation; allocation failure.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "norvo/retarget/kinematics.h"
#include "norvo/retarget/pipeline.h"
#include "norvo/retarget/sample.h"
#include "retarget_support.h"
#include "test_support.h"

namespace norvo::retarget {
namespace {

using test::Ok;
using test::SharedClip;
using test::ShippedPreset;

double RotationDifference(const Matrix& a, const Matrix& b) {
  double most = 0.0;
  for (const auto& [u, v] : {std::pair{a.v1, b.v1}, std::pair{a.v2, b.v2}, std::pair{a.v3, b.v3}})
    most = std::max({most, std::abs(u.x - v.x), std::abs(u.y - v.y), std::abs(u.z - v.z)});
  return most;
}
double Distance(const Vector& a, const Vector& b) { return std::hypot(a.x - b.x, a.y - b.y, a.z - b.z); }
double Angle(const Vector& a, const Vector& b) {
  const double dot = a.x * b.x + a.y * b.y + a.z * b.z;
  const double cross = std::hypot(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
  return std::atan2(cross, dot);
}

class Pipeline : public test::WithModule {
 protected:
  static std::unique_ptr<Retargeter> Make(const Rig& source, const Rig& target, RetargetOptions options = {}) {
    return Ok(Retargeter::Create(source, target, options));
  }
};

TEST_F(Pipeline, AClipOntoItsOwnSkeletonIsReproduced) {
  BvhClip clip = SharedClip("cmu_02_01_walk.bvh");
  Rig source = Ok(BuildRig("walk", clip.skeleton, ShippedPreset("cmu")));
  Rig target = Ok(BuildRig("walk again", clip.skeleton, ShippedPreset("cmu")));
  auto retargeter = Make(source, target);
  EXPECT_EQ(retargeter->TranslationScale(), 1.0);
  EXPECT_EQ(retargeter->DrivenTargetJoints(), 31);
  const AssociationStatistics& stats = retargeter->Statistics();
  EXPECT_EQ(stats.visitedBodyParts, 25);
  EXPECT_EQ(stats.associatedBodyParts, 25);
  EXPECT_EQ(stats.associatedNodes, 31);

  std::vector<Matrix> locals;
  double worstRotation = 0.0, worstRoot = 0.0;
  for (std::int64_t f = 0; f < clip.FrameCount(); ++f) {
    ASSERT_TRUE(retargeter->RetargetFrame(clip.Frame(f), locals).has_value());
    for (std::size_t j = 0; j < clip.skeleton.joints.size(); ++j) {
      Matrix expected = LocalMatrix(clip.skeleton.joints[j], clip.Frame(f));
      worstRotation = std::max(worstRotation, RotationDifference(locals[j], expected));
      if (j == 0) worstRoot = std::max(worstRoot, Distance(locals[j].off, expected.off));
      else ASSERT_LT(Distance(locals[j].off, expected.off), 1e-12);
    }
  }
  EXPECT_LT(worstRotation, 1e-9);
  EXPECT_LT(worstRoot, 1e-9);

  // The file written reads back within its printed precision.
  BvhClip written = Ok(RetargetClip(*retargeter, clip, target, 0, clip.FrameCount()));
  BvhClip again = test::Clip(Ok(FormatBvh(written)));
  ASSERT_EQ(again.FrameCount(), clip.FrameCount());
  worstRotation = worstRoot = 0.0;
  for (std::int64_t f = 0; f < clip.FrameCount(); ++f) {
    for (std::size_t j = 0; j < clip.skeleton.joints.size(); ++j) {
      Matrix expected = LocalMatrix(clip.skeleton.joints[j], clip.Frame(f));
      Matrix read = LocalMatrix(again.skeleton.joints[j], again.Frame(f));
      worstRotation = std::max(worstRotation, RotationDifference(read, expected));
      worstRoot = std::max(worstRoot, Distance(read.off, expected.off));
    }
  }
  EXPECT_LT(worstRotation, 1e-7);  // three angles of 0.5e-6 degrees each
  EXPECT_LT(worstRoot, 1e-6);
}

TEST_F(Pipeline, ASkeletonWithOtherOffsetsGetsTheSameLocalRotations) {
  BvhClip clip = SharedClip("cmu_02_01_walk.bvh");
  BvhClip other = SharedClip("cmu_12_03.bvh");
  Rig source = Ok(BuildRig("walk", clip.skeleton, ShippedPreset("cmu")));
  Rig target = Ok(BuildRig("12_03", other.skeleton, ShippedPreset("cmu")));
  auto retargeter = Make(source, target);
  EXPECT_NEAR(retargeter->TranslationScale(), target.hipHeight / source.hipHeight, 0.0);

  const std::size_t n = clip.skeleton.joints.size();
  std::vector<Matrix> locals, sourceLocals(n), sourceGlobals(n), targetGlobals(n);
  // The angle between the two rigs' offsets of each joint: what the bone
  // directions may differ by.
  std::vector<double> restAngle(n, 0.0);
  double widest = 0.0;
  for (std::size_t j = 1; j < n; ++j) {
    if (Distance(clip.skeleton.joints[j].offset, {}) == 0.0) continue;
    restAngle[j] = Angle(clip.skeleton.joints[j].offset, other.skeleton.joints[j].offset);
    widest = std::max(widest, restAngle[j]);
  }
  EXPECT_NEAR(widest * 180.0 / M_PI, 13.0, 0.5);

  double worstRotation = 0.0, worstDirection = 0.0;
  for (std::int64_t f = 0; f < clip.FrameCount(); ++f) {
    ASSERT_TRUE(retargeter->RetargetFrame(clip.Frame(f), locals).has_value());
    for (std::size_t j = 0; j < n; ++j) sourceLocals[j] = LocalMatrix(clip.skeleton.joints[j], clip.Frame(f));
    for (std::size_t j = 0; j < n; ++j)
      worstRotation = std::max(worstRotation, RotationDifference(locals[j], sourceLocals[j]));
    ForwardKinematics(clip.skeleton, sourceLocals.data(), sourceGlobals.data());
    ForwardKinematics(other.skeleton, locals.data(), targetGlobals.data());
    for (std::size_t j = 1; j < n; ++j) {
      if (restAngle[j] == 0.0) continue;
      const std::size_t p = std::size_t(clip.skeleton.joints[j].parent);
      const Vector a = {sourceGlobals[j].off.x - sourceGlobals[p].off.x, sourceGlobals[j].off.y - sourceGlobals[p].off.y,
                        sourceGlobals[j].off.z - sourceGlobals[p].off.z};
      const Vector b = {targetGlobals[j].off.x - targetGlobals[p].off.x, targetGlobals[j].off.y - targetGlobals[p].off.y,
                        targetGlobals[j].off.z - targetGlobals[p].off.z};
      worstDirection = std::max(worstDirection, std::abs(Angle(a, b) - restAngle[j]));
    }
  }
  EXPECT_LT(worstRotation, 1e-9);
  EXPECT_LT(worstDirection, 1e-9);
}

TEST_F(Pipeline, ARigOfAnotherFamilyGetsEveryMappedBodyPart) {
  BvhClip clip = SharedClip("cmu_02_01_walk.bvh");
  BvhClip zombie = SharedClip("makehuman_zombie_walk.bvh");
  Rig source = Ok(BuildRig("walk", clip.skeleton, ShippedPreset("cmu")));
  Rig target = Ok(BuildRig("zombie", zombie.skeleton, ShippedPreset("makehuman-game")));
  auto retargeter = Make(source, target);
  const AssociationStatistics& stats = retargeter->Statistics();
  EXPECT_EQ(stats.visitedBodyParts, 25);
  EXPECT_EQ(stats.associatedBodyParts, 25);
  EXPECT_EQ(stats.sourceNodes, 31);
  EXPECT_EQ(stats.targetNodes, 59);
  // Per body part the shorter list: hips 2, spine 2, chest, neck and head 1
  // each, and per side shoulder, upper arm, forearm, hand, thumb, two
  // fingers, upper leg, lower leg, foot and toes.
  EXPECT_EQ(stats.associatedNodes, 29);
  EXPECT_EQ(retargeter->DrivenTargetJoints(), 29);

  BvhClip written = Ok(RetargetClip(*retargeter, clip, target, 0, clip.FrameCount()));
  BvhClip again = test::Clip(Ok(FormatBvh(written)));
  ASSERT_EQ(again.skeleton.joints.size(), zombie.skeleton.joints.size());
  for (std::size_t j = 0; j < again.skeleton.joints.size(); ++j) {
    EXPECT_EQ(again.skeleton.joints[j].name, zombie.skeleton.joints[j].name);
    EXPECT_EQ(again.skeleton.joints[j].parent, zombie.skeleton.joints[j].parent);
    EXPECT_EQ(again.skeleton.joints[j].channels, zombie.skeleton.joints[j].channels);
    EXPECT_EQ(again.skeleton.joints[j].endSites.size(), zombie.skeleton.joints[j].endSites.size());
  }
  EXPECT_EQ(again.FrameCount(), 344);
  EXPECT_EQ(again.frameTime, clip.frameTime);
  // A joint with no partner stays at rest: the jaw does not move.
  const std::size_t jaw = 7;
  ASSERT_EQ(zombie.skeleton.joints[jaw].name, "Jaw");
  for (std::int64_t f = 0; f < again.FrameCount(); ++f)
    EXPECT_EQ(LocalMatrix(again.skeleton.joints[jaw], again.Frame(f)), LocalMatrix(zombie.skeleton.joints[jaw], nullptr));
}

TEST_F(Pipeline, OnlyTheRootMovesAndItsDisplacementIsScaled) {
  BvhClip clip = SharedClip("cmu_02_01_walk.bvh");
  BvhClip other = SharedClip("cmu_12_03.bvh");
  Rig source = Ok(BuildRig("walk", clip.skeleton, ShippedPreset("cmu")));
  Rig target = Ok(BuildRig("12_03", other.skeleton, ShippedPreset("cmu")));
  const std::int64_t frame = 100;
  const Vector moved = LocalMatrix(clip.skeleton.joints[0], clip.Frame(frame)).off;
  struct Case {
    RetargetOptions options;
    double scale;
  };
  RetargetOptions none, fixed, still;
  none.scale = RetargetOptions::Scale::None;
  fixed.scale = RetargetOptions::Scale::Fixed;
  fixed.fixedScale = 0.5;
  still.rootTranslation = false;
  const Case cases[] = {{RetargetOptions{}, target.hipHeight / source.hipHeight}, {none, 1.0}, {fixed, 0.5}, {still, 0.0}};
  for (const Case& c : cases) {
    auto retargeter = Make(source, target, c.options);
    std::vector<Matrix> locals;
    ASSERT_TRUE(retargeter->RetargetFrame(clip.Frame(frame), locals).has_value());
    const Vector rest = target.restLocals[0].off;  // the source rests at the origin
    EXPECT_NEAR(locals[0].off.x, rest.x + c.scale * moved.x, 1e-9);
    EXPECT_NEAR(locals[0].off.y, rest.y + c.scale * moved.y, 1e-9);
    EXPECT_NEAR(locals[0].off.z, rest.z + c.scale * moved.z, 1e-9);
    for (std::size_t j = 1; j < locals.size(); ++j) EXPECT_LT(Distance(locals[j].off, target.restLocals[j].off), 1e-12);
  }
}

TEST_F(Pipeline, RetargetsAChainAHundredThousandDeep) {
  BvhSkeleton chain;
  const std::vector<Channel> zyx = {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation};
  chain.AddJoint("Hips", -1, {0, 0, 0}, zyx);
  for (int j = 1; j < 100000; ++j) chain.AddJoint(j == 1 ? "Head" : "Spine", j - 1, {0, 0.001, 0}, zyx);
  BvhClip clip;
  clip.skeleton = chain;
  clip.values.assign(std::size_t(chain.valueCount), 1.0);
  Rig source = Ok(BuildRig("chain", chain, ShippedPreset("cmu")));
  Rig target = Ok(BuildRig("chain again", chain, ShippedPreset("cmu")));
  auto retargeter = Make(source, target);
  EXPECT_EQ(retargeter->DrivenTargetJoints(), 100000);
  BvhClip written = Ok(RetargetClip(*retargeter, clip, target, 0, 1));
  for (double value : written.values) ASSERT_NEAR(value, 1.0, 1e-9);
}

TEST_F(Pipeline, FailsCleanlyWhenMemoryRunsOut) {
  BvhClip walk = SampleWalk(1);
  Rig source = Ok(BuildRig("walk", walk.skeleton, ShippedPreset("cmu")));
  Rig target = Ok(BuildRig("other", SampleTargetSkeleton(), ShippedPreset("makehuman-game")));
  auto retargeter = Make(source, target);
  std::vector<Matrix> expected, locals;
  ASSERT_TRUE(retargeter->RetargetFrame(walk.Frame(5), expected).has_value());
  int failures = norvo::test::ForEachAllocationFailure([&] {
    Outcome<void> done = retargeter->RetargetFrame(walk.Frame(5), locals);
    if (!done) {
      EXPECT_TRUE(done.failure().kind == FailureKind::OutOfMemory || done.failure().kind == FailureKind::Internal)
          << done.failure().Text();
    }
    return done.has_value();
  });
  EXPECT_GT(failures, 0);
  EXPECT_EQ(locals, expected);
}

}  // namespace
}  // namespace norvo::retarget
