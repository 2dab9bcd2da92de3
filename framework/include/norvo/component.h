// Classes, components and bindings. A class is an ordered list of components
// registered under a class id; a component is a C++ type whose methods are
// bound to interface slots. When a class is composed, a later component's
// binding takes over the slot of an earlier one for that interface only.
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "norvo/array.h"
#include "norvo/interface.h"
#include "norvo/result.h"
#include "norvo/string.h"

namespace norvo {

class DataSerializeInterface;

// Binds method bodies of a component to slots of one interface; a null entry
// leaves the slot to earlier components. A binding has at most as many slots
// as its interface.
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
  void (*destruct)(void* data) noexcept = nullptr;  // null when there is nothing to destroy
  Result<void> (*copy)(void* target, const void* source) noexcept = nullptr;
  std::span<const InterfaceBinding> bindings;
  Result<void> (*describeIO)(DataSerializeInterface& stream) noexcept = nullptr;
  // Constructs a copy of a source component in raw storage, in one pass; on
  // failure the target is constructed and must still be destructible. When
  // null, the framework constructs and then copies.
  Result<void> (*copyConstruct)(void* target, const void* source) noexcept = nullptr;
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
  // No destructor to run for a type without one (null: nothing to do).
  if constexpr (!std::is_trivially_destructible_v<Impl>)
    info.destruct = [](void* data) noexcept { static_cast<Impl*>(data)->~Impl(); };
  // The formatter would space the reference in a requires expression.
  // clang-format off
  info.copy = [](void* target, const void* source) noexcept -> Result<void> {
    if constexpr (requires(Impl& t, const Impl& s) { t.CopyFrom(s); }) {
      return static_cast<Impl*>(target)->CopyFrom(*static_cast<const Impl*>(source));
    } else {
      *static_cast<Impl*>(target) = *static_cast<const Impl*>(source);
      return {};
    }
  };
  info.copyConstruct = [](void* target, const void* source) noexcept -> Result<void> {
    if constexpr (requires(Impl& t, const Impl& s) { t.CopyFrom(s); }) {
      Impl* impl = ::new (target) Impl();
      return impl->CopyFrom(*static_cast<const Impl*>(source));
    } else {
      ::new (target) Impl(*static_cast<const Impl*>(source));
      return {};
    }
  };
  // clang-format on
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

namespace internal {
struct ClassComposition;
struct LedgerAccess;
}  // namespace internal

// A class: its id, its parts and, once composed, its components, their
// layout and its method tables. A class is registered with its parts and
// composed when first needed (the loader composes every class of a module
// right after its start-up), so that a class may take over a class that its
// module registers later. Composition is the framework's own business.
class Class {
 public:
  bool IsComposed() const noexcept { return composed_.load(std::memory_order_acquire); }
  std::span<const ClassPart> GetParts() const noexcept { return parts_; }

  std::string_view GetId() const noexcept { return id_.View(); }
  Int GetComponentCount() const noexcept { return components_.GetCount(); }
  const ComponentInfo& GetComponent(Int index) const noexcept { return *components_[index]; }
  std::size_t GetComponentOffset(Int index) const noexcept { return offsets_[index]; }
  std::size_t GetObjectSize() const noexcept { return size_; }
  Int FindComponent(const ComponentInfo& component) const noexcept;

  // The interfaces the class answers (those some component binds, and
  // ObjectInterface), in the order their tables were made.
  Int GetInterfaceCount() const noexcept { return tables_.GetCount(); }
  const InterfaceDecl& GetInterface(Int index) const noexcept { return *tables_[index].iface; }

  const MethodEntry* FindMethod(const InterfaceDecl& iface, std::size_t slot) const noexcept;
  bool Carries(const InterfaceDecl& iface) const noexcept;

  // Objects of this class alive now (made, copied and not yet freed); the
  // module that registered the class is not unloaded while there are any.
  Int GetLiveObjectCount() const noexcept;
  // Whether objects of the class are hierarchy objects.
  bool IsHierarchical() const noexcept { return hierarchical_; }

