// Whole clips live in blocks of tens or hundreds of megabytes, written once
// from start to end. On Linux the kernel is asked to back such a block with
// huge pages before it is first written: one fault per 2 MiB instead of one
// per 4 KiB, which is most of the cost of filling it on a virtual machine.
// Only advice: nothing changes where the kernel does not take it.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "parallel.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace norvo::retarget {

inline void AdviseLargeBlock(const void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
  if (bytes < 2 * kHuge) return;
  // The whole huge pages inside the block.
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

// Has the kernel put in a large block's pages on a thread of its own, from
// the block's start to its end, while the caller fills it from the start:
// making fresh pages (zeroing them) then runs beside the caller's work
// instead of in the middle of it. The block keeps what it holds; the thread
// stops and is joined when this goes, which must be before the block does.
// Only a help: without the thread (t_clipHelpers, parallel.h) or the
// kernel's support nothing changes.
class PagesAhead {
 public:
  PagesAhead(void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
    if (bytes < 2 * kHuge || !t_clipHelpers || std::thread::hardware_concurrency() < 2) return;
    const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(data) & ~(std::uintptr_t(4095));
    const std::uintptr_t end = reinterpret_cast<std::uintptr_t>(data) + bytes;
    try {
      thread_ = std::thread([this, begin, end] {
        for (std::uintptr_t at = begin; at < end && !stop_.load(std::memory_order_relaxed); at += kHuge) {
          const std::uintptr_t next = std::min(end, (at + kHuge) & ~(kHuge - 1));
          if (::madvise(reinterpret_cast<void*>(at), next - at, MADV_POPULATE_WRITE) != 0) break;
          at = next - kHuge;
        }
      });
    } catch (...) {
      // No thread: the pages come in as the block is written.
    }
#else
    (void)data;
    (void)bytes;
#endif
  }
  PagesAhead(const PagesAhead&) = delete;
  PagesAhead& operator=(const PagesAhead&) = delete;
  ~PagesAhead() {
    stop_.store(true, std::memory_order_relaxed);
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace norvo::retarget
