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
  static const InterfaceBinding bindings[] = {
      BindInterface<ObjectInterface, Method<ObjectInterface::kToString, &Impl::ToString>>(),
      BindInterface<I, Method<I::kSetBodyPartIdentifier, &Impl::SetBodyPartIdentifier>,
                    Method<I::kGetBodyPartIdentifier, &Impl::GetBodyPartIdentifier>,
                    Method<I::kSetBodyPartWeight, &Impl::SetBodyPartWeight>,
                    Method<I::kGetBodyPartWeight, &Impl::GetBodyPartWeight>, Method<I::kToString, &Impl::ToString>>(),
  };
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings, &Impl::DescribeIO);
  return component;
}

Result<void> RegisterCharacterBodyPartSolverSetting(ModuleContext& context) noexcept {
  using Impl = CharacterBodyPartSolverSettingImpl;
  const StaticImpl& statics =
      StaticsOf<I, StaticMethod<I::kCreateBodyPartSolverSetting, &Impl::CreateBodyPartSolverSetting>,
                StaticMethod<I::kDescribeIO, &Impl::DescribeIO>>("CharacterBodyPartSolverSettingImpl");
  static constexpr ClassPart parts[] = {{ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, Impl::Component(), parts, I::kDecl, statics);
}

}  // namespace norvo::retargetbase
