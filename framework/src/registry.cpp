#include "norvo/registry.h"

#include <dlfcn.h>

#include <cstdio>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "composition.h"
#include "internal.h"
#include "norvo/hierarchy.h"
#include "norvo/memory.h"

namespace norvo {
namespace {

using Text = std::basic_string<char, std::char_traits<char>, StdAllocator<char>>;

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept { return std::size_t(HashBytes(text)); }
};

template <class V>
using Map = std::unordered_map<Text, V, TextHash, std::equal_to<>, StdAllocator<std::pair<const Text, V>>>;

struct Registries {
  std::shared_mutex mutex;
  Map<Class*> classes;
  Map<const ComponentInfo*> components;
  Map<const StaticImpl*> statics;
  Map<const InterfaceDecl*> interfaces;
  Map<const InterfaceDecl*> dataTypes;
  Map<int> modules;
  std::vector<Text, StdAllocator<Text>> log;
  bool frameworkUp = false;
  DiagnosticSink sink = nullptr;
  void* sinkContext = nullptr;
};

// Lives as long as the process, so that late releases never meet a destroyed table.
Registries& R() noexcept {
  static Registries& registries = *new Registries();
  return registries;
}

template <class V>
V* Lookup(Map<V>& map, std::string_view key) noexcept {
  auto it = map.find(key);
  return it == map.end() ? nullptr : &it->second;
}

// Inserts under the write lock; a duplicate id is IllegalArgumentError.
template <class V>
Result<void> Add(Map<V>& map, std::string_view key, V value, const char* duplicate) noexcept {
  try {
    if (map.find(key) != map.end()) return IllegalArgumentError(duplicate);
    map.emplace(Text(key), value);
  } catch (const std::bad_alloc&) {
    return OutOfMemoryError();
  }
  return {};
}

void Log(Registries& r, std::string_view what, std::string_view id) noexcept {
  try {
    Text line(what);
    line += ' ';
    line += id;
    r.log.push_back(std::move(line));
  } catch (const std::bad_alloc&) {
    // The log is a diagnostic aid; a line that cannot be kept is dropped.
  }
}

void Diagnose(std::string_view line) noexcept {
  Registries& r = R();
  DiagnosticSink sink;
  void* context;
  {
    std::shared_lock lock(r.mutex);
    sink = r.sink;
    context = r.sinkContext;
  }
  if (sink) sink(line, context);
  else std::fprintf(stderr, "%.*s\n", int(line.size()), line.data());
}

}  // namespace

// ---- Registrations and their releases -----------------------------------

enum ReleaseKind : int { kDataType, kFramework, kModuleId, kComponent, kClass, kStatic, kInterface };

struct ModuleContext::Release {
  int kind;
  Text id;
};

namespace {
const char* const kKindWords[] = {"datatype", "framework", "module", "component", "class", "static", "interface"};

void RunRelease(int kind, std::string_view id) noexcept {
  Registries& r = R();
  std::unique_lock lock(r.mutex);
  switch (kind) {
    case kDataType: r.dataTypes.erase(Text(id)); break;
    case kFramework: break;
    case kModuleId: r.modules.erase(Text(id)); break;
    case kComponent: r.components.erase(Text(id)); break;
    case kClass:
      if (Class** cls = Lookup(r.classes, id)) {
        internal::ClassComposition::Destroy(*cls);
        r.classes.erase(Text(id));
      }
      break;
    case kStatic: r.statics.erase(Text(id)); break;
    case kInterface: r.interfaces.erase(Text(id)); break;
  }
  Text what("release ");
  what += kKindWords[kind];
  Log(r, what, id);
}
}  // namespace

Result<void> ModuleContext::Arrange(int kind, std::string_view id) noexcept {
  Release* release = nullptr;
  try {
    release = New<Release>(Release{kind, Text(id)});
  } catch (const std::bad_alloc&) {
  }
  if (!release) return OutOfMemoryError();
  if (auto r = releases_.Append(release); !r) {
    Delete(release);
    return r.error();
  }
  return {};
}

void ModuleContext::ReleaseAll() noexcept {
  while (!releases_.IsEmpty()) {
    Release* release = releases_[releases_.GetCount() - 1];
    releases_.Erase(releases_.GetCount() - 1);
    RunRelease(release->kind, release->id);
    Delete(release);
  }
  releases_.Reset();
}

