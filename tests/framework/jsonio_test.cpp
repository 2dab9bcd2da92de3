// The JSON writer and reader on the framework's own values and hierarchy
// objects: round trips, sharing, deep hierarchies, and refused files.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "norvo/hashmap.h"
#include "norvo/hierarchy.h"
#include "norvo/jsonio.h"
#include "norvo/matrix.h"
#include "norvo/serialize.h"
#include "test_support.h"

namespace norvo::test {
namespace {

// A test class holding one member of every framework value type, an object
// member of its own type, and the hierarchy component before it.
struct BoxInterface {
  static constexpr std::string_view kMethods[] = {"ToString"};
  static constexpr InterfaceDecl kDecl{
      "net.norvo.test.json.interface.box", "norvo.test.BoxInterface", {}, RefKind::Strong, 0, kMethods};
};
constexpr std::string_view kBoxType = "norvo::test::Box";
constexpr std::string_view kBoxClass = "net.norvo.test.json.class.box";

struct Box {
  Bool flag = false;
  Int count = 0;
  Float64 weight = 0.0;
  Uuid id;
  String label;
  InternedId key;
  Matrix placement;
  BaseArray<Float64> samples;
  HashMap<Uuid, Uuid> pairs;
  ObjectRef next;

  Result<void> CopyFrom(const Box&) noexcept { return UnexpectedError("boxes are not copied"); }

  static Result<void> DescribeIO(DataSerializeInterface& s) noexcept {
    NORVO_RETURN_IF_ERROR(s.DescribeElement("flag", datatype::kBool, NORVO_MEMBER(Box, flag), nullptr, 0));
    NORVO_RETURN_IF_ERROR(s.DescribeElement("count", datatype::kInt, NORVO_MEMBER(Box, count), nullptr, 0));
    NORVO_RETURN_IF_ERROR(s.DescribeElement("weight", datatype::kFloat64, NORVO_MEMBER(Box, weight), nullptr, 0));
    NORVO_RETURN_IF_ERROR(s.DescribeElement("id", datatype::kUuid, NORVO_MEMBER(Box, id), nullptr, 0));
    NORVO_RETURN_IF_ERROR(s.DescribeElement("label", datatype::kString, NORVO_MEMBER(Box, label), nullptr, 0));
    NORVO_RETURN_IF_ERROR(s.DescribeElement("key", datatype::kInternedId, NORVO_MEMBER(Box, key), nullptr, 0));
    NORVO_RETURN_IF_ERROR(s.DescribeElement("placement", datatype::kMatrix, NORVO_MEMBER(Box, placement), nullptr, 0));
    NORVO_RETURN_IF_ERROR(s.DescribeElement("samples", datatype::kFloat64, NORVO_MEMBER(Box, samples),
                                            &ArrayAccessor<Float64>(), kDescribeFlagArray));
    NORVO_RETURN_IF_ERROR(s.DescribeElement("pairs", datatype::kUuid, NORVO_MEMBER(Box, pairs),
                                            &MapAccessor<Uuid, Uuid>(), kDescribeFlagMap));
    NORVO_RETURN_IF_ERROR(s.DescribeElement("pairs", datatype::kUuid, MemberRef{}, nullptr, kDescribeFlagMap));
    return s.DescribeElement("next", kBoxType, NORVO_MEMBER(Box, next), nullptr, 0);
  }
};

const InterfaceBinding kBoxBindings[] = {{&BoxInterface::kDecl, {}}};
const ComponentInfo kBoxComponent = MakeComponent<Box>("net.norvo.test.json.box", kBoxBindings, &Box::DescribeIO);
constexpr ClassPart kBoxParts[] = {{ClassPart::kAllOf, kHierarchyObjectClassId},
                                   {ClassPart::kComponent, "net.norvo.test.json.box"}};

class JsonIO : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(context_.RegisterDataType(kBoxType, BoxInterface::kDecl, 0x40000));
    ASSERT_TRUE(context_.RegisterComponent(kBoxComponent));
    ASSERT_TRUE(context_.RegisterClass(kBoxClass, kBoxParts));
    ASSERT_TRUE(context_.ComposeClasses());
  }

  static ObjectRef NewBox() { return Ok(CreateObject(kBoxClass)); }
  static Box& Data(const ObjectRef& box) { return *static_cast<Box*>(box.Get()->FindComponent(kBoxComponent)); }

  ModuleContext context_;
};

void Link(const ObjectRef& parent, const ObjectRef& child) {
  ASSERT_TRUE(HierarchyInsert(parent.Get(), child.Get(), nullptr, true).has_value());
}

std::uint64_t Bits(Float64 value) { return std::bit_cast<std::uint64_t>(value); }

