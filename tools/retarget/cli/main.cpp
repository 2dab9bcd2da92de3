// norvo-retarget: carries the motion of a clip onto the skeleton of another
// file and writes the result. Without arguments it runs its built-in
// sample. This file runs the ways the tool can be used; options.h parses
// the command line, summary.h prints, and the clip job (job.h) does the work.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "norvo/retarget/app/batch.h"
#include "norvo/retarget/io/formats.h"
#include "norvo/retarget/app/install.h"
#include "norvo/retarget/app/job.h"
#include "norvo/retarget/app/sample.h"
#include "norvo/retarget/base/textfile.h"
#include "options.h"
#include "summary.h"

using namespace norvo;
using namespace norvo::retarget;
using namespace norvo::retarget::cli;

namespace {

// Runs one clip, with the progress line, and prints its summary.
Outcome<void> RunOne(ClipRequest& request, bool quiet) {
  Progress progress(!quiet, 0);
  request.frameDone = [&](std::int64_t done, std::int64_t total) { progress.Frame(done, total); };
  request.warn = [&](const std::string& message) {
    progress.Clear();
    Warn(message);
  };
  Outcome<ClipResult> result = RunClip(request);
  progress.Clear();
  if (!result) return std::move(result).failure();
  if (!quiet) PrintClip(result.value(), request);
  if (request.outputs.report == "-") {
    if (!quiet) std::printf("\n");
    std::fputs(result.value().reportText.c_str(), stdout);
  }
  return {};
}

Outcome<void> RunFiles(const Arguments& arguments) {
  if (arguments.target.empty()) return Usage("--target TARGET.bvh is needed: the rig that receives the motion");
  if (arguments.output.empty()) return Usage("-o OUT.bvh is needed: the file to write");
  RETARGET_ASSIGN(const std::vector<Preset> shipped, ShippedPresets());
  RETARGET_ASSIGN(ClipRequest request, MakeRequest(arguments, shipped));
  // A file written to standard output leaves no room for the summary.
  const ClipOutputs& out = request.outputs;
  return RunOne(request, arguments.quiet || out.motion == "-" || out.svg == "-" || out.rig == "-" || out.page == "-");
}

// Only --save-rig: builds or reads the target rig and writes it.
Outcome<void> RunSaveRig(const Arguments& arguments) {
  if (arguments.target.empty()) return Usage("--target TARGET.bvh is needed: the rig to save");
  RETARGET_TRY(CheckWithoutSource(arguments, true));
  RETARGET_TRY(CheckBatchOnly(arguments));
  RETARGET_TRY(CheckRigOutput(arguments.saveRig));
  const NamedFile target[] = {{"--target", arguments.target}}, rigFile[] = {{"--save-rig", arguments.saveRig}};
  RETARGET_TRY(CheckOutputsApart(target, rigFile));
  RETARGET_ASSIGN(const std::vector<Preset> shipped, ShippedPresets());
  RETARGET_ASSIGN(const std::optional<Preset> preset, PresetArgument(arguments.preset, shipped));
  RETARGET_ASSIGN(const std::shared_ptr<const Rig> rig,
                  LoadRig(arguments.target, preset, shipped, ReadOptionsOf(arguments, false)));
  for (const std::string& warning : PresetWarnings("target", *rig, "--preset")) Warn(warning);
  RETARGET_TRY(WriteRig(*rig, arguments.saveRig));
  if (!arguments.quiet && arguments.saveRig != "-")
    std::printf("saved   %s: %lld joints; preset %s puts %lld joints into body parts\n",
                Printable(arguments.saveRig).c_str(), static_cast<long long>(rig->JointCount()),
                Printable(rig->preset.name).c_str(), static_cast<long long>(rig->parts.covered));
  return {};
}

// --batch: every clip of a folder onto the target (batch.h); one line per
// clip and a total. Returns the exit status: 0, or that of the worst failed
// clip.
Outcome<int> RunBatchFolder(const Arguments& arguments) {
  const auto start = std::chrono::steady_clock::now();
  RETARGET_ASSIGN(const std::vector<Preset> shipped, ShippedPresets());
  RETARGET_ASSIGN(FolderBatch batch, MakeFolderBatch(arguments, shipped));
  int status = 0;
  std::optional<Progress> progress;
  // The events come from the batch (some on the workers): nothing may escape.
  auto safely = [&](auto&& print) {
    try {
      print();
    } catch (const std::bad_alloc&) {
      status = std::max(status, ReportOutOfMemory());
    }
  };
  // On the workers, at any time: it leaves the status alone.
  batch.clip.warn = [&](const std::string& message) {
    try {
      if (progress) progress->Clear();
      Warn(message);
    } catch (const std::bad_alloc&) {
      ReportOutOfMemory();
    }
  };
  FolderBatchEvents events;
  events.skipped = [&](const FolderEntry& entry) {
    safely([&] {
      if (!arguments.quiet) std::printf("skipped %s: %s\n", Printable(entry.name).c_str(), entry.why.c_str());
    });
  };
  events.start = [&](const Rig& target, std::size_t clips, std::size_t alreadyDone, unsigned) {
    safely([&] {
      for (const std::string& warning : PresetWarnings("target", target, "--preset")) Warn(warning);
      if (!arguments.quiet)
        std::printf("target  %s: %lld joints; preset %s puts %lld joints into body parts\n",
                    Printable(FileName(arguments.target)).c_str(), static_cast<long long>(target.JointCount()),
                    Printable(PresetText(target)).c_str(), static_cast<long long>(target.parts.covered));
    });
    progress.emplace(!arguments.quiet, std::int64_t(clips - alreadyDone), "clip");
  };
  events.done = [&](const BatchClip& clip) {
    safely([&] {
      progress->ClipDone();
      progress->Clear();
      if (clip.failure) {
        status = std::max(status, ReportFailure(*clip.failure));
      } else if (!arguments.quiet) {
        PrintBatchClip(clip);
      }
    });
  };
  events.frameDone = [&] { progress->Frame(); };
  Outcome<FolderBatchTotals> ran = RunFolderBatch(batch, events);
  progress.reset();
  if (!ran) return std::move(ran).failure();
  const FolderBatchTotals& totals = ran.value();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::size_t clips = totals.clips.size() + totals.alreadyDone.size();
  const std::string done = arguments.resume ? ", " + std::to_string(totals.alreadyDone.size()) + " already done" : "";
  if (!arguments.quiet)
    std::printf("total   %zu of %zu clips written to %s, %zu failed, %zu skipped%s; %lld frames in %.2f s "
                "with %u worker%s\n",
                totals.written, clips, Printable(arguments.output).c_str(), totals.failed, totals.skipped.size(),
                done.c_str(), static_cast<long long>(totals.frames), seconds, totals.workers,
                totals.workers == 1 ? "" : "s");
  return status;
}

Outcome<void> RunSample(const Arguments& arguments, const char* program) {
  RETARGET_TRY(CheckWithoutSource(arguments, false));
  std::error_code error;
  std::string folder = (std::filesystem::temp_directory_path(error) / "norvo-retarget-sample-XXXXXX").string();
  if (error || !mkdtemp(folder.data()))
    return MakeFailure(FailureKind::Io, "cannot make a folder for the sample", folder);
  RETARGET_ASSIGN(ClipRequest request, MakeRequestOptions(arguments));
  request.source = folder + "/walk.bvh";
  request.target = folder + "/other_rig.bvh";
  request.outputs.motion = folder + "/walk_on_other_rig.bvh";

  RETARGET_ASSIGN(const Motion walk, SampleWalk());
  RETARGET_ASSIGN(const Skeleton otherSkeleton, SampleTargetSkeleton());
  RETARGET_ASSIGN(const Motion other, RestMotion(otherSkeleton));
  RETARGET_TRY(WriteMotion(walk, request.source));
  RETARGET_TRY(WriteMotion(other, request.target));
  RETARGET_ASSIGN(const std::vector<Preset> shipped, ShippedPresets());
  RETARGET_ASSIGN(Rig targetRig, BuildRigWithBestPreset("other_rig", other.skeleton, shipped));
  request.presets = &shipped;
  request.sourceMotion = &walk;
  request.targetRig = std::make_shared<const Rig>(std::move(targetRig));

  if (!arguments.quiet)
    std::printf("The built-in sample: a generated walk on a %lld-joint rig, carried onto a second rig with other\n"
                "proportions, other joint names and two more spine joints. The files are in %s:\n"
                "  walk.bvh               the walk (%lld frames)\n"
                "  other_rig.bvh          the second rig, at rest\n"
                "  walk_on_other_rig.bvh  the walk on the second rig\n\n",
                static_cast<long long>(walk.skeleton.Count()), folder.c_str(),
                static_cast<long long>(walk.FrameCount()));
  RETARGET_TRY(RunOne(request, arguments.quiet));
  if (!arguments.quiet)
    std::printf("\nThe same on your own files: %s SOURCE.bvh --target TARGET.bvh -o OUT.bvh (see --help)\n", program);
  return {};
}

// The command line; main adds what holds for every way out.
int Run(int argc, char** argv) {
  HandleSignals(kTool);
  Arguments arguments;
  if (const std::optional<int> done = ParseCommandLine(argc, argv, arguments)) return *done;
  Outcome<Module> module = LoadRetargetModule();
  if (!module) return ReportFailure(module.failure());
  if (!arguments.batch.empty()) {
    Outcome<int> done = RunBatchFolder(arguments);
    return done ? done.value() : ReportFailure(done.failure());
  }
  Outcome<void> done = !arguments.source.empty()    ? RunFiles(arguments)
                       : !arguments.saveRig.empty() ? RunSaveRig(arguments)
                                                    : RunSample(arguments, argv[0]);
  return done ? 0 : ReportFailure(done.failure());
}

}  // namespace

int main(int argc, char** argv) {
  norvo::retarget::UseInstalledPrograms();
  int status = 0;
  try {
    status = Run(argc, argv);
  } catch (const std::bad_alloc&) {  // the command line's own texts
    status = ReportOutOfMemory();
  }
  ShutdownFramework();
  return status;
}
