// The tool library under allocation failure: each public operation is swept
// with its C++ allocations (operator new) failing in turn and, where it
// reaches the module, with the framework's allocations failing in turn.
// Every failure must come back as an out-of-memory Outcome, leave the
// caller's values and files as they were and leak nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "failing_new.h"
#include "norvo/retarget/solve/align.h"
#include "norvo/retarget/rig/anatomy.h"
#include "norvo/retarget/app/batch.h"
#include "norvo/retarget/io/bvh.h"
#include "norvo/retarget/solve/feet.h"
#include "norvo/retarget/io/formats.h"
#include "norvo/retarget/io/gltf.h"
#include "norvo/retarget/app/install.h"
#include "norvo/retarget/app/job.h"
#include "norvo/retarget/analysis/measure.h"
#include "norvo/retarget/solve/pipeline.h"
#include "norvo/retarget/rig/preset.h"
#include "norvo/retarget/analysis/report.h"
#include "norvo/retarget/io/rigfile.h"
#include "norvo/retarget/app/sample.h"
#include "norvo/retarget/analysis/svg.h"
#include "norvo/retarget/base/textfile.h"
#include "retarget_support.h"
#include "tool_support.h"

namespace norvo::retarget {
namespace {

namespace fs = std::filesystem;
using norvo::test::Injector;
using norvo::test::kExhaustedNew;
using norvo::test::kFrameworkAllocations;
using norvo::test::kNewAllocations;
using norvo::test::SweepForOutOfMemory;
using norvo::test::SweepForOutOfMemoryAccepting;
using test::Ok;
using test::ReadAll;

// Out of memory, or a module value that could not be copied, which the
// library reports as an internal failure ("NullptrError ...: no private copy
// could be made"); nothing else.
template <class T>
bool OutOfMemoryOrNoCopy(const Outcome<T>& outcome) {
  const Failure& failure = outcome.failure();
  return failure.kind == FailureKind::OutOfMemory ||
         (failure.kind == FailureKind::Internal && failure.message.starts_with("NullptrError") &&
          failure.message.ends_with(": no private copy could be made"));
}

// Whether `path` holds `text` and no temporary file of a write lies beside it.
bool Kept(const std::string& path, const std::string& text) {
  for (const auto& entry : fs::directory_iterator(fs::path(path).parent_path()))
    if (entry.path().filename().string().starts_with("." + fs::path(path).filename().string())) return false;
  return ReadAll(path) == text;
}

bool SameClip(const Motion& a, const Motion& b) {
  if (a.skeleton.joints.size() != b.skeleton.joints.size() || a.locals != b.locals || a.frameTime != b.frameTime)
    return false;
  for (std::size_t j = 0; j < a.skeleton.joints.size(); ++j)
    if (a.skeleton.joints[j].name != b.skeleton.joints[j].name ||
        a.skeleton.joints[j].format.channels != b.skeleton.joints[j].format.channels)
      return false;
  return true;
}

using ToolAllocation = test::WithTool<>;

TEST_F(ToolAllocation, ReadingAndWritingBvh) {
  const Motion clip = test::Clip(test::kSmallClip);
  const Motion copy = clip;
  const std::string in = Write("in.bvh", test::kSmallClip), out = Write("out.bvh", "old");
  EXPECT_GT(SweepForOutOfMemory([&] { return ParseBvh(test::kSmallClip, "clip.bvh"); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return ReadBvhFile(in); }, kNewAllocations), 0);
  auto unchanged = [&] { return SameClip(clip, copy); };
  EXPECT_GT(SweepForOutOfMemory([&] { return FormatBvh(clip); }, unchanged, kNewAllocations), 0);
  // A write that runs out of memory names the file and leaves the old one,
  // and no temporary file beside it.
  auto named = [&](const Outcome<void>& outcome) { return IsOutOfMemory(outcome) && outcome.failure().file == out; };
  EXPECT_GT(SweepForOutOfMemoryAccepting([&] { return WriteMotion(clip, out); }, named,
                                         [&] { return unchanged() && Kept(out, "old"); }, kNewAllocations),
            0);
  EXPECT_TRUE(SameClip(Ok(ReadBvhFile(out)), clip));
}

TEST_F(ToolAllocation, ReadingPresets) {
  const std::string file = Write("preset.json", test::kSmallPreset);
  const std::string shipped = ShippedPresetFolder();
  for (const Injector* injector : {&kNewAllocations, &kExhaustedNew}) {
    SCOPED_TRACE(injector->name);
    EXPECT_GT(SweepForOutOfMemory([&] { return ParsePreset(test::kSmallPreset, "small.json"); }, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return ReadPresetFile(file); }, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return ReadPresetFolder(shipped); }, *injector), 0);
    // A member given twice stops the parse with a partial value, which is
    // freed as the failure is reported.
    auto refused = [] {
      Outcome<Preset> outcome = ParsePreset("{\"bodyParts\": {\"Hips\": [[1, 2], {}], \"Hips\": [[3], {", "x.json");
      if (!outcome && outcome.failure().message == "the member \"Hips\" is given twice") return true;
      EXPECT_TRUE(IsOutOfMemory(outcome)) << Describe(outcome);
      return false;
    };
    EXPECT_GT(norvo::test::SweepAllocations(*injector, refused, [] { return true; }), 0);
  }
}

