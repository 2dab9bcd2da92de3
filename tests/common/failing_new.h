// Allocation failure for C++ allocations: a test program that links
// failing_new.cpp replaces the global operator new, so that a sweep can make
// its n-th allocation throw std::bad_alloc and count the blocks still live.
#pragma once
#include "allocation_sweep.h"

namespace norvo::test {

void FailNewAfter(Int n) noexcept;
// The n-th allocation from now fails, and so does every one after it.
void FailEveryNewAfter(Int n) noexcept;
void ClearNewFailure() noexcept;
// Blocks from operator new not yet deleted, process-wide.
Int LiveNewCount() noexcept;

inline constexpr Injector kNewAllocations{"operator new", &FailNewAfter, &ClearNewFailure, &LiveNewCount};
// Memory that stays exhausted: what is freed while a failure unwinds must not
// need memory either.
inline constexpr Injector kExhaustedNew{"operator new, and every one after", &FailEveryNewAfter, &ClearNewFailure,
                                        &LiveNewCount};

}  // namespace norvo::test
