// Node transforms through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using NodeTransform = LoadedModule;
using TI = CharacterNodeTransformInterface;

Matrix Offset(double x, double y, double z) {
  Matrix m;
  m.off = {x, y, z};
  return m;
}

std::string TransformText(const Uuid& uuid, std::string_view name, std::string_view global,
                          std::string_view parent, std::string_view pre) {
  return NodeInfoText(uuid, name) + "Global Matrix :\n" + std::string(global) + "\nParent Global Matrix :\n" +
         std::string(parent) + "\nPre-Multiply Matrix :\n" + std::string(pre) + "\n";
}

TEST_F(NodeTransform, CreatedByClassIdHoldsIdentities) {
  CharacterNodeTransform t = Make<CharacterNodeTransform>(TI::kClassId);
  EXPECT_TRUE(t.GetUuid().IsEmpty());
  EXPECT_EQ(t.GetGlobalMatrix(), Matrix{});
  EXPECT_EQ(Str(t.ToString()), TransformText(Uuid(), "", kIdentityText, kIdentityText, kIdentityText));
}

TEST_F(NodeTransform, CreateNodeTransformStoresItsArguments) {
  Uuid id = NewUuid();
  Matrix global = Offset(1, 2.5, -3);
  Matrix parent{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}};  // singular, stored as it is
  CharacterNodeTransform t = Ok(TI::CreateNodeTransform(id, global, parent));
  EXPECT_EQ(t.GetUuid(), id);
  EXPECT_TRUE(t.GetName().IsEmpty());
  EXPECT_EQ(t.GetGlobalMatrix(), global);
  EXPECT_EQ(t.GetParentGlobalMatrix(), parent);
  EXPECT_EQ(t.GetPreMultiplyMatrix(), Matrix{});
  EXPECT_EQ(Str(t.ToString()), TransformText(id, "", "((1,0,0),(0,1,0),(0,0,1),(1,2.5,-3))",
                                             "((0,0,0),(0,0,0),(0,0,0),(0,0,0))", kIdentityText));
  EXPECT_TRUE(Ok(TI::CreateNodeTransform(Uuid(), global, parent)).GetUuid().IsEmpty());
}

TEST_F(NodeTransform, SettersStoreTheirMatrix) {
  CharacterNodeTransform t = Ok(TI::CreateNodeTransform(NewUuid(), Matrix{}, Matrix{}));
  ASSERT_TRUE(t.SetGlobalMatrix(Offset(1, 0, 0)).has_value());
  ASSERT_TRUE(t.SetPreMultiplyMatrix(Offset(0, 1, 0)).has_value());
  ASSERT_TRUE(t.SetParentGlobalMatrix(Offset(0, 0, 1)).has_value());
  EXPECT_EQ(t.GetGlobalMatrix(), Offset(1, 0, 0));
  EXPECT_EQ(t.GetPreMultiplyMatrix(), Offset(0, 1, 0));
  EXPECT_EQ(t.GetParentGlobalMatrix(), Offset(0, 0, 1));
  // Through an empty reference: zeros, not the identity, and no private copy.
  EXPECT_EQ(CharacterNodeTransform().GetGlobalMatrix(), kZeroMatrix);
  EXPECT_ERROR(CharacterNodeTransform().SetGlobalMatrix(Matrix{}), Nullptr);
}

}  // namespace
}  // namespace norvo::test
