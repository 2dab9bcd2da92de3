// Rest alignment: a target rest pose whose bones point the way the source's
// bones point at rest, so that a difference of the two rest poses (a T-pose
// against an A-pose, bent elbows, a leaning spine) is not carried into every
// frame.
//
// A bone runs from a paired target joint to its first paired descendant (in
// file order) whose own rest offset is not zero on both rigs; the source bone
// runs between their partners. The aligned rest rotates each target joint, in
// world space, parents first, by a correction: the parent's correction, then
// the shortest rotation that takes the bone's direction onto the source
// bone's (so the twist about the bone is kept). A joint with bones below
// several children (the hips, the chest) rotates by the rotation that best fits
// all of them. A joint without a bone takes its parent's correction.
// Offsets never change, only rotations.
//
// Chains: a body part whose joints form a line (each one below the one
// before) and that holds a different number of joints on the two rigs. Its
// target joints are aligned as one piece, by the direction from the chain's
// first joint to its end, and the pipeline spreads the source chain's bend
// over the target chain by the joints' relative positions along it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "norvo/matrix.h"
#include "norvo/retarget/base/geometry.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

// One chain of joints that differ in number on the two rigs.
struct Chain {
  std::string bodyPart;
  std::vector<std::int64_t> source, target;  // the joints, first to last
  // The first paired joint below the chain, outside it, on each rig (its
  // partner on the source); -1 when there is none.
  std::int64_t sourceEnd = -1, targetEnd = -1;
  // Each joint's place along the chain at rest, 0 at the first joint and 1
  // at the end (or at the last joint when there is no end).
  std::vector<double> sourceAt, targetAt;
};

// How long a bone must be to count as one: a millionth of the rig's reach
// (its joints' farthest distance from the root at rest), so that a joint an
// exporter left a float's noise away from its parent still sits on it.
double TinyLength(const Rig& rig) noexcept;

// The target joint's bone end (see above), or -1; one per target joint.
// `sourceOfTarget` holds each target joint's source partner, or -1.
Outcome<std::vector<std::int64_t>> BoneEnds(const Rig& source, const Rig& target,
                                            const std::vector<std::int64_t>& sourceOfTarget);

// The chains of the named body parts whose joint counts differ; a body part
// whose joints do not form a line on either rig, is empty on one, or holds a
// root joint is left out.
Outcome<std::vector<Chain>> FindChains(const Rig& source, const Rig& target,
                                       const std::vector<std::int64_t>& sourceOfTarget,
                                       const std::vector<std::string>& bodyParts);

// The aligned rest of the target: its local and global matrices, one per
// target joint. Chain joints are aligned as their chain.
struct AlignedRest {
  std::vector<Matrix> locals, globals;
};
Outcome<AlignedRest> AlignRest(const Rig& source, const Rig& target, const std::vector<std::int64_t>& sourceOfTarget,
                               const std::vector<Chain>& chains);

// One past the last descendant of each joint (joints are in pre-order, so a
// joint's descendants follow it).
Outcome<std::vector<std::int64_t>> SubtreeEnds(const Skeleton& skeleton);

}  // namespace norvo::retarget
