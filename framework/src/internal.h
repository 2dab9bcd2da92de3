// Framework internals shared by its units; not installed.
#pragma once
#include <string_view>

#include "norvo/object.h"

namespace norvo::internal {

// The registered class `classId`, or nullptr.
const Class* FindClass(std::string_view classId) noexcept;
// The registered class `classId`, composed: UnresolvedError for an unknown
// class, or the error of its composition.
Result<const Class*> FindComposedClass(std::string_view classId) noexcept;
// The interface a registered data type name stands for, or nullptr.
const InterfaceDecl* FindDataType(std::string_view name) noexcept;

}  // namespace norvo::internal
