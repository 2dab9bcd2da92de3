// Every allocation of the framework and the module goes through Allocate, so
// that a test can make the Nth allocation from now fail and drive each
// OutOfMemoryError path.
#pragma once
#include <cstddef>
#include <new>
#include <utility>

#include "norvo/types.h"

namespace norvo {

// Returns nullptr when the memory cannot be had (or a failure is injected).
void* Allocate(std::size_t size) noexcept;
void Free(void* block) noexcept;

// Test hook: the allocation `n` allocations from now (0: the very next one)
// fails, once. A negative `n` turns the hook off.
void FailAllocationAfter(Int n) noexcept;
void ClearAllocationFailure() noexcept;
// Blocks handed out by Allocate and not yet freed, process-wide.
Int LiveAllocationCount() noexcept;

template <class T, class... Args>
T* New(Args&&... args) noexcept {
  void* block = Allocate(sizeof(T));
  return block ? ::new (block) T(std::forward<Args>(args)...) : nullptr;
}

template <class T>
void Delete(T* object) noexcept {
  if (object) {
    object->~T();
    Free(object);
  }
}

}  // namespace norvo
