// NodePositionMap: finds node transforms of pose arrays by Uuid without a
// linear search per lookup. Built in one pass over a key array (and, when
// given, one pass over a second array), it maps every Uuid of the key array
// to its first position there and to its first position in the second array.
// Those are exactly the elements that GetNodeTransformByID of a pose holding
// the array returns: duplicates resolve to the first, an empty element counts
// as carrying the empty Uuid, and the empty Uuid is a key like any other.
//
// Layout: one open-addressing table of slots (the Uuid's 16 bytes, an empty
// flag and the two positions), at most half full, allocated once per Build.
// The map copies the bytes, so it holds no reference into the arrays; after
// an array changes, the map still describes it as it was.
#pragma once
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

  NodePositionMap() noexcept = default;
  NodePositionMap(const NodePositionMap&) = delete;
  NodePositionMap& operator=(const NodePositionMap&) = delete;
  NodePositionMap(NodePositionMap&& other) noexcept
      : slots_(std::exchange(other.slots_, nullptr)), mask_(std::exchange(other.mask_, 0)) {}
  NodePositionMap& operator=(NodePositionMap&& other) noexcept {
    if (this != &other) {
      Reset();
      slots_ = std::exchange(other.slots_, nullptr);
      mask_ = std::exchange(other.mask_, 0);
    }
    return *this;
  }
  ~NodePositionMap() { Reset(); }

  // Maps the Uuids of `keys`, and records their first positions in `other`
  // when it is given; Uuids of `other` that `keys` lacks are passed over. One
  // allocation, none for an empty key array. OutOfMemoryError when the table
  // cannot be had; the map is then empty.
  Result<void> Build(const Array& keys, const Array* other = nullptr) noexcept {
    Reset();
    if (keys.IsEmpty()) return {};
    UInt capacity = 8;
    while (capacity < UInt(keys.GetCount()) * 2) {
      if (capacity > SIZE_MAX / sizeof(Slot) / 2) return OutOfMemoryError();
      capacity *= 2;
    }
    slots_ = static_cast<Slot*>(Allocate(std::size_t(capacity) * sizeof(Slot)));
    if (!slots_) return OutOfMemoryError();
    mask_ = capacity - 1;
    for (UInt i = 0; i < capacity; ++i) ::new (slots_ + i) Slot();
    for (Int i = 0; i < keys.GetCount(); ++i) {
      Slot& slot = Probe(keys[i].GetUuid());
      if (slot.first < 0) {
        slot.Set(keys[i].GetUuid());
        slot.first = i;
      }
    }
    if (other) {
      for (Int i = 0; i < other->GetCount(); ++i) {
        Slot& slot = Probe((*other)[i].GetUuid());
        if (slot.first >= 0 && slot.other < 0) slot.other = i;
      }
    }
    return {};
  }

  Positions Find(const Uuid& uuid) const noexcept {
    if (!slots_) return {};
    const Slot& slot = Probe(uuid);
    return {slot.first, slot.other};
  }

  void Reset() noexcept {
    Free(slots_);
    slots_ = nullptr;
    mask_ = 0;
  }

 private:
  struct Slot {
    Uuid::Bytes bytes{};
    bool empty = false;
    Int first = -1;  // -1: a free slot
    Int other = -1;

    void Set(const Uuid& uuid) noexcept {
      empty = uuid.IsEmpty();
      bytes = uuid.GetBytes();
    }
    bool Holds(const Uuid& uuid, const Uuid::Bytes& b) const noexcept {
      return empty == uuid.IsEmpty() && std::memcmp(bytes.data(), b.data(), b.size()) == 0;
    }
  };

  static UInt Hash(const Uuid::Bytes& b) noexcept {
    UInt lo, hi;
    std::memcpy(&lo, b.data(), 8);
    std::memcpy(&hi, b.data() + 8, 8);
    UInt h = lo ^ (hi * 0x9e3779b97f4a7c15ull);
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ull;
    return h ^ (h >> 32);
  }

  // The slot holding `uuid`, or the free slot where it would go. The table
  // is at most half full, so a free slot is always found.
  Slot& Probe(const Uuid& uuid) const noexcept {
    Uuid::Bytes b = uuid.GetBytes();
    for (UInt at = Hash(b) & mask_;; at = (at + 1) & mask_) {
      Slot& slot = slots_[at];
      if (slot.first < 0 || slot.Holds(uuid, b)) return slot;
    }
  }

  Slot* slots_ = nullptr;
  UInt mask_ = 0;
};

}  // namespace norvo
