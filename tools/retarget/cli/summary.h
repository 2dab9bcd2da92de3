// What the command line prints: the summary of a clip, the lines of a
// batch, warnings and errors, and a progress line.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "norvo/retarget/app/batch.h"
#include "norvo/retarget/app/job.h"
#include "norvo/retarget/base/outcome.h"

namespace norvo::retarget::cli {


// "norvo-retarget: error: ..." on stderr; returns the exit code.
int ReportFailure(const Failure& failure);
// Needs no memory: what is left when even the message cannot be made.
int ReportOutOfMemory() noexcept;
void Warn(const std::string& message);

// "cmu (score 31; next mixamo, 19)" after an automatic choice, else the name.
std::string PresetText(const Rig& rig);

// The summary of one clip written to `output`.
void PrintClip(const ClipResult& result, const ClipRequest& request);
// The line of one clip of a batch.
void PrintBatchClip(const BatchClip& clip);

// Shows how far a long run has got: frames done and frames per second, on
// stderr when it is a terminal, at most five times a second. Thread-safe.
class Progress {
 public:
  Progress(bool show, std::int64_t total, std::string what = "frame");
  ~Progress();
  // One more frame of a batch done.
  void Frame();
  // One clip's frames: `done` of `total` (they become known as the clip
  // starts).
  void Frame(std::int64_t done, std::int64_t total);
  void ClipDone() { ++clips_; }
  // Takes the line away before other output; the next frame shows it again.
  void Clear();

 private:
  // Shows the line for `done` frames, when it is time to.
  void Show(std::int64_t done);

  bool show_;
  bool shown_ = false;    // ever
  bool visible_ = false;  // now
  std::int64_t total_;
  std::string what_;
  std::atomic<std::int64_t> frames_{0}, clips_{0};
  std::mutex mutex_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_ = start_;
};

}  // namespace norvo::retarget::cli
