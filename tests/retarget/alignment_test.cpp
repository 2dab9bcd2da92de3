// Rest alignment and chain spreading: the shared walk onto copies of its own
// rig that rest differently (arms 45 degrees down, elbows and knees bent, two
// more spine joints); shortest rotations and rotation fits.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numbers>

#include "norvo/retarget/solve/align.h"
#include "norvo/retarget/io/bvh.h"
#include "norvo/retarget/analysis/measure.h"
#include "norvo/retarget/solve/pipeline.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

using test::JointNamed;
using test::Ok;
using test::SharedClip;

constexpr double kRadians = std::numbers::pi / 180.0;

Vector Unit(const Vector& v) { return Scale(v, 1.0 / Length(v)); }

bool Below(const Skeleton& skeleton, std::int64_t joint, std::int64_t ancestor) {
  for (; joint >= 0; joint = skeleton.joints[std::size_t(joint)].parent)
    if (joint == ancestor) return true;
  return false;
}

// The skeleton resting differently: the bones from each bend's joint down
// turn at rest by its rotation, so each child's offset turns by its parent's
// turn and each End Site by its own joint's.
struct Bend {
  const char* joint;
  Vector axis;
  double degrees;
};
Skeleton Bent(Skeleton skeleton, const std::vector<Bend>& bends) {
  auto turn = [&](std::int64_t j) {
    for (const Bend& bend : bends)
      if (Below(skeleton, j, JointNamed(skeleton, bend.joint))) return AxisAngle(bend.axis, bend.degrees * kRadians);
    return Matrix{};
  };
  for (std::size_t j = 0; j < skeleton.joints.size(); ++j) {
    Joint& joint = skeleton.joints[j];
    if (joint.parent >= 0) joint.rest.off = TransformVector(turn(joint.parent), joint.Offset());
    for (Vector& site : joint.endSites) site = TransformVector(turn(std::int64_t(j)), site);
  }
  return skeleton;
}

// Two more joints, SpineA and SpineB, on the bone from LowerBack to Spine,
// at a third and two thirds of it.
Skeleton TwoMoreSpineJoints(const Skeleton& skeleton) {
  const std::int64_t spine = JointNamed(skeleton, "Spine");
  Skeleton out;
  std::vector<std::int64_t> newIndex(skeleton.joints.size());
  for (std::size_t j = 0; j < skeleton.joints.size(); ++j) {
    const Joint& joint = skeleton.joints[j];
    std::int64_t parent = joint.parent < 0 ? -1 : newIndex[std::size_t(joint.parent)];
    Vector offset = joint.Offset();
    if (std::int64_t(j) == spine) {
      offset = Scale(joint.Offset(), 1.0 / 3.0);
      out.AddJoint("SpineA", parent, offset, joint.format.channels);
      out.AddJoint("SpineB", std::int64_t(out.joints.size()) - 1, offset, joint.format.channels);
      parent = std::int64_t(out.joints.size()) - 1;
    }
    newIndex[j] = std::int64_t(out.joints.size());
    out.AddJoint(joint.name, parent, offset, joint.format.channels);
    out.joints.back().endSites = joint.endSites;
  }
  return out;
}

RetargetOptions Plain() {
  RetargetOptions options;
  options.align = false;
  options.spreadBodyParts.clear();
  return options;
}

struct Retargeted {
  Motion result;
  SegmentFigures figures;
};

Retargeted Retarget(const Motion& clip, const Rig& source, const Rig& target, const RetargetOptions& options) {
  auto retargeter = Ok(Retargeter::Create(source, target, options));
  Retargeted run;
  run.result = Ok(RetargetClip(*retargeter, clip, target, 0, clip.FrameCount()));
  run.figures =
      Ok(CompareSegments(clip, source, 0, run.result, target, Matrix{}, Transposed(retargeter->WorldRotation())));
  return run;
}

using Alignment = test::WithModule;

