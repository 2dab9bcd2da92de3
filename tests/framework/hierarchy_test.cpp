// Hierarchy objects: ordered trees of objects with observer names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "norvo/hierarchy.h"
#include "test_support.h"

namespace norvo::test {
namespace {

HierarchyObjectRef Node(std::string_view name) {
  Result<HierarchyObjectRef> node = HierarchyObjectRef::Create(kHierarchyObjectClassId);
  EXPECT_TRUE(node);
  if (!node) return {};
  HierarchyObjectRef ref = std::move(node).value();
  ref.SetName(S(name));
  return ref;
}

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
  Result<BaseArray<HierarchyObjectRef>> children = parent.GetChildren();
  EXPECT_TRUE(children);
  if (children) {
    for (const HierarchyObjectRef& c : children.value()) listed += (listed.empty() ? "" : ",") + Str(c.GetName());
  }
  EXPECT_EQ(forward, backward);
  EXPECT_EQ(forward, listed);
  return forward;
}

// The whole tree below `node` as "name(child(...),child)".
std::string Tree(const HierarchyObjectRef& node) {
  std::string text = Str(node.GetName());
  if (!node.GetFirstChild()) return text;
  text += "(";
  for (HierarchyObjectRef c = node.GetFirstChild(); c; c = c.GetNext())
    text += Tree(c) + (c.GetNext() ? "," : "");
  return text + ")";
}

// Whether any object of one tree appears in the other.
bool SharesObjects(Object* a, Object* b) {
  if (a == b) return true;
  for (Object *ca = HierarchyFirstChild(a), *cb = HierarchyFirstChild(b); ca && cb;
       ca = HierarchyNext(ca), cb = HierarchyNext(cb))
    if (SharesObjects(ca, cb)) return true;
  return false;
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

TEST(HierarchyObject, InsertKeepsTheOrder) {
  HierarchyObjectRef root = Node("root");
  HierarchyObjectRef a = Node("a"), b = Node("b"), c = Node("c"), d = Node("d"), e = Node("e");
  ASSERT_TRUE(root.InsertChildLast(b));
  ASSERT_TRUE(root.InsertChildFirst(a));
  ASSERT_TRUE(root.InsertChildLast(d));
  ASSERT_TRUE(root.InsertChildAfter(c, b));
  ASSERT_TRUE(root.InsertChildAfter(e, d));
  EXPECT_EQ(Children(root), "a,b,c,d,e");
  EXPECT_TRUE(root.GetFirstChild() == a);
  EXPECT_TRUE(root.GetLastChild() == e);
  EXPECT_TRUE(a.GetPrev().IsEmpty());
  EXPECT_TRUE(e.GetNext().IsEmpty());
  EXPECT_TRUE(root.GetParent().IsEmpty());
  EXPECT_TRUE(a.GetFirstChild().IsEmpty());
  EXPECT_EQ(c.GetRefCount(), 2);  // ours and the parent's

  // The parent keeps a child alive.
  Object* raw = c.Get();
  c.Reset();
  EXPECT_EQ(HierarchyNext(b.Get()), raw);
  EXPECT_EQ(Children(root), "a,b,c,d,e");
}

TEST(HierarchyObject, RemoveUnlinks) {
  const struct {
    int index;
    const char* rest;
  } cases[] = {{0, "b,c"}, {1, "a,c"}, {2, "a,b"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rest);
    HierarchyObjectRef root = Node("root");
    HierarchyObjectRef nodes[] = {Node("a"), Node("b"), Node("c")};
    for (const HierarchyObjectRef& node : nodes) ASSERT_TRUE(root.InsertChildLast(node));
    const HierarchyObjectRef& removed = nodes[c.index];
    removed.Remove();
    EXPECT_EQ(Children(root), c.rest);
    EXPECT_TRUE(removed.GetParent().IsEmpty());
    EXPECT_TRUE(removed.GetNext().IsEmpty());
    EXPECT_TRUE(removed.GetPrev().IsEmpty());
    EXPECT_EQ(removed.GetRefCount(), 1);
    removed.Remove();  // no parent: nothing to do
    root.Remove();
    EXPECT_EQ(removed.GetRefCount(), 1);
  }
}

TEST(HierarchyObject, ChildMovesToItsNewParent) {
  HierarchyObjectRef p1 = Node("p1"), p2 = Node("p2");
  HierarchyObjectRef a = Node("a"), b = Node("b"), c = Node("c");
  ASSERT_TRUE(p1.InsertChildLast(a));
  ASSERT_TRUE(p1.InsertChildLast(b));
  ASSERT_TRUE(p2.InsertChildLast(c));

  ASSERT_TRUE(p2.InsertChildFirst(b));
  EXPECT_EQ(Children(p1), "a");
  EXPECT_EQ(Children(p2), "b,c");
  EXPECT_EQ(b.GetRefCount(), 2);

  ASSERT_TRUE(p2.InsertChildLast(b));  // within the same parent
  EXPECT_EQ(Children(p2), "c,b");
  ASSERT_TRUE(p2.InsertChildAfter(a, c));
  EXPECT_EQ(Children(p1), "");
  EXPECT_EQ(Children(p2), "c,a,b");
  EXPECT_EQ(a.GetRefCount(), 2);
}

TEST(HierarchyObject, IllegalInsertionsChangeNothing) {
  SmallTree t;
  HierarchyObjectRef loose = Node("loose");
  constexpr const char* kShape = "root(a(a1,a2(a21)),b)";
  constexpr const char* kCycle = "an object cannot be inserted under itself or its descendants";
  constexpr const char* kSibling = "the sibling is not another child of this parent";
  { EXPECT_ERROR_MESSAGE(t.a.InsertChildLast(t.a), IllegalArgument, kCycle); }
  { EXPECT_ERROR_MESSAGE(t.a2.InsertChildFirst(t.a), IllegalArgument, kCycle); }
  { EXPECT_ERROR_MESSAGE(t.a21.InsertChildLast(t.root), IllegalArgument, kCycle); }
  { EXPECT_ERROR_MESSAGE(t.a21.InsertChildAfter(t.a, t.a21), IllegalArgument, kSibling); }
  { EXPECT_ERROR_MESSAGE(t.root.InsertChildAfter(loose, t.a1), IllegalArgument, kSibling); }
  { EXPECT_ERROR_MESSAGE(t.root.InsertChildAfter(t.a, t.a), IllegalArgument, kSibling); }
  { EXPECT_ERROR_MESSAGE(t.root.InsertChildAfter(loose, loose), IllegalArgument, kSibling); }
  { EXPECT_ERROR_MESSAGE(t.root.InsertChildLast(ObjectRef()), Nullptr, "no object to insert"); }
  { EXPECT_ERROR_MESSAGE(HierarchyObjectRef().InsertChildLast(loose), Nullptr, "no object to insert"); }
  { EXPECT_ERROR_MESSAGE(t.root.InsertChildAfter(loose, ObjectRef()), Nullptr, "no sibling to insert after"); }
  EXPECT_EQ(Tree(t.root), kShape);
  EXPECT_EQ(Children(t.a), "a1,a2");
  EXPECT_TRUE(loose.GetParent().IsEmpty());
  EXPECT_EQ(loose.GetRefCount(), 1);
  EXPECT_EQ(t.a.GetRefCount(), 2);
}

struct Plain {
  Int value = 0;
};

TEST(HierarchyObject, ParentReleasesItsChildren) {
  const Int before = LiveAllocationCount();
  HierarchyObjectRef kept;
  {
    SmallTree t;
    kept = t.b;
  }
  // The rest of the tree went with its root; `b` is a root of its own now.
  EXPECT_EQ(Str(kept.GetName()), "b");
  EXPECT_TRUE(kept.GetParent().IsEmpty());
  EXPECT_TRUE(kept.GetPrev().IsEmpty());
  EXPECT_EQ(kept.GetRefCount(), 1);
  kept.Reset();
  EXPECT_EQ(LiveAllocationCount(), before);
}

TEST(CopyObject, CopiesTheWholeSubtree) {
  SmallTree t;
  Result<ObjectRef> copied = CopyObject(*t.root.Get());
  ASSERT_TRUE(copied);
  HierarchyObjectRef copy = HierarchyObjectRef::From(copied.value());
  EXPECT_EQ(Tree(copy), "root(a(a1,a2(a21)),b)");
  EXPECT_FALSE(SharesObjects(copy.Get(), t.root.Get()));
  EXPECT_EQ(t.a.GetRefCount(), 2);  // the source is untouched

  // A subtree copy leaves the source's parent and siblings behind.
  Result<ObjectRef> branch = CopyObject(*t.a.Get());
  ASSERT_TRUE(branch);
  HierarchyObjectRef a = HierarchyObjectRef::From(branch.value());
  EXPECT_EQ(Tree(a), "a(a1,a2(a21))");
  EXPECT_TRUE(a.GetParent().IsEmpty());
  EXPECT_TRUE(a.GetNext().IsEmpty());
  EXPECT_EQ(Tree(t.root), "root(a(a1,a2(a21)),b)");

  int failures = ForEachAllocationFailure([&] {
    Result<ObjectRef> r = CopyObject(*t.root.Get());
    if (!r) {
      EXPECT_EQ(r.error().kind(), ErrorKind::OutOfMemory);
    }
    return bool(r);
  });
  EXPECT_GT(failures, 0);
}

TEST(HierarchyObject, MillionNodeChain) {
  constexpr Int kDepth = 1000000;
  const Int before = LiveAllocationCount();
  {
    HierarchyObjectRef root = Node("root");
    HierarchyObjectRef last = root;
    for (Int i = 1; i < kDepth; ++i) {
      Result<HierarchyObjectRef> next = HierarchyObjectRef::Create(kHierarchyObjectClassId);
      ASSERT_TRUE(next);
      ASSERT_TRUE(last.InsertChildLast(next.value()));
      last = std::move(next).value();
    }
    last.SetName(S("leaf"));
    auto depthAndLeaf = [](Object* at) {
      Int depth = 0;
      Object* leaf = nullptr;
      for (; at; at = HierarchyFirstChild(at), ++depth) leaf = at;
      return std::make_pair(depth, Str(HierarchyObjectRef::From(ObjectRef::Share(leaf)).GetName()));
    };
    EXPECT_EQ(depthAndLeaf(root.Get()), std::make_pair(kDepth, std::string("leaf")));

    Result<ObjectRef> copy = CopyObject(*root.Get());
    ASSERT_TRUE(copy);
    EXPECT_EQ(depthAndLeaf(copy.value().Get()), std::make_pair(kDepth, std::string("leaf")));
    EXPECT_EQ(LiveAllocationCount(), before + 2 * kDepth + 2);  // the nodes and the two names
  }
  EXPECT_EQ(LiveAllocationCount(), before);
}

}  // namespace
}  // namespace norvo::test
