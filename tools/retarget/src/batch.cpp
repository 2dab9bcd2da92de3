#include "norvo/retarget/batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <new>
#include <thread>

#include "norvo/retarget/folder.h"

namespace norvo::retarget {

namespace {

Outcome<void> RetargetOne(const BatchJob& job, BatchClip& clip, const std::function<void()>& frameDone) {
  const auto start = std::chrono::steady_clock::now();
  Outcome<BvhClip> source = ReadBvhFile(clip.input);
  if (!source) return std::move(source).failure();
  const std::string name = std::filesystem::path(clip.input).stem().string();
  Outcome<Rig> rig = job.sourcePreset ? BuildRig(name, source.value().skeleton, *job.sourcePreset)
                                      : BuildRigWithBestPreset(name, source.value().skeleton, *job.presets);
  if (!rig) return std::move(rig).failure();
  clip.preset = rig.value().presetName;
  clip.emptyRequired = rig.value().emptyRequired;
  clip.presetTie = rig.value().presetTie;
  Outcome<std::unique_ptr<Retargeter>> retargeter = Retargeter::Create(rig.value(), *job.target, job.options);
  if (!retargeter) return std::move(retargeter).failure();
  const std::int64_t frames = source.value().FrameCount();
  Outcome<BvhClip> result = RetargetClip(*retargeter.value(), source.value(), *job.target, 0, frames,
                                         [&](std::int64_t) {
                                           if (frameDone) frameDone();
                                         });
  if (!result) return std::move(result).failure();
  RETARGET_TRY(WriteBvhFile(result.value(), clip.output));
  clip.frames = frames;
  clip.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {};
}

}  // namespace

Outcome<std::vector<std::string>> ListBvhFiles(const std::string& folder) {
  return ListFolder(folder, {.extension = ".bvh", .ignoreCase = true, .regularFilesOnly = true});
}

Outcome<std::vector<BatchClip>> RunBatch(const BatchJob& job, const std::function<void(const BatchClip&)>& done,
                                         const std::function<void()>& frameDone) {
  std::vector<BatchClip> clips;
  try {
    clips.resize(job.inputs.size());
    for (std::size_t i = 0; i < clips.size(); ++i) {
      clips[i].input = job.inputs[i];
      clips[i].output =
          (std::filesystem::path(job.outputFolder) / std::filesystem::path(job.inputs[i]).filename()).string();
    }
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
  std::atomic<std::size_t> next{0};
  std::mutex reporting;
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < clips.size();) {
      BatchClip& clip = clips[i];
      Outcome<void> outcome = [&]() -> Outcome<void> {
        try {
          return RetargetOne(job, clip, frameDone);
        } catch (const std::bad_alloc&) {
          return OutOfMemory();
        }
      }();
      if (!outcome) clip.failure = std::move(outcome).failure();
      if (done) {
        std::lock_guard<std::mutex> lock(reporting);
        done(clip);
      }
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
