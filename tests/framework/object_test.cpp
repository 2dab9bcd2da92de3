// The object model: class composition, method tables, references, copy on
// write, static methods and the serialization description.
#include <gtest/gtest.h>

#include <cstddef>
#include <map>
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
  static constexpr InterfaceDecl kDecl{"net.norvo.test.interface.tally", "norvo.test.TallyInterface", {},
                                       RefKind::CopyOnWrite, 0, kMethods};
  enum Slot : std::size_t { kGetValue, kAdd, kGetPlacement };
  using GetValueFn = Int (*)(Object&, void*);
  using AddFn = Result<void> (*)(Object&, void*, Int);
  using GetPlacementFn = const Matrix& (*)(Object&, void*);
};

struct TotalInterface {
  static constexpr std::string_view kMethods[] = {"Total"};
  static constexpr InterfaceDecl kDecl{"net.norvo.test.interface.total", "norvo.test.TotalInterface", {},
                                       RefKind::Strong, 0, kMethods};
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

const ComponentInfo& TallyComponent();

// Reaches its sibling Tally through the object.
struct Scale {
  Int factor = 10;
  Int Total(Object& self) const noexcept {
    auto* tally = static_cast<const Tally*>(self.FindComponent(TallyComponent()));
    return tally ? tally->value * factor : -1;
  }
};

Result<void> DescribeTally(DataSerializeInterface& stream) noexcept {
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("value", datatype::kInt, NORVO_MEMBER(Tally, value), nullptr, 0));
  return stream.DescribeElement("placement", datatype::kMatrix, NORVO_MEMBER(Tally, placement), nullptr, 0);
}
Result<void> DescribeScale(DataSerializeInterface& stream) noexcept {
  return stream.DescribeElement("factor", datatype::kInt, NORVO_MEMBER(Scale, factor), nullptr, 0);
}

const ComponentInfo& ComponentA() {
  static const MethodFn slots[] = {Bind<ToStringFn, &PartA::ToString>()};
  static const InterfaceBinding bindings[] = {{&ObjectInterface::kDecl, slots}, {&kXDecl, slots}};
  static const ComponentInfo info = MakeComponent<PartA>("net.norvo.test.fw.a", bindings);
  return info;
}
const ComponentInfo& ComponentB() {
  static const MethodFn slots[] = {Bind<ToStringFn, &PartB::ToString>()};
  static const InterfaceBinding bindings[] = {{&ObjectInterface::kDecl, slots}, {&kYDecl, slots}};
  static const ComponentInfo info = MakeComponent<PartB>("net.norvo.test.fw.b", bindings);
  return info;
}
const ComponentInfo& TallyComponent() {
  static const MethodFn slots[] = {Bind<TallyInterface::GetValueFn, &Tally::GetValue>(),
                                   Bind<TallyInterface::AddFn, &Tally::Add>(),
                                   Bind<TallyInterface::GetPlacementFn, &Tally::GetPlacement>()};
  static const InterfaceBinding bindings[] = {{&TallyInterface::kDecl, slots}};
  static const ComponentInfo info = MakeComponent<Tally>("net.norvo.test.fw.tally", bindings, &DescribeTally);
  return info;
}
const ComponentInfo& ScaleComponent() {
  static const MethodFn slots[] = {Bind<TotalInterface::TotalFn, &Scale::Total>()};
  static const InterfaceBinding bindings[] = {{&TotalInterface::kDecl, slots}};
  static const ComponentInfo info = MakeComponent<Scale>("net.norvo.test.fw.scale", bindings, &DescribeScale);
  return info;
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
    for (const ComponentInfo* c : {&ComponentA(), &ComponentB(), &TallyComponent(), &ScaleComponent()}) {
      EXPECT_TRUE(context.RegisterComponent(*c));
    }
    EXPECT_TRUE(context.RegisterClass(kAbClass, kAbParts));
    EXPECT_TRUE(context.RegisterClass(kAClass, kAParts));
    EXPECT_TRUE(context.RegisterClass(kTallyClass, kTallyParts));
    if (compose) {
      EXPECT_TRUE(context.ComposeClasses());
    }
  }
};

ObjectRef Create(std::string_view classId) {
  Result<ObjectRef> object = CreateObject(classId);
  EXPECT_TRUE(object) << classId;
  return object ? std::move(object).value() : ObjectRef();
}

std::string TextThrough(const ObjectRef& object, const InterfaceDecl& iface) {
  return Str(InvokeMethod<ToStringFn>(object.Get(), iface, ObjectInterface::kToString, kNoFormat));
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
  // The same slot without the private copy.
  Result<void> AddShared(Int n) const { return Invoke<TallyInterface::AddFn>(kInterface, TallyInterface::kAdd, n); }
};

