// What every class of the module shares, one table each: its serialization
// description, its creation function under allocation failure, and one text
// through every interface it answers.
#include <fstream>
#include <functional>

#include "module_fixture.h"

namespace norvo::test {
namespace {

using EveryClass = LoadedModule;

// "name:type:flags" for each described member, in order.
std::vector<std::string> Described(std::string_view classId) {
  RecordingStream stream;
  Result<void> described = DescribeClass(classId, stream);
  EXPECT_TRUE(described.has_value()) << classId;
  std::vector<std::string> members;
  for (const auto& call : stream.GetCalls()) {
    EXPECT_EQ(call.hasAccessor, call.hasMember && call.flags != 0) << call.name;
    members.push_back(call.name + ":" + call.dataType + ":" + std::to_string(call.flags) +
                      (call.hasMember ? "" : " (no member)"));
  }
  return members;
}

TEST_F(EveryClass, DescribesItsMembersInOrder) {
  struct Case {
    std::string classId;
    std::vector<std::string> members;
  };
  std::vector<Case> cases;
  std::ifstream file(NORVO_MODULE_TEST_DATA_DIR "/class_members.txt");
  for (std::string line; std::getline(file, line);) {
    if (line.starts_with("  ")) cases.back().members.push_back(line.substr(2));
    else if (!line.empty() && line[0] != '#') cases.push_back({line, {}});
  }
  ASSERT_EQ(cases.size(), 9u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.classId);
    EXPECT_EQ(Described(c.classId), c.members);
    // The first failing description ends it and is returned.
    for (std::size_t fail = 0; fail < c.members.size(); ++fail) {
      RecordingStream failing;
      failing.FailCall(Int(fail), UnexpectedError("disk full"));
      EXPECT_ERROR_MESSAGE(DescribeClass(c.classId, failing), Unexpected, "disk full");
      EXPECT_EQ(failing.GetCalls().size(), fail);
    }
  }
}

// A creation function's result as an object reference.
template <class Ref>
Result<ObjectRef> AsObject(Result<Ref> made) {
  if (!made) return made.error();
  return ObjectRef(std::move(made).value());
}

// Each creation function under each allocation failure: OutOfMemoryError,
// nothing half-made left behind.
TEST_F(EveryClass, CreationFunctionsOutOfMemory) {
  Uuid uuid = NewUuid();
  String name = S("Hips");
  InternedId id = Id("Hips");
  struct Case {
    const char* what;
    std::function<Result<ObjectRef>()> create;
  } cases[] = {
      {"CreateNodeInfo", [&] { return AsObject(CharacterNodeInfoInterface::CreateNodeInfo(uuid, name)); }},
      {"CreateNodeTransform",
       [&] { return AsObject(CharacterNodeTransformInterface::CreateNodeTransform(uuid, Matrix{}, Matrix{})); }},
      {"CreateTree", [&] { return AsObject(CharacterTreeInterface::CreateTree(uuid, name, true)); }},
      {"CreateBodyPart", [&] { return AsObject(CharacterBodyPartInterface::CreateBodyPart(id, name)); }},
      {"CreateBodyPartSolverSetting",
       [&] { return AsObject(CharacterBodyPartSolverSettingInterface::CreateBodyPartSolverSetting(id, 0.5)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_GE(SweepForOutOfMemory(c.create), 1);
  }
}

// A class prints one text whichever interface asks, except that a body part
// asked as a node info prints its node info part. Each class's own text is
// pinned by its own test.
TEST_F(EveryClass, PrintsOneTextThroughEveryInterface) {
  using NI = CharacterNodeInfoInterface;
  Uuid uuid = NewUuid();
  CharacterBodyPartRef part = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Spine"), S("spine")));
  ASSERT_TRUE(part.SetUuid(uuid).has_value());
  ASSERT_TRUE(part.SetNodeInfoName(S("Hips")).has_value());
  const struct {
    const char* what;
    ObjectRef object;
    const InterfaceDecl& iface;  // the class's own interface, and its ToString slot
    std::size_t toString;
    bool nodeInfo;  // answers CharacterNodeInfoInterface
  } cases[] = {
      {"node info", Ok(NI::CreateNodeInfo(uuid, S("Hips"))), NI::kDecl, NI::kToString, true},
      {"node transform", Ok(CharacterNodeTransformInterface::CreateNodeTransform(uuid, Matrix{}, Matrix{})),
       CharacterNodeTransformInterface::kDecl, CharacterNodeTransformInterface::kToString, true},
      {"tree", Ok(CharacterTreeInterface::CreateTree(uuid, S("Hips"), true)), CharacterTreeInterface::kDecl,
       CharacterTreeInterface::kToString, true},
      {"definition", Make<CharacterDefinition>(CharacterDefinitionInterface::kClassId),
       CharacterDefinitionInterface::kDecl, CharacterDefinitionInterface::kToString, true},
      {"body part", part, CharacterBodyPartInterface::kDecl, CharacterBodyPartInterface::kToString, true},
      {"pose", Make<CharacterPose>(CharacterPoseInterface::kClassId), CharacterPoseInterface::kDecl,
       CharacterPoseInterface::kToString, false},
      {"solver setting", Ok(CharacterBodyPartSolverSettingInterface::CreateBodyPartSolverSetting(Id("Spine"), 0.5)),
       CharacterBodyPartSolverSettingInterface::kDecl, CharacterBodyPartSolverSettingInterface::kToString, false},
      {"association", Make<CharacterAssociation>(CharacterAssociationInterface::kClassId),
       CharacterAssociationInterface::kDecl, CharacterAssociationInterface::kToString, false},
      {"solver configuration", Make<CharacterSolverConfiguration>(CharacterSolverConfigurationInterface::kClassId),
       CharacterSolverConfigurationInterface::kDecl, CharacterSolverConfigurationInterface::kToString, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string own =
        Str(InvokeMethod<ObjectInterface::ToStringFn>(c.object.Get(), c.iface, c.toString, nullptr));
    EXPECT_FALSE(own.empty());
    EXPECT_EQ(Str(c.object.ToString()), own);
    EXPECT_EQ(c.object.Carries(NI::kDecl), c.nodeInfo);
    const std::string asNodeInfo = !c.nodeInfo ? "" : c.object.Get() == part.Get() ? NodeInfoText(uuid, "Hips") : own;
    EXPECT_EQ(Str(CharacterNodeInfo::From(c.object).ToString()), asNodeInfo);
  }
  // The body part's node info name is apart from its own name.
  EXPECT_EQ(Str(part.GetNodeInfoName()), "Hips");
  EXPECT_EQ(Str(part.GetName()), "spine");
}

}  // namespace
}  // namespace norvo::test
