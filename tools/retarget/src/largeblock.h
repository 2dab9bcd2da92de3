// Whole clips live in blocks of tens or hundreds of megabytes, written once
// from start to end. On Linux the kernel is asked to back such a block with
// huge pages before it is first written: one fault per 2 MiB instead of one
// per 4 KiB. Where the clip may use a helper thread, that thread has the
// kernel put in the block's pages while the caller fills it from the start:
// making fresh pages (zeroing them) is most of the cost of a first write on a
// virtual machine, and it then runs beside the caller's work instead of in
// the middle of it. Only help: nothing changes where the kernel does not take
// it or no thread starts.
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

// Advises the block of `bytes` at `data`, about to be filled, and puts in its
// pages ahead of the caller. The block keeps what it holds; the helper stops
// and is joined when this goes, which must be before the block does.
class LargeBlock {
 public:
  LargeBlock(void* data, std::size_t bytes) noexcept {
#if defined(__linux__)
    constexpr std::uintptr_t kHuge = std::uintptr_t(2) << 20;
    if (bytes < 2 * kHuge) return;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(data), end = start + bytes;
#if defined(MADV_HUGEPAGE)
    // The whole huge pages inside the block.
    const std::uintptr_t first = (start + kHuge - 1) & ~(kHuge - 1), last = end & ~(kHuge - 1);
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
#if defined(MADV_POPULATE_WRITE)
    if (!MayStartHelper()) return;
    try {
      helper_ = std::thread([this, start, end] {
        // A huge page at a time, from the page the block starts in.
        for (std::uintptr_t at = start & ~std::uintptr_t(4095); at < end && !stop_.load(std::memory_order_relaxed);) {
          const std::uintptr_t next = std::min(end, (at + kHuge) & ~(kHuge - 1));
          if (::madvise(reinterpret_cast<void*>(at), next - at, MADV_POPULATE_WRITE) != 0) break;
          at = next;
        }
      });
    } catch (...) {
      // No thread: the pages come in as the block is written.
    }
#endif
#else
    (void)data;
    (void)bytes;
#endif
  }
  LargeBlock(const LargeBlock&) = delete;
  LargeBlock& operator=(const LargeBlock&) = delete;
  ~LargeBlock() {
    stop_.store(true, std::memory_order_relaxed);
    if (helper_.joinable()) helper_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread helper_;
};

}  // namespace norvo::retarget
