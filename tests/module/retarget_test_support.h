// Helpers for the tests of associations and the retarget base helper:
// building trees and body parts, reading an association's entries, and an
// allocation-failure sweep for operations that get over a failed allocation.
#pragma once
#include <functional>
#include <set>
#include <string>

#include "module_fixture.h"

namespace norvo::test {

// A tree node with a new Uuid.
inline CharacterTreeRef TreeNode(std::string_view name) {
  return Ok(CharacterTreeInterface::CreateTree(NewUuid(), S(name), true));
}

// A body part with these keywords and discard keywords.
inline CharacterBodyPartRef BodyPart(std::string_view identifier, const std::vector<std::string_view>& keywords = {},
                                     const std::vector<std::string_view>& discard = {}) {
  CharacterBodyPartRef part = Ok(CharacterBodyPartInterface::CreateBodyPart(Id(identifier), S(identifier)));
  BaseArray<String> strings;
  for (std::string_view keyword : keywords) EXPECT_TRUE(strings.Append(S(keyword)).has_value());
  EXPECT_TRUE(part.SetSkeletonKeywords(strings).has_value());
  strings.Reset();
  for (std::string_view keyword : discard) EXPECT_TRUE(strings.Append(S(keyword)).has_value());
  EXPECT_TRUE(part.SetSkeletonDiscardKeywords(strings).has_value());
  return part;
}

inline std::vector<Uuid> Skeleton(const CharacterBodyPartRef& part) {
  std::vector<Uuid> uuids;
  if (Result<const BaseArray<Uuid>&> skeleton = part.GetSkeleton())
    for (const Uuid& uuid : skeleton.value()) uuids.push_back(uuid);
  return uuids;
}

// The entries of an association's two tables as "key->value" texts, read from
// its dump, so that two states compare whatever the order of the tables.
struct AssociationEntries {
  std::set<std::string> uuids, ids;
  bool operator==(const AssociationEntries&) const = default;
};
inline AssociationEntries EntriesOf(const CharacterAssociation& association) {
  static constexpr std::string_view kUuidHeading = "Uuid Association Table : \n";
  static constexpr std::string_view kIdHeading = "InternedId Association Table : \n";
  std::string text = Str(association.ToString());
  std::size_t idAt = text.find(kIdHeading);
  EXPECT_EQ(text.rfind(kUuidHeading, 0), 0u) << text;
  EXPECT_NE(idAt, std::string::npos) << text;
  auto items = [](std::string list) {
    std::set<std::string> entries;
    EXPECT_TRUE(list.size() >= 2 && list.front() == '{' && list.back() == '}') << list;
    list = list.substr(1, list.size() - 2);
    for (std::size_t start = 0; !list.empty();) {
      std::size_t comma = list.find(',', start);
      entries.insert(list.substr(start, comma - start));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    return entries;
  };
  if (idAt == std::string::npos) return {};
  return {items(text.substr(kUuidHeading.size(), idAt - kUuidHeading.size())),
          items(text.substr(idAt + kIdHeading.size()))};
}
inline std::string Entry(const Uuid& key, const Uuid& value) { return Str(key.ToString()) + "->" + Str(value.ToString()); }

// Whether the failure armed by FailAllocationAfter(n) has not been used yet:
// then one of the next n + 1 allocations meets it.
inline bool FailureStillArmed(Int n) {
  for (Int i = 0; i <= n; ++i) {
    void* block = Allocate(1);
    if (!block) return true;
    Free(block);
  }
  return false;
}

// Runs `run(state)` on a fresh `setup()` with allocation n of the run
// failing, for n = 0, 1, 2, ... until a run makes fewer allocations than
// that. Unlike ForEachAllocationFailure it also sweeps operations that get
// over a failed allocation (best-effort growth, work skipped and not
// reported): `run` checks the outcome of each run itself, whatever it is.
// Once the state is released, every run must have left the count of live
// allocations as it found it. Returns the number of runs whose failure was met.
template <class Setup, class Run>
int SweepAllocationFailures(Setup setup, Run run, int limit = 100000) {
  for (int n = 0; n < limit; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of the run fails");
    Int before = LiveAllocationCount();
    bool met;
    {
      auto state = setup();
      FailAllocationAfter(n);
      run(state);
      met = !FailureStillArmed(n);
      ClearAllocationFailure();
    }
    EXPECT_EQ(LiveAllocationCount(), before) << "allocation " << n << " leaked";
    if (!met) return n;
  }
  ADD_FAILURE() << "the sweep did not end";
  return limit;
}

}  // namespace norvo::test
