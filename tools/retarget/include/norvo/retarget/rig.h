// Rigs: a BVH skeleton described as a character for the retargeting module.
//
// A Rig holds the character definition the module works on (a tree of
// character tree nodes with the joint names and fresh Uuids, the rest pose
// with global and parent global matrices, and the standard body-part
// hierarchy filled from the joint names by a preset), and beside it what the
// tool needs per joint. Joint j of the skeleton is node j everywhere.
// The module must stay loaded while a Rig lives.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "norvo/retarget/bvh.h"
#include "norvo/retarget/outcome.h"
#include "norvo/retarget/preset.h"
#include "norvo/retargetbase.h"

namespace norvo::retarget {

struct UuidHash {
  std::size_t operator()(const Uuid& uuid) const noexcept { return std::size_t(uuid.GetHashCode()); }
};

struct Rig {
  std::string name;
  BvhSkeleton skeleton;
  std::string presetName;
  std::vector<BodyPartKeywords> presetParts;  // the preset's keywords, one per standard body part

  CharacterDefinition definition;
  std::vector<CharacterTreeRef> nodes;
  std::vector<CharacterBodyPartRef> bodyParts;  // one per standard body part
  std::vector<CharacterNodeTransform> restTransforms;
  std::vector<Matrix> restLocals;
  std::vector<Matrix> restGlobals;
  std::unordered_map<Uuid, std::int64_t, UuidHash> jointOfUuid;

  // What the preset filled.
  std::vector<std::vector<std::int64_t>> bodyPartJoints;  // joints of each body part, in tree order
  std::int64_t coveredJoints = 0;  // joints in at least one body part
  std::vector<std::string> emptyBodyParts;

  // How well the preset explains the rig: the module's matching count of the
  // body-part tree against the rest pose (a joint counted once per body part
  // that took it), joints taken by more than one body part, required body
  // parts left empty, and the score made of them (see PresetScore).
  std::int64_t matchingCount = 0;
  std::int64_t sharedJoints = 0;  // extra takings: a joint in three body parts counts 2
  std::vector<std::string> emptyRequired;
  std::int64_t score = 0;
  // When the preset was chosen among several: every candidate's score, in
  // the order given, and whether the choice was a tie or a weak one.
  struct Candidate {
    std::string preset;
    std::int64_t score;
  };
  std::vector<Candidate> candidates;
  bool presetTie = false;
  bool presetWeak = false;

  // The up axis runs from the hips toward the head at rest; the hip height
  // is how far the hips stand above the lowest joint or End Site along it.
  // Both are known only when the Hips and Head body parts have joints.
  bool measured = false;
  Vector up;
  double hipHeight = 0.0;

  std::int64_t JointCount() const noexcept { return std::int64_t(skeleton.joints.size()); }
  const Uuid& JointUuid(std::int64_t joint) const { return nodes[std::size_t(joint)].GetUuid(); }
};

// Describes `skeleton` as a character and fills its body parts with `preset`.
Outcome<Rig> BuildRig(const std::string& name, const BvhSkeleton& skeleton, const Preset& preset);
// The score of a filled rig: matchingCount - 2 * sharedJoints
// - 5 * (required body parts left empty). A joint taken twice so costs more
// than it brings, and an empty required body part more than a few joints.
std::int64_t PresetScore(std::int64_t matchingCount, std::int64_t sharedJoints, std::int64_t emptyRequired) noexcept;
// Builds the rig with each preset and keeps the one with the highest score
// (on a tie, the first). The choice is weak when the winner leaves a
// required body part empty or puts fewer than half the joints into body
// parts. Needs at least one preset.
Outcome<Rig> BuildRigWithBestPreset(const std::string& name, const BvhSkeleton& skeleton,
                                    const std::vector<Preset>& presets);

}  // namespace norvo::retarget
