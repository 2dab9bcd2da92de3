// Batches: every BVH clip of a folder retargeted onto one target rig by a
// pool of worker threads. The target rig and the presets are shared and
// only read; each clip gets its own source rig and its own Retargeter in
// the worker that takes it. A clip that fails is reported and skipped.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "norvo/retarget/outcome.h"
#include "norvo/retarget/pipeline.h"
#include "norvo/retarget/preset.h"
#include "norvo/retarget/rig.h"

namespace norvo::retarget {

struct BatchClip {
  std::string input;   // the clip's path
  std::string output;  // where its result went
  std::optional<Failure> failure;  // why it was skipped
  std::string preset;  // the source's preset
  std::vector<std::string> emptyRequired;  // required body parts it left empty
  bool presetTie = false;
  std::int64_t frames = 0;
  double seconds = 0.0;
};

struct BatchJob {
  std::vector<std::string> inputs;
  std::string outputFolder;  // each result keeps its clip's file name
  const Rig* target = nullptr;
  // The source preset, or else the best of `presets` for each clip.
  std::optional<Preset> sourcePreset;
  const std::vector<Preset>* presets = nullptr;
  RetargetOptions options;
  unsigned workers = 1;
};

// The "*.bvh" files of a folder, by name.
Outcome<std::vector<std::string>> ListBvhFiles(const std::string& folder);

// Runs the job and returns one entry per input, in input order. `done` is
// called once per clip as it finishes, one call at a time; `frameDone`
// after each frame from any worker, and must be safe to call concurrently.
// Neither may throw: they run on the workers.
// A clip that runs out of memory carries that failure; OutOfMemory when the
// entries themselves cannot be made.
Outcome<std::vector<BatchClip>> RunBatch(const BatchJob& job, const std::function<void(const BatchClip&)>& done = {},
                                const std::function<void()>& frameDone = {});

}  // namespace norvo::retarget
