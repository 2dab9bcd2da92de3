// Character definitions through the loaded module.
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

}  // namespace
}  // namespace norvo::test