// Each registration reserves its release record first, so a registration
// that succeeds is always released again.
#define NORVO_REGISTER(kindValue, idValue, addExpression)                   \
  do {                                                                      \
    NORVO_RETURN_IF_ERROR(Arrange(kindValue, idValue));                     \
    Registries& r = R();                                                    \
    Result<void> added;                                                     \
    {                                                                       \
      std::unique_lock lock(r.mutex);                                       \
      added = (addExpression);                                              \
      if (added) Log(r, kKindWords[kindValue], idValue);                    \
    }                                                                       \
    if (!added) {                                                           \
      Delete(releases_[releases_.GetCount() - 1]);                          \
      releases_.Erase(releases_.GetCount() - 1);                            \
      return added.error();                                                 \
    }                                                                       \
  } while (0)

Result<void> ModuleContext::RegisterDataType(std::string_view name, const InterfaceDecl& iface,
                                             std::uint32_t) noexcept {
  NORVO_REGISTER(kDataType, name, Add(r.dataTypes, name, &iface, "data type already registered"));
  return {};
}

Result<void> ModuleContext::DeclareFramework(std::string_view frameworkId) noexcept {
  NORVO_REGISTER(kFramework, frameworkId, Result<void>());
  return {};
}

Result<void> ModuleContext::RegisterModuleId(std::string_view moduleId) noexcept {
  {
    Registries& r = R();
    std::shared_lock lock(r.mutex);
    if (Lookup(r.modules, moduleId)) return {};
  }
  NORVO_REGISTER(kModuleId, moduleId, Add(r.modules, moduleId, 1, "module already registered"));
  return {};
}

Result<void> ModuleContext::RegisterComponent(const ComponentInfo& component) noexcept {
  NORVO_REGISTER(kComponent, component.id,
                 Add(r.components, component.id, &component, "component already registered"));
  return {};
}

Result<void> ModuleContext::RegisterClass(std::string_view classId, std::span<const ClassPart> parts) noexcept {
  NORVO_ASSIGN_OR_RETURN(Class * cls, internal::ClassComposition::Create(classId, parts));
  if (auto arranged = Arrange(kClass, classId); !arranged) {
    internal::ClassComposition::Destroy(cls);
    return arranged.error();
  }
  Registries& r = R();
  std::unique_lock lock(r.mutex);
  Result<void> added = Add(r.classes, classId, cls, "class already registered");
  if (!added) {
    internal::ClassComposition::Destroy(cls);
    Delete(releases_[releases_.GetCount() - 1]);
    releases_.Erase(releases_.GetCount() - 1);
    return added.error();
  }
  Log(r, kKindWords[kClass], classId);
  return {};
}

namespace {
// Composes `cls` from its parts, the classes it takes over first. Runs under
// the registry's write lock. A failure undoes the composition.
Result<void> Compose(Registries& r, Class& cls, int depth) noexcept {
  if (cls.IsComposed()) return {};
  if (depth > 64) return IllegalArgumentError("the classes take each other over in a cycle");
  Result<void> built = [&]() -> Result<void> {
    for (const ClassPart& part : cls.GetParts()) {
      if (part.kind == ClassPart::kAllOf) {
        Class** other = Lookup(r.classes, part.id);
        if (!other) return UnresolvedError("the class to take over is not registered");
        NORVO_RETURN_IF_ERROR(Compose(r, **other, depth + 1));
        NORVO_RETURN_IF_ERROR(internal::ClassComposition::AppendAllOf(cls, **other));
      } else {
        const ComponentInfo** component = Lookup(r.components, part.id);
        if (!component) return UnresolvedError("the component is not registered");
        NORVO_RETURN_IF_ERROR(internal::ClassComposition::AppendComponent(cls, **component));
      }
    }
    return internal::ClassComposition::Finalize(cls);
  }();
  if (!built) internal::ClassComposition::Decompose(cls);
  return built;
}
}  // namespace

Result<const Class*> internal::FindComposedClass(std::string_view classId) noexcept {
  Registries& r = R();
  {
    std::shared_lock lock(r.mutex);
    Class** cls = Lookup(r.classes, classId);
    if (!cls) return UnresolvedError("no class is registered under this id");
    if ((*cls)->IsComposed()) return *cls;
  }
  std::unique_lock lock(r.mutex);
  Class** cls = Lookup(r.classes, classId);
  if (!cls) return UnresolvedError("no class is registered under this id");
  NORVO_RETURN_IF_ERROR(Compose(r, **cls, 0));
  return *cls;
}

