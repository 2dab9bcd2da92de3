// Rigs: a skeleton described as a character for the retargeting module.
//
// A Rig holds three things beside the skeleton:
// - the module's view of it: the character definition (a tree of character
//   tree nodes with the joint names and fresh Uuids, the rest pose with
//   global and parent global matrices, the standard body-part hierarchy);
// - the body-part map: which joints each body part holds once a preset (or
//   a rig file) filled it, and the rig's up axis and hip height;
// - the preset choice: which preset filled it, and how it was chosen.
// Joint j of the skeleton is node j everywhere. The module must stay loaded
// while a Rig lives.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "norvo/retarget/rig/motion.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/rig/preset.h"
#include "norvo/retargetbase.h"

namespace norvo::retarget {

struct UuidHash {
  std::size_t operator()(const Uuid& uuid) const noexcept { return std::size_t(uuid.GetHashCode()); }
};

// What the body parts hold.
struct BodyPartMap {
  std::vector<std::vector<std::int64_t>> joints;  // per standard body part, in tree order
  std::int64_t covered = 0;                       // joints in at least one body part
  std::vector<std::string> empty;                 // body parts without joints
  std::vector<std::string> emptyRequired;         // required ones among them
  // The module's matching count of the body-part tree against the rest
  // pose (a joint counted once per body part that took it), and the extra
  // takings of joints in more than one body part (three takings count 2).
  std::int64_t matchingCount = 0;
  std::int64_t sharedJoints = 0;
};

// Which preset filled the body parts, and how well it explains the rig.
struct PresetChoice {
  std::string name;
  std::string file;                     // the preset's file; empty for one made in code or a rig file's
  std::vector<BodyPartKeywords> parts;  // its keywords, one per standard body part
  std::int64_t score = 0;               // see PresetScore
  // When it was chosen among several: every candidate's score, in the order
  // given, and whether the choice was a tie or a weak one.
  struct Candidate {
    std::string preset;
    std::int64_t score;
  };
  std::vector<Candidate> candidates;
  bool tie = false;
  bool weak = false;
  // For the generic choice (anatomy.h): the joints its body parts took by
  // the skeleton's shape alone, not by a word of their names.
  std::vector<std::int64_t> byStructure;
};

// The name of the choice made by the skeleton's shape and generic words
// when no preset fits well.
inline constexpr const char* kGenericPreset = "generic";

struct Rig {
  std::string name;
  Skeleton skeleton;
  std::vector<Matrix> restLocals, restGlobals;

  // The module's view.
  CharacterDefinition definition;
  std::vector<CharacterTreeRef> nodes;
  std::vector<CharacterBodyPartRef> bodyParts;  // one per standard body part
  std::vector<CharacterNodeTransform> restTransforms;
  std::unordered_map<Uuid, std::int64_t, UuidHash> jointOfUuid;

  BodyPartMap parts;
  PresetChoice preset;

  // The up axis runs from the hips toward the head at rest; the hip height
  // is how far the hips stand above the lowest joint or End Site along it.
  // Both are known only when the Hips and Head body parts have joints.
  bool measured = false;
  Vector up;
  double hipHeight = 0.0;

  std::int64_t JointCount() const noexcept { return skeleton.Count(); }
  const Uuid& JointUuid(std::int64_t joint) const { return nodes[std::size_t(joint)].GetUuid(); }
  // The first joint of a standard body part, or -1.
  std::int64_t FirstJoint(std::string_view bodyPart) const noexcept;
};

// Describes `skeleton` as a character and fills its body parts with `preset`.
Outcome<Rig> BuildRig(const std::string& name, const Skeleton& skeleton, const Preset& preset);
// Describes `skeleton` as a character whose body parts are given: per
// standard body part the joints it holds (a humanoid table of the file the
// skeleton comes from); no keywords run. `source` names where they came
// from, in place of a preset's name.
Outcome<Rig> BuildRigWithParts(const std::string& name, const Skeleton& skeleton, const std::string& source,
                               const std::vector<std::vector<std::int64_t>>& parts);
// Works out from the skeleton, the rest globals, the joints' Uuids and the
// filled body parts the body-part map and the rig's up axis and hip height.
Outcome<void> SummarizeRig(Rig& rig);
// The score of a filled rig: matchingCount - 2 * sharedJoints
// - 5 * (required body parts left empty). A joint taken twice so costs more
// than it brings, and an empty required body part more than a few joints.
std::int64_t PresetScore(std::int64_t matchingCount, std::int64_t sharedJoints, std::int64_t emptyRequired) noexcept;
// Builds the rig with each preset and keeps the one with the highest score
// (on a tie, the first). The choice is weak when the winner leaves a
// required body part empty or puts fewer than half the joints into body
// parts; then the body parts the skeleton's shape and generic words find
// (anatomy.h) are taken instead when they leave fewer required body parts
// empty, or as few and take more joints: preset "generic". Needs at least
// one preset.
Outcome<Rig> BuildRigWithBestPreset(const std::string& name, const Skeleton& skeleton,
                                    const std::vector<Preset>& presets);
// The rig whose body parts the skeleton's shape and generic words fill
// (anatomy.h), as preset "generic"; BadInput when the shape is not a
// humanoid's.
Outcome<Rig> BuildRigByShape(const std::string& name, const Skeleton& skeleton);

}  // namespace norvo::retarget
