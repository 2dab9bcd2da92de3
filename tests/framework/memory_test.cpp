// The allocation hook and the containers that report failure instead of throwing.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "norvo/array.h"
#include "norvo/hashmap.h"
#include "test_support.h"

namespace norvo::test {
namespace {

TEST(Allocate, FailAllocationAfterFailsExactlyThatAllocationOnce) {
  const Int before = LiveAllocationCount();
  FailAllocationAfter(2);
  void* blocks[5];
  for (void*& block : blocks) block = Allocate(8);
  ClearAllocationFailure();
  EXPECT_NE(blocks[0], nullptr);
  EXPECT_NE(blocks[1], nullptr);
  EXPECT_EQ(blocks[2], nullptr);
  EXPECT_NE(blocks[3], nullptr);
  EXPECT_NE(blocks[4], nullptr);
  EXPECT_EQ(LiveAllocationCount(), before + 4);
  for (void* block : blocks) Free(block);
  EXPECT_EQ(LiveAllocationCount(), before);

  FailAllocationAfter(0);
  FailAllocationAfter(-1);  // off again
  void* block = Allocate(1);
  EXPECT_NE(block, nullptr);
  Free(block);
}

// ---- BaseArray --------------------------------------------------------------

TEST(BaseArray, ByteElements) {
  BaseArray<std::uint8_t> bytes;
  ASSERT_TRUE(bytes.Append(7));
  ASSERT_TRUE(bytes.EnsureCapacity(100));
  EXPECT_EQ(bytes.GetCapacity(), 100);
  EXPECT_EQ(bytes[0], 7);
}

TEST(BaseArray, ClearKeepsMemoryResetFreesIt) {
  const Int before = LiveAllocationCount();
  BaseArray<Int> array = Array<Int>({1, 2, 3});
  const Int capacity = array.GetCapacity();
  array.Clear();
  EXPECT_TRUE(array.IsEmpty());
  EXPECT_EQ(array.GetCapacity(), capacity);
  EXPECT_EQ(LiveAllocationCount(), before + 1);
  array.Reset();
  EXPECT_EQ(array.GetCapacity(), 0);
  EXPECT_EQ(LiveAllocationCount(), before);
}

TEST(BaseArray, CopyFromAllocatesExactlyTheSourceCount) {
  BaseArray<Int> target = Array<Int>({1});
  const BaseArray<Int> six = Array<Int>({1, 2, 3, 4, 5, 6});
  ASSERT_TRUE(target.CopyFrom(six));
  EXPECT_EQ(target.GetCount(), 6);
  EXPECT_EQ(target.GetCapacity(), 6);
  EXPECT_EQ(target[5], 6);

  ASSERT_TRUE(target.CopyFrom(Array<Int>({9, 8})));  // fits: storage kept
  EXPECT_EQ(target.GetCount(), 2);
  EXPECT_EQ(target.GetCapacity(), 6);
  EXPECT_EQ(target[1], 8);

  const BaseArray<Int>& self = target;
  ASSERT_TRUE(target.CopyFrom(self));
  EXPECT_EQ(target.GetCount(), 2);
  EXPECT_EQ(target[0], 9);

  const Int live = LiveAllocationCount();
  ASSERT_TRUE(target.CopyFrom(BaseArray<Int>()));
  EXPECT_EQ(target.GetCount(), 0);
  EXPECT_EQ(target.GetCapacity(), 0);
  EXPECT_EQ(LiveAllocationCount(), live - 1);
}

TEST(BaseArray, FailedGrowthChangesNothing) {
  BaseArray<String> array;
  ASSERT_TRUE(array.Append(S("a")));
  const Int capacity = array.GetCapacity();
  for (Int i = array.GetCount(); i < capacity; ++i) ASSERT_TRUE(array.Append(S("x")));

  EXPECT_ERROR(WithAllocationFailure(0, [&] { return array.Append(String()); }), OutOfMemory);
  EXPECT_EQ(array.GetCount(), capacity);
  EXPECT_EQ(array.GetCapacity(), capacity);
  EXPECT_EQ(Str(array[0]), "a");

  EXPECT_ERROR(WithAllocationFailure(0, [&] { return array.EnsureCapacity(capacity + 10); }), OutOfMemory);
  EXPECT_EQ(array.GetCapacity(), capacity);
  EXPECT_ERROR(array.EnsureCapacity(INT64_MAX), OutOfMemory);

  BaseArray<String> source;
  for (std::string_view text : {"p", "q", "r", "s", "t", "u", "v", "w", "y", "z"}) ASSERT_TRUE(source.Append(S(text)));
  const std::vector<std::string> old = Texts(array);
  EXPECT_ERROR(WithAllocationFailure(0, [&] { return array.CopyFrom(source); }), OutOfMemory);
  EXPECT_EQ(Texts(array), old);
  EXPECT_EQ(array.GetCapacity(), capacity);
}

// ---- HashMap ----------------------------------------------------------------

std::map<std::string, Int> Contents(const HashMap<String, Int>& map) {
  std::map<std::string, Int> contents;
  for (auto entry : map) EXPECT_TRUE(contents.emplace(Str(entry.key), entry.value).second) << "visited twice";
  return contents;
}

TEST(HashMap, InsertFindReplaceAndIterate) {
  HashMap<String, Int> map;
  EXPECT_EQ(map.Find(S("none")), nullptr);
  EXPECT_EQ(Contents(map).size(), 0u);
  std::map<std::string, Int> expected;
  for (Int i = 0; i < 100; ++i) {  // several rehashes
    std::string key = "key" + std::to_string(i);
    ASSERT_TRUE(map.Insert(S(key), i));
    expected[key] = i;
  }
  ASSERT_TRUE(map.Insert(S("key7"), -7));
  expected["key7"] = -7;
  EXPECT_EQ(map.GetCount(), 100);
  EXPECT_EQ(Contents(map), expected);
  ASSERT_NE(map.Find(S("key7")), nullptr);
  EXPECT_EQ(*map.Find(S("key7")), -7);
  EXPECT_EQ(map.Find(S("key100")), nullptr);
}

TEST(HashMap, FailedInsertLeavesTheMapUnchanged) {
  HashMap<String, Int> map;
  const String key = S("k");
  auto insertKey = [&] { return map.Insert(key, 1); };
  EXPECT_ERROR(WithAllocationFailure(0, insertKey), OutOfMemory);  // the bucket table
  EXPECT_ERROR(WithAllocationFailure(1, insertKey), OutOfMemory);  // the entry
  EXPECT_TRUE(map.IsEmpty());
  EXPECT_EQ(map.Find(key), nullptr);

  for (Int i = 0; i < 8; ++i) ASSERT_TRUE(map.Insert(S(std::to_string(i)), i));
  const String extra = S("extra");
  // A table that cannot grow just gets longer chains.
  ASSERT_TRUE(WithAllocationFailure(0, [&] { return map.Insert(extra, 8); }));
  EXPECT_EQ(map.GetCount(), 9);
  for (Int i = 0; i < 8; ++i) EXPECT_EQ(*map.Find(S(std::to_string(i))), i);

  const std::map<std::string, Int> before = Contents(map);
  const String more = S("more");
  // The table grows; the entry fails.
  EXPECT_ERROR(WithAllocationFailure(1, [&] { return map.Insert(more, 9); }), OutOfMemory);
  EXPECT_EQ(Contents(map), before);
  EXPECT_EQ(map.Find(more), nullptr);
}

}  // namespace
}  // namespace norvo::test
