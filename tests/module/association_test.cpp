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
  EXPECT_EQ(Ok(association.GetAssociatedUuid(a)), b);
  EXPECT_EQ(Ok(association.GetAssociatedUuid(b)), a);
  // Found by value, not by the stored block.
  EXPECT_EQ(Ok(association.GetAssociatedUuid(U(Str(a.ToString())))), b);

  ASSERT_TRUE(association.AssociateUuid(a, c).has_value());
  EXPECT_EQ(Ok(association.GetAssociatedUuid(a)), c);
  EXPECT_EQ(Ok(association.GetAssociatedUuid(c)), a);
  EXPECT_EQ(Ok(association.GetAssociatedUuid(b)), a);  // not removed
  EXPECT_EQ(EntriesOf(association).uuids.size(), 3u);

  ASSERT_TRUE(association.AssociateUuid(a, a).has_value());
  EXPECT_EQ(Ok(association.GetAssociatedUuid(a)), a);
  EXPECT_EQ(EntriesOf(association).uuids, (std::set<std::string>{Entry(a, a), Entry(b, a), Entry(c, a)}));
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
  EXPECT_ERROR_MESSAGE(association.GetAssociatedId(Id("z")), IllegalArgument, kNoPartner);
  EXPECT_ERROR_MESSAGE(association.GetAssociatedId(InternedId()), IllegalArgument, kNoPartner);
  EXPECT_EQ(EntriesOf(association), before);

  CharacterAssociation empty = NewAssociation();
  EXPECT_ERROR_MESSAGE(empty.GetAssociatedUuid(a), IllegalArgument, kNoPartner);
  EXPECT_ERROR_MESSAGE(empty.GetAssociatedId(Id("x")), IllegalArgument, kNoPartner);
}

TEST_F(Association, TheTwoTablesAreIndependent) {
  Uuid a = NewUuid(), b = NewUuid();
  InternedId x = Id("LeftArm"), y = Id("RightArm");
  CharacterAssociation association = NewAssociation();
  ASSERT_TRUE(association.AssociateUuid(a, b).has_value());
  EXPECT_ERROR(association.GetAssociatedId(x), IllegalArgument);
  ASSERT_TRUE(association.AssociateId(x, y).has_value());
  EXPECT_EQ(Ok(association.GetAssociatedId(x)), y);
  EXPECT_EQ(Ok(association.GetAssociatedId(y)), x);
  EXPECT_EQ(EntriesOf(association).uuids, (std::set<std::string>{Entry(a, b), Entry(b, a)}));
}

TEST_F(Association, AssociateBodyPartPairsOnlyTheIdentifiers) {
  CharacterBodyPartRef source = BodyPart("LeftArm"), target = BodyPart("arm_l");
  ASSERT_TRUE(source.SetSkeleton(Array({NewUuid()})).has_value());
  ASSERT_TRUE(target.SetSkeleton(Array({NewUuid()})).has_value());
  CharacterAssociation association = NewAssociation();
  ASSERT_TRUE(association.AssociateBodyPart(source, target).has_value());
  EXPECT_EQ(Ok(association.GetAssociatedId(Id("LeftArm"))), Id("arm_l"));
  EXPECT_EQ(Ok(association.GetAssociatedId(Id("arm_l"))), Id("LeftArm"));
  EXPECT_TRUE(EntriesOf(association).uuids.empty());

  AssociationEntries before = EntriesOf(association);
  EXPECT_ERROR(association.AssociateBodyPart(CharacterBodyPartRef(), target), Nullptr);
  EXPECT_ERROR(association.AssociateBodyPart(source, CharacterBodyPartRef()), Nullptr);
  CharacterBodyPartRef unset = Ok(CharacterBodyPartRef::Create(CharacterBodyPartInterface::kClassId));
  EXPECT_ERROR_MESSAGE(association.AssociateBodyPart(source, unset), IllegalArgument, kInvalidPair);
  EXPECT_EQ(EntriesOf(association), before);
}