TallyRef CreateTally() {
  Result<TallyRef> tally = TallyRef::Create(kTallyClass);
  EXPECT_TRUE(tally);
  return tally ? std::move(tally).value() : TallyRef();
}

// ---- Classes ----------------------------------------------------------------

TEST(Class, TakesOverAnotherClassThenAddsItsOwn) {
  TestClasses classes;
  ObjectRef ab = Create(kAbClass);
  ObjectRef a = Create(kAClass);
  ASSERT_TRUE(ab && a);
  const Class& cls = ab.Get()->GetClass();
  EXPECT_EQ(cls.GetId(), kAbClass);
  ASSERT_EQ(cls.GetComponentCount(), 2);
  EXPECT_EQ(cls.GetComponent(0).id, "net.norvo.test.fw.a");
  EXPECT_EQ(cls.GetComponent(1).id, "net.norvo.test.fw.b");
  EXPECT_EQ(a.Get()->GetClass().GetComponentCount(), 1);

  // B took over ToString for ObjectInterface only; X still reaches A.
  EXPECT_EQ(TextThrough(ab, kXDecl), "A");
  EXPECT_EQ(TextThrough(ab, ObjectInterface::kDecl), "B");
  EXPECT_EQ(Str(ab.ToString()), "B");
  EXPECT_EQ(TextThrough(ab, kYDecl), "B");
  EXPECT_EQ(Str(a.ToString()), "A");

  EXPECT_TRUE(ab.Carries(ObjectInterface::kDecl));
  EXPECT_TRUE(ab.Carries(kXDecl));
  EXPECT_TRUE(ab.Carries(kYDecl));
  EXPECT_FALSE(a.Carries(kYDecl));
  EXPECT_FALSE(a.Carries(TallyInterface::kDecl));
  // An equal declaration held elsewhere is the same interface.
  constexpr InterfaceDecl kXCopy{"net.norvo.test.interface.x", "norvo.test.X", {}, RefKind::Strong, 0, kToStringSlot};
  EXPECT_EQ(TextThrough(ab, kXCopy), "A");
}

TEST(Class, ComponentReachesItsSibling) {
  TestClasses classes;
  TallyRef tally = CreateTally();
  ASSERT_TRUE(tally.AddShared(4));
  EXPECT_EQ(InvokeMethod<TotalInterface::TotalFn>(tally.Get(), TotalInterface::kDecl, 0), 40);
  EXPECT_EQ(tally.Get()->FindComponent(ComponentA()), nullptr);
}

