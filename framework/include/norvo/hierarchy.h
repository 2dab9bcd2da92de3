// Hierarchy objects: the framework class "net.norvo.class.hierarchyobject"
// links objects into ordered trees. A parent owns its children (it holds a
// reference to each); a child knows its parent and siblings without owning
// them. An object has at most one parent. Each hierarchy object also carries
// the observer-object name.
#pragma once
#include <string_view>

#include "norvo/object.h"

namespace norvo {

struct ObserverObjectInterface {
  static constexpr const InterfaceDecl* kBases[] = {&ObjectInterface::kDecl};
  using GetNameFn = const String& (*)(Object&, void*);
  using SetNameFn = void (*)(Object&, void*, const String&);
  static constexpr SlotTable kSlots{SlotDecl<GetNameFn>{"GetName"}, SlotDecl<SetNameFn>{"SetName"}};
  static constexpr auto& kMethods = kSlots.names;
  static constexpr InterfaceDecl kDecl{
      "net.norvo.interface.observerobject", "norvo.ObserverObjectInterface", kBases, RefKind::Strong, 0, kMethods};
  enum Slot : std::size_t { kGetName = kSlots.Index("GetName"), kSetName = kSlots.Index("SetName") };
};

// The links of a hierarchy object are read and changed by the functions
// below; the interface itself has no slots of its own.
struct HierarchyObjectInterface {
  static constexpr const InterfaceDecl* kBases[] = {&ObserverObjectInterface::kDecl};
  static constexpr SlotTable<> kSlots{};
  static constexpr InterfaceDecl kDecl{"net.norvo.interface.hierarchyobject", "norvo.HierarchyObjectInterface", kBases};
};

inline constexpr std::string_view kHierarchyObjectClassId = "net.norvo.class.hierarchyobject";

// The framework's hierarchy component.
const ComponentInfo& HierarchyComponent() noexcept;

// Borrowed links of an object; nullptr where there is none or the object is
// not a hierarchy object.
Object* HierarchyParent(Object* object) noexcept;
Object* HierarchyFirstChild(Object* object) noexcept;
Object* HierarchyLastChild(Object* object) noexcept;
Object* HierarchyNext(Object* object) noexcept;
Object* HierarchyPrev(Object* object) noexcept;

// Inserts `child` under `parent`: after `after`, or first when `after` is
// nullptr, or last when `last` is set. A child that has a parent is first
// removed from it. Inserting an object under itself or one of its own
// descendants fails with IllegalArgumentError and changes nothing; objects
// that are not hierarchy objects, or an `after` that is not a child of
// `parent`, fail likewise; an empty object is NullptrError.
Result<void> HierarchyInsert(Object* parent, Object* child, Object* after, bool last) noexcept;
// Unlinks `object` from its parent; the parent's reference to it is dropped.
void HierarchyRemove(Object* object) noexcept;

template <class Self>
class ObserverObjectCalls {
 public:
  // The observer-object name; an empty String through an empty reference.
  const String& GetName() const {
    return Me().template Invoke<ObserverObjectInterface::GetNameFn>(ObserverObjectInterface::kDecl,
                                                                    ObserverObjectInterface::kGetName);
  }
  void SetName(const String& name) {
    Me().template Invoke<ObserverObjectInterface::SetNameFn>(ObserverObjectInterface::kDecl,
                                                             ObserverObjectInterface::kSetName, name);
  }

 private:
  const Self& Me() const { return static_cast<const Self&>(*this); }
};

class HierarchyObjectRef;

template <class Self>
class HierarchyObjectCalls : public ObserverObjectCalls<Self> {
 public:
  HierarchyObjectRef GetParent() const noexcept;
  HierarchyObjectRef GetFirstChild() const noexcept;
  HierarchyObjectRef GetLastChild() const noexcept;
  HierarchyObjectRef GetNext() const noexcept;
  HierarchyObjectRef GetPrev() const noexcept;
  // The children, first to last.
  Result<BaseArray<HierarchyObjectRef>> GetChildren() const noexcept;

  Result<void> InsertChildFirst(const ObjectRef& child) const noexcept {
    return HierarchyInsert(Me(), child.Get(), nullptr, false);
  }
  Result<void> InsertChildLast(const ObjectRef& child) const noexcept {
    return HierarchyInsert(Me(), child.Get(), nullptr, true);
  }
  Result<void> InsertChildAfter(const ObjectRef& child, const ObjectRef& sibling) const noexcept {
    if (!sibling) return NullptrError("no sibling to insert after");
    return HierarchyInsert(Me(), child.Get(), sibling.Get(), false);
  }
  // Unlinks this object from its parent.
  void Remove() const noexcept { HierarchyRemove(Me()); }

 private:
  Object* Me() const noexcept { return static_cast<const Self&>(*this).Get(); }
};

class HierarchyObjectRef : public StrongRef<HierarchyObjectRef>, public HierarchyObjectCalls<HierarchyObjectRef> {
 public:
  static constexpr const InterfaceDecl& kInterface = HierarchyObjectInterface::kDecl;
  using StrongRef::StrongRef;
};

template <class Self>
HierarchyObjectRef HierarchyObjectCalls<Self>::GetParent() const noexcept {
  return HierarchyObjectRef::From(ObjectRef::Share(HierarchyParent(Me())));
}
template <class Self>
HierarchyObjectRef HierarchyObjectCalls<Self>::GetFirstChild() const noexcept {
  return HierarchyObjectRef::From(ObjectRef::Share(HierarchyFirstChild(Me())));
}
template <class Self>
HierarchyObjectRef HierarchyObjectCalls<Self>::GetLastChild() const noexcept {
  return HierarchyObjectRef::From(ObjectRef::Share(HierarchyLastChild(Me())));
}
template <class Self>
HierarchyObjectRef HierarchyObjectCalls<Self>::GetNext() const noexcept {
  return HierarchyObjectRef::From(ObjectRef::Share(HierarchyNext(Me())));
}
template <class Self>
HierarchyObjectRef HierarchyObjectCalls<Self>::GetPrev() const noexcept {
  return HierarchyObjectRef::From(ObjectRef::Share(HierarchyPrev(Me())));
}
template <class Self>
Result<BaseArray<HierarchyObjectRef>> HierarchyObjectCalls<Self>::GetChildren() const noexcept {
  if (!Me()) return NullptrError("call through an empty reference");
  BaseArray<HierarchyObjectRef> children;
  for (Object* c = HierarchyFirstChild(Me()); c; c = HierarchyNext(c))
    NORVO_RETURN_IF_ERROR(children.Append(HierarchyObjectRef::From(ObjectRef::Share(c))));
  return children;
}

}  // namespace norvo
