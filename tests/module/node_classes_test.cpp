// The node classes through the loaded module: node infos, node transforms,
// character trees and body part solver settings.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using NodeInfo = LoadedModule;
using I = CharacterNodeInfoInterface;

TEST_F(NodeInfo, CreateStoresUuidAndNameAndPrintsThem) {
  EXPECT_EQ(Str(Make<CharacterNodeInfo>(I::kClassId).ToString()),
            "Object ID : 00000000-0000-0000-0000-000000000000\nObject Name : \n");
  Uuid hips = U("6F1C2A9E-3B4D-4E5F-8A7B-1C2D3E4F5A6B");
  CharacterNodeInfo info = Ok(I::CreateNodeInfo(hips, S("Hips")));
  EXPECT_EQ(Str(info.ToString()), "Object ID : 6f1c2a9e-3b4d-4e5f-8a7b-1c2d3e4f5a6b\nObject Name : Hips\n");
}

TEST_F(NodeInfo, SetUuidOutOfMemoryKeepsTheOldUuid) {
  Uuid before = NewUuid();
  CharacterNodeInfo info = Ok(I::CreateNodeInfo(before, S("Hips")));
  Uuid shared = info.GetUuid();  // the node's Uuid block is now shared
  Uuid next = NewUuid();
  EXPECT_ERROR(WithAllocationFailure(0, [&] { return info.SetUuid(next); }), OutOfMemory);
  EXPECT_EQ(info.GetUuid(), before);
}

using NodeTransform = LoadedModule;
using NTI = CharacterNodeTransformInterface;

std::string TransformText(const Uuid& uuid, std::string_view global, std::string_view parent) {
  return NodeInfoText(uuid, "") + "Global Matrix :\n" + std::string(global) + "\nParent Global Matrix :\n" +
         std::string(parent) + "\nPre-Multiply Matrix :\n" + std::string(kIdentityText) + "\n";
}

TEST_F(NodeTransform, StoresAndPrintsItsMatrices) {
  EXPECT_EQ(Str(Make<CharacterNodeTransform>(NTI::kClassId).ToString()),
            TransformText(Uuid(), kIdentityText, kIdentityText));
  Uuid id = NewUuid();
  Matrix global{{1, 2.5, -3}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  CharacterNodeTransform t = Ok(NTI::CreateNodeTransform(id, global, kZeroMatrix));  // singular, stored as it is
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

using Tree = LoadedModule;
using TI = CharacterTreeInterface;

CharacterTreeRef Node(std::string_view name, bool transform) {
  return Ok(TI::CreateTree(NewUuid(), S(name), transform));
}

TEST_F(Tree, CreateTreeAndItsText) {
  Uuid id = NewUuid();
  CharacterTreeRef node = Ok(TI::CreateTree(id, S("Spine"), false));
  Link(node, Node("Child", true));
  EXPECT_FALSE(node.IsTransformNode());
  EXPECT_EQ(Str(node.ToString()), NodeInfoText(id, "Spine") + "Is Transform Node : 0\n");
  node.SetTransformNode(true);
  EXPECT_EQ(Str(node.ToString()), NodeInfoText(id, "Spine") + "Is Transform Node : 1\n");
  EXPECT_FALSE(Make<CharacterTreeRef>(TI::kClassId).IsTransformNode());
  // The name is the node info's, not the hierarchy's observer name.
  HierarchyObjectRef::From(node).SetName(S("observer"));
  EXPECT_EQ(Str(node.GetName()), "Spine");
}

TEST_F(Tree, CountsAllOrTransformNodes) {
  EXPECT_EQ(Ok(Node("a", false).GetHiearchyCount(true)), 0);
  // root (flag off) ─ first ─ grandchild
  //                 └ second
  CharacterTreeRef root = Node("root", false), first = Node("first", true), grandchild = Node("grandchild", true);
  Link(root, first);
  Link(root, Node("second", true));
  Link(first, grandchild);
  EXPECT_EQ(Ok(root.GetHiearchyCount(false)), 4);
  EXPECT_EQ(Ok(root.GetHiearchyCount(true)), 3);
  EXPECT_EQ(Ok(first.GetHiearchyCount(false)), 2);
  Link(grandchild, Ok(HierarchyObjectRef::Create(kHierarchyObjectClassId)));
  EXPECT_ERROR(root.GetHiearchyCount(false), Nullptr);
  EXPECT_ERROR(root.GetHiearchyCount(true), Nullptr);
  EXPECT_ERROR(CharacterTreeRef().GetHiearchyCount(false), Nullptr);
}

}  // namespace
}  // namespace norvo::test
