// Figures on how well a clip carries another clip's motion, on any two
// rigs: the angles between the landmark segments (landmarks.h) of the two,
// frame by frame.
//
// In every frame but the first, each segment's world direction in the clip
// is compared with the reference's; a foot by its rotation from rest: the
// reference's ankle's whole world rotation since its rest (twist included),
// applied to the clip's foot segment at rest, against the clip's foot
// segment. The mean and the 95th percentile are over every counted segment
// in every frame; the hands are reported but not counted.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "norvo/retarget/rig/landmarks.h"
#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

// Angles in degrees over every segment and frame measured.
struct AngleFigure {
  double mean = 0.0;
  double p95 = 0.0;  // the 95th percentile
  double max = 0.0;
  std::int64_t count = 0;  // segment frames measured
};

struct SegmentFigure {
  std::string name;       // as Segments() names it
  bool counted = true;    // in the mean and percentile of all
  bool measured = false;  // both rigs have it; else the figure is empty
  AngleFigure figure;
};

struct SegmentFigures {
  AngleFigure all;                      // the counted segments
  std::vector<SegmentFigure> segments;  // every segment, in Segments()' order

  // The names of the segments not measured, in that order.
  std::vector<std::string> NotMeasured() const {
    std::vector<std::string> names;
    for (const SegmentFigure& segment : segments)
      if (!segment.measured) names.push_back(segment.name);
    return names;
  }
};

// Compares frame f of `clip` (rig `rig`) with frame `first` + f of
// `reference` (rig `referenceRig`), for as many frames as both hold, but the
// first. The comparison is made in the reference's world: `clipRotation` takes
// the clip's world there, `restRotation` the world of `rig`'s rest (the two
// differ when the clip moves in the reference's world, as a result does
// before it is written). Positions play no part, only directions. With
// `perFrame`, every angle is kept there too: frame after frame, kSegments
// a frame, NaN where a segment is not measured and in the first frame.
Outcome<SegmentFigures> CompareSegments(const Motion& reference, const Rig& referenceRig, std::int64_t first,
                                        const Motion& clip, const Rig& rig, const Matrix& clipRotation,
                                        const Matrix& restRotation, std::vector<float>* perFrame = nullptr);

}  // namespace norvo::retarget
