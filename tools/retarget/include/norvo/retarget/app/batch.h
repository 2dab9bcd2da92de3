// Batches: every motion clip of a folder retargeted onto one target rig by
// a pool of worker threads, each clip as one clip job (job.h). The target
// rig and the presets are shared and only read; each clip gets its own
// source rig and its own Retargeter in the worker that takes it. A clip
// that fails is reported and skipped.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "norvo/retarget/app/job.h"
#include "norvo/retarget/base/outcome.h"
#include "norvo/retarget/base/textfile.h"

namespace norvo::retarget {

struct BatchClip {
  std::string input;                 // the clip's path
  ClipOutputs outputs;               // the files it writes
  std::optional<Failure> failure;    // why it was skipped
  std::optional<ClipResult> result;  // while `done` runs for it; dropped after (its motion is never kept)
  double seconds = 0.0;              // from its start to its end, done or failed
};

struct BatchJob {
  std::vector<std::string> inputs;
  std::string outputFolder;
  // When set, the inputs lie in this folder or below it, and each clip's
  // outputs go into the same subfolder of `outputFolder` (IN/a/x.bvh gives
  // OUT/a/x.bvh); else they all go into `outputFolder` itself.
  std::string inputFolder;
  // What every clip shares: the target (`targetRig`), the presets, the
  // options and frames, whether figures are taken, and the outputs asked
  // for, which become each clip's own (see BatchOutputs). The source and
  // the motion output are each clip's.
  ClipRequest clip;
  unsigned workers = 1;
  // When it turns true no further clip starts; those that did not start
  // have neither a result nor a failure.
  const std::atomic<bool>* stop = nullptr;
};

// The files one clip of a batch writes into `folder`: the motion keeps the
// clip's file name (its extension .bvh when its format writes no motion); a report, picture or rig asked for as "NAME" (its folder
// aside) becomes "CLIP.NAME", CLIP the clip's name without its extension.
ClipOutputs BatchOutputs(const ClipOutputs& asked, const std::string& folder, const std::string& input);
// The folder the job writes an input's outputs into (see inputFolder).
std::string BatchOutputFolder(const BatchJob& job, const std::string& input);

// The entries of a folder: its motion files (by the formats that carry
// motion), and what is left out with the reason ("a folder", "not a motion
// file", "not a regular file", "a link to nothing", "a link that loops"),
// each by name. Names that begin with a dot are hidden and not listed.
// With `recursive` the files of the subfolders are listed too and the whole
// list is sorted by path; a subfolder is listed once along a path (a link
// back to a folder above it is "a link that loops"), `outputFolder` is left
// out as "the output folder", and a subfolder that cannot be read is left
// out with the reason. `name` is the entry's path below `folder`.
struct FolderEntry {
  std::string path, why, name;
};
struct MotionFiles {
  std::vector<std::string> files;
  std::vector<FolderEntry> skipped;
};
Outcome<MotionFiles> ListMotionFiles(const std::string& folder, bool recursive = false,
                                     const std::string& outputFolder = {});

// Usage when a file the job writes, or `also` (a file beside the clips'),
// is an input (a clip, the target, the source rig file) or another output
// (see CheckOutputsApart).
Outcome<void> CheckBatchOutputs(const BatchJob& job, const NamedFile& also = {});

// Runs the job and returns one entry per input, in input order. `done` is
// called once per clip as it finishes, one call at a time; `frameDone`
// after each frame from any worker, and must be safe to call concurrently.
// Neither may throw: they run on the workers; neither may the job's
// `warn`, which is called from the workers too.
// A clip that runs out of memory carries that failure; OutOfMemory when the
// entries themselves cannot be made.
Outcome<std::vector<BatchClip>> RunBatch(const BatchJob& job, const std::function<void(const BatchClip&)>& done = {},
                                         const std::function<void()>& frameDone = {});

// A whole folder as one batch, for the command line and any other host: the
// clips listed (and chosen by the shard), checked, the output folders made,
// the target rig loaded once, the clips run, and a manifest line appended
// per clip.
struct Shard {
  std::size_t index = 0, count = 1;  // the clips at positions index, index + count, ... of the sorted list
};
struct FolderBatch {
  std::string folder;        // the clips
  std::string outputFolder;  // made when it is not there; never `folder`
  // What every clip shares, as BatchJob::clip; its targetRig is loaded from
  // `target` (with the presets given) when it is not set.
  ClipRequest clip;
  unsigned workers = 0;  // 0: one per core; never more than the clips
  bool recursive = false;
  Shard shard;
  // A JSON-lines file that gets one line per clip as it finishes (see
  // below); empty: none.
  std::string manifest;
  // With a manifest: the clips whose motion output is there and whose last
  // line says "done" are not run again and get no new line; the temporary
  // files that a stopped run left beside this run's clips' outputs
  // (".NAME.PID.N.tmp", see WriteTextFile) are removed first, and nothing
  // else, so that another shard writing into the same folder goes on.
  bool resume = false;
  // When given, another thread may set it to start no further clip (those
  // running finish; the ones not started get no line and no entry).
  std::atomic<bool>* stop = nullptr;
};

// Called on the caller's thread unless said otherwise; none may throw.
struct FolderBatchEvents {
  // Each entry of the folder that is no clip, as listed (before the check
  // that there are clips).
  std::function<void(const FolderEntry&)> skipped;
  // Once, before the first clip runs: the target rig, this run's clips (the
  // shard's), how many of them are already done and the workers.
  std::function<void(const Rig& target, std::size_t clips, std::size_t alreadyDone, unsigned workers)> start;
  // As RunBatch's: each clip as it finishes, one at a time, after its
  // manifest line is on the disk (on the workers); after each frame (on
  // any worker, at once).
  std::function<void(const BatchClip&)> done;
  std::function<void()> frameDone;
};

struct FolderBatchTotals {
  std::vector<BatchClip> clips;          // the clips run, in list order
  std::vector<std::string> alreadyDone;  // the clips not run again (resume)
  std::vector<FolderEntry> skipped;      // the entries that are no clips
  std::size_t written = 0, failed = 0;
  std::int64_t frames = 0;  // retargeted by the clips written
  unsigned workers = 0;
};

// Runs the batch. Failures before any clip runs: Io "there is no such
// folder" (FOLDER); Usage when `outputFolder` is FOLDER, when an output is
// an input or another output (of any clip, not only the shard's), when the
// shard is not one of its count, or when resume is asked without a manifest;
// BadInput "no motion files in FOLDER" when the folder has none (a shard
// with none just runs none); Io when an output folder cannot be made or the
// manifest cannot be opened or read; the target's failures. A manifest line
// that cannot be written stops the batch (the clips running finish) with
// that failure.
//
// The manifest has one JSON object per line, its keys in this order:
// "input", "output" (the motion file), "status" ("done" or "failed"),
// "exit_code" (0, or the failure's ExitCode), "message" (the failure's
// text; "" when done), "frames", "preset" (the source's), the figures
// "quality_mean_degrees", "quality_p95_degrees", "quality_max_degrees",
// "feet_sliding_left", "feet_sliding_right" (the result's, leg lengths per
// second), "round_trip_mean_degrees", "round_trip_p95_degrees",
// "round_trip_max_degrees" (null where not taken or failed) and "seconds".
// Each line is one write on a descriptor opened for appending, flushed to
// the disk before the clip is reported; a partial last line (a writer
// killed in it) is cut off before the first. Paths that are not UTF-8 are
// written with U+FFFD in place of their faulty bytes, and their clips are
// always run again.
Outcome<FolderBatchTotals> RunFolderBatch(const FolderBatch& batch, const FolderBatchEvents& events = {});

}  // namespace norvo::retarget