TEST_F(Alignment, VariantsOfTheRigThatRestDifferentlyGetTheSourceBoneDirections) {
  const Motion walk = SharedClip("cmu_02_01_walk.bvh");
  const Rig source = test::MakeRig(walk.skeleton, "cmu", "walk");
  const struct {
    const char* name;
    Skeleton variant;
    double plainAtLeast;  // the worst error without alignment
  } cases[] = {           // The upper arms lie along the X axis.
               {"arms down", Bent(walk.skeleton, {{"LeftArm", {0, 0, 1}, -45}, {"RightArm", {0, 0, 1}, 45}}), 44.0},
               {"elbows and knees bent",
                Bent(walk.skeleton, {{"LeftForeArm", {0, 1, 0}, -30},
                                     {"RightForeArm", {0, 1, 0}, 30},
                                     {"LeftLeg", {1, 0, 0}, 20},
                                     {"RightLeg", {1, 0, 0}, 20}}),
                19.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Rig target = test::MakeRig(c.variant, "cmu", "variant");
    const Retargeted aligned = Retarget(walk, source, target, RetargetOptions{});
    const Retargeted plain = Retarget(walk, source, target, Plain());
    EXPECT_EQ(aligned.figures.all.count, plain.figures.all.count);
    EXPECT_EQ(aligned.figures.all.count, 14 * (walk.FrameCount() - 1));
    EXPECT_LT(aligned.figures.all.max, 0.5);
    EXPECT_GT(plain.figures.all.max, c.plainAtLeast);
  }
}

TEST_F(Alignment, TwoMoreSpineJointsBendLikeTheSourceSpine) {
  const Motion walk = SharedClip("cmu_02_01_walk.bvh");
  const Skeleton variant = TwoMoreSpineJoints(walk.skeleton);
  const Rig source = test::MakeRig(walk.skeleton, "cmu", "walk");
  const Rig target = test::MakeRig(variant, "cmu", "variant");
  const int spinePart = FindStandardBodyPart("Spine");
  ASSERT_EQ(source.parts.joints[std::size_t(spinePart)].size(), 2u);
  ASSERT_EQ(target.parts.joints[std::size_t(spinePart)].size(), 4u);

  // The worst angle of the direction from the chain's first joint
  // (LowerBack) to its last (Spine), and of every bone outside the spine.
  auto spine = [&](const Retargeted& run) {
    const std::size_t s0 = std::size_t(JointNamed(walk.skeleton, "LowerBack")),
                      s1 = std::size_t(JointNamed(walk.skeleton, "Spine"));
    const std::size_t t0 = std::size_t(JointNamed(variant, "LowerBack")),
                      t1 = std::size_t(JointNamed(variant, "Spine"));
    std::vector<Matrix> sg(walk.skeleton.joints.size()), tg(variant.joints.size());
    double worst = 0.0;
    for (std::int64_t f = 0; f < walk.FrameCount(); ++f) {
      FrameGlobals(walk, f, sg);
      FrameGlobals(run.result, f, tg);
      worst = std::max(worst, AngleDegrees(Subtract(sg[s1].off, sg[s0].off), Subtract(tg[t1].off, tg[t0].off)));
    }
    return worst;
  };
  auto others = [](const Retargeted& run) {
    double worst = 0.0;
    for (const SegmentFigure& segment : run.figures.segments)
      if (segment.name != "spine") worst = std::max(worst, segment.figure.max);
    return worst;
  };
  const Retargeted spread = Retarget(walk, source, target, RetargetOptions{});
  const Retargeted plain = Retarget(walk, source, target, Plain());
  EXPECT_LT(spine(spread), 0.5);
  EXPECT_LT(others(spread), 0.5);
  // Without spreading the bend sits lower in the chain; the bones above it
  // still point the right way.
  EXPECT_GT(spine(plain), 2.0);
  EXPECT_LT(others(plain), 0.5);
}

TEST(Rotations, ShortestRotationsAndTheirDegenerateCases) {
  const struct {
    Vector from, to;
    double degrees;
  } cases[] = {{{1, 0, 0}, {0, 1, 0}, 90},   {{0, 2, 0}, {0, 0, 3}, 90}, {{1, 0, 0}, {-1, 0, 0}, 180},
               {{0, 1, 0}, {0, -5, 0}, 180}, {{1, 1, 0}, {1, 1, 0}, 0},  {{0, 0, 0}, {1, 0, 0}, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.degrees);
    const Matrix r = RotationBetween(c.from, c.to);
    EXPECT_NEAR(Determinant(r), 1.0, 1e-12);
    if (Length(c.from) > 0.0) {
      EXPECT_NEAR(AngleDegrees(TransformVector(r, c.from), c.to), 0.0, 1e-6);
    }
    // No vector turns further than the rotation's angle.
    EXPECT_LE(AngleDegrees(TransformVector(r, {0.3, -0.2, 0.9}), {0.3, -0.2, 0.9}), c.degrees + 1e-9);
  }
  EXPECT_EQ(RotationBetween({0, 0, 0}, {1, 0, 0}), Matrix{});

  // The best fit of directions turned by a known rotation is that rotation,
  // also for a half turn; two directions pin it down.
  for (double degrees : {0.0, 37.0, 120.0, 180.0}) {
    SCOPED_TRACE(degrees);
    const Matrix turn = AxisAngle(Unit({1, 2, -0.5}), degrees * kRadians);
    Matrix correlation = kZeroMatrix;
    for (const Vector& a : {Vector{1, 0, 0}, Vector{0, 0.6, 0.8}}) {
      const Vector b = TransformVector(turn, a);
      correlation.v1 = Add(correlation.v1, Scale(b, a.x));
      correlation.v2 = Add(correlation.v2, Scale(b, a.y));
      correlation.v3 = Add(correlation.v3, Scale(b, a.z));
    }
    const Matrix fit = FitRotation(correlation);
    for (const Vector& v : {Vector{1, 0, 0}, Vector{0, 1, 0}, Vector{0, 0, 1}})
      EXPECT_LT(Length(Subtract(TransformVector(fit, v), TransformVector(turn, v))), 1e-9);
  }
  EXPECT_EQ(FitRotation(kZeroMatrix), Matrix{});
}

}  // namespace
}  // namespace norvo::retarget
