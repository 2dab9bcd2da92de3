#include "norvo/retarget/analysis/measure.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "norvo/retarget/solve/align.h"

namespace norvo::retarget {

namespace {

// The figure of a list of angles; reorders them.
AngleFigure Figure(std::vector<double>& angles) {
  AngleFigure figure;
  figure.count = std::int64_t(angles.size());
  if (angles.empty()) return figure;
  double sum = 0.0;
  for (double angle : angles) {
    sum += angle;
    figure.max = std::max(figure.max, angle);
  }
  figure.mean = sum / double(angles.size());
  const std::size_t at = std::min(angles.size() - 1, std::size_t(std::ceil(0.95 * double(angles.size()))) - 1);
  std::nth_element(angles.begin(), angles.begin() + std::ptrdiff_t(at), angles.end());
  figure.p95 = angles[at];
  return figure;
}

}  // namespace

Outcome<SegmentFigures> CompareSegments(const Motion& reference, const Rig& referenceRig, std::int64_t first,
                                        const Motion& clip, const Rig& rig, const Matrix& clipRotation,
                                        const Matrix& restRotation, std::vector<float>* perFrame) {
  try {
    const Landmarks from = FindLandmarks(referenceRig), marks = FindLandmarks(rig);
    std::span<const Segment, kSegments> segments = Segments();
    SegmentFigures figures;
    std::vector<std::vector<double>> angles(kSegments);
    // Per foot: the clip's segment at rest in the reference's world, and the
    // inverse of the reference's ankle at rest.
    std::vector<Vector> restDirections(kSegments);
    std::vector<Matrix> restInverses(kSegments);
    // What either rig lacks, or has of no length at rest, is not measured.
    std::vector<bool> measured(kSegments);
    for (std::size_t s = 0; s < kSegments; ++s)
      measured[s] = from.Points(segments[s], referenceRig) && marks.Points(segments[s], rig);
    for (std::size_t s = 0; s < kSegments; ++s) {
      const Segment& segment = segments[s];
      if (!segment.foot || !measured[s]) continue;
      restDirections[s] = TransformVector(restRotation, marks.Direction(segment, rig.restGlobals));
      const MarkPoint& ankle = from[segment.from];
      restInverses[s] = Inverse3x3(referenceRig.restGlobals[std::size_t(ankle.joint)]);
    }
    std::vector<Matrix> globals(clip.skeleton.joints.size()), referenceGlobals(reference.skeleton.joints.size());
    const std::int64_t frames = std::min(clip.FrameCount(), reference.FrameCount() - first);
    if (perFrame) perFrame->assign(std::size_t(std::max<std::int64_t>(frames, 0)) * kSegments, std::nanf(""));
    for (std::int64_t f = 1; f < frames; ++f) {
      FrameGlobals(clip, f, globals);
      FrameGlobals(reference, first + f, referenceGlobals);
      for (std::size_t s = 0; s < kSegments; ++s) {
        const Segment& segment = segments[s];
        if (!measured[s]) continue;
        const Vector now = TransformVector(clipRotation, marks.Direction(segment, globals));
        Vector wanted;
        if (segment.foot) {
          const Matrix& ankle = referenceGlobals[std::size_t(from[segment.from].joint)];
          wanted = TransformVector(Multiply3x3(ankle, restInverses[s]), restDirections[s]);
        } else {
          wanted = from.Direction(segment, referenceGlobals);
        }
        angles[s].push_back(AngleDegrees(now, wanted));
        if (perFrame) (*perFrame)[std::size_t(f) * kSegments + s] = float(angles[s].back());
      }
    }
    std::vector<double> all;
    for (std::size_t s = 0; s < kSegments; ++s)
      if (segments[s].counted) all.insert(all.end(), angles[s].begin(), angles[s].end());
    figures.all = Figure(all);
    for (std::size_t s = 0; s < kSegments; ++s) {
      figures.segments.push_back({std::string(segments[s].name), segments[s].counted, measured[s], Figure(angles[s])});
    }
    return figures;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
