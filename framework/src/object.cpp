#include "norvo/object.h"

#include "composition.h"
#include "internal.h"
#include "ledger.h"
#include "norvo/hierarchy.h"
#include "norvo/memory.h"

namespace norvo {

// ---- Class --------------------------------------------------------------

using internal::ClassComposition;

Result<Class*> ClassComposition::Create(std::string_view id, std::span<const ClassPart> parts) noexcept {
  Class* cls = New<Class>();
  if (!cls) return OutOfMemoryError();
  cls->parts_ = parts;
  if (auto r = cls->id_.Append(id); !r) {
    Delete(cls);
    return r.error();
  }
  return cls;
}

void ClassComposition::Destroy(Class* cls) noexcept {
  if (cls) ForgetClass(*cls);
  Delete(cls);
}

Result<void> ClassComposition::AppendAllOf(Class& cls, const Class& other) noexcept {
  for (const ComponentInfo* component : other.components_) NORVO_RETURN_IF_ERROR(AppendComponent(cls, *component));
  return {};
}

Result<void> ClassComposition::AppendComponent(Class& cls, const ComponentInfo& component) noexcept {
  return cls.components_.Append(&component);
}

Result<void> ClassComposition::Finalize(Class& cls) noexcept {
  // Layout: the object header, then each component at its alignment.
  std::size_t offset = sizeof(Object);
  NORVO_RETURN_IF_ERROR(cls.offsets_.EnsureCapacity(cls.components_.GetCount()));
  for (const ComponentInfo* component : cls.components_) {
    std::size_t align = component->align ? component->align : 1;
    offset = (offset + align - 1) / align * align;
    NORVO_RETURN_IF_ERROR(cls.offsets_.Append(offset));
    offset += component->size;
  }
  cls.size_ = offset;
  cls.hierarchical_ = cls.FindComponent(HierarchyComponent()) >= 0;

  // Method tables: every class answers ObjectInterface; later components take
  // over the slots they bind, per interface.
  NORVO_RETURN_IF_ERROR(cls.tables_.Append(Class::Table{&ObjectInterface::kDecl, {}}));
  for (Int index = 0; index < cls.components_.GetCount(); ++index) {
    for (const InterfaceBinding& binding : cls.components_[index]->bindings) {
      if (binding.slots.size() > binding.iface->methods.size())
        return IllegalArgumentError("a binding has more slots than its interface");
      Class::Table* table = nullptr;
      for (Class::Table& t : cls.tables_)
        if (SameInterface(*t.iface, *binding.iface)) table = &t;
      if (!table) {
        NORVO_RETURN_IF_ERROR(cls.tables_.Append(Class::Table{binding.iface, {}}));
        table = &cls.tables_[cls.tables_.GetCount() - 1];
      }
      NORVO_RETURN_IF_ERROR(table->slots.EnsureCapacity(Int(binding.slots.size())));
      while (table->slots.GetCount() < Int(binding.slots.size())) NORVO_RETURN_IF_ERROR(table->slots.Append({}));
      for (std::size_t slot = 0; slot < binding.slots.size(); ++slot)
        if (binding.slots[slot]) table->slots[Int(slot)] = MethodEntry{binding.slots[slot], std::uint32_t(index)};
    }
  }
  cls.composed_.store(true, std::memory_order_release);
  return {};
}

void ClassComposition::Decompose(Class& cls) noexcept {
  cls.composed_.store(false, std::memory_order_release);
  cls.components_.Reset();
  cls.offsets_.Reset();
  cls.tables_.Reset();
  for (auto& recent : cls.recent_) recent.store(0, std::memory_order_relaxed);
  cls.size_ = 0;
  cls.hierarchical_ = false;
}

Int Class::FindComponent(const ComponentInfo& component) const noexcept {
  for (Int i = 0; i < components_.GetCount(); ++i)
    if (components_[i] == &component) return i;
  return -1;
}

Int Class::FindTable(const InterfaceDecl& iface) const noexcept {
  constexpr std::uint64_t kAddressBits = (std::uint64_t(1) << 48) - 1;
  const std::uint64_t address = reinterpret_cast<std::uintptr_t>(&iface);
  std::atomic<std::uint64_t>& recent = recent_[(address >> 4) % kRecent];
  const std::uint64_t seen = recent.load(std::memory_order_relaxed);
  // The hash as well: an address may come back for another declaration once
  // the module that held the first is gone.
  if ((seen & kAddressBits) == address) {
    const Int index = Int(seen >> 48);
    if (index < tables_.GetCount() && tables_[index].iface->hash == iface.hash) return index;
  }
  for (Int i = 0; i < tables_.GetCount(); ++i) {
    if (!SameInterface(*tables_[i].iface, iface)) continue;
    if (address <= kAddressBits && i < 0xffff)
      recent.store(address | (std::uint64_t(i) << 48), std::memory_order_relaxed);
    return i;
  }
  return -1;
}

const MethodEntry* Class::FindMethod(const InterfaceDecl& iface, std::size_t slot) const noexcept {
  const Int index = FindTable(iface);
  if (index < 0) return nullptr;
  const Table& table = tables_[index];
  if (Int(slot) >= table.slots.GetCount() || !table.slots[Int(slot)].fn) return nullptr;
  return &table.slots[Int(slot)];
}

bool Class::Carries(const InterfaceDecl& iface) const noexcept { return FindTable(iface) >= 0; }

// ---- Objects ------------------------------------------------------------

namespace {
// Initial-exec: the framework library is loaded with the host, and these are
// read on every release.
__attribute__((tls_model("initial-exec"))) thread_local Object* t_pending = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local bool t_freeing = false;
}  // namespace

struct ObjectFactory {
  static Result<ObjectRef> Make(const Class& cls) noexcept {
    void* block = Allocate(cls.GetObjectSize());
    if (!block) return OutOfMemoryError();
    Object* object = ::new (block) Object(cls);
    internal::CountObjects(cls, 1);
    for (Int i = 0; i < cls.GetComponentCount(); ++i) cls.GetComponent(i).construct(object->GetComponentData(i));
    return ObjectRef::Adopt(object);
  }