TEST_F(Association, PrintsBothTables) {
  CharacterAssociation association = NewAssociation();
  EXPECT_EQ(Str(association.ToString()), "Uuid Association Table : \n{}InternedId Association Table : \n{}");
  EXPECT_EQ(Str(static_cast<const ObjectRef&>(association).ToString()), Str(association.ToString()));

  ASSERT_TRUE(association.AssociateId(Id("x"), Id("y")).has_value());
  std::string text = Str(association.ToString());
  EXPECT_TRUE(text == "Uuid Association Table : \n{}InternedId Association Table : \n{x->y,y->x}" ||
              text == "Uuid Association Table : \n{}InternedId Association Table : \n{y->x,x->y}")
      << text;

  Uuid a = U("00112233-4455-6677-8899-aabbccddeeff");
  CharacterAssociation nodes = NewAssociation();
  ASSERT_TRUE(nodes.AssociateUuid(a, a).has_value());
  EXPECT_EQ(Str(nodes.ToString()),
            "Uuid Association Table : \n{00112233-4455-6677-8899-aabbccddeeff->00112233-4455-6677-8899-aabbccddeeff}"
            "InternedId Association Table : \n{}");
}

TEST_F(Association, DescribesTwoMapMembers) {
  RecordingStream stream;
  ASSERT_TRUE(AI::DescribeIO(stream).has_value());
  struct Expected {
    const char* name;
    std::string_view type;
    bool withMember;
  } expected[] = {{"_uuidAssTable", datatype::kUuid, true},
                  {"_uuidAssTable", datatype::kUuid, false},
                  {"_idAssTable", "net.norvo.datatype.internedid", true},
                  {"_idAssTable", "net.norvo.datatype.internedid", false}};
  ASSERT_EQ(stream.GetCalls().size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    const RecordingStream::Call& call = stream.GetCalls()[i];
    EXPECT_EQ(call.name, expected[i].name);
    EXPECT_EQ(call.dataType, expected[i].type);
    EXPECT_EQ(call.hasMember, expected[i].withMember);
    EXPECT_EQ(call.hasAccessor, expected[i].withMember);
    EXPECT_EQ(call.flags, kDescribeFlagMap);
  }
  RecordingStream failing;
  failing.FailCall(2, UnexpectedError("full"));
  EXPECT_ERROR_MESSAGE(AI::DescribeIO(failing), Unexpected, "full");
  EXPECT_EQ(failing.GetCalls().size(), 2u);
}

TEST_F(Association, HoldersShareUntilOneChanges) {
  Uuid a = NewUuid(), b = NewUuid(), c = NewUuid();
  CharacterAssociation original = NewAssociation();
  ASSERT_TRUE(original.AssociateUuid(a, b).has_value());
  CharacterAssociation copy = original;
  EXPECT_EQ(copy.Get(), original.Get());
  ASSERT_TRUE(copy.AssociateUuid(a, c).has_value());
  EXPECT_NE(copy.Get(), original.Get());
  EXPECT_EQ(Ok(original.GetAssociatedUuid(a)), b);
  EXPECT_ERROR(original.GetAssociatedUuid(c), IllegalArgument);
  EXPECT_EQ(Ok(copy.GetAssociatedUuid(a)), c);
  EXPECT_EQ(Ok(copy.GetAssociatedUuid(b)), a);  // copied from the original
  EXPECT_ERROR(CharacterAssociation().AssociateUuid(a, b), Nullptr);
  EXPECT_ERROR(CharacterAssociation().GetAssociatedUuid(a), Nullptr);
}