// Alone, without the suites that keep the module loaded.
TEST_F(ToolAllocation, LoadingTheModule) {
  // The module's path takes no C++ allocation; loading allocates through the
  // framework.
  EXPECT_EQ(SweepForOutOfMemory([&] { return LoadRetargetModule(); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return LoadRetargetModule(); }, kFrameworkAllocations), 0);
}

TEST_F(ToolAllocation, ListingFolders) {
  const std::string folder = Path("list");
  fs::create_directories(Path("list/d.bvh"));  // a folder is no clip
  for (const char* name : {"b.bvh", "A.BVH", "notes.txt", ".bvh", "c.bvh.txt"}) Write("list/" + std::string(name), "");
  fs::create_symlink(Path("list/b.bvh"), Path("list/link.bvh"));
  fs::create_symlink(Path("list/gone.bvh"), Path("list/dangling.bvh"));
  fs::create_symlink(Path("list/loop.bvh"), Path("list/loop.bvh"));
  ASSERT_EQ(::mkfifo(Path("list/pipe.bvh").c_str(), 0600), 0);
  const std::vector<std::string> expected = {Path("list/A.BVH"), Path("list/b.bvh"), Path("list/link.bvh")};
  const std::vector<std::pair<std::string, std::string>> skipped = {
      {"c.bvh.txt", "not a motion file"},    {"d.bvh", "a folder"},
      {"dangling.bvh", "a link to nothing"}, {"loop.bvh", "a link that loops"},
      {"notes.txt", "not a motion file"},    {"pipe.bvh", "not a regular file"}};
  for (const std::string& path : {folder, folder + "/"}) {
    const MotionFiles listed = Ok(ListMotionFiles(path));
    EXPECT_EQ(listed.files, expected);
    std::vector<std::pair<std::string, std::string>> seen;
    for (const FolderEntry& entry : listed.skipped) seen.emplace_back(fs::path(entry.path).filename(), entry.why);
    EXPECT_EQ(seen, skipped);
  }
  EXPECT_GT(SweepForOutOfMemory([&] { return ListMotionFiles(folder); }, kNewAllocations), 0);
  const std::string none = Path("none");
  EXPECT_EQ(ListMotionFiles(none).failure().Text(), none + ": cannot list the folder: No such file or directory");
  EXPECT_EQ(ReadPresetFolder(none).failure().Text(), none + ": cannot list the presets: No such file or directory");
  EXPECT_EQ(ReadPresetFolder(none).failure().kind, FailureKind::Io);

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

TEST_F(ToolAllocation, TheSample) {
  EXPECT_EQ(Ok(SampleWalk(1)).FrameCount(), 30);
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

// The small clip and preset for the quick sweeps; the sample's walk and its
// second rig, each with its shipped preset, for the figures.
class ToolAllocationWithModule : public test::WithTool<test::WithModule> {
 protected:
  void SetUp() override {
    WithTool::SetUp();
    walk_ = Ok(SampleWalk(1));
    source_ = test::MakeRig(walk_.skeleton, "cmu", "walk");
    target_ = test::MakeRig(Ok(SampleTargetSkeleton()), "makehuman-game", "other");
    retargeter_ = Ok(Retargeter::Create(source_, target_, {}));
  }

  const Motion clip_ = test::Clip(test::kSmallClip);
  const Preset preset_ = Ok(ParsePreset(test::kSmallPreset, "small.json"));
  Motion walk_;
  Rig source_, target_;
  std::unique_ptr<Retargeter> retargeter_;
};

TEST_F(ToolAllocationWithModule, BuildingRigs) {
  const std::vector<Preset> presets = {preset_, preset_};
  // Once first, so that the process-wide tables (interned ids, the random
  // generator) have what they keep.
  ASSERT_TRUE(BuildRigWithBestPreset("rig", clip_.skeleton, presets).has_value());
  for (const Injector* injector : {&kNewAllocations, &kFrameworkAllocations}) {
    SCOPED_TRACE(injector->name);
    EXPECT_GT(SweepForOutOfMemory([&] { return BuildRig("rig", clip_.skeleton, preset_); }, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return BuildRigWithBestPreset("rig", clip_.skeleton, presets); }, *injector),
              0);
  }
  // The sample walk's rig with names that say nothing: the shape maps it.
  Skeleton nameless = walk_.skeleton;
  for (std::size_t j = 0; j < nameless.joints.size(); ++j) nameless.joints[j].name = "j" + std::to_string(j);
  ASSERT_EQ(Ok(BuildRigWithBestPreset("nameless", nameless, presets)).preset.name, kGenericPreset);
  const std::vector<Matrix> rest = Ok(RestOf(nameless)).globals;
  EXPECT_GT(SweepForOutOfMemory([&] { return MapAnatomy(nameless, rest); }, kNewAllocations), 0);
  for (const Injector* injector : {&kNewAllocations, &kFrameworkAllocations})
    EXPECT_GT(SweepForOutOfMemory([&] { return BuildRigWithBestPreset("nameless", nameless, presets); }, *injector), 0);
}

TEST_F(ToolAllocationWithModule, ReadingAndWritingRigFiles) {
  const Rig rig = Ok(BuildRig("rig", clip_.skeleton, preset_));
  const std::string text = Ok(FormatRigFile(rig));
  const std::string in = Write("in.json", text), out = Path("out.json");
  ASSERT_TRUE(ParseRigFile(text, "rig.json").has_value());
  auto unchanged = [&] { return Ok(FormatRigFile(rig)) == text; };
  for (const Injector* injector : {&kNewAllocations, &kExhaustedNew, &kFrameworkAllocations}) {
    SCOPED_TRACE(injector->name);
    EXPECT_GT(SweepForOutOfMemory([&] { return ParseRigFile(text, "rig.json"); }, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return ReadRigFile(in); }, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return FormatRigFile(rig); }, unchanged, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return WriteRigFile(rig, out); }, unchanged, *injector), 0);
  }
  EXPECT_EQ(Ok(FormatRigFile(Ok(ReadRigFile(out)))), text);
}