Result<void> ModuleContext::ComposeClasses() noexcept {
  for (Release* release : releases_)
    if (release->kind == kClass) NORVO_RETURN_IF_ERROR(internal::FindComposedClass(release->id));
  return {};
}

Result<void> ModuleContext::RegisterStaticImpl(const InterfaceDecl& iface, const StaticImpl& impl) noexcept {
  NORVO_REGISTER(kStatic, iface.id, Add(r.statics, iface.id, &impl, "static methods already registered"));
  return {};
}

Result<void> ModuleContext::DeclareInterface(const InterfaceDecl& iface) noexcept {
  NORVO_REGISTER(kInterface, iface.id, Add(r.interfaces, iface.id, &iface, "interface already declared"));
  return {};
}

// ---- The framework's own classes ----------------------------------------

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

// ---- Lookups ------------------------------------------------------------

const Class* internal::FindClass(std::string_view classId) noexcept {
  Registries& r = R();
  std::shared_lock lock(r.mutex);
  Class** cls = Lookup(r.classes, classId);
  return cls ? *cls : nullptr;
}

const StaticImpl* FindStaticImpl(const InterfaceDecl& iface) noexcept {
  Registries& r = R();
  std::shared_lock lock(r.mutex);
  const StaticImpl** impl = Lookup(r.statics, iface.id);
  return impl ? *impl : nullptr;
}

void ReportUnresolved(const InterfaceDecl& iface) noexcept {
  char line[256];
  int length = std::snprintf(line, sizeof line, "Method invocation of unresolvable interface %.*s",
                             int(iface.id.size()), iface.id.data());
  Diagnose(std::string_view(line, length < int(sizeof line) ? std::size_t(length) : sizeof line - 1));
  Diagnose("Stop");
}

bool IsClassRegistered(std::string_view classId) noexcept { return internal::FindClass(classId) != nullptr; }

bool IsComponentRegistered(std::string_view componentId) noexcept {
  Registries& r = R();
  std::shared_lock lock(r.mutex);
  return Lookup(r.components, componentId) != nullptr;
}

bool IsModuleRegistered(std::string_view moduleId) noexcept {
  Registries& r = R();
  std::shared_lock lock(r.mutex);
  return Lookup(r.modules, moduleId) != nullptr;
}

bool IsDataTypeRegistered(std::string_view name) noexcept {
  Registries& r = R();
  std::shared_lock lock(r.mutex);
  return Lookup(r.dataTypes, name) != nullptr;
}

const InterfaceDecl* FindInterface(std::string_view interfaceId) noexcept {
  Registries& r = R();
  std::shared_lock lock(r.mutex);
  const InterfaceDecl** iface = Lookup(r.interfaces, interfaceId);
  return iface ? *iface : nullptr;
}

Result<void> DescribeClass(std::string_view classId, DataSerializeInterface& stream) noexcept {
  NORVO_ASSIGN_OR_RETURN(const Class* cls, internal::FindComposedClass(classId));
  for (Int i = 0; i < cls->GetComponentCount(); ++i)
    if (auto describe = cls->GetComponent(i).describeIO) NORVO_RETURN_IF_ERROR(describe(stream));
  return {};
}

Result<BaseArray<String>> GetRegistrationLog() noexcept {
  Registries& r = R();
  std::shared_lock lock(r.mutex);
  BaseArray<String> lines;
  NORVO_RETURN_IF_ERROR(lines.EnsureCapacity(Int(r.log.size())));
  for (const Text& line : r.log) {
    NORVO_ASSIGN_OR_RETURN(String text, String::Make(line));
    NORVO_RETURN_IF_ERROR(lines.Append(std::move(text)));
  }
  return lines;
}

void ClearRegistrationLog() noexcept {
  Registries& r = R();
  std::unique_lock lock(r.mutex);
  r.log.clear();
  r.log.shrink_to_fit();
}

void SetDiagnosticSink(DiagnosticSink sink, void* context) noexcept {
  Registries& r = R();
  std::unique_lock lock(r.mutex);
  r.sink = sink;
  r.sinkContext = context;
}

// ---- Module loading -----------------------------------------------------

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
    if (const char* why = dlerror()) Diagnose(why);
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
