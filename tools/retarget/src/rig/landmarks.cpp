#include "norvo/retarget/rig/landmarks.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace norvo::retarget {

namespace {

constexpr Segment kSegmentTable[kSegments] = {
    {"left thigh", Mark::LeftHip, Mark::LeftKnee, true, false},
    {"left shin", Mark::LeftKnee, Mark::LeftAnkle, true, false},
    {"left foot", Mark::LeftAnkle, Mark::LeftToe, true, true},
    {"right thigh", Mark::RightHip, Mark::RightKnee, true, false},
    {"right shin", Mark::RightKnee, Mark::RightAnkle, true, false},
    {"right foot", Mark::RightAnkle, Mark::RightToe, true, true},
    {"left upper arm", Mark::LeftShoulder, Mark::LeftElbow, true, false},
    {"left forearm", Mark::LeftElbow, Mark::LeftWrist, true, false},
    {"left hand", Mark::LeftWrist, Mark::LeftHandEnd, false, false},
    {"right upper arm", Mark::RightShoulder, Mark::RightElbow, true, false},
    {"right forearm", Mark::RightElbow, Mark::RightWrist, true, false},
    {"right hand", Mark::RightWrist, Mark::RightHandEnd, false, false},
    {"pelvis", Mark::LeftHip, Mark::RightHip, true, false},
    {"shoulders", Mark::LeftShoulder, Mark::RightShoulder, true, false},
    {"spine", Mark::PelvisMiddle, Mark::Neck, true, false},
    {"neck", Mark::Neck, Mark::Head, true, false},
};

// The first End Site of the last joint of a body part, followed down from
// its first joint, when the body part has joints.
MarkPoint EndSiteOf(const Rig& rig, std::string_view bodyPart) {
  const int part = FindStandardBodyPart(bodyPart);
  if (part < 0) return {};
  const std::vector<std::int64_t>& joints = rig.parts.joints[std::size_t(part)];
  if (joints.empty()) return {};
  const Joint& last = rig.skeleton.joints[std::size_t(joints.back())];
  if (last.endSites.empty()) return {};
  return {joints.back(), true, last.endSites.front()};
}

MarkPoint JointOf(const Rig& rig, std::string_view bodyPart) { return {rig.FirstJoint(bodyPart), false, {}}; }

}  // namespace

std::span<const Segment, kSegments> Segments() noexcept { return std::span<const Segment, kSegments>(kSegmentTable); }

std::size_t SegmentIndex(std::string_view name) noexcept {
  for (std::size_t s = 0; s < kSegments; ++s)
    if (kSegmentTable[s].name == name) return s;
  return kSegments;
}

bool Landmarks::Has(Mark mark) const noexcept {
  if (mark == Mark::PelvisMiddle) return Has(Mark::LeftHip) && Has(Mark::RightHip);
  return (*this)[mark].joint >= 0;
}

bool Landmarks::Points(const Segment& segment, const Rig& rig) const {
  if (!Has(segment)) return false;
  double reach = 0.0;
  for (std::size_t j = 1; j < rig.restGlobals.size(); ++j) {
    const Vector from = Subtract(rig.restGlobals[j].off, rig.restGlobals[0].off);
    reach = std::max(reach, std::sqrt(Dot(from, from)));
  }
  const Vector direction = Direction(segment, rig.restGlobals);
  return std::sqrt(Dot(direction, direction)) > 1e-3 * std::max(reach, 1e-3);
}

Vector Landmarks::At(Mark mark, std::span<const Matrix> globals) const noexcept {
  if (mark == Mark::PelvisMiddle) return Scale(Add(At(Mark::LeftHip, globals), At(Mark::RightHip, globals)), 0.5);
  const MarkPoint& point = (*this)[mark];
  const Matrix& global = globals[std::size_t(point.joint)];
  return point.endSite ? TransformPoint(global, point.offset) : global.off;
}

Landmarks FindLandmarks(const Rig& rig) {
  Landmarks marks;
  auto set = [&](Mark mark, MarkPoint point) { marks.points[std::size_t(mark)] = point; };
  for (const bool left : {true, false}) {
    const std::string side = left ? "Left" : "Right";
    const auto mark = [&](Mark l, Mark r) { return left ? l : r; };
    set(mark(Mark::LeftHip, Mark::RightHip), JointOf(rig, side + "UpperLeg"));
    set(mark(Mark::LeftKnee, Mark::RightKnee), JointOf(rig, side + "LowerLeg"));
    set(mark(Mark::LeftAnkle, Mark::RightAnkle), JointOf(rig, side + "Foot"));
    MarkPoint toe = JointOf(rig, side + "Toes");
    if (toe.joint < 0) toe = EndSiteOf(rig, side + "Foot");
    set(mark(Mark::LeftToe, Mark::RightToe), toe);
    set(mark(Mark::LeftShoulder, Mark::RightShoulder), JointOf(rig, side + "UpperArm"));
    set(mark(Mark::LeftElbow, Mark::RightElbow), JointOf(rig, side + "ForeArm"));
    set(mark(Mark::LeftWrist, Mark::RightWrist), JointOf(rig, side + "Hand"));
    MarkPoint end = JointOf(rig, side + "Middle");
    if (end.joint < 0) end = JointOf(rig, side + "Index");
    if (end.joint < 0) end = EndSiteOf(rig, side + "Hand");
    set(mark(Mark::LeftHandEnd, Mark::RightHandEnd), end);
  }
  set(Mark::Neck, JointOf(rig, "Neck"));
  set(Mark::Head, JointOf(rig, "Head"));
  return marks;
}

Matrix QuarterTurn(const Rig& source, const Landmarks& sourceMarks, const Rig& target, const Landmarks& targetMarks) {
  // Every rotation that permutes the axes with signs: 24 of them.
  Matrix best;
  double bestScore = -1e300;
  const Vector axes[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  const int orders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  for (const auto& order : orders)
    for (int signs = 0; signs < 8; ++signs) {
      // Column k is where axis k goes.
      Vector columns[3];
      for (int k = 0; k < 3; ++k) columns[k] = Scale(axes[order[k]], (signs >> k) & 1 ? -1.0 : 1.0);
      const Matrix rotation{{0, 0, 0}, columns[0], columns[1], columns[2]};
      if (Dot(Cross(rotation.v1, rotation.v2), rotation.v3) < 0) continue;
      double score = 0.0;
      for (const Segment& segment : Segments()) {
        if (segment.name != "spine" && segment.name != "pelvis" && segment.name != "shoulders") continue;
        if (!sourceMarks.Has(segment) || !targetMarks.Has(segment)) continue;
        const Vector a = TransformVector(rotation, sourceMarks.Direction(segment, source.restGlobals));
        const Vector b = targetMarks.Direction(segment, target.restGlobals);
        const double la = std::sqrt(Dot(a, a)), lb = std::sqrt(Dot(b, b));
        if (la > 0.0 && lb > 0.0) score += Dot(a, b) / (la * lb);
      }
      if (score > bestScore + 1e-9) {
        bestScore = score;
        best = rotation;
      }
    }
  return best;
}

}  // namespace norvo::retarget
