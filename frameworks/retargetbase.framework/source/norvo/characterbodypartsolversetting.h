// CharacterBodyPartSolverSetting: a weight for one body part, named by its
// identifier. A copy-on-write value.
#pragma once
#include "norvo/internedid.h"
#include "norvo/object.h"
#include "norvo/serialize.h"

namespace norvo {

class CharacterBodyPartSolverSetting;

struct CharacterBodyPartSolverSettingInterface {
  static constexpr const InterfaceDecl* kBases[] = {&ObjectInterface::kDecl};
  using SetBodyPartIdentifierFn = Result<void> (*)(Object&, void*, InternedId);
  using GetBodyPartIdentifierFn = InternedId (*)(Object&, void*);
  using SetBodyPartWeightFn = Result<void> (*)(Object&, void*, Float64);
  using GetBodyPartWeightFn = Float64 (*)(Object&, void*);
  using ToStringFn = String (*)(Object&, void*, const FormatStatement*);
  using CreateBodyPartSolverSettingFn = Result<CharacterBodyPartSolverSetting> (*)(const InternedId&, Float64);
  using DescribeIOFn = Result<void> (*)(DataSerializeInterface&);
  static constexpr SlotTable kSlots{
      SlotDecl<SetBodyPartIdentifierFn>{"SetBodyPartIdentifier"},
      SlotDecl<GetBodyPartIdentifierFn>{"GetBodyPartIdentifier"},
      SlotDecl<SetBodyPartWeightFn>{"SetBodyPartWeight"},
      SlotDecl<GetBodyPartWeightFn>{"GetBodyPartWeight"},
      SlotDecl<ToStringFn>{"ToString"},
  };
  static constexpr auto& kMethods = kSlots.names;
  static constexpr SlotTable kStaticSlots{
      SlotDecl<CreateBodyPartSolverSettingFn>{"CreateBodyPartSolverSetting"},
      SlotDecl<DescribeIOFn>{"DescribeIO"},
  };
  static constexpr auto& kStatics = kStaticSlots.names;
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.characterbodypartsolversetting",
                                       "norvo.CharacterBodyPartSolverSettingInterface",
                                       kBases,
                                       RefKind::CopyOnWrite,
                                       0x50000000,
                                       kMethods,
                                       kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::CharacterBodyPartSolverSetting";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.characterbodypartsolversetting";

  enum Slot : std::size_t {
    kSetBodyPartIdentifier = kSlots.Index("SetBodyPartIdentifier"),
    kGetBodyPartIdentifier = kSlots.Index("GetBodyPartIdentifier"),
    kSetBodyPartWeight = kSlots.Index("SetBodyPartWeight"),
    kGetBodyPartWeight = kSlots.Index("GetBodyPartWeight"),
    kToString = kSlots.Index("ToString")
  };
  enum Static : std::size_t {
    kCreateBodyPartSolverSetting = kStaticSlots.Index("CreateBodyPartSolverSetting"),
    kDescribeIO = kStaticSlots.Index("DescribeIO")
  };

  static Result<CharacterBodyPartSolverSetting> CreateBodyPartSolverSetting(const InternedId& identifier,
                                                                            Float64 weight);
  // Describes "_identifier" and "_weight".
  static Result<void> DescribeIO(DataSerializeInterface& stream) {
    return InvokeStatic<DescribeIOFn>(kDecl, kDescribeIO, stream);
  }
};

class CharacterBodyPartSolverSetting : public CowRef<CharacterBodyPartSolverSetting> {
  using I = CharacterBodyPartSolverSettingInterface;

 public:
  static constexpr const InterfaceDecl& kInterface = I::kDecl;
  using CowRef::CowRef;

  Result<void> SetBodyPartIdentifier(InternedId id) {
    return InvokeModifying<I::SetBodyPartIdentifierFn>(I::kDecl, I::kSetBodyPartIdentifier, std::move(id));
  }
  InternedId GetBodyPartIdentifier() const {
    return Invoke<I::GetBodyPartIdentifierFn>(I::kDecl, I::kGetBodyPartIdentifier);
  }
  Result<void> SetBodyPartWeight(Float64 weight) {
    return InvokeModifying<I::SetBodyPartWeightFn>(I::kDecl, I::kSetBodyPartWeight, weight);
  }
  Float64 GetBodyPartWeight() const { return Invoke<I::GetBodyPartWeightFn>(I::kDecl, I::kGetBodyPartWeight); }
  String ToString(const FormatStatement* format = nullptr) const {
    return Invoke<I::ToStringFn>(I::kDecl, I::kToString, format);
  }
};

inline Result<CharacterBodyPartSolverSetting> CharacterBodyPartSolverSettingInterface::CreateBodyPartSolverSetting(
    const InternedId& identifier, Float64 weight) {
  return InvokeStatic<CreateBodyPartSolverSettingFn>(kDecl, kCreateBodyPartSolverSetting, identifier, weight);
}

}  // namespace norvo
