// A small module for the loader tests: one data type, one component, two
// classes (the second takes over the first and adds the hierarchy object),
// a static method and an interface, registered in that order.
#include "norvo/hierarchy.h"
#include "norvo/registry.h"

namespace {

using namespace norvo;

struct CounterInterface {
  static constexpr const InterfaceDecl* kBases[] = {&ObjectInterface::kDecl};
  static constexpr std::string_view kMethods[] = {"Get", "ToString"};
  static constexpr std::string_view kStatics[] = {"Answer"};
  static constexpr InterfaceDecl kDecl{"net.norvo.test.interface.counter", "norvo.test.CounterInterface", kBases,
                                       RefKind::CopyOnWrite, 0x50000000, kMethods, kStatics};
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

Result<void> Start(ModuleContext& context) noexcept {
  using GetFn = Int (*)(Object&, void*);
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  using AnswerFn = Result<Int> (*)();
  static const MethodFn counterSlots[] = {Bind<GetFn, &Counter::Get>(), Bind<ToStringFn, &Counter::ToString>()};
  static const MethodFn objectSlots[] = {Bind<ToStringFn, &Counter::ToString>()};
  static const InterfaceBinding bindings[] = {{&ObjectInterface::kDecl, objectSlots},
                                              {&CounterInterface::kDecl, counterSlots}};
  static const ComponentInfo component = MakeComponent<Counter>("net.norvo.test.class.counter", bindings);
  static const MethodFn statics[] = {BindStatic<AnswerFn>(&Answer)};
  static const StaticImpl impl{"CounterImpl", 0x50000000, statics};
  // The second class names the first before it is registered: composition
  // happens once the start-up is over.
  static constexpr ClassPart nodeParts[] = {{ClassPart::kAllOf, kHierarchyObjectClassId},
                                            {ClassPart::kAllOf, "net.norvo.test.class.counter"}};
  static constexpr ClassPart counterParts[] = {{ClassPart::kComponent, "net.norvo.test.class.counter"}};

  NORVO_RETURN_IF_ERROR(context.RegisterDataType("norvo::test::Counter", CounterInterface::kDecl, 0x40000));
  NORVO_RETURN_IF_ERROR(context.RegisterModuleId("net.norvo.test"));
  NORVO_RETURN_IF_ERROR(context.RegisterModuleId("net.norvo.test"));
  NORVO_RETURN_IF_ERROR(context.RegisterComponent(component));
  NORVO_RETURN_IF_ERROR(context.RegisterClass("net.norvo.test.class.counternode", nodeParts));
  NORVO_RETURN_IF_ERROR(context.RegisterClass("net.norvo.test.class.counter", counterParts));
  NORVO_RETURN_IF_ERROR(context.RegisterStaticImpl(CounterInterface::kDecl, impl));
  return context.DeclareInterface(CounterInterface::kDecl);
}

}  // namespace

extern "C" {
__attribute__((visibility("default"))) ModuleInfo g_norvo = {kModuleInfoVersion, nullptr, &Start};
}
