// The retargeting pipeline on the shared clips: a clip onto its own
// skeleton, onto a skeleton with the same joints and other offsets, and onto
// a rig of another family; the root's path, also in place; depth; allocation
// failure; foot sliding and planted feet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "norvo/retarget/io/bvh.h"
#include "norvo/retarget/solve/pipeline.h"
#include "norvo/retarget/app/sample.h"
#include "retarget_support.h"
#include "test_support.h"
#include "norvo/retarget/solve/feet.h"

namespace norvo::retarget {
namespace {

using test::Ok;
using test::SharedClip;

double Length(const Vector& v) { return std::sqrt(Dot(v, v)); }

// Raises worst[0] to the largest difference of the rotation entries and
// worst[1] to the distance of the positions, if they are larger.
void Track(double worst[2], const Matrix& got, const Matrix& expected) {
  for (const auto& [u, v] :
       {std::pair{got.v1, expected.v1}, std::pair{got.v2, expected.v2}, std::pair{got.v3, expected.v3}})
    worst[0] = std::max({worst[0], std::abs(u.x - v.x), std::abs(u.y - v.y), std::abs(u.z - v.z)});
  worst[1] = std::max(worst[1], Length(Subtract(got.off, expected.off)));
}

std::unique_ptr<Retargeter> Make(const Rig& source, const Rig& target, RetargetOptions options = {}) {
  return Ok(Retargeter::Create(source, target, options));
}

using Pipeline = test::WithModule;

TEST_F(Pipeline, AClipOntoItsOwnSkeletonIsReproduced) {
  Motion clip = SharedClip("cmu_02_01_walk.bvh");
  Rig source = test::MakeRig(clip.skeleton, "cmu"), target = test::MakeRig(clip.skeleton, "cmu");
  auto retargeter = Make(source, target);
  EXPECT_EQ(retargeter->TranslationScale(), 1.0);
  EXPECT_EQ(retargeter->DrivenTargetJoints(), 31);
  EXPECT_EQ(retargeter->Statistics().associatedBodyParts, 31);
  EXPECT_EQ(retargeter->Statistics().associatedNodes, 31);

  // In memory within 1e-9; the file written within its printed precision.
  Motion again = test::Clip(Ok(FormatBvh(Ok(RetargetClip(*retargeter, clip, target, 0, clip.FrameCount())))));
  ASSERT_EQ(again.FrameCount(), clip.FrameCount());
  double memory[2] = {}, file[2] = {};
  std::vector<Matrix> locals(clip.skeleton.joints.size());
  for (std::int64_t f = 0; f < clip.FrameCount(); ++f) {
    ASSERT_TRUE(retargeter->RetargetFrame(clip.Frame(f), locals).has_value());
    for (std::size_t j = 0; j < clip.skeleton.joints.size(); ++j) {
      const Matrix& expected = clip.Frame(f)[j];
      Track(memory, locals[j], expected);
      Track(file, again.Frame(f)[j], expected);
    }
  }
  EXPECT_LT(memory[0], 1e-9);
  EXPECT_LT(memory[1], 1e-9);
  EXPECT_LT(file[0], 1e-7);  // three angles of 0.5e-6 degrees each
  EXPECT_LT(file[1], 1e-6);
}

TEST_F(Pipeline, ASkeletonWithOtherOffsetsGetsTheSameLocalRotationsAndAScaledRootPath) {
  Motion clip = SharedClip("cmu_02_01_walk.bvh");
  Motion other = SharedClip("cmu_12_03.bvh");
  Rig source = test::MakeRig(clip.skeleton, "cmu"), target = test::MakeRig(other.skeleton, "cmu");
  RetargetOptions plain;  // the deltas on the target's own rest
  plain.align = false;
  auto retargeter = Make(source, target, plain);

  // The source's local rotations, whatever the offsets.
  const std::size_t n = clip.skeleton.joints.size();
  std::vector<Matrix> locals(std::size_t(target.JointCount()));
  double rotation[2] = {};
  for (std::int64_t f = 0; f < clip.FrameCount(); ++f) {
    ASSERT_TRUE(retargeter->RetargetFrame(clip.Frame(f), locals).has_value());
    for (std::size_t j = 0; j < n; ++j) Track(rotation, locals[j], clip.Frame(f)[j]);
  }
  EXPECT_LT(rotation[0], 1e-9);

  // Only the root moves, by the source's displacement scaled as asked; in
  // place, by its height alone.
  const std::span<const Matrix> frame = clip.Frame(100);
  const Vector moved = frame[0].off;  // the source rests at the origin
  RetargetOptions none, fixed, still, inPlace;
  none.scale = RetargetOptions::Scale::None;
  fixed.scale = RetargetOptions::Scale::Fixed;
  fixed.fixedScale = 0.5;
  still.rootTranslation = false;
  inPlace.inPlace = true;
  const double automatic = target.hipHeight / source.hipHeight;
  // Aligned, the target stands along the source's up axis.
  const Vector height = Scale(source.up, Dot(moved, source.up));
  const std::pair<RetargetOptions, Vector> cases[] = {{RetargetOptions{}, Scale(moved, automatic)},
                                                      {none, moved},
                                                      {fixed, Scale(moved, 0.5)},
                                                      {still, {}},
                                                      {inPlace, Scale(height, automatic)}};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    const auto& [options, displacement] = cases[i];
    ASSERT_TRUE(Make(source, target, options)->RetargetFrame(frame, locals).has_value());
    EXPECT_LT(Length(Subtract(locals[0].off, Add(target.restLocals[0].off, displacement))), 1e-9);
    for (std::size_t j = 1; j < n; ++j) EXPECT_LT(Length(Subtract(locals[j].off, target.restLocals[j].off)), 1e-12);
  }
}

TEST_F(Pipeline, RetargetsAChainAHundredThousandDeep) {
  Motion clip;
  const std::vector<Channel> zyx = {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation};
  clip.skeleton.AddJoint("Hips", -1, {0, 0, 0}, zyx);
  for (int j = 1; j < 100000; ++j) clip.skeleton.AddJoint(j == 1 ? "Head" : "Spine", j - 1, {0, 0.001, 0}, zyx);
  clip = Ok(MotionFromChannels(clip.skeleton, clip.frameTime, std::vector<double>(3 * 100000, 1.0)));
  Rig source = test::MakeRig(clip.skeleton, "cmu"), target = test::MakeRig(clip.skeleton, "cmu");
  auto retargeter = Make(source, target);
  EXPECT_EQ(retargeter->DrivenTargetJoints(), 100000);
  Motion written = Ok(RetargetClip(*retargeter, clip, target, 0, 1));
  double apart[2] = {};
  for (std::size_t j = 0; j < written.locals.size(); ++j) Track(apart, written.locals[j], clip.locals[j]);
  EXPECT_LT(apart[0], 1e-9);
  EXPECT_LT(apart[1], 1e-9);
}

// The built-in sample and the shared walk onto the zombie: with rest alignment
// and chains spread (its two neck joints onto one). A frame allocates
// nothing, so no allocation can fail it.
TEST_F(Pipeline, AFrameAllocatesNothing) {
  const Motion walk = Ok(SampleWalk(1)), cmu = SharedClip("cmu_02_01_walk.bvh");
  const Skeleton zombie = SharedClip("makehuman_zombie_walk.bvh").skeleton;
  const struct {
    const Motion& clip;
    Rig source, target;
    std::size_t spread;
  } cases[] = {
      {walk, test::MakeRig(walk.skeleton, "cmu"), test::MakeRig(Ok(SampleTargetSkeleton()), "makehuman-game"), 2},
      {cmu, test::MakeRig(cmu.skeleton, "cmu"), test::MakeRig(zombie, "makehuman-game"), 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.spread);
    auto retargeter = Make(c.source, c.target);
    ASSERT_EQ(retargeter->SpreadChains().size(), c.spread);
    std::vector<Matrix> expected(std::size_t(c.target.JointCount())), locals(expected.size());
    ASSERT_TRUE(retargeter->RetargetFrame(c.clip.Frame(9), expected).has_value());
    int failures = norvo::test::ForEachAllocationFailure([&] {
      Outcome<void> done = retargeter->RetargetFrame(c.clip.Frame(9), locals);
      if (!done) {
        EXPECT_TRUE(done.failure().kind == FailureKind::OutOfMemory || done.failure().kind == FailureKind::Internal)
            << done.failure().Text();
      }
      return done.has_value();
    });
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(locals, expected);
  }
}

// Onto a rig of another family, with its feet planted afterwards.
TEST_F(Pipeline, ARigOfAnotherFamilyKeepsItsHierarchyItsUnpairedJointsRestAndLockedFeetSlideLess) {
  const Motion walk = SharedClip("cmu_02_01_walk.bvh");
  const Motion zombie = SharedClip("makehuman_zombie_walk.bvh");
  const Rig source = test::MakeRig(walk.skeleton, "cmu", "walk");
  const Rig target = test::MakeRig(zombie.skeleton, "makehuman-game", "zombie");
  auto retargeter = Make(source, target);
  Motion result = Ok(RetargetClip(*retargeter, walk, target, 0, walk.FrameCount()));
  // The target's hierarchy as it stands, with the source's frames.
  const std::string written = Ok(FormatBvh(result)), rest = Ok(FormatBvh(zombie));
  EXPECT_EQ(written.substr(0, written.find("MOTION")), rest.substr(0, rest.find("MOTION")));
  const Motion again = test::Clip(written);
  EXPECT_EQ(again.FrameCount(), 344);
  EXPECT_EQ(again.frameTime, walk.frameTime);
  // A joint with no partner stays at rest: the jaw does not move.
  const Joint& jaw = zombie.skeleton.joints[7];
  ASSERT_EQ(jaw.name, "Jaw");
  for (std::int64_t f = 0; f < again.FrameCount(); ++f) EXPECT_EQ(again.Frame(f)[7], jaw.rest);

  // Locked feet slide no more than the source's and keep their height.
  const Vector up = StandingUp(source, source.restGlobals);
  EXPECT_NEAR(up.y, 1.0, 0.01);

  // The source's contacts lock the result's feet and measure them all.
  const FootContacts contacts = Ok(FindContacts(walk, source, up));
  const FeetFigures bySource = Ok(MeasureFeet(walk, source, up, contacts.floor, contacts));
  const FeetFigures loose = Ok(MeasureFeet(result, target, up, 0.0, contacts));
  const Motion unlocked = result;
  ASSERT_TRUE(LockFeet(result, target, up, contacts).has_value());
  const FeetFigures locked = Ok(MeasureFeet(result, target, up, 0.0, contacts));
  ASSERT_TRUE(bySource.measured && loose.measured && locked.measured);
  for (int side = 0; side < 2; ++side) {
    SCOPED_TRACE(side);
    EXPECT_GT(bySource.contactFrames[side], 30);
    EXPECT_GT(bySource.sliding[side], 0.1);
    EXPECT_GT(loose.sliding[side], 0.1);
    // Where the target's shorter stride cannot keep up, the foot slides as
    // little as the leg allows.
    EXPECT_LT(locked.sliding[side], 0.75 * bySource.sliding[side]);
    EXPECT_LT(locked.sliding[side], 0.75 * loose.sliding[side]);
    EXPECT_EQ(locked.contactFrames[side], loose.contactFrames[side]);
    EXPECT_EQ(locked.contactFrames[side], bySource.contactFrames[side]);
  }

  // Onto a rig whose lowest foot joint changes during a contact (heel to
  // toes), each lowest joint is held where it came down in turn.
  const Motion other = SharedClip("cmu_12_03.bvh");
  const Rig otherRig = test::MakeRig(other.skeleton, "cmu", "other");
  Motion rolled = Ok(RetargetClip(*Make(source, otherRig), walk, otherRig, 0, walk.FrameCount()));
  ASSERT_TRUE(LockFeet(rolled, otherRig, up, contacts).has_value());
  const FeetFigures held = Ok(MeasureFeet(rolled, otherRig, up, 0.0, contacts));
  for (int side = 0; side < 2; ++side) EXPECT_LT(held.sliding[side], 0.5 * bySource.sliding[side]) << side;

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

TEST_F(Pipeline, ARigWithoutLegsHasItsFeetNotMeasuredAndNotChanged) {
  Motion clip = test::Clip(
      "HIERARCHY\nROOT Hips\n{\nOFFSET 0 0 0\nCHANNELS 6 Xposition Yposition Zposition Zrotation Yrotation Xrotation\n"
      "JOINT Head\n{\nOFFSET 0 5 0\nCHANNELS 3 Zrotation Yrotation Xrotation\nEnd Site\n{\nOFFSET 0 1 0\n}\n}\n}\n"
      "MOTION\nFrames: 2\nFrame Time: 0.1\n0 0 0 0 0 0 0 0 0\n1 0 0 0 0 0 0 0 0\n");
  const Rig rig = test::MakeRig(clip.skeleton, "cmu");
  const Vector up = StandingUp(rig, rig.restGlobals);
  EXPECT_EQ(up, (Vector{0, 1, 0}));
  EXPECT_FALSE(Ok(FindContacts(clip, rig, up)).measured);
  // Contacts of a clip with legs lock nothing on it.
  const Motion walk = SharedClip("cmu_02_01_walk.bvh");
  const Rig walker = test::MakeRig(walk.skeleton, "cmu");
  const FootContacts contacts = Ok(FindContacts(walk, walker, up));
  ASSERT_TRUE(contacts.measured && contacts.Down(0, 6) && contacts.Down(1, 2));
  EXPECT_FALSE(Ok(MeasureFeet(clip, rig, up, 0.0, contacts)).measured);
  const std::vector<Matrix> before = clip.locals;
  ASSERT_TRUE(LockFeet(clip, rig, up, contacts).has_value());
  EXPECT_EQ(clip.locals, before);
  EXPECT_EQ(Ok(FindFloor(clip, rig, up)), 0.0);
  // No up axis: nothing measured either.
  EXPECT_FALSE(Ok(FindContacts(walk, walker, Vector{})).measured);
  EXPECT_FALSE(Ok(MeasureFeet(walk, walker, Vector{}, 0.0, contacts)).measured);
}

}  // namespace
}  // namespace norvo::retarget
