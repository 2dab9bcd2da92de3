// Helpers for the tests of associations and the retarget base helper:
// building trees and body parts, and reading an association's entries.
#pragma once
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

}  // namespace norvo::test
