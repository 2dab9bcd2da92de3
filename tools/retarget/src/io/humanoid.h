// The VRM humanoid bone names (1.0 and 0.x) of the standard body parts,
// both ways: the body part of a bone a file names, and the bones a body
// part's joints stand for when one is written.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "norvo/retarget/rig/preset.h"

namespace norvo::retarget::humanoid {

// The central bones, and per side (after "left" or "right") the limbs and,
// with a joint's name after them, the fingers.
struct BoneName {
  const char* bone;
  const char* part;
  bool finger;
};
inline constexpr BoneName kCentral[] = {{"hips", "Hips", false},   {"spine", "Spine", false},
                                        {"chest", "Chest", false}, {"upperChest", "Chest", false},
                                        {"neck", "Neck", false},   {"head", "Head", false}};
inline constexpr BoneName kSided[] = {
    {"Shoulder", "Shoulder", false}, {"UpperArm", "UpperArm", false}, {"LowerArm", "ForeArm", false},
    {"Hand", "Hand", false},         {"UpperLeg", "UpperLeg", false}, {"LowerLeg", "LowerLeg", false},
    {"Foot", "Foot", false},         {"Toes", "Toes", false},         {"Thumb", "Thumb", true},
    {"Index", "Index", true},        {"Middle", "Middle", true},      {"Ring", "Ring", true},
    {"Little", "Little", true}};

// The standard body part of a VRM bone name (1.0 or 0.x), or -1 (eyes, jaw).
inline int PartOfBone(std::string_view bone) {
  for (const BoneName& name : kCentral)
    if (bone == name.bone) return FindStandardBodyPart(name.part);
  for (std::string_view side : {"left", "right"}) {
    if (!bone.starts_with(side)) continue;
    const std::string_view rest = bone.substr(side.size());
    for (const BoneName& name : kSided) {
      if (!rest.starts_with(name.bone)) continue;
      const std::string_view tail = rest.substr(std::strlen(name.bone));
      const bool fits = name.finger
                            ? tail == "Metacarpal" || tail == "Proximal" || tail == "Intermediate" || tail == "Distal"
                            : tail.empty();
      if (fits) return FindStandardBodyPart(std::string(side == "left" ? "Left" : "Right") + name.part);
    }
  }
  return -1;
}

// The VRM 1.0 bones that the joints of a standard body part stand for, in
// the order of its joints (a body part of fewer joints has the first ones):
// "chest" then "upperChest"; a thumb's metacarpal, proximal and distal
// bones; the other fingers' proximal, intermediate and distal ones. Empty
// for a body part no bone stands for.
inline std::vector<std::string> BonesOfPart(std::string_view part) {
  if (part == "Chest") return {"chest", "upperChest"};
  for (const BoneName& name : kCentral)
    if (part == name.part) return {name.bone};
  for (std::string_view side : {"Left", "Right"}) {
    if (!part.starts_with(side)) continue;
    const std::string prefix = side == "Left" ? "left" : "right";
    for (const BoneName& name : kSided) {
      if (part.substr(side.size()) != name.part) continue;
      const std::string bone = prefix + name.bone;
      if (!name.finger) return {bone};
      if (std::string_view(name.bone) == "Thumb") return {bone + "Metacarpal", bone + "Proximal", bone + "Distal"};
      return {bone + "Proximal", bone + "Intermediate", bone + "Distal"};
    }
  }
  return {};
}

}  // namespace norvo::retarget::humanoid
