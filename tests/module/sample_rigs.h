// Sample rigs for tests and benchmarks: the skeleton of a BVH clip as a
// character tree, and a body-part hierarchy of twenty-one parts (hips, spine,
// chest, neck, head; shoulder, upper arm, forearm, hand, upper leg, lower leg,
// foot and toe on each side) with a keyword preset per joint-naming family.
// Needs the module loaded.
#pragma once
#include <fstream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "norvo/retargetbase.h"

namespace norvo::sample {

// The clips shared by the team, read where they lie.
inline std::string SharedClip(const char* file) { return std::string(NORVO_SHARED_DATA_DIR "/bvh/") + file; }

struct Skeleton {
  CharacterTreeRef root;
  // Uuid and name of every joint, in file order (pre-order).
  std::vector<std::pair<Uuid, std::string>> joints;

  // The name of the joint with this Uuid, or "?".
  std::string NameOf(const Uuid& uuid) const {
    for (const auto& [id, name] : joints)
      if (id == uuid) return name;
    return "?";
  }
  Uuid UuidOf(std::string_view name) const {
    for (const auto& [id, joint] : joints)
      if (joint == name) return id;
    return Uuid();
  }
};

// The skeleton of the HIERARCHY section of a BVH file: one transform node per
// ROOT or JOINT, named after it, with a new random Uuid. End Sites are not
// joints. Line ends may be LF or CRLF.
inline Result<Skeleton> ReadBvhSkeleton(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return IllegalArgumentError("the BVH file cannot be opened");
  Skeleton skeleton;
  std::vector<CharacterTreeRef> open;  // the blocks entered; an End Site's block holds an empty reference
  CharacterTreeRef pending;
  std::string word;
  while (file >> word && word != "MOTION") {
    if (word == "ROOT" || word == "JOINT") {
      std::string name;
      if (!(file >> name)) return IllegalArgumentError("a joint without a name");
      NORVO_ASSIGN_OR_RETURN(Uuid uuid, Uuid::Random());
      NORVO_ASSIGN_OR_RETURN(String text, String::Make(name));
      NORVO_ASSIGN_OR_RETURN(pending, CharacterTreeInterface::CreateTree(uuid, text, true));
      if (open.empty()) {
        if (skeleton.root) return IllegalArgumentError("a second root");
        skeleton.root = pending;
      } else {
        if (!open.back()) return IllegalArgumentError("a joint inside an End Site");
        NORVO_RETURN_IF_ERROR(open.back().InsertChildLast(pending));
      }
      skeleton.joints.emplace_back(uuid, name);
    } else if (word == "End") {
      pending = CharacterTreeRef();
    } else if (word == "{") {
      open.push_back(std::exchange(pending, CharacterTreeRef()));
    } else if (word == "}") {
      if (open.empty()) return IllegalArgumentError("an unbalanced }");
      open.pop_back();
    }
  }
  if (!skeleton.root || !open.empty()) return IllegalArgumentError("no complete hierarchy");
  return skeleton;
}

// One body part of a preset: its identifier, its parent's identifier
// (nullptr for the root; parents come before their children, and siblings in
// their order), its keywords and its discard keywords.
struct PartPreset {
  const char* identifier;
  const char* parent;
  std::vector<const char*> keywords;
  std::vector<const char*> discard;
};

// CMU-style mocap BVH (31 joints: Hips, LHipJoint, LeftUpLeg, ..., LThumb).
// Spine1 is the chest there; the hip joints belong to the hips.
inline const std::vector<PartPreset>& CmuPreset() {
  static const std::vector<PartPreset> preset = {
      {"Hips", nullptr, {"hip"}, {}},
      {"Spine", "Hips", {"lowerback", "spine"}, {"spine1"}},
      {"Chest", "Spine", {"spine1"}, {}},
      {"Neck", "Chest", {"neck"}, {}},
      {"Head", "Neck", {"head"}, {}},
      {"LeftShoulder", "Chest", {"leftshoulder"}, {}},
      {"LeftUpperArm", "LeftShoulder", {"leftarm"}, {}},
      {"LeftForeArm", "LeftUpperArm", {"leftforearm"}, {}},
      {"LeftHand", "LeftForeArm", {"left&&hand", "left&&finger", "lthumb"}, {}},
      {"RightShoulder", "Chest", {"rightshoulder"}, {}},
      {"RightUpperArm", "RightShoulder", {"rightarm"}, {}},
      {"RightForeArm", "RightUpperArm", {"rightforearm"}, {}},
      {"RightHand", "RightForeArm", {"right&&hand", "right&&finger", "rthumb"}, {}},
      {"LeftUpperLeg", "Hips", {"leftupleg"}, {}},
      {"LeftLowerLeg", "LeftUpperLeg", {"leftleg"}, {}},
      {"LeftFoot", "LeftLowerLeg", {"leftfoot"}, {}},
      {"LeftToe", "LeftFoot", {"lefttoe"}, {}},
      {"RightUpperLeg", "Hips", {"rightupleg"}, {}},
      {"RightLowerLeg", "RightUpperLeg", {"rightleg"}, {}},
      {"RightFoot", "RightLowerLeg", {"rightfoot"}, {}},
      {"RightToe", "RightFoot", {"righttoe"}, {}},
  };
  return preset;
}

// MakeHuman game-engine skeleton (75 joints: Root, Spine1..3, Clavicle_L,
// UpArm_L, ..., with "__" helper joints, which every part discards).
inline const std::vector<PartPreset>& MakeHumanGamePreset() {
  static const std::vector<PartPreset> preset = {
      {"Hips", nullptr, {"root", "hips"}, {"__"}},
      {"Spine", "Hips", {"spine1", "spine2"}, {"__"}},
      {"Chest", "Spine", {"spine3"}, {"__"}},
      {"Neck", "Chest", {"neck"}, {"__"}},
      {"Head", "Neck", {"head", "jaw", "tongue", "eye"}, {"__"}},
      {"LeftShoulder", "Chest", {"clavicle_l"}, {"__"}},
      {"LeftUpperArm", "LeftShoulder", {"uparm_l"}, {"__"}},
      {"LeftForeArm", "LeftUpperArm", {"loarm_l"}, {"__"}},
      {"LeftHand", "LeftForeArm", {"hand_l", "thumb&&_l", "index&&_l", "middle&&_l", "ring&&_l", "pinky&&_l"}, {"__"}},
      {"RightShoulder", "Chest", {"clavicle_r"}, {"__"}},
      {"RightUpperArm", "RightShoulder", {"uparm_r"}, {"__"}},
      {"RightForeArm", "RightUpperArm", {"loarm_r"}, {"__"}},
      {"RightHand", "RightForeArm", {"hand_r", "thumb&&_r", "index&&_r", "middle&&_r", "ring&&_r", "pinky&&_r"}, {"__"}},
      {"LeftUpperLeg", "Hips", {"upleg_l"}, {"__"}},
      {"LeftLowerLeg", "LeftUpperLeg", {"loleg_l"}, {"__"}},
      {"LeftFoot", "LeftLowerLeg", {"foot_l"}, {"__"}},
      {"LeftToe", "LeftFoot", {"toe_l"}, {"__"}},
      {"RightUpperLeg", "Hips", {"upleg_r"}, {"__"}},
      {"RightLowerLeg", "RightUpperLeg", {"loleg_r"}, {"__"}},
      {"RightFoot", "RightLowerLeg", {"foot_r"}, {"__"}},
      {"RightToe", "RightFoot", {"toe_r"}, {"__"}},
  };
  return preset;
}

inline Result<BaseArray<String>> Strings(const std::vector<const char*>& texts) {
  BaseArray<String> strings;
  for (const char* text : texts) {
    NORVO_ASSIGN_OR_RETURN(String s, String::Make(text));
    NORVO_RETURN_IF_ERROR(strings.Append(std::move(s)));
  }
  return strings;
}

// The body-part hierarchy of a preset; its root is the first part.
inline Result<CharacterBodyPartRef> MakeBodyParts(const std::vector<PartPreset>& preset) {
  std::vector<CharacterBodyPartRef> parts;
  for (const PartPreset& entry : preset) {
    NORVO_ASSIGN_OR_RETURN(InternedId id, InternedId::Make(entry.identifier));
    NORVO_ASSIGN_OR_RETURN(String name, String::Make(entry.identifier));
    NORVO_ASSIGN_OR_RETURN(CharacterBodyPartRef part, CharacterBodyPartInterface::CreateBodyPart(id, name));
    NORVO_ASSIGN_OR_RETURN(BaseArray<String> keywords, Strings(entry.keywords));
    NORVO_ASSIGN_OR_RETURN(BaseArray<String> discard, Strings(entry.discard));
    NORVO_RETURN_IF_ERROR(part.SetSkeletonKeywords(keywords));
    NORVO_RETURN_IF_ERROR(part.SetSkeletonDiscardKeywords(discard));
    if (entry.parent) {
      std::size_t parent = 0;
      while (parent < parts.size() && std::string_view(preset[parent].identifier) != entry.parent) ++parent;
      if (parent == parts.size()) return IllegalArgumentError("a parent that comes later or not at all");
      NORVO_RETURN_IF_ERROR(parts[parent].InsertChildLast(part));
    }
    parts.push_back(std::move(part));
  }
  if (parts.empty()) return IllegalArgumentError("an empty preset");
  return parts.front();
}

}  // namespace norvo::sample
