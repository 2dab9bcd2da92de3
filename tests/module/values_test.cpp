// Node transforms, poses and body part solver settings through the loaded
// module.
#include "module_fixture.h"
#include "norvo/number.h"

namespace norvo::test {
namespace {

using NodeTransform = LoadedModule;
using Pose = LoadedModule;
using SolverSetting = LoadedModule;
using TI = CharacterNodeTransformInterface;
using PI = CharacterPoseInterface;
using SI = CharacterBodyPartSolverSettingInterface;

Matrix Offset(double x, double y, double z) {
  Matrix m;
  m.off = {x, y, z};
  return m;
}

std::string TransformText(const Uuid& uuid, std::string_view name, std::string_view global,
                          std::string_view parent, std::string_view pre) {
  return NodeInfoText(uuid, name) + "Global Matrix :\n" + std::string(global) + "\nParent Global Matrix :\n" +
         std::string(parent) + "\nPre-Multiply Matrix :\n" + std::string(pre) + "\n";
}

TEST_F(NodeTransform, CreatedByClassIdHoldsIdentities) {
  CharacterNodeTransform t = Make<CharacterNodeTransform>(TI::kClassId);
  EXPECT_TRUE(t.GetUuid().IsEmpty());
  EXPECT_EQ(t.GetGlobalMatrix(), Matrix{});
  EXPECT_EQ(Str(t.ToString()), TransformText(Uuid(), "", kIdentityText, kIdentityText, kIdentityText));
  // The same text through the node info and object interfaces.
  EXPECT_EQ(Str(CharacterNodeInfo::From(t).ToString()), Str(t.ToString()));
  EXPECT_EQ(Str(static_cast<const ObjectRef&>(t).ToString()), Str(t.ToString()));
}

TEST_F(NodeTransform, CreateNodeTransformStoresItsArguments) {
  Uuid id = NewUuid();
  Matrix global = Offset(1, 2.5, -3);
  Matrix parent{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}};  // singular, stored as it is
  CharacterNodeTransform t = Ok(TI::CreateNodeTransform(id, global, parent));
  EXPECT_EQ(t.GetUuid(), id);
  EXPECT_TRUE(t.GetName().IsEmpty());
  EXPECT_EQ(t.GetGlobalMatrix(), global);
  EXPECT_EQ(t.GetParentGlobalMatrix(), parent);
  EXPECT_EQ(t.GetPreMultiplyMatrix(), Matrix{});
  EXPECT_EQ(Str(t.ToString()), TransformText(id, "", "((1,0,0),(0,1,0),(0,0,1),(1,2.5,-3))",
                                             "((0,0,0),(0,0,0),(0,0,0),(0,0,0))", kIdentityText));
  EXPECT_TRUE(Ok(TI::CreateNodeTransform(Uuid(), global, parent)).GetUuid().IsEmpty());
}

TEST_F(NodeTransform, SettersSeparateCopies) {
  CharacterNodeTransform a = Ok(TI::CreateNodeTransform(NewUuid(), Matrix{}, Matrix{}));
  CharacterNodeTransform b = a;
  ASSERT_TRUE(b.SetGlobalMatrix(Offset(1, 0, 0)).has_value());
  ASSERT_TRUE(b.SetPreMultiplyMatrix(Offset(0, 1, 0)).has_value());
  ASSERT_TRUE(b.SetParentGlobalMatrix(Offset(0, 0, 1)).has_value());
  EXPECT_EQ(a.GetGlobalMatrix(), Matrix{});
  EXPECT_EQ(b.GetGlobalMatrix(), Offset(1, 0, 0));
  EXPECT_EQ(b.GetPreMultiplyMatrix(), Offset(0, 1, 0));
  EXPECT_EQ(b.GetParentGlobalMatrix(), Offset(0, 0, 1));
  EXPECT_EQ(b.GetUuid(), a.GetUuid());
  // Through an empty reference: zeros, not the identity, and no private copy.
  EXPECT_EQ(CharacterNodeTransform().GetGlobalMatrix(), kZeroMatrix);
  EXPECT_ERROR(CharacterNodeTransform().SetGlobalMatrix(Matrix{}), Nullptr);
}

TEST_F(NodeTransform, DescribesItsMatrices) {
  RecordingStream stream;
  ASSERT_TRUE(TI::DescribeIO(stream).has_value());
  std::vector<std::string> names;
  for (const auto& call : stream.GetCalls()) {
    names.push_back(call.name);
    EXPECT_EQ(call.dataType, datatype::kMatrix);
    EXPECT_EQ(call.flags, 0u);
    EXPECT_FALSE(call.hasAccessor);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"_globalMat", "_parentGlobalMat", "_preMultiplyMat"}));
  // The whole class: the node info members first.
  RecordingStream all;
  ASSERT_TRUE(DescribeClass(TI::kClassId, all).has_value());
  ASSERT_EQ(all.GetCalls().size(), 5u);
  EXPECT_EQ(all.GetCalls()[0].name, "_objectID");
  EXPECT_EQ(all.GetCalls()[2].name, "_globalMat");
}

