// The built-in sample: a generated rig with CMU-style joint names and a walk
// cycle on it, and a second rig with other proportions, MakeHuman-style
// joint names and two more spine joints. Both stand Y-up with the arms out
// and the feet forward, so the walk looks right on either.
#pragma once
#include <cstdint>

#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/base/outcome.h"

namespace norvo::retarget {

// `cycles` walk cycles of one second each at 30 frames a second; Usage
// when `cycles` is negative.
Outcome<Motion> SampleWalk(int cycles = 4);
Outcome<Skeleton> SampleTargetSkeleton();

}  // namespace norvo::retarget