// A glTF clip, and a VRM model whose humanoid table makes a rig in the
// module.
TEST_F(ToolAllocationWithModule, ReadingGltf) {
  const std::string clip = Write("clip.gltf", test::kSmallGltf), model = Write("model.vrm", test::kSmallVrm0);
  for (const Injector* injector : {&kNewAllocations, &kExhaustedNew, &kFrameworkAllocations}) {
    SCOPED_TRACE(injector->name);
    EXPECT_EQ(SweepForOutOfMemory([&] { return ReadGltfFile(clip); }, *injector) > 0,
              injector != &kFrameworkAllocations);
    EXPECT_GT(SweepForOutOfMemory([&] { return ReadGltfFile(model); }, *injector), 0);
  }
}

// Writing glTF: a copy of the model a motion was read from, a node tree and
// a VRM animation.
TEST_F(ToolAllocationWithModule, WritingGltf) {
  const Motion model = Ok(ReadGltfFile(Write("clip.gltf", test::kSmallGltf))).motion;
  const Rig rig = Ok(BuildRig("rig", clip_.skeleton, preset_));
  const MotionContext context{&rig, "clip"};
  for (const Injector* injector : {&kNewAllocations, &kExhaustedNew}) {
    SCOPED_TRACE(injector->name);
    EXPECT_GT(SweepForOutOfMemory([&] { return FormatGlb(model, context); }, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return FormatGltf(clip_, context); }, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return FormatVrma(clip_, context); }, *injector), 0);
  }
}

