// The replaced global operator new and delete of a test program: plain
// malloc and free, a count of live blocks, and an injected failure: of one
// allocation, or of every one from then on (memory that stays exhausted).
#include "failing_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace norvo::test {
namespace {
std::atomic<Int> g_countdown{-1};
std::atomic<bool> g_exhausted{false};  // the failure, once reached, stays
std::atomic<Int> g_live{0};

bool InjectedFailure() noexcept {
  Int countdown = g_countdown.load(std::memory_order_relaxed);
  while (countdown >= 0) {
    if (countdown == 0 && g_exhausted.load(std::memory_order_relaxed)) return true;
    if (g_countdown.compare_exchange_weak(countdown, countdown - 1, std::memory_order_relaxed)) return countdown == 0;
  }
  return false;
}
}  // namespace

void FailNewAfter(Int n) noexcept {
  g_exhausted.store(false, std::memory_order_relaxed);
  g_countdown.store(n < 0 ? -1 : n, std::memory_order_relaxed);
}
void FailEveryNewAfter(Int n) noexcept {
  g_exhausted.store(true, std::memory_order_relaxed);
  g_countdown.store(n < 0 ? -1 : n, std::memory_order_relaxed);
}
void ClearNewFailure() noexcept { g_countdown.store(-1, std::memory_order_relaxed); }
Int LiveNewCount() noexcept { return g_live.load(std::memory_order_relaxed); }

namespace {
void* Take(std::size_t size) noexcept {
  if (InjectedFailure()) return nullptr;
  void* block = std::malloc(size ? size : 1);
  if (block) g_live.fetch_add(1, std::memory_order_relaxed);
  return block;
}
void Give(void* block) noexcept {
  if (!block) return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  std::free(block);
}
}  // namespace
}  // namespace norvo::test

void* operator new(std::size_t size) {
  if (void* block = norvo::test::Take(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* block = norvo::test::Take(size)) return block;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return norvo::test::Take(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return norvo::test::Take(size); }
void operator delete(void* block) noexcept { norvo::test::Give(block); }
void operator delete[](void* block) noexcept { norvo::test::Give(block); }
void operator delete(void* block, std::size_t) noexcept { norvo::test::Give(block); }
void operator delete[](void* block, std::size_t) noexcept { norvo::test::Give(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { norvo::test::Give(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { norvo::test::Give(block); }
