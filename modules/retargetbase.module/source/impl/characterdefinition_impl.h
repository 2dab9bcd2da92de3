// CharacterDefinitionImpl: the trees, controllers and rest poses of one
// character. It follows the node info component in its class.
#pragma once
#include "norvo/characterdefinition.h"
#include "norvo/registry.h"

namespace norvo::retargetbase {

class CharacterDefinitionImpl {
 public:
  // A copy gets copies of both trees, whole subtrees included, shares the
  // two poses and copies the controllers. A failing tree copy leaves that
  // member empty and ends the copy with its error.
  Result<void> CopyFrom(const CharacterDefinitionImpl& source) noexcept;

  const CharacterTreeRef& GetSkeletonTree() const noexcept { return _skeletonRoot; }
  Result<void> SetSkeletonTree(const CharacterTreeRef& tree) noexcept;
  const CharacterBodyPartRef& GetBodyPartTree() const noexcept { return _bodyPartRoot; }
  Result<void> SetBodyPartTree(const CharacterBodyPartRef& tree) noexcept;
  // Keeps the controllers it had when memory runs out.
  Result<void> SetControllers(const BaseArray<Uuid>& controllers) noexcept {
    return _controllers.CopyFrom(controllers);
  }
  const BaseArray<Uuid>& GetControllers() const noexcept { return _controllers; }
  Result<void> SetSkeletonRestPose(const CharacterPose& pose) noexcept;
  const CharacterPose& GetSkeletonRestPose() const noexcept { return _skeletonRestPose; }
  Result<void> SetControllersRestPose(const CharacterPose& pose) noexcept;
  const CharacterPose& GetControllersRestPose() const noexcept { return _controllersRestPose; }
  // The node info text of the definition only.
  String ToString(Object& self, const FormatStatement* format) const noexcept;

  static const ComponentInfo& Component() noexcept;
  static Result<void> DescribeIO(DataSerializeInterface& stream) noexcept;

 private:
  CharacterTreeRef _skeletonRoot;
  CharacterBodyPartRef _bodyPartRoot;
  CharacterPose _skeletonRestPose;
  BaseArray<Uuid> _controllers;
  CharacterPose _controllersRestPose;
};

Result<void> RegisterCharacterDefinition(ModuleContext& context) noexcept;

}  // namespace norvo::retargetbase
