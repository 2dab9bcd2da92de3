// What every class of the module shares, one table each: its serialization
// description, its creation function under allocation failure, one text
// through every interface it answers and its dump under allocation failure;
// and the module's operations that allocate and have no sweep of their own
// elsewhere: each fails with OutOfMemoryError at every allocation, keeps what
// it had (the array setters keep their array) and leaks nothing.
#include <algorithm>
#include <fstream>
#include <functional>
#include <set>

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
    EXPECT_EQ(WithAllocationFailure(0, [&] { return Described(c.classId); }), c.members);  // allocates nothing
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

// A class prints one text whichever of its interfaces asks, except that a
// body part asked as a node info prints its node info part. Each class's own
// text is pinned by its own test.
TEST_F(EveryClass, PrintsOneTextThroughEveryInterface) {
  const Uuid a = NewUuid();
  const std::set<std::string> nodeInfos = {"node info", "node transform", "tree", "body part", "definition"};
  for (const Sample& c : Samples(a, NewUuid())) {
    SCOPED_TRACE(c.what);
    const std::string own = Str(c.object.ToString());
    EXPECT_EQ(own.empty(), c.object.Carries(CharacterSolverInterface::kDecl) ||
                               c.object.Carries(RetargetBaseHelperInterface::kDecl));
    EXPECT_EQ(c.object.Carries(CharacterNodeInfoInterface::kDecl), nodeInfos.contains(c.what));
    const Class& cls = c.object.Get()->GetClass();
    for (Int i = 0; i < cls.GetInterfaceCount(); ++i) {
      const InterfaceDecl& iface = cls.GetInterface(i);
      const auto slot = std::find(iface.methods.begin(), iface.methods.end(), "ToString");
      if (slot == iface.methods.end()) continue;
      const bool bodyPartAsNodeInfo = c.object.Carries(CharacterBodyPartInterface::kDecl) &&
                                      iface.id == CharacterNodeInfoInterface::kDecl.id;
      EXPECT_EQ(Str(InvokeMethod<ObjectInterface::ToStringFn>(c.object.Get(), iface,
                                                              std::size_t(slot - iface.methods.begin()), nullptr)),
                bodyPartAsNodeInfo ? NodeInfoText(a, "Hips node") : own)
          << iface.id;
    }
  }
}

TEST_F(EveryClass, EveryOperationReportsKeepsAndLeaksNothing) {
  const Uuid a = NewUuid(), b = NewUuid(), c = NewUuid();
  const BaseArray<Uuid> uuids = Array<Uuid>({a, b, c});
  const BaseArray<String> words = Array<String>({S("Hips"), S("Pelvis"), S("Root")});
  CharacterBodyPartRef part = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Hips"), S("hips")));
  auto setOld = [&] {
    ASSERT_TRUE(part.SetSkeleton(Array<Uuid>({a})).has_value());
    ASSERT_TRUE(part.SetControllers(Array<Uuid>({b})).has_value());
    ASSERT_TRUE(part.SetSkeletonKeywords(Array<String>({S("old")})).has_value());
    ASSERT_TRUE(part.SetSkeletonDiscardKeywords(Array<String>({S("older")})).has_value());
  };
  setOld();
  CharacterBodyPartRef child = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Spine"), S("spine")));
  ASSERT_TRUE(child.SetSkeleton(Array<Uuid>({b, c})).has_value());
  Link(part, child);
  const CharacterPose pose = MakePose(Array({Transform(a), Transform(b), Transform(c)}));
  const std::string before = Str(part.ToString());

  auto keeps = [&] {
    return Texts(Ref(part.GetSkeletonKeywords())) == std::vector<std::string>{"old"} &&
           Texts(Ref(part.GetSkeletonDiscardKeywords())) == std::vector<std::string>{"older"} &&
           Ref(part.GetControllers()).GetCount() == 1 && Str(part.ToString()) == before;
  };
  const struct {
    const char* what;
    std::function<Result<void>()> operation;
    bool allocates;
  } cases[] = {
      {"SetSkeleton", [&] { return part.SetSkeleton(uuids); }, true},
      {"SetControllers", [&] { return part.SetControllers(uuids); }, true},
      {"GetHierarchySkeleton", [&] { return Discard(part.GetHierarchySkeleton()); }, true},
      {"SetSkeletonKeywords", [&] { return part.SetSkeletonKeywords(words); }, true},
      {"SetSkeletonDiscardKeywords", [&] { return part.SetSkeletonDiscardKeywords(words); }, true},
      // Counts without allocating: it succeeds with the first allocation armed.
      {"FindBodyPartMatchingCount",
       [&]() -> Result<void> {
         NORVO_ASSIGN_OR_RETURN(Int count, RetargetBaseHelperInterface::FindBodyPartMatchingCount(part, pose, true));
         EXPECT_EQ(count, 3);
         return {};
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(SweepForOutOfMemory(c.operation, keeps) > 0, c.allocates);
    setOld();  // the last attempt succeeded: the old values again for the next case
  }
}


// Whether `part` is `whole` with some characters left out.
bool LeavesOut(std::string_view whole, std::string_view part) {
  std::size_t at = 0;
  for (char c : part) {
    at = whole.find(c, at);
    if (at == std::string_view::npos) return false;
    ++at;
  }
  return true;
}

// A dump under allocation failure leaves out the piece it could not build
// (or what it had so far, when the whole text could not grow) and goes on:
// what it yields is the full text with something left out.
TEST_F(EveryClass, DumpsLeaveOutWhatTheyCannotBuild) {
  for (const Sample& c : Samples(NewUuid(), NewUuid())) {
    SCOPED_TRACE(c.what);
    const std::string full = Str(c.object.ToString());
    const int failures = SweepAllocations(
        kFrameworkAllocations,
        [&] {
          const std::string text = Str(c.object.ToString());
          if (text == full) return true;
          EXPECT_LT(text.size(), full.size());
          EXPECT_TRUE(LeavesOut(full, text)) << text;
          return false;
        },
        [&] { return Str(c.object.ToString()) == full; });
    // The solver and the helper print nothing and allocate nothing.
    EXPECT_EQ(failures > 0, !full.empty()) << full;
  }
}

// Validation allocates nothing: it gives its result with the very next
// allocation failing.
TEST_F(EveryClass, ValidationAllocatesNothing) {
  CharacterSolverConfiguration configuration =
      Make<CharacterSolverConfiguration>(CharacterSolverConfigurationInterface::kClassId);
  Result<void> invalid = WithAllocationFailure(0, [&] { return configuration.Validate(); });
  EXPECT_ERROR_MESSAGE(invalid, Unexpected, "Invalid Source Character");
  ASSERT_TRUE(configuration
                  .Setup(Make<CharacterDefinition>(CharacterDefinitionInterface::kClassId),
                         Make<CharacterDefinition>(CharacterDefinitionInterface::kClassId),
                         Make<CharacterAssociation>(CharacterAssociationInterface::kClassId))
                  .has_value());
  EXPECT_EQ(SweepForOutOfMemory([&] { return configuration.Validate(); }), 0);
}

}  // namespace
}  // namespace norvo::test
