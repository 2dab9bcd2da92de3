#include "ledger.h"

#include <atomic>
#include <mutex>

namespace norvo {

namespace internal {
struct LedgerAccess {
  static std::atomic<Int>& Total(const Class& cls) noexcept { return cls.live_; }
};
}  // namespace internal

namespace internal {
namespace {

// A thread's shares. Only the thread writes them (plain loads and stores of
// atomics, no read-modify-write); readers and the ledger's end take the lock.
// The shares of a class with no entry free go to its shared total.
constexpr int kEntries = 8;

struct Entry {
  std::atomic<const Class*> cls{nullptr};
  std::atomic<Int> count{0};
};

struct Ledger {
  std::atomic<Int> blocks{0};
  Entry entries[kEntries];
  Entry* last = nullptr;  // the entry counted last: objects come in runs of one class
  Ledger* next = nullptr;
  Ledger* previous = nullptr;
  bool open = false;
  bool closed = false;  // the thread is ending: shares go to the totals
};

std::mutex& LedgersLock() noexcept {
  static std::mutex lock;
  return lock;
}
Ledger* g_ledgers = nullptr;   // under the lock
std::atomic<Int> g_blocks{0};  // of ended threads, and of a thread that ends

// Plain data, usable from the first to the last moment of its thread.
__attribute__((tls_model("initial-exec"))) thread_local Ledger t_ledger;

// Release: a reader that sees an object's end sees all the object's work.
void Add(std::atomic<Int>& share, Int delta) noexcept {
  share.store(share.load(std::memory_order_relaxed) + delta, std::memory_order_release);
}

// Closes the thread's ledger when the thread ends.
struct LedgerCloser {
  bool armed = false;
  ~LedgerCloser() {
    Ledger& ledger = t_ledger;
    std::lock_guard lock(LedgersLock());
    g_blocks.fetch_add(ledger.blocks.exchange(0, std::memory_order_relaxed), std::memory_order_relaxed);
    for (Entry& entry : ledger.entries) {
      if (const Class* cls = entry.cls.load(std::memory_order_relaxed))
        LedgerAccess::Total(*cls).fetch_add(entry.count.exchange(0, std::memory_order_relaxed),
                                            std::memory_order_relaxed);
      entry.cls.store(nullptr, std::memory_order_relaxed);
    }
    (ledger.previous ? ledger.previous->next : g_ledgers) = ledger.next;
    if (ledger.next) ledger.next->previous = ledger.previous;
    ledger.closed = true;
  }
};
thread_local LedgerCloser t_closer;

// The thread's open ledger, or nullptr once it has closed.
Ledger* Mine() noexcept {
  Ledger& ledger = t_ledger;
  if (ledger.open) return ledger.closed ? nullptr : &ledger;
  std::lock_guard lock(LedgersLock());
  ledger.open = true;
  ledger.next = g_ledgers;
  if (g_ledgers) g_ledgers->previous = &ledger;
  g_ledgers = &ledger;
  t_closer.armed = true;  // closes the ledger when the thread ends
  return &ledger;
}

}  // namespace

void CountBlocks(Int delta) noexcept {
  if (Ledger* ledger = Mine()) Add(ledger->blocks, delta);
  else g_blocks.fetch_add(delta, std::memory_order_relaxed);
}

Int CountedBlocks() noexcept {
  std::lock_guard lock(LedgersLock());
  Int total = g_blocks.load(std::memory_order_relaxed);
  for (const Ledger* ledger = g_ledgers; ledger; ledger = ledger->next)
    total += ledger->blocks.load(std::memory_order_relaxed);
  return total;
}

void CountObjects(const Class& cls, Int delta) noexcept {
  if (Ledger* ledger = Mine()) {
    if (Entry* last = ledger->last; last && last->cls.load(std::memory_order_relaxed) == &cls)
      return Add(last->count, delta);
    Entry* free = nullptr;
    for (Entry& entry : ledger->entries) {
      const Class* held = entry.cls.load(std::memory_order_relaxed);
      if (held == &cls) {
        ledger->last = &entry;
        return Add(entry.count, delta);
      }
      if (!held && !free) free = &entry;
    }
    if (free) {
      free->count.store(delta, std::memory_order_release);
      free->cls.store(&cls, std::memory_order_release);
      ledger->last = free;
      return;
    }
  }
  LedgerAccess::Total(cls).fetch_add(delta, std::memory_order_relaxed);
}

Int CountedObjects(const Class& cls) noexcept {
  std::lock_guard lock(LedgersLock());
  Int total = LedgerAccess::Total(cls).load(std::memory_order_acquire);
  for (const Ledger* ledger = g_ledgers; ledger; ledger = ledger->next)
    for (const Entry& entry : ledger->entries)
      if (entry.cls.load(std::memory_order_acquire) == &cls) total += entry.count.load(std::memory_order_acquire);
  return total;
}

void ForgetClass(const Class& cls) noexcept {
  std::lock_guard lock(LedgersLock());
  for (Ledger* ledger = g_ledgers; ledger; ledger = ledger->next)
    for (Entry& entry : ledger->entries)
      if (entry.cls.load(std::memory_order_relaxed) == &cls) {
        // The count first: a free entry holds nothing when its thread takes it.
        entry.count.store(0, std::memory_order_relaxed);
        entry.cls.store(nullptr, std::memory_order_release);
      }
}

}  // namespace internal
}  // namespace norvo

namespace norvo {
Int Class::GetLiveObjectCount() const noexcept { return internal::CountedObjects(*this); }
}  // namespace norvo
