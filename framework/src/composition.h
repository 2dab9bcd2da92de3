// The composition of classes, which only the registries use: a class is
// created with its parts, composed in steps (AppendAllOf / AppendComponent
// for each part in order, then Finalize), and undone with Decompose when a
// step fails.
#pragma once
#include <span>
#include <string_view>

#include "norvo/component.h"

namespace norvo::internal {

struct ClassComposition {
  static Result<Class*> Create(std::string_view id, std::span<const ClassPart> parts) noexcept;
  static void Destroy(Class* cls) noexcept;
  static Result<void> AppendAllOf(Class& cls, const Class& other) noexcept;
  static Result<void> AppendComponent(Class& cls, const ComponentInfo& component) noexcept;
  // Lays out the components and builds the method tables. A binding with
  // more slots than its interface is refused.
  static Result<void> Finalize(Class& cls) noexcept;
  static void Decompose(Class& cls) noexcept;
};

}  // namespace norvo::internal
