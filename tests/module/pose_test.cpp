// Poses through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using Pose = LoadedModule;
using TI = CharacterNodeTransformInterface;
using PI = CharacterPoseInterface;

Matrix Offset(double x, double y, double z) {
  Matrix m;
  m.off = {x, y, z};
  return m;
}

TEST_F(Pose, EmptyPose) {
  CharacterPose pose = Make<CharacterPose>(PI::kClassId);
  EXPECT_EQ(pose.GetNodeTransformCount(), 0);
  Result<CharacterNodeTransform> miss = pose.GetNodeTransformByID(NewUuid());
  ASSERT_TRUE(miss.has_value());
  EXPECT_FALSE(miss.value());
  EXPECT_EQ(Str(pose.ToString()), "Node Transform :\n{}");
}

TEST_F(Pose, DumpsItsElements) {
  Uuid a = NewUuid(), b = NewUuid();
  CharacterNodeTransform ta = Ok(TI::CreateNodeTransform(a, Matrix{}, Matrix{}));
  CharacterNodeTransform tb = Ok(TI::CreateNodeTransform(b, Offset(0, 1, 0), Matrix{}));
  CharacterPose pose = Make<CharacterPose>(PI::kClassId);
  ASSERT_TRUE(pose.SetNodeTransformArray(Array<CharacterNodeTransform>({CharacterNodeTransform(), ta, tb})).has_value());
  EXPECT_EQ(pose.GetNodeTransformCount(), 3);
  EXPECT_EQ(Str(pose.ToString()), "Node Transform :\n{nullptr," + Str(ta.ToString()) + "," + Str(tb.ToString()) + "}");
}

TEST_F(Pose, FindsTheFirstMatch) {
  Uuid a = NewUuid(), b = NewUuid();
  CharacterNodeTransform first = Ok(TI::CreateNodeTransform(a, Offset(1, 0, 0), Matrix{}));
  CharacterNodeTransform second = Ok(TI::CreateNodeTransform(a, Offset(2, 0, 0), Matrix{}));
  CharacterNodeTransform unnamed = Ok(TI::CreateNodeTransform(Uuid(), Offset(3, 0, 0), Matrix{}));
  CharacterPose pose = Make<CharacterPose>(PI::kClassId);
  {
    SCOPED_TRACE("duplicate Uuids");
    ASSERT_TRUE(pose.SetNodeTransformArray(Array<CharacterNodeTransform>({first, second})).has_value());
    EXPECT_EQ(Ok(pose.GetNodeTransformByID(a)).GetGlobalMatrix(), Offset(1, 0, 0));
    EXPECT_EQ(Ok(pose.GetNodeTransformByID(U(Str(a.ToString())))).Get(), first.Get());  // by value
    EXPECT_FALSE(Ok(pose.GetNodeTransformByID(b)));
    EXPECT_FALSE(Ok(pose.GetNodeTransformByID(Uuid())));
  }
  {
    SCOPED_TRACE("an empty element is matched only by the empty id, and yields an empty reference");
    ASSERT_TRUE(pose.SetNodeTransformArray(Array<CharacterNodeTransform>({first, CharacterNodeTransform(), unnamed}))
                    .has_value());
    EXPECT_FALSE(Ok(pose.GetNodeTransformByID(Uuid())));
    EXPECT_EQ(Ok(pose.GetNodeTransformByID(a)).Get(), first.Get());
  }
  {
    SCOPED_TRACE("the empty id finds an element whose Uuid is empty");
    ASSERT_TRUE(pose.SetNodeTransformArray(Array<CharacterNodeTransform>({first, unnamed})).has_value());
    EXPECT_EQ(Ok(pose.GetNodeTransformByID(Uuid())).Get(), unnamed.Get());
  }
}

TEST_F(Pose, SettingItsOwnArrayOrAnEmptyOne) {
  CharacterPose pose = Make<CharacterPose>(PI::kClassId);
  CharacterNodeTransform t = Ok(TI::CreateNodeTransform(NewUuid(), Matrix{}, Matrix{}));
  ASSERT_TRUE(pose.SetNodeTransformArray(Array<CharacterNodeTransform>({t, t})).has_value());
  const BaseArray<CharacterNodeTransform>& own = Ref(pose.GetNodeTransformArray());
  ASSERT_TRUE(pose.SetNodeTransformArray(own).has_value());
  EXPECT_EQ(pose.GetNodeTransformCount(), 2);
  EXPECT_EQ(Ref(pose.GetNodeTransformArray())[1].Get(), t.Get());

  ASSERT_TRUE(pose.SetNodeTransformArray(BaseArray<CharacterNodeTransform>()).has_value());
  EXPECT_EQ(pose.GetNodeTransformCount(), 0);
  EXPECT_EQ(Ref(pose.GetNodeTransformArray()).GetCapacity(), 0);
}

TEST_F(Pose, ElementsSeparateFromThePose) {
  Uuid id = NewUuid();
  CharacterPose pose = Make<CharacterPose>(PI::kClassId);
  ASSERT_TRUE(pose.SetNodeTransformArray(Array({Ok(TI::CreateNodeTransform(id, Matrix{}, Matrix{}))})).has_value());
  CharacterNodeTransform found = Ok(pose.GetNodeTransformByID(id));
  ASSERT_TRUE(found.SetGlobalMatrix(Offset(9, 9, 9)).has_value());
  EXPECT_EQ(Ok(pose.GetNodeTransformByID(id)).GetGlobalMatrix(), Matrix{});
}

TEST_F(Pose, OutOfMemoryKeepsThePose) {
  CharacterNodeTransform a = Ok(TI::CreateNodeTransform(NewUuid(), Matrix{}, Matrix{}));
  CharacterNodeTransform b = Ok(TI::CreateNodeTransform(NewUuid(), Matrix{}, Matrix{}));
  BaseArray<CharacterNodeTransform> three = Array({a, b, a});
  CharacterPose pose = Make<CharacterPose>(PI::kClassId);
  ASSERT_TRUE(pose.SetNodeTransformArray(Array({b})).has_value());
  int failures = ForEachAllocationFailure([&] {
    Result<void> set = pose.SetNodeTransformArray(three);
    if (!set) {
      EXPECT_EQ(set.error().kind(), ErrorKind::OutOfMemory);
      EXPECT_EQ(pose.GetNodeTransformCount(), 1);
      EXPECT_EQ(Ok(pose.GetNodeTransformByID(b.GetUuid())).Get(), b.Get());
      return false;
    }
    EXPECT_EQ(pose.GetNodeTransformCount(), 3);
    return true;
  });
  EXPECT_EQ(failures, 1);  // one allocation, exactly for the new count

  // The private copy of a shared pose.
  ForEachAllocationFailure([&] {
    CharacterPose copy = pose;
    Result<void> set = copy.SetNodeTransformArray(BaseArray<CharacterNodeTransform>());
    if (!set) {
      EXPECT_EQ(set.error().kind(), ErrorKind::Nullptr);
    }
    EXPECT_EQ(pose.GetNodeTransformCount(), 3);
    return set.has_value();
  });
}

}  // namespace
}  // namespace norvo::test