TEST_F(NodeTransform, OutOfMemory) {
  Uuid id = NewUuid();
  ForEachAllocationFailure([&] {
    Result<CharacterNodeTransform> t = TI::CreateNodeTransform(id, Offset(1, 1, 1), Matrix{});
    if (!t) {
      EXPECT_EQ(t.error().kind(), ErrorKind::OutOfMemory);
    }
    return t.has_value();
  });
  // A shared transform whose private copy cannot be made stays as it was.
  CharacterNodeTransform a = Ok(TI::CreateNodeTransform(id, Matrix{}, Matrix{}));
  CharacterNodeTransform b = a;
  ForEachAllocationFailure([&] {
    CharacterNodeTransform c = a;
    Result<void> set = c.SetGlobalMatrix(Offset(5, 5, 5));
    if (!set) {
      EXPECT_EQ(set.error().kind(), ErrorKind::Nullptr);
      EXPECT_EQ(c.Get(), a.Get());
    }
    EXPECT_EQ(a.GetGlobalMatrix(), Matrix{});
    return set.has_value();
  });
}

// ---- Poses ----------------------------------------------------------------

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

  // A copy of the pose shares it until one of them changes.
  CharacterPose copy = pose;
  ASSERT_TRUE(copy.SetNodeTransformArray(BaseArray<CharacterNodeTransform>()).has_value());
  EXPECT_EQ(pose.GetNodeTransformCount(), 1);
  EXPECT_EQ(copy.GetNodeTransformCount(), 0);
}

TEST_F(Pose, DescribesOneArrayMember) {
  RecordingStream stream;
  ASSERT_TRUE(PI::DescribeIO(stream).has_value());
  ASSERT_EQ(stream.GetCalls().size(), 1u);
  const auto& call = stream.GetCalls()[0];
  EXPECT_EQ(call.name, "NodeTransform");
  EXPECT_EQ(call.dataType, "norvo::CharacterNodeTransform");
  EXPECT_TRUE(call.hasMember);
  EXPECT_TRUE(call.hasAccessor);
  EXPECT_EQ(call.flags, kDescribeFlagArray);
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

// ---- Body part solver settings ----------------------------------------------

TEST_F(SolverSetting, CreatedByClassId) {
  CharacterBodyPartSolverSetting setting = Make<CharacterBodyPartSolverSetting>(SI::kClassId);
  EXPECT_FALSE(setting.GetBodyPartIdentifier().IsSet());
  EXPECT_EQ(setting.GetBodyPartWeight(), 1.0);
  EXPECT_EQ(Str(setting.ToString()), "Identifier : \nWeight : 1\n");
}

TEST_F(SolverSetting, CreateStoresWeightUnchanged) {
  for (double weight : {0.0, -2.5, 0.125, 1e6}) {
    SCOPED_TRACE(weight);
    CharacterBodyPartSolverSetting setting = Ok(SI::CreateBodyPartSolverSetting(Id("LeftArm"), weight));
    EXPECT_EQ(setting.GetBodyPartWeight(), weight);
    EXPECT_EQ(setting.GetBodyPartIdentifier(), Id("LeftArm"));
  }
  CharacterBodyPartSolverSetting setting = Ok(SI::CreateBodyPartSolverSetting(Id("Spine"), -2.0 / 3));
  EXPECT_EQ(Str(setting.ToString()), "Identifier : Spine\nWeight : -0.667\n");
  FormatStatement format;
  EXPECT_EQ(Str(setting.ToString(&format)), "Identifier : Spine\nWeight : -0.667\n");
}

TEST_F(SolverSetting, HoldersSeparateOnChange) {
  CharacterBodyPartSolverSetting a = Ok(SI::CreateBodyPartSolverSetting(Id("Head"), 0.5));
  CharacterBodyPartSolverSetting b = a;
  ASSERT_TRUE(b.SetBodyPartWeight(0.25).has_value());
  ASSERT_TRUE(b.SetBodyPartIdentifier(Id("Neck")).has_value());
  EXPECT_EQ(a.GetBodyPartWeight(), 0.5);
  EXPECT_EQ(a.GetBodyPartIdentifier(), Id("Head"));
  EXPECT_EQ(b.GetBodyPartWeight(), 0.25);
  EXPECT_EQ(b.GetBodyPartIdentifier(), Id("Neck"));
}

TEST_F(SolverSetting, DescribesIdentifierAndWeight) {
  RecordingStream stream;
  ASSERT_TRUE(SI::DescribeIO(stream).has_value());
  ASSERT_EQ(stream.GetCalls().size(), 2u);
  EXPECT_EQ(stream.GetCalls()[0].name, "_identifier");
  EXPECT_EQ(stream.GetCalls()[0].dataType, "net.norvo.datatype.internedid");
  EXPECT_EQ(stream.GetCalls()[1].name, "_weight");
  EXPECT_EQ(stream.GetCalls()[1].dataType, "float64");
  RecordingStream failing;
  failing.FailCall(1, UnexpectedError("full"));
  EXPECT_ERROR_MESSAGE(SI::DescribeIO(failing), Unexpected, "full");
  EXPECT_EQ(failing.GetCalls().size(), 1u);
}

TEST_F(SolverSetting, OutOfMemory) {
  InternedId id = Id("Hips");
  ForEachAllocationFailure([&] {
    Result<CharacterBodyPartSolverSetting> s = SI::CreateBodyPartSolverSetting(id, 2.0);
    if (!s) {
      EXPECT_EQ(s.error().kind(), ErrorKind::OutOfMemory);
    }
    return s.has_value();
  });
  CharacterBodyPartSolverSetting shared = Ok(SI::CreateBodyPartSolverSetting(id, 2.0));
  ForEachAllocationFailure([&] {
    CharacterBodyPartSolverSetting other = shared;
    Result<void> set = other.SetBodyPartWeight(3.0);
    if (!set) {
      EXPECT_EQ(set.error().kind(), ErrorKind::Nullptr);
    }
    EXPECT_EQ(shared.GetBodyPartWeight(), 2.0);
    return set.has_value();
  });
}

}  // namespace
}  // namespace norvo::test
