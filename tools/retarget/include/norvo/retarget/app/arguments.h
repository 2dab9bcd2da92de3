// A clip's options as a caller names them: the command line's options and
// the Python package's keyword arguments are the same texts, checked and
// turned into a clip request (job.h) here.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "norvo/retarget/app/batch.h"
#include "norvo/retarget/app/job.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/solve/pipeline.h"
#include "norvo/retarget/rig/preset.h"

namespace norvo::retarget {

struct Arguments {
  std::string source, target, output, preset, sourcePreset, frames;
  std::string translationScale = "auto";
  std::string report, svg, html, batch;
  unsigned jobs = 0;  // 0: one per core
  std::string saveRig, sourceRig;
  bool noRootTranslation = false;
  bool inPlace = false;
  bool quiet = false;
  bool noAlign = false;
  std::optional<std::string> spreadChains;
  bool roundTrip = false;
  bool lockFeet = false;
  // glTF files: the skin (source and target), the source's animation and
  // the rate it is sampled at.
  std::int64_t skin = -1;
  std::string animation;
  double fps = 0.0;
  bool noContacts = false;
  std::string rootMotion, lockAxis;
  std::string floor;
  // A whole folder (--batch): its subfolders too, one shard "I/N" of its
  // clips, a manifest, and a run that goes on from the manifest.
  bool recursive = false;
  std::string shard, manifest;
  bool resume = false;
};

Failure Usage(std::string message);
Outcome<RetargetOptions> ParseOptions(const Arguments& arguments);
// How the arguments read a file: the skin, and for the source the
// animation and the rate.
ReadOptions ReadOptionsOf(const Arguments& arguments, bool source);
// The clip request the arguments make: its source, target, options and
// outputs, and the presets they name, choosing among `presets` (which must
// outlive it) where they name none.
Outcome<ClipRequest> MakeRequest(const Arguments& arguments, const std::vector<Preset>& presets);
// The same without its source and target and without presets.
Outcome<ClipRequest> MakeRequestOptions(const Arguments& arguments);

// Usage when an option of a folder batch is given without --batch.
Outcome<void> CheckBatchOnly(const Arguments& arguments);
// Usage when an option is given that a run without SOURCE cannot take:
// with `rigAlone` --save-rig without SOURCE, else the built-in sample.
Outcome<void> CheckWithoutSource(const Arguments& arguments, bool rigAlone);
// "I/N" as a shard; Usage unless 0 <= I < N.
Outcome<Shard> ParseShard(const std::string& text);
// The folder batch the arguments make (--batch), with the presets they
// name among `presets` (which must outlive it); Usage for what a batch
// cannot take.
Outcome<FolderBatch> MakeFolderBatch(const Arguments& arguments, const std::vector<Preset>& presets);

// The shipped presets; Internal when there are none.
Outcome<std::vector<Preset>> ShippedPresets();
// The preset an argument names: a shipped one by name, or a JSON file;
// none for "" and "auto".
Outcome<std::optional<Preset>> PresetArgument(const std::string& argument, const std::vector<Preset>& shipped);

// The exit code of a failure: 1 usage, 2 a file, 3 memory or internal.
int ExitCode(FailureKind kind) noexcept;

}  // namespace norvo::retarget
