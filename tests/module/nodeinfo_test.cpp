// Node infos through the loaded module.
#include "module_fixture.h"

namespace norvo::test {
namespace {

using NodeInfo = LoadedModule;
using I = CharacterNodeInfoInterface;

TEST_F(NodeInfo, CreateStoresUuidAndNameAndPrintsThem) {
  EXPECT_EQ(Str(Make<CharacterNodeInfo>(I::kClassId).ToString()),
            "Object ID : 00000000-0000-0000-0000-000000000000\nObject Name : \n");
  Uuid hips = U("6F1C2A9E-3B4D-4E5F-8A7B-1C2D3E4F5A6B");
  CharacterNodeInfo info = Ok(I::CreateNodeInfo(hips, S("Hips")));
  EXPECT_EQ(info.GetUuid(), hips);
  EXPECT_EQ(Str(info.GetName()), "Hips");
  EXPECT_EQ(Str(info.ToString()), "Object ID : 6f1c2a9e-3b4d-4e5f-8a7b-1c2d3e4f5a6b\nObject Name : Hips\n");
}

TEST_F(NodeInfo, SetUuidOutOfMemoryKeepsTheOldUuid) {
  Uuid before = NewUuid();
  CharacterNodeInfo info = Ok(I::CreateNodeInfo(before, S("Hips")));
  Uuid shared = info.GetUuid();  // the node's Uuid block is now shared
  Uuid next = NewUuid();
  EXPECT_ERROR(WithAllocationFailure(0, [&] { return info.SetUuid(next); }), OutOfMemory);
  EXPECT_EQ(info.GetUuid(), before);
}

}  // namespace
}  // namespace norvo::test
