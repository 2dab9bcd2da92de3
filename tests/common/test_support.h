// Helpers shared by the tests.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "allocation_sweep.h"
#include "norvo/array.h"
#include "norvo/hierarchy.h"
#include "norvo/internedid.h"
#include "norvo/jsonio.h"
#include "norvo/memory.h"
#include "norvo/registry.h"
#include "norvo/string.h"
#include "norvo/uuid.h"

namespace norvo::test {

// The value of a result that must hold one.
template <class T>
T Ok(Result<T> result) {
  EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().message());
  return result ? std::move(result).value() : T();
}
// The error of a result, or success: results of several types in one table.
template <class T>
Result<void> Discard(const Result<T>& result) {
  if (!result) return result.error();
  return {};
}

// Values for tests; a failure to make one fails the test.
inline String S(std::string_view text) { return Ok(String::Make(text)); }
inline InternedId Id(std::string_view text) { return Ok(InternedId::Make(text)); }
inline Uuid U(std::string_view text) { return Ok(Uuid::Parse(text)); }
inline Uuid NewUuid() { return Ok(Uuid::Random()); }
template <class T>
BaseArray<T> Array(std::initializer_list<T> values) {
  return Ok(MakeArray(values));
}
inline std::string Str(const String& s) { return std::string(s.View()); }
inline std::vector<std::string> Texts(const BaseArray<String>& array) {
  std::vector<std::string> texts;
  for (const String& s : array) texts.push_back(Str(s));
  return texts;
}
// A hierarchy object with this observer name.
inline HierarchyObjectRef HierarchyNode(std::string_view name) {
  HierarchyObjectRef node = Ok(HierarchyObjectRef::Create(kHierarchyObjectClassId));
  node.SetName(S(name));
  return node;
}

// The JSON text of the objects below `root`, and the root of the objects a text holds.
inline std::string JsonText(const ObjectRef& root) { return Str(Ok(SaveJson(root))); }
inline ObjectRef FromJson(const std::string& text) {
  String problem;
  Result<JsonDocument> loaded = LoadJson(text, &problem);
  EXPECT_TRUE(loaded.has_value()) << Str(problem);
  return loaded ? loaded.value().root : ObjectRef();
}

// The lines of the registration log.
inline std::vector<std::string> RegistrationLog() { return Texts(Ok(GetRegistrationLog())); }
// These registration lines, then their releases, last first.
inline std::vector<std::string> WithReleases(std::vector<std::string> lines) {
  for (std::size_t i = lines.size(); i-- > 0;) lines.push_back("release " + lines[i]);
  return lines;
}

// The error kind and message of a result.
#define EXPECT_ERROR(result, errorKind)                          \
  do {                                                           \
    auto&& r_ = (result);                                        \
    ASSERT_FALSE(r_.has_value());                                \
    EXPECT_EQ(r_.error().kind(), ::norvo::ErrorKind::errorKind); \
  } while (0)
#define EXPECT_ERROR_MESSAGE(result, errorKind, text)            \
  do {                                                           \
    auto&& r_ = (result);                                        \
    ASSERT_FALSE(r_.has_value());                                \
    EXPECT_EQ(r_.error().kind(), ::norvo::ErrorKind::errorKind); \
    EXPECT_STREQ(r_.error().message(), text);                    \
  } while (0)

// Runs `operation` with allocation n failing, for n = 0, 1, 2, ... until it
// succeeds (the sweep of allocation_sweep.h). The operation returns whether
// it succeeded and checks the outcome of a failing run itself (the error,
// the state left behind). Every failing run must leave the count of live
// allocations as it found it (a successful run may keep what it allocated).
// Returns the number of failing runs.
template <class Operation>
int ForEachAllocationFailure(Operation operation, int limit = 10000) {
  return SweepAllocations(
      kFrameworkAllocations, operation, [] { return true; }, limit);
}

// The result of `operation` run with allocation `n` from now failing; the
// hook is off again afterwards, whatever the result.
template <class Operation>
auto WithAllocationFailure(Int n, Operation operation) {
  FailAllocationAfter(n);
  auto result = operation();
  ClearAllocationFailure();
  return result;
}

// Whether the failure armed by FailAllocationAfter(n) has not been used yet:
// then one of the next n + 1 allocations meets it.
inline bool FailureStillArmed(Int n) {
  for (Int i = 0; i <= n; ++i) {
    void* block = Allocate(1);
    if (!block) return true;
    Free(block);
  }
  return false;
}

// Runs `run(state)` on a fresh `setup()` with allocation n of the run
// failing, for n = 0, 1, 2, ... until a run makes fewer allocations than
// that. Unlike ForEachAllocationFailure it also sweeps operations that get
// over a failed allocation (best-effort growth, work skipped and not
// reported): `run` checks the outcome of each run itself, whatever it is.
// Once the state is released, every run must have left the count of live
// allocations as it found it. Returns the number of runs whose failure was met.
template <class Setup, class Run>
int SweepAllocationFailures(Setup setup, Run run, int limit = 100000) {
  for (int n = 0; n < limit; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of the run fails");
    Int before = LiveAllocationCount();
    bool met;
    {
      auto state = setup();
      FailAllocationAfter(n);
      run(state);
      met = !FailureStillArmed(n);
      ClearAllocationFailure();
    }
    EXPECT_EQ(LiveAllocationCount(), before) << "allocation " << n << " leaked";
    if (!met) return n;
  }
  ADD_FAILURE() << "the sweep did not end";
  return limit;
}

// Loading `text` is refused as an illegal argument with `message`, the
// problem names the place `where`, and nothing is left: no allocation, no
// interned id.
inline void ExpectLoadRefused(const std::string& text, const char* message, const std::string& where,
                              const JsonLimits& limits = {}) {
  const Int before = LiveAllocationCount(), ids = InternedId::GetTableSize();
  {
    String problem;
    EXPECT_ERROR_MESSAGE(LoadJson(text, &problem, limits), IllegalArgument, message);
    EXPECT_EQ(Str(problem), where);
  }
  EXPECT_EQ(LiveAllocationCount(), before);
  EXPECT_EQ(InternedId::GetTableSize(), ids);
}

// The diagnostic lines written while a sink is installed.
class DiagnosticCapture {
 public:
  DiagnosticCapture() {
    SetDiagnosticSink(
        [](std::string_view line, void* self) { static_cast<DiagnosticCapture*>(self)->lines.emplace_back(line); },
        this);
  }
  ~DiagnosticCapture() { SetDiagnosticSink(nullptr, nullptr); }
  std::vector<std::string> lines;
};

}  // namespace norvo::test
