// Saving and loading every stored type of the module as JSON: round trips,
// shared objects, refused files, allocation failure, and a file kept from an
// earlier version. (A definition of a shared rig is saved and read back by
// the tool's rig files.)
#include <fstream>
#include <sstream>

#include "module_fixture.h"
#include "norvo/jsonio.h"

namespace norvo::test {
namespace {

using Persistence = LoadedModule;

Matrix Placed(double x, double y, double z) {
  Matrix m;
  m.off = {x, y, z};
  m.v1 = {0.0, 1.0 / 3.0, -1.0};
  return m;
}

CharacterNodeTransform Stored(const Uuid& uuid, std::string_view name, double x) {
  CharacterNodeTransform t =
      Ok(CharacterNodeTransformInterface::CreateNodeTransform(uuid, Placed(x, 0.1, -0.0), Placed(0, x * 0.7, 2)));
  EXPECT_TRUE(t.SetName(S(name)));
  EXPECT_TRUE(t.SetPreMultiplyMatrix(Placed(1e-300, 1e300, x)));
  return t;
}

// A small character: a three-node skeleton, two body parts, a rest pose
// shared by both pose members, and controllers. Fixed Uuids, so that its
// text is the same in every run.
struct SmallCharacter {
  Uuid hips = U("00000000-0000-4000-8000-000000000001");
  Uuid spine = U("00000000-0000-4000-8000-000000000002");
  Uuid head = U("00000000-0000-4000-8000-000000000003");
  CharacterTreeRef skeleton;
  CharacterBodyPartRef parts;
  CharacterPose pose;
  CharacterDefinition definition;

  SmallCharacter() {
    skeleton = Ok(CharacterTreeInterface::CreateTree(hips, S("Hips"), true));
    CharacterTreeRef spineNode = Ok(CharacterTreeInterface::CreateTree(spine, S("Spine"), true));
    Link(skeleton, spineNode);
    Link(spineNode, Ok(CharacterTreeInterface::CreateTree(head, S("Head"), false)));

    parts = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Hips"), S("hips part")));
    EXPECT_TRUE(parts.SetSkeletonKeywords(Array({S("HIP"), S("PELVIS")})));
    EXPECT_TRUE(parts.SetSkeletonDiscardKeywords(Array({S("END")})));
    EXPECT_TRUE(parts.SetControllers(Array({head})));
    CharacterBodyPartRef chest = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Chest"), S("")));
    EXPECT_TRUE(chest.SetSkeleton(Array({spine, head})));
    Link(parts, chest);

    pose = MakePose(Array({Stored(hips, "Hips", 1.0), CharacterNodeTransform(), Stored(spine, "Spine", 0.25)}));
    definition = Ok(CharacterDefinition::Create(CharacterDefinitionInterface::kClassId));
    EXPECT_TRUE(definition.SetUuid(U("00000000-0000-4000-8000-0000000000d0")));
    EXPECT_TRUE(definition.SetName(S("small")));
    EXPECT_TRUE(definition.SetSkeletonTree(skeleton));
    EXPECT_TRUE(definition.SetBodyPartTree(parts));
    EXPECT_TRUE(definition.SetSkeletonRestPose(pose));
    EXPECT_TRUE(definition.SetControllersRestPose(pose));
    EXPECT_TRUE(definition.SetControllers(Array({head, hips})));
  }
};

// Every dump of a definition's parts, so that a comparison sees them all.
std::string DefinitionText(const CharacterDefinition& d) {
  std::string text = Str(d.ToString()) + Str(d.GetSkeletonRestPose().ToString()) +
                     Str(d.GetControllersRestPose().ToString());
  std::vector<Object*> stack{d.GetSkeletonTree().Get(), d.GetBodyPartTree().Get()};
  std::erase(stack, nullptr);
  while (!stack.empty()) {
    Object* at = stack.back();
    stack.pop_back();
    text += Str(ObjectRef::Share(at).ToString());
    for (Object* c = HierarchyFirstChild(at); c; c = HierarchyNext(c)) stack.push_back(c);
  }
  for (const Uuid& c : d.GetControllers()) text += Str(c.ToString());
  return text;
}

TEST_F(Persistence, EveryStoredTypeRoundTrips) {
  SmallCharacter small;
  std::vector<Sample> cases = Samples(small.hips, small.spine);
  cases.insert(cases.end(), {{"node transform of extreme numbers", Stored(small.spine, "Spine", 3.5)},
                             {"whole definition", small.definition},
                             {"empty node info", Make<CharacterNodeInfo>(CharacterNodeInfoInterface::kClassId)},
                             {"empty definition", Make<CharacterDefinition>(CharacterDefinitionInterface::kClassId)},
                             {"empty configuration",
                              Make<CharacterSolverConfiguration>(CharacterSolverConfigurationInterface::kClassId)}});
  for (const Sample& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string text = JsonText(c.object);
    ObjectRef loaded = FromJson(text);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded.Get()->GetClass().GetId(), c.object.Get()->GetClass().GetId());
    EXPECT_EQ(Str(loaded.ToString()), Str(c.object.ToString()));
    EXPECT_EQ(JsonText(loaded), text);
  }
}

// Replaces the first `from` in `text` by `to`.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST_F(Persistence, RefusedDefinitionsNameTheFaultAndLeaveNothing) {
  SmallCharacter small;
  const std::string text = JsonText(small.definition);
  struct Case {
    std::string text;
    const char* message;
    std::string problem;
  } cases[] = {
      // A module type's member holds an object of another interface.
      {Replaced(text, "\"SkeletonRoot\":0", "\"SkeletonRoot\":7"), "object of the wrong class",
       "/objects/8/SkeletonRoot: object of the wrong class"},
      {Replaced(text, "\"_children\":[2]", "\"_children\":[6]"), "not a hierarchy object",
       "/objects/1/_children/0: not a hierarchy object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem);
    ExpectLoadRefused(c.text, c.message, c.problem);
  }
}

TEST_F(Persistence, LoadingADefinitionUnderAllocationFailureLeavesNothing) {
  SmallCharacter small;
  const std::string text = JsonText(small.definition);
  EXPECT_GT(SweepForOutOfMemory([&] { return LoadJson(text); }), 20);
}

// A file written by the first version of the format must keep loading.
TEST_F(Persistence, AFileKeptFromTheFirstVersionStillLoads) {
  const std::string path = NORVO_MODULE_TEST_DATA_DIR "/small_definition_v1.json";
  std::ifstream file(path, std::ios::binary);
  ASSERT_TRUE(file) << path;
  std::stringstream kept;
  kept << file.rdbuf();
  SmallCharacter small;
  CharacterDefinition loaded = CharacterDefinition::From(FromJson(kept.str()));
  ASSERT_TRUE(loaded);
  // The whole hierarchies, and one pose held by both pose members.
  EXPECT_EQ(DefinitionText(loaded), DefinitionText(small.definition));
  EXPECT_EQ(loaded.GetSkeletonRestPose().Get(), loaded.GetControllersRestPose().Get());
  EXPECT_EQ(JsonText(loaded), kept.str());
}

}  // namespace
}  // namespace norvo::test
