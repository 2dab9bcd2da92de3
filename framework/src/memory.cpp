#include "norvo/memory.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "ledger.h"

namespace norvo {
namespace {
std::atomic<Int> g_failCountdown{-1};

// Small blocks come in size classes of 16 bytes up to 512, and each thread
// keeps the small blocks it frees for its next allocations of that class:
// the solver clones and frees a node transform per node per frame, and the
// system allocator would otherwise hand the same memory back and forth,
// returning it to the system between frames. Every block carries a header
// with its class, so Free knows where it goes. Under AddressSanitizer and
// ThreadSanitizer the blocks go straight back to the system, so that a use
// after free, or a use racing with a free, is caught.
constexpr std::size_t kHeader = 16;  // keeps the blocks 16-byte aligned
constexpr std::size_t kClassBytes = 16;
constexpr std::uint32_t kClasses = 32;
constexpr std::uint32_t kLarge = kClasses;
constexpr std::size_t kThreadCacheBytes = std::size_t(64) << 20;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kCache = false;
#else
constexpr bool kCache = true;
#endif

struct FreeBlock {
  FreeBlock* next;
};

// Plain data, so that it is usable from the first to the last moment of its
// thread; the drain below gives its blocks back when the thread ends.
struct ThreadCache {
  FreeBlock* lists[kClasses];
  std::size_t bytes;
  bool draining;
  bool armed;  // the drain below is armed
};
__attribute__((tls_model("initial-exec"))) thread_local ThreadCache t_cache{};

struct ThreadCacheDrain {
  bool armed = false;
  ~ThreadCacheDrain() {
    t_cache.draining = true;
    for (FreeBlock*& list : t_cache.lists) {
      while (FreeBlock* block = list) {
        list = block->next;
        std::free(reinterpret_cast<char*>(block) - kHeader);
      }
    }
    t_cache.bytes = 0;
  }
};
thread_local ThreadCacheDrain t_drain;

std::uint32_t& ClassOf(void* block) noexcept {
  return *reinterpret_cast<std::uint32_t*>(static_cast<char*>(block) - kHeader);
}

bool InjectedFailure() noexcept {
  Int countdown = g_failCountdown.load(std::memory_order_relaxed);
  while (countdown >= 0) {
    if (g_failCountdown.compare_exchange_weak(countdown, countdown - 1, std::memory_order_relaxed))
      return countdown == 0;
  }
  return false;
}
}  // namespace

void* Allocate(std::size_t size) noexcept {
  if (InjectedFailure()) return nullptr;
  std::uint32_t sizeClass = size <= kClasses * kClassBytes ? std::uint32_t(size == 0 ? 0 : (size - 1) / kClassBytes)
                                                           : kLarge;
  void* block = nullptr;
  if (kCache && sizeClass != kLarge) {
    if (FreeBlock* cached = t_cache.lists[sizeClass]) {
      t_cache.lists[sizeClass] = cached->next;
      t_cache.bytes -= (sizeClass + 1) * kClassBytes;
      block = cached;
    }
  }
  if (!block) {
    std::size_t bytes = sizeClass == kLarge ? size : (sizeClass + 1) * kClassBytes;
    if (bytes > SIZE_MAX - kHeader) return nullptr;
    char* raw = static_cast<char*>(std::malloc(kHeader + bytes));
    if (!raw) return nullptr;
    block = raw + kHeader;
    ClassOf(block) = sizeClass;
  }
  internal::CountBlocks(1);
  return block;
}

void Free(void* block) noexcept {
  if (!block) return;
  internal::CountBlocks(-1);
  std::uint32_t sizeClass = ClassOf(block);
  std::size_t bytes = (sizeClass + 1) * kClassBytes;
  if (kCache && sizeClass != kLarge && !t_cache.draining && t_cache.bytes + bytes <= kThreadCacheBytes) {
    if (!t_cache.armed) t_cache.armed = t_drain.armed = true;  // gives the cache back when the thread ends
    auto* free = static_cast<FreeBlock*>(block);
    free->next = t_cache.lists[sizeClass];
    t_cache.lists[sizeClass] = free;
    t_cache.bytes += bytes;
    return;
  }
  std::free(static_cast<char*>(block) - kHeader);
}

void FailAllocationAfter(Int n) noexcept { g_failCountdown.store(n < 0 ? -1 : n, std::memory_order_relaxed); }
void ClearAllocationFailure() noexcept { g_failCountdown.store(-1, std::memory_order_relaxed); }
Int LiveAllocationCount() noexcept { return internal::CountedBlocks(); }

}  // namespace norvo
