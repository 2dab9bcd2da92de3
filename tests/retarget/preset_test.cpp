// Presets: reading them, and the shipped ones putting the joints of their
// rig families into the right body parts.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "norvo/retarget/preset.h"
#include "norvo/retarget/rig.h"
#include "norvo/retarget/sample.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

using test::MakeRig;
using test::Ok;
using test::SharedClip;
using Names = std::vector<std::string>;

TEST(PresetReader, RefusesMalformedPresets) {
  const struct {
    const char* json;
    std::int64_t line;
    const char* message;
  } cases[] = {
      {"{\n\"bodyParts\": {\n\"Hips\": [\"Hips\"\n}\n}", 4,
       "not valid JSON: syntax error while parsing array - unexpected '}'; expected ']'"},
      {"[]", 0, "a preset must be a JSON object"},
      {"{}", 0, "a preset needs a \"bodyParts\" object"},
      {"{\"name\": 1, \"bodyParts\": {}}", 0, "\"name\" must be a text"},
      {"{\"colour\": \"red\", \"bodyParts\": {}}", 0,
       "unknown member \"colour\"; expected name, description, discard or bodyParts"},
      {"{\"bodyParts\": {\"Tail\": {\"keywords\": [\"Tail\"]}}}", 0,
       "unknown body part \"Tail\"; the body parts are Hips, Spine, Chest, Neck, Head, LeftShoulder, LeftUpperArm, "
       "LeftForeArm, LeftHand, LeftThumb, LeftFingers, RightShoulder, RightUpperArm, RightForeArm, RightHand, "
       "RightThumb, RightFingers, LeftUpperLeg, LeftLowerLeg, LeftFoot, LeftToes, RightUpperLeg, RightLowerLeg, "
       "RightFoot, RightToes"},
      {"{\"bodyParts\": {\"Hips\": [\"Hips\"]}}", 0, "body part \"Hips\" must be an object with \"keywords\""},
      {"{\"bodyParts\": {\"Hips\": {\"keywords\": [\"Hips\", 3]}}}", 0,
       "\"keywords\" of \"Hips\" must be a list of texts"},
      {"{\"bodyParts\": {\"Hips\": {\"keyword\": [\"Hips\"]}}}", 0,
       "unknown member \"keyword\" in body part \"Hips\"; expected keywords or discard"},
      {"{\"discard\": \"__\", \"bodyParts\": {}}", 0, "\"discard\" must be a list of texts"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    Outcome<Preset> preset = ParsePreset(c.json, "my.json");
    ASSERT_FALSE(preset.has_value());
    EXPECT_EQ(preset.failure().kind, FailureKind::BadInput);
    EXPECT_EQ(preset.failure().message, c.message);
    EXPECT_EQ(preset.failure().line, c.line);
    EXPECT_EQ(preset.failure().file, "my.json");
  }
}

TEST(PresetReader, ReadsKeywordsAndAddsTheCommonDiscards) {
  Preset preset = Ok(ParsePreset(
      R"({"discard": ["__"], "bodyParts": {"Head": {"keywords": ["Head", "Jaw"], "discard": ["End"]}}})",
      "dir/mine.json"));
  EXPECT_EQ(preset.name, "mine");
  const BodyPartKeywords& head = preset.parts[std::size_t(FindStandardBodyPart("Head"))];
  EXPECT_EQ(head.keywords, (Names{"Head", "Jaw"}));
  EXPECT_EQ(head.discard, (Names{"End", "__"}));
  EXPECT_EQ(preset.parts[0].keywords.size(), 0u);
  EXPECT_EQ(preset.parts[0].discard, Names{"__"});
}

using ShippedPresets = test::WithModule;

// Body part identifier -> its joints' names, in tree order.
std::map<std::string, Names> Assignment(const Rig& rig) {
  std::map<std::string, Names> out;
  for (std::size_t i = 0; i < StandardBodyParts().size(); ++i) {
    Names& names = out[std::string(StandardBodyParts()[i].identifier)];
    for (std::int64_t joint : rig.bodyPartJoints[i]) names.push_back(rig.skeleton.joints[std::size_t(joint)].name);
  }
  return out;
}

TEST_F(ShippedPresets, PutEveryMovingJointOfTheirFamilyIntoItsBodyPart) {
  const std::map<std::string, Names> cmu = {
      {"Hips", {"Hips", "LHipJoint", "RHipJoint"}}, {"Spine", {"LowerBack", "Spine"}}, {"Chest", {"Spine1"}},
      {"Neck", {"Neck", "Neck1"}}, {"Head", {"Head"}},
      {"LeftShoulder", {"LeftShoulder"}}, {"LeftUpperArm", {"LeftArm"}}, {"LeftForeArm", {"LeftForeArm"}},
      {"LeftHand", {"LeftHand"}}, {"LeftThumb", {"LThumb"}}, {"LeftFingers", {"LeftFingerBase", "LeftHandIndex1"}},
      {"RightShoulder", {"RightShoulder"}}, {"RightUpperArm", {"RightArm"}}, {"RightForeArm", {"RightForeArm"}},
      {"RightHand", {"RightHand"}}, {"RightThumb", {"RThumb"}},
      {"RightFingers", {"RightFingerBase", "RightHandIndex1"}},
      {"LeftUpperLeg", {"LeftUpLeg"}}, {"LeftLowerLeg", {"LeftLeg"}}, {"LeftFoot", {"LeftFoot"}},
      {"LeftToes", {"LeftToeBase"}}, {"RightUpperLeg", {"RightUpLeg"}}, {"RightLowerLeg", {"RightLeg"}},
      {"RightFoot", {"RightFoot"}}, {"RightToes", {"RightToeBase"}}};
  for (const char* file : {"cmu_02_01_walk.bvh", "cmu_12_03.bvh"})
    EXPECT_EQ(Assignment(MakeRig(SharedClip(file).skeleton, "cmu")), cmu) << file;

  // MakeHuman: the "__" helpers are discarded; the head keeps jaw, tongue and eyes.
  std::map<std::string, Names> got = Assignment(MakeRig(SharedClip("makehuman_zombie_walk.bvh").skeleton, "makehuman-game"));
  EXPECT_EQ(got["Hips"], (Names{"Root", "Hips"}));
  EXPECT_EQ(got["Spine"], (Names{"Spine1", "Spine2"}));
  EXPECT_EQ(got["Chest"], Names{"Spine3"});
  EXPECT_EQ(got["Head"], (Names{"Head", "Jaw", "Tongue1", "Tongue2", "Tongue3", "Eye_L", "Eye_R"}));
  for (const std::string side : {"L", "R"}) {
    const std::string name = side == "L" ? "Left" : "Right";
    EXPECT_EQ(got[name + "Shoulder"], Names{"Clavicle_" + side});
    EXPECT_EQ(got[name + "Thumb"], (Names{"Thumb1_" + side, "Thumb2_" + side, "Thumb3_" + side}));
    EXPECT_EQ(got[name + "Fingers"].size(), 12u);
    EXPECT_EQ(got[name + "Fingers"].back(), "Pinky3_" + side);
    EXPECT_EQ(got[name + "Toes"], Names{"Toe_" + side});
  }
}

TEST_F(ShippedPresets, EachRigGetsThePresetThatFillsMostOfItsJoints) {
  const struct {
    const char* what;
    BvhSkeleton skeleton;
    const char* preset;
    std::int64_t covered;
  } cases[] = {{"cmu walk", SharedClip("cmu_02_01_walk.bvh").skeleton, "cmu", 31},
               {"zombie", SharedClip("makehuman_zombie_walk.bvh").skeleton, "makehuman-game", 59},  // 16 "__" helpers
               {"sample walk", SampleWalk(1).skeleton, "cmu", 31},
               {"sample target", SampleTargetSkeleton(), "makehuman-game", 33}};
  const std::vector<Preset> presets = test::ShippedPresets();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig = Ok(BuildRigWithBestPreset(c.what, c.skeleton, presets));
    EXPECT_EQ(rig.presetName, c.preset);
    EXPECT_EQ(rig.coveredJoints, c.covered);
    EXPECT_TRUE(rig.emptyBodyParts.empty());
    std::set<std::int64_t> seen;  // each joint in at most one body part
    for (const auto& joints : rig.bodyPartJoints)
      for (std::int64_t joint : joints) EXPECT_TRUE(seen.insert(joint).second) << joint;
  }
}

