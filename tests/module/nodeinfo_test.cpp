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

TEST_F(NodeInfo, EmptyReferenceCalls) {
  CharacterNodeInfo empty;
  EXPECT_ERROR(empty.SetName(S("x")), Nullptr);
  EXPECT_ERROR(empty.SetUuid(NewUuid()), Nullptr);
  EXPECT_TRUE(empty.GetUuid().IsEmpty());
  EXPECT_TRUE(empty.GetName().IsEmpty());
  EXPECT_TRUE(empty.ToString().IsEmpty());
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
