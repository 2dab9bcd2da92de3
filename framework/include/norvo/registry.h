// Registries and module loading. Every registry lives in the framework
// library, so the host and every module it loads see the same classes,
// components, static-method implementations, interfaces and data types.
//
// A module exports one record, ModuleInfo, under the name "g_norvo". The
// loader checks its version, fills in `initializer` with a ModuleContext and
// calls `start`, through which the module registers everything it offers.
// Each registration arranges its own release; at unload the releases run in
// the reverse order of their arrangement.
#pragma once
#include <cstdint>
#include <span>
#include <string_view>

#include "norvo/array.h"
#include "norvo/object.h"
#include "norvo/result.h"
#include "norvo/string.h"

namespace norvo {

// Registers the framework's own classes ("net.norvo.class.hierarchyobject").
// Idempotent; Module::Load calls it as well.
Result<void> InitializeFramework() noexcept;
// Releases them again; for a clean exit. While objects of those classes are
// alive it writes one diagnostic line and keeps them registered.
void ShutdownFramework() noexcept;

class ModuleContext {
 public:
  ModuleContext() = default;
  ModuleContext(const ModuleContext&) = delete;
  ModuleContext& operator=(const ModuleContext&) = delete;
  ~ModuleContext() { ReleaseAll(); }

  Result<void> RegisterDataType(std::string_view name, const InterfaceDecl& iface, std::uint32_t word) noexcept;
  Result<void> DeclareFramework(std::string_view frameworkId) noexcept;
  // Registers a module id; a second attempt does nothing.
  Result<void> RegisterModuleId(std::string_view moduleId) noexcept;
  Result<void> RegisterComponent(const ComponentInfo& component) noexcept;
  // Registers the class with its parts (which must stay valid while it is
  // registered). Composing it from the parts happens in ComposeClasses or at
  // the first creation of an object; a failing composition leaves no partly
  // built class behind.
  Result<void> RegisterClass(std::string_view classId, std::span<const ClassPart> parts) noexcept;
  Result<void> RegisterStaticImpl(const InterfaceDecl& iface, const StaticImpl& impl) noexcept;
  Result<void> DeclareInterface(const InterfaceDecl& iface) noexcept;

  // Composes every class registered through this context.
  Result<void> ComposeClasses() noexcept;
  // The objects alive now of the classes registered through this context.
  Int CountLiveObjects() const noexcept;
  // Runs the arranged releases, last arranged first.
  void ReleaseAll() noexcept;

 private:
  struct Release;
  Result<void> Arrange(int kind, std::string_view id) noexcept;
  void TakeBackLastRelease() noexcept;
  // Arranges the release of `id`, then runs `add` on the registries under
  // their write lock and logs the registration; a failure of `add` is
  // returned and leaves nothing registered.
  template <class AddFn>
  Result<void> Register(int kind, std::string_view id, AddFn add) noexcept;
  BaseArray<Release*> releases_;
};

struct ModuleInfo {
  std::uint32_t version;
  ModuleContext* initializer;
  Result<void> (*start)(ModuleContext& context) noexcept;
};
inline constexpr std::uint32_t kModuleInfoVersion = 23004;

// A module loaded from a shared library; unloaded by Unload or destruction.
// The code of a module's classes lives in its library, so the module stays
// loaded while objects of its classes are alive.
class Module {
 public:
  Module() = default;
  Module(Module&& other) noexcept;
  Module& operator=(Module&& other) noexcept;
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;
  // Unloads the module. With objects of its classes still alive it writes
  // one diagnostic line and leaves the library loaded and its registrations
  // in place, so that those objects keep working until the process ends.
  ~Module() { Close(); }

  // Opens the library, reads "g_norvo", checks its version and runs its
  // start-up. Any failure undoes what was registered and closes the library.
  static Result<Module> Load(const char* path) noexcept;
  // Releases the module's registrations in reverse order and closes it.
  // Refused (IllegalArgumentError, the module stays loaded) while objects of
  // its classes are alive. Unloading a module that is not loaded does
  // nothing.
  Result<void> Unload() noexcept;
  bool IsLoaded() const noexcept { return handle_ != nullptr; }

 private:
  // Unload, or the diagnostic line and the module left loaded.
  void Close() noexcept;
  void* handle_ = nullptr;
  ModuleContext* context_ = nullptr;
};

// Lookups.
bool IsClassRegistered(std::string_view classId) noexcept;
bool IsComponentRegistered(std::string_view componentId) noexcept;
bool IsModuleRegistered(std::string_view moduleId) noexcept;
bool IsDataTypeRegistered(std::string_view name) noexcept;
const InterfaceDecl* FindInterface(std::string_view interfaceId) noexcept;
// The component describes of a registered class, in component order, for a
// serializer: runs each component's DescribeIO on `stream`.
Result<void> DescribeClass(std::string_view classId, DataSerializeInterface& stream) noexcept;

// The registration log: one line per registration and release, in order
// ("class net.norvo...", "release class net.norvo..."). For tests.
Result<BaseArray<String>> GetRegistrationLog() noexcept;
void ClearRegistrationLog() noexcept;

// Diagnostic lines (unresolved static calls). Without a sink they go to
// standard error.
using DiagnosticSink = void (*)(std::string_view line, void* context);
void SetDiagnosticSink(DiagnosticSink sink, void* context) noexcept;

}  // namespace norvo
