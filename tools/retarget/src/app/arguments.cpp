#include "norvo/retarget/app/arguments.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <variant>

#include "norvo/retarget/app/install.h"
#include "norvo/retarget/app/optiontable.h"

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
      return Usage("--translation-scale takes auto, none or a number from 0.000001 to 1000000; found '" +
                   Excerpt(scale) + "'");
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
                   Excerpt(part) + "'");
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

Outcome<ClipRequest> MakeRequestOptions(const Arguments& arguments) {
  RETARGET_TRY(CheckBatchOnly(arguments));
  ClipRequest request;
  request.read = ReadOptionsOf(arguments, true);
  RETARGET_ASSIGN(request.retarget, ParseOptions(arguments));
  request.sourceRig = arguments.sourceRig;
  request.frames = arguments.frames;
  request.feet.lock = arguments.lockFeet;
  request.feet.plant = !arguments.noContacts;
  const std::string& root = arguments.rootMotion;
  if (!root.empty() && root != "keep" && root != "in-place" && root != "extract")
    return Usage("--root-motion takes keep, in-place or extract; found '" + Excerpt(root) + "'");
  if (arguments.inPlace && !root.empty() && root != "in-place")
    return Usage("--in-place is --root-motion in-place; give one of them");
  // In place is the options' inPlace (ParseOptions).
  if (root == "extract") request.root.motion = RootMotion::Extract;
  if (!arguments.lockAxis.empty()) {
    const std::string& axis = arguments.lockAxis;
    if (axis.size() != 1 || (axis[0] != 'x' && axis[0] != 'y' && axis[0] != 'z'))
      return Usage("--lock-axis takes x, y or z; found '" + Excerpt(axis) + "'");
    request.root.lockAxis = axis[0] - 'x';
  }
  if (!arguments.floor.empty()) {
    char* end = nullptr;
    request.feet.floor = std::strtod(arguments.floor.c_str(), &end);
    if (*end != '\0' || !(std::abs(*request.feet.floor) <= 1e9))
      return Usage("--floor takes a number, the height of the floor; found '" + Excerpt(arguments.floor) + "'");
  }
  request.figures.roundTrip = arguments.roundTrip;
  request.figures.take = !arguments.quiet;
  request.outputs = {arguments.output, arguments.report, arguments.svg, arguments.saveRig, arguments.html};
  return request;
}

namespace {

// Whether an option has a value other than its default.
bool Given(const Arguments& arguments, const OptionDescriptor& option) {
  static const Arguments defaults;
  return std::visit([&](auto member) { return arguments.*member != defaults.*member; }, option.member);
}

// The text an option holds; empty for one that holds no text.
const std::string& TextOf(const Arguments& arguments, const OptionDescriptor& option) {
  static const std::string none;
  const auto* member = std::get_if<std::string Arguments::*>(&option.member);
  return member ? arguments.**member : none;
}

// The request with the presets the arguments name, choosing among
// `shipped` (which must outlive it) where they name none.
Outcome<ClipRequest> PresetsInto(ClipRequest request, const Arguments& arguments, const std::vector<Preset>& shipped) {
  request.presets = &shipped;
  RETARGET_ASSIGN(request.sourcePreset, PresetArgument(arguments.sourcePreset, shipped));
  RETARGET_ASSIGN(request.targetPreset, PresetArgument(arguments.preset, shipped));
  return request;
}

}  // namespace

Outcome<ClipRequest> MakeRequest(const Arguments& arguments, const std::vector<Preset>& presets) {
  RETARGET_ASSIGN(ClipRequest request, MakeRequestOptions(arguments));
  RETARGET_ASSIGN(request, PresetsInto(std::move(request), arguments, presets));
  request.source = arguments.source;
  request.target = arguments.target;
  return request;
}

Outcome<void> CheckBatchOnly(const Arguments& arguments) {
  if (!arguments.batch.empty()) return {};
  for (const OptionDescriptor& option : OptionTable())
    if ((option.refusals & kWithoutBatch) && Given(arguments, option))
      return Usage(std::string(LongName(option)) + " goes with --batch FOLDER");
  return {};
}