TEST(Class, FailedCompositionLeavesNoPartlyBuiltClass) {
  constexpr ClassPart kLateParts[] = {{ClassPart::kComponent, "net.norvo.test.fw.a"},
                                      {ClassPart::kComponent, "net.norvo.test.fw.b"}};
  constexpr ClassPart kOrphanParts[] = {{ClassPart::kAllOf, "net.norvo.test.fw.class.none"}};
  constexpr ClassPart kCycle1Parts[] = {{ClassPart::kAllOf, "net.norvo.test.fw.class.cycle2"}};
  constexpr ClassPart kCycle2Parts[] = {{ClassPart::kAllOf, "net.norvo.test.fw.class.cycle1"}};
  ModuleContext context;
  ASSERT_TRUE(context.RegisterComponent(ComponentA()));
  ASSERT_TRUE(context.RegisterClass("net.norvo.test.fw.class.late", kLateParts));
  EXPECT_ERROR_MESSAGE(context.ComposeClasses(), Unresolved, "the component is not registered");
  EXPECT_TRUE(IsClassRegistered("net.norvo.test.fw.class.late"));
  EXPECT_ERROR_MESSAGE(CreateObject("net.norvo.test.fw.class.late"), Unresolved, "the component is not registered");
  {
    // Once the part is there, the class composes from scratch.
    ModuleContext later;
    ASSERT_TRUE(later.RegisterComponent(ComponentB()));
    ObjectRef object = Create("net.norvo.test.fw.class.late");
    ASSERT_TRUE(object);
    EXPECT_EQ(object.Get()->GetClass().GetComponentCount(), 2);
    EXPECT_EQ(Str(object.ToString()), "B");
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

TEST(CreateObject, UnknownClassIsUnresolved) {
  EXPECT_ERROR_MESSAGE(CreateObject("net.norvo.test.fw.class.unknown"), Unresolved,
                       "no class is registered under this id");
  EXPECT_ERROR(TallyRef::Create("net.norvo.test.fw.class.unknown"), Unresolved);
}

TEST(CreateObject, OutOfMemory) {
  {
    TestClasses classes(false);
    int failures = 0;
    for (;; ++failures) {
      ASSERT_LT(failures, 100);
      // The failing allocation is one of the class's composition.
      Result<ObjectRef> object = WithAllocationFailure(failures, [] { return CreateObject(kAbClass); });
      if (object) {
        EXPECT_EQ(object.value().Get()->GetClass().GetComponentCount(), 2);
        EXPECT_EQ(TextThrough(object.value(), kXDecl), "A");
        EXPECT_EQ(Str(object.value().ToString()), "B");
        break;
      }
      EXPECT_EQ(object.error().kind(), ErrorKind::OutOfMemory);
    }
    EXPECT_GT(failures, 2);

    failures = ForEachAllocationFailure([] {
      Result<ObjectRef> object = CreateObject(kAbClass);
      if (!object) {
        EXPECT_EQ(object.error().kind(), ErrorKind::OutOfMemory);
      }
      return bool(object);
    });
    EXPECT_EQ(failures, 1);
  }
}

// ---- Calls ------------------------------------------------------------------

TEST(TypedRef, EmptyReferenceYieldsErrorsAndEmptyValues) {
  TestClasses classes;
  TallyRef empty;
  EXPECT_ERROR_MESSAGE(empty.AddShared(1), Nullptr, "call through an empty reference");
  EXPECT_ERROR_MESSAGE(empty.Add(1), Nullptr, "call through an empty reference");
  EXPECT_EQ(empty.GetValue(), 0);
  EXPECT_EQ(empty.GetPlacement(), kZeroMatrix);
  EXPECT_EQ(&EmptyValue<Matrix>(), &kZeroMatrix);
  EXPECT_TRUE(ObjectRef().ToString().IsEmpty());

  // An object whose class does not fill the slot answers the same way.
  ObjectRef a = Create(kAClass);
  EXPECT_ERROR(InvokeMethod<TallyInterface::AddFn>(a.Get(), TallyInterface::kDecl, TallyInterface::kAdd, Int(1)),
               Nullptr);
  EXPECT_EQ(InvokeMethod<TotalInterface::TotalFn>(a.Get(), TotalInterface::kDecl, 0), 0);
  EXPECT_TRUE(TallyRef::From(a).IsEmpty());
  EXPECT_ERROR_MESSAGE(TallyRef::Create(kAClass), Nullptr, "the class does not carry the interface");

  TallyRef tally = CreateTally();
  EXPECT_EQ(tally.GetPlacement(), Matrix{});
  EXPECT_EQ(TallyRef::From(tally).Get(), tally.Get());
}

struct StaticsInterface {
  static constexpr std::string_view kStatics[] = {"Twice", "Count"};
  static constexpr InterfaceDecl kDecl{"net.norvo.test.interface.statics", "norvo.test.StaticsInterface", {},
                                       RefKind::Strong, 0, {}, kStatics};
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
    EXPECT_EQ(capture.lines, (std::vector<std::string>{
                                 "Method invocation of unresolvable interface net.norvo.test.interface.statics",
                                 "Stop"}));
  }
  static const MethodFn methods[] = {BindStatic<Statics::TwiceFn>(&Twice), BindStatic<Statics::CountFn>(&Count)};
  static const StaticImpl impl{"StaticsImpl", 0, methods};
  ModuleContext context;
  ASSERT_TRUE(context.RegisterStaticImpl(Statics::kDecl, impl));
  EXPECT_EQ(FindStaticImpl(Statics::kDecl), &impl);
  {
    DiagnosticCapture capture;
    Result<Int> twice = InvokeStatic<Statics::TwiceFn>(Statics::kDecl, 0, Int(21));
    ASSERT_TRUE(twice);
    EXPECT_EQ(twice.value(), 42);
    EXPECT_EQ(InvokeStaticOr<Statics::CountFn>(-1, Statics::kDecl, 1), 3);
    EXPECT_TRUE(capture.lines.empty());
  }
  EXPECT_ERROR(InvokeStatic<Statics::TwiceFn>(Statics::kDecl, 2, Int(1)), Unresolved);  // no such method
  context.ReleaseAll();
  EXPECT_ERROR(InvokeStatic<Statics::TwiceFn>(Statics::kDecl, 0, Int(21)), Unresolved);
}

// ---- References -------------------------------------------------------------

TEST(ObjectRef, CountsFromSeveralThreadsAtOnce) {
  TestClasses classes;
  const Int before = LiveAllocationCount();
  {
    ObjectRef object = Create(kAClass);
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
  TallyRef a = CreateTally();
  ASSERT_TRUE(a.Add(5));  // the only holder: no copy
  TallyRef b = a;
  EXPECT_EQ(a.Get(), b.Get());
  EXPECT_EQ(b.GetValue(), 5);
  EXPECT_EQ(Tally::copies, 0);

  ASSERT_TRUE(b.Add(1));
  EXPECT_EQ(Tally::copies, 1);
  EXPECT_NE(a.Get(), b.Get());
  EXPECT_EQ(a.GetValue(), 5);
  EXPECT_EQ(b.GetValue(), 6);
  EXPECT_EQ(a.GetRefCount(), 1);
  EXPECT_EQ(b.GetRefCount(), 1);
  // The private copy is a whole object: its other component came along.
  EXPECT_EQ(InvokeMethod<TotalInterface::TotalFn>(b.Get(), TotalInterface::kDecl, 0), 60);

  ASSERT_TRUE(b.Add(1));
  ASSERT_TRUE(a.Add(1));
  EXPECT_EQ(Tally::copies, 1);
  EXPECT_EQ(a.GetValue(), 6);
  EXPECT_EQ(b.GetValue(), 7);
}

TEST(CowRef, FailedCopyLeavesTheSharedObject) {
  TestClasses classes;
  Tally::copies = 0;
  TallyRef a = CreateTally();
  ASSERT_TRUE(a.AddShared(5));
  TallyRef b = a;
  const Int before = LiveAllocationCount();

  EXPECT_ERROR_MESSAGE(WithAllocationFailure(0, [&] { return b.Add(1); }), Nullptr, "no private copy could be made");
  Tally::refuseCopy = true;
  EXPECT_ERROR_MESSAGE(b.Add(1), Nullptr, "no private copy could be made");
  EXPECT_ERROR_MESSAGE(CopyObject(*a.Get()), Unexpected, "copy refused");
  Tally::refuseCopy = false;

  EXPECT_EQ(LiveAllocationCount(), before);
  EXPECT_EQ(a.Get(), b.Get());
  EXPECT_EQ(a.GetRefCount(), 2);
  EXPECT_EQ(b.GetValue(), 5);
  EXPECT_EQ(Tally::copies, 0);
}

// ---- Serialization description ----------------------------------------------

TEST(DescribeClass, RunsTheComponentsDescriptionsInOrder) {
  TestClasses classes;
  RecordingStream stream;
  ASSERT_TRUE(DescribeClass(kTallyClass, stream));
  const auto& calls = stream.GetCalls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].name, "value");
  EXPECT_EQ(calls[0].dataType, "int64");
  EXPECT_TRUE(calls[0].hasMember);
  EXPECT_EQ(calls[0].offset, offsetof(Tally, value));
  EXPECT_FALSE(calls[0].hasAccessor);
  EXPECT_EQ(calls[1].name, "placement");
  EXPECT_EQ(calls[1].dataType, "net.norvo.datatype.matrix");
  EXPECT_EQ(calls[1].offset, offsetof(Tally, placement));
  EXPECT_EQ(calls[2].name, "factor");

  EXPECT_ERROR(DescribeClass("net.norvo.test.fw.class.unknown", stream), Unresolved);
}

