// The object model. A class is an ordered list of components registered under
// a class id; an object is one block holding a header and the data of every
// component of its class. Components bind method bodies to interface slots;
// when a class is finalized, a later component's binding takes over the slot
// of an earlier one for that interface only. Callers reach objects through
// references (ObjectRef and the typed references built on it) and never see
// the components.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "norvo/array.h"
#include "norvo/result.h"
#include "norvo/string.h"
#include "norvo/types.h"

namespace norvo {

class Object;
class DataSerializeInterface;

using MethodFn = void (*)();

enum class RefKind : std::uint8_t { CopyOnWrite, Strong };

constexpr UInt HashId(std::string_view text) noexcept {
  UInt h = 14695981039346656037ull;
  for (char c : text) h = (h ^ UInt(static_cast<unsigned char>(c))) * 1099511628211ull;
  return h;
}

// The declaration of an interface: its id, published name, bases, reference
// kind, the names of its instance methods in slot order and of its static
// methods in order. Two declarations with the same id are the same interface,
// also when the host and a module each hold a copy.
struct InterfaceDecl {
  constexpr InterfaceDecl(std::string_view id_, std::string_view publishedName_,
                          std::span<const InterfaceDecl* const> bases_ = {}, RefKind refKind_ = RefKind::Strong,
                          std::uint32_t kindWord_ = 0, std::span<const std::string_view> methods_ = {},
                          std::span<const std::string_view> statics_ = {}) noexcept
      : id(id_), publishedName(publishedName_), bases(bases_), refKind(refKind_), kindWord(kindWord_),
        methods(methods_), statics(statics_), hash(HashId(id_)) {}

  std::string_view id;
  std::string_view publishedName;
  std::span<const InterfaceDecl* const> bases;
  RefKind refKind;
  std::uint32_t kindWord;
  std::span<const std::string_view> methods;
  std::span<const std::string_view> statics;
  UInt hash;
};

constexpr bool SameInterface(const InterfaceDecl& a, const InterfaceDecl& b) noexcept {
  return &a == &b || (a.hash == b.hash && a.id == b.id);
}

// ObjectInterface: every object answers it; its one slot is ToString.
struct ObjectInterface {
  static constexpr std::string_view kMethods[] = {"ToString"};
  static constexpr InterfaceDecl kDecl{"net.norvo.interface.object", "norvo.ObjectInterface", {},
                                       RefKind::Strong, 0, kMethods};
  enum Slot : std::size_t { kToString };
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
};

// Binds method bodies of a component to slots of one interface; a null entry
// leaves the slot to earlier components.
struct InterfaceBinding {
  const InterfaceDecl* iface;
  std::span<const MethodFn> slots;
};

// A component: its data layout and the operations on it. `copy` assigns a
// source component to a constructed one; on failure the target must still be
// destructible.
struct ComponentInfo {
  std::string_view id;
  std::size_t size = 0;
  std::size_t align = 1;
  void (*construct)(void* data) noexcept = nullptr;
  void (*destruct)(void* data) noexcept = nullptr;
  Result<void> (*copy)(void* target, const void* source) noexcept = nullptr;
  std::span<const InterfaceBinding> bindings;
  Result<void> (*describeIO)(DataSerializeInterface& stream) noexcept = nullptr;
};

// The component operations of a C++ type: default construction, destruction,
// and CopyFrom(const Impl&) -> Result<void> when the type has it, else
// assignment.
template <class Impl>
constexpr ComponentInfo MakeComponent(std::string_view id, std::span<const InterfaceBinding> bindings,
                                      Result<void> (*describeIO)(DataSerializeInterface&) noexcept = nullptr) {
  ComponentInfo info;
  info.id = id;
  info.size = sizeof(Impl);
  info.align = alignof(Impl);
  info.construct = [](void* data) noexcept { ::new (data) Impl(); };
  info.destruct = [](void* data) noexcept { static_cast<Impl*>(data)->~Impl(); };
  info.copy = [](void* target, const void* source) noexcept -> Result<void> {
    if constexpr (requires(Impl& t, const Impl& s) { t.CopyFrom(s); }) {
      return static_cast<Impl*>(target)->CopyFrom(*static_cast<const Impl*>(source));
    } else {
      *static_cast<Impl*>(target) = *static_cast<const Impl*>(source);
      return {};
    }
  };
  info.bindings = bindings;
  info.describeIO = describeIO;
  return info;
}

struct MethodEntry {
  MethodFn fn = nullptr;
  std::uint32_t component = 0;
};

// One part of a class: all components of a registered class, or one
// registered component.
struct ClassPart {
  enum Kind : std::uint8_t { kAllOf, kComponent };
  Kind kind;
  std::string_view id;
};

// A class: its id, its parts and, once composed, its components, their
// layout and its method tables. A class is registered with its parts and
// composed when first needed (the loader composes every class of a module
// right after its start-up), so that a class may take over a class that its
// module registers later.
class Class {
 public:
  static Result<Class*> Create(std::string_view id, std::span<const ClassPart> parts) noexcept;
  static void Destroy(Class* cls) noexcept;

  // Composition, in its steps: AppendAllOf / AppendComponent for each part in
  // order, then Finalize. A failed composition is undone with Decompose.
  Result<void> AppendAllOf(const Class& other) noexcept;
  Result<void> AppendComponent(const ComponentInfo& component) noexcept;
  Result<void> Finalize() noexcept;
  void Decompose() noexcept;
  bool IsComposed() const noexcept { return composed_.load(std::memory_order_acquire); }
  std::span<const ClassPart> GetParts() const noexcept { return parts_; }

