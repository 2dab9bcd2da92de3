// The module loader: the framework's own classes, and loading and unloading
// module libraries through their "g_norvo" record.
#include <dlfcn.h>

#include <mutex>
#include <utility>

#include "norvo/hierarchy.h"
#include "norvo/memory.h"
#include "norvo/registry.h"
#include "registries.h"

namespace norvo {

namespace {
ModuleContext* g_frameworkContext = nullptr;
std::mutex g_frameworkMutex;
// Loading and unloading run one at a time, so a module record is started
// by one loader only.
std::mutex g_loaderMutex;
}  // namespace

Result<void> InitializeFramework() noexcept {
  std::lock_guard lock(g_frameworkMutex);
  if (g_frameworkContext) return {};
  ModuleContext* context = New<ModuleContext>();
  if (!context) return OutOfMemoryError();
  static const ClassPart parts[] = {{ClassPart::kComponent, kHierarchyObjectClassId}};
  Result<void> r = context->RegisterComponent(HierarchyComponent());
  if (r) r = context->RegisterClass(kHierarchyObjectClassId, parts);
  if (r) r = context->ComposeClasses();
  if (!r) {
    Delete(context);
    return r.error();
  }
  g_frameworkContext = context;
  return {};
}

void ShutdownFramework() noexcept {
  std::lock_guard lock(g_frameworkMutex);
  Delete(std::exchange(g_frameworkContext, nullptr));
}

Module::Module(Module&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), context_(std::exchange(other.context_, nullptr)) {}

Module& Module::operator=(Module&& other) noexcept {
  if (this != &other) {
    Unload();
    handle_ = std::exchange(other.handle_, nullptr);
    context_ = std::exchange(other.context_, nullptr);
  }
  return *this;
}

Result<Module> Module::Load(const char* path) noexcept {
  NORVO_RETURN_IF_ERROR(InitializeFramework());
  std::lock_guard loading(g_loaderMutex);
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    if (const char* why = dlerror()) internal::Diagnose(why);
    return UnresolvedError("the module library cannot be opened");
  }
  auto* info = static_cast<ModuleInfo*>(dlsym(handle, "g_norvo"));
  if (!info) {
    dlclose(handle);
    return UnresolvedError("the module exports no g_norvo record");
  }
  if (info->version != kModuleInfoVersion || !info->start) {
    dlclose(handle);
    return IllegalArgumentError("the module record has another version");
  }
  if (info->initializer) {
    dlclose(handle);
    return IllegalArgumentError("the module is loaded already");
  }
  ModuleContext* context = New<ModuleContext>();
  if (!context) {
    dlclose(handle);
    return OutOfMemoryError();
  }
  info->initializer = context;
  Result<void> started = info->start(*context);
  if (started) started = context->ComposeClasses();
  if (!started) {
    info->initializer = nullptr;
    Delete(context);  // releases what the start-up registered, in reverse
    dlclose(handle);
    return started.error();
  }
  Module module;
  module.handle_ = handle;
  module.context_ = context;
  return module;
}

void Module::Unload() noexcept {
  if (!handle_) return;
  std::lock_guard unloading(g_loaderMutex);
  if (auto* info = static_cast<ModuleInfo*>(dlsym(handle_, "g_norvo"))) info->initializer = nullptr;
  Delete(std::exchange(context_, nullptr));
  dlclose(std::exchange(handle_, nullptr));
}

}  // namespace norvo
