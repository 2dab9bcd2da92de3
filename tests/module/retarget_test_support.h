// Helpers for the tests of associations and the retarget base helper:
// building trees and body parts, reading an association's entries, and an
// allocation-failure sweep for operations that get over a failed allocation.
#pragma once
#include <functional>
#include <set>
#include <sstream>
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

// The five counters of a statistics record: visited and associated body
// parts, source, target and associated nodes.
inline std::vector<Int> Counts(const AssociationStatistics& s) {
  return {s.visitedBodyParts, s.associatedBodyParts, s.sourceNodes, s.targetNodes, s.associatedNodes};
}

// The entries of an association's two tables as "key->value" texts, read from
// its dump "Uuid Association Table : \n{...}InternedId Association Table : \n{...}",
// so that two states compare whatever the order of the tables.
struct AssociationEntries {
  std::set<std::string> uuids, ids;
  bool operator==(const AssociationEntries&) const = default;
};
inline AssociationEntries EntriesOf(const CharacterAssociation& association) {
  std::string text = Str(association.ToString());
  auto items = [&](const std::string& heading) {
    std::set<std::string> entries;
    std::size_t at = text.find(heading + " Association Table : \n{");
    EXPECT_NE(at, std::string::npos) << text;
    if (at == std::string::npos) return entries;
    std::size_t open = text.find('{', at) + 1;
    std::stringstream list(text.substr(open, text.find('}', open) - open));
    for (std::string item; std::getline(list, item, ',');) entries.insert(item);
    return entries;
  };
  return {items("Uuid"), items("InternedId")};
}
inline std::string Entry(const Uuid& key, const Uuid& value) {
  return Str(key.ToString()) + "->" + Str(value.ToString());
}

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
