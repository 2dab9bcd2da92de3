// Objects and references. An object is one block holding a header (an
// atomic reference count and its class) and the data of every component of
// its class. Callers reach objects through references (ObjectRef and the
// typed references built on it) and never see the components.
#pragma once
#include <atomic>
#include <cstddef>
#include <string_view>
#include <type_traits>
#include <utility>

#include "norvo/component.h"
#include "norvo/interface.h"
#include "norvo/result.h"
#include "norvo/string.h"
#include "norvo/types.h"

namespace norvo {

class Object {
 public:
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  const Class& GetClass() const noexcept { return *class_; }
  void* GetComponentData(Int index) noexcept {
    return reinterpret_cast<char*>(this) + class_->GetComponentOffset(index);
  }
  const void* GetComponentData(Int index) const noexcept {
    return reinterpret_cast<const char*>(this) + class_->GetComponentOffset(index);
  }
  // The data of the component `component` of this object, or nullptr.
  void* FindComponent(const ComponentInfo& component) noexcept {
    Int index = class_->FindComponent(component);
    return index < 0 ? nullptr : GetComponentData(index);
  }
  bool Carries(const InterfaceDecl& iface) const noexcept { return class_->Carries(iface); }

  void AddRef() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
  // Frees the object with its last reference. Objects released while another
  // is being freed on the same thread are queued, so freeing a long chain
  // never recurses.
  void Release() noexcept;
  Int GetRefCount() const noexcept { return refs_.load(std::memory_order_acquire); }

 private:
  friend struct ObjectFactory;
  explicit Object(const Class& cls) noexcept : refs_(1), class_(&cls) {}
  ~Object() = default;

  std::atomic<Int> refs_;
  const Class* class_;
  Object* pendingNext_ = nullptr;
};

// A strong reference to an object of any class.
class ObjectRef {
 public:
  ObjectRef() noexcept = default;
  ObjectRef(std::nullptr_t) noexcept {}
  ObjectRef(const ObjectRef& other) noexcept : object_(other.object_) {
    if (object_) object_->AddRef();
  }
  ObjectRef(ObjectRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ObjectRef& operator=(const ObjectRef& other) noexcept {
    ObjectRef(other).Swap(*this);
    return *this;
  }
  ObjectRef& operator=(ObjectRef&& other) noexcept {
    ObjectRef(std::move(other)).Swap(*this);
    return *this;
  }
  ~ObjectRef() { Reset(); }

  // Takes over a reference the caller owns.
  static ObjectRef Adopt(Object* object) noexcept {
    ObjectRef ref;
    ref.object_ = object;
    return ref;
  }
  // Adds a reference to a borrowed object.
  static ObjectRef Share(Object* object) noexcept {
    if (object) object->AddRef();
    return Adopt(object);
  }

  Object* Get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  bool IsEmpty() const noexcept { return object_ == nullptr; }
  void Reset() noexcept {
    if (Object* o = std::exchange(object_, nullptr)) o->Release();
  }
  void Swap(ObjectRef& other) noexcept { std::swap(object_, other.object_); }
  Int GetRefCount() const noexcept { return object_ ? object_->GetRefCount() : 0; }
  bool Carries(const InterfaceDecl& iface) const noexcept { return object_ && object_->Carries(iface); }

  // The object's text through ObjectInterface; empty for an empty reference.
  String ToString(const FormatStatement* format = nullptr) const noexcept;

  friend bool operator==(const ObjectRef& a, const ObjectRef& b) noexcept { return a.object_ == b.object_; }

 protected:
  Object* object_ = nullptr;
};

// Creates an object of the registered class `classId`: UnresolvedError for an
// unknown class, OutOfMemoryError when the object cannot be allocated.
Result<ObjectRef> CreateObject(std::string_view classId) noexcept;
// A new object of `cls` (a class some object has), every component made
// fresh: OutOfMemoryError when it cannot be allocated.
Result<ObjectRef> CreateObject(const Class& cls) noexcept;
// The framework's object copy: every component copied, in order. An object
// with the hierarchy component is copied with its whole subtree. Errors of a
// component's copy are returned unchanged.
Result<ObjectRef> CopyObject(const Object& source) noexcept;
// The same copy, except that the component `fresh` of the object itself (when
// its class has it) is constructed plainly instead of copied: for a caller
// that fills it at once and would otherwise copy what it is about to replace.
Result<ObjectRef> CopyObject(const Object& source, const ComponentInfo& fresh) noexcept;

// The value a const accessor yields through an empty reference.
template <class T>
const T& EmptyValue() noexcept {
  static const T value{};
  return value;
}

namespace detail {
template <class Fn>
struct MethodTraits;
template <class R, class... A>
struct MethodTraits<R (*)(Object&, void*, A...)> {
  using Return = R;
};

// What a call through an empty reference yields: NullptrError for a Result,
// the type's empty value otherwise.
template <class R>
R EmptyReturn() noexcept {
  if constexpr (IsResult<R>::value) {
    return NullptrError("call through an empty reference");
  } else if constexpr (std::is_void_v<R>) {
    return;
  } else if constexpr (std::is_reference_v<R>) {
    return EmptyValue<std::remove_cvref_t<R>>();
  } else {
    return R{};
  }
}
}  // namespace detail

// Calls slot `slot` of `iface` on `object`. An empty reference, or an object
// whose class does not fill the slot, yields NullptrError for a Result and
// the type's empty value otherwise.
template <class Fn, class... A>
typename detail::MethodTraits<Fn>::Return InvokeMethod(Object* object, const InterfaceDecl& iface, std::size_t slot,
                                                       A&&... args) {
  using R = typename detail::MethodTraits<Fn>::Return;
  const MethodEntry* entry = object ? object->GetClass().FindMethod(iface, slot) : nullptr;
  if (!entry) return detail::EmptyReturn<R>();
  return reinterpret_cast<Fn>(entry->fn)(*object, object->GetComponentData(entry->component), std::forward<A>(args)...);
}

// Base of the typed references. `Self` names its interface in `kInterface`.
template <class Self>
class TypedRef : public ObjectRef {
 public:
  TypedRef() noexcept = default;
  TypedRef(std::nullptr_t) noexcept {}

