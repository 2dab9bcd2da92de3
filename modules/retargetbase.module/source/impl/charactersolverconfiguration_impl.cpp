#include "charactersolverconfiguration_impl.h"

#include "unit_registration.h"

namespace norvo::retargetbase {

using I = CharacterSolverConfigurationInterface;

namespace {
template <class Ref>
void Store(Ref& member, const Ref& value) noexcept {
  if (!(member == value)) member = value;
}
}  // namespace

Result<void> CharacterSolverConfigurationImpl::SetSourceCharacter(const CharacterDefinition& character) noexcept {
  Store(_sourceCharacter, character);
  return {};
}

Result<void> CharacterSolverConfigurationImpl::SetTargetCharacter(const CharacterDefinition& character) noexcept {
  Store(_targetCharacter, character);
  return {};
}

Result<void> CharacterSolverConfigurationImpl::SetCharacterAssociation(
    const CharacterAssociation& association) noexcept {
  Store(_associationSourceTarget, association);
  return {};
}

Result<void> CharacterSolverConfigurationImpl::Setup(Object& self, const CharacterDefinition& source,
                                                     const CharacterDefinition& target,
                                                     const CharacterAssociation& association) noexcept {
  // The arguments may be this configuration's own members (a caller swapping
  // source and target); the first setter would change what the second reads.
  CharacterDefinition newSource = source, newTarget = target;
  CharacterAssociation newAssociation = association;
  NORVO_RETURN_IF_ERROR(InvokeMethod<I::SetCharacterFn>(&self, I::kDecl, I::kSetSourceCharacter, newSource));
  NORVO_RETURN_IF_ERROR(InvokeMethod<I::SetCharacterFn>(&self, I::kDecl, I::kSetTargetCharacter, newTarget));
  return InvokeMethod<I::SetAssociationFn>(&self, I::kDecl, I::kSetCharacterAssociation, newAssociation);
}

Result<void> CharacterSolverConfigurationImpl::Validate() const noexcept {
  if (!_sourceCharacter) return UnexpectedError("Invalid Source Character");
  if (!_targetCharacter) return UnexpectedError("Invalid Target Character");
  return {};
}

String CharacterSolverConfigurationImpl::ToString(const FormatStatement*) const noexcept {
  TextBuilder text;
  text.Piece({"Source Character : ", _sourceCharacter.GetName().View(), "\n"});
  text.Piece({"Target Character : ", _targetCharacter.GetName().View(), "\n"});
  return text.Take();
}

Result<void> CharacterSolverConfigurationImpl::DescribeIO(DataSerializeInterface& stream) noexcept {
  using Impl = CharacterSolverConfigurationImpl;
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("_sourceCharacter", CharacterDefinitionInterface::kDataTypeName,
                                               NORVO_MEMBER(Impl, _sourceCharacter), nullptr, 0));
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("_targetCharacter", CharacterDefinitionInterface::kDataTypeName,
                                               NORVO_MEMBER(Impl, _targetCharacter), nullptr, 0));
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("_associationSourceTarget",
                                               CharacterAssociationInterface::kDataTypeName,
                                               NORVO_MEMBER(Impl, _associationSourceTarget), nullptr, 0));
  return stream.DescribeElement("_applyTranslationToRoot", datatype::kBool,
                                NORVO_MEMBER(Impl, _applyTranslationToRoot), nullptr, 0);
}

const ComponentInfo& CharacterSolverConfigurationImpl::Component() noexcept {
  using Impl = CharacterSolverConfigurationImpl;
  static const MethodFn toString = Bind<I::ToStringFn, &Impl::ToString>();
  static const MethodFn objectSlots[] = {toString};
  static const MethodFn configurationSlots[] = {
      Bind<I::SetCharacterFn, &Impl::SetSourceCharacter>(),
      Bind<I::GetCharacterFn, &Impl::GetSourceCharacter>(),
      Bind<I::SetCharacterFn, &Impl::SetTargetCharacter>(),
      Bind<I::GetCharacterFn, &Impl::GetTargetCharacter>(),
      Bind<I::SetAssociationFn, &Impl::SetCharacterAssociation>(),
      Bind<I::GetAssociationFn, &Impl::GetCharacterAssociation>(),
      Bind<I::SetupFn, &Impl::Setup>(),
      Bind<I::SetFlagFn, &Impl::SetApplyTranslationFromRoot>(),
      Bind<I::GetFlagFn, &Impl::GetApplyTranslationFromRoot>(),
      Bind<I::ValidateFn, &Impl::Validate>(),
      toString,
  };
  static const InterfaceBinding bindings[] = {{&ObjectInterface::kDecl, objectSlots},
                                              {&I::kDecl, configurationSlots}};
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings, &Impl::DescribeIO);
  return component;
}

Result<void> RegisterCharacterSolverConfiguration(ModuleContext& context) noexcept {
  static const MethodFn statics[] = {BindStatic<I::DescribeIOFn>(&CharacterSolverConfigurationImpl::DescribeIO)};
  static const StaticImpl impl{"CharacterSolverConfigurationImpl", 0x50000000, statics};
  static constexpr ClassPart parts[] = {{ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, CharacterSolverConfigurationImpl::Component(), parts, I::kDecl, impl);
}

}  // namespace norvo::retargetbase
