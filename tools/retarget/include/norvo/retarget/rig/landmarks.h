// Landmarks: points that every humanoid rig has, whatever its joints are
// named or however many it has between them, found from its body parts.
//
// - hip, knee, ankle and toe: the first joint of UpperLeg, LowerLeg, Foot
//   and Toes; a rig without toes uses the foot's End Site where it has one;
// - shoulder, elbow and wrist: the first joint of UpperArm, ForeArm and Hand;
// - the hand's end: the middle finger's first joint, else the index's, else
//   the hand's End Site;
// - the neck and the head: the first joint of Neck and Head;
// - the pelvis middle: halfway between the two hips.
//
// Segments join two landmarks: thigh, shin, foot, upper arm, forearm and
// hand on each side, the pelvis (left hip to right hip), the shoulders (left
// shoulder to right shoulder), the spine (pelvis middle to neck) and the neck
// (neck to head). They say how a pose looks on any rig: the figures compare
// a result's segments with its source's, and the pipeline rotates the target's
// joints so that they agree.
#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "norvo/matrix.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

enum class Mark : std::uint8_t {
  LeftHip,
  LeftKnee,
  LeftAnkle,
  LeftToe,
  RightHip,
  RightKnee,
  RightAnkle,
  RightToe,
  LeftShoulder,
  LeftElbow,
  LeftWrist,
  LeftHandEnd,
  RightShoulder,
  RightElbow,
  RightWrist,
  RightHandEnd,
  Neck,
  Head,
  PelvisMiddle,  // halfway between the hips; no joint of its own
};
inline constexpr std::size_t kMarks = 19;

struct Segment {
  std::string_view name;  // "left thigh", ..., "neck"
  Mark from, to;
  // Counted in the figure's mean and percentile; the hands are not, since a
  // finger's first joint is not the same point on every rig.
  bool counted;
  // A foot is compared by its rotation from rest, not by its direction alone:
  // every rig's rest stands on flat feet, whatever its ankle-to-toe line.
  bool foot;
};
inline constexpr std::size_t kSegments = 16;
std::span<const Segment, kSegments> Segments() noexcept;
// The index in Segments() of the segment named so; kSegments for none.
std::size_t SegmentIndex(std::string_view name) noexcept;

// Where a landmark sits: a joint, or an End Site of a joint (its offset in
// the joint's frame). joint -1: the rig lacks it.
struct MarkPoint {
  std::int64_t joint = -1;
  bool endSite = false;
  Vector offset;
};

struct Landmarks {
  std::array<MarkPoint, kMarks> points;

  const MarkPoint& operator[](Mark mark) const noexcept { return points[std::size_t(mark)]; }
  // Whether the rig has both ends of a segment (the pelvis middle needs
  // both hips).
  bool Has(Mark mark) const noexcept;
  bool Has(const Segment& segment) const noexcept { return Has(segment.from) && Has(segment.to); }
  // A landmark's position in a pose given by its joints' globals.
  Vector At(Mark mark, std::span<const Matrix> globals) const noexcept;
  // Whether the rig (whose landmarks these are) has the segment with a
  // length at rest: one shorter than a thousandth of the rig's reach (a
  // finger's base on the wrist) points nowhere.
  bool Points(const Segment& segment, const Rig& rig) const;
  // A segment's direction (not normalized) in a pose.
  Vector Direction(const Segment& segment, std::span<const Matrix> globals) const noexcept {
    return Subtract(At(segment.to, globals), At(segment.from, globals));
  }
};

Landmarks FindLandmarks(const Rig& rig);

// The rotation, a whole number of quarter turns about the axes, that best
// puts the source's rest onto the target's: the up axis and the facing, as
// the spine, the pelvis and the shoulders at rest tell them, never a few
// degrees of lean. The identity when the rigs do not say.
Matrix QuarterTurn(const Rig& source, const Landmarks& sourceMarks, const Rig& target, const Landmarks& targetMarks);

}  // namespace norvo::retarget
