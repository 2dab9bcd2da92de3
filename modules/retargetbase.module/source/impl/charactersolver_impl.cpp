#include "charactersolver_impl.h"

#include "norvo/nodepositionmap.h"
#include "unit_registration.h"

namespace norvo::retargetbase {

using I = CharacterSolverInterface;
using Array = CharacterPoseInterface::Array;

Result<CharacterPose> CharacterSolverImpl::ExtractGlobalDeltaPose(const CharacterSolverConfiguration& configuration,
                                                                  const CharacterPose& pose) const noexcept {
  NORVO_ASSIGN_OR_RETURN(const CharacterDefinition& source, configuration.GetSourceCharacter());
  if (!source) return NullptrError("the configuration has no source character");
  CharacterPose restPose = source.GetSkeletonRestPose();
  if (!restPose) return NullptrError("the source character has no skeleton rest pose");
  NORVO_ASSIGN_OR_RETURN(const Array& rest, restPose.GetNodeTransformArray());

  // The elements share the rest pose's node transforms until each is set.
  Array working;
  NORVO_RETURN_IF_ERROR(working.CopyFrom(rest));
  if (!working.IsEmpty()) {
    NORVO_ASSIGN_OR_RETURN(const Array& current, pose.GetNodeTransformArray());
    // Finds what GetNodeTransformByID of either pose would, in one pass each.
    NodePositionMap positions;
    NORVO_RETURN_IF_ERROR(positions.Build(rest, &current));
    const CharacterNodeTransform missing;
    for (Int i = 0; i < working.GetCount(); ++i) {
      // working[i] is still rest[i] here: the positions of its Uuid.
      NodePositionMap::Positions at = positions.FindKey(i);
      const CharacterNodeTransform& restNode = at.first < 0 ? missing : rest[at.first];
      const CharacterNodeTransform& currentNode = at.other < 0 ? missing : current[at.other];
      // Clones the shared node transform; an empty element cannot be set.
      NORVO_RETURN_IF_ERROR(working[i].SetGlobalMatrix(ComputeGlobalDeltaMatrix(restNode, currentNode)));
    }
  }
  // The rest pose is shared with the definition, so this clones it.
  NORVO_RETURN_IF_ERROR(restPose.SetNodeTransformArray(working));
  return restPose;
}

Matrix CharacterSolverImpl::ComputeGlobalDeltaMatrix(const CharacterNodeTransform& rest,
                                                     const CharacterNodeTransform& current) noexcept {
  const Matrix& cp = current.GetParentGlobalMatrix();
  const Matrix& rp = rest.GetParentGlobalMatrix();
  const Matrix& cg = current.GetGlobalMatrix();
  const Matrix& rg = rest.GetGlobalMatrix();
  Matrix q = Multiply(cp, AffineInverse(rp));
  Matrix k = Multiply(AffineInverse(q), cg);
  Matrix delta = Multiply3x3(k, Inverse3x3(rg));
  delta.off = Subtract(k.off, rg.off);
  return delta;
}

Matrix CharacterSolverImpl::ApplyGlobalRotationDelta(const CharacterNodeTransform& node,
                                                     const CharacterNodeTransform& delta,
                                                     Bool applyTranslation) noexcept {
  const Matrix& g = node.GetGlobalMatrix();
  const Matrix& e = delta.GetGlobalMatrix();
  const Matrix& p = node.GetParentGlobalMatrix();
  Vector t = applyTranslation ? Add(g.off, e.off) : g.off;
  Matrix s = Multiply3x3(e, g);
  Matrix inverseParent = AffineInverse(p);
  Matrix local = Multiply3x3(inverseParent, s);
  local.off = TransformPoint(inverseParent, t);
  return local;
}

const ComponentInfo& CharacterSolverImpl::Component() noexcept {
  using Impl = CharacterSolverImpl;
  static const InterfaceBinding bindings[] = {
      BindInterface<ObjectInterface, Method<ObjectInterface::kToString, &Impl::ToString>>(),
      BindInterface<I, Method<I::kExtractGlobalDeltaPose, &Impl::ExtractGlobalDeltaPose>>(),
  };
  static const ComponentInfo component = MakeComponent<Impl>(I::kClassId, bindings);
  return component;
}

Result<void> RegisterCharacterSolver(ModuleContext& context) noexcept {
  using Impl = CharacterSolverImpl;
  const StaticImpl& statics =
      StaticsOf<I, StaticMethod<I::kApplyGlobalRotationDelta, &Impl::ApplyGlobalRotationDelta>>("CharacterSolverImpl");
  static constexpr ClassPart parts[] = {{ClassPart::kComponent, I::kClassId}};
  return RegisterUnit(context, Impl::Component(), parts, I::kDecl, statics);
}

}  // namespace norvo::retargetbase
