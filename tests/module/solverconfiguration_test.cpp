// Solver configurations through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using Configuration = LoadedModule;
using CI = CharacterSolverConfigurationInterface;

CharacterSolverConfiguration NewConfiguration() { return Ok(CharacterSolverConfiguration::Create(CI::kClassId)); }

CharacterDefinition Character(std::string_view name) {
  CharacterDefinition d = Ok(CharacterDefinition::Create(CharacterDefinitionInterface::kClassId));
  EXPECT_TRUE(d.SetUuid(NewUuid()).has_value());
  EXPECT_TRUE(d.SetName(S(name)).has_value());
  return d;
}

TEST_F(Configuration, NewConfigurationIsEmpty) {
  CharacterSolverConfiguration c = NewConfiguration();
  EXPECT_FALSE(Ref(c.GetSourceCharacter()));
  EXPECT_FALSE(Ref(c.GetTargetCharacter()));
  EXPECT_FALSE(Ref(c.GetCharacterAssociation()));
  EXPECT_FALSE(c.GetApplyTranslationFromRoot());
  EXPECT_ERROR_MESSAGE(c.Validate(), Unexpected, "Invalid Source Character");
  EXPECT_EQ(Str(c.ToString()), "Source Character : \nTarget Character : \n");
  EXPECT_EQ(Str(static_cast<const ObjectRef&>(c).ToString()), Str(c.ToString()));
}

TEST_F(Configuration, ValidateTestsTheSourceFirst) {
  CharacterDefinition walker = Character("Walker"), runner = Character("Runner");
  struct Case {
    CharacterDefinition source, target;
    const char* message;  // nullptr: valid
  } cases[] = {
      {{}, {}, "Invalid Source Character"},
      {{}, runner, "Invalid Source Character"},
      {walker, {}, "Invalid Target Character"},
      {walker, runner, nullptr},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.message ? k.message : "valid");
    CharacterSolverConfiguration c = NewConfiguration();
    ASSERT_TRUE(c.Setup(k.source, k.target, CharacterAssociation()).has_value());
    if (k.message) {
      EXPECT_ERROR_MESSAGE(c.Validate(), Unexpected, k.message);
    } else {
      EXPECT_TRUE(c.Validate().has_value());
    }
  }
}

TEST_F(Configuration, StoresTheObjectsItIsGiven) {
  CharacterDefinition walker = Character("Walker"), runner = Character("Runner");
  CharacterSolverConfiguration c = NewConfiguration();
  ASSERT_TRUE(c.SetApplyTranslationFromRoot(true).has_value());
  ASSERT_TRUE(c.Setup(walker, runner, CharacterAssociation()).has_value());
  EXPECT_EQ(Ref(c.GetSourceCharacter()), walker);
  EXPECT_EQ(Ref(c.GetTargetCharacter()), runner);
  EXPECT_FALSE(Ref(c.GetCharacterAssociation()));
  EXPECT_TRUE(c.GetApplyTranslationFromRoot());  // Setup leaves the flag alone
  EXPECT_EQ(Str(c.ToString()), "Source Character : Walker\nTarget Character : Runner\n");

  // The getters hand out the member itself; storing it again changes nothing.
  const CharacterDefinition& stored = Ref(c.GetSourceCharacter());
  EXPECT_EQ(&stored, &Ref(c.GetSourceCharacter()));
  Int count = walker.GetRefCount();
  ASSERT_TRUE(c.SetSourceCharacter(walker).has_value());
  EXPECT_EQ(walker.GetRefCount(), count);
  EXPECT_EQ(&stored, &Ref(c.GetSourceCharacter()));

  // Setup with its own members swaps them.
  ASSERT_TRUE(c.Setup(Ref(c.GetTargetCharacter()), Ref(c.GetSourceCharacter()), CharacterAssociation()).has_value());
  EXPECT_EQ(Ref(c.GetSourceCharacter()), runner);
  EXPECT_EQ(Ref(c.GetTargetCharacter()), walker);

  // Null definitions are stored as they are.
  ASSERT_TRUE(c.SetTargetCharacter(CharacterDefinition()).has_value());
  EXPECT_FALSE(Ref(c.GetTargetCharacter()));
  EXPECT_EQ(Str(c.ToString()), "Source Character : Runner\nTarget Character : \n");
}

