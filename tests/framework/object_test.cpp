// The object model: class composition, method tables, references, copy on
// write, static methods and the serialization description.
#include <gtest/gtest.h>

#include <cstddef>
#include <thread>
#include <vector>

#include "norvo/matrix.h"
#include "norvo/object.h"
#include "norvo/serialize.h"
#include "test_support.h"

namespace norvo::test {
namespace {

using ToStringFn = ObjectInterface::ToStringFn;
constexpr const FormatStatement* kNoFormat = nullptr;

constexpr std::string_view kToStringSlot[] = {"ToString"};
constexpr InterfaceDecl kXDecl{"net.norvo.test.interface.x", "norvo.test.X", {}, RefKind::Strong, 0, kToStringSlot};
constexpr InterfaceDecl kYDecl{"net.norvo.test.interface.y", "norvo.test.Y", {}, RefKind::Strong, 0, kToStringSlot};

struct TallyInterface {
  static constexpr std::string_view kMethods[] = {"GetValue", "Add", "GetPlacement"};
  static constexpr InterfaceDecl kDecl{
      "net.norvo.test.interface.tally", "norvo.test.TallyInterface", {}, RefKind::CopyOnWrite, 0, kMethods};
  enum Slot : std::size_t { kGetValue, kAdd, kGetPlacement };
  using GetValueFn = Int (*)(Object&, void*);
  using AddFn = Result<void> (*)(Object&, void*, Int);
  using GetPlacementFn = const Matrix& (*)(Object&, void*);
};

struct TotalInterface {
  static constexpr std::string_view kMethods[] = {"Total"};
  static constexpr InterfaceDecl kDecl{
      "net.norvo.test.interface.total", "norvo.test.TotalInterface", {}, RefKind::Strong, 0, kMethods};
  using TotalFn = Int (*)(Object&, void*);
};

// Components. A and B both answer ToString; A also for X, B also for Y.
struct PartA {
  String ToString(const FormatStatement*) const noexcept { return S("A"); }
};
struct PartB {
  String ToString(const FormatStatement*) const noexcept { return S("B"); }
};

// A value whose copies are counted, and can be refused.
struct Tally {
  static inline int copies = 0;
  static inline bool refuseCopy = false;
  Int value = 0;
  Matrix placement;

