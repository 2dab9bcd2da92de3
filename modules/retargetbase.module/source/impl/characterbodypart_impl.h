// CharacterBodyPartImpl: identifier, name, controllers, skeleton nodes and
// keywords of a body part. It follows the hierarchy object and node info
// components in its class; its name for every operation is the hierarchy
// object's observer-object name, while `_name` is only printed and stored.
#pragma once
#include "norvo/characterbodypart.h"
#include "norvo/registry.h"

namespace norvo::retargetbase {

class CharacterBodyPartImpl {
 public:
  // Copies every member; the arrays element by element.
  Result<void> CopyFrom(const CharacterBodyPartImpl& source) noexcept;

  Result<void> SetIdentifier(const InternedId& identifier) noexcept;
  Result<InternedId> GetIdentifier() const noexcept { return _identifier; }
  // The array setters keep the array they had when memory runs out.
  Result<void> SetControllers(const BaseArray<Uuid>& uuids) noexcept { return _controllers.CopyFrom(uuids); }
  Result<const BaseArray<Uuid>&> GetControllers() const noexcept { return _controllers; }
  Result<void> SetSkeleton(const BaseArray<Uuid>& uuids) noexcept { return _skeletonNodes.CopyFrom(uuids); }
  Result<const BaseArray<Uuid>&> GetSkeleton() const noexcept { return _skeletonNodes; }
  Result<BaseArray<Uuid>> GetHierarchySkeleton(Object& self) const noexcept;
  Result<void> ClearSkeleton(Object& self, Bool recursive) noexcept;
  Result<Int> GetSkeletonCount(Object& self, Bool recursive) const noexcept;
  Result<void> SetSkeletonKeywords(const BaseArray<String>& keywords) noexcept {
    return _skeletonKeywords.CopyFrom(keywords);
  }
  Result<void> SetSkeletonDiscardKeywords(const BaseArray<String>& keywords) noexcept {
    return _skeletonDiscardKeywords.CopyFrom(keywords);
  }
  Result<const BaseArray<String>&> GetSkeletonKeywords() const noexcept { return _skeletonKeywords; }
  Result<const BaseArray<String>&> GetSkeletonDiscardKeywords() const noexcept { return _skeletonDiscardKeywords; }
  Result<CharacterBodyPartRef> FindBodyPartByID(Object& self, const InternedId& identifier) const noexcept;
  Result<CharacterBodyPartRef> FindBodyPartByName(Object& self, const String& name) const noexcept;
  String ToString(const FormatStatement* format) const noexcept;

  static const ComponentInfo& Component() noexcept;
  static Result<void> DescribeIO(DataSerializeInterface& stream) noexcept;
  static Result<CharacterBodyPartRef> CreateBodyPart(const InternedId& identifier, const String& name) noexcept;

 private:
  // Released in reverse order: the arrays, the name, the identifier.
  InternedId _identifier;
  String _name;
  BaseArray<Uuid> _controllers;
  BaseArray<Uuid> _skeletonNodes;
  BaseArray<String> _skeletonKeywords;
  BaseArray<String> _skeletonDiscardKeywords;
};

Result<void> RegisterCharacterBodyPart(ModuleContext& context) noexcept;

}  // namespace norvo::retargetbase
