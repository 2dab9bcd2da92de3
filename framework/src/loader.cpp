// The module loader: the framework's own classes, and loading and unloading
// module libraries through their "g_norvo" record.
#include <dlfcn.h>

#include <cstdio>
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
  // As with a module: classes whose objects are alive stay registered.
  if (g_frameworkContext && g_frameworkContext->CountLiveObjects() > 0) {
    internal::Diagnose("The framework was shut down with live objects of its classes; they stay registered");
    return;
  }
  Delete(std::exchange(g_frameworkContext, nullptr));
}

Module::Module(Module&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), context_(std::exchange(other.context_, nullptr)) {}

Module& Module::operator=(Module&& other) noexcept {
  if (this != &other) {
    Close();
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

// The count of live objects is taken under the loader's lock; an object
// made from the module's classes by another thread while it unloads is the
// host's own race, as is any other call into a module being unloaded.
Result<void> Module::Unload() noexcept {
  if (!handle_) return {};
  std::lock_guard unloading(g_loaderMutex);
  if (context_->CountLiveObjects() > 0)
    return IllegalArgumentError("the module cannot be unloaded while objects of its classes are alive");
  if (auto* info = static_cast<ModuleInfo*>(dlsym(handle_, "g_norvo"))) info->initializer = nullptr;
  Delete(std::exchange(context_, nullptr));
  dlclose(std::exchange(handle_, nullptr));
  return {};
}

void Module::Close() noexcept {
  if (!handle_ || Unload()) return;
  Int live = context_->CountLiveObjects();
  // The library, its context and its registrations stay for good: freeing
  // them would leave those objects with code and classes that are gone.
  char line[160];
  int length = std::snprintf(line, sizeof line,
                             "A module was released with live objects of its classes (%lld); it stays loaded",
                             static_cast<long long>(live));
  internal::Diagnose(std::string_view(line, length > 0 && length < int(sizeof line) ? std::size_t(length) : 0));
  handle_ = nullptr;
  context_ = nullptr;
}

}  // namespace norvo
