#include "norvo/retarget/measure.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "norvo/retarget/align.h"
#include "norvo/retarget/preset.h"

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

Outcome<BoneDirectionFigures> CompareBoneDirections(const Motion& reference, const Rig& referenceRig,
                                                    std::int64_t first, const Motion& clip, const Rig& rig,
                                                    const std::vector<std::int64_t>& referenceOf) {
  try {
    RETARGET_ASSIGN(std::vector<std::int64_t> ends, BoneEnds(referenceRig, rig, referenceOf));
    // A bone that passes a paired joint standing off its start on either rig
    // mixes two turns the rigs share out differently (a hand to a finger's
    // second joint, where one rig has the finger's base in the palm and the
    // other at the wrist): the two directions need not agree however well
    // each joint is carried, so such a bone is not measured.
    const double tiny = TinyLength(rig), referenceTiny = TinyLength(referenceRig);
    for (std::size_t t = 0; t < ends.size(); ++t) {
      if (ends[t] < 0) continue;
      const std::size_t s = std::size_t(referenceOf[t]);
      for (std::int64_t p = rig.skeleton.joints[std::size_t(ends[t])].parent; p > std::int64_t(t);
           p = rig.skeleton.joints[std::size_t(p)].parent) {
        const std::int64_t partner = referenceOf[std::size_t(p)];
        if (partner < 0) continue;
        if (Length(Subtract(rig.restGlobals[std::size_t(p)].off, rig.restGlobals[t].off)) > tiny ||
            Length(Subtract(referenceRig.restGlobals[std::size_t(partner)].off, referenceRig.restGlobals[s].off)) >
                referenceTiny) {
          ends[t] = -1;
          break;
        }
      }
    }
    const std::size_t parts = StandardBodyParts().size();
    std::vector<int> partOf(rig.skeleton.joints.size(), -1);
    for (std::size_t p = parts; p-- > 0;)
      for (std::int64_t j : rig.parts.joints[p]) partOf[std::size_t(j)] = int(p);

    std::vector<std::vector<double>> angles(parts);
    std::vector<double> all;
    std::vector<Matrix> globals(clip.skeleton.joints.size()), referenceGlobals(reference.skeleton.joints.size());
    const std::int64_t frames = std::min(clip.FrameCount(), reference.FrameCount() - first);
    for (std::int64_t f = 0; f < frames; ++f) {
      FrameGlobals(clip, f, globals);
      FrameGlobals(reference, first + f, referenceGlobals);
      for (std::size_t t = 0; t < globals.size(); ++t) {
        const std::int64_t d = ends[t];
        if (d < 0) continue;
        const std::size_t s = std::size_t(referenceOf[t]), sd = std::size_t(referenceOf[std::size_t(d)]);
        const double angle = AngleDegrees(Subtract(globals[std::size_t(d)].off, globals[t].off),
                                          Subtract(referenceGlobals[sd].off, referenceGlobals[s].off));
        all.push_back(angle);
        if (partOf[t] >= 0) angles[std::size_t(partOf[t])].push_back(angle);
      }
    }
    BoneDirectionFigures figures;
    figures.all = Figure(all);
    for (std::size_t p = 0; p < parts; ++p)
      if (!angles[p].empty())
        figures.bodyParts.emplace_back(std::string(StandardBodyParts()[p].identifier), Figure(angles[p]));
    return figures;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<std::vector<std::int64_t>> SameJoints(const Rig& rig) {
  try {
    std::vector<std::int64_t> same(rig.skeleton.joints.size());
    for (std::size_t j = 0; j < same.size(); ++j) same[j] = std::int64_t(j);
    return same;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
