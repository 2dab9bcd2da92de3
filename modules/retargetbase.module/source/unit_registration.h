// What every implementation unit registers at start-up, in this order: its
// component, its class and its static-method implementation.
#pragma once
#include <span>
#include <string_view>

#include "norvo/registry.h"

namespace norvo::retargetbase {

// The kind word of a static-method implementation follows the interface's
// reference kind: 0x50000000 for a copy-on-write value, 0x30000000 for a
// strong reference.
constexpr std::uint32_t StaticKindWord(const InterfaceDecl& iface) noexcept {
  return iface.refKind == RefKind::CopyOnWrite ? 0x50000000u : 0x30000000u;
}

// The static-method implementation `name` of interface `I`, every static
// method named once (see BindStatics).
template <class I, class... Statics>
const StaticImpl& StaticsOf(std::string_view name) noexcept {
  static const StaticImpl impl{name, StaticKindWord(I::kDecl), BindStatics<I, Statics...>()};
  return impl;
}


inline Result<void> RegisterUnit(ModuleContext& context, const ComponentInfo& component,
                                 std::span<const ClassPart> parts, const InterfaceDecl& iface,
                                 const StaticImpl& statics) noexcept {
  NORVO_RETURN_IF_ERROR(context.RegisterComponent(component));
  NORVO_RETURN_IF_ERROR(context.RegisterClass(component.id, parts));
  return context.RegisterStaticImpl(iface, statics);
}

}  // namespace norvo::retargetbase
