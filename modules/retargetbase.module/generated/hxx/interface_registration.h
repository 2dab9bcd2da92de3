// Data type names of the module's public types, announced first at start-up.
#pragma once
#include "norvo/registry.h"

namespace norvo::retargetbase {

inline constexpr std::uint32_t kDataTypeRegistrationWord = 0x40000;

// Announces the eleven data type names, each bound to its interface.
Result<void> RegisterDataTypeNames(ModuleContext& context) noexcept;

}  // namespace norvo::retargetbase
