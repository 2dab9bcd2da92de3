// Body part solver settings through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using SolverSetting = LoadedModule;
using SI = CharacterBodyPartSolverSettingInterface;

TEST_F(SolverSetting, CreatedByClassId) {
  CharacterBodyPartSolverSetting setting = Make<CharacterBodyPartSolverSetting>(SI::kClassId);
  EXPECT_FALSE(setting.GetBodyPartIdentifier().IsSet());
  EXPECT_EQ(setting.GetBodyPartWeight(), 1.0);
  EXPECT_EQ(Str(setting.ToString()), "Identifier : \nWeight : 1\n");
}

TEST_F(SolverSetting, CreateStoresWeightUnchanged) {
  for (double weight : {0.0, -2.5, 0.125, 1e6}) {
    SCOPED_TRACE(weight);
    CharacterBodyPartSolverSetting setting = Ok(SI::CreateBodyPartSolverSetting(Id("LeftArm"), weight));
    EXPECT_EQ(setting.GetBodyPartWeight(), weight);
    EXPECT_EQ(setting.GetBodyPartIdentifier(), Id("LeftArm"));
  }
  CharacterBodyPartSolverSetting setting = Ok(SI::CreateBodyPartSolverSetting(Id("Spine"), -2.0 / 3));
  EXPECT_EQ(Str(setting.ToString()), "Identifier : Spine\nWeight : -0.667\n");
  FormatStatement format;
  EXPECT_EQ(Str(setting.ToString(&format)), "Identifier : Spine\nWeight : -0.667\n");
}

}  // namespace
}  // namespace norvo::test
