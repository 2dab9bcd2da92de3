// NodePositionMap against the linear search of a pose, on random arrays with
// duplicates, empty Uuids and empty entries, and on arrays in step.
#include <algorithm>

#include "norvo/nodepositionmap.h"
#include "solver_support.h"

namespace norvo::test {
namespace {

using PositionMap = LoadedModule;

// The position of what GetNodeTransformByID of a pose with `nodes` returns,
// told apart by object; -1 for an empty result that is no empty entry.
Int LinearPosition(const CharacterPose& pose, const Uuid& id) {
  const BaseArray<CharacterNodeTransform>& nodes = NodesOf(pose);
  CharacterNodeTransform found = Ok(pose.GetNodeTransformByID(id));
  for (Int i = 0; i < nodes.GetCount(); ++i)
    if (nodes[i].Get() == found.Get() && nodes[i].GetUuid() == id) return i;
  return -1;
}

TEST_F(PositionMap, FindsWhatTheLinearSearchFinds) {
  RandomRig rig(11);
  std::vector<Uuid> ids{Uuid(), U("00000000-0000-0000-0000-000000000000")};
  for (int i = 0; i < 30; ++i) ids.push_back(NewUuid());
  for (int trial = 0; trial < 50; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    BaseArray<CharacterNodeTransform> arrays[2];
    // Every third trial, arrays in step: the other array carries the keys'
    // Uuids at their places (as new objects or the same ones), then more;
    // the keys are distinct every other time.
    const bool inStep = trial % 3 == 0;
    if (inStep) {
      std::vector<Uuid> keys = ids;
      for (std::size_t i = keys.size(); i > 1; --i) std::swap(keys[i - 1], keys[std::size_t(rig.Index(int(i)))]);
      keys.resize(std::size_t(rig.Index(int(keys.size())) + 1));
      if (trial % 2 == 0)
        for (Uuid& id : keys) id = ids[std::size_t(rig.Index(int(ids.size())))];
      for (const Uuid& id : keys) {
        CharacterNodeTransform node = Node(id, Matrix{});
        ASSERT_TRUE(arrays[0].Append(node).has_value());
        ASSERT_TRUE(arrays[1].Append(rig.Index(2) ? node : Node(id, Matrix{})).has_value());
      }
    }
    for (BaseArray<CharacterNodeTransform>& nodes : arrays) {
      if (inStep && &nodes == &arrays[0]) continue;
      for (int i = 0, n = rig.Index(40); i < n; ++i) {
        int kind = rig.Index(8);
        CharacterNodeTransform node = kind == 0 ? CharacterNodeTransform()
                                      : kind == 1 && !nodes.IsEmpty()
                                          ? nodes[rig.Index(int(nodes.GetCount()))]
                                          : Node(ids[std::size_t(rig.Index(int(ids.size())))], Matrix{});
        ASSERT_TRUE(nodes.Append(node).has_value());
      }
    }
    CharacterPose keys = MakePose(arrays[0]), other = MakePose(arrays[1]);
    NodePositionMap map;
    ASSERT_TRUE(map.Build(arrays[0], &arrays[1]).has_value());
    NodePositionMap keysOnly;
    ASSERT_TRUE(keysOnly.Build(arrays[0]).has_value());
    NodePositionMap forKeys;
    const Int before = LiveAllocationCount();
    ASSERT_TRUE(forKeys.BuildForKeys(arrays[0], arrays[1]).has_value());
    // In step, with distinct keys and the empty Uuid none of them, no table is kept.
    const bool emptyKey = std::any_of(arrays[0].begin(), arrays[0].end(),
                                      [](const CharacterNodeTransform& node) { return node.GetUuid().IsEmpty(); });
    if (inStep && trial % 2 != 0 && !emptyKey) {
      EXPECT_EQ(LiveAllocationCount(), before);
      EXPECT_EQ(forKeys.Find(arrays[0][0].GetUuid()).first, -1);
    }
    for (const Uuid& id : ids) {
      NodePositionMap::Positions at = map.Find(id);
      Int first = LinearPosition(keys, id);
      EXPECT_EQ(at.first, first);
      EXPECT_EQ(at.other, first < 0 ? -1 : LinearPosition(other, id));
      EXPECT_EQ(keysOnly.Find(id).first, first);
      EXPECT_EQ(keysOnly.Find(id).other, -1);
    }
    for (Int i = 0; i < arrays[0].GetCount(); ++i) {
      NodePositionMap::Positions byUuid = map.Find(arrays[0][i].GetUuid()), byKey = map.FindKey(i);
      EXPECT_EQ(byKey.first, byUuid.first);
      EXPECT_EQ(byKey.other, byUuid.other);
      EXPECT_EQ(forKeys.FindKey(i).first, byUuid.first);
      EXPECT_EQ(forKeys.FindKey(i).other, byUuid.other);
    }
  }
}

TEST_F(PositionMap, AllocatesOnceOrNotAtAll) {
  BaseArray<CharacterNodeTransform> nodes = Array({Node(NewUuid(), Matrix{}), Node(Uuid(), Matrix{})});
  NodePositionMap map;
  Int before = LiveAllocationCount();
  ASSERT_TRUE(map.Build(BaseArray<CharacterNodeTransform>(), &nodes).has_value());
  EXPECT_EQ(LiveAllocationCount(), before);
  EXPECT_EQ(map.Find(Uuid()).first, -1);

  SweepForOutOfMemory([&] { return map.Build(nodes, &nodes); },
                      [&] { return map.Find(nodes[0].GetUuid()).first == -1; });
  EXPECT_EQ(LiveAllocationCount(), before + 1);
  EXPECT_EQ(map.Find(nodes[1].GetUuid()).other, 1);
  // The empty Uuid's positions move along with the table.
  NodePositionMap moved = std::move(map);
  EXPECT_EQ(moved.Find(Uuid()).first, 1);
  EXPECT_EQ(moved.FindKey(1).other, 1);
  EXPECT_EQ(map.Find(Uuid()).first, -1);
  EXPECT_EQ(map.FindKey(1).first, -1);

  // Arrays in step too long to check on the stack: a table for the check
  // alone, given back at once.
  BaseArray<CharacterNodeTransform> many;
  for (int i = 0; i < 400; ++i) ASSERT_TRUE(many.Append(Node(NewUuid(), Matrix{})).has_value());
  NodePositionMap forKeys;
  const Int held = LiveAllocationCount();
  EXPECT_EQ(SweepForOutOfMemory([&] { return forKeys.BuildForKeys(many, many); },
                                [&] { return forKeys.FindKey(0).first == -1; }),
            1);
  EXPECT_EQ(LiveAllocationCount(), held);
  EXPECT_EQ(forKeys.FindKey(399).other, 399);
}

}  // namespace
}  // namespace norvo::test