TEST_F(ToolAllocationWithModule, WritingReportsAsJson) {
  const Rig rig = Ok(BuildRig("rig", clip_.skeleton, preset_));
  auto retargeter = Ok(Retargeter::Create(rig, rig, {}));
  MatchReport report = Ok(BuildMatchReport(rig, "a.bvh", rig, "b.bvh", *retargeter));
  report.source.untakenJoints.push_back({"Tail", "Spine", "Spine", "Tail"});
  report.quality = SegmentFigures{{1, 2, 3, 4}, {{"spine", true, true, {1, 2, 3, 4}}, {"neck", true, false, {}}}};
  report.sourceFeet = report.resultFeet = FeetFigures{true, {0.5, 0.25}, {0, 0.1}, {0.02, 0.03}, {3, 4}};
  const std::string text = Ok(ReportJson(report));
  const std::string path = Path("report.json");
  // A report that cannot be written leaves the file that was there.
  auto unchanged = [&] { return Ok(ReportJson(report)) == text && ReadAll(path) == "old"; };
  for (const Injector* injector : {&kNewAllocations, &kExhaustedNew}) {
    SCOPED_TRACE(injector->name);
    Write("report.json", "old");
    EXPECT_GT(SweepForOutOfMemory([&] { return ReportJson(report); }, unchanged, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return WriteReport(report, path); }, unchanged, *injector), 0);
    EXPECT_EQ(ReadAll(path), text);
  }
  // Writing the text keeps the old file, and leaves no temporary file, when
  // memory runs out.
  Write("report.json", "old");
  EXPECT_GT(
      SweepForOutOfMemory([&] { return WriteTextFile(path, "new"); }, [&] { return Kept(path, "old"); }, kExhaustedNew),
      0);
  EXPECT_EQ(ReadAll(path), "new");
}

TEST_F(ToolAllocationWithModule, Retargeting) {
  const Rig source = Ok(BuildRig("source", clip_.skeleton, preset_));
  const Rig target = Ok(BuildRig("target", clip_.skeleton, preset_));
  auto retargeter = Ok(Retargeter::Create(source, target, {}));
  std::vector<Matrix> expected(std::size_t(target.JointCount()));
  ASSERT_TRUE(retargeter->RetargetFrame(clip_.Frame(1), expected).has_value());
  const std::string expectedText = Ok(FormatBvh(Ok(RetargetClip(*retargeter, clip_, target, 0, 2))));
  // The shared rest values the retargeter reads stay as they are.
  const Matrix rest = target.restTransforms[1].GetGlobalMatrix();
  auto unchanged = [&] { return target.restTransforms[1].GetGlobalMatrix() == rest; };

  // Made before the sweep: the default options hold the chains to spread.
  const RetargetOptions options;
  for (const Injector* injector : {&kNewAllocations, &kFrameworkAllocations}) {
    SCOPED_TRACE(injector->name);
    auto accept = [](const auto& outcome) { return OutOfMemoryOrNoCopy(outcome); };
    EXPECT_GT(SweepForOutOfMemoryAccepting([&] { return Retargeter::Create(source, target, options); }, accept,
                                           unchanged, *injector),
              0);
    // The frame step allocates nothing.
    std::vector<Matrix> locals(expected.size());
    EXPECT_EQ(SweepForOutOfMemoryAccepting([&] { return retargeter->RetargetFrame(clip_.Frame(1), locals); }, accept,
                                           unchanged, *injector),
              0);
    EXPECT_EQ(locals, expected);
    // A clip allocates its motion alone, outside the module.
    Motion retargeted;
    EXPECT_EQ(SweepForOutOfMemoryAccepting(
                  [&]() -> Outcome<void> {
                    RETARGET_ASSIGN(retargeted, RetargetClip(*retargeter, clip_, target, 0, 2));
                    return {};
                  },
                  accept, unchanged, *injector) > 0,
              injector == &kNewAllocations);
    EXPECT_EQ(Ok(FormatBvh(retargeted)), expectedText);
  }
}

