// The module's operations that allocate and have no sweep of their own
// elsewhere: each fails with OutOfMemoryError at every allocation, keeps
// what it had (the array setters keep their array) and leaks nothing.
#include <functional>

#include "module_fixture.h"

namespace norvo::test {
namespace {

using ModuleAllocationFailure = LoadedModule;

CharacterPose PoseOf(const std::vector<Uuid>& uuids) {
  CharacterPose pose = Ok(CharacterPose::Create(CharacterPoseInterface::kClassId));
  BaseArray<CharacterNodeTransform> nodes;
  for (const Uuid& uuid : uuids)
    EXPECT_TRUE(nodes.Append(Ok(CharacterNodeTransformInterface::CreateNodeTransform(uuid, Matrix{}, Matrix{}))));
  EXPECT_TRUE(pose.SetNodeTransformArray(nodes).has_value());
  return pose;
}

TEST_F(ModuleAllocationFailure, EveryOperationReportsKeepsAndLeaksNothing) {
  const Uuid a = NewUuid(), b = NewUuid(), c = NewUuid();
  const BaseArray<Uuid> uuids = Array<Uuid>({a, b, c});
  const BaseArray<String> words = Array<String>({S("Hips"), S("Pelvis"), S("Root")});
  CharacterBodyPartRef part = Ok(CharacterBodyPartInterface::CreateBodyPart(Id("Hips"), S("hips")));
  ASSERT_TRUE(part.SetSkeleton(Array<Uuid>({a})).has_value());
  ASSERT_TRUE(part.SetControllers(Array<Uuid>({b})).has_value());
  ASSERT_TRUE(part.SetSkeletonKeywords(Array<String>({S("old")})).has_value());
  ASSERT_TRUE(part.SetSkeletonDiscardKeywords(Array<String>({S("older")})).has_value());
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
      {"FindBodyPartMatchingCount", [&]() -> Result<void> {
         NORVO_ASSIGN_OR_RETURN(Int count, RetargetBaseHelperInterface::FindBodyPartMatchingCount(part, pose, true));
         EXPECT_EQ(count, 3);
         return {};
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(SweepForOutOfMemory(c.operation, keeps) > 0, c.allocates);
    // The last attempt succeeded; the old values again for the next case.
    ASSERT_TRUE(part.SetControllers(Array<Uuid>({b})).has_value());
    ASSERT_TRUE(part.SetSkeletonKeywords(Array<String>({S("old")})).has_value());
    ASSERT_TRUE(part.SetSkeletonDiscardKeywords(Array<String>({S("older")})).has_value());
  }
}

}  // namespace
}  // namespace norvo::test
