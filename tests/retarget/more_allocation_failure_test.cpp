// The rest of the tool library under allocation failure: listing folders, the
// built-in sample, batches, the match report, the contact sheet, rest
// alignment, the figures and planted feet. Each
// operation is swept with its C++ allocations (operator new) failing in turn
// and, where it reaches the module, with the framework's allocations failing
// in turn; every failure must come back as an out-of-memory Outcome, leave
// the caller's values as they were and leak nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "failing_new.h"
#include "norvo/retarget/align.h"
#include "norvo/retarget/batch.h"
#include "norvo/retarget/feet.h"
#include "norvo/retarget/install.h"
#include "norvo/retarget/job.h"
#include "norvo/retarget/measure.h"
#include "norvo/retarget/pipeline.h"
#include "norvo/retarget/report.h"
#include "norvo/retarget/sample.h"
#include "norvo/retarget/svg.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

namespace fs = std::filesystem;
using norvo::test::Injector;
using norvo::test::kFrameworkAllocations;
using norvo::test::kNewAllocations;
using norvo::test::SweepForOutOfMemory;
using norvo::test::SweepForOutOfMemoryAccepting;
using test::Ok;

// A fresh folder of this process's own, removed with everything in it.
struct TempFolder {
  std::string path;
  explicit TempFolder(const char* what)
      : path((fs::temp_directory_path() / ("norvo_more_sweep_" + std::to_string(::getpid()) + what)).string()) {
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TempFolder() { fs::remove_all(path); }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Out of memory, or a module value that could not be copied, which the
// library reports as an internal failure; nothing else.
bool OutOfMemoryOrNoCopy(const Failure& failure) {
  return failure.kind == FailureKind::OutOfMemory ||
         (failure.kind == FailureKind::Internal && failure.message.starts_with("NullptrError") &&
          failure.message.ends_with(": no private copy could be made"));
}

TEST(MoreAllocationFailure, ListingFolders) {
  TempFolder folder("list");
  for (const char* name : {"b.bvh", "A.BVH", "notes.txt", ".bvh", "c.bvh.txt"})
    std::ofstream(folder / name) << test::kSmallClip;
  fs::create_directory(folder / "d.bvh");  // a folder is no clip
  fs::create_symlink(folder / "b.bvh", folder / "link.bvh");
  const std::vector<std::string> expected = {folder / "A.BVH", folder / "b.bvh", folder / "link.bvh"};
  EXPECT_EQ(Ok(ListMotionFiles(folder.path)), expected);
  EXPECT_EQ(Ok(ListMotionFiles(folder.path + "/")), expected);
  EXPECT_GT(SweepForOutOfMemory(
                [&]() -> Outcome<void> {
                  Outcome<std::vector<std::string>> files = ListMotionFiles(folder.path);
                  if (!files) return std::move(files).failure();
                  EXPECT_EQ(files.value(), expected);
                  return {};
                },
                kNewAllocations),
            0);

  const struct {
    const char* what;
    Outcome<void> listed;
    std::string text;
  } missing[] = {
      {"clips", [&]() -> Outcome<void> { RETARGET_TRY(ListMotionFiles(folder / "none")); return {}; }(),
       folder / "none" + ": cannot list the folder: No such file or directory"},
      {"presets", [&]() -> Outcome<void> { RETARGET_TRY(ReadPresetFolder(folder / "none")); return {}; }(),
       folder / "none" + ": cannot list the presets: No such file or directory"},
  };
  for (const auto& c : missing) {
    SCOPED_TRACE(c.what);
    ASSERT_FALSE(c.listed.has_value());
    EXPECT_EQ(c.listed.failure().kind, FailureKind::Io);
    EXPECT_EQ(c.listed.failure().Text(), c.text);
  }

  // Where the module and the presets are: worked out without allocating.
  const std::string module = ModulePath(), presets = ShippedPresetFolder();
  const norvo::Int live = norvo::test::LiveNewCount();
  norvo::test::FailNewAfter(0);
  const bool same = module == ModulePath() && presets == ShippedPresetFolder();
  norvo::test::ClearNewFailure();
  EXPECT_TRUE(same);
  EXPECT_EQ(norvo::test::LiveNewCount(), live);
  EXPECT_TRUE(fs::exists(module)) << module;
  EXPECT_TRUE(fs::is_directory(presets)) << presets;
}

TEST(MoreAllocationFailure, TheSample) {
  const Motion walk = Ok(SampleWalk(1));
  EXPECT_EQ(walk.FrameCount(), 30);
  EXPECT_EQ(Ok(SampleWalk(0)).FrameCount(), 0);
  Outcome<Motion> backwards = SampleWalk(-1);
  ASSERT_FALSE(backwards.has_value());
  EXPECT_EQ(backwards.failure().kind, FailureKind::Usage);
  EXPECT_EQ(backwards.failure().message, "the number of walk cycles is negative");

  const Skeleton target = Ok(SampleTargetSkeleton());
  const std::string targetText = Ok(FormatBvh(Ok(RestMotion(target))));
  auto unchanged = [&] { return Ok(FormatBvh(Ok(RestMotion(target)))) == targetText; };
  EXPECT_GT(SweepForOutOfMemory([&] { return SampleWalk(1); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return SampleTargetSkeleton(); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return RestMotion(target); }, unchanged, kNewAllocations), 0);
}

class MoreAllocationFailureWithModule : public test::WithModule {
 protected:
  // The sample's walk and its second rig, each with its shipped preset.
  void SetUp() override {
    walk_ = Ok(SampleWalk(1));
    source_ = test::MakeRig(walk_.skeleton, "cmu", "walk");
    target_ = test::MakeRig(Ok(SampleTargetSkeleton()), "makehuman-game", "other");
    retargeter_ = Ok(Retargeter::Create(source_, target_, {}));
  }

  Motion walk_;
  Rig source_, target_;
  std::unique_ptr<Retargeter> retargeter_;
};

TEST_F(MoreAllocationFailureWithModule, ReportAndPicture) {
  const MatchReport report = Ok(BuildMatchReport(source_, "walk.bvh", target_, "other.bvh", *retargeter_));
  const std::string text = Ok(ReportText(report));
  const Motion result = Ok(RetargetClip(*retargeter_, walk_, target_, 0, walk_.FrameCount()));
  const SheetFigure source{&source_, &walk_, 0, std::vector<bool>(source_.skeleton.joints.size(), true), "walk"};
  const SheetFigure target{&target_, &result, 0, std::vector<bool>(target_.skeleton.joints.size(), false), "other"};
  const std::string picture = Ok(ContactSheetSvg(source, target, walk_.FrameCount(), 2));
  TempFolder folder("picture");
  const std::string file = folder / "sheet.svg";

  // The report and the clips stay as they were.
  const std::vector<Matrix> walkLocals = walk_.locals, resultLocals = result.locals;
  auto unchanged = [&] {
    return Ok(ReportText(report)) == text && walk_.locals == walkLocals && result.locals == resultLocals;
  };
  for (const Injector* injector : {&kNewAllocations, &kFrameworkAllocations}) {
    SCOPED_TRACE(injector->name);
    // The module and the framework allocate nothing for these.
    const bool allocates = injector == &kNewAllocations;
    EXPECT_EQ(SweepForOutOfMemory(
                  [&] { return BuildMatchReport(source_, "walk.bvh", target_, "other.bvh", *retargeter_); },
                  unchanged, *injector) > 0,
              allocates);
    EXPECT_EQ(SweepForOutOfMemory([&] { return ReportText(report); }, unchanged, *injector) > 0, allocates);
    EXPECT_EQ(SweepForOutOfMemory([&] { return ContactSheetSvg(source, target, walk_.FrameCount(), 2); }, unchanged,
                                  *injector) > 0,
              allocates);
    EXPECT_EQ(SweepForOutOfMemory([&] { return WriteContactSheet(source, target, walk_.FrameCount(), file, 2); },
                                  unchanged, *injector) > 0,
              allocates);
    EXPECT_EQ(FileText(file), picture);
  }
  EXPECT_EQ(Ok(ReportText(Ok(BuildMatchReport(source_, "walk.bvh", target_, "other.bvh", *retargeter_)))), text);
}

// The pieces of an aligned retarget and its figures, called on their own;
// only C++ allocations (they reach no module call).
TEST_F(MoreAllocationFailureWithModule, AligningMeasuringAndPlantingFeet) {
  const std::vector<std::int64_t>& sourceOf = retargeter_->SourceOfTarget();
  const std::vector<std::string> parts = {"Spine", "Neck"};
  const std::vector<Chain> chains = Ok(FindChains(source_, target_, sourceOf, parts));
  ASSERT_FALSE(chains.empty());
  const std::vector<std::int64_t> same = Ok(SameJoints(source_));
  const Vector up = StandingUp(source_, source_.restGlobals);
  Motion planted = Ok(RetargetClip(*retargeter_, walk_, target_, 0, walk_.FrameCount()));
  const std::vector<Matrix> locals = planted.locals;
  ASSERT_TRUE(LockFeet(planted, target_, up).has_value());
  const std::vector<Matrix> plantedLocals = planted.locals;
  ASSERT_NE(plantedLocals, locals);
  planted.locals = locals;
  auto unchanged = [&] { return planted.locals == locals; };

  EXPECT_GT(SweepForOutOfMemory([&] { return BoneEnds(source_, target_, sourceOf); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return FindChains(source_, target_, sourceOf, parts); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return AlignRest(source_, target_, sourceOf, chains); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return SubtreeEnds(target_.skeleton); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return SameJoints(source_); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return CompareBoneDirections(walk_, source_, 0, walk_, source_, same); },
                                kNewAllocations),
            0);
  EXPECT_GT(SweepForOutOfMemory([&] { return MeasureFootSliding(walk_, source_, up); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return LockFeet(planted, target_, up); }, unchanged, kNewAllocations), 0);
  EXPECT_EQ(planted.locals, plantedLocals);
}

TEST_F(MoreAllocationFailureWithModule, Batch) {
  TempFolder in("batchin"), out("batchout");
  for (const char* name : {"one.bvh", "two.bvh"}) std::ofstream(in / name, std::ios::binary) << test::kSmallClip;
  const Preset preset = Ok(ParsePreset(test::kSmallPreset, "small.json"));
  const Motion clip = test::Clip(test::kSmallClip);
  const Rig target = Ok(BuildRig("target", clip.skeleton, preset));
  BatchJob job;
  job.inputs = Ok(ListMotionFiles(in.path));
  job.outputFolder = out.path;
  job.clip.targetRig = std::shared_ptr<const Rig>(std::shared_ptr<const Rig>(), &target);
  job.clip.target = "target.bvh";
  job.clip.sourcePreset = preset;
  job.clip.figures = false;
  job.workers = 1;  // one thread: the same allocations in the same order on every run

  const std::vector<BatchClip> clips = Ok(RunBatch(job));
  ASSERT_EQ(clips.size(), 2u);
  for (const BatchClip& done : clips) ASSERT_FALSE(done.failure) << done.failure->Text();
  const std::string expected = FileText(out / "one.bvh");
  ASSERT_FALSE(expected.empty());
  ASSERT_EQ(FileText(out / "two.bvh"), expected);

  // A run fails as a whole, or in the clip that ran out of memory.
  auto run = [&]() -> Outcome<void> {
    Outcome<std::vector<BatchClip>> ran = RunBatch(job);
    if (!ran) return std::move(ran).failure();
    for (const BatchClip& done : ran.value())
      if (done.failure) return *done.failure;
    return {};
  };
  auto accept = [](const Outcome<void>& outcome) { return OutOfMemoryOrNoCopy(outcome.failure()); };
  auto unchanged = [&] { return job.inputs.size() == 2 && job.clip.targetRig.get() == &target; };
  for (const Injector* injector : {&kNewAllocations, &kFrameworkAllocations}) {
    SCOPED_TRACE(injector->name);
    EXPECT_GT(SweepForOutOfMemoryAccepting(run, accept, unchanged, *injector), 0);
    EXPECT_EQ(FileText(out / "one.bvh"), expected);
    EXPECT_EQ(FileText(out / "two.bvh"), expected);
  }
}

// One clip with every output and figure: a run that runs out of memory
// reports it and leaves the files that were there.
TEST_F(MoreAllocationFailureWithModule, OneClipJob) {
  TempFolder folder("clip");
  const std::string source = folder / "clip.bvh";
  std::ofstream(source, std::ios::binary) << test::kSmallClip;
  const Preset preset = Ok(ParsePreset(test::kSmallPreset, "small.json"));
  const std::vector<Preset> presets = {preset};
  ClipRequest request;
  request.source = request.target = source;
  request.presets = &presets;
  request.roundTrip = request.lockFeet = true;
  request.outputs = {folder / "out.bvh", folder / "report.json", folder / "sheet.svg", folder / "rig.json"};
  const ClipResult done = Ok(RunClip(request));
  EXPECT_TRUE(done.report && done.quality && done.roundTrip);
  const std::string* outputs[] = {&request.outputs.motion, &request.outputs.report, &request.outputs.svg,
                                  &request.outputs.rig};
  // Each file is the old one or a whole new one (the rig file's Uuids are
  // fresh on every run, of the same length).
  std::vector<std::size_t> sizes;
  for (const std::string* output : outputs) {
    sizes.push_back(FileText(*output).size());
    std::ofstream(*output) << "old";
  }
  auto whole = [&] {
    for (std::size_t i = 0; i < std::size(outputs); ++i) {
      const std::string text = FileText(*outputs[i]);
      if (text != "old" && text.size() != sizes[i]) return false;
    }
    return true;
  };
  for (const Injector* injector : {&kNewAllocations, &kFrameworkAllocations}) {
    SCOPED_TRACE(injector->name);
    EXPECT_GT(SweepForOutOfMemoryAccepting(
                  [&]() -> Outcome<void> {
                    RETARGET_TRY(RunClip(request));
                    return {};
                  },
                  [](const Outcome<void>& outcome) { return OutOfMemoryOrNoCopy(outcome.failure()); },
                  whole, *injector),
              0);
  }
}

}  // namespace
}  // namespace norvo::retarget
