// Character definitions through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using Definition = LoadedModule;
using DI = CharacterDefinitionInterface;

struct Character {
  CharacterDefinition definition;
  CharacterTreeRef hips, spine, leg;
  CharacterBodyPartRef torso, arm;
  CharacterPose rest, controllersRest;
  Uuid controller = NewUuid();

  Character() {
    definition = Ok(CharacterDefinition::Create(DI::kClassId));
    hips = Ok(CharacterTreeInterface::CreateTree(NewUuid(), S("Hips"), true));
    spine = Ok(CharacterTreeInterface::CreateTree(NewUuid(), S("Spine"), true));
    leg = Ok(CharacterTreeInterface::CreateTree(NewUuid(), S("Leg"), false));
    EXPECT_TRUE(hips.InsertChildLast(spine).has_value());
    EXPECT_TRUE(hips.InsertChildLast(leg).has_value());
    torso = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Torso"), S("torso")));
    arm = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Arm"), S("arm")));
    EXPECT_TRUE(torso.InsertChildLast(arm).has_value());
    rest = Ok(CharacterPose::Create(CharacterPoseInterface::kClassId));
    controllersRest = Ok(CharacterPose::Create(CharacterPoseInterface::kClassId));
    EXPECT_TRUE(definition.SetSkeletonTree(hips).has_value());
    EXPECT_TRUE(definition.SetBodyPartTree(torso).has_value());
    EXPECT_TRUE(definition.SetSkeletonRestPose(rest).has_value());
    EXPECT_TRUE(definition.SetControllersRestPose(controllersRest).has_value());
    EXPECT_TRUE(definition.SetControllers(Array({controller})).has_value());
    EXPECT_TRUE(definition.SetName(S("Walker")).has_value());
  }
};

// The names of a subtree in pre-order, and whether it holds any of `others`.
std::vector<std::string> Names(const CharacterTreeRef& root) {
  std::vector<std::string> names{Str(root.GetName())};
  for (HierarchyObjectRef c = root.GetFirstChild(); c; c = c.GetNext())
    for (const std::string& n : Names(CharacterTreeRef::From(c))) names.push_back(n);
  return names;
}

TEST_F(Definition, NewDefinitionIsEmpty) {
  CharacterDefinition d = Make<CharacterDefinition>(DI::kClassId);
  EXPECT_FALSE(d.GetSkeletonTree());
  EXPECT_FALSE(d.GetBodyPartTree());
  EXPECT_FALSE(d.GetSkeletonRestPose());
  EXPECT_FALSE(d.GetControllersRestPose());
  EXPECT_EQ(d.GetControllers().GetCount(), 0);
  EXPECT_EQ(Str(d.ToString()), NodeInfoText(Uuid(), ""));
}

TEST_F(Definition, StoresWhatItIsGiven) {
  Character c;
  EXPECT_EQ(c.definition.GetSkeletonTree(), c.hips);
  EXPECT_EQ(c.definition.GetBodyPartTree(), c.torso);
  EXPECT_EQ(c.definition.GetSkeletonRestPose(), c.rest);
  EXPECT_EQ(c.definition.GetControllersRestPose(), c.controllersRest);
  ASSERT_EQ(c.definition.GetControllers().GetCount(), 1);
  EXPECT_EQ(c.definition.GetControllers()[0], c.controller);
  ASSERT_TRUE(c.definition.SetSkeletonTree(CharacterTreeRef()).has_value());
  EXPECT_FALSE(c.definition.GetSkeletonTree());
}

TEST_F(Definition, SettingTheSameTreeTwiceKeepsItsCount) {
  Character c;
  Int count = c.hips.GetRefCount();
  ASSERT_TRUE(c.definition.SetSkeletonTree(c.hips).has_value());
  EXPECT_EQ(c.hips.GetRefCount(), count);
  ASSERT_TRUE(c.definition.SetBodyPartTree(c.torso).has_value());
  ASSERT_TRUE(c.definition.SetSkeletonRestPose(c.rest).has_value());
  EXPECT_EQ(c.definition.GetSkeletonRestPose(), c.rest);
}

