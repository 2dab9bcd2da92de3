// Body parts through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using BodyPart = LoadedModule;
using BI = CharacterBodyPartInterface;

CharacterBodyPartRef Part(std::string_view identifier, std::string_view name = "") {
  Result<CharacterBodyPartRef> part = BI::CreateBodyPart(Id(identifier), S(name));
  EXPECT_TRUE(part.has_value());
  return part ? std::move(part).value() : CharacterBodyPartRef();
}

// root [a, b] ─ first [c] ─ grandchild [a]
//             └ second [d]
struct Rig {
  Uuid a = NewUuid(), b = NewUuid(), c = NewUuid(), d = NewUuid();
  CharacterBodyPartRef root = Part("Root", "root"), first = Part("Arm", "first"), grandchild = Part("Hand", "grandchild"),
                       second = Part("Arm", "second");
  Rig() {
    Link(root, first);
    Link(first, grandchild);
    Link(root, second);
    EXPECT_TRUE(root.SetSkeleton(Array({a, b})).has_value());
    EXPECT_TRUE(first.SetSkeleton(Array({c})).has_value());
    EXPECT_TRUE(grandchild.SetSkeleton(Array({a})).has_value());
    EXPECT_TRUE(second.SetSkeleton(Array({d})).has_value());
  }
};

TEST_F(BodyPart, CreateBodyPart) {
  CharacterBodyPartRef part = Part("LeftArm", "Left arm");
  EXPECT_EQ(Ok(part.GetIdentifier()), Id("LeftArm"));
  EXPECT_EQ(Str(part.GetName()), "Left arm");
  EXPECT_EQ(Ref(part.GetSkeleton()).GetCount(), 0);
  EXPECT_FALSE(part.GetParent());
  // The node info part is there, and untouched.
  EXPECT_TRUE(CharacterNodeInfo::From(part).GetName().IsEmpty());
}

TEST_F(BodyPart, HierarchySkeletonAndCounts) {
  Rig rig;
  BaseArray<Uuid> all = Ok(rig.root.GetHierarchySkeleton());
  ASSERT_EQ(all.GetCount(), 5);
  const Uuid expected[] = {rig.a, rig.b, rig.c, rig.a, rig.d};
  for (Int i = 0; i < 5; ++i) EXPECT_EQ(all[i], expected[i]) << i;
  EXPECT_EQ(Ok(rig.root.GetSkeletonCount(true)), 5);
  EXPECT_EQ(Ok(rig.root.GetSkeletonCount(false)), 2);
  EXPECT_EQ(Ok(rig.first.GetSkeletonCount(true)), 2);
}

TEST_F(BodyPart, ClearSkeleton) {
  Rig rig;
  ASSERT_TRUE(rig.root.SetControllers(Array({rig.d})).has_value());
  ASSERT_TRUE(rig.first.SetSkeletonKeywords(Array({S("arm")})).has_value());
  ASSERT_TRUE(rig.root.ClearSkeleton(false).has_value());
  EXPECT_EQ(Ok(rig.root.GetSkeletonCount(false)), 0);
  EXPECT_EQ(Ref(rig.root.GetSkeleton()).GetCapacity(), 0);
  EXPECT_EQ(Ok(rig.root.GetSkeletonCount(true)), 3);
  ASSERT_TRUE(rig.root.ClearSkeleton(true).has_value());
  EXPECT_EQ(Ok(rig.root.GetSkeletonCount(true)), 0);
  EXPECT_EQ(Ref(rig.root.GetControllers()).GetCount(), 1);
  EXPECT_EQ(Ref(rig.first.GetSkeletonKeywords()).GetCount(), 1);
}

TEST_F(BodyPart, ArraySetFromItselfOrEmpty) {
  CharacterBodyPartRef part = Part("Leg");
  ASSERT_TRUE(part.SetSkeletonDiscardKeywords(Array({S("toe"), S("toe")})).has_value());
  ASSERT_TRUE(part.SetSkeletonDiscardKeywords(Ref(part.GetSkeletonDiscardKeywords())).has_value());
  EXPECT_EQ(Ref(part.GetSkeletonDiscardKeywords()).GetCount(), 2);
  EXPECT_EQ(Ref(part.GetSkeletonDiscardKeywords()).GetCapacity(), 2);
  ASSERT_TRUE(part.SetSkeletonDiscardKeywords(BaseArray<String>()).has_value());
  EXPECT_EQ(Ref(part.GetSkeletonDiscardKeywords()).GetCapacity(), 0);
}

TEST_F(BodyPart, ADescendantOfAnotherKindFailsTheWalks) {
  Rig rig;
  Link(rig.second, Ok(HierarchyObjectRef::Create(kHierarchyObjectClassId)));
  EXPECT_ERROR(rig.root.GetHierarchySkeleton(), Nullptr);
  EXPECT_ERROR(rig.root.GetSkeletonCount(true), Nullptr);
  EXPECT_ERROR(rig.root.ClearSkeleton(true), Nullptr);
  EXPECT_ERROR(rig.root.FindBodyPartByID(Id("nobody")), Nullptr);
  // Found before the walk reaches it.
  EXPECT_EQ(Ok(rig.root.FindBodyPartByID(Id("Hand"))), rig.grandchild);
  // Seen with an empty name: the search for the empty name stops there.
  EXPECT_FALSE(Ok(rig.root.FindBodyPartByName(String())));
  EXPECT_ERROR(rig.root.FindBodyPartByName(S("nobody")), Nullptr);
}

