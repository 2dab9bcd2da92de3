// Character trees through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using Tree = LoadedModule;
using TI = CharacterTreeInterface;

CharacterTreeRef Node(std::string_view name, bool transform) {
  return Ok(TI::CreateTree(NewUuid(), S(name), transform));
}

TEST_F(Tree, CreateTreeAndItsText) {
  Uuid id = NewUuid();
  CharacterTreeRef node = Ok(TI::CreateTree(id, S("Spine"), false));
  Link(node, Node("Child", true));
  EXPECT_EQ(node.GetUuid(), id);
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