TEST_F(JsonIO, EveryValueTypeRoundTripsExactly) {
  const Float64 numbers[] = {0.1,      -0.0,       1.0,           1e300,
                             5e-324,   -2.0 / 3.0, 123456789.125, std::numeric_limits<Float64>::quiet_NaN(),
                             HUGE_VAL, -HUGE_VAL};
  ObjectRef box = NewBox();
  Box& b = Data(box);
  b.flag = true;
  b.count = std::numeric_limits<Int>::min();
  b.weight = 0.1 + 0.2;
  b.id = NewUuid();
  b.label = S("quote \" backslash \\ tab \t line\n ü €");
  b.key = Id("LeftArm");
  b.placement = Matrix{{1.5, -2.25, 1e-9}, {0.0, -0.0, 1.0}, {1.0 / 3.0, 2.0, 3.0}, {4.0, 5.0, 6.0}};
  for (Float64 n : numbers) ASSERT_TRUE(b.samples.Append(n));
  const Uuid a = NewUuid(), c = NewUuid();
  ASSERT_TRUE(b.pairs.Insert(a, c));
  ASSERT_TRUE(b.pairs.Insert(c, a));
  // Enough entries for the table to grow: a loaded map lists them in the
  // saved one's order, whatever order its own growth gave them, so that the
  // text written again is the same.
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(b.pairs.Insert(NewUuid(), NewUuid()));

  const std::string text = JsonText(box);
  ObjectRef loaded = FromJson(text);
  ASSERT_TRUE(loaded);
  const Box& l = Data(loaded);
  EXPECT_EQ(l.flag, true);
  EXPECT_EQ(l.count, b.count);
  EXPECT_EQ(Bits(l.weight), Bits(b.weight));
  EXPECT_EQ(l.id, b.id);
  EXPECT_EQ(Str(l.label), Str(b.label));
  EXPECT_EQ(l.key, b.key);
  EXPECT_EQ(l.placement, b.placement);
  ASSERT_EQ(l.samples.GetCount(), b.samples.GetCount());
  for (Int i = 0; i < l.samples.GetCount(); ++i) EXPECT_EQ(Bits(l.samples[i]), Bits(b.samples[i])) << i;
  ASSERT_NE(l.pairs.Find(a), nullptr);
  EXPECT_EQ(*l.pairs.Find(a), c);
  EXPECT_EQ(*l.pairs.Find(c), a);
  EXPECT_EQ(JsonText(loaded), text);
}

TEST_F(JsonIO, SharedObjectsAreWrittenOnceAndSharedAgain) {
  ObjectRef root = NewBox(), first = NewBox(), second = NewBox(), shared = NewBox();
  Data(shared).count = 7;
  Data(first).next = shared;
  Data(second).next = shared;
  Data(root).next = first;
  Link(root, first);
  Link(root, second);
  const std::string text = JsonText(root);
  ObjectRef loaded = FromJson(text);
  ASSERT_TRUE(loaded);
  Object* a = HierarchyFirstChild(loaded.Get());
  Object* b = a ? HierarchyNext(a) : nullptr;
  ASSERT_TRUE(a && b);
  EXPECT_EQ(Data(loaded).next.Get(), a);
  const Box &boxA = Data(ObjectRef::Share(a)), &boxB = Data(ObjectRef::Share(b));
  EXPECT_EQ(boxA.next.Get(), boxB.next.Get());
  EXPECT_EQ(Data(boxA.next).count, 7);
  EXPECT_EQ(JsonText(loaded), text);
}

TEST_F(JsonIO, SectionsTravelBesideTheObjectsAndWhatCannotBeWrittenIsRefused) {
  const JsonSection sections[] = {{S("tool"), S("{ \"layout\": [1, 2, 3], \"name\": \"x\" }")}, {S("n"), S("5")}};
  ObjectRef root = HierarchyNode("root");
  const std::string text = Str(Ok(SaveJson(root, sections)));
  JsonDocument loaded = Ok(LoadJson(text));
  ASSERT_EQ(loaded.sections.GetCount(), 2);
  EXPECT_EQ(Str(loaded.sections[0].name), "n");
  EXPECT_EQ(Str(loaded.sections[0].json), "5");
  EXPECT_EQ(Str(loaded.sections[1].name), "tool");
  EXPECT_EQ(Str(loaded.sections[1].json), "{\"layout\":[1,2,3],\"name\":\"x\"}");
  EXPECT_EQ(Str(Ok(SaveJson(loaded.root, std::span<const JsonSection>(loaded.sections.begin(), 2)))), text);

  const JsonSection broken[] = {{S("tool"), S("{\"a\":")}};
  EXPECT_ERROR_MESSAGE(SaveJson(root, broken), IllegalArgument, "a section is not JSON");
  const JsonSection twice[] = {{S("tool"), S("1")}, {S("tool"), S("2")}};
  EXPECT_ERROR_MESSAGE(SaveJson(root, twice), IllegalArgument, "a section name is given twice");
  EXPECT_ERROR(SaveJson(ObjectRef(), {}), Nullptr);
  EXPECT_ERROR_MESSAGE(SaveJson(HierarchyNode("\xff\xfe")), IllegalArgument, "a text is not UTF-8");
}