TEST_F(Definition, ControllersSetters) {
  Character c;
  ASSERT_TRUE(c.definition.SetControllers(c.definition.GetControllers()).has_value());
  EXPECT_EQ(c.definition.GetControllers().GetCount(), 1);
  ASSERT_TRUE(c.definition.SetControllers(BaseArray<Uuid>()).has_value());
  EXPECT_EQ(c.definition.GetControllers().GetCount(), 0);
  EXPECT_EQ(c.definition.GetControllers().GetCapacity(), 0);
}

TEST_F(Definition, PrintsOnlyItsNodeInfo) {
  Character c;
  Uuid id = NewUuid();
  ASSERT_TRUE(c.definition.SetUuid(id).has_value());
  std::string text = NodeInfoText(id, "Walker");
  EXPECT_EQ(Str(c.definition.ToString()), text);
}

TEST_F(Definition, ACopyHasItsOwnTreesAndSharesThePoses) {
  Character c;
  CharacterDefinition copy = c.definition;
  ASSERT_TRUE(copy.SetName(S("Copy")).has_value());
  ASSERT_NE(copy.Get(), c.definition.Get());
  EXPECT_EQ(Str(c.definition.GetName()), "Walker");

  const CharacterTreeRef& tree = copy.GetSkeletonTree();
  ASSERT_TRUE(tree);
  EXPECT_NE(tree, c.hips);
  EXPECT_EQ(Names(tree), (std::vector<std::string>{"Hips", "Spine", "Leg"}));
  EXPECT_NE(CharacterTreeRef::From(tree.GetFirstChild()), c.spine);
  EXPECT_EQ(CharacterTreeRef::From(tree.GetFirstChild()).GetUuid(), c.spine.GetUuid());
  EXPECT_FALSE(CharacterTreeRef::From(tree.GetLastChild()).IsTransformNode());

  const CharacterBodyPartRef& parts = copy.GetBodyPartTree();
  ASSERT_TRUE(parts);
  EXPECT_NE(parts, c.torso);
  EXPECT_EQ(Str(parts.GetName()), "torso");
  CharacterBodyPartRef arm = Ok(parts.FindBodyPartByID(Id("Arm")));
  ASSERT_TRUE(arm);
  EXPECT_NE(arm, c.arm);
  EXPECT_EQ(Str(arm.GetName()), "arm");

  EXPECT_EQ(copy.GetSkeletonRestPose(), c.rest);
  EXPECT_EQ(copy.GetControllersRestPose(), c.controllersRest);
  EXPECT_EQ(copy.GetControllers()[0], c.controller);
}

TEST_F(Definition, OutOfMemory) {
  Character c;
  BaseArray<Uuid> controllers = Array({NewUuid(), NewUuid(), NewUuid()});
  ForEachAllocationFailure([&] {
    Result<void> set = c.definition.SetControllers(controllers);
    if (!set) {
      EXPECT_EQ(set.error().kind(), ErrorKind::OutOfMemory);
      EXPECT_EQ(c.definition.GetControllers()[0], c.controller);  // kept
    }
    return set.has_value();
  });
  // The private copy of a shared definition: trees, controllers.
  String name = S("Copy");
  int failures = ForEachAllocationFailure([&] {
    CharacterDefinition copy = c.definition;
    Result<void> renamed = copy.SetName(name);
    if (!renamed) {
      EXPECT_EQ(renamed.error().kind(), ErrorKind::Nullptr);
      EXPECT_EQ(copy.Get(), c.definition.Get());
    }
    EXPECT_EQ(Str(c.definition.GetName()), "Walker");
    return renamed.has_value();
  });
  EXPECT_GE(failures, 6);  // the object, three tree nodes, two body parts, the controllers
  // The framework's object copy reports the error of the copy itself.
  FailAllocationAfter(0);
  EXPECT_ERROR(CopyObject(*c.definition.Get()), OutOfMemory);
  ClearAllocationFailure();
}

}  // namespace
}  // namespace norvo::test
