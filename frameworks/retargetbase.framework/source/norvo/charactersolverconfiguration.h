// CharacterSolverConfiguration: the source and target characters of one
// retargeting run, their association and one option flag. A copy-on-write
// value. It stores the objects it is given (shared, and storing the one
// already stored changes nothing), checks nothing on its own, and a private
// copy shares the three objects and copies the flag. The flag is read and
// written as "ApplyTranslationFromRoot" and described as
// "_applyTranslationToRoot"; nothing in the module reads it.
#pragma once
#include "norvo/characterassociation.h"
#include "norvo/characterdefinition.h"

namespace norvo {

struct CharacterSolverConfigurationInterface {
  static constexpr const InterfaceDecl* kBases[] = {&ObjectInterface::kDecl};
  using SetCharacterFn = Result<void> (*)(Object&, void*, const CharacterDefinition&);
  using GetCharacterFn = Result<const CharacterDefinition&> (*)(Object&, void*);
  using SetAssociationFn = Result<void> (*)(Object&, void*, const CharacterAssociation&);
  using GetAssociationFn = Result<const CharacterAssociation&> (*)(Object&, void*);
  using SetupFn = Result<void> (*)(Object&, void*, const CharacterDefinition&, const CharacterDefinition&,
                                   const CharacterAssociation&);
  using SetFlagFn = void (*)(Object&, void*, Bool);
  using GetFlagFn = Bool (*)(Object&, void*);
  using ValidateFn = Result<void> (*)(Object&, void*);
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  using DescribeIOFn = Result<void> (*)(DataSerializeInterface&);
  static constexpr SlotTable kSlots{
      SlotDecl<SetCharacterFn>{"SetSourceCharacter"},
      SlotDecl<GetCharacterFn>{"GetSourceCharacter"},
      SlotDecl<SetCharacterFn>{"SetTargetCharacter"},
      SlotDecl<GetCharacterFn>{"GetTargetCharacter"},
      SlotDecl<SetAssociationFn>{"SetCharacterAssociation"},
      SlotDecl<GetAssociationFn>{"GetCharacterAssociation"},
      SlotDecl<SetupFn>{"Setup"},
      SlotDecl<SetFlagFn>{"SetApplyTranslationFromRoot"},
      SlotDecl<GetFlagFn>{"GetApplyTranslationFromRoot"},
      SlotDecl<ValidateFn>{"Validate"},
      SlotDecl<ToStringFn>{"ToString"},
  };
  static constexpr auto& kMethods = kSlots.names;
  static constexpr SlotTable kStaticSlots{
      SlotDecl<DescribeIOFn>{"DescribeIO"},
  };
  static constexpr auto& kStatics = kStaticSlots.names;
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.charactersolverconfiguration",
                                       "norvo.CharacterSolverConfigurationInterface",
                                       kBases,
                                       RefKind::CopyOnWrite,
                                       0x50000000,
                                       kMethods,
                                       kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::CharacterSolverConfiguration";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.charactersolverconfiguration";

  enum Slot : std::size_t {
    kSetSourceCharacter = kSlots.Index("SetSourceCharacter"),
    kGetSourceCharacter = kSlots.Index("GetSourceCharacter"),
    kSetTargetCharacter = kSlots.Index("SetTargetCharacter"),
    kGetTargetCharacter = kSlots.Index("GetTargetCharacter"),
    kSetCharacterAssociation = kSlots.Index("SetCharacterAssociation"),
    kGetCharacterAssociation = kSlots.Index("GetCharacterAssociation"),
    kSetup = kSlots.Index("Setup"),
    kSetApplyTranslationFromRoot = kSlots.Index("SetApplyTranslationFromRoot"),
    kGetApplyTranslationFromRoot = kSlots.Index("GetApplyTranslationFromRoot"),
    kValidate = kSlots.Index("Validate"),
    kToString = kSlots.Index("ToString")
  };
  enum Static : std::size_t { kDescribeIO = kStaticSlots.Index("DescribeIO") };

  // Describes "_sourceCharacter", "_targetCharacter",
  // "_associationSourceTarget" and "_applyTranslationToRoot".
  static Result<void> DescribeIO(DataSerializeInterface& stream) {
    return InvokeStatic<DescribeIOFn>(kDecl, kDescribeIO, stream);
  }
};

class CharacterSolverConfiguration : public CowRef<CharacterSolverConfiguration> {
  using I = CharacterSolverConfigurationInterface;

 public:
  static constexpr const InterfaceDecl& kInterface = I::kDecl;
  using CowRef::CowRef;

  Result<void> SetSourceCharacter(const CharacterDefinition& d) {
    return InvokeModifying<I::SetCharacterFn>(I::kDecl, I::kSetSourceCharacter, d);
  }
  Result<const CharacterDefinition&> GetSourceCharacter() const {
    return Invoke<I::GetCharacterFn>(I::kDecl, I::kGetSourceCharacter);
  }
  Result<void> SetTargetCharacter(const CharacterDefinition& d) {
    return InvokeModifying<I::SetCharacterFn>(I::kDecl, I::kSetTargetCharacter, d);
  }
  Result<const CharacterDefinition&> GetTargetCharacter() const {
    return Invoke<I::GetCharacterFn>(I::kDecl, I::kGetTargetCharacter);
  }
  Result<void> SetCharacterAssociation(const CharacterAssociation& a) {
    return InvokeModifying<I::SetAssociationFn>(I::kDecl, I::kSetCharacterAssociation, a);
  }
  Result<const CharacterAssociation&> GetCharacterAssociation() const {
    return Invoke<I::GetAssociationFn>(I::kDecl, I::kGetCharacterAssociation);
  }
  // SetSourceCharacter, SetTargetCharacter and SetCharacterAssociation, in
  // this order, through the configuration's own interface. No validation.
  Result<void> Setup(const CharacterDefinition& source, const CharacterDefinition& target,
                     const CharacterAssociation& association) {
    return InvokeModifying<I::SetupFn>(I::kDecl, I::kSetup, source, target, association);
  }
  Result<void> SetApplyTranslationFromRoot(Bool value) {
    return InvokeModifying<I::SetFlagFn>(I::kDecl, I::kSetApplyTranslationFromRoot, value);
  }
  Bool GetApplyTranslationFromRoot() const { return Invoke<I::GetFlagFn>(I::kDecl, I::kGetApplyTranslationFromRoot); }
  // UnexpectedError "Invalid Source Character" without a source character,
  // else "Invalid Target Character" without a target character.
  Result<void> Validate() const { return Invoke<I::ValidateFn>(I::kDecl, I::kValidate); }
  // "Source Character : <name>\nTarget Character : <name>\n", the names of
  // the two definitions (empty when there is none).
  String ToString(const FormatStatement* format = nullptr) const {
    return Invoke<I::ToStringFn>(I::kDecl, I::kToString, format);
  }
};

}  // namespace norvo
