// Body parts through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using BodyPart = LoadedModule;
using BI = CharacterBodyPartInterface;

CharacterBodyPartRef Part(std::string_view identifier, std::string_view name = "") {
  return Ok(BI::CreateBodyPart(Id(identifier), S(name)));
}

// root [a, b] ─ first [c] ─ grandchild [a]
//             └ second [d]
struct Rig {
  Uuid a = NewUuid(), b = NewUuid(), c = NewUuid(), d = NewUuid();
  CharacterBodyPartRef root = Part("Root", "root"), first = Part("Arm", "first");
  CharacterBodyPartRef grandchild = Part("Hand", "grandchild"), second = Part("Arm", "second");
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

TEST_F(BodyPart, SkeletonsOfTheHierarchy) {
  Rig rig;
  BaseArray<Uuid> all = Ok(rig.root.GetHierarchySkeleton());
  EXPECT_EQ(std::vector<Uuid>(all.begin(), all.end()), (std::vector<Uuid>{rig.a, rig.b, rig.c, rig.a, rig.d}));
  EXPECT_EQ(Ok(rig.root.GetSkeletonCount(false)), 2);
  EXPECT_EQ(Ok(rig.first.GetSkeletonCount(true)), 2);

  ASSERT_TRUE(rig.root.SetControllers(Array({rig.d})).has_value());
  ASSERT_TRUE(rig.first.SetSkeletonKeywords(Array({S("arm")})).has_value());
  ASSERT_TRUE(rig.root.ClearSkeleton(false).has_value());
  EXPECT_EQ(Ref(rig.root.GetSkeleton()).GetCapacity(), 0);
  EXPECT_EQ(Ok(rig.root.GetSkeletonCount(true)), 3);
  ASSERT_TRUE(rig.root.ClearSkeleton(true).has_value());
  EXPECT_EQ(Ok(rig.root.GetSkeletonCount(true)), 0);
  EXPECT_EQ(Ref(rig.root.GetControllers()).GetCount(), 1);  // only skeletons are cleared
  EXPECT_EQ(Ref(rig.first.GetSkeletonKeywords()).GetCount(), 1);
}

TEST_F(BodyPart, FindBodyPart) {
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
      {"nobody", rig.root, Id("Leg"), {}},
      {"letter case differs", rig.root, Id("arm"), {}},
      {"an unset id when all are set", rig.root, InternedId(), {}},
      {"only the subtree", rig.second, Id("Hand"), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Ok(c.start.FindBodyPartByID(c.id)), c.expected);
  }
  // The own identifier wins over a descendant's; an unset one finds the first part without one.
  ASSERT_TRUE(rig.grandchild.SetIdentifier(Id("Arm")).has_value());
  EXPECT_EQ(Ok(rig.first.FindBodyPartByID(Id("Arm"))), rig.first);
  ASSERT_TRUE(rig.second.SetIdentifier(InternedId()).has_value());
  EXPECT_EQ(Ok(rig.root.FindBodyPartByID(InternedId())), rig.second);

  // By the observer name, letter case included.
  EXPECT_EQ(Ok(rig.root.FindBodyPartByName(S("second"))), rig.second);
  EXPECT_FALSE(Ok(rig.root.FindBodyPartByName(S("Second"))));
  EXPECT_FALSE(Ok(rig.root.FindBodyPartByName(S("Hand"))));
  rig.second.SetName(String());
  EXPECT_EQ(Ok(rig.root.FindBodyPartByName(String())), rig.second);
}

TEST_F(BodyPart, ADescendantOfAnotherKindFailsTheWalks) {
  Rig rig;
  Link(rig.second, Ok(HierarchyObjectRef::Create(kHierarchyObjectClassId)));
  EXPECT_ERROR(rig.root.GetHierarchySkeleton(), Nullptr);
  EXPECT_ERROR(rig.root.GetSkeletonCount(true), Nullptr);
  EXPECT_ERROR(rig.root.ClearSkeleton(true), Nullptr);
  EXPECT_ERROR(rig.root.FindBodyPartByID(Id("nobody")), Nullptr);
  EXPECT_EQ(Ok(rig.root.FindBodyPartByID(Id("Hand"))), rig.grandchild);  // found before the walk reaches it
  // Seen with an empty name: the search for the empty name stops there.
  EXPECT_FALSE(Ok(rig.root.FindBodyPartByName(String())));
  EXPECT_ERROR(rig.root.FindBodyPartByName(S("nobody")), Nullptr);
}

TEST_F(BodyPart, PrintsItsMembers) {
  CharacterBodyPartRef part = Part("Spine", "ignored");
  ASSERT_TRUE(part.SetSkeleton(Array({U("00112233-4455-6677-8899-aabbccddeeff")})).has_value());
  ASSERT_TRUE(part.SetSkeletonKeywords(Array({S("spine&&chest")})).has_value());
  EXPECT_EQ(Str(part.ToString()), "Name : \nIdentifier : Spine\nControllers (0) :\nSkeleton Nodes (1) :\n"
                                  "\t00112233-4455-6677-8899-aabbccddeeff\nSkeleton Keywords (1) :\n\tspine&&chest\n"
                                  "Skeleton Discard Keywords (0) :\n");
  EXPECT_EQ(Str(Make<CharacterBodyPartRef>(BI::kClassId).ToString()),
            "Name : \nIdentifier : \nControllers (0) :\nSkeleton Nodes (0) :\nSkeleton Keywords (0) :\n"
            "Skeleton Discard Keywords (0) :\n");
}

}  // namespace
}  // namespace norvo::test
