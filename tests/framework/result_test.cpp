// Result: errors record their kind, message and place and pass on unchanged;
// reading the value of an error, or the error of a value, is a checked failure
// that names the error and where it was raised.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace norvo::test {
namespace {

std::uint32_t g_raisedLine = 0;
Result<Int> Raise() {
  g_raisedLine = __LINE__ + 1;
  return IllegalArgumentError("bad input");
}
Result<Int> Succeed() { return Int(20); }
Result<void> PassOn() {
  NORVO_RETURN_IF_ERROR(Raise());
  return {};
}
Result<Int> AssignOrPassOn(Result<Int> (*source)()) {
  NORVO_ASSIGN_OR_RETURN(Int value, source());
  return value + 1;
}

TEST(Result, ErrorsRecordWhereTheyWereRaisedAndPassOnUnchanged) {
  for (const Error& error : {Raise().error(), PassOn().error(), AssignOrPassOn(&Raise).error()}) {
    EXPECT_EQ(error.kind(), ErrorKind::IllegalArgument);
    EXPECT_STREQ(error.message(), "bad input");
    EXPECT_STREQ(error.file(), __FILE__);
    EXPECT_EQ(error.line(), g_raisedLine);
  }
  EXPECT_EQ(Ok(AssignOrPassOn(&Succeed)), 21);

  const std::uint32_t line = __LINE__ + 1;
  Error plain = UnresolvedError();
  EXPECT_STREQ(plain.message(), "");
  EXPECT_EQ(plain.line(), line);
}

TEST(ResultDeathTest, ReadingTheSideItDoesNotHoldAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const int line = __LINE__ + 1;
  const Error error = IllegalArgumentError("the reason");
  const std::string where =
      "value\\(\\) of a Result that holds IllegalArgumentError \"the reason\" raised at .*result_test\\.cpp:" +
      std::to_string(line);
  Int target = 0;
  Result<Int> number = error, value = Int(1);
  Result<Int&> reference = error, referenceValue = target;
  Result<void> nothing = error, done;
  EXPECT_DEATH((void)number.value(), where);
  EXPECT_DEATH((void)std::move(number).value(), where);
  EXPECT_DEATH((void)reference.value(), where);
  EXPECT_DEATH(nothing.value(), where);
  EXPECT_DEATH(Result<void>(OutOfMemoryError()).value(), "holds OutOfMemoryError \"\" raised at .*result_test\\.cpp:");

  const char* what = "error\\(\\) of a Result that holds a value";
  EXPECT_DEATH((void)value.error(), what);
  EXPECT_DEATH((void)referenceValue.error(), what);
  EXPECT_DEATH((void)done.error(), what);
}

}  // namespace
}  // namespace norvo::test
