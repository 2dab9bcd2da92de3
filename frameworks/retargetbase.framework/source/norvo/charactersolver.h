// CharacterSolver: extracts the global delta pose of a source pose, and turns
// one delta into the new local matrix of a target node. A copy-on-write
// value without data.
#pragma once
#include "norvo/charactersolverconfiguration.h"
#include "norvo/matrix.h"

namespace norvo {

struct CharacterSolverInterface {
  static constexpr const InterfaceDecl* kBases[] = {&ObjectInterface::kDecl};
  using ExtractGlobalDeltaPoseFn = Result<CharacterPose> (*)(Object&, void*, const CharacterSolverConfiguration&,
                                                             const CharacterPose&);
  using ApplyGlobalRotationDeltaFn = Matrix (*)(const CharacterNodeTransform&, const CharacterNodeTransform&, Bool);
  static constexpr SlotTable kSlots{
      SlotDecl<ExtractGlobalDeltaPoseFn>{"ExtractGlobalDeltaPose"}};
  static constexpr auto& kMethods = kSlots.names;
  static constexpr SlotTable kStaticSlots{
      SlotDecl<ApplyGlobalRotationDeltaFn>{"ApplyGlobalRotationDelta"}};
  static constexpr auto& kStatics = kStaticSlots.names;
  static constexpr InterfaceDecl kDecl{"net.norvo.animation.interface.charactersolver", "norvo.CharacterSolverInterface",
                                       kBases, RefKind::CopyOnWrite, 0x50000000, kMethods, kStatics};
  static constexpr std::string_view kDataTypeName = "norvo::CharacterSolver";
  static constexpr std::string_view kClassId = "net.norvo.animation.class.charactersolver";

  enum Slot : std::size_t {
    kExtractGlobalDeltaPose = kSlots.Index("ExtractGlobalDeltaPose")
  };
  enum Static : std::size_t {
    kApplyGlobalRotationDelta = kStaticSlots.Index("ApplyGlobalRotationDelta")
  };

  // The new local matrix of `node` turned by `delta`. Without a registered
  // implementation: the diagnostic lines, and the identity.
  static Matrix ApplyGlobalRotationDelta(const CharacterNodeTransform& node, const CharacterNodeTransform& delta,
                                         Bool applyTranslation) {
    return InvokeStaticOr<ApplyGlobalRotationDeltaFn>(Matrix{}, kDecl, kApplyGlobalRotationDelta, node, delta,
                                                      applyTranslation);
  }
};

class CharacterSolver : public CowRef<CharacterSolver> {
  using I = CharacterSolverInterface;

 public:
  static constexpr const InterfaceDecl& kInterface = I::kDecl;
  using CowRef::CowRef;

  Result<CharacterPose> ExtractGlobalDeltaPose(const CharacterSolverConfiguration& configuration,
                                               const CharacterPose& pose) const {
    return Invoke<I::ExtractGlobalDeltaPoseFn>(I::kDecl, I::kExtractGlobalDeltaPose, configuration, pose);
  }
};

}  // namespace norvo