// Out of memory, AssociateUuid and AssociateId store both entries or
// neither; a run that meets a failed allocation without failing (a table
// that cannot grow its buckets) has stored both. A successful run is checked
// with lookups only, which allocate nothing: the failure may still be armed.
TEST_F(Association, OutOfMemoryStoresBothEntriesOrNeither) {
  std::vector<Uuid> present;
  for (int i = 0; i < 7; ++i) present.push_back(NewUuid());  // enough to need more buckets
  Uuid fresh = NewUuid(), other = NewUuid();
  struct Case {
    const char* what;
    Uuid source, target;
  } cases[] = {{"two new keys", fresh, other}, {"a new key and a present one", fresh, present[0]},
               {"a present key and a new one", present[1], other}, {"two present keys", present[2], present[3]},
               {"a new key with itself", fresh, fresh}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto setup = [&] {
      CharacterAssociation association = NewAssociation();
      for (std::size_t i = 0; i + 1 < present.size(); i += 2)
        EXPECT_TRUE(association.AssociateUuid(present[i], present[i + 1]).has_value());
      EXPECT_TRUE(association.AssociateUuid(present.back(), NewUuid()).has_value());
      return std::make_pair(association, EntriesOf(association));
    };
    int met = SweepAllocationFailures(setup, [&](std::pair<CharacterAssociation, AssociationEntries>& state) {
      auto& [association, before] = state;
      Result<void> stored = association.AssociateUuid(c.source, c.target);
      if (!stored) {
        EXPECT_EQ(stored.error().kind(), ErrorKind::OutOfMemory);
        EXPECT_EQ(EntriesOf(association), before);
        return;
      }
      EXPECT_EQ(Ok(association.GetAssociatedUuid(c.source)), c.target);
      EXPECT_EQ(Ok(association.GetAssociatedUuid(c.target)), c.source);
    });
    if (std::string_view(c.what) == "two present keys") EXPECT_EQ(met, 0);
    else EXPECT_GT(met, 0);
  }

  InternedId x = Id("x"), y = Id("y"), z = Id("z");
  auto setup = [&] {
    CharacterAssociation association = NewAssociation();
    EXPECT_TRUE(association.AssociateId(z, z).has_value());
    return std::make_pair(association, EntriesOf(association));
  };
  SweepAllocationFailures(setup, [&](std::pair<CharacterAssociation, AssociationEntries>& state) {
    auto& [association, before] = state;
    Result<void> stored = association.AssociateId(x, y);
    if (!stored) {
      EXPECT_EQ(stored.error().kind(), ErrorKind::OutOfMemory);
      EXPECT_EQ(EntriesOf(association), before);
      return;
    }
    EXPECT_EQ(Ok(association.GetAssociatedId(x)), y);
    EXPECT_EQ(Ok(association.GetAssociatedId(y)), x);
    EXPECT_EQ(Ok(association.GetAssociatedId(z)), z);
  });
}

// The copy operation reports OutOfMemoryError; through a holder's change the
// write gate reports NullptrError. The original stays intact either way.
TEST_F(Association, OutOfMemoryWhileCopying) {
  CharacterAssociation original = NewAssociation();
  Uuid a = NewUuid(), b = NewUuid(), c = NewUuid();
  ASSERT_TRUE(original.AssociateUuid(a, b).has_value());
  ASSERT_TRUE(original.AssociateId(Id("x"), Id("y")).has_value());
  AssociationEntries before = EntriesOf(original);
  // The checks inside the sweeps allocate nothing: the failure may still be armed.
  int failures = ForEachAllocationFailure([&] {
    Result<ObjectRef> copy = CopyObject(*original.Get());
    if (!copy) {
      EXPECT_EQ(copy.error().kind(), ErrorKind::OutOfMemory);
    }
    return copy.has_value();
  });
  EXPECT_GT(failures, 2);
  EXPECT_EQ(EntriesOf(CharacterAssociation::From(Ok(CopyObject(*original.Get())))), before);
  ForEachAllocationFailure([&] {
    CharacterAssociation holder = original;
    Result<void> stored = holder.AssociateUuid(a, c);
    if (!stored) {
      EXPECT_EQ(stored.error().kind(), holder.Get() == original.Get() ? ErrorKind::Nullptr : ErrorKind::OutOfMemory);
    }
    EXPECT_EQ(Ok(original.GetAssociatedUuid(a)), b);
    EXPECT_FALSE(original.GetAssociatedUuid(c).has_value());
    return stored.has_value();
  });
  EXPECT_EQ(EntriesOf(original), before);
}

}  // namespace
}  // namespace norvo::test
