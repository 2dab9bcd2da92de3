// CharacterBodyPartSolverSettingImpl: a weight for the body part with an
// identifier.
#pragma once
#include "norvo/characterbodypartsolversetting.h"
#include "norvo/registry.h"

namespace norvo::retargetbase {

class CharacterBodyPartSolverSettingImpl {
 public:
  Result<void> SetBodyPartIdentifier(InternedId identifier) noexcept;
  InternedId GetBodyPartIdentifier() const noexcept { return _identifier; }
  Result<void> SetBodyPartWeight(Float64 weight) noexcept {
    _weight = weight;
    return {};
  }
  Float64 GetBodyPartWeight() const noexcept { return _weight; }
  // "Identifier : " id "\n" "Weight : " weight "\n"; the weight is printed
  // with the blank fill character and without the format statement.
  String ToString(const FormatStatement* format) const noexcept;

  static const ComponentInfo& Component() noexcept;
  static Result<void> DescribeIO(DataSerializeInterface& stream) noexcept;
  static Result<CharacterBodyPartSolverSetting> CreateBodyPartSolverSetting(const InternedId& identifier,
                                                                            Float64 weight) noexcept;

 private:
  InternedId _identifier;
  Float64 _weight = 1.0;
};

Result<void> RegisterCharacterBodyPartSolverSetting(ModuleContext& context) noexcept;

}  // namespace norvo::retargetbase