// Needs the association class; it runs once that unit is registered.
TEST_F(Configuration, TextIgnoresTheAssociation) {
  Result<CharacterAssociation> association = CharacterAssociation::Create(CharacterAssociationInterface::kClassId);
  if (!association) GTEST_SKIP() << "the association class is not registered yet";
  CharacterSolverConfiguration c = NewConfiguration();
  ASSERT_TRUE(c.Setup(Character("Walker"), Character("Runner"), association.value()).has_value());
  std::string text = Str(c.ToString());
  EXPECT_EQ(Ref(c.GetCharacterAssociation()), association.value());
  ASSERT_TRUE(c.SetCharacterAssociation(CharacterAssociation()).has_value());
  EXPECT_EQ(Str(c.ToString()), text);
}

TEST_F(Configuration, ACopySharesTheMembersAndCopiesTheFlag) {
  CharacterDefinition walker = Character("Walker"), runner = Character("Runner");
  CharacterSolverConfiguration c = NewConfiguration();
  ASSERT_TRUE(c.Setup(walker, runner, CharacterAssociation()).has_value());
  ASSERT_TRUE(c.SetApplyTranslationFromRoot(true).has_value());

  CharacterSolverConfiguration copy = c;
  ASSERT_TRUE(copy.SetTargetCharacter(walker).has_value());
  ASSERT_NE(copy.Get(), c.Get());
  EXPECT_TRUE(copy.GetApplyTranslationFromRoot());
  EXPECT_EQ(Ref(copy.GetSourceCharacter()), walker);
  EXPECT_EQ(Ref(copy.GetTargetCharacter()), walker);
  EXPECT_EQ(Ref(c.GetTargetCharacter()), runner);

  ASSERT_TRUE(copy.SetApplyTranslationFromRoot(false).has_value());
  EXPECT_TRUE(c.GetApplyTranslationFromRoot());
}

TEST_F(Configuration, DescribesItsMembers) {
  RecordingStream stream;
  ASSERT_TRUE(CI::DescribeIO(stream).has_value());
  std::vector<std::string> names;
  for (const auto& call : stream.GetCalls()) {
    names.push_back(call.name + ":" + call.dataType);
    EXPECT_TRUE(call.hasMember);
    EXPECT_FALSE(call.hasAccessor);
    EXPECT_EQ(call.flags, 0u);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"_sourceCharacter:norvo::CharacterDefinition",
                                             "_targetCharacter:norvo::CharacterDefinition",
                                             "_associationSourceTarget:norvo::CharacterAssociation",
                                             "_applyTranslationToRoot:bool"}));
  RecordingStream failing;
  failing.FailCall(1, OutOfMemoryError());
  EXPECT_ERROR(CI::DescribeIO(failing), OutOfMemory);
  EXPECT_EQ(failing.GetCalls().size(), 1u);
}

TEST_F(Configuration, OutOfMemory) {
  CharacterSolverConfiguration c = NewConfiguration();
  ASSERT_TRUE(c.Setup(Character("Walker"), Character("Runner"), CharacterAssociation()).has_value());
  // The framework's copy allocates the object only.
  int failures = ForEachAllocationFailure([&] {
    Result<ObjectRef> copy = CopyObject(*c.Get());
    if (!copy) {
      EXPECT_EQ(copy.error().kind(), ErrorKind::OutOfMemory);
    }
    return copy.has_value();
  });
  EXPECT_EQ(failures, 1);
  // Through a holder, the write gate reports NullptrError and keeps sharing.
  failures = ForEachAllocationFailure([&] {
    CharacterSolverConfiguration copy = c;
    Result<void> set = copy.SetApplyTranslationFromRoot(true);
    if (!set) {
      EXPECT_EQ(set.error().kind(), ErrorKind::Nullptr);
      EXPECT_EQ(copy.Get(), c.Get());
    }
    EXPECT_FALSE(c.GetApplyTranslationFromRoot());
    return set.has_value();
  });
  EXPECT_EQ(failures, 1);
}

}  // namespace
}  // namespace norvo::test