TEST_F(BodyPart, FindBodyPartByID) {
  Rig rig;
  struct Case {
    const char* what;
    CharacterBodyPartRef start;
    InternedId id;
    CharacterBodyPartRef expected;
  } cases[] = {
      {"itself first", rig.root, Id("Root"), rig.root},
      {"a child's subtree before the next child", rig.root, Id("Arm"), rig.first},
      {"a grandchild", rig.root, Id("Hand"), rig.grandchild},
      {"nobody", rig.root, Id("Leg"), CharacterBodyPartRef()},
      {"letter case differs", rig.root, Id("arm"), CharacterBodyPartRef()},
      {"an unset id when all are set", rig.root, InternedId(), CharacterBodyPartRef()},
      {"only the subtree", rig.second, Id("Hand"), CharacterBodyPartRef()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Ok(c.start.FindBodyPartByID(c.id)), c.expected);
  }
  // The own identifier wins over a descendant's.
  ASSERT_TRUE(rig.grandchild.SetIdentifier(Id("Arm")).has_value());
  EXPECT_EQ(Ok(rig.first.FindBodyPartByID(Id("Arm"))), rig.first);
  // An unset identifier finds the first part without one.
  ASSERT_TRUE(rig.second.SetIdentifier(InternedId()).has_value());
  EXPECT_EQ(Ok(rig.root.FindBodyPartByID(InternedId())), rig.second);
}

TEST_F(BodyPart, FindBodyPartByNameUsesTheObserverName) {
  Rig rig;
  EXPECT_EQ(Ok(rig.root.FindBodyPartByName(S("grandchild"))), rig.grandchild);
  EXPECT_EQ(Ok(rig.root.FindBodyPartByName(S("second"))), rig.second);
  EXPECT_FALSE(Ok(rig.root.FindBodyPartByName(S("Second"))));
  EXPECT_FALSE(Ok(rig.root.FindBodyPartByName(S("Arm"))));
  rig.second.SetName(String());
  EXPECT_EQ(Ok(rig.root.FindBodyPartByName(String())), rig.second);
}

TEST_F(BodyPart, PrintsItsMembers) {
  Uuid u = U("00112233-4455-6677-8899-aabbccddeeff");
  CharacterBodyPartRef part = Part("Spine", "ignored");
  ASSERT_TRUE(part.SetSkeleton(Array({u})).has_value());
  ASSERT_TRUE(part.SetSkeletonKeywords(Array({S("spine&&chest")})).has_value());
  EXPECT_EQ(Str(part.ToString()),
            "Name : \n"
            "Identifier : Spine\n"
            "Controllers (0) :\n"
            "Skeleton Nodes (1) :\n"
            "\t00112233-4455-6677-8899-aabbccddeeff\n"
            "Skeleton Keywords (1) :\n"
            "\tspine&&chest\n"
            "Skeleton Discard Keywords (0) :\n");
  EXPECT_EQ(Str(Make<CharacterBodyPartRef>(BI::kClassId).ToString()),
            "Name : \nIdentifier : \nControllers (0) :\nSkeleton Nodes (0) :\nSkeleton Keywords (0) :\n"
            "Skeleton Discard Keywords (0) :\n");
}

TEST_F(BodyPart, OutOfMemory) {
  Rig rig;
  BaseArray<Uuid> five = Array({rig.a, rig.b, rig.c, rig.d, rig.a});
  ForEachAllocationFailure([&] {
    Result<void> set = rig.first.SetControllers(five);
    if (!set) {
      EXPECT_EQ(set.error().kind(), ErrorKind::OutOfMemory);
      EXPECT_EQ(Ref(rig.first.GetControllers()).GetCount(), 0);
    }
    return set.has_value();
  });
  ForEachAllocationFailure([&] {
    Result<void> set = rig.first.SetSkeleton(five);
    if (!set) {
      EXPECT_EQ(set.error().kind(), ErrorKind::OutOfMemory);
      EXPECT_EQ(Ref(rig.first.GetSkeleton())[0], rig.c);  // kept
    }
    return set.has_value();
  });
  BaseArray<String> keywords = Array({S("arm"), S("hand")});
  ForEachAllocationFailure([&] {
    Result<void> set = rig.first.SetSkeletonKeywords(keywords);
    if (!set) {
      EXPECT_EQ(set.error().kind(), ErrorKind::OutOfMemory);
    }
    return set.has_value();
  });
  ForEachAllocationFailure([&] {
    Result<BaseArray<Uuid>> all = rig.root.GetHierarchySkeleton();
    if (!all) {
      EXPECT_EQ(all.error().kind(), ErrorKind::OutOfMemory);
    }
    return all.has_value();
  });
}

TEST_F(BodyPart, MillionPartChain) {
  constexpr Int kDepth = 1000000;
  CharacterBodyPartRef root = Part("Root");
  CharacterBodyPartRef last = root;
  Uuid node = NewUuid();
  BaseArray<Uuid> one = Array({node});
  for (Int i = 1; i < kDepth; ++i) {
    CharacterBodyPartRef next = Ok(CharacterBodyPartRef::Create(BI::kClassId));
    ASSERT_TRUE(last.InsertChildLast(next).has_value());
    last = next;
  }
  ASSERT_TRUE(last.SetIdentifier(Id("Deepest")).has_value());
  ASSERT_TRUE(last.SetSkeleton(one).has_value());
  last.SetName(S("deepest"));
  EXPECT_EQ(Ok(root.FindBodyPartByID(Id("Deepest"))), last);
  EXPECT_EQ(Ok(root.FindBodyPartByName(S("deepest"))), last);
  EXPECT_EQ(Ok(root.GetSkeletonCount(true)), 1);
  EXPECT_EQ(Ok(root.GetHierarchySkeleton()).GetCount(), 1);
  ASSERT_TRUE(root.ClearSkeleton(true).has_value());
  EXPECT_EQ(Ref(last.GetSkeleton()).GetCount(), 0);
}

}  // namespace
}  // namespace norvo::test
