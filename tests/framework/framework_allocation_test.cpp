// The framework's value makers and lookups that allocate and have no sweep
// of their own elsewhere: each fails with OutOfMemoryError at every
// allocation and leaks nothing.
#include <functional>

#include "test_support.h"

namespace norvo::test {
namespace {

// The error of a result, or success.
template <class T>
Result<void> Discard(Result<T> result) {
  if (!result) return result.error();
  return {};
}

TEST(FrameworkAllocationFailure, EveryMakerReportsAndLeaksNothing) {
  ModuleContext context;  // a line in the registration log to copy
  ASSERT_TRUE(context.RegisterModuleId("net.norvo.test.sweep").has_value());
  const Uuid::Bytes bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const struct {
    const char* what;
    std::function<Result<void>()> operation;
  } cases[] = {
      {"String::Make", [] { return Discard(String::Make("a text longer than any inline storage")); }},
      {"InternedId::Make",
       []() -> Result<void> {
         NORVO_ASSIGN_OR_RETURN(InternedId id, InternedId::Make("an id no other test holds"));
         EXPECT_EQ(id.View(), "an id no other test holds");
         return {};
       }},
      {"Uuid::Random", [] { return Discard(Uuid::Random()); }},
      {"Uuid::Parse", [] { return Discard(Uuid::Parse("01234567-89ab-cdef-0123-456789abcdef")); }},
      {"Uuid::FromBytes", [&] { return Discard(Uuid::FromBytes(bytes)); }},
      {"GetRegistrationLog", [] { return Discard(GetRegistrationLog()); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Once first: the process-wide tables (interned ids, the registration
    // log) keep the room they grew to.
    ASSERT_TRUE(c.operation().has_value());
    EXPECT_GE(SweepForOutOfMemory(c.operation), 1);
  }
  context.ReleaseAll();
  ClearRegistrationLog();
}

}  // namespace
}  // namespace norvo::test