TEST_F(ToolAllocationWithModule, ReportAndPicture) {
  const MatchReport report = Ok(BuildMatchReport(source_, "walk.bvh", target_, "other.bvh", *retargeter_));
  const std::string text = Ok(ReportText(report));
  const Motion result = Ok(RetargetClip(*retargeter_, walk_, target_, 0, walk_.FrameCount()));
  const SheetFigure source{&source_, &walk_, 0, std::vector<bool>(source_.skeleton.joints.size(), true), "walk"};
  const SheetFigure target{&target_, &result, 0, std::vector<bool>(target_.skeleton.joints.size(), false), "other"};
  const std::string picture = Ok(ContactSheetSvg(source, target, walk_.FrameCount(), 2));
  const std::string file = Path("sheet.svg");

  // The report and the clips stay as they were.
  const std::vector<Matrix> walkLocals = walk_.locals, resultLocals = result.locals;
  auto unchanged = [&] {
    return Ok(ReportText(report)) == text && walk_.locals == walkLocals && result.locals == resultLocals;
  };
  for (const Injector* injector : {&kNewAllocations, &kFrameworkAllocations}) {
    SCOPED_TRACE(injector->name);
    // The module and the framework allocate nothing for these.
    const bool allocates = injector == &kNewAllocations;
    EXPECT_EQ(
        SweepForOutOfMemory([&] { return BuildMatchReport(source_, "walk.bvh", target_, "other.bvh", *retargeter_); },
                            unchanged, *injector) > 0,
        allocates);
    EXPECT_EQ(SweepForOutOfMemory([&] { return ReportText(report); }, unchanged, *injector) > 0, allocates);
    EXPECT_EQ(SweepForOutOfMemory([&] { return ContactSheetSvg(source, target, walk_.FrameCount(), 2); }, unchanged,
                                  *injector) > 0,
              allocates);
    EXPECT_EQ(SweepForOutOfMemory([&] { return WriteContactSheet(source, target, walk_.FrameCount(), file, 2); },
                                  unchanged, *injector) > 0,
              allocates);
    EXPECT_EQ(ReadAll(file), picture);
  }
  EXPECT_EQ(Ok(ReportText(Ok(BuildMatchReport(source_, "walk.bvh", target_, "other.bvh", *retargeter_)))), text);
}

// The pieces of an aligned retarget and its figures, called on their own;
// only C++ allocations (they reach no module call).
TEST_F(ToolAllocationWithModule, AligningMeasuringAndPlantingFeet) {
  const std::vector<std::int64_t>& sourceOf = retargeter_->SourceOfTarget();
  const std::vector<std::string> parts = {"Spine", "Neck"};
  const std::vector<Chain> chains = Ok(FindChains(source_, target_, sourceOf, parts));
  ASSERT_FALSE(chains.empty());
  const Vector up = StandingUp(source_, source_.restGlobals);
  Motion planted = Ok(RetargetClip(*retargeter_, walk_, target_, 0, walk_.FrameCount()));
  const FootContacts contacts = Ok(FindContacts(walk_, source_, up));
  const std::vector<Matrix> locals = planted.locals;
  ASSERT_TRUE(LockFeet(planted, target_, up, contacts).has_value());
  const std::vector<Matrix> plantedLocals = planted.locals;
  ASSERT_NE(plantedLocals, locals);
  planted.locals = locals;
  auto unchanged = [&] { return planted.locals == locals; };

  EXPECT_GT(SweepForOutOfMemory([&] { return BoneEnds(source_, target_, sourceOf); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return FindChains(source_, target_, sourceOf, parts); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return AlignRest(source_, target_, sourceOf, chains); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return SubtreeEnds(target_.skeleton); }, kNewAllocations), 0);
  EXPECT_GT(
      SweepForOutOfMemory([&] { return CompareSegments(walk_, source_, 0, walk_, source_, {}, {}); }, kNewAllocations),
      0);
  EXPECT_GT(SweepForOutOfMemory([&] { return FindContacts(walk_, source_, up); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return FindFloor(walk_, source_, up); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return MeasureFeet(walk_, source_, up, 0.0, contacts); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return LockFeet(planted, target_, up, contacts); }, unchanged, kNewAllocations),
            0);
  EXPECT_EQ(planted.locals, plantedLocals);
}

TEST_F(ToolAllocationWithModule, Batch) {
  fs::create_directories(Path("batchin"));
  fs::create_directories(Path("batchout"));
  for (const char* name : {"one.bvh", "two.bvh"}) Write("batchin/" + std::string(name), test::kSmallClip);
  const Rig target = Ok(BuildRig("target", clip_.skeleton, preset_));
  BatchJob job;
  job.inputs = Ok(ListMotionFiles(Path("batchin"))).files;
  job.outputFolder = Path("batchout");
  job.clip.targetRig = std::shared_ptr<const Rig>(std::shared_ptr<const Rig>(), &target);
  job.clip.target = "target.bvh";
  job.clip.sourcePreset = preset_;
  job.clip.figures.take = false;
  job.workers = 1;  // one thread: the same allocations in the same order on every run

  const std::vector<BatchClip> clips = Ok(RunBatch(job));
  ASSERT_EQ(clips.size(), 2u);
  for (const BatchClip& done : clips) ASSERT_FALSE(done.failure) << done.failure->Text();
  const std::string expected = ReadAll(Path("batchout/one.bvh"));
  ASSERT_FALSE(expected.empty());
  ASSERT_EQ(ReadAll(Path("batchout/two.bvh")), expected);

  // A run fails as a whole, or in the clip that ran out of memory.
  auto run = [&]() -> Outcome<void> {
    RETARGET_ASSIGN(const std::vector<BatchClip> ran, RunBatch(job));
    for (const BatchClip& done : ran)
      if (done.failure) return *done.failure;
    return {};
  };
  auto accept = [](const Outcome<void>& outcome) { return OutOfMemoryOrNoCopy(outcome); };
  auto unchanged = [&] { return job.inputs.size() == 2 && job.clip.targetRig.get() == &target; };
  for (const Injector* injector : {&kNewAllocations, &kFrameworkAllocations}) {
    SCOPED_TRACE(injector->name);
    EXPECT_GT(SweepForOutOfMemoryAccepting(run, accept, unchanged, *injector), 0);
    EXPECT_EQ(ReadAll(Path("batchout/one.bvh")), expected);
    EXPECT_EQ(ReadAll(Path("batchout/two.bvh")), expected);
  }
}