  Result<void> CopyFrom(const Tally& source) noexcept {
    if (refuseCopy) return UnexpectedError("copy refused");
    ++copies;
    value = source.value;
    placement = source.placement;
    return {};
  }
  Int GetValue() const noexcept { return value; }
  Result<void> Add(Int n) noexcept {
    value += n;
    return {};
  }
  const Matrix& GetPlacement() const noexcept { return placement; }
};

struct Scale {
  Int factor = 10;
  Int Total(Object& self) const noexcept;
};

Result<void> DescribeTally(DataSerializeInterface& stream) noexcept {
  return stream.DescribeElement("value", datatype::kInt, NORVO_MEMBER(Tally, value), nullptr, 0);
}
Result<void> DescribeScale(DataSerializeInterface& stream) noexcept {
  return stream.DescribeElement("factor", datatype::kInt, NORVO_MEMBER(Scale, factor), nullptr, 0);
}

const MethodFn kASlots[] = {Bind<ToStringFn, &PartA::ToString>()};
const InterfaceBinding kABindings[] = {{&ObjectInterface::kDecl, kASlots}, {&kXDecl, kASlots}};
const ComponentInfo kComponentA = MakeComponent<PartA>("net.norvo.test.fw.a", kABindings);
const MethodFn kBSlots[] = {Bind<ToStringFn, &PartB::ToString>()};
const InterfaceBinding kBBindings[] = {{&ObjectInterface::kDecl, kBSlots}, {&kYDecl, kBSlots}};
const ComponentInfo kComponentB = MakeComponent<PartB>("net.norvo.test.fw.b", kBBindings);
const MethodFn kTallySlots[] = {Bind<TallyInterface::GetValueFn, &Tally::GetValue>(),
                                Bind<TallyInterface::AddFn, &Tally::Add>(),
                                Bind<TallyInterface::GetPlacementFn, &Tally::GetPlacement>()};
const InterfaceBinding kTallyBindings[] = {{&TallyInterface::kDecl, kTallySlots}};
const ComponentInfo kTallyComponent = MakeComponent<Tally>("net.norvo.test.fw.tally", kTallyBindings, &DescribeTally);
const MethodFn kScaleSlots[] = {Bind<TotalInterface::TotalFn, &Scale::Total>()};
const InterfaceBinding kScaleBindings[] = {{&TotalInterface::kDecl, kScaleSlots}};
const ComponentInfo kScaleComponent = MakeComponent<Scale>("net.norvo.test.fw.scale", kScaleBindings, &DescribeScale);

// Reaches its sibling Tally through the object.
Int Scale::Total(Object& self) const noexcept {
  auto* tally = static_cast<const Tally*>(self.FindComponent(kTallyComponent));
  return tally ? tally->value * factor : -1;
}

constexpr std::string_view kAClass = "net.norvo.test.fw.class.a";
constexpr std::string_view kAbClass = "net.norvo.test.fw.class.ab";
constexpr std::string_view kTallyClass = "net.norvo.test.fw.class.tally";
constexpr ClassPart kAParts[] = {{ClassPart::kComponent, "net.norvo.test.fw.a"}};
constexpr ClassPart kAbParts[] = {{ClassPart::kAllOf, kAClass}, {ClassPart::kComponent, "net.norvo.test.fw.b"}};
constexpr ClassPart kTallyParts[] = {{ClassPart::kComponent, "net.norvo.test.fw.tally"},
                                     {ClassPart::kComponent, "net.norvo.test.fw.scale"}};

// Registers the components and classes above, the taking-over class before
// the class it takes over; released with the context.
struct TestClasses {
  ModuleContext context;
  explicit TestClasses(bool compose = true) {
    for (const ComponentInfo* c : {&kComponentA, &kComponentB, &kTallyComponent, &kScaleComponent}) {
      EXPECT_TRUE(context.RegisterComponent(*c));
    }
    EXPECT_TRUE(context.RegisterClass(kAbClass, kAbParts));
    EXPECT_TRUE(context.RegisterClass(kAClass, kAParts));
    EXPECT_TRUE(context.RegisterClass(kTallyClass, kTallyParts));
    EXPECT_TRUE(!compose || context.ComposeClasses());
  }
};

std::string TextThrough(const ObjectRef& object, const InterfaceDecl& iface) {
  return Str(InvokeMethod<ToStringFn>(object.Get(), iface, ObjectInterface::kToString, kNoFormat));
}
Int Total(const ObjectRef& object) {
  return InvokeMethod<TotalInterface::TotalFn>(object.Get(), TotalInterface::kDecl, 0);
}

// A copy-on-write reference to tally objects.
class TallyRef : public CowRef<TallyRef> {
 public:
  static constexpr const InterfaceDecl& kInterface = TallyInterface::kDecl;
  using CowRef::CowRef;

