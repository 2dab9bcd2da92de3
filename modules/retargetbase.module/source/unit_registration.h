// What every implementation unit registers at start-up, in this order: its
// component, its class and its static-method implementation.
#pragma once
#include <span>

#include "norvo/registry.h"

namespace norvo::retargetbase {

inline Result<void> RegisterUnit(ModuleContext& context, const ComponentInfo& component,
                                 std::span<const ClassPart> parts, const InterfaceDecl& iface,
                                 const StaticImpl& statics) noexcept {
  NORVO_RETURN_IF_ERROR(context.RegisterComponent(component));
  NORVO_RETURN_IF_ERROR(context.RegisterClass(component.id, parts));
  return context.RegisterStaticImpl(iface, statics);
}

}  // namespace norvo::retargetbase
