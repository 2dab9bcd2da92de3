#include "characterbodypartsolversetting_impl.h"

#include "norvo/number.h"
#include "unit_registration.h"

namespace norvo::retargetbase {

using I = CharacterBodyPartSolverSettingInterface;

Result<void> CharacterBodyPartSolverSettingImpl::SetBodyPartIdentifier(InternedId identifier) noexcept {
  if (!(identifier == _identifier)) _identifier = std::move(identifier);
  return {};
}

String CharacterBodyPartSolverSettingImpl::ToString(const FormatStatement*) const noexcept {
  char weight[kFloatTextCapacity];
  std::size_t length = FormatFloat(weight, _weight, -1, -3, false, ' ');
  TextBuilder text;
  text.Piece({"Identifier : ", _identifier.View(), "\n"});
  text.Piece({"Weight : ", std::string_view(weight, length), "\n"});
  return text.Take();
}

Result<void> CharacterBodyPartSolverSettingImpl::DescribeIO(DataSerializeInterface& stream) noexcept {
  using Impl = CharacterBodyPartSolverSettingImpl;
  NORVO_RETURN_IF_ERROR(
      stream.DescribeElement("_identifier", datatype::kInternedId, NORVO_MEMBER(Impl, _identifier), nullptr, 0));
  return stream.DescribeElement("_weight", datatype::kFloat64, NORVO_MEMBER(Impl, _weight), nullptr, 0);
}

Result<CharacterBodyPartSolverSetting> CharacterBodyPartSolverSettingImpl::CreateBodyPartSolverSetting(
    const InternedId& identifier, Float64 weight) noexcept {
  NORVO_ASSIGN_OR_RETURN(CharacterBodyPartSolverSetting setting, CharacterBodyPartSolverSetting::Create(I::kClassId));
  NORVO_RETURN_IF_ERROR(setting.SetBodyPartIdentifier(identifier));
  NORVO_RETURN_IF_ERROR(setting.SetBodyPartWeight(weight));
  return setting;
}

const ComponentInfo& CharacterBodyPartSolverSettingImpl::Component() noexcept {
  using Impl = CharacterBodyPartSolverSettingImpl;
  static const MethodFn toString = Bind<I::ToStringFn, &Impl::ToString>();
  static const MethodFn objectSlots[] = {toString};
  static const MethodFn settingSlots[] = {
      Bind<I::SetBodyPartIdentifierFn, &Impl::SetBodyPartIdentifier>(),
      Bind<I::GetBodyPartIdentifierFn, &Impl::GetBodyPartIdentifier>(),
      Bind<I::SetBodyPartWeightFn, &Impl::SetBodyPartWeight>(),
      Bind<I::GetBodyPartWeightFn, &Impl::GetBodyPartWeight>(),
      toString,
  };
  static const InterfaceBinding bindings[] = {{&ObjectInterface::kDecl, objectSlots}, {&I::kDecl, settingSlots}};
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings, &Impl::DescribeIO);
  return component;
}

Result<void> RegisterCharacterBodyPartSolverSetting(ModuleContext& context) noexcept {
  static const MethodFn statics[] = {
      BindStatic<I::CreateBodyPartSolverSettingFn>(&CharacterBodyPartSolverSettingImpl::CreateBodyPartSolverSetting),
      BindStatic<I::DescribeIOFn>(&CharacterBodyPartSolverSettingImpl::DescribeIO)};
  static const StaticImpl impl{"CharacterBodyPartSolverSettingImpl", 0x50000000, statics};
  static constexpr ClassPart parts[] = {{ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, CharacterBodyPartSolverSettingImpl::Component(), parts, I::kDecl, impl);
}

}  // namespace norvo::retargetbase