  std::string_view GetId() const noexcept { return id_.View(); }
  Int GetComponentCount() const noexcept { return components_.GetCount(); }
  const ComponentInfo& GetComponent(Int index) const noexcept { return *components_[index]; }
  std::size_t GetComponentOffset(Int index) const noexcept { return offsets_[index]; }
  std::size_t GetObjectSize() const noexcept { return size_; }
  Int FindComponent(const ComponentInfo& component) const noexcept;

  const MethodEntry* FindMethod(const InterfaceDecl& iface, std::size_t slot) const noexcept;
  bool Carries(const InterfaceDecl& iface) const noexcept;

 private:
  struct Table {
    const InterfaceDecl* iface;
    BaseArray<MethodEntry> slots;
  };
  String id_;
  std::span<const ClassPart> parts_;
  std::atomic<bool> composed_{false};
  BaseArray<const ComponentInfo*> components_;
  BaseArray<std::size_t> offsets_;
  BaseArray<Table> tables_;
  std::size_t size_ = 0;
};

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
// The framework's object copy: every component copied, in order. An object
// with the hierarchy component is copied with its whole subtree. Errors of a
// component's copy are returned unchanged.
Result<ObjectRef> CopyObject(const Object& source) noexcept;

// The value a const accessor yields through an empty reference.
template <class T>
const T& EmptyValue() noexcept {
  static const T value{};
  return value;
}

namespace detail {
template <class R>
struct IsResult : std::false_type {};
template <class T>
struct IsResult<Result<T>> : std::true_type {};

template <class Fn>
struct MethodTraits;
template <class R, class... A>
struct MethodTraits<R (*)(Object&, void*, A...)> {
  using Return = R;
};
template <class Fn>
struct StaticTraits;
template <class R, class... A>
struct StaticTraits<R (*)(A...)> {
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

template <class Fn, auto Member>
struct Thunk;
template <class R, class... A, auto Member>
struct Thunk<R (*)(Object&, void*, A...), Member> {
  template <class C>
  static R Call(Object& self, void* data, A... args) {
    C* component = static_cast<C*>(data);
    if constexpr (std::is_invocable_v<decltype(Member), C*, Object&, A...>) {
      return (component->*Member)(self, std::forward<A>(args)...);
    } else {
      return (component->*Member)(std::forward<A>(args)...);
    }
  }
};
template <class T>
struct MemberClass;
template <class C, class M>
struct MemberClass<M C::*> {
  using Type = C;
};
}  // namespace detail

// The method body `Member` (a member function of a component type) as the
// slot type `Fn` of an interface: (Object&, component data, arguments...).
// The member may take the object as its first parameter to reach sibling
// components.
template <class Fn, auto Member>
MethodFn Bind() noexcept {
  using C = typename detail::MemberClass<decltype(Member)>::Type;
  Fn fn = &detail::Thunk<Fn, Member>::template Call<C>;
  return reinterpret_cast<MethodFn>(fn);
}

// A static method as a MethodFn, checked against the declared type.
template <class Fn>
MethodFn BindStatic(Fn fn) noexcept {
  return reinterpret_cast<MethodFn>(fn);
}

// Calls slot `slot` of `iface` on `object`. An empty reference, or an object
// whose class does not fill the slot, yields NullptrError for a Result and
// the type's empty value otherwise.
template <class Fn, class... A>
typename detail::MethodTraits<Fn>::Return InvokeMethod(Object* object, const InterfaceDecl& iface, std::size_t slot,
                                                       A&&... args) {
  using R = typename detail::MethodTraits<Fn>::Return;
  const MethodEntry* entry = object ? object->GetClass().FindMethod(iface, slot) : nullptr;
  if (!entry) return detail::EmptyReturn<R>();
  return reinterpret_cast<Fn>(entry->fn)(*object, object->GetComponentData(entry->component),
                                         std::forward<A>(args)...);
}

// The static-method implementation registered for an interface.
struct StaticImpl {
  std::string_view name;
  std::uint32_t kindWord = 0;
  std::span<const MethodFn> methods;
};

// The implementation registered for `iface`, or nullptr.
const StaticImpl* FindStaticImpl(const InterfaceDecl& iface) noexcept;
// Writes "Method invocation of unresolvable interface <id>" and "Stop" to the
// diagnostic sink.
void ReportUnresolved(const InterfaceDecl& iface) noexcept;

// Calls static method `index` of `iface`; UnresolvedError when no
// implementation is registered.
template <class Fn, class... A>
typename detail::StaticTraits<Fn>::Return InvokeStatic(const InterfaceDecl& iface, std::size_t index, A&&... args) {
  using R = typename detail::StaticTraits<Fn>::Return;
  static_assert(detail::IsResult<R>::value, "a static method without a Result needs InvokeStaticOr");
  const StaticImpl* impl = FindStaticImpl(iface);
  if (!impl || index >= impl->methods.size() || !impl->methods[index])
    return UnresolvedError("Method invocation of unresolvable interface");
  return reinterpret_cast<Fn>(impl->methods[index])(std::forward<A>(args)...);
}

// Calls a static method that returns a plain value; when it is unresolved,
// writes the diagnostic lines and returns `fallback`.
template <class Fn, class... A>
typename detail::StaticTraits<Fn>::Return InvokeStaticOr(typename detail::StaticTraits<Fn>::Return fallback,
                                                         const InterfaceDecl& iface, std::size_t index,
                                                         A&&... args) {
  const StaticImpl* impl = FindStaticImpl(iface);
  if (!impl || index >= impl->methods.size() || !impl->methods[index]) {
    ReportUnresolved(iface);
    return fallback;
  }
  return reinterpret_cast<Fn>(impl->methods[index])(std::forward<A>(args)...);
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
  typename detail::MethodTraits<Fn>::Return Invoke(const InterfaceDecl& iface, std::size_t slot,
                                                   A&&... args) const {
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
