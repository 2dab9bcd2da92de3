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

  // A text view finds and erases a String key without making a String.
  const Int live = LiveAllocationCount();
  FailAllocationAfter(0);
  const Int* found = map.Find(std::string_view("key42"));
  const Int value = found ? *found : -1;
  const bool erased = map.Erase(std::string_view("key42"));
  const bool erasedAgain = map.Erase(std::string_view("key42"));
  ClearAllocationFailure();
  EXPECT_EQ(value, 42);
  EXPECT_TRUE(erased);
  EXPECT_FALSE(erasedAgain);
  EXPECT_EQ(LiveAllocationCount(), live - 2);  // the entry and its key's text
  EXPECT_EQ(map.Find(std::string_view("key42")), nullptr);
  EXPECT_EQ(map.GetCount(), 99);
}

// Insert, replace, lookup by an equal key, Erase and iteration for a key type;
// `twin` makes an equal key that is a separate value.
template <class K, class Twin>
void ExpectMapOfKeys(const std::vector<K>& keys, Twin twin) {
  HashMap<K, Int> map;
  for (std::size_t i = 0; i < keys.size(); ++i) ASSERT_TRUE(map.Insert(keys[i], Int(i)));
  ASSERT_TRUE(map.Insert(twin(keys[0]), -1));  // replaces
  EXPECT_EQ(map.GetCount(), Int(keys.size()));
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const Int* value = map.Find(twin(keys[i]));
    ASSERT_NE(value, nullptr) << i;
    EXPECT_EQ(*value, i == 0 ? -1 : Int(i));
  }

  const K equal = twin(keys[1]);
  const Int live = LiveAllocationCount();
  FailAllocationAfter(0);  // erasing never allocates
  const bool erased = map.Erase(equal);
  const bool erasedAgain = map.Erase(keys[1]);
  ClearAllocationFailure();
  EXPECT_TRUE(erased);
  EXPECT_FALSE(erasedAgain);
  EXPECT_EQ(LiveAllocationCount(), live - 1);
  EXPECT_EQ(map.Find(keys[1]), nullptr);
  EXPECT_EQ(map.GetCount(), Int(keys.size()) - 1);

  Int visited = 0;
  for (auto entry : map) {
    ++visited;
    EXPECT_FALSE(entry.key == keys[1]);
    EXPECT_EQ(*map.Find(entry.key), entry.value);
  }
  EXPECT_EQ(visited, map.GetCount());

  for (const K& key : keys) map.Erase(key);
  EXPECT_TRUE(map.IsEmpty());
  EXPECT_FALSE(map.Erase(keys[0]));
}

TEST(HashMap, UuidAndInternedIdKeys) {
  {
    SCOPED_TRACE("Uuid");
    std::vector<Uuid> keys = {Uuid()};  // the empty Uuid is a key like any other
    for (int i = 0; i < 40; ++i) keys.push_back(NewUuid());
    ExpectMapOfKeys(keys, [](const Uuid& key) {
      return key.IsEmpty() ? Uuid() : Ok(Uuid::FromBytes(key.GetBytes()));
    });
  }
  {
    SCOPED_TRACE("InternedId");
    std::vector<InternedId> keys = {InternedId()};
    for (int i = 0; i < 40; ++i) keys.push_back(Id("net.norvo.test.key" + std::to_string(i)));
    ExpectMapOfKeys(keys, [](const InternedId& key) { return Id(key.View()); });
  }
}

TEST(HashMap, FailedCopyLeavesTheTargetEmptyAndLeaksNothing) {
  HashMap<Uuid, Int> source;
  for (Int i = 0; i < 20; ++i) ASSERT_TRUE(source.Insert(NewUuid(), i));
  int failed = 0, succeeded = 0;
  for (Int n = 0; n < 40; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    const Int before = LiveAllocationCount();
    {
      HashMap<Uuid, Int> target;
      ASSERT_TRUE(target.Insert(NewUuid(), -1));
      FailAllocationAfter(n);
      Result<void> copied = target.CopyFrom(source);
      ClearAllocationFailure();
      if (copied) {
        // A bucket table that could not grow only makes longer chains.
        ++succeeded;
        EXPECT_EQ(target.GetCount(), source.GetCount());
        for (auto entry : source) EXPECT_EQ(*target.Find(entry.key), entry.value);
      } else {
        ++failed;
        EXPECT_EQ(copied.error().kind(), ErrorKind::OutOfMemory);
        EXPECT_TRUE(target.IsEmpty());
        EXPECT_TRUE(target.begin() == target.end());
      }
    }
    EXPECT_EQ(LiveAllocationCount(), before);
  }
  EXPECT_GE(failed, 20);  // the first bucket table and each entry
  EXPECT_GT(succeeded, 0);
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