Outcome<void> CheckWithoutSource(const Arguments& arguments, bool rigAlone) {
  for (const OptionDescriptor& option : OptionTable())
    if ((option.refusals & (rigAlone ? kRigAlone : kSample)) && Given(arguments, option))
      return Usage(
          std::string("SOURCE.bvh is missing: give SOURCE.bvh --target TARGET.bvh -o OUT.bvh, or ") +
          (rigAlone ? "--target TARGET.bvh --save-rig RIG.json alone" : "no arguments for the built-in sample"));
  return {};
}

Outcome<Shard> ParseShard(const std::string& text) try {
  Shard shard;
  const std::size_t slash = text.find('/');
  const char* end = text.data() + text.size();
  // Digits only: no sign, no space, nothing after.
  const auto number = [](const char* from, const char* to, std::size_t& value) {
    return from != to && *from != '+' && std::from_chars(from, to, value) == std::from_chars_result{to, std::errc()};
  };
  if (slash == std::string::npos || !number(text.data(), text.data() + slash, shard.index) ||
      !number(text.data() + slash + 1, end, shard.count) || shard.index >= shard.count)
    return Usage("--shard takes I/N with 0 <= I < N; found '" + Excerpt(text) + "'");
  return shard;
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

Outcome<FolderBatch> MakeFolderBatch(const Arguments& arguments, const std::vector<Preset>& presets) try {
  if (!arguments.source.empty()) return Usage("give SOURCE.bvh or --batch FOLDER, not both");
  if (arguments.target.empty()) return Usage("--target TARGET.bvh is needed: the rig that receives the motion");
  if (arguments.output.empty()) return Usage("-o OUTFOLDER is needed with --batch: the folder to write the clips into");
  if (arguments.output == "-") return Usage("-o takes the folder to write the clips into with --batch, not -");
  for (const OptionDescriptor& option : OptionTable())
    if (option.runs == OptionRuns::Outputs && TextOf(arguments, option) == "-")
      return Usage(std::string(LongName(option)) +
                   " - prints one clip's file; with --batch give a file name (each clip writes CLIP.NAME)");
  if (arguments.resume && arguments.manifest.empty())
    return Usage("--resume needs --manifest FILE.jsonl: the clips done are read from it");
  FolderBatch batch;
  if (!arguments.shard.empty()) {
    RETARGET_ASSIGN(batch.shard, ParseShard(arguments.shard));
  }
  RETARGET_ASSIGN(batch.clip, MakeRequestOptions(arguments));
  RETARGET_ASSIGN(batch.clip, PresetsInto(std::move(batch.clip), arguments, presets));
  batch.clip.target = arguments.target;
  batch.folder = arguments.batch;
  batch.outputFolder = arguments.output;
  batch.workers = arguments.jobs;
  batch.recursive = arguments.recursive;
  batch.manifest = arguments.manifest;
  batch.resume = arguments.resume;
  return batch;
} catch (const std::bad_alloc&) {
  return OutOfMemory();
}

Outcome<std::vector<Preset>> ShippedPresets() {
  Outcome<std::vector<Preset>> presets = ReadPresetFolder(ShippedPresetFolder());
  if (presets && presets.value().empty())
    return MakeFailure(FailureKind::Internal, "no presets found", ShippedPresetFolder());
  return presets;
}

Outcome<std::optional<Preset>> PresetArgument(const std::string& argument, const std::vector<Preset>& shipped) {
  if (argument.empty() || argument == "auto") return std::optional<Preset>();
  // The skeleton's shape instead of a preset's keywords: a preset without
  // body parts of that name.
  if (argument == kGenericPreset) {
    Preset generic;
    generic.name = kGenericPreset;
    return std::optional<Preset>(std::move(generic));
  }
  for (const Preset& preset : shipped)
    if (preset.name == argument) return std::optional<Preset>(preset);
  std::error_code error;
  if (std::filesystem::is_regular_file(argument, error) || argument.ends_with(".json")) {
    RETARGET_ASSIGN(Preset preset, ReadPresetFile(argument));
    return std::optional<Preset>(std::move(preset));
  }
  std::string names;
  for (const Preset& preset : shipped) names += (names.empty() ? "" : ", ") + preset.name;
  return Usage("unknown preset '" + argument +
               "': give a JSON file, generic (by the skeleton's shape) or one of the "
               "shipped presets: " +
               names);
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
