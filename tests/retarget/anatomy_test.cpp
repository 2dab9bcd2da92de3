// Rigs whose names no preset knows: the skeleton's shape and generic words
// fill the body parts. The shared clips with every joint renamed j01, j02,
// ... map as the originals do, as sources and as targets, and the skinned
// human of another rig family maps whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "norvo/retarget/rig/anatomy.h"
#include "norvo/retarget/io/formats.h"
#include "norvo/retarget/app/job.h"
#include "norvo/retarget/analysis/measure.h"
#include "norvo/retarget/solve/pipeline.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

using test::Ok;
using test::SharedPath;

// The body parts whose first joints make the landmarks, and the trunk.
const char* const kKeyParts[] = {
    "Hips",         "Spine",    "Chest",         "Neck",          "Head",          "LeftShoulder", "LeftUpperArm",
    "LeftForeArm",  "LeftHand", "RightShoulder", "RightUpperArm", "RightForeArm",  "RightHand",    "LeftUpperLeg",
    "LeftLowerLeg", "LeftFoot", "LeftToes",      "RightUpperLeg", "RightLowerLeg", "RightFoot",    "RightToes"};

// The skeleton with every joint named j01, j02, ... in file order.
Skeleton Renamed(Skeleton skeleton) {
  for (std::size_t j = 0; j < skeleton.joints.size(); ++j) {
    const std::string number = std::to_string(j + 1);
    skeleton.joints[j].name = "j" + std::string(number.size() < 2 ? 1 : 0, '0') + number;
  }
  return skeleton;
}

using Anatomy = test::WithModule;

TEST_F(Anatomy, RenamedClipsMapAsTheirOriginals) {
  const std::vector<Preset> presets = test::ShippedPresets();
  for (const char* clip : {"cmu_02_01_walk.bvh", "cmu_12_03.bvh", "makehuman_zombie_walk.bvh", "boxing_toes.bvh"}) {
    SCOPED_TRACE(clip);
    const Motion original = test::SharedClip(clip);
    const Rig named = Ok(BuildRigWithBestPreset("named", original.skeleton, presets));
    const Rig renamed = Ok(BuildRigWithBestPreset("renamed", Renamed(original.skeleton), presets));
    EXPECT_EQ(renamed.preset.name, kGenericPreset);
    EXPECT_TRUE(renamed.parts.emptyRequired.empty());
    // Names say nothing: every joint placed was placed by the shape.
    std::vector<std::int64_t> placed;
    for (const std::vector<std::int64_t>& joints : renamed.parts.joints)
      placed.insert(placed.end(), joints.begin(), joints.end());
    std::sort(placed.begin(), placed.end());
    EXPECT_EQ(renamed.preset.byStructure, placed);
    for (const char* part : kKeyParts) {
      SCOPED_TRACE(part);
      // The Hips and Neck body parts may hold other joints of no length
      // between the landmarks; their first joints agree.
      EXPECT_EQ(renamed.FirstJoint(part), named.FirstJoint(part));
    }
  }
}

// The renamed clips carried as sources and onto renamed targets: the same
// segments as the originals' results, within 0.1 degrees.
TEST_F(Anatomy, RenamedRigsRetargetAsTheOriginals) {
  const std::vector<Preset> presets = test::ShippedPresets();
  const Motion walk = test::SharedClip("cmu_02_01_walk.bvh"), zombie = test::SharedClip("makehuman_zombie_walk.bvh");
  const struct {
    const Motion* source;
    const Motion* target;
  } pairs[] = {{&walk, &zombie}, {&zombie, &walk}};
  for (const auto& [source, target] : pairs)
    for (const bool renameSource : {true, false}) {
      SCOPED_TRACE(renameSource ? "renamed source" : "renamed target");
      Motion renamed = renameSource ? *source : *target;
      renamed.skeleton = Renamed(renamed.skeleton);
      const Rig sourceRig = Ok(BuildRigWithBestPreset("s", source->skeleton, presets));
      const Rig targetRig = Ok(BuildRigWithBestPreset("t", target->skeleton, presets));
      const Rig other = Ok(BuildRigWithBestPreset("r", renamed.skeleton, presets));
      const Rig& from = renameSource ? other : sourceRig;
      const Rig& onto = renameSource ? targetRig : other;
      auto run = [&](const Rig& s, const Rig& t) {
        auto retargeter = Ok(Retargeter::Create(s, t, {}));
        return Ok(RetargetClip(*retargeter, *source, t, 0, source->FrameCount()));
      };
      const Motion expected = run(sourceRig, targetRig), got = run(from, onto);
      const SegmentFigures figures = Ok(CompareSegments(expected, targetRig, 0, got, targetRig, {}, {}));
      EXPECT_LE(figures.all.mean, 0.1);
    }
}

