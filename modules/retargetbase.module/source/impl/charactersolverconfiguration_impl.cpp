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
  NORVO_RETURN_IF_ERROR(stream.DescribeElement("_associationSourceTarget", CharacterAssociationInterface::kDataTypeName,
                                               NORVO_MEMBER(Impl, _associationSourceTarget), nullptr, 0));
  return stream.DescribeElement("_applyTranslationToRoot", datatype::kBool, NORVO_MEMBER(Impl, _applyTranslationToRoot),
                                nullptr, 0);
}

const ComponentInfo& CharacterSolverConfigurationImpl::Component() noexcept {
  using Impl = CharacterSolverConfigurationImpl;
  static const InterfaceBinding bindings[] = {
      BindInterface<ObjectInterface, Method<ObjectInterface::kToString, &Impl::ToString>>(),
      BindInterface<I, Method<I::kSetSourceCharacter, &Impl::SetSourceCharacter>,
                    Method<I::kGetSourceCharacter, &Impl::GetSourceCharacter>,
                    Method<I::kSetTargetCharacter, &Impl::SetTargetCharacter>,
                    Method<I::kGetTargetCharacter, &Impl::GetTargetCharacter>,
                    Method<I::kSetCharacterAssociation, &Impl::SetCharacterAssociation>,
                    Method<I::kGetCharacterAssociation, &Impl::GetCharacterAssociation>,
                    Method<I::kSetup, &Impl::Setup>,
                    Method<I::kSetApplyTranslationFromRoot, &Impl::SetApplyTranslationFromRoot>,
                    Method<I::kGetApplyTranslationFromRoot, &Impl::GetApplyTranslationFromRoot>,
                    Method<I::kValidate, &Impl::Validate>, Method<I::kToString, &Impl::ToString>>(),
  };
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings, &Impl::DescribeIO);
  return component;
}

Result<void> RegisterCharacterSolverConfiguration(ModuleContext& context) noexcept {
  using Impl = CharacterSolverConfigurationImpl;
  const StaticImpl& statics =
      StaticsOf<I, StaticMethod<I::kDescribeIO, &Impl::DescribeIO>>("CharacterSolverConfigurationImpl");
  static constexpr ClassPart parts[] = {{ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, Impl::Component(), parts, I::kDecl, statics);
}

}  // namespace norvo::retargetbase