  // `object` as this type, or an empty reference when the object does not
  // carry the interface.
  static Self From(const ObjectRef& object) noexcept {
    Self self;
    if (object.Carries(Self::kInterface)) static_cast<ObjectRef&>(self) = object;
    return self;
  }
  // Creates an object of `classId` and views it as this type; a class that
  // does not carry the interface is NullptrError.
  static Result<Self> Create(std::string_view classId) noexcept {
    NORVO_ASSIGN_OR_RETURN(ObjectRef object, CreateObject(classId));
    if (!object.Carries(Self::kInterface)) return NullptrError("the class does not carry the interface");
    return From(object);
  }

  template <class Fn, class... A>
  typename detail::MethodTraits<Fn>::Return Invoke(const InterfaceDecl& iface, std::size_t slot, A&&... args) const {
    return InvokeMethod<Fn>(object_, iface, slot, std::forward<A>(args)...);
  }
};

// A strong reference: all holders share one object and see each other's changes.
template <class Self>
class StrongRef : public TypedRef<Self> {
 public:
  using TypedRef<Self>::TypedRef;
  static constexpr RefKind kRefKind = RefKind::Strong;

  template <class Fn, class... A>
  typename detail::MethodTraits<Fn>::Return InvokeModifying(const InterfaceDecl& iface, std::size_t slot,
                                                            A&&... args) const {
    return InvokeMethod<Fn>(this->object_, iface, slot, std::forward<A>(args)...);
  }
};

// A copy-on-write reference: a value. Holders share one object until one of
// them calls a modifying method, which first gives that holder a private copy
// made by the class's copy operation.
template <class Self>
class CowRef : public TypedRef<Self> {
 public:
  using TypedRef<Self>::TypedRef;
  static constexpr RefKind kRefKind = RefKind::CopyOnWrite;

  // Makes this holder the only one of its object. NullptrError for an empty
  // reference or when no private copy can be had; the reference is then
  // unchanged.
  Result<void> MakeWritable() noexcept {
    if (!this->object_) return NullptrError("call through an empty reference");
    if (this->object_->GetRefCount() == 1) return {};
    Result<ObjectRef> copy = CopyObject(*this->object_);
    if (!copy) return NullptrError("no private copy could be made");
    static_cast<ObjectRef&>(*this) = std::move(copy).value();
    return {};
  }

  // A modifying call: a private copy first, then the call. A slot that
  // returns nothing yields Result<void> here, so a failed copy is reported.
  template <class Fn, class... A>
  auto InvokeModifying(const InterfaceDecl& iface, std::size_t slot, A&&... args) {
    using R = typename detail::MethodTraits<Fn>::Return;
    static_assert(std::is_void_v<R> || detail::IsResult<R>::value,
                  "a modifying call of a copy-on-write value must return a Result");
    using Out = std::conditional_t<std::is_void_v<R>, Result<void>, R>;
    if (auto writable = MakeWritable(); !writable) return Out(writable.error());
    if constexpr (std::is_void_v<R>) {
      InvokeMethod<Fn>(this->object_, iface, slot, std::forward<A>(args)...);
      return Out();
    } else {
      return InvokeMethod<Fn>(this->object_, iface, slot, std::forward<A>(args)...);
    }
  }
};

}  // namespace norvo
