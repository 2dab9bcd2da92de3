// Presets: reading them, and the shipped ones putting the joints of their
// rig families into the right body parts.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "norvo/retarget/preset.h"
#include "norvo/retarget/rig.h"
#include "norvo/retarget/sample.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

using test::Ok;
using test::ShippedPreset;
using test::SharedClip;

TEST(PresetReader, RefusesMalformedPresets) {
  struct Case {
    const char* json;
    std::int64_t line;
    const char* message;
  };
  const Case cases[] = {
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
      {"{\"bodyParts\": {\"Hips\": {\"keywords\": \"Hips\"}}}", 0, "\"keywords\" of \"Hips\" must be a list of texts"},
      {"{\"bodyParts\": {\"Hips\": {\"keywords\": [\"Hips\", 3]}}}", 0,
       "\"keywords\" of \"Hips\" must be a list of texts"},
      {"{\"bodyParts\": {\"Hips\": {\"keyword\": [\"Hips\"]}}}", 0,
       "unknown member \"keyword\" in body part \"Hips\"; expected keywords or discard"},
      {"{\"discard\": \"__\", \"bodyParts\": {}}", 0, "\"discard\" must be a list of texts"},
  };
  for (const Case& c : cases) {
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
  EXPECT_EQ(head.keywords, (std::vector<std::string>{"Head", "Jaw"}));
  EXPECT_EQ(head.discard, (std::vector<std::string>{"End", "__"}));
  EXPECT_EQ(preset.parts[0].keywords.size(), 0u);
  EXPECT_EQ(preset.parts[0].discard, (std::vector<std::string>{"__"}));
}

TEST(PresetReader, ShipsOnePresetPerRigFamily) {
  std::vector<Preset> presets = test::ShippedPresets();
  ASSERT_EQ(presets.size(), 2u);
  EXPECT_EQ(presets[0].name, "cmu");
  EXPECT_EQ(presets[1].name, "makehuman-game");
  for (const Preset& preset : presets)
    for (const BodyPartKeywords& part : preset.parts) EXPECT_FALSE(part.keywords.empty()) << preset.name;
}

class ShippedPresets : public test::WithModule {
 protected:
  // Body part identifier -> its joints' names, in tree order.
  static std::map<std::string, std::vector<std::string>> Assignment(const Rig& rig) {
    std::map<std::string, std::vector<std::string>> out;
    for (std::size_t i = 0; i < StandardBodyParts().size(); ++i) {
      std::vector<std::string>& names = out[std::string(StandardBodyParts()[i].identifier)];
      for (std::int64_t joint : rig.bodyPartJoints[i]) names.push_back(rig.skeleton.joints[std::size_t(joint)].name);
    }
    return out;
  }
  // Each joint of the rig in at most one body part.
  static void ExpectNoJointTwice(const Rig& rig) {
    std::set<std::int64_t> seen;
    for (const auto& joints : rig.bodyPartJoints)
      for (std::int64_t joint : joints) EXPECT_TRUE(seen.insert(joint).second) << rig.skeleton.joints[std::size_t(joint)].name;
  }
};

TEST_F(ShippedPresets, CmuPutsEveryJointOfBothCmuClipsIntoItsBodyPart) {
  const std::map<std::string, std::vector<std::string>> expected = {
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
  for (const char* file : {"cmu_02_01_walk.bvh", "cmu_12_03.bvh"}) {
    SCOPED_TRACE(file);
    Rig rig = Ok(BuildRig("cmu", SharedClip(file).skeleton, ShippedPreset("cmu")));
    EXPECT_EQ(Assignment(rig), expected);
    EXPECT_EQ(rig.coveredJoints, 31);
    EXPECT_TRUE(rig.emptyBodyParts.empty());
    ExpectNoJointTwice(rig);
  }
}

TEST_F(ShippedPresets, MakeHumanPutsEveryJointButTheHelpersIntoItsBodyPart) {
  Rig rig = Ok(BuildRig("zombie", SharedClip("makehuman_zombie_walk.bvh").skeleton, ShippedPreset("makehuman-game")));
  std::map<std::string, std::vector<std::string>> got = Assignment(rig);
  EXPECT_EQ(got["Hips"], (std::vector<std::string>{"Root", "Hips"}));
  EXPECT_EQ(got["Spine"], (std::vector<std::string>{"Spine1", "Spine2"}));
  EXPECT_EQ(got["Chest"], (std::vector<std::string>{"Spine3"}));
  EXPECT_EQ(got["Neck"], (std::vector<std::string>{"Neck"}));
  EXPECT_EQ(got["Head"], (std::vector<std::string>{"Head", "Jaw", "Tongue1", "Tongue2", "Tongue3", "Eye_L", "Eye_R"}));
  for (const std::string side : {"L", "R"}) {
    const std::string name = side == "L" ? "Left" : "Right";
    EXPECT_EQ(got[name + "Shoulder"], (std::vector<std::string>{"Clavicle_" + side}));
    EXPECT_EQ(got[name + "UpperArm"], (std::vector<std::string>{"UpArm_" + side}));
    EXPECT_EQ(got[name + "ForeArm"], (std::vector<std::string>{"LoArm_" + side}));
    EXPECT_EQ(got[name + "Hand"], (std::vector<std::string>{"Hand_" + side}));
    EXPECT_EQ(got[name + "Thumb"], (std::vector<std::string>{"Thumb1_" + side, "Thumb2_" + side, "Thumb3_" + side}));
    std::vector<std::string> fingers;
    for (const char* finger : {"Index", "Middle", "Ring", "Pinky"})
      for (int i = 1; i <= 3; ++i) fingers.push_back(finger + std::to_string(i) + "_" + side);
    EXPECT_EQ(got[name + "Fingers"], fingers);
    EXPECT_EQ(got[name + "UpperLeg"], (std::vector<std::string>{"UpLeg_" + side}));
    EXPECT_EQ(got[name + "LowerLeg"], (std::vector<std::string>{"LoLeg_" + side}));
    EXPECT_EQ(got[name + "Foot"], (std::vector<std::string>{"Foot_" + side}));
    EXPECT_EQ(got[name + "Toes"], (std::vector<std::string>{"Toe_" + side}));
  }
  EXPECT_EQ(rig.coveredJoints, 59);  // 75 joints, 16 of them "__" helpers
  EXPECT_TRUE(rig.emptyBodyParts.empty());
  ExpectNoJointTwice(rig);
}

TEST_F(ShippedPresets, EachRigGetsThePresetThatFillsMostOfItsJoints) {
  std::vector<Preset> presets = test::ShippedPresets();
  struct Case {
    const char* what;
    BvhSkeleton skeleton;
    const char* preset;
    std::int64_t covered;
  };
  const Case cases[] = {{"cmu walk", SharedClip("cmu_02_01_walk.bvh").skeleton, "cmu", 31},
                        {"zombie", SharedClip("makehuman_zombie_walk.bvh").skeleton, "makehuman-game", 59},
                        {"sample walk", SampleWalk(1).skeleton, "cmu", 31},
                        {"sample target", SampleTargetSkeleton(), "makehuman-game", 33}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig = Ok(BuildRigWithBestPreset(c.what, c.skeleton, presets));
    EXPECT_EQ(rig.presetName, c.preset);
    EXPECT_EQ(rig.coveredJoints, c.covered);
    EXPECT_TRUE(rig.emptyBodyParts.empty());
  }
}

TEST_F(ShippedPresets, ARigMatchedInPartNamesItsEmptyBodyParts) {
  BvhSkeleton skeleton;
  const std::vector<Channel> zyx = {Channel::Zrotation, Channel::Yrotation, Channel::Xrotation};
  skeleton.AddJoint("Hips", -1, {0, 0, 0}, zyx);
  skeleton.AddJoint("Spine", 0, {0, 1, 0}, zyx);
  skeleton.AddJoint("Head", 1, {0, 1, 0}, zyx);
  skeleton.AddJoint("Tail", 0, {0, 0, -1}, zyx);
  Rig rig = Ok(BuildRigWithBestPreset("stub", skeleton, test::ShippedPresets()));
  EXPECT_EQ(rig.presetName, "cmu");
  EXPECT_EQ(rig.coveredJoints, 3);
  ASSERT_EQ(rig.emptyBodyParts.size(), 22u);
  EXPECT_EQ(rig.emptyBodyParts[0], "Chest");
  EXPECT_EQ(rig.emptyBodyParts[21], "RightToes");
}

TEST_F(ShippedPresets, RigsDescribeTheSkeletonAndMeasureTheirHipsAlongTheirUpAxis) {
  Rig walk = Ok(BuildRig("walk", SharedClip("cmu_02_01_walk.bvh").skeleton, ShippedPreset("cmu")));
  EXPECT_EQ(walk.nodes[0].GetHiearchyCount(false).value(), 31);
  EXPECT_EQ(walk.definition.GetSkeletonTree(), walk.nodes[0]);
  EXPECT_EQ(walk.definition.GetBodyPartTree(), walk.bodyParts[0]);
  EXPECT_EQ(walk.definition.GetName().View(), "walk");
  const CharacterPose& rest = walk.definition.GetSkeletonRestPose();
  ASSERT_EQ(rest.GetNodeTransformCount(), 31);
  CharacterNodeTransform foot = rest.GetNodeTransformByID(walk.JointUuid(4)).value();
  EXPECT_EQ(foot.GetName().View(), "LeftFoot");
  EXPECT_EQ(foot.GetGlobalMatrix(), walk.restGlobals[4]);
  EXPECT_EQ(foot.GetParentGlobalMatrix(), walk.restGlobals[3]);
  EXPECT_EQ(walk.nodes[4].GetName().View(), "LeftFoot");

  // The CMU rig stands along +Y, the MakeHuman one along +Z.
  ASSERT_TRUE(walk.measured);
  EXPECT_GT(walk.up.y, 0.95);
  EXPECT_NEAR(walk.hipHeight, 16.49, 0.01);
  Rig zombie = Ok(BuildRig("zombie", SharedClip("makehuman_zombie_walk.bvh").skeleton, ShippedPreset("makehuman-game")));
  ASSERT_TRUE(zombie.measured);
  EXPECT_GT(zombie.up.z, 0.95);
  EXPECT_GT(zombie.hipHeight, 8.0);
  EXPECT_LT(zombie.hipHeight, 11.0);
}

}  // namespace
}  // namespace norvo::retarget
