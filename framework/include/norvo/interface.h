// Interfaces and static calls. An interface is declared once, in a struct
// that holds its declaration (`kDecl`), its slot table (`kSlots`: the name
// and function type of each instance method, in slot order) and the table of
// its static methods (`kStaticSlots`). The names that callers use (`kMethods`,
// `kStatics`, `enum Slot`, `enum Static`) are derived from these tables, so
// the names, the count and the types cannot drift apart.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "norvo/hash.h"
#include "norvo/result.h"
#include "norvo/string.h"
#include "norvo/types.h"

namespace norvo {

class Object;

using MethodFn = void (*)();

enum class RefKind : std::uint8_t { CopyOnWrite, Strong };

constexpr UInt HashId(std::string_view text) noexcept { return Fnv1aHash(text); }

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

// One entry of a slot table: a method's name and, as the template argument,
// its function type.
template <class Fn>
struct SlotDecl {
  std::string_view name;
};

// The methods of an interface in slot order: names, and function types by
// index (`Fn<slot>`). Written as `static constexpr SlotTable kSlots{...}`, so
// the types are deduced from the entries.
template <class... Fns>
struct SlotTable {
  static constexpr std::size_t kCount = sizeof...(Fns);
  std::array<std::string_view, sizeof...(Fns)> names;

  constexpr SlotTable(SlotDecl<Fns>... slots) noexcept : names{slots.name...} {}

  template <std::size_t S>
  using Fn = std::tuple_element_t<S, std::tuple<Fns...>>;

  // The slot of `name`; a name that is not in the table does not compile.
  consteval std::size_t Index(std::string_view name) const {
    for (std::size_t i = 0; i < names.size(); ++i)
      if (names[i] == name) return i;
    throw "no slot has this name";
  }
};

// The function type of slot `S` (static method `S`) of interface `I`.
template <class I, std::size_t S>
using SlotFn = typename std::remove_cvref_t<decltype(I::kSlots)>::template Fn<S>;
template <class I, std::size_t S>
using StaticSlotFn = typename std::remove_cvref_t<decltype(I::kStaticSlots)>::template Fn<S>;

// ObjectInterface: every object answers it; its one slot is ToString.
struct ObjectInterface {
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  static constexpr SlotTable kSlots{SlotDecl<ToStringFn>{"ToString"}};
  static constexpr auto& kMethods = kSlots.names;
  static constexpr InterfaceDecl kDecl{
      "net.norvo.interface.object", "norvo.ObjectInterface", {}, RefKind::Strong, 0, kMethods};
  enum Slot : std::size_t { kToString = kSlots.Index("ToString") };
};

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

namespace detail {
template <class R>
struct IsResult : std::false_type {};
template <class T>
struct IsResult<Result<T>> : std::true_type {};

template <class Fn>
struct StaticTraits;
template <class R, class... A>
struct StaticTraits<R (*)(A...)> {
  using Return = R;
};
}  // namespace detail

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
                                                         const InterfaceDecl& iface, std::size_t index, A&&... args) {
  const StaticImpl* impl = FindStaticImpl(iface);
  if (!impl || index >= impl->methods.size() || !impl->methods[index]) {
    ReportUnresolved(iface);
    return fallback;
  }
  return reinterpret_cast<Fn>(impl->methods[index])(std::forward<A>(args)...);
}

}  // namespace norvo
