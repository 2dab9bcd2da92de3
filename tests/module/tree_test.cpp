// Character trees through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using Tree = LoadedModule;
using TI = CharacterTreeInterface;

CharacterTreeRef Node(std::string_view name, bool transform) {
  Result<CharacterTreeRef> node = TI::CreateTree(NewUuid(), S(name), transform);
  EXPECT_TRUE(node.has_value());
  return node ? std::move(node).value() : CharacterTreeRef();
}

TEST_F(Tree, CreateTree) {
  Uuid id = NewUuid();
  CharacterTreeRef node = Ok(TI::CreateTree(id, S("Hips"), true));
  EXPECT_EQ(node.GetUuid(), id);
  EXPECT_EQ(Str(node.GetName()), "Hips");
  EXPECT_TRUE(node.IsTransformNode());
  EXPECT_FALSE(node.GetParent());
  EXPECT_FALSE(node.GetFirstChild());
  EXPECT_FALSE(Make<CharacterTreeRef>(TI::kClassId).IsTransformNode());
}

TEST_F(Tree, Counts) {
  {
    SCOPED_TRACE("a node without children");
    EXPECT_EQ(Ok(Node("a", true).GetHiearchyCount(false)), 1);
    EXPECT_EQ(Ok(Node("a", true).GetHiearchyCount(true)), 1);
    EXPECT_EQ(Ok(Node("a", false).GetHiearchyCount(true)), 0);
  }
  SCOPED_TRACE("a root whose flag is off, two children, a grandchild under the first");
  CharacterTreeRef root = Node("root", false), first = Node("first", true), second = Node("second", true),
                   grandchild = Node("grandchild", true);
  Link(root, first);
  Link(root, second);
  Link(first, grandchild);
  EXPECT_EQ(Ok(root.GetHiearchyCount(false)), 4);
  EXPECT_EQ(Ok(root.GetHiearchyCount(true)), 3);
  EXPECT_EQ(Ok(first.GetHiearchyCount(false)), 2);
  EXPECT_EQ(Ok(first.GetHiearchyCount(true)), 2);
}

TEST_F(Tree, ADescendantOfAnotherKindFailsTheCount) {
  CharacterTreeRef root = Node("root", true), child = Node("child", true);
  Link(root, child);
  Link(child, Ok(HierarchyObjectRef::Create(kHierarchyObjectClassId)));
  EXPECT_ERROR(root.GetHiearchyCount(false), Nullptr);
  EXPECT_ERROR(root.GetHiearchyCount(true), Nullptr);
  EXPECT_ERROR(CharacterTreeRef().GetHiearchyCount(false), Nullptr);
}

TEST_F(Tree, PrintsItsNodeInfoAndFlagOnly) {
  Uuid id = NewUuid();
  CharacterTreeRef node = Ok(TI::CreateTree(id, S("Spine"), false));
  CharacterTreeRef child = Node("Child", true);
  Link(node, child);
  std::string text = NodeInfoText(id, "Spine") + "Is Transform Node : 0\n";
  EXPECT_EQ(Str(node.ToString()), text);
  node.SetTransformNode(true);
  EXPECT_EQ(Str(node.ToString()), NodeInfoText(id, "Spine") + "Is Transform Node : 1\n");
}

TEST_F(Tree, NameIsTheNodeInfoName) {
  CharacterTreeRef node = Node("Hips", true);
  HierarchyObjectRef::From(node).SetName(S("observer"));
  EXPECT_EQ(Str(node.GetName()), "Hips");
  EXPECT_EQ(Str(HierarchyObjectRef::From(node).GetName()), "observer");
}

TEST_F(Tree, MillionNodeChain) {
  constexpr Int kDepth = 1000000;
  CharacterTreeRef root = Ok(TI::CreateTree(Uuid(), String(), true));
  CharacterTreeRef last = root;
  for (Int i = 1; i < kDepth; ++i) {
    CharacterTreeRef next = Ok(CharacterTreeRef::Create(TI::kClassId));
    ASSERT_TRUE(last.InsertChildLast(next).has_value());
    last = next;
  }
  last.SetTransformNode(true);
  EXPECT_EQ(Ok(root.GetHiearchyCount(false)), kDepth);
  EXPECT_EQ(Ok(root.GetHiearchyCount(true)), 2);
}

}  // namespace
}  // namespace norvo::test
