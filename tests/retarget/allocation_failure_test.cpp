// The tool library under allocation failure: each public operation is swept
// with its C++ allocations (operator new) failing in turn and, where it
// reaches the module, with the framework's allocations failing in turn.
// Every failure must come back as an out-of-memory Outcome, leave the
// caller's values as they were and leak nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <unistd.h>

#include "failing_new.h"
#include "norvo/retarget/bvh.h"
#include "norvo/retarget/formats.h"
#include "norvo/retarget/pipeline.h"
#include "norvo/retarget/preset.h"
#include "norvo/retarget/report.h"
#include "norvo/retarget/rigfile.h"
#include "norvo/retarget/textfile.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

using norvo::test::kExhaustedNew;
using norvo::test::kFrameworkAllocations;
using norvo::test::kNewAllocations;
using norvo::test::SweepForOutOfMemory;
using norvo::test::SweepForOutOfMemoryAccepting;

std::string TempPath(const char* what) {
  return (std::filesystem::temp_directory_path() / ("norvo_sweep_" + std::to_string(::getpid()) + what)).string();
}

bool SameClip(const Motion& a, const Motion& b) {
  if (a.skeleton.joints.size() != b.skeleton.joints.size() || a.locals != b.locals || a.frameTime != b.frameTime)
    return false;
  for (std::size_t j = 0; j < a.skeleton.joints.size(); ++j)
    if (a.skeleton.joints[j].name != b.skeleton.joints[j].name || a.skeleton.joints[j].channels != b.skeleton.joints[j].channels)
      return false;
  return true;
}

TEST(AllocationFailure, ReadingAndWritingBvh) {
  const Motion clip = test::Clip(test::kSmallClip);
  const Motion copy = clip;
  const std::string in = TempPath("in.bvh"), out = TempPath("out.bvh");
  std::ofstream(in, std::ios::binary) << test::kSmallClip;
  EXPECT_GT(SweepForOutOfMemory([&] { return ParseBvh(test::kSmallClip, "clip.bvh"); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return ReadBvhFile(in); }, kNewAllocations), 0);
  auto unchanged = [&] { return SameClip(clip, copy); };
  EXPECT_GT(SweepForOutOfMemory([&] { return FormatBvh(clip); }, unchanged, kNewAllocations), 0);
  // A write that runs out of memory names the file and leaves the old one,
  // and no temporary file beside it.
  std::ofstream(out, std::ios::binary) << "old";
  auto kept = [&] {
    std::ifstream file(out, std::ios::binary);
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(out).parent_path()))
      if (entry.path().filename().string().starts_with("." + std::filesystem::path(out).filename().string()))
        return false;
    return unchanged() && std::string(std::istreambuf_iterator<char>(file), {}) == "old";
  };
  auto named = [&](const Outcome<void>& outcome) { return IsOutOfMemory(outcome) && outcome.failure().file == out; };
  EXPECT_GT(SweepForOutOfMemoryAccepting([&] { return WriteMotion(clip, out); }, named, kept, kNewAllocations), 0);
  EXPECT_TRUE(SameClip(test::Ok(ReadBvhFile(out)), clip));
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(AllocationFailure, ReadingPresets) {
  const std::string file = TempPath("preset.json");
  std::ofstream(file, std::ios::binary) << test::kSmallPreset;
  const std::string shipped = ShippedPresetFolder();
  for (const norvo::test::Injector* injector : {&kNewAllocations, &kExhaustedNew}) {
    SCOPED_TRACE(injector->name);
    EXPECT_GT(SweepForOutOfMemory([&] { return ParsePreset(test::kSmallPreset, "small.json"); }, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return ReadPresetFile(file); }, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return ReadPresetFolder(shipped); }, *injector), 0);
  }
  // A text that is not JSON: the parse stops with a partial value, which is
  // freed as the failure is reported; a member given again empties the
  // value it replaces.
  for (const norvo::test::Injector* injector : {&kNewAllocations, &kExhaustedNew}) {
    SCOPED_TRACE(injector->name);
    auto refused = [] {
      Outcome<Preset> outcome = ParsePreset("{\"bodyParts\": {\"Hips\": [[1, 2], {}], \"Hips\": [[3], {", "x.json");
      if (!outcome && outcome.failure().message.starts_with("not valid JSON")) return true;
      EXPECT_TRUE(IsOutOfMemory(outcome)) << Describe(outcome);
      return false;
    };
    EXPECT_GT(norvo::test::SweepAllocations(*injector, refused, [] { return true; }), 0);
  }
  std::remove(file.c_str());
}

