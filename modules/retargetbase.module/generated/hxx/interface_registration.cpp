#include "interface_registration.h"

#include "norvo/retargetbase.h"

namespace norvo::retargetbase {

Result<void> RegisterDataTypeNames(ModuleContext& context) noexcept {
  struct Entry {
    std::string_view name;
    const InterfaceDecl* iface;
  };
  static constexpr Entry kDataTypes[] = {
      {CharacterAssociationInterface::kDataTypeName, &CharacterAssociationInterface::kDecl},
      {CharacterNodeInfoInterface::kDataTypeName, &CharacterNodeInfoInterface::kDecl},
      {CharacterSolverConfigurationInterface::kDataTypeName, &CharacterSolverConfigurationInterface::kDecl},
      {CharacterBodyPartInterface::kDataTypeName, &CharacterBodyPartInterface::kDecl},
      {CharacterNodeTransformInterface::kDataTypeName, &CharacterNodeTransformInterface::kDecl},
      {CharacterTreeInterface::kDataTypeName, &CharacterTreeInterface::kDecl},
      {CharacterBodyPartSolverSettingInterface::kDataTypeName, &CharacterBodyPartSolverSettingInterface::kDecl},
      {CharacterPoseInterface::kDataTypeName, &CharacterPoseInterface::kDecl},
      {RetargetBaseHelperInterface::kDataTypeName, &RetargetBaseHelperInterface::kDecl},
      {CharacterDefinitionInterface::kDataTypeName, &CharacterDefinitionInterface::kDecl},
      {CharacterSolverInterface::kDataTypeName, &CharacterSolverInterface::kDecl},
  };
  for (const Entry& entry : kDataTypes)
    NORVO_RETURN_IF_ERROR(context.RegisterDataType(entry.name, *entry.iface, kDataTypeRegistrationWord));
  return {};
}

}  // namespace norvo::retargetbase
