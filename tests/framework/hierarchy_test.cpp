// Hierarchy objects: ordered trees of objects with observer names.
#include <gtest/gtest.h>

#include <string>

#include "norvo/hierarchy.h"
#include "test_support.h"

namespace norvo::test {
namespace {

constexpr auto Node = &HierarchyNode;

// The names of the children, first to last, once the links have been checked
// to agree in both directions and with GetChildren.
std::string Children(const HierarchyObjectRef& parent) {
  std::string forward, backward, listed;
  for (HierarchyObjectRef c = parent.GetFirstChild(); c; c = c.GetNext()) {
    EXPECT_TRUE(c.GetParent() == parent);
    forward += (forward.empty() ? "" : ",") + Str(c.GetName());
  }
  for (HierarchyObjectRef c = parent.GetLastChild(); c; c = c.GetPrev())
    backward = Str(c.GetName()) + (backward.empty() ? "" : ",") + backward;
  for (const HierarchyObjectRef& c : Ok(parent.GetChildren())) listed += (listed.empty() ? "" : ",") + Str(c.GetName());
  EXPECT_EQ(forward, backward);
  EXPECT_EQ(forward, listed);
  return forward;
}

// The whole tree below `node` as "name(child(...),child)".
std::string Tree(const HierarchyObjectRef& node) {
  std::string text = Str(node.GetName());
  if (!node.GetFirstChild()) return text;
  text += "(";
  for (HierarchyObjectRef c = node.GetFirstChild(); c; c = c.GetNext()) text += Tree(c) + (c.GetNext() ? "," : "");
  return text + ")";
}

// root(a(a1,a2(a21)),b)
struct SmallTree {
  HierarchyObjectRef root = Node("root"), a = Node("a"), a1 = Node("a1"), a2 = Node("a2"), a21 = Node("a21"),
                     b = Node("b");
  SmallTree() {
    EXPECT_TRUE(root.InsertChildLast(a));
    EXPECT_TRUE(root.InsertChildLast(b));
    EXPECT_TRUE(a.InsertChildLast(a1));
    EXPECT_TRUE(a.InsertChildLast(a2));
    EXPECT_TRUE(a2.InsertChildLast(a21));
  }
};

TEST(HierarchyObject, InsertKeepsTheOrderAndMovesAChild) {
  HierarchyObjectRef root = Node("root");
  HierarchyObjectRef a = Node("a"), b = Node("b"), c = Node("c"), d = Node("d"), e = Node("e");
  ASSERT_TRUE(root.InsertChildLast(b));
  ASSERT_TRUE(root.InsertChildFirst(a));
  ASSERT_TRUE(root.InsertChildLast(d));
  ASSERT_TRUE(root.InsertChildAfter(c, b));
  ASSERT_TRUE(root.InsertChildAfter(e, d));
  EXPECT_EQ(Children(root), "a,b,c,d,e");
  EXPECT_EQ(c.GetRefCount(), 2);  // ours and the parent's

  // A child leaves its parent for the new one, or moves within its parent.
  HierarchyObjectRef other = Node("other");
  ASSERT_TRUE(other.InsertChildLast(e));
  ASSERT_TRUE(other.InsertChildFirst(a));
  ASSERT_TRUE(other.InsertChildAfter(c, a));
  EXPECT_EQ(Children(root), "b,d");
  EXPECT_EQ(Children(other), "a,c,e");
  ASSERT_TRUE(other.InsertChildLast(a));
  EXPECT_EQ(Children(other), "c,e,a");
  EXPECT_EQ(c.GetRefCount(), 2);
}

// A child that is removed, or outlives its parent, is a root of its own.
TEST(HierarchyObject, RemovedAndOrphanedChildrenStandAlone) {
  const Int before = LiveAllocationCount();
  auto alone = [](const HierarchyObjectRef& node) {
    return node.GetParent().IsEmpty() && node.GetNext().IsEmpty() && node.GetPrev().IsEmpty() &&
           node.GetRefCount() == 1;
  };
  HierarchyObjectRef kept;
  {
    SmallTree t;
    ASSERT_TRUE(t.root.InsertChildAfter(t.a1, t.a));
    t.a1.Remove();  // from between two siblings
    EXPECT_EQ(Tree(t.root), "root(a(a2(a21)),b)");
    EXPECT_EQ(Children(t.root), "a,b");
    EXPECT_TRUE(alone(t.a1));
    t.a1.Remove();  // no parent: nothing to do
    EXPECT_TRUE(alone(t.a1));
    kept = t.b;
  }
  // The rest of the tree went with its root.
  EXPECT_EQ(Str(kept.GetName()), "b");
  EXPECT_TRUE(alone(kept));
  kept.Reset();
  EXPECT_EQ(LiveAllocationCount(), before);
}

struct Plain {
  Int value = 0;
};

TEST(HierarchyObject, RefusedInsertionsChangeNothing) {
  static const ComponentInfo plainComponent = MakeComponent<Plain>("net.norvo.test.fw.plain", {});
  static constexpr ClassPart kPlainParts[] = {{ClassPart::kComponent, "net.norvo.test.fw.plain"}};
  ModuleContext context;
  ASSERT_TRUE(context.RegisterComponent(plainComponent));
  ASSERT_TRUE(context.RegisterClass("net.norvo.test.fw.class.plain", kPlainParts));
  const ObjectRef plain = Ok(CreateObject("net.norvo.test.fw.class.plain"));
  SmallTree t;
  const HierarchyObjectRef loose = Node("loose");
  constexpr const char* kCycle = "an object cannot be inserted under itself or its descendants";
  constexpr const char* kSibling = "the sibling is not another child of this parent";
  EXPECT_ERROR_MESSAGE(t.a.InsertChildLast(t.a), IllegalArgument, kCycle);
  EXPECT_ERROR_MESSAGE(t.a2.InsertChildFirst(t.a), IllegalArgument, kCycle);
  EXPECT_ERROR_MESSAGE(t.a21.InsertChildLast(t.root), IllegalArgument, kCycle);
  EXPECT_ERROR_MESSAGE(t.root.InsertChildAfter(loose, t.a1), IllegalArgument, kSibling);
  EXPECT_ERROR_MESSAGE(t.root.InsertChildAfter(t.a, t.a), IllegalArgument, kSibling);
  EXPECT_ERROR_MESSAGE(t.root.InsertChildLast(plain), IllegalArgument, "not a hierarchy object");
  EXPECT_ERROR_MESSAGE(HierarchyInsert(plain.Get(), loose.Get(), nullptr, true), IllegalArgument,
                       "not a hierarchy object");
  EXPECT_ERROR_MESSAGE(t.root.InsertChildLast(ObjectRef()), Nullptr, "no object to insert");
  EXPECT_ERROR_MESSAGE(HierarchyObjectRef().InsertChildLast(loose), Nullptr, "no object to insert");
  EXPECT_ERROR_MESSAGE(t.root.InsertChildAfter(loose, ObjectRef()), Nullptr, "no sibling to insert after");
  EXPECT_EQ(Tree(t.root), "root(a(a1,a2(a21)),b)");
  EXPECT_TRUE(loose.GetParent().IsEmpty());
  EXPECT_EQ(loose.GetRefCount(), 1);
  EXPECT_EQ(t.a.GetRefCount(), 2);
}

TEST(CopyObject, CopiesTheWholeSubtree) {
  SmallTree t;
  HierarchyObjectRef copy = HierarchyObjectRef::From(Ok(CopyObject(*t.root.Get())));
  EXPECT_EQ(Tree(copy), "root(a(a1,a2(a21)),b)");
  EXPECT_EQ(t.a.GetRefCount(), 2);  // the source is untouched

  // A subtree copy leaves the source's parent and siblings behind.
  HierarchyObjectRef a = HierarchyObjectRef::From(Ok(CopyObject(*t.a.Get())));
  EXPECT_EQ(Tree(a), "a(a1,a2(a21))");
  EXPECT_TRUE(a.GetParent().IsEmpty());
  EXPECT_TRUE(a.GetNext().IsEmpty());
  EXPECT_EQ(Tree(t.root), "root(a(a1,a2(a21)),b)");

  // Six allocations, one per object: the copies share the names.
  EXPECT_EQ(SweepForOutOfMemory([&] { return CopyObject(*t.root.Get()); }), 6);
}

// A chain of a million nodes is walked without recursion when it is
// released, copied, saved and loaded.
TEST(HierarchyObject, MillionNodeChainCopiesSavesAndLoads) {
  constexpr Int kDepth = 1000000;
  const Int before = LiveAllocationCount();
  {
    HierarchyObjectRef root = Node("root");
    HierarchyObjectRef last = root;
    for (Int i = 1; i < kDepth; ++i) {
      HierarchyObjectRef next = Ok(HierarchyObjectRef::Create(kHierarchyObjectClassId));
      ASSERT_TRUE(last.InsertChildLast(next));
      last = std::move(next);
    }
    last.SetName(S("leaf"));
    // The depth of the chain and the names at its ends.
    auto depthAndNames = [](Object* at) {
      Int depth = 1;
      std::string names = Str(HierarchyObjectRef::From(ObjectRef::Share(at)).GetName());
      for (; HierarchyFirstChild(at); at = HierarchyFirstChild(at)) ++depth;
      return std::make_pair(depth, names + "," + Str(HierarchyObjectRef::From(ObjectRef::Share(at)).GetName()));
    };
    const auto expected = std::make_pair(kDepth, std::string("root,leaf"));
    EXPECT_EQ(depthAndNames(root.Get()), expected);
    {
      const ObjectRef copy = Ok(CopyObject(*root.Get()));
      EXPECT_EQ(depthAndNames(copy.Get()), expected);
      EXPECT_EQ(LiveAllocationCount(), before + 2 * kDepth + 2);  // the nodes and the two names
    }
    EXPECT_EQ(depthAndNames(FromJson(JsonText(root)).Get()), expected);
  }
  EXPECT_EQ(LiveAllocationCount(), before);
}

}  // namespace
}  // namespace norvo::test
