// The module unit: the exported module record and the start-up, which runs
// the registrations in their fixed order. The loader runs the arranged
// releases in reverse at unload.
#include "impl/characterassociation_impl.h"
#include "impl/characterbodypart_impl.h"
#include "impl/characterbodypartsolversetting_impl.h"
#include "impl/characterdefinition_impl.h"
#include "impl/characternodeinfo_impl.h"
#include "impl/characternodetransform_impl.h"
#include "impl/characterpose_impl.h"
#include "impl/charactersolver_impl.h"
#include "impl/charactersolverconfiguration_impl.h"
#include "impl/charactertree_impl.h"
#include "impl/retargetbasehelper_impl.h"
#include "interface_registration.h"
#include "norvo/register.h"

namespace norvo::retargetbase {
namespace {

constexpr std::string_view kModuleId = "net.norvo.retargetbase";

constexpr std::string_view kFrameworkDependencies[] = {
    "net.norvo.animation_base_private.framework",
    "net.norvo.core.framework",
    "net.norvo.math.framework",
    "net.norvo.norvo.framework",
    "net.norvo.misc.framework",
    "net.norvo.retargetbase.framework",
};

// The implementation units, in their registration order.
constexpr Result<void> (*kUnits[])(ModuleContext&) noexcept = {
    RegisterCharacterAssociation, RegisterCharacterBodyPart,  RegisterCharacterBodyPartSolverSetting,
    RegisterCharacterDefinition,  RegisterCharacterNodeInfo,  RegisterCharacterNodeTransform,
    RegisterCharacterPose,        RegisterCharacterSolver,    RegisterCharacterSolverConfiguration,
    RegisterCharacterTree,        RegisterRetargetBaseHelper,
};

Result<void> Start(ModuleContext& context) noexcept {
  NORVO_RETURN_IF_ERROR(RegisterDataTypeNames(context));
  for (std::string_view framework : kFrameworkDependencies) NORVO_RETURN_IF_ERROR(context.DeclareFramework(framework));
  NORVO_RETURN_IF_ERROR(context.RegisterModuleId(kModuleId));
  for (auto unit : kUnits) NORVO_RETURN_IF_ERROR(unit(context));
  return RegisterInterfaces(context);
}

}  // namespace
}  // namespace norvo::retargetbase

extern "C" {
__attribute__((visibility("default")))
norvo::ModuleInfo g_norvo = {norvo::kModuleInfoVersion, nullptr, &norvo::retargetbase::Start};
}
