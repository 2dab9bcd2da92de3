#include "norvo/internedid.h"

#include <cstring>
#include <mutex>
#include <new>

#include "norvo/hashmap.h"
#include "norvo/memory.h"

namespace norvo {

struct InternedId::Entry {
  std::atomic<Int> refs;
  Int length;
  const char* Text() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  std::string_view View() const noexcept { return std::string_view(Text(), std::size_t(length)); }
};

namespace {
// The table lives as long as the process; it is empty whenever no id is held.
// Its keys view the texts stored in the entries themselves; the values are
// the entries.
struct Interned {
  std::mutex mutex;
  HashMap<std::string_view, void*> table;
};
// Made in static storage and never destroyed: no heap allocation can fail
// here, and no late release meets a destroyed table.
Interned& TheTable() noexcept {
  alignas(Interned) static unsigned char storage[sizeof(Interned)];
  static Interned& interned = *::new (storage) Interned();
  return interned;
}
}  // namespace

Result<InternedId> InternedId::Make(std::string_view text) noexcept {
  InternedId id;
  if (text.empty()) return id;
  Interned& interned = TheTable();
  std::lock_guard lock(interned.mutex);
  if (void** found = interned.table.Find(text)) {
    id.entry_ = static_cast<Entry*>(*found);
    id.entry_->refs.fetch_add(1, std::memory_order_relaxed);
    return id;
  }
  Entry* entry = static_cast<Entry*>(Allocate(sizeof(Entry) + text.size()));
  if (!entry) return OutOfMemoryError();
  ::new (entry) Entry{{1}, Int(text.size())};
  std::memcpy(reinterpret_cast<char*>(entry + 1), text.data(), text.size());
  if (auto inserted = interned.table.Insert(entry->View(), entry); !inserted) {
    Free(entry);
    return inserted.error();
  }
  id.entry_ = entry;
  return id;
}

InternedId::InternedId(const InternedId& other) noexcept : entry_(other.entry_) {
  if (entry_) entry_->refs.fetch_add(1, std::memory_order_relaxed);
}


// A count drops to zero only under the table's lock, so a lookup can never
// revive an entry that is being removed.
void InternedId::Release() noexcept {
  Entry* entry = std::exchange(entry_, nullptr);
  if (!entry) return;
  Int refs = entry->refs.load(std::memory_order_relaxed);
  while (refs > 1) {
    if (entry->refs.compare_exchange_weak(refs, refs - 1, std::memory_order_acq_rel)) return;
  }
  Interned& interned = TheTable();
  std::lock_guard lock(interned.mutex);
  if (entry->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    interned.table.Erase(entry->View());
    Free(entry);
  }
}

std::string_view InternedId::View() const noexcept { return entry_ ? entry_->View() : std::string_view(); }

String InternedId::ToString(const FormatStatement*) const noexcept {
  Result<String> s = String::Make(View());
  return s ? std::move(s).value() : String();
}

UInt InternedId::GetHashCode() const noexcept { return UInt(reinterpret_cast<std::uintptr_t>(entry_) >> 4); }

Int InternedId::GetTableSize() noexcept {
  Interned& interned = TheTable();
  std::lock_guard lock(interned.mutex);
  return interned.table.GetCount();
}

}  // namespace norvo
