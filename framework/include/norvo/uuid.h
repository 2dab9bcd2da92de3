// Uuid: a reference to a shared copy-on-write block of 16 bytes, or empty.
// Compared and hashed by value; an empty Uuid equals only an empty Uuid.
// Text: 36 lower-case hex characters, 8-4-4-4-12; the empty Uuid prints as
// "00000000-0000-0000-0000-000000000000".
#pragma once
#include <utility>
#include <array>
#include <atomic>
#include <cstdint>
#include <string_view>

#include "norvo/result.h"
#include "norvo/string.h"
#include "norvo/types.h"

namespace norvo {

class Uuid {
 public:
  using Bytes = std::array<std::uint8_t, 16>;
  static constexpr std::size_t kTextLength = 36;

  Uuid() noexcept = default;
  Uuid(const Uuid& other) noexcept : block_(other.block_) {
    if (block_) block_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  Uuid(Uuid&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  // Copy and move assignment in one: the argument is a copy (or the moved
  // value), and it takes the old value away with it.
  Uuid& operator=(Uuid other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  ~Uuid() { Release(); }

  // A new random Uuid of version 4.
  static Result<Uuid> Random() noexcept;
  // Parses 8-4-4-4-12 hex text, either case; anything else is IllegalArgumentError.
  static Result<Uuid> Parse(std::string_view text) noexcept;
  static Result<Uuid> FromBytes(const Bytes& bytes) noexcept;

  bool IsEmpty() const noexcept { return block_ == nullptr; }
  // The 16 bytes; all zero for the empty Uuid.
  Bytes GetBytes() const noexcept;

  // Makes this Uuid the only holder of its block: a set Uuid held alone stays
  // as it is, a shared one gets a private copy, an empty one a new random
  // block. On failure the Uuid is unchanged.
  Result<void> MakeWritable() noexcept;

  // Writes the 36 characters of the text.
  void Format(char (&text)[kTextLength]) const noexcept;
  String ToString(const FormatStatement* format = nullptr) const noexcept;

  UInt GetHashCode() const noexcept { return block_ ? block_->hash : 0; }
  friend bool operator==(const Uuid& a, const Uuid& b) noexcept {
    return a.block_ == b.block_ || SameBytes(a.block_, b.block_);
  }

  // Holders sharing the block; 0 for the empty Uuid.
  Int GetRefCount() const noexcept;

 private:
  // Copies, compares and releases are inline: node values copy, compare and
  // drop Uuids on every frame. The hash is taken once, when the block is
  // made: Uuids are hashed far more often than made.
  struct Block {
    std::atomic<Int> refs;
    Bytes bytes;
    UInt hash;
  };
  static bool SameBytes(const Block* a, const Block* b) noexcept;
  static void Destroy(Block* block) noexcept;
  void Release() noexcept {
    Block* b = std::exchange(block_, nullptr);
    // The last holder needs no read-modify-write (no one else holds the block).
    if (b && (b->refs.load(std::memory_order_acquire) == 1 || b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1))
      Destroy(b);
  }
  Block* block_ = nullptr;
};

}  // namespace norvo
