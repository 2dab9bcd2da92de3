#include "norvo/retarget/app/batch.h"

#include <sys/stat.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "manifest.h"
#include "norvo/retarget/app/arguments.h"
#include "norvo/retarget/base/folder.h"
#include "norvo/retarget/io/formats.h"
#include "norvo/retarget/base/textfile.h"

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

// The path of `path` below `folder`, as a listing of `folder` makes it; ""
// for a path that is not below it.
std::string Below(const std::string& folder, const std::string& path) {
  const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  return path.starts_with(prefix) ? path.substr(prefix.size()) : std::string();
}

}  // namespace

std::string BatchOutputFolder(const BatchJob& job, const std::string& input) {
  if (job.inputFolder.empty()) return job.outputFolder;
  const std::string below = Below(job.inputFolder, input);
  const std::size_t slash = below.rfind('/');
  if (slash == std::string::npos) return job.outputFolder;
  return (std::filesystem::path(job.outputFolder) / below.substr(0, slash)).string();
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

namespace {

using FolderId = std::pair<dev_t, ino_t>;

// Lists a folder and, when recursive, its subfolders below it.
struct Lister {
  std::string top;
  bool recursive = false;
  std::optional<FolderId> output;
  std::vector<FolderId> above;  // the folders being listed, the top first
  MotionFiles found;

  Outcome<void> List(const std::string& folder) {
    RETARGET_ASSIGN(std::vector<std::string> entries, ListFolder(folder, {}));
    for (std::string& path : entries) {
      if (FileName(path).starts_with(".")) continue;
      std::string name = Below(top, path);
      const char* why = Unreadable(path);
      struct stat status;
      if (recursive && why && std::strcmp(why, "a folder") == 0 && ::stat(path.c_str(), &status) == 0) {
        const FolderId id{status.st_dev, status.st_ino};
        if (std::find(above.begin(), above.end(), id) != above.end()) {
          why = "a link that loops";
        } else if (output == id) {
          why = "the output folder";
        } else {
          above.push_back(id);
          Outcome<void> listed = List(path);
          above.pop_back();
          if (listed) continue;
          // A subfolder that cannot be read is left out, as a file would be.
          if (listed.failure().kind == FailureKind::OutOfMemory) return listed;
          found.skipped.push_back({std::move(path), listed.failure().message, std::move(name)});
          continue;
        }
      }
      if (why) {
        found.skipped.push_back({std::move(path), why, std::move(name)});
      } else {
        found.files.push_back(std::move(path));
      }
    }
    return {};
  }
};

}  // namespace

Outcome<MotionFiles> ListMotionFiles(const std::string& folder, bool recursive, const std::string& outputFolder) {
  try {
    Lister lister;
    lister.top = folder;
    lister.recursive = recursive;
    struct stat status;
    if (recursive && ::stat(folder.c_str(), &status) == 0) lister.above.push_back({status.st_dev, status.st_ino});
    if (recursive && !outputFolder.empty() && ::stat(outputFolder.c_str(), &status) == 0)
      lister.output = FolderId{status.st_dev, status.st_ino};
    RETARGET_TRY(lister.List(folder));
    if (recursive) {
      std::sort(lister.found.files.begin(), lister.found.files.end());
      std::sort(lister.found.skipped.begin(), lister.found.skipped.end(),
                [](const FolderEntry& a, const FolderEntry& b) { return a.path < b.path; });
    }
    return std::move(lister.found);
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> CheckBatchOutputs(const BatchJob& job, const NamedFile& also) {
  try {
    std::vector<NamedFile> inputs = {{"--target", job.clip.target}, {"--source-rig", job.clip.sourceRig}};
    std::vector<NamedFile> outputs;
    for (const std::string& input : job.inputs) {
      inputs.push_back({"the clip " + FileName(input), input});
      const ClipOutputs own = BatchOutputs(job.clip.outputs, BatchOutputFolder(job, input), input);
      const std::string clip = " of " + FileName(input);
      outputs.push_back({"the motion" + clip, own.motion});
      outputs.push_back({"--report" + clip, own.report});
      outputs.push_back({"--svg" + clip, own.svg});
      outputs.push_back({"--save-rig" + clip, own.rig});
      outputs.push_back({"--html" + clip, own.page});
    }
    outputs.push_back(also);
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
      clips[i].outputs = BatchOutputs(job.clip.outputs, BatchOutputFolder(job, job.inputs[i]), job.inputs[i]);
    }
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
  std::atomic<std::size_t> next{0};
  std::mutex reporting;
  auto work = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < clips.size();) {
      if (job.stop && job.stop->load()) break;
      BatchClip& clip = clips[i];
      const auto start = std::chrono::steady_clock::now();
      Outcome<ClipResult> result = [&]() -> Outcome<ClipResult> {
        try {
          ClipRequest request = job.clip;
          request.source = clip.input;
          request.sourceMotion = nullptr;
          request.outputs = clip.outputs;
          request.keepMotion = false;
          request.threads = 1;  // every core has a clip of its own
          request.frameDone = [&](std::int64_t, std::int64_t) {
            if (frameDone) frameDone();
          };
          return RunClip(request);
        } catch (const std::bad_alloc&) {
          return OutOfMemory();
        }
      }();
      clip.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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

namespace {

// Makes a folder the clips are written into, as a single output's would be.
Outcome<void> MakeFolder(const std::string& folder) {
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error) &&
      (std::filesystem::create_directories(folder, error), !std::filesystem::is_directory(folder, error)))
    return MakeFailure(FailureKind::Io, "cannot make the folder to write the clips into", folder);
  return {};
}

// Removes the temporary files that a run stopped at once (SIGKILL, a
// machine restart) left beside the job's outputs: ".NAME.PID.N.tmp" (see
// WriteTextFile) for an output NAME of one of the job's clips, and no
// other, so that what another run writes into the folder is left alone.
Outcome<void> RemoveLeftTemporaries(const BatchJob& job) {
  std::map<std::string, std::set<std::string>> names;  // by folder
  for (const std::string& input : job.inputs) {
    const ClipOutputs own = BatchOutputs(job.clip.outputs, BatchOutputFolder(job, input), input);
    for (const std::string* path : {&own.motion, &own.report, &own.svg, &own.rig, &own.page}) {
      const std::size_t slash = path->rfind('/');
      if (!path->empty() && slash != std::string::npos) names[path->substr(0, slash)].insert(path->substr(slash + 1));
    }
  }
  for (const auto& [folder, outputs] : names) {
    Outcome<std::vector<std::string>> listed = ListFolder(folder, {".tmp"});
    if (!listed && listed.failure().kind == FailureKind::OutOfMemory) return std::move(listed).failure();
    if (!listed) continue;  // nothing there to remove
    for (const std::string& path : listed.value()) {
      const std::string file = FileName(path);
      const std::string_view name = TemporaryFor(file);
      if (!name.empty() && outputs.count(std::string(name))) ::unlink(path.c_str());
    }
  }
  return {};
}

// The refusals that need no clip read: --resume without a manifest, a shard
// past the count, and a folder that is missing or is the output folder.
Outcome<void> CheckFolderBatch(const FolderBatch& batch) {
  if (batch.resume && batch.manifest.empty())
    return Usage("--resume needs --manifest FILE.jsonl: the clips done are read from it");
  const Shard shard = batch.shard;
  if (shard.index >= shard.count)
    return Usage("--shard takes I/N with 0 <= I < N; found '" + std::to_string(shard.index) + "/" +
                 std::to_string(shard.count) + "'");
  std::error_code error;
  if (!std::filesystem::is_directory(batch.folder, error))
    return MakeFailure(FailureKind::Io, "there is no such folder", batch.folder);
  if (std::filesystem::equivalent(batch.folder, batch.outputFolder, error))
    return Usage("-o " + batch.outputFolder + " is the folder of the clips; the results would overwrite them");
  return {};
}

// The shard's own clips: every count-th from its index.
std::vector<std::string> ShardOf(std::vector<std::string> inputs, Shard shard) {
  std::vector<std::string> own;
  for (std::size_t i = shard.index; i < inputs.size(); i += shard.count) own.push_back(std::move(inputs[i]));
  return own;
}

// Resuming: removes the temporaries a stopped run left, and moves the clips
// the manifest lists as done (with their motion file still there) from the
// job to the totals.
Outcome<void> SkipDone(BatchJob& job, const std::map<std::string, std::string>& done, FolderBatchTotals& totals) {
  RETARGET_TRY(RemoveLeftTemporaries(job));
  std::vector<std::string> run;
  for (std::string& input : job.inputs) {
    const std::string motion = BatchOutputs(job.clip.outputs, BatchOutputFolder(job, input), input).motion;
    const auto found = done.find(input);
    struct stat status;
    const bool kept = found != done.end() && found->second == motion && NamedExactly(input) && NamedExactly(motion) &&
                      ::stat(motion.c_str(), &status) == 0 && S_ISREG(status.st_mode);
    (kept ? totals.alreadyDone : run).push_back(std::move(input));
  }
  job.inputs = std::move(run);
  return {};
}

}  // namespace

Outcome<FolderBatchTotals> RunFolderBatch(const FolderBatch& batch, const FolderBatchEvents& events) {
  try {
    RETARGET_TRY(CheckFolderBatch(batch));
    FolderBatchTotals totals;
    RETARGET_ASSIGN(MotionFiles listed, ListMotionFiles(batch.folder, batch.recursive, batch.outputFolder));
    if (events.skipped)
      for (const FolderEntry& entry : listed.skipped) events.skipped(entry);
    if (listed.files.empty()) return MakeFailure(FailureKind::BadInput, "no motion files in " + batch.folder);
    totals.skipped = std::move(listed.skipped);

    BatchJob job;
    job.outputFolder = batch.outputFolder;
    if (batch.recursive) job.inputFolder = batch.folder;
    job.clip = batch.clip;
    // All the clips, not only the shard's: the shards of a batch write what
    // the batch writes, and refuse what it refuses.
    job.inputs = std::move(listed.files);
    RETARGET_TRY(CheckBatchOutputs(job, {"--manifest", batch.manifest}));
    // Every run lists the same clips in the same order, so that the shards
    // of one batch take each clip once.
    if (batch.shard.count > 1) job.inputs = ShardOf(std::move(job.inputs), batch.shard);
    RETARGET_TRY(MakeFolder(batch.outputFolder));
    std::set<std::string> folders;
    for (const std::string& input : job.inputs) folders.insert(BatchOutputFolder(job, input));
    for (const std::string& folder : folders) RETARGET_TRY(MakeFolder(folder));

    std::map<std::string, std::string> done;  // by the manifest: input -> output
    std::optional<Manifest> manifest;
    if (!batch.manifest.empty()) {
      RETARGET_ASSIGN(Manifest opened, Manifest::Open(batch.manifest, batch.resume ? &done : nullptr));
      manifest.emplace(std::move(opened));
    }
    if (batch.resume) RETARGET_TRY(SkipDone(job, done, totals));

    if (!job.clip.targetRig) {
      static const std::vector<Preset> kNone;
      ReadOptions read;
      read.skin = job.clip.read.skin;
      RETARGET_ASSIGN(job.clip.targetRig, LoadRig(job.clip.target, job.clip.targetPreset,
                                                  job.clip.presets ? *job.clip.presets : kNone, read));
    }
    const unsigned workers = batch.workers ? batch.workers : std::max(1u, std::thread::hardware_concurrency());
    job.workers = unsigned(std::min<std::size_t>(workers, job.inputs.size()));
    totals.workers = job.workers;
    if (events.start)
      events.start(*job.clip.targetRig, job.inputs.size() + totals.alreadyDone.size(), totals.alreadyDone.size(),
                   job.workers);

    // A manifest line that cannot be written stops the batch: the lines
    // after it would be lost or glued to a partial one.
    std::atomic<bool> own{false};
    std::atomic<bool>& stop = batch.stop ? *batch.stop : own;
    std::optional<Failure> unwritten;
    job.stop = &stop;
    const auto finished = [&](const BatchClip& clip) {
      if (clip.failure) {
        ++totals.failed;
      } else {
        ++totals.written;
        totals.frames += clip.result->last - clip.result->first;
      }
      if (manifest && !unwritten) {
        Outcome<void> appended = manifest->Append(clip);
        if (!appended) {
          unwritten = std::move(appended).failure();
          stop = true;
        }
      }
      if (events.done) events.done(clip);
    };
    RETARGET_ASSIGN(totals.clips, RunBatch(job, finished, events.frameDone));
    if (unwritten) return std::move(*unwritten);
    return totals;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

}  // namespace norvo::retarget