TEST_F(ShippedPresets, RigsDescribeTheSkeletonAndMeasureTheirHipsAlongTheirUpAxis) {
  Rig walk = MakeRig(SharedClip("cmu_02_01_walk.bvh").skeleton, "cmu", "walk");
  EXPECT_EQ(walk.nodes[0].GetHiearchyCount(false).value(), 31);
  EXPECT_EQ(walk.definition.GetSkeletonTree(), walk.nodes[0]);
  EXPECT_EQ(walk.definition.GetBodyPartTree(), walk.bodyParts[0]);
  EXPECT_EQ(walk.definition.GetName().View(), "walk");
  const CharacterPose& rest = walk.definition.GetSkeletonRestPose();
  ASSERT_EQ(rest.GetNodeTransformCount(), 31);
  CharacterNodeTransform foot = rest.GetNodeTransformByID(walk.JointUuid(4)).value();
  EXPECT_EQ(foot.GetName().View(), "LeftFoot");
  EXPECT_EQ(walk.nodes[4].GetName().View(), "LeftFoot");
  EXPECT_EQ(foot.GetGlobalMatrix(), walk.restGlobals[4]);
  EXPECT_EQ(foot.GetParentGlobalMatrix(), walk.restGlobals[3]);

  // The CMU rig stands along +Y, the MakeHuman one along +Z.
  ASSERT_TRUE(walk.measured);
  EXPECT_GT(walk.up.y, 0.95);
  EXPECT_NEAR(walk.hipHeight, 16.49, 0.01);
  Rig zombie = MakeRig(SharedClip("makehuman_zombie_walk.bvh").skeleton, "makehuman-game");
  ASSERT_TRUE(zombie.measured);
  EXPECT_GT(zombie.up.z, 0.95);
  EXPECT_GT(zombie.hipHeight, 8.0);
  EXPECT_LT(zombie.hipHeight, 11.0);
}

}  // namespace
}  // namespace norvo::retarget
