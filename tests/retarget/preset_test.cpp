// Presets: reading them, and the shipped ones putting the joints of their
// rig families into the right body parts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "norvo/retarget/preset.h"
#include "norvo/retarget/rig.h"
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
      {"{\"colour\": \"red\", \"bodyParts\": {}}", 0,
       "unknown member \"colour\"; expected name, description, discard or bodyParts"},
      {"{\"bodyParts\": {\"Hips\": {\"keywords\": [\"Hips\", 3]}}}", 0,
       "\"keywords\" of \"Hips\" must be a list of texts"},
  };
  for (const auto& c : cases) {
    Outcome<Preset> preset = ParsePreset(c.json, "my.json");
    ASSERT_FALSE(preset.has_value()) << c.json;
    EXPECT_EQ(preset.failure().kind, FailureKind::BadInput);
    EXPECT_EQ(preset.failure().message, c.message);
    EXPECT_EQ(preset.failure().line, c.line);
  }
}

using ShippedPresets = test::WithModule;

// The names of the joints that `rig` puts into body part `part`, in tree order.
Names Joints(const Rig& rig, const char* part) {
  Names names;
  for (std::int64_t joint : rig.parts.joints[std::size_t(FindStandardBodyPart(part))])
    names.push_back(rig.skeleton.joints[std::size_t(joint)].name);
  return names;
}

TEST_F(ShippedPresets, PutTheJointsOfTheirFamilyIntoTheRightBodyParts) {
  const Rig cmu = MakeRig(SharedClip("cmu_02_01_walk.bvh").skeleton, "cmu", "walk");
  const Rig mh = MakeRig(SharedClip("makehuman_zombie_walk.bvh").skeleton, "makehuman-game");
  const struct {
    const Rig& rig;
    const char* part;
    Names joints;
  } cases[] = {{cmu, "Hips", {"Hips", "LHipJoint", "RHipJoint"}},
               {cmu, "LeftIndex", {"LeftFingerBase", "LeftHandIndex1"}},
               {cmu, "RightUpperArm", {"RightArm"}},
               {mh, "Head", {"Head", "Jaw", "Tongue1", "Tongue2", "Tongue3", "Eye_L", "Eye_R"}},
               {mh, "LeftThumb", {"Thumb1_L", "Thumb2_L", "Thumb3_L"}},
               {mh, "RightFoot", {"Foot_R"}}};
  for (const auto& c : cases) EXPECT_EQ(Joints(c.rig, c.part), c.joints) << c.rig.name << " " << c.part;

  // The rig describes the skeleton to the module and measures its hips.
  EXPECT_EQ(cmu.definition.GetName().View(), "walk");
  EXPECT_EQ(cmu.definition.GetSkeletonTree(), cmu.nodes[0]);
  EXPECT_EQ(cmu.definition.GetBodyPartTree(), cmu.bodyParts[0]);
  CharacterNodeTransform foot = cmu.definition.GetSkeletonRestPose().GetNodeTransformByID(cmu.JointUuid(4)).value();
  EXPECT_EQ(foot.GetName().View(), "LeftFoot");
  EXPECT_EQ(foot.GetGlobalMatrix(), cmu.restGlobals[4]);
  EXPECT_EQ(foot.GetParentGlobalMatrix(), cmu.restGlobals[3]);
  EXPECT_NEAR(cmu.hipHeight, 16.49, 0.01);  // along +Y; the MakeHuman rig stands along +Z
}

}  // namespace
}  // namespace norvo::retarget