// Members keep the file's own forms (numbers that read back exactly,
// control characters as \u00XX); a section is as the JSON library writes it.
TEST_F(JsonIO, MembersAndSectionsKeepTheirOwnScalarForms) {
  ObjectRef box = NewBox();
  Data(box).label = S("a\nb\x01\"");
  for (Float64 n : {1e5, 1e-4, 1e14, -0.0, HUGE_VAL}) ASSERT_TRUE(Data(box).samples.Append(n));
  const JsonSection sections[] = {{S("s"), S("[1e5, 1e-4, 1e14, -0.0, \"a\\nb\\u0001\\\"\"]")}};
  const std::string text = Str(Ok(SaveJson(box, sections)));
  for (const char* part : {"\"label\":\"a\\u000ab\\u0001\\\"\"", "\"samples\":[1e+05,1e-04,1e+14,-0.0,\"Infinity\"]",
                           "\"sections\":{\"s\":[100000.0,0.0001,100000000000000.0,-0.0,\"a\\nb\\u0001\\\"\"]}}\n"})
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
}

TEST_F(JsonIO, RefusedFilesNameTheFaultAndLeaveNothing) {
  // A new box as the writer writes it: the box entries of the refused files
  // change one member of it.
  EXPECT_EQ(
      JsonText(NewBox()),
      "{\"format\":\"norvo.objects\",\"version\":1,\"root\":0,\"objects\":[\n{\"class\":\"net.norvo.test.json.class.box\","
      "\"_observerName\":\"\",\"_children\":[],\"flag\":false,\"count\":0,\"weight\":0.0,\"id\":\"\",\"label\":\"\","
      "\"key\":\"\",\"placement\":[0.0,0.0,0.0,1.0,0.0,0.0,0.0,1.0,0.0,0.0,0.0,1.0],\"samples\":[],\"pairs\":[],"
      "\"next\":null}\n]}\n");
  struct Case {
    std::string text, message, problem;
  };
  std::vector<Case> cases;
  std::ifstream file(NORVO_FRAMEWORK_TEST_DATA_DIR "/refused_object_files.txt");
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    Case& c = cases.emplace_back();
    c.text = line == "-" ? "" : line;
    std::getline(file, c.message);
    std::getline(file, c.problem);
  }
  EXPECT_EQ(cases.size(), 32u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ExpectLoadRefused(c.text, c.message.c_str(), c.problem);
  }
}

TEST_F(JsonIO, LimitsReadATextAtThemAndRefuseOnePast) {
  // Two objects; the deepest value is a box's array at level four (the
  // file, "objects", the entry, the array); the longest array has 13
  // numbers, one more than the matrix.
  ObjectRef root = NewBox();
  for (int i = 0; i < 13; ++i) ASSERT_TRUE(Data(root).samples.Append(Float64(i)));
  Link(root, HierarchyNode("child"));
  const std::string text = JsonText(root);
  const Int bytes = Int(text.size());
  EXPECT_EQ(Data(Ok(LoadJson(text, nullptr, {bytes, 4, 2, 13})).root).samples.GetCount(), 13);

  const struct {
    JsonLimits limits;
    const char* message;
    std::string problem;
  } cases[] = {
      {{bytes - 1, 4, 2, 13},
       "text too long",
       "/: text too long (the limit is " + std::to_string(bytes - 1) + " bytes)"},
      {{bytes, 3, 2, 13}, "nesting too deep", "/objects/0: nesting too deep (the limit is 3 levels)"},
      {{bytes, 4, 1, 13}, "too many objects", "/objects/1: too many objects (the limit is 1)"},
      {{bytes, 4, 2, 12}, "array too long", "/objects/0: array too long (the limit is 12 elements)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    ExpectLoadRefused(text, c.message, c.problem, c.limits);
  }
  // A nesting limit above the bound is the bound.
  ExpectLoadRefused("{\"format\":" + std::string(std::size_t(kMaxJsonNesting), '['), "nesting too deep",
                    "/format: nesting too deep (the limit is 1000 levels)", {bytes * 1000, Int(1) << 40, 2, 13});
  // Sections count alike: their arrays and nesting are bounded too.
  const JsonSection sections[] = {{S("tool"), S("[[1, 2, 3]]")}};
  const std::string withSection = Str(Ok(SaveJson(HierarchyNode("n"), sections)));
  const Int size = Int(withSection.size());
  EXPECT_TRUE(LoadJson(withSection, nullptr, {size, 4, 1, 3}).has_value());
  EXPECT_ERROR_MESSAGE(LoadJson(withSection, nullptr, {size, 3, 1, 3}), IllegalArgument, "nesting too deep");
  EXPECT_ERROR_MESSAGE(LoadJson(withSection, nullptr, {size, 4, 1, 2}), IllegalArgument, "array too long");
}

TEST_F(JsonIO, SavingAndLoadingUnderAllocationFailureLeaveNothing) {
  ObjectRef root = NewBox();
  Data(root).label = S("label");
  Data(root).id = NewUuid();
  Data(root).key = Id("key");
  ASSERT_TRUE(Data(root).samples.Append(1.0));
  Link(root, HierarchyNode("child"));
  const std::string text = JsonText(root);
  EXPECT_GT(SweepForOutOfMemory([&] { return SaveJson(root); }), 3);
  EXPECT_GT(SweepForOutOfMemory([&] { return LoadJson(text); }), 5);
}

}  // namespace
}  // namespace norvo::test
