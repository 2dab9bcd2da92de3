// Foot contact: how far the feet slide while they carry the body, and
// planting them during contact.
//
// A foot is the first joint of the LeftFoot or RightFoot body part, its leg
// the first joints of the UpperLeg and LowerLeg body parts of that side; the
// leg length is the rest distance hip to knee plus knee to ankle. A foot is
// in contact in a frame when its height along the up axis lies within
// kContactHeight leg lengths of the floor: the height it is below in only
// one frame of twenty. Sliding is its
// mean speed across the up axis between two frames in contact, in leg
// lengths per second, so that rigs of other sizes compare. The up axis is
// the world's: a result on an aligned rest moves in the source's world, so
// it is measured along the source's up axis.
#pragma once
#include <cstdint>
#include <vector>

#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

inline constexpr double kContactHeight = 0.02;

struct FootSliding {
  bool measured = false;     // false when the rig has no legs to measure
  double speed[2] = {0, 0};  // left, right; leg lengths per second; NaN where positions overflow
  std::int64_t contactFrames[2] = {0, 0};
};

// The direction from the hips to the head in a rest given by its global
// matrices (a rig's own or an aligned one); (0, 0, 0) when not known.
Vector StandingUp(const Rig& rig, const std::vector<Matrix>& restGlobals);

Outcome<FootSliding> MeasureFootSliding(const Motion& clip, const Rig& rig, const Vector& up);

// Plants the feet of `clip` (a clip of `rig`) while they are in contact:
// from the first frame of each contact on, a two-bone solve of hip and knee
// keeps the ankle where it was across the up axis (where the leg cannot
// reach that far, the ankle goes as far as it can and stays there); the foot
// keeps its turn in the world. The heights are left as they are. Legs whose knee is not the
// hip's child or whose ankle is not the knee's are left alone.
Outcome<void> LockFeet(Motion& clip, const Rig& rig, const Vector& up);

}  // namespace norvo::retarget
