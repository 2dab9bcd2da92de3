// Character definitions and the solver configurations that hold them,
// through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using Definition = LoadedModule;
using DI = CharacterDefinitionInterface;

// Walker: skeleton Hips ─ Spine, Leg (no transform node); body parts Torso ─ Arm.
struct Character {
  CharacterDefinition definition = Ok(CharacterDefinition::Create(DI::kClassId));
  CharacterTreeRef hips = Ok(CharacterTreeInterface::CreateTree(NewUuid(), S("Hips"), true));
  CharacterTreeRef spine = Ok(CharacterTreeInterface::CreateTree(NewUuid(), S("Spine"), true));
  CharacterBodyPartRef torso = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Torso"), S("torso")));
  CharacterBodyPartRef arm = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Arm"), S("arm")));
  CharacterPose rest = Ok(CharacterPose::Create(CharacterPoseInterface::kClassId));
  CharacterPose controllersRest = Ok(CharacterPose::Create(CharacterPoseInterface::kClassId));
  Uuid controller = NewUuid();

  Character() {
    Link(hips, spine);
    Link(hips, Ok(CharacterTreeInterface::CreateTree(NewUuid(), S("Leg"), false)));
    Link(torso, arm);
    EXPECT_TRUE(definition.SetSkeletonTree(hips).has_value());
    EXPECT_TRUE(definition.SetBodyPartTree(torso).has_value());
    EXPECT_TRUE(definition.SetSkeletonRestPose(rest).has_value());
    EXPECT_TRUE(definition.SetControllersRestPose(controllersRest).has_value());
    EXPECT_TRUE(definition.SetControllers(Array({controller})).has_value());
    EXPECT_TRUE(definition.SetName(S("Walker")).has_value());
  }
};

TEST_F(Definition, StoresWhatItIsGivenAndPrintsItsNodeInfo) {
  CharacterDefinition empty = Make<CharacterDefinition>(DI::kClassId);
  EXPECT_FALSE(empty.GetSkeletonTree() || empty.GetBodyPartTree() || empty.GetSkeletonRestPose());
  EXPECT_EQ(Str(empty.ToString()), NodeInfoText(Uuid(), ""));
  Character c;
  Int count = c.hips.GetRefCount();
  ASSERT_TRUE(c.definition.SetSkeletonTree(c.hips).has_value());  // the same tree again
  EXPECT_EQ(c.hips.GetRefCount(), count);
  EXPECT_EQ(c.definition.GetControllers().GetCount(), 1);
  Uuid id = NewUuid();
  ASSERT_TRUE(c.definition.SetUuid(id).has_value());
  EXPECT_EQ(Str(c.definition.ToString()), NodeInfoText(id, "Walker"));
}

TEST_F(Definition, ACopyHasItsOwnTreesAndSharesThePoses) {
  Character c;
  CharacterDefinition copy = c.definition;
  ASSERT_TRUE(copy.SetName(S("Copy")).has_value());
  EXPECT_EQ(Str(c.definition.GetName()), "Walker");

  const CharacterTreeRef& tree = copy.GetSkeletonTree();
  ASSERT_TRUE(tree);
  EXPECT_NE(tree, c.hips);
  CharacterTreeRef spine = CharacterTreeRef::From(tree.GetFirstChild());
  EXPECT_NE(spine, c.spine);
  EXPECT_EQ(spine.GetUuid(), c.spine.GetUuid());
  EXPECT_EQ(Str(CharacterTreeRef::From(tree.GetLastChild()).GetName()), "Leg");
  EXPECT_FALSE(CharacterTreeRef::From(tree.GetLastChild()).IsTransformNode());

  CharacterBodyPartRef arm = Ok(copy.GetBodyPartTree().FindBodyPartByID(Id("Arm")));
  ASSERT_TRUE(arm);
  EXPECT_NE(copy.GetBodyPartTree(), c.torso);
  EXPECT_NE(arm, c.arm);
  EXPECT_EQ(Str(arm.GetName()), "arm");

  EXPECT_EQ(copy.GetSkeletonRestPose(), c.rest);
  EXPECT_EQ(copy.GetControllersRestPose(), c.controllersRest);
  EXPECT_EQ(copy.GetControllers()[0], c.controller);
}

TEST_F(Definition, OutOfMemory) {
  Character c;
  BaseArray<Uuid> controllers = Array({NewUuid(), NewUuid(), NewUuid()});
  SweepForOutOfMemory([&] { return c.definition.SetControllers(controllers); },
                      [&] { return c.definition.GetControllers()[0] == c.controller; });  // kept
  // The copy of a definition (a holder's private copy): the object, three
  // tree nodes, two body parts, the controllers.
  EXPECT_GE(SweepForOutOfMemory([&] { return CopyObject(*c.definition.Get()); }), 6);
}

// ---- Solver configurations ------------------------------------------------

using Configuration = LoadedModule;
using CI = CharacterSolverConfigurationInterface;

CharacterDefinition Named(std::string_view name) {
  CharacterDefinition d = Ok(CharacterDefinition::Create(DI::kClassId));
  EXPECT_TRUE(d.SetName(S(name)).has_value());
  return d;
}

TEST_F(Configuration, ValidateTestsTheSourceFirst) {
  CharacterDefinition walker = Named("Walker"), runner = Named("Runner");
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
    CharacterSolverConfiguration c = Make<CharacterSolverConfiguration>(CI::kClassId);
    ASSERT_TRUE(c.Setup(k.source, k.target, CharacterAssociation()).has_value());
    if (k.message) {
      EXPECT_ERROR_MESSAGE(c.Validate(), Unexpected, k.message);
    } else {
      EXPECT_TRUE(c.Validate().has_value());
    }
  }
}

TEST_F(Configuration, StoresTheObjectsItIsGiven) {
  CharacterDefinition walker = Named("Walker"), runner = Named("Runner");
  CharacterAssociation association = Make<CharacterAssociation>(CharacterAssociationInterface::kClassId);
  CharacterSolverConfiguration c = Make<CharacterSolverConfiguration>(CI::kClassId);
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
  CharacterSolverConfiguration c = Make<CharacterSolverConfiguration>(CI::kClassId);
  ASSERT_TRUE(c.Setup(Named("Walker"), Named("Runner"), CharacterAssociation()).has_value());
  // The copy allocates the object only; a holder's change through the write
  // gate fails with it.
  EXPECT_EQ(SweepForOutOfMemory([&] { return CopyObject(*c.Get()); }), 1);
}

}  // namespace
}  // namespace norvo::test
