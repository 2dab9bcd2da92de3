// The register unit of "net.norvo.retargetbase.framework": declares its
// eleven interfaces, each with its static-method record, to the host.
#pragma once
#include <span>

#include "norvo/object.h"
#include "norvo/registry.h"

namespace norvo::retargetbase {

inline constexpr std::string_view kFrameworkId = "net.norvo.retargetbase.framework";

// The eleven interfaces, in the order they are declared.
std::span<const InterfaceDecl* const> PublishedInterfaces() noexcept;

Result<void> RegisterInterfaces(ModuleContext& context) noexcept;

}  // namespace norvo::retargetbase
