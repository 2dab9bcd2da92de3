#include "norvo/memory.h"

#include <atomic>
#include <cstdlib>

namespace norvo {
namespace {
std::atomic<Int> g_failCountdown{-1};
std::atomic<Int> g_live{0};
}  // namespace

void* Allocate(std::size_t size) noexcept {
  Int countdown = g_failCountdown.load(std::memory_order_relaxed);
  while (countdown >= 0) {
    if (g_failCountdown.compare_exchange_weak(countdown, countdown - 1, std::memory_order_relaxed)) {
      if (countdown == 0) return nullptr;
      break;
    }
  }
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block) g_live.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void Free(void* block) noexcept {
  if (!block) return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  std::free(block);
}

void FailAllocationAfter(Int n) noexcept { g_failCountdown.store(n < 0 ? -1 : n, std::memory_order_relaxed); }
void ClearAllocationFailure() noexcept { g_failCountdown.store(-1, std::memory_order_relaxed); }
Int LiveAllocationCount() noexcept { return g_live.load(std::memory_order_relaxed); }


}  // namespace norvo