// A whole folder with its subfolder, resumed from its manifest: a run fails
// as a whole or in a clip, and leaves nothing open.
TEST_F(ToolAllocationWithModule, FolderBatch) {
  fs::create_directories(Path("library/sub"));
  for (const char* name : {"one.bvh", "sub/two.bvh"}) Write("library/" + std::string(name), test::kSmallClip);
  const Rig target = Ok(BuildRig("target", clip_.skeleton, preset_));
  FolderBatch batch;
  batch.folder = Path("library");
  batch.outputFolder = Path("out");
  batch.clip.targetRig = std::shared_ptr<const Rig>(std::shared_ptr<const Rig>(), &target);
  batch.clip.target = "target.bvh";
  batch.clip.sourcePreset = preset_;
  batch.clip.figures.take = false;
  batch.workers = 1;
  batch.recursive = true;
  batch.manifest = Path("manifest.jsonl");
  auto run = [&]() -> Outcome<void> {
    RETARGET_ASSIGN(const FolderBatchTotals totals, RunFolderBatch(batch));
    for (const BatchClip& done : totals.clips)
      if (done.failure) return *done.failure;
    return {};
  };
  auto accept = [](const Outcome<void>& outcome) { return OutOfMemoryOrNoCopy(outcome); };
  auto unchanged = [&] { return batch.clip.targetRig.get() == &target; };
  // Each attempt that runs the clips syncs its lines to the disk: the
  // clips' own allocations are swept in Batch above.
  ASSERT_TRUE(run().has_value());
  EXPECT_EQ(ReadAll(Path("out/sub/two.bvh")), ReadAll(Path("out/one.bvh")));
  batch.resume = true;
  EXPECT_GT(SweepForOutOfMemoryAccepting(run, accept, unchanged, kNewAllocations), 0);
  EXPECT_EQ(Ok(RunFolderBatch(batch)).alreadyDone.size(), 2u);
}


// reports it and leaves the files that were there.
TEST_F(ToolAllocationWithModule, OneClipJob) {
  const std::string source = Write("clip.bvh", test::kSmallClip);
  const Preset preset = Ok(ParsePreset(test::kSmallPreset, "small.json"));
  const std::vector<Preset> presets = {preset};
  ClipRequest request;
  request.source = request.target = source;
  request.presets = &presets;
  request.figures.roundTrip = request.feet.lock = true;
  request.feet.plant = false;
  request.outputs = {Path("out.bvh"), Path("report.json"), Path("sheet.svg"), Path("rig.json"), Path("page.html")};
  const ClipResult done = Ok(RunClip(request));
  EXPECT_TRUE(done.report && done.quality && done.roundTrip);
  const std::string* outputs[] = {&request.outputs.motion, &request.outputs.report, &request.outputs.svg,
                                  &request.outputs.rig};
  // Each file is the old one or a whole new one (the rig file's Uuids are
  // fresh on every run, of the same length).
  std::vector<std::size_t> sizes;
  for (const std::string* output : outputs) {
    sizes.push_back(ReadAll(*output).size());
    std::ofstream(*output) << "old";
  }
  auto whole = [&] {
    for (std::size_t i = 0; i < std::size(outputs); ++i) {
      const std::string text = ReadAll(*outputs[i]);
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
                  [](const Outcome<void>& outcome) { return OutOfMemoryOrNoCopy(outcome); }, whole, *injector),
              0);
  }
}

}  // namespace
}  // namespace norvo::retarget
