// NodePositionMap: finds node transforms of pose arrays by Uuid without a
// linear search per lookup. Built in one pass over a key array (and, when
// given, one pass over a second array), it maps every Uuid of the key array
// to its first position there and to its first position in the second array.
// Those are exactly the elements that GetNodeTransformByID of a pose holding
// the array returns: duplicates resolve to the first, an empty element counts
// as carrying the empty Uuid, and the empty Uuid is a key like any other.
//
// Layout: one block per Build, allocated once: an open-addressing table of
// slots (the Uuid's 16 bytes and the two positions), at most two thirds
// full, followed by the slot of each key element. The empty Uuid has a slot
// of its own beside the table.
// The map copies the bytes, so it holds no reference into the arrays; after
// an array changes, the map still describes it as it was.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "norvo/characterpose.h"
#include "norvo/memory.h"

namespace norvo {

class NodePositionMap {
 public:
  using Array = CharacterPoseInterface::Array;

  // Positions of one Uuid; -1 where the array has no element with it.
  struct Positions {
    Int first = -1;  // in the key array
    Int other = -1;  // in the second array
  };

  static constexpr auto kUuidOf = [](const CharacterNodeTransform& node) noexcept -> const Uuid& {
    return node.GetUuid();
  };

  NodePositionMap() noexcept = default;
  NodePositionMap(const NodePositionMap&) = delete;
  NodePositionMap& operator=(const NodePositionMap&) = delete;
  NodePositionMap(NodePositionMap&& other) noexcept { *this = std::move(other); }
  NodePositionMap& operator=(NodePositionMap&& other) noexcept {
    if (this != &other) {
      Reset();
      slots_ = std::exchange(other.slots_, nullptr);
      keySlots_ = std::exchange(other.keySlots_, nullptr);
      keyCount_ = std::exchange(other.keyCount_, 0);
      mask_ = std::exchange(other.mask_, 0);
      empty_ = std::exchange(other.empty_, Slot{});
      aligned_ = std::exchange(other.aligned_, false);
    }
    return *this;
  }
  ~NodePositionMap() { Reset(); }

  // Maps the Uuids of `keys`, and records their first positions in `other`
  // when it is given; Uuids of `other` that `keys` lacks are passed over. One
  // allocation, none for an empty key array. OutOfMemoryError when the table
  // cannot be had; the map is then empty. `uuidOf` reads an element's Uuid
  // (by default through its interface; a module may read its own component).
  template <class UuidOf = decltype(kUuidOf)>
  Result<void> Build(const Array& keys, const Array* other = nullptr, UuidOf uuidOf = kUuidOf) noexcept {
    Reset();
    if (keys.IsEmpty()) return {};
    if (keys.GetCount() > kMaxCount || (other && other->GetCount() > kMaxCount)) return OutOfMemoryError();
    UInt capacity = 8;
    while (capacity < UInt(keys.GetCount()) * 3 / 2) capacity *= 2;
    // The table and, behind it, the slot of each key element.
    void* block = Allocate(std::size_t(capacity) * sizeof(Slot) + std::size_t(keys.GetCount()) * sizeof(std::int32_t));
    if (!block) return OutOfMemoryError();
    slots_ = static_cast<Slot*>(block);
    keySlots_ = reinterpret_cast<std::int32_t*>(slots_ + capacity);
    keyCount_ = keys.GetCount();
    mask_ = capacity - 1;
    for (UInt i = 0; i < capacity; ++i) ::new (slots_ + i) Slot();
    for (Int i = 0; i < keys.GetCount(); ++i) {
      const Uuid& uuid = uuidOf(keys[i]);
      Uuid::Bytes bytes = uuid.GetBytes();
      Slot& slot = Probe(uuid, bytes);
      if (slot.first < 0) {
        slot.bytes = bytes;
        slot.first = std::int32_t(i);
      }
      keySlots_[i] = &slot == &empty_ ? -1 : std::int32_t(&slot - slots_);
    }
    for (Int i = 0; other && i < other->GetCount(); ++i) {
      const Uuid& uuid = uuidOf((*other)[i]);
      // Arrays of one skeleton mostly hold its nodes in the same order: an
      // element that carries the key element's Uuid at its place needs no
      // search.
      Slot& slot = i < keyCount_ && uuid == uuidOf(keys[i]) ? (keySlots_[i] < 0 ? empty_ : slots_[keySlots_[i]])
                                                            : Probe(uuid, uuid.GetBytes());
      if (slot.first >= 0 && slot.other < 0) slot.other = std::int32_t(i);
    }
    return {};
  }

