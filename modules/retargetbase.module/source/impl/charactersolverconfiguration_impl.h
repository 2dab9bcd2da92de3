// CharacterSolverConfigurationImpl: the source and target characters of one
// retargeting run, their association and the apply-translation flag. It
// stores what it is given and checks nothing but the presence of the two
// characters, on request.
#pragma once
#include "norvo/charactersolverconfiguration.h"
#include "norvo/registry.h"

namespace norvo::retargetbase {

class CharacterSolverConfigurationImpl {
 public:
  // Storing the object already stored changes nothing; no setter fails.
  Result<void> SetSourceCharacter(const CharacterDefinition& character) noexcept;
  Result<const CharacterDefinition&> GetSourceCharacter() const noexcept { return _sourceCharacter; }
  Result<void> SetTargetCharacter(const CharacterDefinition& character) noexcept;
  Result<const CharacterDefinition&> GetTargetCharacter() const noexcept { return _targetCharacter; }
  Result<void> SetCharacterAssociation(const CharacterAssociation& association) noexcept;
  Result<const CharacterAssociation&> GetCharacterAssociation() const noexcept { return _associationSourceTarget; }
  // The three setters through the object's own interface, in this order; the
  // first error is returned. The flag is left alone.
  Result<void> Setup(Object& self, const CharacterDefinition& source, const CharacterDefinition& target,
                     const CharacterAssociation& association) noexcept;
  void SetApplyTranslationFromRoot(Bool value) noexcept { _applyTranslationToRoot = value; }
  Bool GetApplyTranslationFromRoot() const noexcept { return _applyTranslationToRoot; }
  // UnexpectedError "Invalid Source Character", then "Invalid Target Character".
  Result<void> Validate() const noexcept;
  // "Source Character : " name "\n" "Target Character : " name "\n".
  String ToString(const FormatStatement* format) const noexcept;

  static const ComponentInfo& Component() noexcept;
  static Result<void> DescribeIO(DataSerializeInterface& stream) noexcept;

 private:
  CharacterDefinition _sourceCharacter;
  CharacterDefinition _targetCharacter;
  CharacterAssociation _associationSourceTarget;
  Bool _applyTranslationToRoot = false;
};

Result<void> RegisterCharacterSolverConfiguration(ModuleContext& context) noexcept;

}  // namespace norvo::retargetbase
