#include "norvo/retarget/arguments.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "norvo/retarget/install.h"

namespace norvo::retarget {

Failure Usage(std::string message) { return MakeFailure(FailureKind::Usage, std::move(message)); }

Outcome<RetargetOptions> ParseOptions(const Arguments& arguments) {
  RetargetOptions options;
  options.rootTranslation = !arguments.noRootTranslation;
  options.inPlace = arguments.inPlace || arguments.rootMotion == "in-place";
  const std::string& scale = arguments.translationScale;
  if (scale == "auto") {
    options.scale = RetargetOptions::Scale::Auto;
  } else if (scale == "none") {
    options.scale = RetargetOptions::Scale::None;
  } else {
    char* end = nullptr;
    const double value = std::strtod(scale.c_str(), &end);
    // A scale past these bounds would carry the root out of what the
    // figures and the file's numbers can hold.
    if (scale.empty() || *end != '\0' || !(value >= 1e-6 && value <= 1e6))
      return Usage("--translation-scale takes auto, none or a number from 0.000001 to 1000000; found '" + scale + "'");
    options.scale = RetargetOptions::Scale::Fixed;
    options.fixedScale = value;
  }
  // --no-align gives the plain solver result: no aligned rest and, unless
  // asked for, no spread chains.
  options.align = !arguments.noAlign;
  if (arguments.noAlign) options.spreadBodyParts.clear();
  if (!arguments.spreadChains) return options;
  options.spreadBodyParts.clear();
  const std::string& list = *arguments.spreadChains;
  if (list == "none") return options;
  for (std::size_t from = 0; from <= list.size();) {
    const std::size_t comma = std::min(list.find(',', from), list.size());
    const std::string part = list.substr(from, comma - from);
    if (FindStandardBodyPart(part) < 0)
      return Usage("--spread-chains takes none or body parts separated by commas (Spine, Neck, LeftUpperArm, "
                   "...); found '" +
                   part + "'");
    options.spreadBodyParts.push_back(part);
    from = comma + 1;
  }
  return options;
}

ReadOptions ReadOptionsOf(const Arguments& arguments, bool source) {
  ReadOptions read;
  read.skin = arguments.skin;
  if (source) {
    read.animation = arguments.animation;
    read.fps = arguments.fps;
  }
  return read;
}

Outcome<ClipRequest> MakeRequest(const Arguments& arguments) {
  ClipRequest request;
  request.read = ReadOptionsOf(arguments, true);
  RETARGET_ASSIGN(request.options, ParseOptions(arguments));
  request.sourceRig = arguments.sourceRig;
  request.frames = arguments.frames;
  request.lockFeet = arguments.lockFeet;
  request.contacts = !arguments.noContacts;
  const std::string& root = arguments.rootMotion;
  if (!root.empty() && root != "keep" && root != "in-place" && root != "extract")
    return Usage("--root-motion takes keep, in-place or extract; found '" + root + "'");
  if (arguments.inPlace && !root.empty() && root != "in-place")
    return Usage("--in-place is --root-motion in-place; give one of them");
  if (root == "extract") request.rootMotion = RootMotion::Extract;
  if (root == "in-place" || arguments.inPlace) request.rootMotion = RootMotion::InPlace;
  if (!arguments.lockAxis.empty()) {
    const std::string& axis = arguments.lockAxis;
    if (axis.size() != 1 || (axis[0] != 'x' && axis[0] != 'y' && axis[0] != 'z'))
      return Usage("--lock-axis takes x, y or z; found '" + axis + "'");
    request.lockAxis = axis[0] - 'x';
  }
  if (!arguments.floor.empty()) {
    char* end = nullptr;
    request.floor = std::strtod(arguments.floor.c_str(), &end);
    if (*end != '\0' || !(std::abs(*request.floor) <= 1e9))
      return Usage("--floor takes a number, the up coordinate of the floor; found '" + arguments.floor + "'");
  }
  request.roundTrip = arguments.roundTrip;
  request.figures = !arguments.quiet;
  request.outputs = {arguments.output, arguments.report, arguments.svg, arguments.saveRig, arguments.html};
  return request;
}

Outcome<std::vector<Preset>> ShippedPresets() {
  Outcome<std::vector<Preset>> presets = ReadPresetFolder(ShippedPresetFolder());
  if (presets && presets.value().empty())
    return MakeFailure(FailureKind::Internal, "no presets found", ShippedPresetFolder());
  return presets;
}

Outcome<std::optional<Preset>> PresetArgument(const std::string& argument, const std::vector<Preset>& shipped) {
  if (argument.empty() || argument == "auto") return std::optional<Preset>();
  for (const Preset& preset : shipped)
    if (preset.name == argument) return std::optional<Preset>(preset);
  std::error_code error;
  if (std::filesystem::is_regular_file(argument, error) || argument.ends_with(".json")) {
    RETARGET_ASSIGN(Preset preset, ReadPresetFile(argument));
    return std::optional<Preset>(std::move(preset));
  }
  std::string names;
  for (const Preset& preset : shipped) names += (names.empty() ? "" : ", ") + preset.name;
  return Usage("unknown preset '" + argument + "': give a JSON file or one of the shipped presets: " + names);
}

Outcome<ClipRequest> PresetsInto(ClipRequest request, const Arguments& arguments, const std::vector<Preset>& shipped) {
  request.presets = &shipped;
  RETARGET_ASSIGN(request.sourcePreset, PresetArgument(arguments.sourcePreset, shipped));
  RETARGET_ASSIGN(request.targetPreset, PresetArgument(arguments.preset, shipped));
  return request;
}

int ExitCode(FailureKind kind) noexcept {
  switch (kind) {
    case FailureKind::Usage: return 1;
    case FailureKind::BadInput:
    case FailureKind::Io: return 2;
    case FailureKind::OutOfMemory:
    case FailureKind::Internal: return 3;
  }
  return 3;
}

}  // namespace norvo::retarget
