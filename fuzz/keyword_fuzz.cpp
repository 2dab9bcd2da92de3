// Fuzzes the module's keyword matching (FillBodyPart) as a host calls it:
// the module is loaded at start, and each input builds a small tree of named
// nodes and a small body-part hierarchy with keywords, and fills it.
//
// The input is lines: "+word" is a keyword and "-word" a discard keyword of
// the current body part, "/" moves to the next body part, any other line is
// a node name. A node's parent is an earlier node picked by its name's
// length.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "norvo/retargetbase.h"

using namespace norvo;

namespace {

constexpr std::size_t kMaxNodes = 32;
constexpr std::size_t kMaxWords = 32;
constexpr std::string_view kParts[] = {"Hips", "Spine", "Head", "LeftUpperLeg"};

String Text(std::string_view text) {
  Result<String> s = String::Make(text);
  if (!s) std::abort();
  return std::move(s).value();
}

struct Part {
  BaseArray<String> keywords;
  BaseArray<String> discard;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<CharacterTreeRef> nodes;
  Part parts[std::size(kParts)];
  std::size_t part = 0, words = 0;
  while (!input.empty()) {
    std::size_t end = input.find('\n');
    std::string_view line = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    if (line == "/") {
      part = (part + 1) % std::size(kParts);
    } else if (!line.empty() && (line[0] == '+' || line[0] == '-')) {
      if (words++ == kMaxWords) continue;
      BaseArray<String>& list = line[0] == '+' ? parts[part].keywords : parts[part].discard;
      if (!list.Append(Text(line.substr(1)))) std::abort();
    } else if (nodes.size() < kMaxNodes) {
      Result<Uuid> uuid = Uuid::Random();
      if (!uuid) std::abort();
      Result<CharacterTreeRef> node = CharacterTreeInterface::CreateTree(uuid.value(), Text(line), true);
      if (!node) std::abort();
      if (!nodes.empty() && !nodes[line.size() % nodes.size()].InsertChildLast(node.value())) std::abort();
      nodes.push_back(std::move(node).value());
    }
  }

  std::vector<CharacterBodyPartRef> bodyParts;
  for (std::size_t i = 0; i < std::size(kParts); ++i) {
    Result<InternedId> id = InternedId::Make(kParts[i]);
    if (!id) std::abort();
    Result<CharacterBodyPartRef> bodyPart = CharacterBodyPartInterface::CreateBodyPart(id.value(), Text(kParts[i]));
    if (!bodyPart) std::abort();
    if (!bodyPart.value().SetSkeletonKeywords(parts[i].keywords)) std::abort();
    if (!bodyPart.value().SetSkeletonDiscardKeywords(parts[i].discard)) std::abort();
    if (i > 0 && !bodyParts[i == 3 ? 0 : i - 1].InsertChildLast(bodyPart.value())) std::abort();
    bodyParts.push_back(std::move(bodyPart).value());
  }
  Result<void> filled =
      RetargetBaseHelperInterface::FillBodyPart(nodes.empty() ? CharacterTreeRef() : nodes[0], bodyParts[0]);
  if (nodes.empty()) return 0;  // an empty tree is refused
  if (!filled) std::abort();
  // Every node a body part took is a node of the tree.
  for (const CharacterBodyPartRef& bodyPart : bodyParts) {
    Result<const BaseArray<Uuid>&> skeleton = bodyPart.GetSkeleton();
    if (!skeleton) std::abort();
    for (const Uuid& uuid : skeleton.value()) {
      bool found = false;
      for (const CharacterTreeRef& node : nodes) found = found || node.GetUuid() == uuid;
      if (!found) std::abort();
    }
  }
  return 0;
}