// Alone, without the suites that keep the module loaded.
TEST(AllocationFailure, LoadingTheModule) {
  // The module's path takes no C++ allocation; loading allocates through the
  // framework.
  EXPECT_EQ(SweepForOutOfMemory([&] { return LoadRetargetModule(); }, kNewAllocations), 0);
  EXPECT_GT(SweepForOutOfMemory([&] { return LoadRetargetModule(); }, kFrameworkAllocations), 0);
}

class AllocationFailureWithModule : public test::WithModule {
 protected:
  const Motion clip_ = test::Clip(test::kSmallClip);
  const Preset preset_ = test::Ok(ParsePreset(test::kSmallPreset, "small.json"));
};

TEST_F(AllocationFailureWithModule, BuildingRigs) {
  const std::vector<Preset> presets = {preset_, preset_};
  // Once first, so that the process-wide tables (interned ids, the random
  // generator) have what they keep.
  ASSERT_TRUE(BuildRigWithBestPreset("rig", clip_.skeleton, presets).has_value());
  for (const norvo::test::Injector* injector : {&kNewAllocations, &kFrameworkAllocations}) {
    SCOPED_TRACE(injector->name);
    EXPECT_GT(SweepForOutOfMemory([&] { return BuildRig("rig", clip_.skeleton, preset_); }, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return BuildRigWithBestPreset("rig", clip_.skeleton, presets); }, *injector),
              0);
  }
}

TEST_F(AllocationFailureWithModule, ReadingAndWritingRigFiles) {
  const Rig rig = test::Ok(BuildRig("rig", clip_.skeleton, preset_));
  const std::string text = test::Ok(FormatRigFile(rig));
  const std::string in = TempPath("in.json"), out = TempPath("out.json");
  std::ofstream(in, std::ios::binary) << text;
  ASSERT_TRUE(ParseRigFile(text, "rig.json").has_value());
  auto unchanged = [&] { return test::Ok(FormatRigFile(rig)) == text; };
  for (const norvo::test::Injector* injector : {&kNewAllocations, &kExhaustedNew, &kFrameworkAllocations}) {
    SCOPED_TRACE(injector->name);
    EXPECT_GT(SweepForOutOfMemory([&] { return ParseRigFile(text, "rig.json"); }, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return ReadRigFile(in); }, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return FormatRigFile(rig); }, unchanged, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return WriteRigFile(rig, out); }, unchanged, *injector), 0);
  }
  EXPECT_EQ(test::Ok(FormatRigFile(test::Ok(ReadRigFile(out)))), text);
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST_F(AllocationFailureWithModule, WritingReportsAsJson) {
  const Rig rig = test::Ok(BuildRig("rig", clip_.skeleton, preset_));
  auto retargeter = test::Ok(Retargeter::Create(rig, rig, {}));
  MatchReport report = test::Ok(BuildMatchReport(rig, "a.bvh", rig, "b.bvh", *retargeter));
  report.source.untakenJoints.push_back({"Tail", "Spine", "Spine", "Tail"});
  report.quality = BoneDirectionFigures{{1, 2, 3, 4}, {{"Spine", {1, 2, 3, 4}}}};
  report.sourceFeet = report.resultFeet = FootSliding{true, {0.5, 0.25}, {3, 4}};
  const std::string text = test::Ok(ReportJson(report));
  const std::string path = TempPath("report.json");
  auto fileText = [&] {
    std::ifstream written(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(written), {});
  };
  // A report that cannot be written leaves the file that was there.
  auto unchanged = [&] { return test::Ok(ReportJson(report)) == text && fileText() == "old"; };
  for (const norvo::test::Injector* injector : {&kNewAllocations, &kExhaustedNew}) {
    SCOPED_TRACE(injector->name);
    std::ofstream(path, std::ios::binary) << "old";
    EXPECT_GT(SweepForOutOfMemory([&] { return ReportJson(report); }, unchanged, *injector), 0);
    EXPECT_GT(SweepForOutOfMemory([&] { return WriteReport(report, path); }, unchanged, *injector), 0);
    EXPECT_EQ(fileText(), text);
  }
  // Writing the text keeps the old file, and leaves no temporary file, when
  // memory runs out.
  std::ofstream(path, std::ios::binary) << "old";
  auto kept = [&] {
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()))
      if (entry.path().filename().string().starts_with("." + std::filesystem::path(path).filename().string()))
        return false;
    return fileText() == "old";
  };
  EXPECT_GT(SweepForOutOfMemory([&] { return WriteTextFile(path, "new"); }, kept, kExhaustedNew), 0);
  EXPECT_EQ(fileText(), "new");
  std::remove(path.c_str());
}

