// Poses through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using Pose = LoadedModule;
using PI = CharacterPoseInterface;
using Nodes = BaseArray<CharacterNodeTransform>;

TEST_F(Pose, DumpsItsElementsWithNullptrForEmptyOnes) {
  CharacterPose pose = Make<CharacterPose>(PI::kClassId);
  EXPECT_EQ(Str(pose.ToString()), "Node Transform :\n{}");
  CharacterNodeTransform a = Transform(NewUuid(), "", 0), b = Transform(NewUuid(), "", 1);
  ASSERT_TRUE(pose.SetNodeTransformArray(Array<CharacterNodeTransform>({{}, a, b})).has_value());
  EXPECT_EQ(pose.GetNodeTransformCount(), 3);
  EXPECT_EQ(Str(pose.ToString()), "Node Transform :\n{nullptr," + Str(a.ToString()) + "," + Str(b.ToString()) + "}");
}

TEST_F(Pose, FindsTheFirstMatch) {
  Uuid a = NewUuid();
  CharacterNodeTransform first = Transform(a, "", 1), second = Transform(a, "", 2), unnamed = Transform(Uuid(), "", 3);
  CharacterPose pose = Make<CharacterPose>(PI::kClassId);
  EXPECT_FALSE(Ok(pose.GetNodeTransformByID(a)));
  ASSERT_TRUE(pose.SetNodeTransformArray(Array({first, second})).has_value());
  EXPECT_EQ(Ok(pose.GetNodeTransformByID(U(Str(a.ToString())))).Get(), first.Get());  // by value
  EXPECT_FALSE(Ok(pose.GetNodeTransformByID(NewUuid())));
  EXPECT_FALSE(Ok(pose.GetNodeTransformByID(Uuid())));
  // An empty element is matched by the empty id first, and yields an empty reference.
  ASSERT_TRUE(pose.SetNodeTransformArray(Array<CharacterNodeTransform>({first, {}, unnamed})).has_value());
  EXPECT_FALSE(Ok(pose.GetNodeTransformByID(Uuid())));
  ASSERT_TRUE(pose.SetNodeTransformArray(Array({first, unnamed})).has_value());
  EXPECT_EQ(Ok(pose.GetNodeTransformByID(Uuid())).Get(), unnamed.Get());
}

TEST_F(Pose, OutOfMemoryKeepsThePose) {
  CharacterNodeTransform a = Transform(NewUuid(), "", 0), b = Transform(NewUuid(), "", 0);
  Nodes three = Array({a, b, a});
  CharacterPose pose = Make<CharacterPose>(PI::kClassId);
  ASSERT_TRUE(pose.SetNodeTransformArray(Array({b})).has_value());
  auto kept = [&] {
    return pose.GetNodeTransformCount() == 1 && Ok(pose.GetNodeTransformByID(b.GetUuid())).Get() == b.Get();
  };
  // One allocation, exactly for the new count.
  EXPECT_EQ(SweepForOutOfMemory([&] { return pose.SetNodeTransformArray(three); }, kept), 1);
  EXPECT_EQ(pose.GetNodeTransformCount(), 3);
}

}  // namespace
}  // namespace norvo::test
