// Threads sharing values: several threads retarget their own clips onto one
// shared target rig while others copy the shared definition, pose and
// association and change their copies. Built with ThreadSanitizer (the
// `tsan` preset) this shows the reference counts, copy-on-write, the
// interned ids, the registries and the static-call lookups race-free; in
// every build it shows that no thread sees another's changes.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "norvo/retarget/app/job.h"
#include "norvo/retarget/solve/pipeline.h"
#include "retarget_support.h"
#include "test_support.h"

namespace norvo::retarget {
namespace {

using test::Ok;

// Frames retargeted per clip: enough for every thread to overlap with the
// others, few enough for a sanitized build.
constexpr std::int64_t kFrames = 40;
constexpr int kRounds = 30;

struct Source {
  Motion clip;
  std::vector<std::vector<Matrix>> expected;  // target locals per frame, made on one thread
};

std::vector<std::vector<Matrix>> Retarget(const Rig& source, const Rig& target, const Motion& clip) {
  auto retargeter = Ok(Retargeter::Create(source, target, {}));
  std::vector<std::vector<Matrix>> frames;
  std::vector<Matrix> locals(std::size_t(target.JointCount()));
  for (std::int64_t f = 0; f < std::min(kFrames, clip.FrameCount()); ++f) {
    if (!retargeter->RetargetFrame(clip.Frame(f), locals)) return {};
    frames.push_back(locals);
  }
  return frames;
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

using Threads = test::WithModule;

TEST_F(Threads, RetargetOntoOneSharedTargetWhileOthersChangeTheirCopies) {
  const std::vector<Preset> presets = test::ShippedPresets();
  const Motion targetClip = test::SharedClip("cmu_12_03.bvh");
  const Rig target = Ok(BuildRigWithBestPreset("target", targetClip.skeleton, presets));
  std::vector<Source> sources;
  for (const char* file : {"cmu_02_01_walk.bvh", "makehuman_zombie_walk.bvh", "cmu_12_03.bvh"}) {
    Source source{test::SharedClip(file), {}};
    Rig rig = Ok(BuildRigWithBestPreset(file, source.clip.skeleton, presets));
    source.expected = Retarget(rig, target, source.clip);
    ASSERT_FALSE(source.expected.empty()) << file;
    sources.push_back(std::move(source));
  }

  // The shared values the changing threads start from.
  const CharacterDefinition definition = target.definition;
  const CharacterPose restPose = definition.GetSkeletonRestPose();
  AssociationStatistics statistics;
  const CharacterAssociation association = norvo::test::Ok(RetargetBaseHelperInterface::AssociateBodyPartsByIdentifier(
      target.bodyParts[0], target.bodyParts[0], statistics));
  const Int restCount = restPose.GetNodeTransformCount();
  const Int controllerCount = definition.GetControllers().GetCount();
  const Matrix firstGlobal = target.restTransforms[0].GetGlobalMatrix();

  std::atomic<int> failures{0};
  auto check = [&](bool ok) {
    if (!ok) failures.fetch_add(1, std::memory_order_relaxed);
  };
  std::vector<std::thread> threads;
  std::latch start(int(sources.size()) + 3);  // every thread begins at once
  // Each retargeting thread builds its source rig and its own retargeter
  // onto the shared target, and must get what one thread alone got.
  for (const Source& source : sources) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      Outcome<Rig> rig = BuildRigWithBestPreset("source", source.clip.skeleton, presets);
      check(rig.has_value());
      if (rig) check(Retarget(rig.value(), target, source.clip) == source.expected);
    });
  }
  // Each changing thread copies the shared values, changes its copies and
  // finds its own changes in them, round after round.
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        CharacterDefinition myDefinition = definition;
        Result<Uuid> controller = Uuid::Random();
        check(controller.has_value());
        BaseArray<Uuid> controllers;
        check(controllers.Append(controller.value()).has_value());
        check(myDefinition.SetControllers(controllers).has_value());
        check(myDefinition.GetControllers().GetCount() == 1);

        CharacterPose myPose = restPose;
        Result<const CharacterPoseInterface::Array&> nodes = myPose.GetNodeTransformArray();
        check(nodes.has_value());
        if (!nodes) continue;
        CharacterPoseInterface::Array myNodes;
        check(myNodes.CopyFrom(nodes.value()).has_value());
        Matrix moved = firstGlobal;
        moved.off.x += 1.0 + t;
        check(myNodes[0].SetGlobalMatrix(moved).has_value());  // copies the shared node transform
        myNodes.Erase(myNodes.GetCount() - 1);
        check(myPose.SetNodeTransformArray(myNodes).has_value());
        check(myDefinition.SetSkeletonRestPose(myPose).has_value());
        check(myDefinition.GetSkeletonRestPose().GetNodeTransformCount() == restCount - 1);

        CharacterAssociation myAssociation = association;
        Result<InternedId> id = InternedId::Make("thread" + std::to_string(t) + "." + std::to_string(round));
        check(id.has_value());
        check(myAssociation.AssociateUuid(controller.value(), target.JointUuid(0)).has_value());
        check(myAssociation.AssociateId(id.value(), id.value()).has_value());
        Result<Uuid> partner = myAssociation.GetAssociatedUuid(controller.value());
        check(partner.has_value() && partner.value() == target.JointUuid(0));
        check(!association.GetAssociatedUuid(controller.value()).has_value());
        check(!myPose.ToString().View().empty());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);

  // The shared values are as they were.
  EXPECT_EQ(definition.GetControllers().GetCount(), controllerCount);
  EXPECT_EQ(definition.GetSkeletonRestPose().GetNodeTransformCount(), restCount);
  EXPECT_EQ(restPose.GetNodeTransformCount(), restCount);
  EXPECT_EQ(target.restTransforms[0].GetGlobalMatrix(), firstGlobal);
  EXPECT_EQ(norvo::test::Ok(restPose.GetNodeTransformByID(target.JointUuid(0))).GetGlobalMatrix(), firstGlobal);
}

// A long clip's figures are taken on a second thread while its result is
// written: the figures, the report and the file are those of one thread.
TEST_F(Threads, ALongClipGivesTheSameFiguresAndFilesOnOneThreadAsOnTwo) {
  const std::vector<Preset> presets = test::ShippedPresets();
  const Motion walk = test::SharedClip("cmu_02_01_walk.bvh");
  Motion longWalk = walk;  // ten times over: 3,440 frames
  for (int i = 1; i < 10; ++i) longWalk.locals.insert(longWalk.locals.end(), walk.locals.begin(), walk.locals.end());
  const std::string out = ::testing::TempDir() + "threads_long_walk";
  std::vector<std::string> texts;
  for (unsigned threads : {1u, 0u}) {
    ClipRequest request;
    request.source = "long_walk.bvh";
    request.sourceMotion = &longWalk;
    request.target = test::SharedPath("makehuman_zombie_walk.bvh");
    request.presets = &presets;
    request.figures.roundTrip = true;
    request.threads = threads;
    request.outputs.motion = out + ".bvh";
    request.outputs.report = out + ".json";
    const ClipResult result = Ok(RunClip(request));
    ASSERT_TRUE(result.quality && result.roundTrip && result.resultFeet);
    texts.push_back(ReadAll(out + ".bvh") + ReadAll(out + ".json"));
  }
  EXPECT_EQ(texts[0], texts[1]);
}

}  // namespace
}  // namespace norvo::retarget
