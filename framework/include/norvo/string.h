// String: copy-on-write UTF-8 text. Copies share one reference-counted block;
// a change to a shared block first makes a private one. Every operation that
// allocates reports failure as OutOfMemoryError and leaves the text as it was.
#pragma once
#include <utility>
#include <atomic>
#include <string_view>

#include "norvo/array.h"
#include "norvo/hash.h"
#include "norvo/result.h"
#include "norvo/types.h"

namespace norvo {

// FNV-1a over bytes (Fnv1aHash); the hash of texts.
UInt HashBytes(std::string_view bytes) noexcept;

class String {
 public:
  String() noexcept = default;
  String(const String& other) noexcept : block_(other.block_) {
    if (block_) block_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  String(String&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  // Copy and move assignment in one: the argument is a copy (or the moved
  // value), and it takes the old value away with it.
  String& operator=(String other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  ~String() { Release(); }

  static Result<String> Make(std::string_view text) noexcept;

  std::string_view View() const noexcept;
  Int GetLength() const noexcept;
  bool IsEmpty() const noexcept { return GetLength() == 0; }

  Result<void> Append(std::string_view text) noexcept;
  Result<void> Append(const String& text) noexcept { return Append(text.View()); }
  // Inserts `text` in front of byte `position` (clamped to the length).
  Result<void> Insert(Int position, std::string_view text) noexcept;
  void Clear() noexcept { Release(); }

  // Byte offset of the first occurrence of `part` at or after `from`, or -1.
  // An empty `part` is found at `from` when `from` is within the text.
  Int Find(std::string_view part, Int from = 0) const noexcept;
  // Compares `count` bytes from `start` (clamped to the text) with `other`,
  // as memcmp orders them: negative, zero or positive.
  int ComparePart(Int start, Int count, std::string_view other) const noexcept;

  // ASCII letters to upper case; every other byte, UTF-8 included, stays.
  Result<String> ToUpper() const noexcept;
  // The parts between occurrences of `separator`, empty parts kept: "a&&&&b"
  // gives "a", "", "b"; "a&&" gives "a", "". An empty text has no parts; an
  // empty separator gives the whole text as the only part.
  Result<BaseArray<String>> Split(std::string_view separator) const noexcept;

  UInt GetHashCode() const noexcept;
  friend bool operator==(const String& a, const String& b) noexcept {
    return a.block_ == b.block_ || a.View() == b.View();
  }
  friend bool operator==(const String& a, std::string_view b) noexcept { return a.View() == b; }

  // Holders sharing the text block; 0 for the empty text.
  Int GetRefCount() const noexcept;

 private:
  // Copies and releases are inline: node values copy and drop their names on
  // every frame.
  struct Block {
    std::atomic<Int> refs;
    Int size;
    Int capacity;
    char* Data() noexcept { return reinterpret_cast<char*>(this + 1); }
  };
  static void Destroy(Block* block) noexcept;
  void Release() noexcept {
    Block* b = std::exchange(block_, nullptr);
    // The last holder needs no read-modify-write (no one else holds the block).
    if (b && (b->refs.load(std::memory_order_acquire) == 1 || b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1))
      Destroy(b);
  }

  Block* block_ = nullptr;
};

// Appends to a text dump. A dump never fails: a piece that cannot be built
// is left out; when the dump itself cannot grow, it becomes empty and the
// building goes on with the next piece.
class TextBuilder {
 public:
  // Appends the concatenation of `parts` as one piece.
  TextBuilder& Piece(std::initializer_list<std::string_view> parts) noexcept;
  TextBuilder& Piece(std::string_view part) noexcept { return Piece({part}); }
  String Take() noexcept { return std::move(text_); }

 private:
  String text_;
};

}  // namespace norvo
