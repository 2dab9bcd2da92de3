// The retarget base helper through the loaded module.
#include "retarget_test_support.h"

namespace norvo::test {
namespace {

using Helper = LoadedModule;
using HI = RetargetBaseHelperInterface;
using AI = CharacterAssociationInterface;

constexpr const char* kNullBodyParts = "Illegal argument: Condition srcBodyPart && dstBodyPart not fulfilled. ";

// A small skeleton whose nodes are named; the first node is the root.
struct TestTree {
  std::vector<CharacterTreeRef> nodes;

  CharacterTreeRef Add(std::string_view name, const CharacterTreeRef& parent = {}) {
    CharacterTreeRef node = TreeNode(name);
    if (parent) Link(parent, node);
    nodes.push_back(node);
    return node;
  }
  const CharacterTreeRef& Root() const { return nodes.front(); }
  std::vector<std::string> Names(const std::vector<Uuid>& uuids) const {
    std::vector<std::string> names;
    for (const Uuid& uuid : uuids) {
      names.push_back("?");
      for (const CharacterTreeRef& node : nodes)
        if (node.GetUuid() == uuid) names.back() = Str(node.GetName());
    }
    return names;
  }
};

using Names = std::vector<std::string>;

CharacterPose PoseOf(std::initializer_list<CharacterNodeTransform> transforms) { return MakePose(Array(transforms)); }

HierarchyObjectRef OtherKind() { return Ok(HierarchyObjectRef::Create(kHierarchyObjectClassId)); }

std::vector<Uuid> NewUuids(int count) {
  std::vector<Uuid> uuids;
  for (int i = 0; i < count; ++i) uuids.push_back(NewUuid());
  return uuids;
}

void SetSkeleton(const CharacterBodyPartRef& part, const std::vector<Uuid>& uuids) {
  BaseArray<Uuid> array;
  for (const Uuid& uuid : uuids) ASSERT_TRUE(array.Append(uuid).has_value());
  ASSERT_TRUE(part.SetSkeleton(array).has_value());
}

// A body part with this skeleton, the last child of `parent` if one is given.
CharacterBodyPartRef Part(std::string_view identifier, const std::vector<Uuid>& skeleton,
                          const CharacterBodyPartRef& parent = {}) {
  CharacterBodyPartRef part = BodyPart(identifier);
  SetSkeleton(part, skeleton);
  if (parent) Link(parent, part);
  return part;
}

// ---- FillBodyPart -----------------------------------------------------------

TEST_F(Helper, KeywordsMatchEveryPartInAnyCaseAndOrder) {
  TestTree tree;
  tree.Add("Root");
  for (const char* name : {"LeftArm_01", "ARM_LEFT", "RightArm"}) tree.Add(name, tree.Root());
  const Names all = {"LeftArm_01", "ARM_LEFT", "RightArm"}, left = {"LeftArm_01", "ARM_LEFT"};
  struct Case {
    std::vector<std::string_view> keywords, discard;
    Names expected;
  } cases[] = {
      {{"arm"}, {}, all},
      {{"LEFT&&aRm"}, {}, left},
      {{"left", "right"}, {}, all},
      {{"tarm&&lefta"}, {}, {"LeftArm_01"}},  // parts may overlap
      {{"arm"}, {"right"}, left},
      {{"left&&arm"}, {"_01"}, {"ARM_LEFT"}},  // matched and discarded: not taken
      {{"left arm"}, {}, {}},                  // white space is part of the keyword
      {{"root"}, {}, {"Root"}},
      // Empty parts are ignored; a keyword of empty parts only matches nothing.
      {{"arm&&"}, {}, all},
      {{"&&arm"}, {}, all},
      {{"arm&&&&left"}, {}, left},
      {{"", "&&", "&&&&"}, {}, {}},
      {{"arm"}, {"", "&&"}, all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    CharacterBodyPartRef part = BodyPart("Arm", c.keywords, c.discard);
    ASSERT_TRUE(HI::FillBodyPart(tree.Root(), part).has_value());
    EXPECT_EQ(tree.Names(Skeleton(part)), c.expected);
  }
}

TEST_F(Helper, FillsEachBodyPartBelowInWalkOrderWithItsOwnKeywords) {
  TestTree tree;
  CharacterTreeRef root = tree.Add("arm_root");
  CharacterTreeRef first = tree.Add("arm_first", root);
  tree.Add("arm_deep", tree.Add("LeftHand", first));
  tree.Add("arm_second", root);
  CharacterBodyPartRef body = BodyPart("Body"), arm = BodyPart("Arm", {"ARM"}), hand = BodyPart("Hand", {"hand"}),
                       legs = BodyPart("Legs", {"leg"});
  Link(body, arm);
  Link(arm, hand);
  Link(body, legs);
  for (const CharacterBodyPartRef& part : {body, arm, hand, legs}) SetSkeleton(part, NewUuids(1));
  ASSERT_TRUE(HI::FillBodyPart(tree.Root(), body).has_value());
  EXPECT_TRUE(Skeleton(body).empty());  // no keywords: emptied
  EXPECT_EQ(tree.Names(Skeleton(arm)), (Names{"arm_root", "arm_first", "arm_deep", "arm_second"}));
  EXPECT_EQ(tree.Names(Skeleton(hand)), Names{"LeftHand"});
  EXPECT_TRUE(Skeleton(legs).empty());
  // From a subtree, only its nodes, replacing the list.
  ASSERT_TRUE(HI::FillBodyPart(first, arm).has_value());
  EXPECT_EQ(tree.Names(Skeleton(arm)), (Names{"arm_first", "arm_deep"}));

  // Without keywords the tree is not walked: a null tree is no error then.
  CharacterBodyPartRef bare = BodyPart("Bare");
  Link(bare, BodyPart("BareChild"));
  EXPECT_TRUE(HI::FillBodyPart(CharacterTreeRef(), bare).has_value());
}

TEST_F(Helper, FillBodyPartFailures) {
  TestTree tree;
  tree.Add("Hips");
  tree.Add("LeftArm", tree.Root());
  Uuid old = NewUuid();
  EXPECT_ERROR(HI::FillBodyPart(tree.Root(), CharacterBodyPartRef()), Nullptr);
  // A null tree, or a tree node of another kind: the old skeleton stays.
  TestTree broken;
  broken.Add("LeftArm");
  Link(broken.Root(), OtherKind());
  broken.Add("RightArm", broken.Root());
  for (const CharacterTreeRef& root : {CharacterTreeRef(), broken.Root()}) {
    CharacterBodyPartRef part = BodyPart("Arm", {"arm"});
    ASSERT_TRUE(part.SetSkeleton(Array({old})).has_value());
    EXPECT_ERROR(HI::FillBodyPart(root, part), Nullptr);
    EXPECT_EQ(Skeleton(part), std::vector<Uuid>{old});
  }
  {
    SCOPED_TRACE("a body part of another kind: those filled before it keep their skeleton");
    CharacterBodyPartRef root = BodyPart("Root", {"hips"}), first = BodyPart("First", {"arm"}),
                         after = BodyPart("After", {"arm"});
    Link(root, first);
    Link(root, OtherKind());
    Link(root, after);
    ASSERT_TRUE(after.SetSkeleton(Array({old})).has_value());
    EXPECT_ERROR(HI::FillBodyPart(tree.Root(), root), Nullptr);
    EXPECT_EQ(tree.Names(Skeleton(root)), Names{"Hips"});
    EXPECT_EQ(tree.Names(Skeleton(first)), Names{"LeftArm"});
    EXPECT_EQ(Skeleton(after), std::vector<Uuid>{old});
  }
}

// ---- AssociateBodyPartsByIdentifier --------------------------------------------

TEST_F(Helper, AFailureInsideAVisitEndsOnlyThatBodyPart) {
  std::vector<Uuid> s = NewUuids(3), d = NewUuids(3), next = NewUuids(1), nextDst = NewUuids(1);
  s[1] = Uuid();  // an empty Uuid cannot be associated
  CharacterBodyPartRef src = Part("Arm", s), dst = Part("Arm", d);
  for (const CharacterBodyPartRef& root : {src, dst})  // a part without identifier first
    Link(root, Ok(CharacterBodyPartRef::Create(CharacterBodyPartInterface::kClassId)));
  Part("Hand", next, src);
  Part("Hand", nextDst, dst);
  AssociationStatistics statistics;
  CharacterAssociation association = Ok(HI::AssociateBodyPartsByIdentifier(src, dst, statistics));
  // The parts without identifier are found, not associated; only Hand's nodes count.
  EXPECT_EQ(Counts(statistics), (std::vector<Int>{3, 2, 1, 1, 1}));
  EXPECT_EQ(Ok(association.GetAssociatedUuid(s[0])), d[0]);  // stored before the failure: stays
  EXPECT_ERROR(association.GetAssociatedUuid(d[1]), IllegalArgument);
  EXPECT_ERROR(association.GetAssociatedUuid(s[2]), IllegalArgument);
  EXPECT_EQ(Ok(association.GetAssociatedUuid(next[0])), nextDst[0]);
}

TEST_F(Helper, FindsTheTargetThatFindBodyPartByIDFinds) {
  // target: Root ─ A ─ B        source: Root ─ A, B, C, Root, D
  //              │   └ A
  //              ├ B ─ (another kind)
  //              └ C
  CharacterBodyPartRef dst = Part("Root", NewUuids(1)), a = Part("A", NewUuids(1), dst);
  Part("B", NewUuids(1), a);
  Part("A", NewUuids(1), a);
  Link(Part("B", NewUuids(1), dst), OtherKind());
  Part("C", NewUuids(1), dst);
  CharacterBodyPartRef src = Part("Root", NewUuids(1));
  for (const char* id : {"A", "B", "C", "Root", "D"}) Part(id, NewUuids(1), src);

  AssociationStatistics statistics;
  CharacterAssociation association = Ok(HI::AssociateBodyPartsByIdentifier(src, dst, statistics));
  // Root twice (the target root itself is searched), A and B; C lies beyond
  // the failing descendant, D nowhere: their nodes are not counted.
  EXPECT_EQ(Counts(statistics), (std::vector<Int>{6, 4, 4, 4, 4}));
  EXPECT_EQ(EntriesOf(association).ids, (std::set<std::string>{"A->A", "B->B", "Root->Root"}));
  for (HierarchyObjectRef child = HierarchyObjectRef::From(src).GetFirstChild(); child; child = child.GetNext()) {
    CharacterBodyPartRef source = CharacterBodyPartRef::From(child);
    SCOPED_TRACE(std::string(Ok(source.GetIdentifier()).View()));
    Result<CharacterBodyPartRef> expected = dst.FindBodyPartByID(Ok(source.GetIdentifier()));
    Result<Uuid> partner = association.GetAssociatedUuid(Skeleton(source)[0]);
    if (expected && expected.value()) {
      EXPECT_EQ(Ok(std::move(partner)), Skeleton(expected.value())[0]);
    } else {
      EXPECT_FALSE(partner.has_value());
    }
  }
  EXPECT_ERROR(dst.FindBodyPartByID(Id("C")), Nullptr);
}

TEST_F(Helper, AssociateBodyPartsByIdentifierFailures) {
  CharacterBodyPartRef part = BodyPart("Arm");
  AssociationStatistics statistics{7, 7, 7, 7, 7};
  EXPECT_ERROR_MESSAGE(HI::AssociateBodyPartsByIdentifier({}, part, statistics), IllegalArgument, kNullBodyParts);
  EXPECT_ERROR_MESSAGE(HI::AssociateBodyPartsByIdentifier(part, {}, statistics), IllegalArgument, kNullBodyParts);
  EXPECT_EQ(Counts(statistics), (std::vector<Int>{7, 7, 7, 7, 7}));
  CharacterBodyPartRef src = BodyPart("Arm");
  Link(src, BodyPart("Hand"));
  Link(src, OtherKind());
  EXPECT_ERROR(HI::AssociateBodyPartsByIdentifier(src, part, statistics), Nullptr);
}

// ---- TranslateSrcToDestID -------------------------------------------------------

TEST_F(Helper, TranslatesToThePartnersKeepingNamesAndMatrices) {
  Uuid a = NewUuid(), b = NewUuid(), x = NewUuid(), y = NewUuid();
  CharacterAssociation association = Make<CharacterAssociation>(CharacterAssociationInterface::kClassId);
  ASSERT_TRUE(association.AssociateUuid(a, x).has_value());
  ASSERT_TRUE(association.AssociateUuid(b, y).has_value());
  CharacterNodeTransform ta = Transform(a, "A", 1), tb = Transform(b, "B", 2);
  CharacterPose pose = PoseOf({tb, Transform(NewUuid(), "C", 3), CharacterNodeTransform(), ta});

  CharacterPose translated = Ok(HI::TranslateSrcToDestID(association, pose));
  ASSERT_EQ(translated.GetNodeTransformCount(), 2);
  const BaseArray<CharacterNodeTransform>& out = Ref(translated.GetNodeTransformArray());
  EXPECT_EQ(out[0].GetUuid(), y);
  EXPECT_EQ(Str(out[0].GetName()), "B");
  EXPECT_EQ(out[0].GetGlobalMatrix(), tb.GetGlobalMatrix());
  EXPECT_EQ(out[1].GetUuid(), x);
  EXPECT_EQ(out[1].GetGlobalMatrix(), ta.GetGlobalMatrix());

  // A null or empty association has no partners: an empty pose.
  for (const CharacterAssociation& none : {CharacterAssociation(), Make<CharacterAssociation>(AI::kClassId)})
    EXPECT_EQ(Ok(HI::TranslateSrcToDestID(none, pose)).GetNodeTransformCount(), 0);
  EXPECT_ERROR(HI::TranslateSrcToDestID(association, CharacterPose()), Nullptr);
}

// ---- FindBodyPartMatchingCount ----------------------------------------------------

TEST_F(Helper, FindBodyPartMatchingCountCountsTheSkeletonNodesThePoseHolds) {
  Uuid a = NewUuid(), b = NewUuid(), c = NewUuid(), d = NewUuid(), missing = NewUuid();
  CharacterPose pose = PoseOf({Transform(a, "a"), Transform(b, "b"), Transform(c, "c"), Transform(d, "d")});
  // root [a, b, a, missing] ─ child [c] ─ grandchild [d, missing]
  //                        └ second [d]
  CharacterBodyPartRef root = Part("Root", {a, b, a, missing}), child = Part("Child", {c}, root);
  Part("Grandchild", {d, missing}, child);
  Part("Second", {d}, root);
  EXPECT_EQ(Ok(HI::FindBodyPartMatchingCount(root, pose, false)), 3);
  EXPECT_EQ(Ok(HI::FindBodyPartMatchingCount(root, pose, true)), 3 + 1 + 1 + 1);
  EXPECT_EQ(Ok(HI::FindBodyPartMatchingCount(child, pose, true)), 2);
  EXPECT_EQ(Ok(HI::FindBodyPartMatchingCount(root, PoseOf({}), true)), 0);

  // The empty Uuid counts as the pose finds it: an empty element first is no transform.
  CharacterBodyPartRef empties = Part("Part", {Uuid(), Uuid()});
  CharacterNodeTransform unset = Transform(Uuid(), "u");
  EXPECT_EQ(Ok(HI::FindBodyPartMatchingCount(empties, PoseOf({CharacterNodeTransform(), unset}), false)), 0);
  EXPECT_EQ(Ok(HI::FindBodyPartMatchingCount(empties, PoseOf({unset, CharacterNodeTransform()}), false)), 2);
  // A set Uuid whose bytes are all zero is not the empty Uuid.
  SetSkeleton(empties, {U("00000000-0000-0000-0000-000000000000")});
  EXPECT_EQ(Ok(HI::FindBodyPartMatchingCount(empties, PoseOf({unset}), false)), 0);

  for (bool withChildren : {false, true})
    EXPECT_ERROR(HI::FindBodyPartMatchingCount(CharacterBodyPartRef(), pose, withChildren), Nullptr);
  // A null pose matters only once a skeleton is not empty.
  CharacterBodyPartRef bare = BodyPart("Bare"), filled = Part("Filled", {NewUuid()});
  EXPECT_EQ(Ok(HI::FindBodyPartMatchingCount(bare, CharacterPose(), false)), 0);
  EXPECT_ERROR(HI::FindBodyPartMatchingCount(filled, CharacterPose(), false), Nullptr);
  Link(bare, filled);
  EXPECT_EQ(Ok(HI::FindBodyPartMatchingCount(bare, CharacterPose(), false)), 0);
  EXPECT_ERROR(HI::FindBodyPartMatchingCount(bare, CharacterPose(), true), Nullptr);
  Link(filled, OtherKind());
  EXPECT_EQ(Ok(HI::FindBodyPartMatchingCount(bare, pose, false)), 0);
  EXPECT_ERROR(HI::FindBodyPartMatchingCount(bare, pose, true), Nullptr);
}

// ---- Deep hierarchies ----------------------------------------------------------------

// The walks are iterative: a chain of a million tree nodes under a chain of
// a million body parts is no stack overflow for any of them.
TEST_F(Helper, MillionDeepChains) {
  constexpr Int kDepth = 1000000;
  // Tree: Hips ─ Spine ─ ... ─ Spine ─ Head, every other node a transform node.
  CharacterTreeRef root = TreeNode("Hips"), last = root;
  for (Int i = 1; i < kDepth; ++i) {
    CharacterTreeRef next = TreeNode(i + 1 < kDepth ? "Spine" : "Head");
    next.SetTransformNode(i % 2 == 1);
    ASSERT_TRUE(last.InsertChildLast(next).has_value());
    last = next;
  }
  EXPECT_EQ(Ok(root.GetHiearchyCount(false)), kDepth);
  EXPECT_EQ(Ok(root.GetHiearchyCount(true)), kDepth / 2 + 1);
  // Body parts: Body ─ Spine ─ (a million without keywords) ─ Deepest.
  CharacterBodyPartRef body = BodyPart("Body", {"hips"}), spine = BodyPart("Spine", {"spine"}), deepest = spine;
  Link(body, spine);
  for (Int i = 0; i < kDepth; ++i) {
    CharacterBodyPartRef next = Ok(CharacterBodyPartRef::Create(CharacterBodyPartInterface::kClassId));
    ASSERT_TRUE(deepest.InsertChildLast(next).has_value());
    deepest = next;
  }
  ASSERT_TRUE(deepest.SetIdentifier(Id("Deepest")) && deepest.SetSkeletonKeywords(Array({S("head")})));
  deepest.SetName(S("deepest"));
  EXPECT_EQ(Ok(body.FindBodyPartByID(Id("Deepest"))), deepest);
  EXPECT_EQ(Ok(body.FindBodyPartByName(S("deepest"))), deepest);

  ASSERT_TRUE(HI::FillBodyPart(root, body).has_value());
  EXPECT_EQ(Skeleton(body), std::vector<Uuid>{root.GetUuid()});
  EXPECT_EQ(Ok(spine.GetSkeletonCount(false)), kDepth - 2);
  EXPECT_EQ(Skeleton(deepest), std::vector<Uuid>{last.GetUuid()});
  EXPECT_EQ(Ok(body.GetSkeletonCount(true)), kDepth);
  EXPECT_EQ(Ok(body.GetHierarchySkeleton()).GetCount(), kDepth);
  CharacterPose pose = PoseOf({Transform(last.GetUuid(), "Head"), Transform(root.GetUuid(), "Hips")});
  EXPECT_EQ(Ok(HI::FindBodyPartMatchingCount(body, pose, true)), 2);
  EXPECT_EQ(Ok(HI::FindBodyPartMatchingCount(body, pose, false)), 1);

  // Against a small target, the first three spine nodes pair up, and the
  // deepest part finds its partner.
  CharacterBodyPartRef target = BodyPart("Spine"), partner = Part("Deepest", NewUuids(1), target);
  SetSkeleton(target, NewUuids(3));
  AssociationStatistics statistics;
  CharacterAssociation association = Ok(HI::AssociateBodyPartsByIdentifier(body, target, statistics));
  EXPECT_EQ(Counts(statistics), (std::vector<Int>{kDepth + 2, 2, kDepth - 1, 4, 4}));
  EXPECT_EQ(Ok(association.GetAssociatedUuid(Skeleton(target)[2])), Skeleton(spine)[2]);
  EXPECT_EQ(Ok(association.GetAssociatedUuid(Skeleton(partner)[0])), last.GetUuid());
  ASSERT_TRUE(body.ClearSkeleton(true).has_value());
  EXPECT_EQ(Ok(body.GetSkeletonCount(true)), 0);
}

// ---- Out of memory -----------------------------------------------------------------

// Body parts are filled in pre-order; out of memory, those before the
// failing one have their new skeleton, it and those after it their old one.
TEST_F(Helper, FillBodyPartOutOfMemory) {
  TestTree tree;
  tree.Add("Hips");
  CharacterTreeRef arm = tree.Add("LeftArm", tree.Root());
  tree.Add("LeftHand", arm);
  tree.Add("RightArm", tree.Root());
  Uuid old = NewUuid();
  // Identifiers held for the whole sweep, so that each run finds them interned.
  std::vector<InternedId> ids = {Id("Body"), Id("Arm"), Id("Hand"), Id("Right")};
  auto setup = [&] {
    std::vector<CharacterBodyPartRef> parts = {BodyPart("Body", {"hips", "arm&&left"}, {"right"}),
                                               BodyPart("Arm", {"arm"}), BodyPart("Hand", {"&&hand&&"}),
                                               BodyPart("Right", {"right"}, {"left", "&&"})};
    Link(parts[0], parts[1]);
    Link(parts[1], parts[2]);
    Link(parts[0], parts[3]);
    for (const CharacterBodyPartRef& part : parts) SetSkeleton(part, {old});
    return parts;
  };
  const std::vector<Names> filled = {{"Hips", "LeftArm"}, {"LeftArm", "RightArm"}, {"LeftHand"}, {"RightArm"}};
  int met = SweepAllocationFailures(setup, [&](std::vector<CharacterBodyPartRef>& parts) {
    Result<void> fill = HI::FillBodyPart(tree.Root(), parts[0]);
    std::size_t done = 0;
    while (done < parts.size() && Skeleton(parts[done]) != std::vector<Uuid>{old}) ++done;
    if (fill) {
      EXPECT_EQ(done, parts.size());
    } else {
      EXPECT_EQ(fill.error().kind(), ErrorKind::OutOfMemory);
      EXPECT_LT(done, parts.size());
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (i < done) EXPECT_EQ(tree.Names(Skeleton(parts[i])), filled[i]) << i;
      else EXPECT_EQ(Skeleton(parts[i]), std::vector<Uuid>{old}) << i;
    }
  });
  EXPECT_GT(met, 10);
}

// Out of memory the operation fails only when the association cannot be
// created; any other failure ends the work on one body part. Every node pair
// is stored both ways or not at all, a part's pairs form a prefix of its
// list, and the counters count the parts whose pairs were all stored.
TEST_F(Helper, AssociateBodyPartsByIdentifierOutOfMemory) {
  struct Pair {
    std::string id;
    std::vector<Uuid> source, target;
  };
  std::vector<Pair> pairs = {
      {"Body", NewUuids(2), NewUuids(2)}, {"Arm", NewUuids(5), NewUuids(3)}, {"Hand", NewUuids(1), NewUuids(4)}};
  // Identifiers held for the whole sweep, so that each run finds them interned.
  std::vector<InternedId> ids = {Id("Body"), Id("Arm"), Id("Hand")};
  InternedId tail = Id("Tail");
  auto setup = [&] {
    // source: a chain Body ─ Arm ─ Hand ─ Tail; target: Body ─ Arm, Hand
    CharacterBodyPartRef src = Part(pairs[0].id, pairs[0].source), dst = Part(pairs[0].id, pairs[0].target);
    Link(Part(pairs[2].id, pairs[2].source, Part(pairs[1].id, pairs[1].source, src)), BodyPart("Tail"));
    Part(pairs[1].id, pairs[1].target, dst);
    Part(pairs[2].id, pairs[2].target, dst);
    return std::make_pair(src, dst);
  };
  int met = SweepAllocationFailures(setup, [&](std::pair<CharacterBodyPartRef, CharacterBodyPartRef>& roots) {
    AssociationStatistics statistics{-1, -1, -1, -1, -1};
    Result<CharacterAssociation> made = HI::AssociateBodyPartsByIdentifier(roots.first, roots.second, statistics);
    if (!made) {
      EXPECT_EQ(made.error().kind(), ErrorKind::OutOfMemory);
      EXPECT_EQ(statistics.visitedBodyParts, -1);
      return;
    }
    // Lookups only: they allocate nothing, and the failure may still be armed.
    const CharacterAssociation& association = made.value();
    AssociationStatistics expected;
    expected.visitedBodyParts = Int(pairs.size()) + 1;
    for (const Pair& pair : pairs) {
      SCOPED_TRACE(pair.id);
      if (!association.GetAssociatedId(Id(pair.id))) continue;
      ++expected.associatedBodyParts;
      std::size_t n = std::min(pair.source.size(), pair.target.size()), stored = 0;
      for (std::size_t i = 0; i < n; ++i) {
        Result<Uuid> forth = association.GetAssociatedUuid(pair.source[i]);
        Result<Uuid> back = association.GetAssociatedUuid(pair.target[i]);
        EXPECT_EQ(forth.has_value(), back.has_value()) << i;
        if (forth && back) {
          EXPECT_EQ(i, stored);
          EXPECT_EQ(forth.value(), pair.target[i]);
          EXPECT_EQ(back.value(), pair.source[i]);
          ++stored;
        }
      }
      if (stored < n) continue;
      expected.sourceNodes += Int(pair.source.size());
      expected.targetNodes += Int(pair.target.size());
      expected.associatedNodes += Int(n);
    }
    EXPECT_FALSE(association.GetAssociatedId(tail).has_value());
    EXPECT_EQ(Counts(statistics), Counts(expected));
  });
  EXPECT_GT(met, 10);
}

TEST_F(Helper, TranslateSrcToDestIDOutOfMemory) {
  Uuid a = NewUuid(), b = NewUuid(), x = NewUuid(), y = NewUuid();
  CharacterNodeTransform ta = Transform(a, "A", 1), tb = Transform(b, "B", 2), tc = Transform(NewUuid(), "C", 3);
  auto setup = [&] {
    CharacterAssociation association = Ok(CharacterAssociation::Create(CharacterAssociationInterface::kClassId));
    EXPECT_TRUE(association.AssociateUuid(a, x).has_value());
    EXPECT_TRUE(association.AssociateUuid(b, y).has_value());
    return std::make_pair(association, PoseOf({ta, tc, tb}));
  };
  std::set<ErrorKind> kinds;
  SweepAllocationFailures(setup, [&](std::pair<CharacterAssociation, CharacterPose>& state) {
    auto& [association, pose] = state;
    Result<CharacterPose> translated = HI::TranslateSrcToDestID(association, pose);
    if (!translated) {
      kinds.insert(translated.error().kind());
    } else {
      ASSERT_EQ(translated.value().GetNodeTransformCount(), 2);
      EXPECT_EQ(Ref(translated.value().GetNodeTransformArray())[1].GetUuid(), y);
    }
    // The given pose and its transforms are as they were.
    ASSERT_EQ(pose.GetNodeTransformCount(), 3);
    EXPECT_EQ(Ref(pose.GetNodeTransformArray())[0].Get(), ta.Get());
    EXPECT_EQ(ta.GetUuid(), a);
    EXPECT_EQ(tb.GetUuid(), b);
  });
  // The output list cannot grow, or a private copy cannot be had.
  EXPECT_EQ(kinds, (std::set<ErrorKind>{ErrorKind::OutOfMemory, ErrorKind::Nullptr}));
}

}  // namespace
}  // namespace norvo::test
