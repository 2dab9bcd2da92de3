// Texts, ids, their makers under allocation failure, and the text of
// numbers and matrices.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "norvo/matrix.h"
#include "norvo/number.h"
#include "test_support.h"

namespace norvo::test {
namespace {

// Copies of a reference-counted value share its block, a moved-from value is
// empty, and the last holder frees the block.
template <class T>
void ExpectSharedBlock(const char* name, T (*make)()) {
  SCOPED_TRACE(name);
  (void)make();  // a first value warms up any table the value lives in
  const Int before = LiveAllocationCount();
  T a = make();
  const Int made = LiveAllocationCount();
  T b = a, c;
  c = b;
  c = static_cast<const T&>(c);
  T d = std::move(b);
  EXPECT_GT(made, before);
  EXPECT_EQ(LiveAllocationCount(), made);  // copies allocate nothing
  EXPECT_TRUE(b == T() && d == a && c == a);
  a = std::move(d);
  EXPECT_TRUE(d == T() && a == c);
  a = T();
  EXPECT_EQ(LiveAllocationCount(), made);  // `c` still holds it
  c = T();
  EXPECT_EQ(LiveAllocationCount(), before);
}

TEST(SharedValues, CopyMoveAndRelease) {
  ExpectSharedBlock<String>("String", [] { return S("a shared text"); });
  ExpectSharedBlock<Uuid>("Uuid", [] { return NewUuid(); });
  ExpectSharedBlock<InternedId>("InternedId", [] { return Id("net.norvo.test.shared"); });
}

// ---- String -----------------------------------------------------------------

TEST(String, ChangesOfItsOwnTextAndClampedPositions) {
  String a = S("abc");
  ASSERT_TRUE(a.Append(a.View()));
  EXPECT_EQ(Str(a), "abcabc");
  ASSERT_TRUE(a.Insert(1, a.View().substr(4)));  // a part that the insertion moves
  EXPECT_EQ(Str(a), "abcbcabc");

  String t = S("world");
  ASSERT_TRUE(t.Insert(0, "hello "));
  ASSERT_TRUE(t.Insert(100, "!"));  // clamped to the end
  ASSERT_TRUE(t.Insert(-5, ">"));   // clamped to the start
  EXPECT_EQ(Str(t), ">hello world!");
  EXPECT_EQ(Str(Ok(S("straße 1a-z").ToUpper())), "STRAßE 1A-Z");
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

TEST(String, SplitKeepsEmptyParts) {
  const struct {
    std::string_view text, separator;
    std::vector<std::string> parts;
  } cases[] = {
      {"a&&&&b", "&&", {"a", "", "b"}},
      {"a&&", "&&", {"a", ""}},
      {"&&a", "&&", {"", "a"}},
      {"", "&&", {}},
      {"a&b", "", {"a&b"}},
      {"abc", "&&", {"abc"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " by " + std::string(c.separator));
    EXPECT_EQ(Texts(Ok(S(c.text).Split(c.separator))), c.parts);
  }
}

TEST(String, FailedOperationsLeaveTheTextAsItWas) {
  const String original = S("a,b,c");
  const struct {
    const char* name;
    std::function<Result<void>(String&)> operation;
    int failures;
  } cases[] = {
      {"Append", [](String& s) { return s.Append("defgh"); }, 1},
      {"Insert", [](String& s) { return s.Insert(1, "xy"); }, 1},
      {"ToUpper", [](String& s) { return Discard(s.ToUpper()); }, 1},
      {"Split", [](String& s) { return Discard(s.Split(",")); }, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    String s;
    // `s` shares the text, so every change needs a new block.
    EXPECT_GE(SweepForOutOfMemory([&] { return c.operation(s = original); },
                                  [&] { return Str(s) == "a,b,c" && s.GetRefCount() == 2; }),
              c.failures);
    s = String();
    EXPECT_EQ(Str(original), "a,b,c");  // the successful run changed a copy of its own
    EXPECT_EQ(original.GetRefCount(), 1);
  }
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

TEST(Uuid, ParsePrintAndCompare) {
  constexpr std::string_view kText = "0123abcd-89ef-4a5b-bcde-f0123456789a";
  Uuid u = U("0123ABCD-89ef-4A5b-Bcde-F0123456789a");
  EXPECT_EQ(Str(u.ToString()), kText);
  EXPECT_EQ(u.GetBytes()[0], 0x01);
  EXPECT_EQ(u.GetBytes()[15], 0x9a);

  Uuid same = U(kText);  // a block of its own
  EXPECT_TRUE(u == same);
  EXPECT_EQ(u.GetHashCode(), same.GetHashCode());
  EXPECT_FALSE(u == U("0123abcd-89ef-4a5b-bcde-f0123456789b"));
  EXPECT_FALSE(u == Uuid());
  EXPECT_FALSE(U("00000000-0000-0000-0000-000000000000") == Uuid());
  EXPECT_EQ(Str(Uuid().ToString()), "00000000-0000-0000-0000-000000000000");

  // A random one is of version 4, variant 1.
  const Uuid random[] = {NewUuid(), NewUuid()};
  EXPECT_FALSE(random[0] == random[1]);
  for (const Uuid& r : random) {
    const std::string text = Str(r.ToString());
    EXPECT_EQ(text[14], '4') << text;
    EXPECT_NE(std::string_view("89ab").find(text[19]), std::string_view::npos) << text;
  }
}

TEST(Uuid, InvalidTextsAreIllegalArguments) {
  const struct {
    std::string_view text;
    const char* message;
  } cases[] = {
      {"", "a Uuid text has 36 characters"},
      {"0123abcd-89ef-4a5b-bcde-f0123456789ab", "a Uuid text has 36 characters"},
      {"0123abcd89ef-4a5b-bcde-f0123456789ab", "a Uuid text is grouped 8-4-4-4-12"},
      {"0123abc-d89ef-4a5b-bcde-f0123456789a", "a Uuid text holds hexadecimal digits"},
      {"0123abcd-89ef-4a5b-bcde+f0123456789a", "a Uuid text is grouped 8-4-4-4-12"},
      {"0123abcd-89ef-4a5b-bcde-f0123456789 ", "a Uuid text holds hexadecimal digits"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_ERROR_MESSAGE(Uuid::Parse(c.text), IllegalArgument, c.message);
  }
}

TEST(Uuid, MakeWritable) {
  Uuid a = NewUuid();
  EXPECT_TRUE(WithAllocationFailure(0, [&] { return a.MakeWritable(); }));  // held alone: kept as it is
  Uuid shared = a;
  EXPECT_ERROR(WithAllocationFailure(0, [&] { return shared.MakeWritable(); }), OutOfMemory);
  EXPECT_EQ(shared.GetRefCount(), 2);
  ASSERT_TRUE(shared.MakeWritable());
  EXPECT_TRUE(shared == a);
  EXPECT_EQ(shared.GetRefCount(), 1);
  EXPECT_EQ(a.GetRefCount(), 1);

  Uuid empty;
  EXPECT_ERROR(WithAllocationFailure(0, [&] { return empty.MakeWritable(); }), OutOfMemory);
  EXPECT_TRUE(empty.IsEmpty());
  ASSERT_TRUE(empty.MakeWritable());
  EXPECT_FALSE(empty.IsEmpty());
}

// ---- InternedId -------------------------------------------------------------

TEST(InternedId, SameTextIsTheSameEntry) {
  const Int before = InternedId::GetTableSize();
  InternedId a = Id("net.norvo.test.id");
  EXPECT_TRUE(a == Id("net.norvo.test.id"));
  EXPECT_FALSE(a == Id("net.norvo.test.ID"));
  EXPECT_EQ(Str(a.ToString()), "net.norvo.test.id");
  EXPECT_EQ(InternedId::GetTableSize(), before + 1);

  InternedId unset;
  EXPECT_FALSE(unset.IsSet());
  EXPECT_FALSE(Id("").IsSet());
  EXPECT_TRUE(unset == Id(""));
  EXPECT_TRUE(unset.ToString().IsEmpty());
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

// The value makers and lookups that allocate and have no sweep of their own
// elsewhere: each fails with OutOfMemoryError at every allocation and leaks
// nothing.
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

// ---- Numbers and matrices ---------------------------------------------------

TEST(FloatToString, Table) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double value;
    Int before, after;
    bool exponent;
    char fill;
    const char* text;
  } cases[] = {
      {1.0, -1, -3, false, '0', "1"},
      {0.5, -1, -3, false, '0', "0.5"},
      {-2.0 / 3.0, -1, -3, false, '0', "-0.667"},
      {100.0, -1, -3, false, '0', "100"},
      {0.9996, -1, -3, false, '0', "1"},
      {-0.0, -1, -3, false, '0', "0"},
      {-0.0004, -1, -3, false, '0', "0"},
      {-0.001, -1, 2, false, '0', "0.00"},
      {1.0, -1, 2, false, '0', "1.00"},
      {2.5, -1, 0, false, '0', "2"},
      {nan, -1, -3, false, '0', "nan"},
      {inf, -1, -3, false, '0', "inf"},
      {-inf, -1, -3, false, '0', "-inf"},
      // The width counts the characters before the point, sign included.
      {1.5, 5, -3, false, ' ', "    1.5"},
      {-1.5, 5, -3, false, ' ', "   -1.5"},
      {-1.5, 5, -3, false, '0', "-0001.5"},
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
