// Whole clips live in blocks of tens or hundreds of megabytes, written once
// from start to end. On Linux the kernel is asked to back such a block with
// huge pages before it is first written: one fault per 2 MiB instead of one
// per 4 KiB, which is most of the cost of filling it on a virtual machine.
// Only advice: nothing changes where the kernel does not take it.
#pragma once
#include <cstddef>
#include <cstdint>

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

}  // namespace norvo::retarget
