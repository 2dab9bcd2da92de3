// InternedId: an identifier text held in one process-wide table. Two ids with
// the same text are the same table entry, so they compare and hash by
// identity. An id can be unset; it prints as its text (nothing when unset).
// Entries are reference counted and leave the table with their last holder.
#pragma once
#include <utility>
#include <string_view>

#include "norvo/result.h"
#include "norvo/string.h"
#include "norvo/types.h"

namespace norvo {

class InternedId {
 public:
  InternedId() noexcept = default;
  InternedId(const InternedId& other) noexcept;
  InternedId(InternedId&& other) noexcept : entry_(other.entry_) { other.entry_ = nullptr; }
  // Copy and move assignment in one: the argument is a copy (or the moved
  // value), and it takes the old value away with it.
  InternedId& operator=(InternedId other) noexcept {
    std::swap(entry_, other.entry_);
    return *this;
  }
  ~InternedId() { Release(); }

  // The id of `text`; an empty text gives the unset id.
  static Result<InternedId> Make(std::string_view text) noexcept;

  bool IsSet() const noexcept { return entry_ != nullptr; }
  std::string_view View() const noexcept;
  String ToString(const FormatStatement* format = nullptr) const noexcept;

  UInt GetHashCode() const noexcept;
  friend bool operator==(const InternedId& a, const InternedId& b) noexcept { return a.entry_ == b.entry_; }

  // Entries currently in the table; for tests.
  static Int GetTableSize() noexcept;

 private:
  struct Entry;
  void Release() noexcept;
  Entry* entry_ = nullptr;
};

}  // namespace norvo
