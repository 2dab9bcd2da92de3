// Node infos through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using NodeInfo = LoadedModule;
using I = CharacterNodeInfoInterface;

TEST_F(NodeInfo, CreatedByClassIdIsEmpty) {
  CharacterNodeInfo info = Make<CharacterNodeInfo>(I::kClassId);
  EXPECT_TRUE(info.GetUuid().IsEmpty());
  EXPECT_TRUE(info.GetName().IsEmpty());
  EXPECT_EQ(Str(info.ToString()), "Object ID : 00000000-0000-0000-0000-000000000000\nObject Name : \n");
  // The same text through the object interface.
  EXPECT_EQ(Str(static_cast<const ObjectRef&>(info).ToString()), Str(info.ToString()));
}

TEST_F(NodeInfo, CreateNodeInfoStoresUuidAndName) {
  Uuid hips = U("6F1C2A9E-3B4D-4E5F-8A7B-1C2D3E4F5A6B");
  CharacterNodeInfo info = Ok(I::CreateNodeInfo(hips, S("Hips")));
  EXPECT_EQ(info.GetUuid(), hips);
  EXPECT_EQ(Str(info.GetName()), "Hips");
  EXPECT_EQ(Str(info.ToString()), "Object ID : 6f1c2a9e-3b4d-4e5f-8a7b-1c2d3e4f5a6b\nObject Name : Hips\n");

  CharacterNodeInfo blank = Ok(I::CreateNodeInfo(Uuid(), String()));
  EXPECT_TRUE(blank.GetUuid().IsEmpty());
  EXPECT_EQ(Str(blank.ToString()), "Object ID : 00000000-0000-0000-0000-000000000000\nObject Name : \n");
}

TEST_F(NodeInfo, SettingTheSameValueTwiceChangesNothing) {
  Uuid id = NewUuid();
  CharacterNodeInfo info = Ok(I::CreateNodeInfo(id, S("Spine")));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(info.SetUuid(id).has_value());
    ASSERT_TRUE(info.SetName(S("Spine")).has_value());
  }
  EXPECT_EQ(info.GetUuid(), id);
  EXPECT_EQ(Str(info.GetName()), "Spine");
}

TEST_F(NodeInfo, CopiesSeparateOnTheirFirstChange) {
  CharacterNodeInfo original = Ok(I::CreateNodeInfo(NewUuid(), S("Hips")));
  CharacterNodeInfo copy = original;
  EXPECT_EQ(copy.Get(), original.Get());

  ASSERT_TRUE(copy.SetName(S("Pelvis")).has_value());
  EXPECT_NE(copy.Get(), original.Get());
  EXPECT_EQ(Str(original.GetName()), "Hips");
  EXPECT_EQ(Str(copy.GetName()), "Pelvis");
  EXPECT_EQ(copy.GetUuid(), original.GetUuid());

  CharacterNodeInfo second = original;
  Uuid other = NewUuid();
  ASSERT_TRUE(second.SetUuid(other).has_value());
  EXPECT_EQ(second.GetUuid(), other);
  EXPECT_NE(original.GetUuid(), other);
  EXPECT_EQ(original.GetRefCount(), 1);
}

TEST_F(NodeInfo, EmptyReferenceCalls) {
  CharacterNodeInfo empty;
  EXPECT_ERROR(empty.SetName(S("x")), Nullptr);
  EXPECT_ERROR(empty.SetUuid(NewUuid()), Nullptr);
  EXPECT_TRUE(empty.GetUuid().IsEmpty());
  EXPECT_TRUE(empty.GetName().IsEmpty());
  EXPECT_TRUE(empty.ToString().IsEmpty());
}

TEST_F(NodeInfo, DescribesItsMembersInOrder) {
  RecordingStream stream;
  ASSERT_TRUE(I::DescribeIO(stream).has_value());
  ASSERT_EQ(stream.GetCalls().size(), 2u);
  EXPECT_EQ(stream.GetCalls()[0].name, "_objectID");
  EXPECT_EQ(stream.GetCalls()[0].dataType, datatype::kUuid);
  EXPECT_EQ(stream.GetCalls()[1].name, "_objectName");
  EXPECT_EQ(stream.GetCalls()[1].dataType, datatype::kString);
  for (const auto& call : stream.GetCalls()) {
    EXPECT_TRUE(call.hasMember);
    EXPECT_FALSE(call.hasAccessor);
    EXPECT_EQ(call.flags, 0u);
  }

  RecordingStream failing;
  failing.FailCall(0, UnexpectedError("disk full"));
  EXPECT_ERROR_MESSAGE(I::DescribeIO(failing), Unexpected, "disk full");
  EXPECT_TRUE(failing.GetCalls().empty());
}

TEST_F(NodeInfo, CreateNodeInfoOutOfMemory) {
  Uuid id = NewUuid();
  String name = S("Hips");
  int failures = ForEachAllocationFailure([&] {
    Result<CharacterNodeInfo> info = I::CreateNodeInfo(id, name);
    if (!info) {
      EXPECT_EQ(info.error().kind(), ErrorKind::OutOfMemory);
    }
    return info.has_value();
  });
  EXPECT_GE(failures, 2);  // the object and the private Uuid block
}

TEST_F(NodeInfo, SetUuidOutOfMemoryKeepsTheOldUuid) {
  Uuid before = NewUuid();
  CharacterNodeInfo info = Ok(I::CreateNodeInfo(before, S("Hips")));
  Uuid shared = info.GetUuid();  // the node's Uuid block is now shared
  Uuid next = NewUuid();
  FailAllocationAfter(0);
  EXPECT_ERROR(info.SetUuid(next), OutOfMemory);
  ClearAllocationFailure();
  EXPECT_EQ(info.GetUuid(), before);
}

}  // namespace
}  // namespace norvo::test
