#include "norvo/retarget/preset.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace norvo::retarget {

namespace {

constexpr std::array<BodyPartSpec, 25> kBodyParts = {{
    {"Hips", -1},          {"Spine", 0},          {"Chest", 1},          {"Neck", 2},
    {"Head", 3},           {"LeftShoulder", 2},   {"LeftUpperArm", 5},   {"LeftForeArm", 6},
    {"LeftHand", 7},       {"LeftThumb", 8},      {"LeftFingers", 8},    {"RightShoulder", 2},
    {"RightUpperArm", 11}, {"RightForeArm", 12},  {"RightHand", 13},     {"RightThumb", 14},
    {"RightFingers", 14},  {"LeftUpperLeg", 0},   {"LeftLowerLeg", 17},  {"LeftFoot", 18},
    {"LeftToes", 19},      {"RightUpperLeg", 0},  {"RightLowerLeg", 21}, {"RightFoot", 22},
    {"RightToes", 23},
}};

using nlohmann::json;

// The line of a byte offset in a text, counted from 1.
std::int64_t LineOf(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  return 1 + std::count(text.begin(), text.begin() + std::ptrdiff_t(offset), '\n');
}

Outcome<std::vector<std::string>> Texts(const json& value, const std::string& where, const std::string& file) {
  if (!value.is_array()) return MakeFailure(FailureKind::BadInput, where + " must be a list of texts", file);
  std::vector<std::string> texts;
  for (const json& item : value) {
    if (!item.is_string()) return MakeFailure(FailureKind::BadInput, where + " must be a list of texts", file);
    texts.push_back(item.get<std::string>());
  }
  return texts;
}

Outcome<Preset> FromJson(const json& root, const std::string& file) {
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
      Outcome<std::vector<std::string>> texts = Texts(value, "\"discard\"", file);
      if (!texts) return std::move(texts).failure();
      common = std::move(texts).value();
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
      Outcome<std::vector<std::string>> texts = Texts(list, "\"" + key + "\" of \"" + identifier + "\"", file);
      if (!texts) return std::move(texts).failure();
      (key == "keywords" ? keywords.keywords : keywords.discard) = std::move(texts).value();
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

Outcome<Preset> ParsePreset(std::string_view text, const std::string& file) {
  try {
    json root;
    try {
      root = json::parse(text.begin(), text.end());
    } catch (const json::parse_error& error) {
      std::string what = error.what();
      // "[json.exception.parse_error.101] parse error at line 3, column 5: syntax error ..."
      std::size_t colon = what.find(": ");
      return MakeFailure(FailureKind::BadInput,
                         "not valid JSON: " + (colon == std::string::npos ? what : what.substr(colon + 2)), file,
                         LineOf(text, error.byte ? error.byte - 1 : 0));
    }
    return FromJson(root, file);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  } catch (const json::exception& error) {
    return MakeFailure(FailureKind::BadInput, error.what(), file);
  }
}

Outcome<Preset> ReadPresetFile(const std::string& path) {
  std::string text;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return MakeFailure(FailureKind::Io, "cannot open the preset", path);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = std::move(buffer).str();
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
  return ParsePreset(text, path);
}

Outcome<std::vector<Preset>> ReadPresetFolder(const std::string& folder) {
  try {
    std::vector<std::string> files;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
      if (it->path().extension() == ".json") files.push_back(it->path().string());
    if (error) return MakeFailure(FailureKind::Io, "cannot list the presets: " + error.message(), folder);
    std::sort(files.begin(), files.end());
    std::vector<Preset> presets;
    for (const std::string& file : files) {
      Outcome<Preset> preset = ReadPresetFile(file);
      if (!preset) return std::move(preset).failure();
      presets.push_back(std::move(preset).value());
    }
    return presets;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
