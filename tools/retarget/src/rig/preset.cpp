#include "norvo/retarget/rig/preset.h"

#include <algorithm>
#include <array>
#include <filesystem>

#include "jsontext.h"
#include "norvo/retarget/base/folder.h"
#include "norvo/retarget/base/textfile.h"

namespace norvo::retarget {

namespace {

// Required body parts are the ones every humanoid rig has; the toes and
// the five fingers below each hand are optional: many rigs have none.
constexpr bool kRequired = true, kOptional = false;
constexpr std::array<BodyPartSpec, 31> kBodyParts = {{
    {"Hips", -1, kRequired},          {"Spine", 0, kRequired},          {"Chest", 1, kRequired},
    {"Neck", 2, kRequired},           {"Head", 3, kRequired},           {"LeftShoulder", 2, kRequired},
    {"LeftUpperArm", 5, kRequired},   {"LeftForeArm", 6, kRequired},    {"LeftHand", 7, kRequired},
    {"LeftThumb", 8, kOptional},      {"LeftIndex", 8, kOptional},      {"LeftMiddle", 8, kOptional},
    {"LeftRing", 8, kOptional},       {"LeftLittle", 8, kOptional},     {"RightShoulder", 2, kRequired},
    {"RightUpperArm", 14, kRequired}, {"RightForeArm", 15, kRequired},  {"RightHand", 16, kRequired},
    {"RightThumb", 17, kOptional},    {"RightIndex", 17, kOptional},    {"RightMiddle", 17, kOptional},
    {"RightRing", 17, kOptional},     {"RightLittle", 17, kOptional},   {"LeftUpperLeg", 0, kRequired},
    {"LeftLowerLeg", 23, kRequired},  {"LeftFoot", 24, kRequired},      {"LeftToes", 25, kOptional},
    {"RightUpperLeg", 0, kRequired},  {"RightLowerLeg", 27, kRequired}, {"RightFoot", 28, kRequired},
    {"RightToes", 29, kOptional},
}};

using json = jsontext::Value;

// The line of a byte offset in a text, counted from 1.
std::int64_t LineOf(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  return 1 + std::count(text.begin(), text.begin() + std::ptrdiff_t(offset), '\n');
}

// The texts of a list; `budget` is what the keyword limit leaves, and is
// lowered by what the list holds.
Outcome<std::vector<std::string>> Texts(const json& value, const std::string& where, const std::string& file,
                                        std::int64_t& budget, const PresetLimits& limits) {
  if (!value.is_array()) return MakeFailure(FailureKind::BadInput, where + " must be a list of texts", file);
  std::vector<std::string> texts;
  for (const json& item : value) {
    if (!item.is_string()) return MakeFailure(FailureKind::BadInput, where + " must be a list of texts", file);
    if (--budget < 0)
      return MakeFailure(FailureKind::BadInput,
                         "the preset lists more keywords than the limit of " + std::to_string(limits.keywords), file);
    texts.push_back(item.get<std::string>());
  }
  return texts;
}

// Refuses a text whose arrays and objects nest deeper than the limit, before
// it is parsed: the parse and the parsed value would go as deep. Returns the
// byte offset of the bracket past the limit, or npos.
std::size_t PastDepth(std::string_view text, std::int64_t limit) {
  std::int64_t depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return i;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return std::string_view::npos;
}

Outcome<Preset> FromJson(const json& root, const std::string& file, const PresetLimits& limits) {
  std::int64_t budget = limits.keywords;
  auto fail = [&](std::string message) { return MakeFailure(FailureKind::BadInput, std::move(message), file); };
  if (!root.is_object()) return fail("a preset must be a JSON object");
  Preset preset;
  preset.file = file;
  preset.name = std::filesystem::path(file).stem().string();
  preset.parts.resize(kBodyParts.size());
  std::vector<std::string> common;
  for (const auto& [key, value] : root.items()) {
    if (key == "name" || key == "description") {
      if (!value.is_string()) return fail("\"" + key + "\" must be a text");
      (key == "name" ? preset.name : preset.description) = value.get<std::string>();
    } else if (key == "discard") {
      RETARGET_ASSIGN(std::vector<std::string> texts, Texts(value, "\"discard\"", file, budget, limits));
      common = std::move(texts);
    } else if (key != "bodyParts") {
      return fail("unknown member \"" + key + "\"; expected name, description, discard or bodyParts");
    }
  }
  auto parts = root.find("bodyParts");
  if (parts == root.end() || !parts->is_object()) return fail("a preset needs a \"bodyParts\" object");
  for (const auto& [identifier, value] : parts->items()) {
    int index = FindStandardBodyPart(identifier);
    if (index < 0) {
      std::string known;
      for (const BodyPartSpec& part : kBodyParts) known += (known.empty() ? "" : ", ") + std::string(part.identifier);
      return fail("unknown body part \"" + identifier + "\"; the body parts are " + known);
    }
    if (!value.is_object()) return fail("body part \"" + identifier + "\" must be an object with \"keywords\"");
    BodyPartKeywords& keywords = preset.parts[std::size_t(index)];
    for (const auto& [key, list] : value.items()) {
      if (key != "keywords" && key != "discard")
        return fail("unknown member \"" + key + "\" in body part \"" + identifier + "\"; expected keywords or discard");
      RETARGET_ASSIGN(std::vector<std::string> texts,
                      Texts(list, "\"" + key + "\" of \"" + identifier + "\"", file, budget, limits));
      (key == "keywords" ? keywords.keywords : keywords.discard) = std::move(texts);
    }
  }
  for (BodyPartKeywords& part : preset.parts) part.discard.insert(part.discard.end(), common.begin(), common.end());
  return preset;
}

}  // namespace

std::span<const BodyPartSpec> StandardBodyParts() noexcept { return kBodyParts; }

int FindStandardBodyPart(std::string_view identifier) noexcept {
  for (std::size_t i = 0; i < kBodyParts.size(); ++i)
    if (kBodyParts[i].identifier == identifier) return int(i);
  return -1;
}


Outcome<Preset> ParsePreset(std::string_view text, const std::string& file, const PresetLimits& limits) {
  try {
    if (std::uint64_t(text.size()) > std::uint64_t(std::max<std::int64_t>(limits.fileBytes, 0)))
      return TooLarge(limits.fileBytes, file, "preset");
    const std::int64_t depth = std::min(limits.depth, kMaxPresetDepth);
    if (std::size_t at = PastDepth(text, depth); at != std::string_view::npos)
      return MakeFailure(FailureKind::BadInput,
                         "the preset nests deeper than the limit of " + std::to_string(depth) + " levels", file,
                         LineOf(text, at));
    jsontext::Builder root;
    jsontext::ParseFault syntax;
    if (!jsontext::Parse(text, root, syntax)) {
      if (syntax.kind == jsontext::ParseFault::Kind::kDuplicate)
        return MakeFailure(FailureKind::BadInput, "the member \"" + syntax.message + "\" is given twice", file);
      // "[json.exception.parse_error.101] parse error at line 3, column 5: syntax error ..."
      std::size_t colon = syntax.message.find(": ");
      return MakeFailure(FailureKind::BadInput,
                         "not valid JSON: " +
                             (colon == std::string::npos ? syntax.message : syntax.message.substr(colon + 2)),
                         file, LineOf(text, syntax.byte ? syntax.byte - 1 : 0));
    }
    return FromJson(root.Get(), file, limits);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  } catch (const json::exception& error) {
    return MakeFailure(FailureKind::BadInput, error.what(), file);
  }
}

Outcome<Preset> ReadPresetFile(const std::string& path, const PresetLimits& limits) {
  RETARGET_ASSIGN(std::string text, ReadTextFile(path, limits.fileBytes, "preset"));
  return ParsePreset(text, path, limits);
}

Outcome<std::vector<Preset>> ReadPresetFolder(const std::string& folder, const PresetLimits& limits) {
  try {
    RETARGET_ASSIGN(std::vector<std::string> files, ListFolder(folder, {.extension = ".json"}, "presets"));
    std::vector<Preset> presets;
    for (const std::string& file : files) {
      RETARGET_ASSIGN(Preset preset, ReadPresetFile(file, limits));
      presets.push_back(std::move(preset));
    }
    return presets;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

namespace {

char Upper(char c) noexcept { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// Whether `part` is in `name`, letter case aside; in place, allocating nothing.
bool ContainsFolded(std::string_view name, std::string_view part) noexcept {
  if (part.empty()) return true;
  return std::search(name.begin(), name.end(), part.begin(), part.end(),
                     [](char a, char b) { return Upper(a) == Upper(b); }) != name.end();
}

}  // namespace

bool KeywordMatches(std::string_view keyword, std::string_view name) noexcept {
  if (keyword.empty()) return false;  // a keyword without parts
  for (;;) {
    const std::size_t at = keyword.find("&&");
    if (!ContainsFolded(name, keyword.substr(0, at))) return false;
    if (at == std::string_view::npos) return true;
    keyword.remove_prefix(at + 2);
  }
}

const std::string* TakingKeyword(const BodyPartKeywords& part, std::string_view name) noexcept {
  for (const std::string& discard : part.discard)
    if (KeywordMatches(discard, name)) return nullptr;
  for (const std::string& keyword : part.keywords)
    if (KeywordMatches(keyword, name)) return &keyword;
  return nullptr;
}

}  // namespace norvo::retarget
