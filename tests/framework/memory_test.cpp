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
  void* blocks[5];
  FailAllocationAfter(2);
  for (void*& block : blocks) block = Allocate(8);
  FailAllocationAfter(0);
  FailAllocationAfter(-1);  // off again
  void* last = Allocate(1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(blocks[i] == nullptr, i == 2) << i;
  EXPECT_NE(last, nullptr);
  EXPECT_EQ(LiveAllocationCount(), before + 5);
  for (void* block : blocks) Free(block);
  Free(last);
  EXPECT_EQ(LiveAllocationCount(), before);
}

// ---- BaseArray --------------------------------------------------------------

TEST(BaseArray, StorageOfEnsureCapacityClearResetAndCopyFrom) {
  BaseArray<std::uint8_t> bytes;  // the size limit lets one-byte elements grow too
  ASSERT_TRUE(bytes.EnsureCapacity(100));
  EXPECT_EQ(bytes.GetCapacity(), 100);

  const Int before = LiveAllocationCount();
  BaseArray<Int> target = Array<Int>({1});
  EXPECT_ERROR(target.EnsureCapacity(INT64_MAX), OutOfMemory);   // more bytes than can be counted
  ASSERT_TRUE(target.CopyFrom(Array<Int>({1, 2, 3, 4, 5, 6})));  // exactly the source's count
  EXPECT_EQ(target.GetCount(), 6);
  EXPECT_EQ(target.GetCapacity(), 6);
  EXPECT_EQ(target[5], 6);
  ASSERT_TRUE(target.CopyFrom(Array<Int>({9, 8})));  // fits: storage kept
  EXPECT_EQ(target.GetCapacity(), 6);
  const BaseArray<Int>& self = target;
  ASSERT_TRUE(target.CopyFrom(self));
  EXPECT_EQ(std::vector<Int>(target.begin(), target.end()), (std::vector<Int>{9, 8}));

  target.Clear();
  EXPECT_TRUE(target.IsEmpty());
  EXPECT_EQ(target.GetCapacity(), 6);
  EXPECT_EQ(LiveAllocationCount(), before + 1);
  target.Reset();
  EXPECT_EQ(LiveAllocationCount(), before);
  ASSERT_TRUE(target.Append(1));
  ASSERT_TRUE(target.CopyFrom(BaseArray<Int>()));  // an empty source gives the storage back
  EXPECT_EQ(target.GetCapacity(), 0);
  EXPECT_EQ(LiveAllocationCount(), before);
}

TEST(BaseArray, FailedGrowthChangesNothing) {
  BaseArray<String> array;
  ASSERT_TRUE(array.Append(S("a")));
  const Int capacity = array.GetCapacity();
  for (Int i = array.GetCount(); i < capacity; ++i) ASSERT_TRUE(array.Append(S("x")));
  const std::vector<std::string> old = Texts(array);

  EXPECT_ERROR(WithAllocationFailure(0, [&] { return array.Append(String()); }), OutOfMemory);
  EXPECT_ERROR(WithAllocationFailure(0, [&] { return array.EnsureCapacity(capacity + 10); }), OutOfMemory);
  BaseArray<String> source;
  for (std::string_view text : {"p", "q", "r", "s", "t", "u", "v", "w", "y", "z"}) ASSERT_TRUE(source.Append(S(text)));
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

// The value under `key`, or -1.
Int At(const HashMap<String, Int>& map, std::string_view key) {
  const Int* value = map.Find(key);
  return value ? *value : -1;
}

TEST(HashMap, InsertFindReplaceEraseAndIterate) {
  HashMap<String, Int> map;
  EXPECT_EQ(map.Find(S("none")), nullptr);
  EXPECT_FALSE(map.Erase(S("none")));
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
  EXPECT_EQ(map.Find(S("key100")), nullptr);

  // A text view finds and erases a String key without making a String.
  const Int live = LiveAllocationCount();
  FailAllocationAfter(0);
  const Int value = At(map, "key42");
  const bool erased = map.Erase(std::string_view("key42"));
  const bool erasedAgain = map.Erase(std::string_view("key42"));
  ClearAllocationFailure();
  EXPECT_EQ(value, 42);
  EXPECT_TRUE(erased);
  EXPECT_FALSE(erasedAgain);
  EXPECT_EQ(LiveAllocationCount(), live - 2);  // the entry and its key's text
  expected.erase("key42");
  EXPECT_EQ(Contents(map), expected);
  EXPECT_EQ(map.GetCount(), 99);
}

// Uuid and InternedId keys are found by value: a Uuid parsed again from its
// text, an id made again from its text, and the empty ones.
TEST(HashMap, UuidAndInternedIdKeysMatchByValue) {
  HashMap<Uuid, Int> uuids;
  const Uuid a = NewUuid();
  ASSERT_TRUE(uuids.Insert(a, 1));
  ASSERT_TRUE(uuids.Insert(Uuid(), 0));
  ASSERT_TRUE(uuids.Insert(U(Str(a.ToString())), 2));  // replaces
  EXPECT_EQ(uuids.GetCount(), 2);
  EXPECT_EQ(*uuids.Find(a), 2);
  EXPECT_EQ(*uuids.Find(Uuid()), 0);
  EXPECT_EQ(uuids.Find(NewUuid()), nullptr);
  HashMap<InternedId, Int> ids;
  ASSERT_TRUE(ids.Insert(Id("Hips"), 1));
  ASSERT_TRUE(ids.Insert(InternedId(), 0));
  EXPECT_EQ(*ids.Find(Id("Hips")), 1);
  EXPECT_EQ(*ids.Find(InternedId()), 0);
  EXPECT_EQ(ids.Find(Id("hips")), nullptr);
  EXPECT_TRUE(ids.Erase(Id("Hips")));
  EXPECT_EQ(ids.GetCount(), 1);
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
  // A table that cannot grow just gets longer chains.
  const String eight = S("8");
  ASSERT_TRUE(WithAllocationFailure(0, [&] { return map.Insert(eight, 8); }));
  for (Int i = 0; i < 9; ++i) EXPECT_EQ(At(map, std::to_string(i)), i);
  const std::map<std::string, Int> before = Contents(map);
  // The table grows; the entry fails.
  EXPECT_ERROR(WithAllocationFailure(1, [&] { return map.Insert(key, 9); }), OutOfMemory);
  EXPECT_EQ(Contents(map), before);
}

TEST(HashMap, FailedCopyLeavesTheTargetEmptyAndLeaksNothing) {
  HashMap<Uuid, Int> source;
  for (Int i = 0; i < 20; ++i) ASSERT_TRUE(source.Insert(NewUuid(), i));
  // A bucket table that cannot grow only makes longer chains, so runs succeed
  // between runs that fail; every allocation is tried.
  int failed = 0;
  auto setup = [] {
    HashMap<Uuid, Int> target;
    EXPECT_TRUE(target.Insert(NewUuid(), -1));
    return target;
  };
  const int met = SweepAllocationFailures(setup, [&](HashMap<Uuid, Int>& target) {
    Result<void> copied = target.CopyFrom(source);
    if (!copied) {
      ++failed;
      EXPECT_EQ(copied.error().kind(), ErrorKind::OutOfMemory);
      EXPECT_TRUE(target.IsEmpty() && target.begin() == target.end());
      return;
    }
    EXPECT_EQ(target.GetCount(), source.GetCount());
    for (auto entry : source) EXPECT_EQ(*target.Find(entry.key), entry.value);
  });
  EXPECT_GE(failed, 20);  // the first bucket table and each entry
  EXPECT_GT(met, failed);
}

}  // namespace
}  // namespace norvo::test