TEST(ArrayAccessor, WorksOnABaseArray) {
  const ContainerAccessor& access = ArrayAccessor<String>();
  BaseArray<String> array;
  const String a = S("a"), b = S("b");
  ASSERT_TRUE(access.append(&array, &a));
  ASSERT_TRUE(access.append(&array, &b));
  EXPECT_EQ(access.count(&array), 2);
  EXPECT_EQ(Str(*static_cast<const String*>(access.element(&array, 1))), "b");
  access.clear(&array);
  EXPECT_EQ(access.count(&array), 0);
}

TEST(MapAccessor, WorksOnAHashMap) {
  const ContainerAccessor& access = MapAccessor<String, Int>();
  HashMap<String, Int> map;
  const String a = S("a"), b = S("b");
  const Int one = 1, two = 2, three = 3;
  ASSERT_TRUE(access.insert(&map, &a, &one));
  ASSERT_TRUE(access.insert(&map, &b, &two));
  ASSERT_TRUE(access.insert(&map, &a, &three));
  EXPECT_EQ(access.count(&map), 2);
  std::map<std::string, Int> seen;
  access.forEach(
      &map,
      [](const void* key, const void* value, void* context) {
        (*static_cast<std::map<std::string, Int>*>(context))[Str(*static_cast<const String*>(key))] =
            *static_cast<const Int*>(value);
      },
      &seen);
  EXPECT_EQ(seen, (std::map<std::string, Int>{{"a", 3}, {"b", 2}}));
  access.clear(&map);
  EXPECT_EQ(access.count(&map), 0);
}

}  // namespace
}  // namespace norvo::test