 private:
  friend struct internal::ClassComposition;
  friend struct internal::LedgerAccess;
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
  // Tables found lately, by the address of the declaration a call came with
  // (the host and each module hold their own copies of a declaration, and
  // comparing ids on every call would cost more than the call): the address
  // and the table's index in one word, so that no reader sees one without
  // the other.
  static constexpr int kRecent = 8;
  mutable std::atomic<std::uint64_t> recent_[kRecent] = {};
  // The table of `iface`, or -1.
  Int FindTable(const InterfaceDecl& iface) const noexcept;
  std::size_t size_ = 0;
  bool hierarchical_ = false;  // it has the hierarchy component: a copy takes the subtree
  // Counted when objects are made and freed: the shares of ended threads
  // (each running thread keeps its own share, internal ledger).
  mutable std::atomic<Int> live_{0};
};

namespace detail {
// The shape of a member function: its class, return type, parameters.
template <class M>
struct MemberShape;
#define NORVO_MEMBER_SHAPE(QUALIFIERS)            \
  template <class R, class C, class... A>         \
  struct MemberShape<R (C::*)(A...) QUALIFIERS> { \
    using Class = C;                              \
    using Return = R;                             \
    using Params = std::tuple<A...>;              \
  };
NORVO_MEMBER_SHAPE()
NORVO_MEMBER_SHAPE(const)
NORVO_MEMBER_SHAPE(noexcept)
NORVO_MEMBER_SHAPE(const noexcept)
#undef NORVO_MEMBER_SHAPE

template <class Fn>
struct SlotShape;
template <class R, class... A>
struct SlotShape<R (*)(Object&, void*, A...)> {
  using Return = R;
  using Params = std::tuple<A...>;
  using ParamsWithObject = std::tuple<Object&, A...>;
};

// A member fits a slot when it returns the slot's type and takes exactly the
// slot's arguments, optionally after the object itself.
template <class Fn, auto Member>
constexpr bool kMemberFitsSlot =
    std::is_same_v<typename MemberShape<decltype(Member)>::Return, typename SlotShape<Fn>::Return> &&
    (std::is_same_v<typename MemberShape<decltype(Member)>::Params, typename SlotShape<Fn>::Params> ||
     std::is_same_v<typename MemberShape<decltype(Member)>::Params, typename SlotShape<Fn>::ParamsWithObject>);

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

template <class Fn, class G>
constexpr bool kFunctionFitsStatic = false;
template <class R, class... A, class R2, class... A2>
constexpr bool kFunctionFitsStatic<R (*)(A...), R2 (*)(A2...) noexcept> =
    (std::is_same_v<R, R2> && std::is_same_v<std::tuple<A...>, std::tuple<A2...>>);
template <class R, class... A, class R2, class... A2>
constexpr bool kFunctionFitsStatic<R (*)(A...), R2 (*)(A2...)> = (std::is_same_v<R, R2> &&
                                                                  std::is_same_v<std::tuple<A...>, std::tuple<A2...>>);

template <std::size_t... Slots>
consteval bool AllDistinct() {
  constexpr std::size_t slots[] = {Slots..., 0};
  for (std::size_t i = 0; i < sizeof...(Slots); ++i)
    for (std::size_t j = i + 1; j < sizeof...(Slots); ++j)
      if (slots[i] == slots[j]) return false;
  return true;
}
}  // namespace detail

// The method body `Member` (a member function of a component type) as the
// slot type `Fn` of an interface: (Object&, component data, arguments...).
// The member may take the object as its first parameter to reach sibling
// components. Its return and parameter types must be exactly the slot's.
template <class Fn, auto Member>
MethodFn Bind() noexcept {
  static_assert(detail::kMemberFitsSlot<Fn, Member>, "the method's type does not fit the slot");
  using C = typename detail::MemberShape<decltype(Member)>::Class;
  Fn fn = &detail::Thunk<Fn, Member>::template Call<C>;
  return reinterpret_cast<MethodFn>(fn);
}

// A static method as a MethodFn.
template <class Fn>
MethodFn BindStatic(Fn fn) noexcept {
  return reinterpret_cast<MethodFn>(fn);
}

// Names the slot `S` that the member `Member` fills, for BindInterface; Bind
// checks the member against the slot's type.
template <std::size_t S, auto Member>
struct Method {
  static constexpr std::size_t kSlot = S;
  template <class I>
  static MethodFn Make() noexcept {
    return Bind<SlotFn<I, S>, Member>();
  }
};

// Names the static method `S` that the function `Function` implements, for
// BindStatics.
template <std::size_t S, auto Function>
struct StaticMethod {
  static constexpr std::size_t kSlot = S;
  template <class I>
  static MethodFn Make() noexcept {
    using Fn = StaticSlotFn<I, S>;
    static_assert(detail::kFunctionFitsStatic<Fn, decltype(Function)>, "the function's type does not fit the static");
    return reinterpret_cast<MethodFn>(static_cast<Fn>(Function));
  }
};

namespace detail {
// The table of `kCount` entries with each named entry at its slot, made once
// per instantiation.
template <class I, std::size_t kCount, class... Entries>
std::span<const MethodFn> SlotArray() noexcept {
  static_assert(AllDistinct<Entries::kSlot...>(), "a slot is bound twice");
  static const std::array<MethodFn, kCount> table = [] {
    std::array<MethodFn, kCount> entries{};
    ((entries[Entries::kSlot] = Entries::template Make<I>()), ...);
    return entries;
  }();
  return table;
}
}  // namespace detail

// The binding of interface `I` made of the named slots `Methods`; the slots
// not named stay with earlier components. Each slot is named at most once and
// each method is checked against its slot's type when this compiles.
template <class I, class... Methods>
InterfaceBinding BindInterface() noexcept {
  constexpr std::size_t kCount = std::remove_cvref_t<decltype(I::kSlots)>::kCount;
  return {&I::kDecl, detail::SlotArray<I, kCount, Methods...>()};
}

// The static methods of interface `I`, for a StaticImpl: every one must be
// named, once.
template <class I, class... Statics>
std::span<const MethodFn> BindStatics() noexcept {
  constexpr std::size_t kCount = std::remove_cvref_t<decltype(I::kStaticSlots)>::kCount;
  static_assert(sizeof...(Statics) == kCount, "every static method must be bound");
  return detail::SlotArray<I, kCount, Statics...>();
}

}  // namespace norvo
