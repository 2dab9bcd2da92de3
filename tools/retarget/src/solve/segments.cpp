#include "segments.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "norvo/retarget/solve/align.h"

namespace norvo::retarget {

namespace {

constexpr double kTinySine = 1e-12;

// The shortest rotation from one direction onto another, unless they
// already agree (or either is nearly zero): then false.
bool RotationOnto(const Vector& from, const Vector& to, Matrix& rotation) {
  const double a = Length(from), b = Length(to);
  if (!(a > 1e-12) || !(b > 1e-12)) return false;
  const Vector u = Scale(from, 1.0 / a), v = Scale(to, 1.0 / b);
  if (Length(Cross(u, v)) <= kTinySine && Dot(u, v) > 0.0) return false;
  rotation = RotationBetween(u, v);
  return true;
}

// The rotation about the unit `axis` that lays `line` as near `wanted` as
// a rotation about it can: their parts across the axis agree. False when either
// part is nearly zero or they agree already.
bool TwistOnto(const Vector& axis, const Vector& line, const Vector& wanted, Matrix& rotation) {
  const Vector l = Across(line, axis), w = Across(wanted, axis);
  const double a = Length(l), b = Length(w);
  if (!(a > 1e-9 * Length(line)) || !(b > 1e-9 * Length(wanted))) return false;
  const double angle = std::atan2(Dot(axis, Cross(l, w)), Dot(l, w));
  if (!(std::abs(angle) > kTinySine)) return false;
  rotation = AxisAngle(axis, angle);
  return true;
}

// Whether the 3x3 parts of two matrices differ by more than rounding.
bool RotationDiffers(const Matrix& now, const Matrix& goal) {
  const Vector columns[3][2] = {{now.v1, goal.v1}, {now.v2, goal.v2}, {now.v3, goal.v3}};
  double scale = 0.0, difference = 0.0;
  for (const auto& [a, b] : columns) {
    scale = std::max(scale, Length(a));
    difference = std::max(difference, Length(Subtract(a, b)));
  }
  return difference > kTinySine * scale;
}

std::int64_t CommonAncestor(const Skeleton& skeleton, std::int64_t a, std::int64_t b) {
  // Joints are in pre-order: a parent's index is below its children's.
  while (a != b) {
    if (a > b) a = skeleton.joints[std::size_t(a)].parent;
    else b = skeleton.joints[std::size_t(b)].parent;
    if (a < 0 || b < 0) return -1;
  }
  return a;
}

}  // namespace

Outcome<SegmentFollower> SegmentFollower::Make(const Rig& source, const Rig& target, const Matrix& rotation) {
  try {
    SegmentFollower follower;
    follower.source_ = &source;
    follower.target_ = &target;
    follower.sourceMarks_ = FindLandmarks(source);
    follower.targetMarks_ = FindLandmarks(target);
    RETARGET_ASSIGN(follower.ends_, SubtreeEnds(target.skeleton));
    std::vector<Step> steps;
    follower.AddTorsoSteps(steps);
    const std::size_t firstLine = steps.size();
    follower.AddLineSteps(rotation, steps);
    std::stable_sort(steps.begin() + std::ptrdiff_t(firstLine), steps.end(),
                     [](const Step& a, const Step& b) { return a.joint < b.joint; });
    follower.steps_ = std::move(steps);
    follower.FindRead();
    return follower;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

bool SegmentFollower::Below(std::int64_t joint, std::int64_t d) const {
  return d > joint && d < ends_[std::size_t(joint)];
}

bool SegmentFollower::Shared(std::size_t segment) const {
  const Segment& s = Segments()[segment];
  return sourceMarks_.Has(s) && targetMarks_.Has(s);
}

void SegmentFollower::AddTorsoSteps(std::vector<Step>& steps) {
  const Landmarks& marks = targetMarks_;
  const Skeleton& skeleton = target_->skeleton;
  const std::size_t pelvis = SegmentIndex("pelvis"), spine = SegmentIndex("spine"),
                    shoulders = SegmentIndex("shoulders");
  const std::int64_t leftHip = marks[Mark::LeftHip].joint, rightHip = marks[Mark::RightHip].joint;
  std::int64_t legsMeet = -1;
  if (Shared(pelvis)) {
    legsMeet = CommonAncestor(skeleton, leftHip, rightHip);
    if (legsMeet >= 0 && legsMeet != leftHip && legsMeet != rightHip)
      steps.emplace_back(Kind::Pelvis, legsMeet, pelvis);
  }
  if (!Shared(spine) || legsMeet < 0) return;
  const std::int64_t neck = marks[Mark::Neck].joint;
  const std::int64_t meet = CommonAncestor(skeleton, legsMeet, neck);
  // The joint below `meet` on the way to the neck.
  std::int64_t leaves = neck;
  while (leaves >= 0 && skeleton.joints[std::size_t(leaves)].parent != meet)
    leaves = skeleton.joints[std::size_t(leaves)].parent;
  if (meet < 0 || leaves < 0 || leaves == neck || Below(leaves, leftHip) || Below(leaves, rightHip)) return;
  steps.emplace_back(Kind::Spine, leaves, spine);
  if (!Shared(shoulders)) return;
  const std::int64_t armsMeet =
      CommonAncestor(skeleton, marks[Mark::LeftShoulder].joint, marks[Mark::RightShoulder].joint);
  if (armsMeet >= 0 && (armsMeet == leaves || Below(leaves, armsMeet)) && Below(armsMeet, neck))
    shoulderJoint_ = armsMeet;
  // The collar bones: each above its own shoulder alone.
  const std::int64_t left = target_->FirstJoint("LeftShoulder"), right = target_->FirstJoint("RightShoulder");
  if (left >= 0 && right >= 0 && Below(left, marks[Mark::LeftShoulder].joint) &&
      Below(right, marks[Mark::RightShoulder].joint) && !Below(left, right) && !Below(right, left) &&
      !Below(left, neck) && !Below(right, neck))
    steps.emplace_back(Kind::Collars, left, shoulders, right);
}

void SegmentFollower::AddLineSteps(const Matrix& rotation, std::vector<Step>& steps) const {
  const Landmarks& from = sourceMarks_;
  const Landmarks& marks = targetMarks_;
  std::span<const Segment, kSegments> segments = Segments();
  const std::size_t pelvis = SegmentIndex("pelvis"), spine = SegmentIndex("spine"),
                    shoulders = SegmentIndex("shoulders");
  // A point at or below a joint: an End Site of the joint counts.
  auto reaches = [&](std::int64_t joint, const MarkPoint& point) {
    return Below(joint, point.joint) || (point.endSite && point.joint == joint);
  };
  for (std::size_t s = 0; s < segments.size(); ++s) {
    const Segment& segment = segments[s];
    if (s == pelvis || s == spine || s == shoulders || !Shared(s)) continue;
    const MarkPoint& start = marks[segment.from];
    if (start.endSite || !reaches(start.joint, marks[segment.to])) continue;
    if (!from.Points(segment, *source_) || !marks.Points(segment, *target_)) continue;
    Step step(segment.foot ? Kind::Foot : Kind::Line, start.joint, s);
    if (segment.foot) {
      // The target's foot at rest, in the source's world, and the source's
      // ankle whose rotation from its rest the foot takes.
      step.rest = Multiply3x3(Transposed(rotation), target_->restGlobals[std::size_t(start.joint)]);
      step.other = from[segment.from].joint;
      step.sourceRestInverse = Inverse3x3(source_->restGlobals[std::size_t(step.other)]);
      if (from[segment.from].endSite) continue;
    }
    steps.push_back(step);
  }
}

void SegmentFollower::FindRead() {
  // The joints whose globals the steps read: every landmark's joint, each
  // rotated joint and its parent. A frame computes these (and the joints
  // above them) once; a rotation then moves those below it rigidly, so the
  // rest of the skeleton takes no part however long its chains.
  const Skeleton& skeleton = target_->skeleton;
  std::vector<std::int64_t>& read = read_;
  for (const MarkPoint& point : targetMarks_.points)
    if (point.joint >= 0) read.push_back(point.joint);
  for (const Step& step : steps_)
    for (const std::int64_t joint : {step.joint, step.kind == Kind::Collars ? step.other : -1}) {
      if (joint < 0) continue;
      read.push_back(joint);
      if (skeleton.joints[std::size_t(joint)].parent >= 0) read.push_back(skeleton.joints[std::size_t(joint)].parent);
    }
  if (shoulderJoint_ >= 0) {
    read.push_back(shoulderJoint_);
    read.push_back(skeleton.joints[std::size_t(shoulderJoint_)].parent);
  }
  std::sort(read.begin(), read.end());
  read.erase(std::unique(read.begin(), read.end()), read.end());
  upTo_ = JointsUpTo(skeleton, read);
}

void SegmentFollower::Refresh(std::int64_t joint, const Matrix& move, std::span<Matrix> globals) const {
  for (auto d = std::upper_bound(read_.begin(), read_.end(), joint); d != read_.end() && *d < ends_[std::size_t(joint)];
       ++d)
    globals[std::size_t(*d)] = Multiply(move, globals[std::size_t(*d)]);
}

void SegmentFollower::Rotate(std::int64_t joint, const Matrix& rotation, std::span<Matrix> locals,
                             std::span<Matrix> globals) const {
  SetRotation(joint, Multiply3x3(rotation, globals[std::size_t(joint)]), locals, globals);
}

void SegmentFollower::SetRotation(std::int64_t joint, const Matrix& rotation, std::span<Matrix> locals,
                                  std::span<Matrix> globals) const {
  const std::size_t j = std::size_t(joint);
  const std::int64_t parent = target_->skeleton.joints[j].parent;
  Matrix global = rotation;
  global.off = globals[j].off;
  Matrix local = parent < 0 ? global : Multiply3x3(Inverse3x3(globals[std::size_t(parent)]), global);
  local.off = locals[j].off;
  locals[j] = local;
  // What the joint's rotation does to everything below it.
  const Matrix move = Multiply(global, AffineInverse(globals[j]));
  globals[j] = global;
  Refresh(joint, move, globals);
}

void SegmentFollower::Follow(std::span<const Matrix> sourceGlobals, std::span<Matrix> locals,
                             std::span<Matrix> globals) const {
  if (steps_.empty()) return;
  ForwardKinematics(target_->skeleton, locals, globals, upTo_);
  const Landmarks& from = sourceMarks_;
  const Landmarks& marks = targetMarks_;
  Matrix rotation;
  for (const Step& step : steps_) {
    const Segment& segment = Segments()[step.segment];
    const Vector wanted = from.Direction(segment, sourceGlobals);
    switch (step.kind) {
      case Kind::Line:
      case Kind::Pelvis:
        if (RotationOnto(marks.Direction(segment, globals), wanted, rotation))
          Rotate(step.joint, rotation, locals, globals);
        break;
      case Kind::Foot: {
        // The whole turn, twist and all: the ankle's global rotation is its
        // rest's, rotated as the source's ankle rotated from its rest.
        const std::size_t ankle = std::size_t(step.joint);
        const Matrix change = Multiply3x3(sourceGlobals[std::size_t(step.other)], step.sourceRestInverse);
        const Matrix goal = Multiply3x3(change, step.rest);
        if (RotationDiffers(globals[ankle], goal)) SetRotation(step.joint, goal, locals, globals);
        break;
      }
      case Kind::Spine: FollowSpine(step, wanted, sourceGlobals, locals, globals); break;
      case Kind::Collars: FollowCollars(step, wanted, locals, globals); break;
    }
  }
}

void SegmentFollower::FollowSpine(const Step& step, const Vector& wanted, std::span<const Matrix> sourceGlobals,
                                  std::span<Matrix> locals, std::span<Matrix> globals) const {
  const Landmarks& from = sourceMarks_;
  const Landmarks& marks = targetMarks_;
  Matrix rotation;
  // The neck onto the source's line from the pelvis middle: the point
  // of that line as far from the rotated joint as the neck is.
  const Vector pivot = globals[std::size_t(step.joint)].off;
  const Vector neck = marks.At(Mark::Neck, globals), middle = marks.At(Mark::PelvisMiddle, globals);
  const double length = Length(wanted);
  if (!(length > 0.0)) return;
  const Vector w = Scale(wanted, 1.0 / length), d = Subtract(middle, pivot);
  const Vector arm = Subtract(neck, pivot);
  const double b = Dot(w, d), c = Dot(d, d) - Dot(arm, arm);
  const double along = -b + std::sqrt(std::max(0.0, b * b - c));
  const Vector onto = Subtract(Add(middle, Scale(w, along)), pivot);
  if (RotationOnto(arm, onto, rotation)) Rotate(step.joint, rotation, locals, globals);
  if (!marks.Has(Mark::LeftShoulder) || !from.Has(Mark::LeftShoulder) || !marks.Has(Mark::RightShoulder) ||
      !from.Has(Mark::RightShoulder))
    return;
  const Segment& line = Segments()[SegmentIndex("shoulders")];
  const Vector wantedLine = from.Direction(line, sourceGlobals);
  // A joint too near the neck has no line to rotate about.
  const double near = 0.1 * Length(Subtract(marks.At(Mark::Neck, globals), middle));
  for (const std::int64_t joint : {step.joint, shoulderJoint_}) {
    if (joint < 0 || (joint == shoulderJoint_ && joint == step.joint)) continue;
    const Vector axis = Subtract(marks.At(Mark::Neck, globals), globals[std::size_t(joint)].off);
    const double axisLength = Length(axis);
    if (!(axisLength > near)) continue;
    if (TwistOnto(Scale(axis, 1.0 / axisLength), marks.Direction(line, globals), wantedLine, rotation))
      Rotate(joint, rotation, locals, globals);
  }
}

void SegmentFollower::FollowCollars(const Step& step, const Vector& wanted, std::span<Matrix> locals,
                                    std::span<Matrix> globals) const {
  const Landmarks& marks = targetMarks_;
  Matrix rotation;
  // Each shoulder toward its place on the source's line through the
  // shoulders' middle; a collar's rotation moves its shoulder on a sphere,
  // so a few rounds settle it.
  const double length = Length(wanted);
  if (!(length > 0.0)) return;
  const Vector w = Scale(wanted, 1.0 / length);
  for (int round = 0; round < 3; ++round) {
    const Vector left = marks.At(Mark::LeftShoulder, globals), right = marks.At(Mark::RightShoulder, globals);
    const Vector middle = Scale(Add(left, right), 0.5);
    const double half = 0.5 * Length(Subtract(right, left));
    const std::int64_t collars[2] = {step.joint, step.other};
    const Vector goals[2] = {Subtract(middle, Scale(w, half)), Add(middle, Scale(w, half))};
    const Vector now[2] = {left, right};
    bool turned = false;
    for (int side = 0; side < 2; ++side) {
      const Vector pivot = globals[std::size_t(collars[side])].off;
      if (RotationOnto(Subtract(now[side], pivot), Subtract(goals[side], pivot), rotation)) {
        Rotate(collars[side], rotation, locals, globals);
        turned = true;
      }
    }
    if (!turned) break;
  }
}

}  // namespace norvo::retarget