// A copy-on-write value that cannot be copied is the module's NullptrError
// "no private copy could be made", which the library reports as an internal
// failure; every other failure is out of memory.
template <class T>
bool OutOfMemoryOrNoCopy(const Outcome<T>& outcome) {
  return IsOutOfMemory(outcome) ||
         (outcome.failure().kind == FailureKind::Internal &&
          outcome.failure().message.find("NullptrError") == 0 &&
          outcome.failure().message.ends_with(": no private copy could be made"));
}

TEST_F(AllocationFailureWithModule, Retargeting) {
  const Rig source = test::Ok(BuildRig("source", clip_.skeleton, preset_));
  const Rig target = test::Ok(BuildRig("target", clip_.skeleton, preset_));
  auto retargeter = test::Ok(Retargeter::Create(source, target, {}));
  std::vector<Matrix> expected(std::size_t(target.JointCount()));
  ASSERT_TRUE(retargeter->RetargetFrame(clip_.Frame(1), expected).has_value());
  const std::string expectedText = test::Ok(FormatBvh(test::Ok(RetargetClip(*retargeter, clip_, target, 0, 2))));
  // The shared rest values the retargeter reads stay as they are.
  const Matrix rest = target.restTransforms[1].GetGlobalMatrix();
  auto unchanged = [&] { return target.restTransforms[1].GetGlobalMatrix() == rest; };

  // Made before the sweep: the default options hold the chains to spread.
  const RetargetOptions options;
  for (const norvo::test::Injector* injector : {&kNewAllocations, &kFrameworkAllocations}) {
    SCOPED_TRACE(injector->name);
    auto accept = [](const auto& outcome) { return OutOfMemoryOrNoCopy(outcome); };
    EXPECT_GT(SweepForOutOfMemoryAccepting([&] { return Retargeter::Create(source, target, options); }, accept,
                                               unchanged, *injector),
              0);
    // The frame step allocates in the module only.
    std::vector<Matrix> locals(expected.size());
    EXPECT_EQ(SweepForOutOfMemoryAccepting([&] { return retargeter->RetargetFrame(clip_.Frame(1), locals); },
                                               accept, unchanged, *injector) > 0,
              injector == &kFrameworkAllocations);
    EXPECT_EQ(locals, expected);
    Motion retargeted;
    EXPECT_GT(SweepForOutOfMemoryAccepting(
                  [&]() -> Outcome<void> {
                    Outcome<Motion> clip = RetargetClip(*retargeter, clip_, target, 0, 2);
                    if (!clip) return std::move(clip).failure();
                    retargeted = std::move(clip).value();
                    return {};
                  },
                  accept, unchanged, *injector),
              0);
    EXPECT_EQ(test::Ok(FormatBvh(retargeted)), expectedText);
  }
}

}  // namespace
}  // namespace norvo::retarget
