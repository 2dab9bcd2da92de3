#include "norvo/retarget/batch.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <new>
#include <thread>

#include "norvo/retarget/folder.h"
#include "norvo/retarget/formats.h"

namespace norvo::retarget {

ClipOutputs BatchOutputs(const ClipOutputs& asked, const std::string& folder, const std::string& input) {
  const std::filesystem::path place(folder);
  const std::string stem = Stem(input);
  auto own = [&](const std::string& name) {
    return name.empty() ? std::string() : (place / (stem + "." + FileName(name))).string();
  };
  return {(place / FileName(input)).string(), own(asked.report), own(asked.svg), own(asked.rig)};
}

Outcome<std::vector<std::string>> ListMotionFiles(const std::string& folder) {
  try {
    std::vector<std::string> files;
    for (const FileFormat& format : FileFormats()) {
      if (!format.motion) continue;
      RETARGET_ASSIGN(
          std::vector<std::string> found,
          ListFolder(folder, {.extension = format.extension, .ignoreCase = true, .regularFilesOnly = true}));
      files.insert(files.end(), found.begin(), found.end());
    }
    std::sort(files.begin(), files.end());
    return files;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<std::vector<BatchClip>> RunBatch(const BatchJob& job, const std::function<void(const BatchClip&)>& done,
                                         const std::function<void()>& frameDone) {
  std::vector<BatchClip> clips;
  try {
    clips.resize(job.inputs.size());
    for (std::size_t i = 0; i < clips.size(); ++i) {
      clips[i].input = job.inputs[i];
      clips[i].outputs = BatchOutputs(job.clip.outputs, job.outputFolder, job.inputs[i]);
    }
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
  std::atomic<std::size_t> next{0};
  std::mutex reporting;
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < clips.size();) {
      BatchClip& clip = clips[i];
      Outcome<ClipResult> result = [&]() -> Outcome<ClipResult> {
        try {
          ClipRequest request = job.clip;
          request.source = clip.input;
          request.sourceMotion = nullptr;
          request.outputs = clip.outputs;
          request.keepMotion = false;
          request.frameDone = [&](std::int64_t) {
            if (frameDone) frameDone();
          };
          return RunClip(request);
        } catch (const std::bad_alloc&) {
          return OutOfMemory();
        }
      }();
      if (result) {
        clip.result = std::move(result).value();
      } else {
        clip.failure = std::move(result).failure();
        if (clip.failure->file.empty()) clip.failure->file = clip.input;
      }
      if (done) {
        std::lock_guard<std::mutex> lock(reporting);
        done(clip);
      }
      clip.result.reset();
    }
  };
  const unsigned workers = std::max(1u, std::min<unsigned>(job.workers, unsigned(clips.size())));
  std::vector<std::thread> pool;
  for (unsigned w = 1; w < workers; ++w) {
    try {
      pool.emplace_back(work);
    } catch (const std::exception&) {
      break;  // fewer threads; the others and this one do the work
    }
  }
  work();
  for (std::thread& thread : pool) thread.join();
  return clips;
}

}  // namespace norvo::retarget
