// The rigs of a clip job: a rig from a file or a skeleton, with a preset
// given or the best of the shipped ones, and the warnings about the choice.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/io/formats.h"
#include "norvo/retarget/rig/preset.h"
#include "norvo/retarget/rig/rig.h"

namespace norvo::retarget {

// A rig for the skeleton of a motion file or from a rig file: the preset
// given, or else the file's humanoid table, or else the best of `presets`;
// Usage when a preset is given for a rig file.
Outcome<std::shared_ptr<const Rig>> LoadRig(const std::string& path, const std::optional<Preset>& preset,
                                            const std::vector<Preset>& presets, const ReadOptions& read = {});
// The rig of a skeleton with the preset given, or else the best of `presets`.
Outcome<Rig> MakeRig(const std::string& name, const Skeleton& skeleton, const std::optional<Preset>& preset,
                     const std::vector<Preset>& presets);
// The same for the skeleton read from file `path`: the rig is named by the
// file's stem, and a failure names the file.
Outcome<std::shared_ptr<const Rig>> MakeRigOfFile(const std::string& path, const Skeleton& skeleton,
                                                  const std::optional<Preset>& preset,
                                                  const std::vector<Preset>& presets);

// The warnings about a rig's preset: a tie or a weak automatic choice, and
// required body parts left empty. `option` is the option that chooses one.
std::vector<std::string> PresetWarnings(const char* role, const Rig& rig, const char* option);

}  // namespace norvo::retarget
