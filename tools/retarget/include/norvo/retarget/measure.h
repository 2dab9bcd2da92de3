// Figures on how well a clip carries another clip's motion: the angles
// between paired bones' world directions, frame by frame.
//
// Bones are those of align.h: from a paired joint to its first paired
// descendant whose own rest offset is not zero on both rigs.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "norvo/retarget/motion.h"
#include "norvo/retarget/outcome.h"
#include "norvo/retarget/rig.h"

namespace norvo::retarget {

// Angles in degrees over every bone and frame measured.
struct AngleFigure {
  double mean = 0.0;
  double p95 = 0.0;  // the 95th percentile
  double max = 0.0;
  std::int64_t count = 0;  // bone frames measured
};

struct BoneDirectionFigures {
  AngleFigure all;
  // Per standard body part that holds a measured bone, in the standard
  // order; a bone belongs to the body part of its first joint.
  std::vector<std::pair<std::string, AngleFigure>> bodyParts;
};

// Compares frame f of `clip` (rig `rig`) with frame `first` + f of
// `reference` (rig `referenceRig`), for as many frames as both hold.
// `referenceOf` gives each joint of `rig` its partner in `referenceRig`, or
// -1. The root's position plays no part, only directions.
Outcome<BoneDirectionFigures> CompareBoneDirections(const Motion& reference, const Rig& referenceRig,
                                                    std::int64_t first, const Motion& clip, const Rig& rig,
                                                    const std::vector<std::int64_t>& referenceOf);

// Every joint paired with itself: for a clip against another clip of the
// same rig.
Outcome<std::vector<std::int64_t>> SameJoints(const Rig& rig);

}  // namespace norvo::retarget
