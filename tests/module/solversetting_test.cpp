// Body part solver settings through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using SolverSetting = LoadedModule;
using SI = CharacterBodyPartSolverSettingInterface;

TEST_F(SolverSetting, StoresTheWeightUnchangedAndPrintsItShort) {
  CharacterBodyPartSolverSetting fresh = Make<CharacterBodyPartSolverSetting>(SI::kClassId);
  EXPECT_FALSE(fresh.GetBodyPartIdentifier().IsSet());
  EXPECT_EQ(Str(fresh.ToString()), "Identifier : \nWeight : 1\n");
  for (double weight : {0.0, -2.5, 1e6})
    EXPECT_EQ(Ok(SI::CreateBodyPartSolverSetting(Id("Arm"), weight)).GetBodyPartWeight(), weight);
  CharacterBodyPartSolverSetting setting = Ok(SI::CreateBodyPartSolverSetting(Id("Spine"), -2.0 / 3));
  EXPECT_EQ(setting.GetBodyPartIdentifier(), Id("Spine"));
  EXPECT_EQ(Str(setting.ToString()), "Identifier : Spine\nWeight : -0.667\n");
  // The weight ignores the format statement it is given.
  FormatStatement format;
  EXPECT_EQ(Str(setting.ToString(&format)), "Identifier : Spine\nWeight : -0.667\n");
}

}  // namespace
}  // namespace norvo::test
