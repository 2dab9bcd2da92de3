// The allocation-failure sweep: an operation run with its first, second,
// third, ... allocation failing, until a run succeeds. Every failing run
// must report out of memory, leave the caller's objects as they were (or in
// the state the operation documents), and give back every allocation it
// made. The framework's allocations (Allocate) fail through its hook; a test
// program that links failing_new.cpp can fail its C++ allocations
// (operator new) the same way.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "norvo/memory.h"
#include "norvo/result.h"

namespace norvo::test {

// Where a sweep makes allocations fail, and how it counts the live ones.
struct Injector {
  const char* name;
  void (*fail)(Int n) noexcept;  // the n-th allocation from now fails, once
  void (*clear)() noexcept;
  Int (*live)() noexcept;
};
inline constexpr Injector kFrameworkAllocations{"Allocate", &FailAllocationAfter, &ClearAllocationFailure,
                                                &LiveAllocationCount};

// How a sweep reads a framework result; the tool library's Outcome has its
// own pair beside it (retarget_support.h), found by argument lookup.
template <class T>
bool IsOutOfMemory(const Result<T>& result) {
  return !result.has_value() && result.error().kind() == ErrorKind::OutOfMemory;
}
template <class T>
std::string Describe(const Result<T>& result) {
  return result.has_value() ? "a value"
                            : std::string(ErrorKindName(result.error().kind())) + ": " + result.error().message();
}

// The sweep. `run` makes one attempt with the failure armed and returns
// whether it succeeded, checking a failed attempt's outcome itself; the
// sweep checks after each failed attempt that `unchanged()` holds and that
// the framework's and the injector's live allocations are back. Returns the
// number of failed attempts.
template <class Run, class Unchanged>
int SweepAllocations(const Injector& injector, Run run, Unchanged unchanged, int limit = 100000) {
  const bool failedBefore = ::testing::Test::HasFailure();
  for (int n = 0; n < limit; ++n) {
    SCOPED_TRACE(std::string(injector.name) + " " + std::to_string(n) + " fails");
    const Int live = injector.live();
    const Int framework = LiveAllocationCount();
    injector.fail(n);
    const bool succeeded = run();
    injector.clear();
    if (succeeded) return n;
    EXPECT_TRUE(unchanged()) << "allocation " << n << " changed the caller's objects";
    EXPECT_EQ(injector.live(), live) << "allocation " << n << " leaked";
    EXPECT_EQ(LiveAllocationCount(), framework) << "allocation " << n << " leaked";
    if (!failedBefore && ::testing::Test::HasFailure()) return n;  // one failing attempt tells enough
  }
  ADD_FAILURE() << "the operation never succeeded";
  return limit;
}

// The usual sweep: `operation` returns a Result or an Outcome, and every
// failed attempt must be one that `accept` takes (out of memory, unless an
// operation documents another outcome).
template <class Operation, class Accept, class Unchanged>
int SweepForOutOfMemoryAccepting(Operation operation, Accept accept, Unchanged unchanged,
                                 const Injector& injector = kFrameworkAllocations) {
  return SweepAllocations(
      injector,
      [&] {
        auto result = operation();
        if (result.has_value()) return true;
        EXPECT_TRUE(accept(result)) << Describe(result);
        return false;
      },
      unchanged);
}
template <class Operation, class Unchanged>
int SweepForOutOfMemory(Operation operation, Unchanged unchanged, const Injector& injector = kFrameworkAllocations) {
  return SweepForOutOfMemoryAccepting(
      operation, [](const auto& result) { return IsOutOfMemory(result); }, unchanged, injector);
}
template <class Operation>
int SweepForOutOfMemory(Operation operation, const Injector& injector = kFrameworkAllocations) {
  return SweepForOutOfMemory(
      operation, [] { return true; }, injector);
}

}  // namespace norvo::test
