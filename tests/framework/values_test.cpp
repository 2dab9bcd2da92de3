// Results, texts, ids and the text of numbers and matrices.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "norvo/matrix.h"
#include "norvo/number.h"
#include "test_support.h"

namespace norvo::test {
namespace {

// ---- Result -----------------------------------------------------------------

std::uint32_t g_raisedLine = 0;
Result<Int> Raise() { g_raisedLine = __LINE__; return IllegalArgumentError("bad input"); }
Result<Int> Succeed() { return Int(20); }
Result<void> PassOn() {
  NORVO_RETURN_IF_ERROR(Raise());
  return {};
}
Result<Int> AssignOrPassOn(Result<Int> (*source)()) {
  NORVO_ASSIGN_OR_RETURN(Int value, source());
  return value + 1;
}

TEST(Result, ErrorRecordsKindMessageAndPlace) {
  Result<Int> r = Raise();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::IllegalArgument);
  EXPECT_STREQ(r.error().message(), "bad input");
  EXPECT_STREQ(r.error().file(), __FILE__);
  EXPECT_EQ(r.error().line(), g_raisedLine);

  const std::uint32_t line = __LINE__; Error plain = UnresolvedError();
  EXPECT_STREQ(plain.message(), "");
  EXPECT_EQ(plain.line(), line);
}

TEST(Result, MacrosPassTheFirstErrorOnUnchanged) {
  Result<void> passed = PassOn();
  ASSERT_FALSE(passed);
  EXPECT_EQ(passed.error().kind(), ErrorKind::IllegalArgument);
  EXPECT_STREQ(passed.error().message(), "bad input");
  EXPECT_STREQ(passed.error().file(), __FILE__);
  EXPECT_EQ(passed.error().line(), g_raisedLine);

  Result<Int> assigned = AssignOrPassOn(&Raise);
  ASSERT_FALSE(assigned);
  EXPECT_EQ(assigned.error().line(), g_raisedLine);

  Result<Int> value = AssignOrPassOn(&Succeed);
  ASSERT_TRUE(value);
  EXPECT_EQ(value.value(), 21);
}

// ---- String -----------------------------------------------------------------

TEST(String, CopiesShareABlockUntilOneChanges) {
  String a = S("abc");
  String b = a;
  EXPECT_EQ(a.GetRefCount(), 2);
  EXPECT_EQ(a.View().data(), b.View().data());

  ASSERT_TRUE(b.Append("def"));
  EXPECT_EQ(Str(a), "abc");
  EXPECT_EQ(Str(b), "abcdef");
  EXPECT_EQ(a.GetRefCount(), 1);
  EXPECT_EQ(b.GetRefCount(), 1);
  EXPECT_EQ(String().GetRefCount(), 0);
}

TEST(String, AppendAndInsertOfItsOwnText) {
  String s = S("abc");
  ASSERT_TRUE(s.Append(s.View()));
  EXPECT_EQ(Str(s), "abcabc");
  ASSERT_TRUE(s.Insert(3, s.View().substr(0, 2)));
  EXPECT_EQ(Str(s), "abcababc");

  String t = S("world");
  ASSERT_TRUE(t.Insert(0, "hello "));
  ASSERT_TRUE(t.Insert(100, "!"));  // clamped to the end
  ASSERT_TRUE(t.Insert(-5, ">"));   // clamped to the start
  EXPECT_EQ(Str(t), ">hello world!");
}

TEST(String, FindAndComparePart) {
  const String s = S("abcabc");
  const struct {
    std::string_view part;
    Int from;
    Int expected;
  } cases[] = {
      {"bc", 0, 1}, {"bc", 2, 4}, {"bc", 5, -1}, {"x", 0, -1}, {"", 2, 2}, {"", 6, 6}, {"", 7, -1}, {"a", -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.part) + " from " + std::to_string(c.from));
    EXPECT_EQ(s.Find(c.part, c.from), c.expected);
  }
  EXPECT_EQ(s.ComparePart(3, 3, "abc"), 0);
  EXPECT_EQ(s.ComparePart(1, 2, "bc"), 0);
  EXPECT_LT(s.ComparePart(0, 3, "abd"), 0);
  EXPECT_GT(s.ComparePart(0, 3, "abb"), 0);
  EXPECT_EQ(s.ComparePart(4, 10, "bc"), 0);  // clamped to the text
}

