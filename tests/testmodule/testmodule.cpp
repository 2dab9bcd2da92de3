// A small module for the loader tests: one data type, one component, two
// classes (the second takes over the first and adds the hierarchy object),
// a static method and an interface, registered in that order.
//
// The same source builds the variants that a loader must refuse:
//   NORVO_TEST_CLASHING_MODULE  other ids, but the counter class id of the
//                               test module: beside it, its start-up fails
//                               at that class.
//   NORVO_TEST_OTHER_VERSION    a record of another version.
//   NORVO_TEST_NO_RECORD        no record at all.
#include "norvo/hierarchy.h"
#include "norvo/registry.h"

namespace {

using namespace norvo;

#ifdef NORVO_TEST_CLASHING_MODULE
constexpr std::string_view kDataType = "norvo::test::Clashing";
constexpr std::string_view kModuleId = "net.norvo.test.clashing";
constexpr std::string_view kComponentId = "net.norvo.test.class.clashing";
constexpr std::string_view kNodeClassId = "net.norvo.test.class.clashingnode";
#else
constexpr std::string_view kDataType = "norvo::test::Counter";
constexpr std::string_view kModuleId = "net.norvo.test";
constexpr std::string_view kComponentId = "net.norvo.test.class.counter";
constexpr std::string_view kNodeClassId = "net.norvo.test.class.counternode";
#endif
constexpr std::string_view kCounterClassId = "net.norvo.test.class.counter";

struct CounterInterface {
  static constexpr const InterfaceDecl* kBases[] = {&ObjectInterface::kDecl};
  static constexpr std::string_view kMethods[] = {"Get", "ToString"};
  static constexpr std::string_view kStatics[] = {"Answer"};
  static constexpr InterfaceDecl kDecl{"net.norvo.test.interface.counter",
                                       "norvo.test.CounterInterface",
                                       kBases,
                                       RefKind::CopyOnWrite,
                                       0x50000000,
                                       kMethods,
                                       kStatics};
};

struct Counter {
  Int value = 7;
  Int Get() const noexcept { return value; }
  String ToString(const FormatStatement*) const noexcept {
    Result<String> s = String::Make("counter");
    return s ? std::move(s).value() : String();
  }
};

Result<Int> Answer() noexcept { return Int(42); }

[[maybe_unused]] Result<void> Start(ModuleContext& context) noexcept {
  using GetFn = Int (*)(Object&, void*);
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  using AnswerFn = Result<Int> (*)();
  static const MethodFn counterSlots[] = {Bind<GetFn, &Counter::Get>(), Bind<ToStringFn, &Counter::ToString>()};
  static const MethodFn objectSlots[] = {Bind<ToStringFn, &Counter::ToString>()};
  static const InterfaceBinding bindings[] = {{&ObjectInterface::kDecl, objectSlots},
                                              {&CounterInterface::kDecl, counterSlots}};
  static const ComponentInfo component = MakeComponent<Counter>(kComponentId, bindings);
  static const MethodFn statics[] = {BindStatic<AnswerFn>(&Answer)};
  static const StaticImpl impl{"CounterImpl", 0x50000000, statics};
  // The second class names the first before it is registered: composition
  // happens once the start-up is over.
  static constexpr ClassPart nodeParts[] = {{ClassPart::kAllOf, kHierarchyObjectClassId},
                                            {ClassPart::kAllOf, kCounterClassId}};
  static constexpr ClassPart counterParts[] = {{ClassPart::kComponent, kComponentId}};

  NORVO_RETURN_IF_ERROR(context.RegisterDataType(kDataType, CounterInterface::kDecl, 0x40000));
  NORVO_RETURN_IF_ERROR(context.RegisterModuleId(kModuleId));
  NORVO_RETURN_IF_ERROR(context.RegisterModuleId(kModuleId));
  NORVO_RETURN_IF_ERROR(context.RegisterComponent(component));
  NORVO_RETURN_IF_ERROR(context.RegisterClass(kNodeClassId, nodeParts));
  NORVO_RETURN_IF_ERROR(context.RegisterClass(kCounterClassId, counterParts));
  NORVO_RETURN_IF_ERROR(context.RegisterStaticImpl(CounterInterface::kDecl, impl));
  return context.DeclareInterface(CounterInterface::kDecl);
}

}  // namespace

#ifndef NORVO_TEST_NO_RECORD
#ifdef NORVO_TEST_OTHER_VERSION
constexpr std::uint32_t kVersion = kModuleInfoVersion + 1;
#else
constexpr std::uint32_t kVersion = kModuleInfoVersion;
#endif
extern "C" {
__attribute__((visibility("default"))) ModuleInfo g_norvo = {kVersion, nullptr, &Start};
}
#endif