  // Build for FindKey alone. When `other` carries each key element's Uuid at
  // the key's own place and no two key elements carry the same one (the
  // arrays of one skeleton, mostly), FindKey(i) is {i, i}: that is told
  // apart by the Uuids' hashes, without a table, and nothing is kept; Find
  // then finds nothing. Otherwise the same as Build.
  template <class UuidOf = decltype(kUuidOf)>
  Result<void> BuildForKeys(const Array& keys, const Array& other, UuidOf uuidOf = kUuidOf) noexcept {
    Reset();
    NORVO_ASSIGN_OR_RETURN(const bool aligned, SameOrderAndDistinct(keys, other, uuidOf));
    if (!aligned) return Build(keys, &other, uuidOf);
    keyCount_ = keys.GetCount();
    aligned_ = true;
    return {};
  }

  Positions Find(const Uuid& uuid) const noexcept {
    if (!slots_) return {};
    const Slot& slot = Probe(uuid, uuid.GetBytes());
    return {slot.first, slot.other};
  }

  // The positions of the Uuid that key element `index` carries, without a
  // lookup: the same as Find(keys[index].GetUuid()).
  Positions FindKey(Int index) const noexcept {
    if (index < 0 || index >= keyCount_) return {};
    if (aligned_) return {index, index};
    const Slot& slot = keySlots_[index] < 0 ? empty_ : slots_[keySlots_[index]];
    return {slot.first, slot.other};
  }

  void Reset() noexcept {
    Free(slots_);
    slots_ = nullptr;
    keySlots_ = nullptr;
    keyCount_ = 0;
    mask_ = 0;
    empty_ = Slot{};
    aligned_ = false;
  }

 private:
  static constexpr Int kMaxCount = 0x7fffffff;

  // A key and its positions; first < 0 marks a free slot.
  struct Slot {
    Uuid::Bytes bytes{};
    std::int32_t first = -1;
    std::int32_t other = -1;
  };

  // Whether other[i] carries the Uuid of keys[i] for every key and the keys'
  // Uuids have pairwise different hashes (so different bytes). An empty Uuid,
  // or a hash of zero, which marks a free place here, answers false. Up to
  // 341 keys the table of hashes (at most two thirds full) is on the stack;
  // OutOfMemoryError when the table for more cannot be had.
  template <class UuidOf>
  static Result<bool> SameOrderAndDistinct(const Array& keys, const Array& other, UuidOf& uuidOf) noexcept {
    const Int count = keys.GetCount();
    if (count == 0 || other.GetCount() < count || count > kMaxCount) return false;
    constexpr UInt kOnStack = 512;
    UInt capacity = 8;
    while (capacity < UInt(count) * 3 / 2) capacity *= 2;
    UInt onStack[kOnStack];
    UInt* hashes = onStack;
    if (capacity > kOnStack) {
      hashes = static_cast<UInt*>(Allocate(std::size_t(capacity) * sizeof(UInt)));
      if (!hashes) return OutOfMemoryError();
    }
    std::fill(hashes, hashes + capacity, UInt(0));
    const UInt mask = capacity - 1;
    bool distinct = true;
    for (Int i = 0; distinct && i < count; ++i) {
      const Uuid& uuid = uuidOf(keys[i]);
      const UInt hash = uuid.GetHashCode();
      if (uuid.IsEmpty() || hash == 0 || !(uuidOf(other[i]) == uuid)) {
        distinct = false;
        break;
      }
      UInt at = hash & mask;
      while (hashes[at] != 0 && hashes[at] != hash) at = (at + 1) & mask;
      distinct = hashes[at] == 0;
      hashes[at] = hash;
    }
    if (hashes != onStack) Free(hashes);
    return distinct;
  }

  // The slot holding the Uuid, or the free slot where it would go. The empty
  // Uuid, which has the bytes of the all-zero Uuid, keeps a slot of its own.
  // The table is at most two thirds full, so a free slot is always found.
  Slot& Probe(const Uuid& uuid, const Uuid::Bytes& bytes) const noexcept {
    if (uuid.IsEmpty()) return empty_;
    for (UInt at = uuid.GetHashCode() & mask_;; at = (at + 1) & mask_) {
      Slot& slot = slots_[at];
      if (slot.first < 0 || std::memcmp(slot.bytes.data(), bytes.data(), bytes.size()) == 0) return slot;
    }
  }

  Slot* slots_ = nullptr;
  std::int32_t* keySlots_ = nullptr;  // -1: the empty Uuid's slot
  Int keyCount_ = 0;
  UInt mask_ = 0;
  mutable Slot empty_;    // Probe hands it out like a table slot
  bool aligned_ = false;  // BuildForKeys found the arrays in step: FindKey(i) is {i, i}
};

}  // namespace norvo
