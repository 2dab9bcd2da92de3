// The built-in sample: a generated rig with CMU-style joint names and a walk
// cycle on it, and a second rig with other proportions, MakeHuman-style
// joint names and two more spine joints. Both stand Y-up with the arms out
// and the feet forward, so the walk looks right on either.
#pragma once
#include <cstdint>

#include "norvo/retarget/bvh.h"
#include "norvo/retarget/outcome.h"

namespace norvo::retarget {

// `cycles` walk cycles of one second each at 30 frames a second; Usage
// when `cycles` is negative.
Outcome<BvhClip> SampleWalk(int cycles = 4);
Outcome<BvhSkeleton> SampleTargetSkeleton();
// A clip of one frame: the skeleton at rest.
Outcome<BvhClip> RestClip(const BvhSkeleton& skeleton);

}  // namespace norvo::retarget
