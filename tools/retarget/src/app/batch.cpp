#include "norvo/retarget/batch.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <thread>

#include "norvo/retarget/folder.h"
#include "norvo/retarget/formats.h"
#include "norvo/retarget/textfile.h"

namespace norvo::retarget {

ClipOutputs BatchOutputs(const ClipOutputs& asked, const std::string& folder, const std::string& input) {
  const std::filesystem::path place(folder);
  const std::string stem = Stem(input);
  auto own = [&](const std::string& name) {
    return name.empty() ? std::string() : (place / (stem + "." + FileName(name))).string();
  };
  // A clip of a format that writes no motion (FBX) becomes BVH under its
  // whole name, apart from a BVH clip of the same stem.
  const FileFormat* format = FormatOf(input);
  const std::string motion = format && format->formatMotion ? FileName(input) : FileName(input) + ".bvh";
  return {(place / motion).string(), own(asked.report), own(asked.svg), own(asked.rig), own(asked.page)};
}

namespace {

// Why an entry is no motion file to read; nullptr for one that is.
const char* Unreadable(const std::string& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) {
    if (errno == ELOOP) return "a link that loops";
    struct stat link;
    if (errno == ENOENT && ::lstat(path.c_str(), &link) == 0) return "a link to nothing";
    return std::strerror(errno);
  }
  if (S_ISDIR(status.st_mode)) return "a folder";
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  const FileFormat* format = FormatOf(path);
  return format && format->motion ? nullptr : "not a motion file";
}

}  // namespace

Outcome<MotionFiles> ListMotionFiles(const std::string& folder) {
  try {
    RETARGET_ASSIGN(std::vector<std::string> entries, ListFolder(folder, {}));
    MotionFiles found;
    for (std::string& path : entries) {
      if (FileName(path).starts_with(".")) continue;
      if (const char* why = Unreadable(path)) {
        found.skipped.push_back({std::move(path), why});
      } else {
        found.files.push_back(std::move(path));
      }
    }
    return found;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> CheckBatchOutputs(const BatchJob& job) {
  try {
    std::vector<NamedFile> inputs = {{"--target", job.clip.target}, {"--source-rig", job.clip.sourceRig}};
    std::vector<NamedFile> outputs;
    for (const std::string& input : job.inputs) {
      inputs.push_back({"the clip " + FileName(input), input});
      const ClipOutputs own = BatchOutputs(job.clip.outputs, job.outputFolder, input);
      const std::string clip = " of " + FileName(input);
      outputs.push_back({"the motion" + clip, own.motion});
      outputs.push_back({"--report" + clip, own.report});
      outputs.push_back({"--svg" + clip, own.svg});
      outputs.push_back({"--save-rig" + clip, own.rig});
      outputs.push_back({"--html" + clip, own.page});
    }
    return CheckOutputsApart(inputs, outputs);
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
          request.threads = 1;  // every core has a clip of its own
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
