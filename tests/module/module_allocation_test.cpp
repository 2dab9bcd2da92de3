// The module's operations that allocate and have no sweep of their own
// elsewhere: each fails with OutOfMemoryError at every allocation, keeps
// what it had (the array setters keep their array) and leaks nothing. The
// text dumps, which never fail, are swept for what they leave out instead.
#include <functional>

#include "module_fixture.h"

namespace norvo::test {
namespace {

using ModuleAllocationFailure = LoadedModule;

CharacterPose PoseOf(const std::vector<Uuid>& uuids) {
  BaseArray<CharacterNodeTransform> nodes;
  for (const Uuid& uuid : uuids)
    EXPECT_TRUE(nodes.Append(Ok(CharacterNodeTransformInterface::CreateNodeTransform(uuid, Matrix{}, Matrix{}))));
  return MakePose(nodes);
}

TEST_F(ModuleAllocationFailure, EveryOperationReportsKeepsAndLeaksNothing) {
  const Uuid a = NewUuid(), b = NewUuid(), c = NewUuid();
  const BaseArray<Uuid> uuids = Array<Uuid>({a, b, c});
  const BaseArray<String> words = Array<String>({S("Hips"), S("Pelvis"), S("Root")});
  CharacterBodyPartRef part = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Hips"), S("hips")));
  ASSERT_TRUE(part.SetSkeleton(Array<Uuid>({a})).has_value());
  auto setOld = [&] {
    ASSERT_TRUE(part.SetControllers(Array<Uuid>({b})).has_value());
    ASSERT_TRUE(part.SetSkeletonKeywords(Array<String>({S("old")})).has_value());
    ASSERT_TRUE(part.SetSkeletonDiscardKeywords(Array<String>({S("older")})).has_value());
  };
  setOld();
  CharacterBodyPartRef child = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Spine"), S("spine")));
  ASSERT_TRUE(child.SetSkeleton(Array<Uuid>({b, c})).has_value());
  Link(part, child);
  const CharacterPose pose = PoseOf({a, b, c});
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
      {"SetControllers", [&] { return part.SetControllers(uuids); }, true},
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
// what it yields is the full text with something left out. Every class, its
// object filled so that each piece of its dump has something to print.
TEST_F(ModuleAllocationFailure, DumpsLeaveOutWhatTheyCannotBuild) {
  const Uuid a = NewUuid(), b = NewUuid();
  CharacterNodeTransform transform = Ok(CharacterNodeTransformInterface::CreateNodeTransform(a, Matrix{}, Matrix{}));
  ASSERT_TRUE(transform.SetName(S("Hips")).has_value());
  CharacterTreeRef tree = Ok(CharacterTreeInterface::CreateTree(a, S("Hips"), true));
  CharacterBodyPartRef part = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Hips"), S("hips")));
  ASSERT_TRUE(part.SetSkeleton(Array<Uuid>({a, b})).has_value());
  ASSERT_TRUE(part.SetControllers(Array<Uuid>({b})).has_value());
  ASSERT_TRUE(part.SetSkeletonKeywords(Array<String>({S("Hips"), S("Pelvis")})).has_value());
  ASSERT_TRUE(part.SetSkeletonDiscardKeywords(Array<String>({S("End")})).has_value());
  CharacterDefinition source = Make<CharacterDefinition>(CharacterDefinitionInterface::kClassId);
  ASSERT_TRUE(source.SetUuid(a).has_value());
  ASSERT_TRUE(source.SetName(S("walker")).has_value());
  CharacterDefinition target = Make<CharacterDefinition>(CharacterDefinitionInterface::kClassId);
  ASSERT_TRUE(target.SetName(S("runner")).has_value());
  CharacterAssociation association = Make<CharacterAssociation>(CharacterAssociationInterface::kClassId);
  ASSERT_TRUE(association.AssociateUuid(a, b).has_value());
  ASSERT_TRUE(association.AssociateId(Id("Hips"), Id("Pelvis")).has_value());
  CharacterSolverConfiguration configuration =
      Make<CharacterSolverConfiguration>(CharacterSolverConfigurationInterface::kClassId);
  ASSERT_TRUE(configuration.Setup(source, target, association).has_value());

  const struct {
    const char* what;
    ObjectRef object;
  } cases[] = {
      {"node info", Ok(CharacterNodeInfoInterface::CreateNodeInfo(a, S("Hips")))},
      {"node transform", transform},
      {"pose", PoseOf({a, b})},
      {"tree", tree},
      {"body part", part},
      {"solver setting", Ok(CharacterBodyPartSolverSettingInterface::CreateBodyPartSolverSetting(Id("Spine"), 0.5))},
      {"definition", source},
      {"association", association},
      {"solver configuration", configuration},
      {"solver", Make<CharacterSolver>(CharacterSolverInterface::kClassId)},
      {"helper", Make<RetargetBaseHelperRef>(RetargetBaseHelperInterface::kClassId)},
  };
  for (const auto& c : cases) {
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

// Validation and the descriptions allocate nothing: they give their result
// with the very next allocation failing.
TEST_F(ModuleAllocationFailure, ValidationAndDescriptionsAllocateNothing) {
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

  using Describe = Result<void> (*)(DataSerializeInterface&);
  const struct {
    const char* what;
    Describe describe;
  } cases[] = {
      {"node info", &CharacterNodeInfoInterface::DescribeIO},
      {"node transform", &CharacterNodeTransformInterface::DescribeIO},
      {"pose", &CharacterPoseInterface::DescribeIO},
      {"tree", &CharacterTreeInterface::DescribeIO},
      {"body part", &CharacterBodyPartInterface::DescribeIO},
      {"solver setting", &CharacterBodyPartSolverSettingInterface::DescribeIO},
      {"definition", &CharacterDefinitionInterface::DescribeIO},
      {"association", &CharacterAssociationInterface::DescribeIO},
      {"solver configuration", &CharacterSolverConfigurationInterface::DescribeIO},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingStream expected;
    ASSERT_TRUE(c.describe(expected).has_value());
    std::size_t calls = 0;
    EXPECT_EQ(SweepForOutOfMemory([&] {
                RecordingStream stream;
                Result<void> described = c.describe(stream);
                calls = stream.GetCalls().size();
                return described;
              }),
              0);
    EXPECT_EQ(calls, expected.GetCalls().size());
  }
}

}  // namespace
}  // namespace norvo::test