  Int GetValue() const { return Invoke<TallyInterface::GetValueFn>(kInterface, TallyInterface::kGetValue); }
  const Matrix& GetPlacement() const {
    return Invoke<TallyInterface::GetPlacementFn>(kInterface, TallyInterface::kGetPlacement);
  }
  Result<void> Add(Int n) { return InvokeModifying<TallyInterface::AddFn>(kInterface, TallyInterface::kAdd, n); }
};

// ---- Classes ----------------------------------------------------------------

TEST(Class, TakesOverAnotherClassThenAddsItsOwn) {
  TestClasses classes;
  ObjectRef ab = Ok(CreateObject(kAbClass));
  ObjectRef a = Ok(CreateObject(kAClass));
  ASSERT_TRUE(ab && a);
  EXPECT_EQ(ab.Get()->GetClass().GetComponentCount(), 2);
  EXPECT_EQ(a.Get()->FindComponent(kComponentB), nullptr);

  // B took over ToString for ObjectInterface only; X still reaches A.
  EXPECT_EQ(TextThrough(ab, kXDecl), "A");
  EXPECT_EQ(Str(ab.ToString()), "B");
  EXPECT_EQ(TextThrough(ab, kYDecl), "B");
  EXPECT_EQ(Str(a.ToString()), "A");
  EXPECT_TRUE(ab.Carries(ObjectInterface::kDecl) && ab.Carries(kXDecl) && ab.Carries(kYDecl));
  EXPECT_FALSE(a.Carries(kYDecl));
  // An equal declaration held elsewhere is the same interface.
  constexpr InterfaceDecl kXCopy{"net.norvo.test.interface.x", "norvo.test.X", {}, RefKind::Strong, 0, kToStringSlot};
  EXPECT_EQ(TextThrough(ab, kXCopy), "A");
}

TEST(Class, FailedCompositionLeavesNoPartlyBuiltClass) {
  EXPECT_ERROR_MESSAGE(CreateObject("net.norvo.test.fw.class.unknown"), Unresolved,
                       "no class is registered under this id");
  constexpr ClassPart kLateParts[] = {{ClassPart::kComponent, "net.norvo.test.fw.a"},
                                      {ClassPart::kComponent, "net.norvo.test.fw.b"}};
  constexpr ClassPart kOrphanParts[] = {{ClassPart::kAllOf, "net.norvo.test.fw.class.none"}};
  constexpr ClassPart kCycle1Parts[] = {{ClassPart::kAllOf, "net.norvo.test.fw.class.cycle2"}};
  constexpr ClassPart kCycle2Parts[] = {{ClassPart::kAllOf, "net.norvo.test.fw.class.cycle1"}};
  ModuleContext context;
  ASSERT_TRUE(context.RegisterComponent(kComponentA));
  ASSERT_TRUE(context.RegisterClass("net.norvo.test.fw.class.late", kLateParts));
  EXPECT_ERROR_MESSAGE(context.ComposeClasses(), Unresolved, "the component is not registered");
  EXPECT_TRUE(IsClassRegistered("net.norvo.test.fw.class.late"));
  EXPECT_ERROR_MESSAGE(CreateObject("net.norvo.test.fw.class.late"), Unresolved, "the component is not registered");
  {
    // Once the part is there, the class composes from scratch.
    ModuleContext later;
    ASSERT_TRUE(later.RegisterComponent(kComponentB));
    EXPECT_EQ(Str(Ok(CreateObject("net.norvo.test.fw.class.late")).ToString()), "B");
  }
  ASSERT_TRUE(context.RegisterClass("net.norvo.test.fw.class.orphan", kOrphanParts));
  EXPECT_ERROR_MESSAGE(CreateObject("net.norvo.test.fw.class.orphan"), Unresolved,
                       "the class to take over is not registered");
  ASSERT_TRUE(context.RegisterClass("net.norvo.test.fw.class.cycle1", kCycle1Parts));
  ASSERT_TRUE(context.RegisterClass("net.norvo.test.fw.class.cycle2", kCycle2Parts));
  EXPECT_ERROR_MESSAGE(CreateObject("net.norvo.test.fw.class.cycle1"), IllegalArgument,
                       "the classes take each other over in a cycle");
  // A binding with more slots than its interface declares.
  static const MethodFn twoSlots[] = {Bind<ToStringFn, &PartA::ToString>(), Bind<ToStringFn, &PartA::ToString>()};
  static const InterfaceBinding tooLong[] = {{&kXDecl, twoSlots}};
  static const ComponentInfo wide = MakeComponent<PartA>("net.norvo.test.fw.wide", tooLong);
  constexpr ClassPart kWideParts[] = {{ClassPart::kComponent, "net.norvo.test.fw.wide"}};
  ASSERT_TRUE(context.RegisterComponent(wide));
  ASSERT_TRUE(context.RegisterClass("net.norvo.test.fw.class.wide", kWideParts));
  EXPECT_ERROR_MESSAGE(CreateObject("net.norvo.test.fw.class.wide"), IllegalArgument,
                       "a binding has more slots than its interface");
}

TEST(CreateObject, OutOfMemory) {
  TestClasses classes(false);
  // Each failing allocation is one of the composition of the class or of the
  // class it takes over; what a composed class keeps is not a leak.
  int failures = 0;
  for (;; ++failures) {
    ASSERT_LT(failures, 100);
    Result<ObjectRef> object = WithAllocationFailure(failures, [] { return CreateObject(kAbClass); });
    if (object) {
      EXPECT_EQ(TextThrough(object.value(), kXDecl), "A");
      EXPECT_EQ(Str(object.value().ToString()), "B");
      break;
    }
    EXPECT_EQ(object.error().kind(), ErrorKind::OutOfMemory);
  }
  EXPECT_GT(failures, 2);

  EXPECT_EQ(SweepForOutOfMemory([] { return CreateObject(kAbClass); }), 1);  // the object
}

// ---- Calls ------------------------------------------------------------------

TEST(TypedRef, EmptyReferenceYieldsErrorsAndEmptyValues) {
  TestClasses classes;
  TallyRef empty;
  EXPECT_ERROR_MESSAGE(InvokeMethod<TallyInterface::AddFn>(nullptr, TallyInterface::kDecl, TallyInterface::kAdd, 1),
                       Nullptr, "call through an empty reference");
  EXPECT_ERROR_MESSAGE(empty.Add(1), Nullptr, "call through an empty reference");
  EXPECT_EQ(empty.GetValue(), 0);
  EXPECT_EQ(&empty.GetPlacement(), &kZeroMatrix);
  EXPECT_TRUE(ObjectRef().ToString().IsEmpty());

  // An object whose class does not fill the slot answers the same way.
  ObjectRef a = Ok(CreateObject(kAClass));
  EXPECT_ERROR(InvokeMethod<TallyInterface::AddFn>(a.Get(), TallyInterface::kDecl, TallyInterface::kAdd, Int(1)),
               Nullptr);
  EXPECT_EQ(Total(a), 0);
  EXPECT_TRUE(TallyRef::From(a).IsEmpty());
  EXPECT_ERROR_MESSAGE(TallyRef::Create(kAClass), Nullptr, "the class does not carry the interface");

  TallyRef tally = Ok(TallyRef::Create(kTallyClass));
  EXPECT_EQ(tally.GetPlacement(), Matrix{});
  EXPECT_EQ(TallyRef::From(tally).Get(), tally.Get());
}

struct StaticsInterface {
  static constexpr std::string_view kStatics[] = {"Twice", "Count"};
  static constexpr InterfaceDecl kDecl{
      "net.norvo.test.interface.statics", "norvo.test.StaticsInterface", {}, RefKind::Strong, 0, {}, kStatics};
  using TwiceFn = Result<Int> (*)(Int);
  using CountFn = Int (*)();
};
Result<Int> Twice(Int n) noexcept { return n * 2; }
Int Count() noexcept { return 3; }

TEST(InvokeStatic, ResolvesOnlyWithARegisteredImplementation) {
  using Statics = StaticsInterface;
  EXPECT_ERROR_MESSAGE(InvokeStatic<Statics::TwiceFn>(Statics::kDecl, 0, Int(21)), Unresolved,
                       "Method invocation of unresolvable interface");
  {
    DiagnosticCapture capture;
    EXPECT_EQ(InvokeStaticOr<Statics::CountFn>(-1, Statics::kDecl, 1), -1);
    EXPECT_EQ(capture.lines,
              (std::vector<std::string>{"Method invocation of unresolvable interface net.norvo.test.interface.statics",
                                        "Stop"}));
  }
  static const MethodFn methods[] = {BindStatic<Statics::TwiceFn>(&Twice), BindStatic<Statics::CountFn>(&Count)};
  static const StaticImpl impl{"StaticsImpl", 0, methods};
  ModuleContext context;
  ASSERT_TRUE(context.RegisterStaticImpl(Statics::kDecl, impl));
  {
    DiagnosticCapture capture;
    EXPECT_EQ(Ok(InvokeStatic<Statics::TwiceFn>(Statics::kDecl, 0, Int(21))), 42);
    EXPECT_EQ(InvokeStaticOr<Statics::CountFn>(-1, Statics::kDecl, 1), 3);
    EXPECT_TRUE(capture.lines.empty());
  }
  EXPECT_ERROR(InvokeStatic<Statics::TwiceFn>(Statics::kDecl, 2, Int(1)), Unresolved);  // no such method
}

// ---- References -------------------------------------------------------------

TEST(ObjectRef, CountsFromSeveralThreadsAtOnce) {
  TestClasses classes;
  const Int before = LiveAllocationCount();
  {
    ObjectRef object = Ok(CreateObject(kAClass));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&object] {
        for (int i = 0; i < 100000; ++i) {
          ObjectRef copy = object;
          ObjectRef moved = std::move(copy);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(object.GetRefCount(), 1);
    EXPECT_EQ(LiveAllocationCount(), before + 1);
  }
  EXPECT_EQ(LiveAllocationCount(), before);
}

TEST(CowRef, SharedUntilTheFirstWriteThenOneCopy) {
  TestClasses classes;
  Tally::copies = 0;
  TallyRef a = Ok(TallyRef::Create(kTallyClass));
  ASSERT_TRUE(a.Add(5));  // the only holder: no copy
  static_cast<Scale*>(a.Get()->FindComponent(kScaleComponent))->factor = 3;
  TallyRef b = a;
  const Int before = LiveAllocationCount();
  // A failed copy leaves both holders on the shared object.
  EXPECT_ERROR_MESSAGE(WithAllocationFailure(0, [&] { return b.Add(1); }), Nullptr, "no private copy could be made");
  Tally::refuseCopy = true;
  EXPECT_ERROR_MESSAGE(b.Add(1), Nullptr, "no private copy could be made");
  EXPECT_ERROR_MESSAGE(CopyObject(*a.Get()), Unexpected, "copy refused");
  Tally::refuseCopy = false;
  EXPECT_EQ(LiveAllocationCount(), before);
  EXPECT_EQ(a.Get(), b.Get());
  EXPECT_EQ(b.GetValue(), 5);
  EXPECT_EQ(Tally::copies, 0);

  ASSERT_TRUE(b.Add(1));
  EXPECT_EQ(Tally::copies, 1);
  EXPECT_EQ(a.GetValue(), 5);
  EXPECT_EQ(b.GetValue(), 6);
  EXPECT_EQ(a.GetRefCount(), 1);
  EXPECT_EQ(b.GetRefCount(), 1);
  // The private copy is a whole object: its other component, which reaches
  // its sibling, came along.
  EXPECT_EQ(Total(b), 18);
  // A copy whose one component is made fresh: that component is neither
  // copied nor taken over, the others are.
  TallyRef fresh = TallyRef::From(Ok(CopyObject(*b.Get(), kScaleComponent)));
  EXPECT_EQ(Tally::copies, 2);
  EXPECT_EQ(Total(fresh), 60);
  Tally::copies = 1;

  ASSERT_TRUE(b.Add(1));
  ASSERT_TRUE(a.Add(1));
  EXPECT_EQ(Tally::copies, 1);
  EXPECT_EQ(a.GetValue(), 6);
  EXPECT_EQ(b.GetValue(), 7);
}

// ---- Serialization description ----------------------------------------------

TEST(DescribeClass, RunsTheComponentsDescriptionsInOrderUntilOneFails) {
  TestClasses classes;
  RecordingStream stream;
  ASSERT_TRUE(DescribeClass(kTallyClass, stream));
  ASSERT_EQ(stream.GetCalls().size(), 2u);
  EXPECT_EQ(stream.GetCalls()[0].name, "value");
  EXPECT_EQ(stream.GetCalls()[0].offset, offsetof(Tally, value));
  EXPECT_EQ(stream.GetCalls()[1].name, "factor");
  RecordingStream failing;
  failing.FailCall(0, UnexpectedError("disk full"));
  EXPECT_ERROR_MESSAGE(DescribeClass(kTallyClass, failing), Unexpected, "disk full");
  EXPECT_TRUE(failing.GetCalls().empty());  // the second description did not run
  EXPECT_ERROR(DescribeClass("net.norvo.test.fw.class.unknown", stream), Unresolved);
}


}  // namespace
}  // namespace norvo::test
