// Solver configurations through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using Configuration = LoadedModule;
using CI = CharacterSolverConfigurationInterface;

CharacterSolverConfiguration NewConfiguration() { return Ok(CharacterSolverConfiguration::Create(CI::kClassId)); }

CharacterDefinition Character(std::string_view name) {
  CharacterDefinition d = Ok(CharacterDefinition::Create(CharacterDefinitionInterface::kClassId));
  EXPECT_TRUE(d.SetName(S(name)).has_value());
  return d;
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
  CharacterAssociation association = Make<CharacterAssociation>(CharacterAssociationInterface::kClassId);
  CharacterSolverConfiguration c = NewConfiguration();
  EXPECT_FALSE(c.GetApplyTranslationFromRoot());
  ASSERT_TRUE(c.SetApplyTranslationFromRoot(true).has_value());
  ASSERT_TRUE(c.Setup(walker, runner, association).has_value());
  EXPECT_EQ(Ref(c.GetCharacterAssociation()), association);
  EXPECT_TRUE(c.GetApplyTranslationFromRoot());  // Setup leaves the flag alone
  EXPECT_EQ(Str(c.ToString()), "Source Character : Walker\nTarget Character : Runner\n");

  // The getters hand out the member itself; storing it again changes nothing.
  const CharacterDefinition& stored = Ref(c.GetSourceCharacter());
  Int count = walker.GetRefCount();
  ASSERT_TRUE(c.SetSourceCharacter(walker).has_value());
  EXPECT_EQ(walker.GetRefCount(), count);
  EXPECT_EQ(&stored, &Ref(c.GetSourceCharacter()));

  // Setup with its own members swaps them; null members are stored as they are.
  ASSERT_TRUE(c.Setup(Ref(c.GetTargetCharacter()), Ref(c.GetSourceCharacter()), CharacterAssociation()).has_value());
  EXPECT_EQ(Ref(c.GetTargetCharacter()), walker);
  EXPECT_FALSE(Ref(c.GetCharacterAssociation()));
  ASSERT_TRUE(c.SetTargetCharacter(CharacterDefinition()).has_value());
  EXPECT_EQ(Str(c.ToString()), "Source Character : Runner\nTarget Character : \n");

  // A copy shares the members and copies the flag.
  CharacterSolverConfiguration copy = c;
  ASSERT_TRUE(copy.SetTargetCharacter(walker).has_value());
  ASSERT_NE(copy.Get(), c.Get());
  EXPECT_TRUE(copy.GetApplyTranslationFromRoot());
  EXPECT_EQ(Ref(copy.GetSourceCharacter()), runner);
  EXPECT_FALSE(Ref(c.GetTargetCharacter()));
}

TEST_F(Configuration, OutOfMemory) {
  CharacterSolverConfiguration c = NewConfiguration();
  ASSERT_TRUE(c.Setup(Character("Walker"), Character("Runner"), CharacterAssociation()).has_value());
  // The copy allocates the object only; a holder's change through the write
  // gate fails with it.
  EXPECT_EQ(SweepForOutOfMemory([&] { return CopyObject(*c.Get()); }), 1);
}

}  // namespace
}  // namespace norvo::test