TEST(String, ToUpperMapsAsciiLettersOnly) {
  Result<String> upper = S("straße 1a-z").ToUpper();
  ASSERT_TRUE(upper);
  EXPECT_EQ(Str(upper.value()), "STRAßE 1A-Z");
}

TEST(String, SplitKeepsEmptyParts) {
  const struct {
    std::string_view text;
    std::string_view separator;
    std::vector<std::string> parts;
  } cases[] = {
      {"a&&&&b", "&&", {"a", "", "b"}}, {"a&&", "&&", {"a", ""}}, {"&&a", "&&", {"", "a"}},
      {"", "&&", {}},                   {"a&b", "", {"a&b"}},     {"abc", "&&", {"abc"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " by " + std::string(c.separator));
    Result<BaseArray<String>> parts = S(c.text).Split(c.separator);
    ASSERT_TRUE(parts);
    EXPECT_EQ(Texts(parts.value()), c.parts);
  }
}

TEST(String, FailedChangesLeaveTheTextAsItWas) {
  const String original = S("abc");
  int failures = ForEachAllocationFailure([&] {
    String s = original;  // shared, so every change needs a new block
    Result<void> appended = s.Append("defgh");
    if (!appended) {
      EXPECT_EQ(appended.error().kind(), ErrorKind::OutOfMemory);
      EXPECT_EQ(Str(s), "abc");
      EXPECT_EQ(s.GetRefCount(), 2);
      return false;
    }
    return true;
  });
  EXPECT_EQ(failures, 1);

  ForEachAllocationFailure([&] {
    String s = original;
    Result<void> inserted = s.Insert(1, "xy");
    if (!inserted) {
      EXPECT_EQ(Str(s), "abc");
    }
    return bool(inserted);
  });
  ForEachAllocationFailure([&] {
    Result<String> upper = original.ToUpper();
    if (!upper) {
      EXPECT_EQ(upper.error().kind(), ErrorKind::OutOfMemory);
    }
    return bool(upper);
  });
  const String csv = S("a,b,c,d,e");
  failures = ForEachAllocationFailure([&] {
    Result<BaseArray<String>> parts = csv.Split(",");
    if (!parts) {
      EXPECT_EQ(parts.error().kind(), ErrorKind::OutOfMemory);
    }
    return bool(parts);
  });
  EXPECT_GT(failures, 5);
  EXPECT_EQ(Str(original), "abc");
}

TEST(TextBuilder, DropsAPieceThatCannotBeBuiltAndGoesOn) {
  TextBuilder builder;
  builder.Piece("ab");
  FailAllocationAfter(0);  // the piece itself
  builder.Piece({"cd", "ef"});
  ClearAllocationFailure();
  builder.Piece({"g", "h"});
  EXPECT_EQ(Str(builder.Take()), "abgh");

  builder.Piece("ab");
  FailAllocationAfter(1);  // the dump's growth
  builder.Piece("a piece too long for the dump's block");
  ClearAllocationFailure();
  builder.Piece("cd");
  EXPECT_EQ(Str(builder.Take()), "cd");
}

// ---- Uuid -------------------------------------------------------------------

TEST(Uuid, ParseAndPrint) {
  Uuid u = U("0123ABCD-89ef-4A5b-Bcde-F0123456789a");
  EXPECT_EQ(Str(u.ToString()), "0123abcd-89ef-4a5b-bcde-f0123456789a");
  EXPECT_EQ(u.GetBytes()[0], 0x01);
  EXPECT_EQ(u.GetBytes()[15], 0x9a);
  EXPECT_TRUE(U(Str(u.ToString())) == u);
}

TEST(Uuid, InvalidTextsAreIllegalArguments) {
  const struct {
    std::string_view text;
    const char* message;
  } cases[] = {
      {"", "a Uuid text has 36 characters"},
      {"0123abcd-89ef-4a5b-bcde-f0123456789", "a Uuid text has 36 characters"},
      {"0123abcd-89ef-4a5b-bcde-f0123456789ab", "a Uuid text has 36 characters"},
      {"0123abcd89ef-4a5b-bcde-f0123456789ab", "a Uuid text is grouped 8-4-4-4-12"},
      {"0123abc-d89ef-4a5b-bcde-f0123456789a", "a Uuid text holds hexadecimal digits"},
      {"0123abcd-89ef-4a5b-bcde+f0123456789a", "a Uuid text is grouped 8-4-4-4-12"},
      {"0123abcg-89ef-4a5b-bcde-f0123456789a", "a Uuid text holds hexadecimal digits"},
      {"0123abcd-89ef-4a5b-bcde-f0123456789 ", "a Uuid text holds hexadecimal digits"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_ERROR_MESSAGE(Uuid::Parse(c.text), IllegalArgument, c.message);
  }
}

TEST(Uuid, RandomIsVersion4Variant1) {
  Uuid a = NewUuid();
  Uuid b = NewUuid();
  EXPECT_FALSE(a == b);
  for (const Uuid* u : {&a, &b}) {
    std::string text = Str(u->ToString());
    EXPECT_EQ(text[14], '4') << text;
    EXPECT_NE(std::string_view("89ab").find(text[19]), std::string_view::npos) << text;
  }
}

TEST(Uuid, EqualityAndHashByValue) {
  constexpr std::string_view kText = "0123abcd-89ef-4a5b-bcde-f0123456789a";
  Uuid a = U(kText);
  Uuid b = U(kText);
  EXPECT_EQ(a.GetRefCount(), 1);  // two blocks
  EXPECT_TRUE(a == b);
  EXPECT_EQ(a.GetHashCode(), b.GetHashCode());
  EXPECT_FALSE(a == U("0123abcd-89ef-4a5b-bcde-f0123456789b"));
  EXPECT_FALSE(a == Uuid());
  EXPECT_FALSE(U("00000000-0000-0000-0000-000000000000") == Uuid());
  EXPECT_TRUE(Uuid() == Uuid());
}

TEST(Uuid, MakeWritable) {
  Uuid a = NewUuid();
  Uuid shared = a;
  ASSERT_TRUE(shared.MakeWritable());
  EXPECT_TRUE(shared == a);
  EXPECT_EQ(shared.GetRefCount(), 1);
  EXPECT_EQ(a.GetRefCount(), 1);

  Uuid empty;
  ASSERT_TRUE(empty.MakeWritable());
  EXPECT_FALSE(empty.IsEmpty());
  EXPECT_EQ(empty.GetRefCount(), 1);

  Uuid other = a;
  EXPECT_ERROR(WithAllocationFailure(0, [&] { return other.MakeWritable(); }), OutOfMemory);
  EXPECT_EQ(other.GetRefCount(), 2);
  EXPECT_TRUE(other == a);

  Uuid none;
  EXPECT_ERROR(WithAllocationFailure(0, [&] { return none.MakeWritable(); }), OutOfMemory);
  EXPECT_TRUE(none.IsEmpty());
}

// ---- InternedId -------------------------------------------------------------

TEST(InternedId, SameTextIsTheSameEntry) {
  const Int before = InternedId::GetTableSize();
  {
    InternedId a = Id("net.norvo.test.id");
    InternedId b = Id("net.norvo.test.id");
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.GetHashCode(), b.GetHashCode());
    EXPECT_FALSE(a == Id("net.norvo.test.other"));
    EXPECT_FALSE(a == Id("net.norvo.test.ID"));
    EXPECT_EQ(a.View(), "net.norvo.test.id");
    EXPECT_EQ(Str(a.ToString()), "net.norvo.test.id");
    EXPECT_EQ(InternedId::GetTableSize(), before + 1);
    InternedId moved = std::move(a);
    b = InternedId();
    EXPECT_EQ(InternedId::GetTableSize(), before + 1);  // `moved` still holds it
  }
  EXPECT_EQ(InternedId::GetTableSize(), before);
}

TEST(InternedId, UnsetByDefaultAndFromEmptyText) {
  InternedId unset;
  EXPECT_FALSE(unset.IsSet());
  EXPECT_TRUE(unset == Id(""));
  EXPECT_FALSE(Id("").IsSet());
  EXPECT_EQ(unset.View(), "");
  EXPECT_TRUE(unset.ToString().IsEmpty());
  EXPECT_FALSE(unset == Id("x"));
}

TEST(InternedId, ConcurrentInterningAndReleasing) {
  const Int before = InternedId::GetTableSize();
  constexpr std::string_view kTexts[] = {"net.norvo.test.t0", "net.norvo.test.t1", "net.norvo.test.t2"};
  std::atomic<int> faults{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        std::string_view text = kTexts[i % 3];
        Result<InternedId> a = InternedId::Make(text);
        Result<InternedId> b = InternedId::Make(text);
        if (!a || !b || !(a.value() == b.value()) || a.value().View() != text) ++faults;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(InternedId::GetTableSize(), before);
}

// ---- Numbers and matrices ---------------------------------------------------

TEST(FloatToString, Table) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    Int before;
    Int after;
    bool exponent;
    char fill;
    const char* text;
  } cases[] = {
      {1.0, -1, -3, false, '0', "1"},
      {0.5, -1, -3, false, '0', "0.5"},
      {-2.0 / 3.0, -1, -3, false, '0', "-0.667"},
      {0.0004, -1, -3, false, '0', "0"},
      {-0.0, -1, -3, false, '0', "0"},
      {-0.0004, -1, -3, false, '0', "0"},
      {1234.5678, -1, -3, false, '0', "1234.568"},
      {100.0, -1, -3, false, '0', "100"},
      {0.9996, -1, -3, false, '0', "1"},
      {nan, -1, -3, false, '0', "nan"},
      {inf, -1, -3, false, '0', "inf"},
      {-inf, -1, -3, false, '0', "-inf"},
      {1.0, -1, 2, false, '0', "1.00"},
      {-0.001, -1, 2, false, '0', "0.00"},
      {2.5, -1, 0, false, '0', "2"},
      // The width counts the characters before the point, sign included.
      {1.5, 5, -3, false, ' ', "    1.5"},
      {1.5, 5, -3, false, '0', "00001.5"},
      {-1.5, 5, -3, false, '0', "-0001.5"},
      {-1.5, 5, -3, false, ' ', "   -1.5"},
      {12345.5, 3, -3, false, '0', "12345.5"},
      {1500.0, -1, -3, true, '0', "1.5e+03"},
      {-0.00025, -1, -3, true, '0', "-2.5e-04"},
      {0.0, -1, 2, true, '0', "0.00e+00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_EQ(Str(FloatToString(c.value, c.before, c.after, c.exponent, c.fill)), c.text);
  }
  EXPECT_EQ(Str(FloatToString(-2.0 / 3.0)), "-0.667");  // the defaults
}

TEST(MatrixToString, AxesFirstOffsetLast) {
  EXPECT_EQ(Str(MatrixToString(Matrix{})), "((1,0,0),(0,1,0),(0,0,1),(0,0,0))");
  Matrix m;
  m.off = {1, 2, 3};
  m.v1 = {0.5, -0.25, 0};
  EXPECT_EQ(Str(MatrixToString(m)), "((0.5,-0.25,0),(0,1,0),(0,0,1),(1,2,3))");
  EXPECT_EQ(Str(VectorToString({-2.0 / 3.0, 1e-5, 7})), "(-0.667,0,7)");
}

}  // namespace
}  // namespace norvo::test
