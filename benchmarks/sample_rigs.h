// The benchmarks' sample rig: the skeleton of a BVH clip as a character
// tree, and a body-part hierarchy of twenty-one parts (hips, spine, chest,
// neck, head; shoulder, upper arm, forearm, hand, upper leg, lower leg, foot
// and toe on each side) with its keyword preset, read from
// data/sample_presets.txt.
// Needs the module loaded.
#pragma once
#include <fstream>
#include <sstream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "norvo/retargetbase.h"

namespace norvo::sample {

// The clips shared by the team, read where they lie.
inline std::string SharedClip(const char* file) { return std::string(NORVO_SHARED_BVH_DIR "/") + file; }

struct Skeleton {
  CharacterTreeRef root;
  // Uuid and name of every joint, in file order (pre-order).
  std::vector<std::pair<Uuid, std::string>> joints;
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

// One body part of a preset: its identifier, its parent's identifier (empty
// for the root; parents come before their children, and siblings in their
// order), its keywords and its discard keywords.
struct PartPreset {
  std::string identifier, parent;
  std::vector<std::string> keywords, discard;
};

// A preset of data/sample_presets.txt: "makehuman-game" for the MakeHuman
// game-engine skeleton (75 joints, with "__" helper joints, which every part
// discards). Empty when the file or the preset is missing.
inline std::vector<PartPreset> ReadPreset(std::string_view name) {
  std::ifstream file(NORVO_BENCHMARK_DATA_DIR "/sample_presets.txt");
  std::vector<PartPreset> preset;
  bool inside = false;
  for (std::string line; std::getline(file, line);) {
    if (line.starts_with("preset ")) inside = line.substr(7) == name;
    if (!inside || line.empty() || line[0] == '#' || line.starts_with("preset ")) continue;
    std::istringstream words(line);
    PartPreset& part = preset.emplace_back();
    words >> part.identifier >> part.parent;
    if (part.parent == "-") part.parent.clear();
    std::vector<std::string>* list = &part.keywords;
    for (std::string word; words >> word;) {
      if (word == "!") list = &part.discard;
      else list->push_back(word);
    }
  }
  return preset;
}

inline Result<BaseArray<String>> Strings(const std::vector<std::string>& texts) {
  BaseArray<String> strings;
  for (const std::string& text : texts) {
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
    if (!entry.parent.empty()) {
      std::size_t parent = 0;
      while (parent < parts.size() && preset[parent].identifier != entry.parent) ++parent;
      if (parent == parts.size()) return IllegalArgumentError("a parent that comes later or not at all");
      NORVO_RETURN_IF_ERROR(parts[parent].InsertChildLast(part));
    }
    parts.push_back(std::move(part));
  }
  if (parts.empty()) return IllegalArgumentError("an empty preset");
  return parts.front();
}

}  // namespace norvo::sample
