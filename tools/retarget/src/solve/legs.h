// The legs and feet of a rig, for the foot work of feet.cpp and planting.cpp.
#pragma once
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "norvo/retarget/solve/align.h"
#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

// A leg: the first joints of the UpperLeg, LowerLeg and Foot body parts of
// one side, and its rest length hip to knee to ankle.
struct Leg {
  std::int64_t hip = -1, knee = -1, ankle = -1;
  double length = 0.0;
};

// The two legs, left then right; a leg that cannot be measured has no hip.
void FindLegs(const Rig& rig, Leg legs[2]);
// Leaves out (no hip) the legs whose knee is not the hip's child or whose
// ankle is not the knee's: ReachAnkle bends only such a chain.
void KeepChains(const Skeleton& skeleton, Leg legs[2]) noexcept;
// The hip, knee and ankle of each leg that has a hip: what a two-bone solve
// reads (with the joints above them, JointsUpTo).
inline std::vector<std::int64_t> LegJoints(const Leg legs[2]) {
  std::vector<std::int64_t> joints;
  for (int side = 0; side < 2; ++side)
    if (legs[side].hip >= 0) joints.insert(joints.end(), {legs[side].hip, legs[side].knee, legs[side].ankle});
  return joints;
}

// The rotations of a two-bone solve, in the world: the knee's about the knee,
// then the hip's about the hip, which carries the knee's along. Not found
// for a leg of no length.
struct LegRotations {
  Matrix knee, hip;
  bool found = false;
};
LegRotations RotationsToReach(const Vector& hip, const Vector& knee, const Vector& ankle, const Vector& goal,
                              const Vector& up, const Vector& left) noexcept;

// A two-bone solve: bends the knee in the leg's plane until the ankle lies
// as far from the hip as `goal` (short of a straight leg), then rotates the
// hip toward it. The ankle keeps its rotation in the world. A leg straight
// along `up` gives no plane: its knee rotates about `left` (LeftOf), so that
// it comes forward. Writes the three joints' rotations into `locals` (their
// offsets kept); `globals` are the frame's before the solve. An `ankleRotation`,
// a rotation in the world, rotates the ankle after the solve.
void ReachAnkle(const Skeleton& skeleton, const Leg& leg, const Vector& goal, const Vector& up, const Vector& left,
                std::span<const Matrix> globals, std::span<Matrix> locals,
                const Matrix* ankleRotation = nullptr) noexcept;
// Where a foot is in every frame: its leg's hip, knee and ankle, and each of
// its joints (the Foot and Toes body parts), frame after frame.
struct FootTrack {
  std::vector<std::int64_t> joints;
  std::vector<Vector> hip, knee, ankle;
  std::vector<Vector> at;           // joints.size() per frame
  std::vector<double> low;          // the lowest joint's height
  std::vector<std::size_t> lowest;  // which of `joints` it is

  Vector Lowest(std::size_t frame) const { return at[frame * joints.size() + lowest[frame]]; }
};

// Fills both feet's tracks (left, right) from the clip's frames.
void Follow(const Motion& clip, const Rig& rig, const Leg legs[2], const Vector& up, FootTrack tracks[2]);
// Both legs of a rig, or none (false); none without an up axis.
bool BothLegs(const Rig& rig, const Vector& up, Leg legs[2]);
// The `percent`th percentile of `values`: the element at size * percent /
// 100 in order (rounded down), the median for 50. `values` is not empty.
inline double Percentile(std::vector<double> values, std::size_t percent) {
  const std::size_t at = values.size() * percent / 100;
  std::nth_element(values.begin(), values.begin() + std::ptrdiff_t(at), values.end());
  return values[at];
}

// The rig's left in a frame: from the right hip to the left one, across `up`.
inline Vector LeftOf(std::span<const Matrix> globals, const Leg legs[2], const Vector& up) noexcept {
  if (legs[0].hip < 0 || legs[1].hip < 0) return {};
  return Across(Subtract(globals[std::size_t(legs[0].hip)].off, globals[std::size_t(legs[1].hip)].off), up);
}

}  // namespace norvo::retarget