// The skinned human: joint names of no family the presets know, arms
// hanging at rest, a head whose face hangs from a joint named neck.
TEST_F(Anatomy, TheSkinnedHumanMapsWhole) {
  const std::vector<Preset> presets = test::ShippedPresets();
  const Motion human = Ok(ReadAsset(SharedPath("../gltf/bcn_skinned_human.glb"))).motion;
  const Rig rig = Ok(BuildRigWithBestPreset("human", human.skeleton, presets));
  EXPECT_EQ(rig.preset.name, kGenericPreset);
  EXPECT_FALSE(rig.preset.weak);
  EXPECT_TRUE(rig.parts.emptyRequired.empty());
  const struct {
    const char* part;
    const char* joint;
  } rows[] = {{"Hips", "B_Root_Pelvis_L"},
              {"Spine", "B_Root_Pelvis_T"},
              {"Chest", "B_Spine4"},
              {"Neck", "B_Root_Neck_T"},
              {"Head", "B_Neck"},
              {"LeftShoulder", "B_Clavicle_Left"},
              {"LeftUpperArm", "B_UpperArm_Left"},
              {"LeftForeArm", "B_ForeArm_Left"},
              {"LeftHand", "B_Hand_Left"},
              {"LeftThumb", "B_Thumb1_Left"},
              {"RightUpperArm", "B_UpperArm_Right"},
              {"RightHand", "B_Hand_Right"},
              {"LeftUpperLeg", "B_Hip_Left"},
              {"LeftLowerLeg", "B_Knee_Left"},
              {"LeftFoot", "B_Ankle_Left"},
              {"LeftToes", "B_Toe_Left"},
              {"RightUpperLeg", "B_Hip_Right"},
              {"RightLowerLeg", "B_Knee_Right"},
              {"RightFoot", "B_Ankle_Right"},
              {"RightToes", "B_Toe_Right"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.part);
    ASSERT_GE(rig.FirstJoint(row.part), 0);
    EXPECT_EQ(rig.skeleton.joints[std::size_t(rig.FirstJoint(row.part))].name, row.joint);
  }
  // Names that hold a word of their body part were placed by name.
  const std::int64_t knee = rig.FirstJoint("LeftLowerLeg");
  EXPECT_FALSE(std::binary_search(rig.preset.byStructure.begin(), rig.preset.byStructure.end(), knee));
  const std::int64_t head = rig.FirstJoint("Head");
  EXPECT_FALSE(std::binary_search(rig.preset.byStructure.begin(), rig.preset.byStructure.end(), head));
}

// --preset generic maps a rig by its shape even where a preset fits; a
// skeleton of no humanoid shape is refused, naming why.
TEST_F(Anatomy, TheGenericPresetCanBeAskedFor) {
  const Motion walk = test::SharedClip("cmu_02_01_walk.bvh");
  Preset generic;
  generic.name = kGenericPreset;
  const Rig rig = Ok(MakeRig("walk", walk.skeleton, generic, test::ShippedPresets()));
  EXPECT_EQ(rig.preset.name, kGenericPreset);
  EXPECT_EQ(rig.FirstJoint("LeftUpperLeg"), test::JointNamed(walk.skeleton, "LeftUpLeg"));
  Skeleton chain;
  for (int j = 0; j < 12; ++j) chain.AddJoint("c" + std::to_string(j), j - 1, {0, 1, 0}, {});
  const Outcome<Rig> refused = MakeRig("chain", chain, generic, test::ShippedPresets());
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.failure().kind, FailureKind::BadInput);
  EXPECT_EQ(refused.failure().message,
            "preset generic finds no humanoid in the skeleton (two legs hanging from one joint, two arms from another "
            "above them); give a preset that names its joints");
}

// Shapes that are no humanoid's, and skeletons too large to search, map
// nothing; a preset's weak choice then stands.
TEST_F(Anatomy, ShapesThatAreNoHumanoidsMapNothing) {
  Skeleton chain;
  for (int j = 0; j < 40; ++j) chain.AddJoint("c" + std::to_string(j), j - 1, {0, 1, 0}, {});
  Skeleton star;
  star.AddJoint("root", -1, {0, 0, 0}, {});
  for (int j = 0; j < 5000; ++j) star.AddJoint("s" + std::to_string(j), 0, {double(j % 7), 1, 0}, {});
  for (const Skeleton* skeleton : {&chain, &star}) {
    const RestPose rest = Ok(RestOf(*skeleton));
    const AnatomyMap map = Ok(MapAnatomy(*skeleton, rest.globals));
    EXPECT_FALSE(map.found);
    EXPECT_EQ(map.parts.size(), StandardBodyParts().size());
  }
}

}  // namespace
}  // namespace norvo::retarget
