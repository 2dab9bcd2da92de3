// Body-part presets: the standard body-part hierarchy, and per rig family
// the keywords that put a rig's joints into its body parts.
//
// A preset is a JSON file:
//   { "name": "cmu", "description": "...",
//     "discard": ["End"],                              (optional, every part)
//     "bodyParts": { "Hips": { "keywords": ["Hips"], "discard": [] }, ... } }
// Keywords match joint names case-insensitively by containment; "a&&b"
// needs both parts. A joint matching a discard keyword is not taken. A body
// part the preset does not name stays empty.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "norvo/retarget/base/outcome.h"

namespace norvo::retarget {

// One body part of the standard hierarchy; parents come before children.
struct BodyPartSpec {
  std::string_view identifier;
  int parent;     // index in StandardBodyParts(); -1 for the root
  bool required;  // a humanoid rig has joints for it; else optional
};

// Hips; Spine, Chest, Neck, Head; per side Shoulder, UpperArm, ForeArm,
// Hand, and UpperLeg, LowerLeg, Foot: 19 required body parts. Optional:
// per side Toes below the foot, and Thumb, Index, Middle, Ring and Little
// below the hand.
std::span<const BodyPartSpec> StandardBodyParts() noexcept;
// The index of a standard body part, or -1.
int FindStandardBodyPart(std::string_view identifier) noexcept;

struct BodyPartKeywords {
  std::vector<std::string> keywords;
  std::vector<std::string> discard;
};

struct Preset {
  std::string name;
  std::string description;
  std::string file;                     // where it was read from; empty for one made in code
  std::vector<BodyPartKeywords> parts;  // one per standard body part
};

// What the preset reader accepts at most. A text past a limit is refused as
// BadInput with a message that names the limit.
inline constexpr std::int64_t kMaxPresetDepth = 1000;
struct PresetLimits {
  std::int64_t fileBytes = std::int64_t(1) << 20;  // the size of the text
  std::int64_t depth = 16;                         // arrays and objects open at once; kMaxPresetDepth at most
  std::int64_t keywords = 100000;                  // texts in all keyword and discard lists
};

// Reads a preset from its JSON text; `file` names it in failures and gives
// the name when the text has none.
Outcome<Preset> ParsePreset(std::string_view json, const std::string& file, const PresetLimits& limits = {});
// A file larger than the limit is refused before it is read.
Outcome<Preset> ReadPresetFile(const std::string& path, const PresetLimits& limits = {});
// Every "*.json" of a folder, by file name.
Outcome<std::vector<Preset>> ReadPresetFolder(const std::string& folder, const PresetLimits& limits = {});

// Keyword matching as the module fills body parts: the name upper-cased
// contains every "&&"-separated part of the keyword upper-cased.
bool KeywordMatches(std::string_view keyword, std::string_view name) noexcept;
// The keyword of `part` that takes a joint named `name`: the first that
// matches, unless a discard keyword matches; nullptr when none takes it.
const std::string* TakingKeyword(const BodyPartKeywords& part, std::string_view name) noexcept;

}  // namespace norvo::retarget
