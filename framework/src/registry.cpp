// The registries: registrations through a module's context and their
// releases, class composition, and the lookups of the host and the framework.
#include "norvo/registry.h"

#include <mutex>
#include <shared_mutex>

#include "composition.h"
#include "internal.h"
#include "norvo/memory.h"
#include "norvo/serialize.h"
#include "registries.h"

namespace norvo {

using internal::Registries;
using internal::TheRegistries;

// Made in static storage and never destroyed: no heap allocation can fail
// here, and no late release meets a destroyed table.
Registries& internal::TheRegistries() noexcept {
  alignas(Registries) static unsigned char storage[sizeof(Registries)];
  static Registries& registries = *::new (storage) Registries();
  return registries;
}

// ---- Registrations and their releases -----------------------------------

enum ReleaseKind : int { kDataType, kFramework, kModuleId, kComponent, kClass, kStatic, kInterface };

// What to release at unload. The id text is also the key of the registry
// entry, so a registration allocates its id once.
struct ModuleContext::Release {
  int kind;
  String id;
};

namespace {
const char* const kKindWords[] = {"datatype", "framework", "module", "component", "class", "static", "interface"};

// Stores `value` under `id`; an id that is taken is IllegalArgumentError.
// Runs under the write lock.
template <class V>
Result<void> Add(HashMap<String, V>& map, const String& id, V value, const char* duplicate) noexcept {
  if (map.Find(id)) return IllegalArgumentError(duplicate);
  return map.Insert(id, value);
}

void RunRelease(int kind, const String& id) noexcept {
  Registries& r = TheRegistries();
  std::unique_lock lock(r.mutex);
  switch (kind) {
    case kDataType: r.dataTypes.Erase(id); break;
    case kFramework: break;
    case kModuleId: r.modules.Erase(id); break;
    case kComponent: r.components.Erase(id); break;
    case kClass:
      if (Class** cls = r.classes.Find(id)) {
        internal::ClassComposition::Destroy(*cls);
        r.classes.Erase(id);
      }
      break;
    case kStatic:
      r.statics.Erase(id);
      r.staticsGeneration.fetch_add(1, std::memory_order_release);
      break;
    case kInterface: r.interfaces.Erase(id); break;
  }
  internal::Log(r, {"release ", kKindWords[kind], " ", id.View()});
}
}  // namespace

Result<void> ModuleContext::Arrange(int kind, std::string_view id) noexcept {
  NORVO_ASSIGN_OR_RETURN(String text, String::Make(id));
  Release* release = New<Release>(Release{kind, std::move(text)});
  if (!release) return OutOfMemoryError();
  if (auto r = releases_.Append(release); !r) {
    Delete(release);
    return r.error();
  }
  return {};
}

void ModuleContext::TakeBackLastRelease() noexcept {
  Delete(releases_[releases_.GetCount() - 1]);
  releases_.Erase(releases_.GetCount() - 1);
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

// The release is arranged first, so that a registration that succeeds is
// always released again; a failed `add` takes it back, and the registries
// stay as they were.
template <class AddFn>
Result<void> ModuleContext::Register(int kind, std::string_view id, AddFn add) noexcept {
  NORVO_RETURN_IF_ERROR(Arrange(kind, id));
  const String& key = releases_[releases_.GetCount() - 1]->id;
  Registries& r = TheRegistries();
  Result<void> added;
  {
    std::unique_lock lock(r.mutex);
    added = add(r, key);
    if (added) internal::Log(r, {kKindWords[kind], " ", key.View()});
  }
  if (!added) TakeBackLastRelease();
  return added;
}

Result<void> ModuleContext::RegisterDataType(std::string_view name, const InterfaceDecl& iface,
                                             std::uint32_t) noexcept {
  return Register(kDataType, name, [&](Registries& r, const String& key) {
    return Add(r.dataTypes, key, &iface, "data type already registered");
  });
}

Result<void> ModuleContext::DeclareFramework(std::string_view frameworkId) noexcept {
  return Register(kFramework, frameworkId, [](Registries&, const String&) { return Result<void>(); });
}

Result<void> ModuleContext::RegisterModuleId(std::string_view moduleId) noexcept {
  if (IsModuleRegistered(moduleId)) return {};
  return Register(kModuleId, moduleId, [](Registries& r, const String& key) {
    return Add(r.modules, key, true, "module already registered");
  });
}

Result<void> ModuleContext::RegisterComponent(const ComponentInfo& component) noexcept {
  return Register(kComponent, component.id, [&](Registries& r, const String& key) {
    return Add(r.components, key, &component, "component already registered");
  });
}

Result<void> ModuleContext::RegisterClass(std::string_view classId, std::span<const ClassPart> parts) noexcept {
  NORVO_ASSIGN_OR_RETURN(Class * cls, internal::ClassComposition::Create(classId, parts));
  Result<void> registered = Register(kClass, classId, [&](Registries& r, const String& key) {
    return Add(r.classes, key, cls, "class already registered");
  });
  if (!registered) internal::ClassComposition::Destroy(cls);
  return registered;
}

Result<void> ModuleContext::RegisterStaticImpl(const InterfaceDecl& iface, const StaticImpl& impl) noexcept {
  // A call reaches a method by its index in the interface's list; another
  // count would call past the end or leave declared methods unreachable.
  if (impl.methods.size() != iface.statics.size())
    return IllegalArgumentError("the implementation does not have one method per static method of the interface");
  return Register(kStatic, iface.id, [&](Registries& r, const String& key) {
    Result<void> added = Add(r.statics, key, &impl, "static methods already registered");
    if (added) r.staticsGeneration.fetch_add(1, std::memory_order_release);
    return added;
  });
}

Result<void> ModuleContext::DeclareInterface(const InterfaceDecl& iface) noexcept {
  return Register(kInterface, iface.id, [&](Registries& r, const String& key) {
    return Add(r.interfaces, key, &iface, "interface already declared");
  });
}

// ---- Class composition --------------------------------------------------

namespace {
// Composes `cls` from its parts, the classes it takes over first. Runs under
// the registry's write lock. A failure undoes the composition.
Result<void> Compose(Registries& r, Class& cls, int depth) noexcept {
  if (cls.IsComposed()) return {};
  if (depth > 64) return IllegalArgumentError("the classes take each other over in a cycle");
  Result<void> built = [&]() -> Result<void> {
    for (const ClassPart& part : cls.GetParts()) {
      if (part.kind == ClassPart::kAllOf) {
        Class** other = r.classes.Find(part.id);
        if (!other) return UnresolvedError("the class to take over is not registered");
        NORVO_RETURN_IF_ERROR(Compose(r, **other, depth + 1));
        NORVO_RETURN_IF_ERROR(internal::ClassComposition::AppendAllOf(cls, **other));
      } else {
        const ComponentInfo** component = r.components.Find(part.id);
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
  Registries& r = TheRegistries();
  {
    std::shared_lock lock(r.mutex);
    Class** cls = r.classes.Find(classId);
    if (!cls) return UnresolvedError("no class is registered under this id");
    if ((*cls)->IsComposed()) return *cls;
  }
  std::unique_lock lock(r.mutex);
  Class** cls = r.classes.Find(classId);
  if (!cls) return UnresolvedError("no class is registered under this id");
  NORVO_RETURN_IF_ERROR(Compose(r, **cls, 0));
  return *cls;
}

Result<void> ModuleContext::ComposeClasses() noexcept {
  for (Release* release : releases_)
    if (release->kind == kClass) NORVO_RETURN_IF_ERROR(internal::FindComposedClass(release->id.View()));
  return {};
}

Int ModuleContext::CountLiveObjects() const noexcept {
  Registries& r = TheRegistries();
  std::shared_lock lock(r.mutex);
  Int live = 0;
  for (const Release* release : releases_) {
    if (release->kind != kClass) continue;
    if (Class* const* cls = r.classes.Find(release->id)) live += (*cls)->GetLiveObjectCount();
  }
  return live;
}

// ---- Lookups ------------------------------------------------------------

namespace {
// The entry of `id` in `map` under the read lock, or a default value.
template <class V>
V Lookup(const HashMap<String, V>& map, std::string_view id) noexcept {
  Registries& r = TheRegistries();
  std::shared_lock lock(r.mutex);
  const V* value = map.Find(id);
  return value ? *value : V{};
}
}  // namespace

const Class* internal::FindClass(std::string_view classId) noexcept { return Lookup(TheRegistries().classes, classId); }

// Static calls run per node per frame, so each thread keeps its last few
// answers. An answer is good while the statics' generation is the one read
// before it was looked up; any registration or release makes it stale.
const StaticImpl* FindStaticImpl(const InterfaceDecl& iface) noexcept {
  struct Entry {
    const InterfaceDecl* iface;
    UInt generation;
    const StaticImpl* impl;
  };
  __attribute__((tls_model("initial-exec"))) static thread_local Entry cache[8];
  Registries& r = TheRegistries();
  UInt generation = r.staticsGeneration.load(std::memory_order_acquire);
  Entry& entry = cache[(reinterpret_cast<std::uintptr_t>(&iface) >> 4) & 7];
  if (entry.iface == &iface && entry.generation == generation) return entry.impl;
  const StaticImpl* impl = Lookup(r.statics, iface.id);
  entry = Entry{&iface, generation, impl};
  return impl;
}

bool IsClassRegistered(std::string_view classId) noexcept { return internal::FindClass(classId) != nullptr; }

bool IsComponentRegistered(std::string_view componentId) noexcept {
  return Lookup(TheRegistries().components, componentId) != nullptr;
}

bool IsModuleRegistered(std::string_view moduleId) noexcept { return Lookup(TheRegistries().modules, moduleId); }

bool IsDataTypeRegistered(std::string_view name) noexcept { return Lookup(TheRegistries().dataTypes, name) != nullptr; }

const InterfaceDecl* internal::FindDataType(std::string_view name) noexcept {
  return Lookup(TheRegistries().dataTypes, name);
}

const InterfaceDecl* FindInterface(std::string_view interfaceId) noexcept {
  return Lookup(TheRegistries().interfaces, interfaceId);
}

Result<void> DescribeClass(std::string_view classId, DataSerializeInterface& stream) noexcept {
  NORVO_ASSIGN_OR_RETURN(const Class* cls, internal::FindComposedClass(classId));
  for (Int i = 0; i < cls->GetComponentCount(); ++i) {
    const ComponentInfo& component = cls->GetComponent(i);
    stream.BeginComponent(component.id, cls->GetComponentOffset(i));
    if (component.describeIO) NORVO_RETURN_IF_ERROR(component.describeIO(stream));
  }
  return {};
}

}  // namespace norvo
