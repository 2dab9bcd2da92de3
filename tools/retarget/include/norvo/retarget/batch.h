// Batches: every motion clip of a folder retargeted onto one target rig by
// a pool of worker threads, each clip as one clip job (job.h). The target
// rig and the presets are shared and only read; each clip gets its own
// source rig and its own Retargeter in the worker that takes it. A clip
// that fails is reported and skipped.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "norvo/retarget/job.h"
#include "norvo/retarget/outcome.h"

namespace norvo::retarget {

struct BatchClip {
  std::string input;                 // the clip's path
  ClipOutputs outputs;               // the files it writes
  std::optional<Failure> failure;    // why it was skipped
  std::optional<ClipResult> result;  // while `done` runs for it; dropped after (its motion is never kept)
};

struct BatchJob {
  std::vector<std::string> inputs;
  std::string outputFolder;
  // What every clip shares: the target (`targetRig`), the presets, the
  // options and frames, whether figures are taken, and the outputs asked
  // for, which become each clip's own (see BatchOutputs). The source and
  // the motion output are each clip's.
  ClipRequest clip;
  unsigned workers = 1;
};

// The files one clip of a batch writes into `folder`: the motion keeps the
// clip's file name (its extension .bvh when its format writes no motion); a report, picture or rig asked for as "NAME" (its folder
// aside) becomes "CLIP.NAME", CLIP the clip's name without its extension.
ClipOutputs BatchOutputs(const ClipOutputs& asked, const std::string& folder, const std::string& input);

// The entries of a folder: its motion files (by the formats that carry
// motion), and what is left out with the reason ("a folder", "not a motion
// file", "not a regular file", "a link to nothing", "a link that loops"),
// each by name. Names that begin with a dot are hidden and not listed.
struct FolderEntry {
  std::string path, why;
};
struct MotionFiles {
  std::vector<std::string> files;
  std::vector<FolderEntry> skipped;
};
Outcome<MotionFiles> ListMotionFiles(const std::string& folder);

// Usage when a file the job writes is an input (a clip, the target, the
// source rig file) or another output (see CheckOutputsApart).
Outcome<void> CheckBatchOutputs(const BatchJob& job);

// Runs the job and returns one entry per input, in input order. `done` is
// called once per clip as it finishes, one call at a time; `frameDone`
// after each frame from any worker, and must be safe to call concurrently.
// Neither may throw: they run on the workers; neither may the job's
// `warn`, which is called from the workers too.
// A clip that runs out of memory carries that failure; OutOfMemory when the
// entries themselves cannot be made.
Outcome<std::vector<BatchClip>> RunBatch(const BatchJob& job, const std::function<void(const BatchClip&)>& done = {},
                                         const std::function<void()>& frameDone = {});

}  // namespace norvo::retarget