  // A copy of `source` without its hierarchy links.
  // Each component is constructed as a copy in one pass where it can be;
  // after a failed copy the rest are constructed plainly, so that the object
  // is whole when it is released.
  static Result<ObjectRef> CloneOne(const Object& source, const ComponentInfo* fresh = nullptr) noexcept {
    const Class& cls = source.GetClass();
    void* block = Allocate(cls.GetObjectSize());
    if (!block) return OutOfMemoryError();
    Object* object = ::new (block) Object(cls);
    internal::CountObjects(cls, 1);
    ObjectRef copy = ObjectRef::Adopt(object);
    Result<void> copied;
    for (Int i = 0; i < cls.GetComponentCount(); ++i) {
      const ComponentInfo& component = cls.GetComponent(i);
      void* data = object->GetComponentData(i);
      if (!copied || &component == fresh) {
        component.construct(data);
      } else if (component.copyConstruct) {
        copied = component.copyConstruct(data, source.GetComponentData(i));
      } else {
        component.construct(data);
        copied = component.copy(data, source.GetComponentData(i));
      }
    }
    if (!copied) return copied.error();
    return copy;
  }

  static void Free(Object* object) noexcept {
    if (t_freeing) {
      object->pendingNext_ = t_pending;
      t_pending = object;
      return;
    }
    t_freeing = true;
    while (object) {
      const Class& cls = *object->class_;
      for (Int i = cls.GetComponentCount(); i-- > 0;)
        if (auto destruct = cls.GetComponent(i).destruct) destruct(object->GetComponentData(i));
      object->~Object();
      // After the components: a count of zero means no code of the class
      // runs for this object any more.
      internal::CountObjects(cls, -1);
      norvo::Free(object);
      object = t_pending;
      if (object) t_pending = object->pendingNext_;
    }
    t_freeing = false;
  }
};

void Object::Release() noexcept {
  // The last holder needs no read-modify-write: no one else can reach the
  // object to add a reference.
  if (refs_.load(std::memory_order_acquire) == 1 || refs_.fetch_sub(1, std::memory_order_acq_rel) == 1)
    ObjectFactory::Free(this);
}

Result<ObjectRef> CreateObject(std::string_view classId) noexcept {
  NORVO_ASSIGN_OR_RETURN(const Class* cls, internal::FindComposedClass(classId));
  return ObjectFactory::Make(*cls);
}

Result<ObjectRef> CreateObject(const Class& cls) noexcept { return ObjectFactory::Make(cls); }

// Copies the subtree in pre-order without recursion: the copy follows the
// source step by step, down to a first child, across to a next sibling, or
// up to a parent. `fresh`, when set, is constructed plainly in the copy of
// `source` itself.
static Result<ObjectRef> CopyTree(const Object& source, const ComponentInfo* fresh) noexcept {
  NORVO_ASSIGN_OR_RETURN(ObjectRef root, ObjectFactory::CloneOne(source, fresh));
  Object* src = const_cast<Object*>(&source);
  if (!source.GetClass().IsHierarchical() || !HierarchyFirstChild(src)) return root;
  Object* srcAt = src;
  Object* dstAt = root.Get();
  for (;;) {
    Object* srcNext = HierarchyFirstChild(srcAt);
    Object* dstParent = dstAt;
    if (!srcNext) {
      while (srcAt != src && !HierarchyNext(srcAt)) {
        srcAt = HierarchyParent(srcAt);
        dstAt = HierarchyParent(dstAt);
      }
      if (srcAt == src) break;
      srcNext = HierarchyNext(srcAt);
      dstParent = HierarchyParent(dstAt);
    }
    NORVO_ASSIGN_OR_RETURN(ObjectRef copy, ObjectFactory::CloneOne(*srcNext));
    NORVO_RETURN_IF_ERROR(HierarchyInsert(dstParent, copy.Get(), nullptr, true));
    srcAt = srcNext;
    dstAt = copy.Get();
  }
  return root;
}

Result<ObjectRef> CopyObject(const Object& source) noexcept { return CopyTree(source, nullptr); }

Result<ObjectRef> CopyObject(const Object& source, const ComponentInfo& fresh) noexcept {
  return CopyTree(source, &fresh);
}

String ObjectRef::ToString(const FormatStatement* format) const noexcept {
  return InvokeMethod<ObjectInterface::ToStringFn>(object_, ObjectInterface::kDecl, ObjectInterface::kToString, format);
}

}  // namespace norvo
