// Character associations through the loaded module.
#include "retarget_test_support.h"

namespace norvo::test {
namespace {

using Association = LoadedModule;
using AI = CharacterAssociationInterface;

constexpr const char* kInvalidPair = "Illegal argument: Source or Target doesn't have a valid Uuid";
constexpr const char* kNoPartner = "No value associated to this Uuid";

CharacterAssociation NewAssociation() { return Ok(CharacterAssociation::Create(AI::kClassId)); }

TEST_F(Association, StoresBothDirectionsAndKeepsTheStaleReverseEntry) {
  Uuid a = NewUuid(), b = NewUuid(), c = NewUuid();
  CharacterAssociation association = NewAssociation();
  ASSERT_TRUE(association.AssociateUuid(a, b).has_value());
  EXPECT_EQ(Ok(association.GetAssociatedUuid(U(Str(a.ToString())))), b);  // found by value
  EXPECT_EQ(Ok(association.GetAssociatedUuid(b)), a);
  ASSERT_TRUE(association.AssociateUuid(a, c).has_value());
  EXPECT_EQ(Ok(association.GetAssociatedUuid(a)), c);
  EXPECT_EQ(Ok(association.GetAssociatedUuid(c)), a);
  EXPECT_EQ(Ok(association.GetAssociatedUuid(b)), a);  // not removed
  ASSERT_TRUE(association.AssociateUuid(a, a).has_value());
  EXPECT_EQ(EntriesOf(association).uuids, (std::set<std::string>{Entry(a, a), Entry(b, a), Entry(c, a)}));

  // The identifier table is apart from the Uuid table.
  EXPECT_ERROR_MESSAGE(association.GetAssociatedId(Id("LeftArm")), IllegalArgument, kNoPartner);
  ASSERT_TRUE(association.AssociateId(Id("LeftArm"), Id("RightArm")).has_value());
  EXPECT_EQ(Ok(association.GetAssociatedId(Id("RightArm"))), Id("LeftArm"));
  EXPECT_EQ(EntriesOf(association).uuids.size(), 3u);
  EXPECT_EQ(EntriesOf(association).ids, (std::set<std::string>{"LeftArm->RightArm", "RightArm->LeftArm"}));
}

TEST_F(Association, InvalidArgumentsAndMissesChangeNothing) {
  Uuid a = NewUuid(), b = NewUuid();
  CharacterAssociation association = NewAssociation();
  ASSERT_TRUE(association.AssociateUuid(a, b).has_value());
  ASSERT_TRUE(association.AssociateId(Id("x"), Id("y")).has_value());
  AssociationEntries before = EntriesOf(association);

  EXPECT_ERROR_MESSAGE(association.AssociateUuid(Uuid(), b), IllegalArgument, kInvalidPair);
  EXPECT_ERROR_MESSAGE(association.AssociateUuid(a, Uuid()), IllegalArgument, kInvalidPair);
  EXPECT_ERROR_MESSAGE(association.AssociateId(InternedId(), Id("y")), IllegalArgument, kInvalidPair);
  EXPECT_ERROR_MESSAGE(association.AssociateId(Id("x"), InternedId()), IllegalArgument, kInvalidPair);
  EXPECT_ERROR_MESSAGE(association.GetAssociatedUuid(Uuid()), IllegalArgument, kNoPartner);
  EXPECT_ERROR_MESSAGE(association.GetAssociatedUuid(NewUuid()), IllegalArgument, kNoPartner);
  EXPECT_ERROR_MESSAGE(association.GetAssociatedId(InternedId()), IllegalArgument, kNoPartner);

  // AssociateBodyPart pairs the identifiers only.
  CharacterBodyPartRef source = BodyPart("LeftArm"), target = BodyPart("arm_l");
  ASSERT_TRUE(source.SetSkeleton(Array({NewUuid()})).has_value());
  EXPECT_ERROR(association.AssociateBodyPart(CharacterBodyPartRef(), target), Nullptr);
  EXPECT_ERROR(association.AssociateBodyPart(source, CharacterBodyPartRef()), Nullptr);
  CharacterBodyPartRef unset = Ok(CharacterBodyPartRef::Create(CharacterBodyPartInterface::kClassId));
  EXPECT_ERROR_MESSAGE(association.AssociateBodyPart(source, unset), IllegalArgument, kInvalidPair);
  EXPECT_EQ(EntriesOf(association), before);
  ASSERT_TRUE(association.AssociateBodyPart(source, target).has_value());
  EXPECT_EQ(Ok(association.GetAssociatedId(Id("arm_l"))), Id("LeftArm"));
  EXPECT_EQ(EntriesOf(association).uuids, before.uuids);
}

// The identifier table prints as the Uuid table does: EntriesOf reads both.
TEST_F(Association, PrintsBothTables) {
  CharacterAssociation nodes = NewAssociation();
  ASSERT_TRUE(nodes.AssociateUuid(U("00112233-4455-6677-8899-aabbccddeeff"), U("00112233-4455-6677-8899-aabbccddeeff"))
                  .has_value());
  EXPECT_EQ(Str(nodes.ToString()),
            "Uuid Association Table : \n{00112233-4455-6677-8899-aabbccddeeff->00112233-4455-6677-8899-aabbccddeeff}"
            "InternedId Association Table : \n{}");
}

// Out of memory, AssociateUuid and AssociateId store both entries or
// neither; a run that meets a failed allocation without failing (a table
// that cannot grow its buckets) has stored both. A successful run is checked
// with lookups only, which allocate nothing: the failure may still be armed.
TEST_F(Association, OutOfMemoryStoresBothEntriesOrNeither) {
  std::vector<Uuid> present;
  for (int i = 0; i < 7; ++i) present.push_back(NewUuid());  // enough to need more buckets
  Uuid fresh = NewUuid(), other = NewUuid();
  InternedId x = Id("x"), y = Id("y");
  struct Case {
    const char* what;
    Uuid source, target;
    bool allocates;
  } cases[] = {{"two new keys", fresh, other, true},
               {"a new key and a present one", fresh, present[0], true},
               {"a present key and a new one", present[1], other, true},
               {"two present keys", present[2], present[3], false},
               {"a new key with itself", fresh, fresh, true},
               {"two new identifiers", {}, {}, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto setup = [&] {
      CharacterAssociation association = NewAssociation();
      for (std::size_t i = 0; i + 1 < present.size(); i += 2)
        EXPECT_TRUE(association.AssociateUuid(present[i], present[i + 1]).has_value());
      EXPECT_TRUE(association.AssociateUuid(present.back(), NewUuid()).has_value());
      EXPECT_TRUE(association.AssociateId(Id("z"), Id("z")).has_value());
      return std::make_pair(association, EntriesOf(association));
    };
    int met = SweepAllocationFailures(setup, [&](std::pair<CharacterAssociation, AssociationEntries>& state) {
      auto& [association, before] = state;
      Result<void> stored = c.source.IsEmpty() ? association.AssociateId(x, y)
                                               : association.AssociateUuid(c.source, c.target);
      if (!stored) {
        EXPECT_EQ(stored.error().kind(), ErrorKind::OutOfMemory);
        EXPECT_EQ(EntriesOf(association), before);
      } else if (c.source.IsEmpty()) {
        EXPECT_EQ(Ok(association.GetAssociatedId(y)), x);
        EXPECT_EQ(Ok(association.GetAssociatedId(x)), y);
      } else {
        EXPECT_EQ(Ok(association.GetAssociatedUuid(c.source)), c.target);
        EXPECT_EQ(Ok(association.GetAssociatedUuid(c.target)), c.source);
      }
    });
    EXPECT_EQ(met > 0, c.allocates);
  }
}

// Every allocation of the copy fails it with OutOfMemoryError (a holder's
// change through the write gate fails with it) and leaves the original as it was.
TEST_F(Association, OutOfMemoryWhileCopying) {
  CharacterAssociation original = NewAssociation();
  ASSERT_TRUE(original.AssociateUuid(NewUuid(), NewUuid()).has_value());
  ASSERT_TRUE(original.AssociateId(Id("x"), Id("y")).has_value());
  AssociationEntries before = EntriesOf(original);
  EXPECT_GT(SweepForOutOfMemory([&] { return CopyObject(*original.Get()); }), 2);
  EXPECT_EQ(EntriesOf(CharacterAssociation::From(Ok(CopyObject(*original.Get())))), before);
  EXPECT_EQ(EntriesOf(original), before);
}

}  // namespace
}  // namespace norvo::test
