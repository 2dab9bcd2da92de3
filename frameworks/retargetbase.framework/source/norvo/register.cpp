#include "norvo/register.h"

#include "norvo/retargetbase.h"

namespace norvo::retargetbase {

std::span<const InterfaceDecl* const> PublishedInterfaces() noexcept {
  static constexpr const InterfaceDecl* kInterfaces[] = {
      &CharacterAssociationInterface::kDecl,
      &CharacterNodeInfoInterface::kDecl,
      &CharacterSolverConfigurationInterface::kDecl,
      &CharacterBodyPartInterface::kDecl,
      &CharacterNodeTransformInterface::kDecl,
      &CharacterTreeInterface::kDecl,
      &CharacterBodyPartSolverSettingInterface::kDecl,
      &CharacterPoseInterface::kDecl,
      &RetargetBaseHelperInterface::kDecl,
      &CharacterDefinitionInterface::kDecl,
      &CharacterSolverInterface::kDecl,
  };
  return kInterfaces;
}

Result<void> RegisterInterfaces(ModuleContext& context) noexcept {
  for (const InterfaceDecl* iface : PublishedInterfaces()) NORVO_RETURN_IF_ERROR(context.DeclareInterface(*iface));
  return {};
}

}  // namespace norvo::retargetbase
