// The host's keyword match, which the report uses to say which keyword took
// a joint, agrees with the module's FillBodyPart on the same keyword.
#include <gtest/gtest.h>

#include <string>

#include "failing_new.h"
#include "norvo/retarget/preset.h"
#include "norvo/retarget/rig.h"
#include "retarget_support.h"

namespace norvo::retarget {
namespace {

using KeywordMatch = test::WithModule;

TEST_F(KeywordMatch, AgreesWithTheModule) {
  const struct {
    const char* keyword;
    const char* name;
    bool matches;
  } cases[] = {
      {"arm&&left", "LeftArm_01", true},
      {"arm&&left", "ARM_LEFT", true},
      {"arm&&left", "RightArm", false},
      {"arm", "RightArm", true},
      {"Arm", "LeftForeArm", true},
      {"LeftArm", "LeftForeArm", false},
      {"Leg", "LeftUpLeg", true},
      {"LeftLeg", "LeftUpLeg", false},
      {"_l", "upperarm_l", true},
      {"_l", "upperarm_r", false},
      {"Clavicle&& L ", "Bip01 L Clavicle", true},
      {"Clavicle&& L ", "Bip01 R Clavicle", false},
      {"", "Hips", false},
      {"DEF-spine.", "DEF-spine", false},
      {"hand&&hand", "Hand", true},
      {"ÄRM", "ärm", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.keyword) + " in " + c.name);
    EXPECT_EQ(KeywordMatches(c.keyword, c.name), c.matches);
    // The module, on a one-joint rig whose Hips have only this keyword.
    Skeleton one;
    one.AddJoint(c.name, -1, {0, 0, 0}, {Channel::Zrotation, Channel::Xrotation, Channel::Yrotation});
    Preset preset;
    preset.parts.resize(StandardBodyParts().size());
    preset.parts[0].keywords = {c.keyword};
    const Rig rig = test::Ok(BuildRig("one", one, preset));
    EXPECT_EQ(rig.parts.joints[0].size(), c.matches ? 1u : 0u);

    // A matching discard keyword keeps the joint out, and TakingKeyword says so.
    preset.parts[0].discard = {c.name};
    EXPECT_EQ(TakingKeyword(preset.parts[0], c.name), nullptr);
    preset.parts[0].discard.clear();
    const std::string* taking = TakingKeyword(preset.parts[0], c.name);
    EXPECT_EQ(taking != nullptr, c.matches);
  }
  // Matching allocates nothing, with names past any short-text buffer too.
  const Int live = norvo::test::LiveNewCount();
  norvo::test::FailEveryNewAfter(0);
  const bool matched = KeywordMatches("upperarm&&LEFT", "Character1_LeftUpperArmRoll_twist_helper");
  norvo::test::ClearNewFailure();
  EXPECT_TRUE(matched);
  EXPECT_EQ(norvo::test::LiveNewCount(), live);
}

}  // namespace
}  // namespace norvo::retarget
