#include "norvo/retarget/app/rigs.h"

#include <filesystem>
#include <new>

#include "norvo/retarget/app/arguments.h"

namespace norvo::retarget {

namespace {

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

// The joints that are in more than one body part, each with its parts:
// "Hips in Hips and Spine; ...".
std::string SharedJoints(const Rig& rig) {
  const std::span<const BodyPartSpec> standard = StandardBodyParts();
  std::vector<std::vector<std::string>> partsOf(std::size_t(rig.JointCount()));
  for (std::size_t part = 0; part < rig.parts.joints.size(); ++part)
    for (const std::int64_t joint : rig.parts.joints[part])
      partsOf[std::size_t(joint)].emplace_back(standard[part].identifier);
  std::string shared;
  for (std::size_t joint = 0; joint < partsOf.size(); ++joint) {
    if (partsOf[joint].size() < 2) continue;
    shared += (shared.empty() ? "" : "; ") + rig.skeleton.joints[joint].name + " in ";
    for (std::size_t i = 0; i < partsOf[joint].size(); ++i)
      shared += (i == 0 ? "" : i + 1 == partsOf[joint].size() ? " and " : ", ") + partsOf[joint][i];
  }
  return shared;
}

}  // namespace

Outcome<Rig> MakeRig(const std::string& name, const Skeleton& skeleton, const std::optional<Preset>& preset,
                     const std::vector<Preset>& presets) {
  if (preset && preset->name == kGenericPreset && preset->parts.empty()) return BuildRigByShape(name, skeleton);
  return preset ? BuildRig(name, skeleton, *preset) : BuildRigWithBestPreset(name, skeleton, presets);
}

Outcome<std::shared_ptr<const Rig>> MakeRigOfFile(const std::string& path, const Skeleton& skeleton,
                                                  const std::optional<Preset>& preset,
                                                  const std::vector<Preset>& presets) {
  Outcome<Rig> rig = MakeRig(std::filesystem::path(path).stem().string(), skeleton, preset, presets);
  if (!rig) {
    Failure failure = std::move(rig).failure();
    if (failure.file.empty()) failure.file = path;
    return failure;
  }
  return std::make_shared<const Rig>(std::move(rig).value());
}

Outcome<std::shared_ptr<const Rig>> LoadRig(const std::string& path, const std::optional<Preset>& preset,
                                            const std::vector<Preset>& presets, const ReadOptions& read) {
  try {
    RETARGET_ASSIGN(Asset asset, ReadAsset(path, read));
    if (asset.rig && (!asset.humanoid || !preset)) {
      if (preset) return Usage("--preset does not apply to a rig file: its body parts are kept as they are");
      return std::make_shared<const Rig>(std::move(*asset.rig));
    }
    return MakeRigOfFile(path, asset.motion.skeleton, preset, presets);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

std::vector<std::string> PresetWarnings(const char* role, const Rig& rig, const char* option) {
  std::vector<std::string> warnings;
  const std::string who = std::string(role) + " " + rig.name + ": ";
  const PresetChoice& choice = rig.preset;
  if (choice.tie) {
    std::vector<std::string> tied;
    for (const PresetChoice::Candidate& candidate : choice.candidates)
      if (candidate.score == choice.score) tied.push_back(candidate.preset);
    warnings.push_back(who + "presets " + Join(tied) + " tie at score " + std::to_string(choice.score) + "; took " +
                       choice.name + " (choose one with " + option + ")");
  } else if (choice.weak) {
    warnings.push_back(who + "preset " + choice.name + " wins with a weak score of " + std::to_string(choice.score) +
                       " (" + std::to_string(rig.parts.covered) + " of " + std::to_string(rig.JointCount()) +
                       " joints in body parts); choose a preset with " + option + " or write one");
  }
  // A preset given by the user is named by its file too.
  const std::string preset = "preset " + choice.name +
                             (choice.candidates.empty() && !choice.file.empty() ? " (" + choice.file + ")" : "");
  if (!rig.parts.emptyRequired.empty())
    warnings.push_back(who + preset + " finds no joints for " + Join(rig.parts.emptyRequired) +
                       "; their motion is left out");
  if (rig.parts.sharedJoints > 0)
    warnings.push_back(who + preset +
                       " puts joints into more than one body part, where one drives them: " + SharedJoints(rig));
  return warnings;
}

}  // namespace norvo::retarget
