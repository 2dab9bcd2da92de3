// Node transforms through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using NodeTransform = LoadedModule;
using TI = CharacterNodeTransformInterface;

std::string TransformText(const Uuid& uuid, std::string_view global, std::string_view parent) {
  return NodeInfoText(uuid, "") + "Global Matrix :\n" + std::string(global) + "\nParent Global Matrix :\n" +
         std::string(parent) + "\nPre-Multiply Matrix :\n" + std::string(kIdentityText) + "\n";
}

TEST_F(NodeTransform, StoresAndPrintsItsMatrices) {
  EXPECT_EQ(Str(Make<CharacterNodeTransform>(TI::kClassId).ToString()),
            TransformText(Uuid(), kIdentityText, kIdentityText));
  Uuid id = NewUuid();
  Matrix global{{1, 2.5, -3}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  CharacterNodeTransform t = Ok(TI::CreateNodeTransform(id, global, kZeroMatrix));  // singular, stored as it is
  EXPECT_EQ(t.GetUuid(), id);
  EXPECT_EQ(t.GetGlobalMatrix(), global);
  EXPECT_EQ(t.GetParentGlobalMatrix(), kZeroMatrix);
  EXPECT_EQ(t.GetPreMultiplyMatrix(), Matrix{});
  EXPECT_EQ(Str(t.ToString()),
            TransformText(id, "((1,0,0),(0,1,0),(0,0,1),(1,2.5,-3))", "((0,0,0),(0,0,0),(0,0,0),(0,0,0))"));

  // Each setter stores its own matrix.
  Matrix a = Matrix{{1, 0, 0}, {}, {}, {}}, b = Matrix{{0, 1, 0}, {}, {}, {}}, c = Matrix{{0, 0, 1}, {}, {}, {}};
  ASSERT_TRUE(t.SetGlobalMatrix(a).has_value());
  ASSERT_TRUE(t.SetPreMultiplyMatrix(b).has_value());
  ASSERT_TRUE(t.SetParentGlobalMatrix(c).has_value());
  EXPECT_EQ(t.GetGlobalMatrix(), a);
  EXPECT_EQ(t.GetPreMultiplyMatrix(), b);
  EXPECT_EQ(t.GetParentGlobalMatrix(), c);
}

}  // namespace
}  // namespace norvo::test
